"""Numbers, token counts and costs as the command line writes them, in
one place for the tables, the status line and the watch screen.

No numpy, no rich: the status line formats with these on every call.
"""

from __future__ import annotations

from typing import Optional


def plain_number(value: int) -> str:
    """Every digit, with thousands separators: 12,345,678."""
    return f"{value:,}"


def short_number(value: float) -> str:
    """Abbreviated for a narrow column: 12.3K, 4.5M, 1.2B, 3.0T, or the
    whole number below a thousand."""
    for limit, suffix in ((10**12, "T"), (10**9, "B"), (10**6, "M"), (10**3, "K")):
        if abs(value) >= limit:
            return "%.1f%s" % (value / limit, suffix)
    return "%d" % round(value)


def byte_size(n: int) -> str:
    """A number of bytes in binary units: 512 B, 4.0 KiB, 1.6 GiB."""
    for limit, unit in ((1 << 40, "TiB"), (1 << 30, "GiB"), (1 << 20, "MiB"), (1 << 10, "KiB")):
        if n >= limit:
            return "%.1f %s" % (n / limit, unit)
    return "%d B" % n


# How an amount of a currency is written: a sign before it, or the code.
CURRENCY_SIGNS = {"USD": "$", "EUR": "€", "GBP": "£", "JPY": "¥"}


def money(value: float, grouped: bool = True, currency: Optional[str] = None) -> str:
    """Two decimals, or four for amounts below one cent; with thousands
    separators when `grouped` (tables), without on the status line; with
    the currency's sign (`$12.34`) or code (`CHF 12.34`) when there is one."""
    decimals = 4 if 0 < abs(value) < 0.01 else 2
    text = f"{value:{',' if grouped else ''}.{decimals}f}"
    if currency:
        sign = CURRENCY_SIGNS.get(currency)
        if sign is None:
            return "%s %s" % (currency, text)
        return "-" + sign + text[1:] if text.startswith("-") else sign + text
    return text


def cost_text(cost: Optional[float], priced_cost: float, grouped: bool = True, currency: Optional[str] = None) -> str:
    """A cost cell: the cost; when some usage has no price (`cost` None),
    the priced part marked +, or "no price" when none of it has one."""
    if cost is not None:
        return money(cost, grouped, currency)
    if priced_cost > 0:
        return money(priced_cost, grouped, currency) + "+"
    return "no price"
