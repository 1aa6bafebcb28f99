"""Limits as the command line shows them: a bar, a percentage, the use
against the limit, and when the current pace reaches it.

Everything here works on the entries of the status data's ``limits``
list (see docs/api.md), so `status`, `check` and `watch` show the same
text whether a server answered or the logs were read here, and `blocks`
shows its block limits the same way. No numpy, no rich: `status` imports
this on every call.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, List, Mapping, Optional, Sequence, Tuple

from ledgerly.cli.figures import money, plain_number

if TYPE_CHECKING:
    from ledgerly.reports import Group

BAR_WIDTH = 20
FULL, EMPTY = "█", "░"


def label(use: Mapping[str, Any]) -> str:
    """The limit's name for people: "block tokens", "day cost"."""
    return str(use["name"]).replace("_", " ")


def bar(percent: Optional[float], width: int = BAR_WIDTH) -> str:
    """A bar of `width` characters filled to `percent` (full beyond 100)."""
    filled = 0 if percent is None else max(0, min(width, round(min(percent, 100.0) * width / 100)))
    return FULL * filled + EMPTY * (width - filled)


def percent_text(percent: Optional[float]) -> str:
    """Whole percent, rounded down, so that 100% shows only once the limit
    is reached ("-" when the use is not known)."""
    return "-" if percent is None else "%d%%" % int(percent)


def amount(use: Mapping[str, Any], value: Optional[float], grouped: bool = True, currency: Optional[str] = None) -> str:
    """A figure of the limit's measure: tokens with every digit, or a cost
    (in `currency`, the price table's, as the tables write costs)."""
    if value is None:
        return "-"
    if use["name"].endswith("_tokens"):
        return plain_number(int(value)) if grouped else str(int(value))
    return money(value, grouped, currency)


def used_text(use: Mapping[str, Any], grouped: bool = True, currency: Optional[str] = None) -> str:
    """The use; a cost with usage that has no price is marked + (it is at least this)."""
    return amount(use, use["used"], grouped, currency) + ("+" if use.get("partial") else "")


def limit_text(use: Mapping[str, Any], grouped: bool = True, currency: Optional[str] = None) -> str:
    """The limit; the largest block's cost is marked + when some of that
    block's usage has no price (the limit is then at least this)."""
    return amount(use, use["limit"], grouped, currency) + ("+" if use.get("limit_partial") else "")


def clock(at: str, now: str) -> str:
    """An RFC 3339 time as HH:MM when it falls on the day of `now`, else
    as MM-DD HH:MM."""
    return at[11:16] if at[:10] == now[:10] else at[5:10] + " " + at[11:16]


def state(use: Mapping[str, Any], now: str, pace: str = " at this pace") -> str:
    """What is worth knowing beyond the percentage."""
    if use["used"] is None:
        return "no price table"
    if use["passed"]:
        return "passed"
    if use.get("reaches_at"):
        return "full at %s%s" % (clock(use["reaches_at"], now), pace)
    if use["period"] == "block" and use.get("start") is None:
        return "no block open"
    return ""


def cells(
    use: Mapping[str, Any],
    now: str,
    bar_width: int = BAR_WIDTH,
    pace: str = " at this pace",
    currency: Optional[str] = None,
) -> List[str]:
    """One limit as the cells of a line: name, bar, percentage, use of the
    limit, state."""
    return [
        label(use),
        bar(use["percent"], bar_width),
        percent_text(use["percent"]),
        "%s of %s" % (used_text(use, currency=currency), limit_text(use, currency=currency)),
        state(use, now, pace),
    ]


def lines(
    limits: Sequence[Mapping[str, Any]],
    now: str,
    width: int = 80,
    indent: str = "  ",
    currency: Optional[str] = None,
) -> List[str]:
    """The limits as aligned lines of text, at most `width` characters
    wide where possible: the bar is shortened, then the state, then the
    bar left out. Costs are in `currency`."""
    for bar_width, pace in ((BAR_WIDTH, " at this pace"), (10, " at this pace"), (10, ""), (0, "")):
        rows = [cells(use, now, bar_width, pace, currency) for use in limits]
        if not bar_width:
            rows = [[r[0], *r[2:]] for r in rows]
        out = _aligned(rows, indent)
        if max(map(len, out), default=0) <= width:
            break
    return out


def _aligned(rows: List[List[str]], indent: str) -> List[str]:
    if not rows:
        return []
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    out = []
    percent = len(rows[0]) - 3  # the percentage is right-aligned
    for r in rows:
        cells = [c.rjust(w) if i == percent else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))]
        out.append((indent + "  ".join(cells)).rstrip())
    return out


def headline(limits: Sequence[Mapping[str, Any]], now: str) -> Optional[str]:
    """The limit that is used the most, in a few words for a status line:
    "block tokens 73%, full at 01:40" (None without limits)."""
    known = [u for u in limits if u["percent"] is not None]
    if not known:
        return None
    top = max(known, key=lambda u: u["percent"])
    text = "%s %s" % (label(top), percent_text(top["percent"]))
    if top["passed"]:
        return text + " passed"
    if top.get("reaches_at"):
        return text + ", full at %s" % clock(top["reaches_at"], now)
    return text


def block_columns(limits: Sequence[Mapping[str, Any]]) -> List[Tuple[str, Callable[[Group], str]]]:
    """The columns of a blocks table with block limits: each block's use of
    each limit, as a percentage (costs by their priced part, marked "+"
    when some usage has no price; "-" without a price table)."""

    from ledgerly.limits import percent_of

    def column(use: Mapping[str, Any]) -> Tuple[str, Callable[[Group], str]]:
        limit = use["limit"]
        tokens = use["name"] == "block_tokens"
        header = "Limit" if len(limits) == 1 else ("Token\nlimit" if tokens else "Cost\nlimit")
        if tokens:
            return header, lambda g: percent_text(_tenths(percent_of(g.total_tokens, limit)))
        if use["used"] is None:  # no price table: no cost to compare
            return header, lambda g: percent_text(None)
        # A cost with usage that has no price is at least its priced part: "+".
        return (
            header,
            lambda g: percent_text(_tenths(percent_of(g.priced_cost, limit))) + ("+" if g.cost is None else ""),
        )

    return [column(use) for use in limits]


def _tenths(percent: Optional[float]) -> Optional[float]:
    """A percentage to one decimal, as the limits' data holds it, so that a
    block's column and the lines under the table floor the same figure."""
    return None if percent is None else round(percent, 1)


def block_summary(
    limits: Sequence[Mapping[str, Any]], now: str, width: int = 80, currency: Optional[str] = None
) -> List[str]:
    """The lines under a blocks table: the current block against its
    limits (costs in `currency`)."""
    source = " (the largest block so far)" if limits[0]["source"] != "config" else ""
    start, end = limits[0].get("start"), limits[0].get("end")
    if start is None or end is None:
        values = ", ".join("%s %s" % (label(use), limit_text(use, currency=currency)) for use in limits)
        return ["No block open. Limits%s: %s." % (source, values)]
    head = "Current block %s-%s against its limits%s:" % (start[11:16], end[11:16], source)
    return [head, *lines(limits, now, width, currency=currency)]
