"""Numbers, token counts and costs as the command line writes them, in
one place for the tables, the status line and the watch screen.

No numpy, no rich: the status line formats with these on every call.
"""

from __future__ import annotations

import math
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


# Amounts below this show as this bound ("<0.000000000001"): no cost of
# whole tokens at a price a table accepts comes near it in practice.
_SMALLEST_DECIMALS = 12


def money(value: float, grouped: bool = True, currency: Optional[str] = None) -> str:
    """Two decimals; four for amounts below one cent; below 0.0001 (which
    four decimals would show as 0.0000) two significant digits, trailing
    zeros dropped (a limit of 0.000001 shows as written), down to twelve
    decimals and "<0.000000000001" below. With thousands separators when
    `grouped` (tables), without on the status line; with the currency's
    sign (`$12.34`) or code (`CHF 12.34`) when there is one."""
    size = abs(value)
    relation = ""
    if size == 0 or size >= 0.01:
        digits = f"{size:{',' if grouped else ''}.2f}"
    elif size >= 0.0001:
        digits = f"{size:.4f}"
    else:
        decimals = min(_SMALLEST_DECIMALS, 1 - math.floor(math.log10(size)))
        digits = f"{size:.{decimals}f}".rstrip("0")
        if digits.endswith("."):  # nothing left within twelve decimals
            relation = ">" if value < 0 else "<"
            digits = "0." + "0" * (_SMALLEST_DECIMALS - 1) + "1"
    sign = "-" if value < 0 and digits.strip("0.,") else ""
    if currency:
        mark = CURRENCY_SIGNS.get(currency)
        if mark is None:
            return "%s %s%s%s" % (currency, relation, sign, digits)
        return relation + sign + mark + digits
    return relation + sign + digits


def cost_text(cost: Optional[float], priced_cost: float, grouped: bool = True, currency: Optional[str] = None) -> str:
    """A cost cell: the cost; when some usage has no price (`cost` None),
    the priced part marked +, or "no price" when none of it has one."""
    if cost is not None:
        return money(cost, grouped, currency)
    if priced_cost > 0:
        return money(priced_cost, grouped, currency) + "+"
    return "no price"
