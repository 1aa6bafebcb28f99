"""`ledgerly insights` as text for people: the tokens of each weekday and
hour as a heat map, one line per weekday, then the sessions' active time,
the cache and the periods.

A cell's shade is its share of the busiest hour, in quarters (`░ ▒ ▓ █`;
`·` for none), so the map reads without colour; on a terminal that allows
colour (not with NO_COLOR, rich's rules) the shades are coloured as well.
At 80 columns or more an hour takes two cells, else one.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, List, Optional, TextIO

from ledgerly.cli.figures import cost_text, plain_number, short_number
from ledgerly.cli.render import console_for, show, titled_table
from ledgerly.insights import HOURS, WEEKDAYS, Figures, Insights

if TYPE_CHECKING:
    from rich.console import Console

SHADES = ("░", "▒", "▓", "█")
NONE = "·"
STYLES = ("green", "yellow", "dark_orange", "red")
LABEL = 7  # "  Mon  "
GAP = 2  # between the map and the weekday's total


def shade(value: int, peak: int) -> int:
    """The shade of `value` against the busiest cell `peak`: 0 for none,
    else 1 to 4, the quarter of `peak` it reaches (any usage at all is 1)."""
    if value <= 0 or peak <= 0:
        return 0
    return min(len(SHADES), -(-len(SHADES) * value // peak))


def duration(ms: Optional[float]) -> str:
    """A span of time as 45s, 12m05s, 3h20m or 2d04h."""
    if ms is None:
        return "–"
    seconds = round(ms / 1000)
    if seconds < 60:
        return "%ds" % seconds
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return "%dm%02ds" % (minutes, seconds)
    hours, minutes = divmod(minutes, 60)
    if hours < 24:
        return "%dh%02dm" % (hours, minutes)
    days, hours = divmod(hours, 24)
    return "%dd%02dh" % (days, hours)


def heat_map(found: Insights, width: int) -> List[object]:
    """The map's lines (rich Text): the hours, one line per weekday with its
    total, and what the shades mean. An hour takes two cells when the map
    fits `width` so, else one."""
    from rich.text import Text

    totals = [sum(day) for day in found.tokens]
    number = max(len(plain_number(t)) for t in totals)
    cell = 2 if LABEL + 2 * HOURS + GAP + number <= width else 1
    step = 3 if cell == 2 else 6
    hours = Text(" " * LABEL)
    for hour in range(0, HOURS, step):
        hours.append(("%02d" % hour).ljust(step * cell), style="dim")
    lines: List[object] = [hours]
    peak = max(max(day) for day in found.tokens)
    for name, day, total in zip(WEEKDAYS, found.tokens, totals):
        line = Text("  %s  " % name)
        for value in day:
            level = shade(value, peak)
            if level:
                line.append(SHADES[level - 1] * cell, style=STYLES[level - 1])
            else:
                line.append(NONE.ljust(cell), style="dim")
        line.append(" " * GAP + plain_number(total).rjust(number))
        lines.append(line)
    legend = Text(" " * LABEL)
    legend.append(NONE + " none", style="dim")
    wide = cell == 2
    for level, mark in enumerate(SHADES, 1):
        legend.append("  " if wide else " ")
        legend.append(mark, style=STYLES[level - 1])
        prefix = "up to " if wide and level == 1 else "" if wide else "≤"
        legend.append(" %s%d%%" % (prefix, 100 * level // len(SHADES)))
    legend.append(" of the busiest hour (%s)" % short_number(peak) if wide else " of %s" % short_number(peak))
    lines.append(legend)
    return lines


def _percent(change: Optional[float]) -> str:
    return "–" if change is None else "%+.0f%%" % (change * 100)


def _when(ms: int, found: Insights) -> str:
    from ledgerly.timezones import format_instant

    text = format_instant(ms, found.zone)
    return text[:10] + " " + text[11:16]


def draw_insights(found: Insights, stream: TextIO, empty: Optional[str] = None) -> None:
    """Prints the insights on `stream`; `empty` (why there is no usage in
    the range) replaces the range's parts when given, the periods stay."""
    console = console_for(stream)
    show(console, "Insights (%s)" % found.timezone, style="bold")
    if empty is not None:
        show(console, empty)
    else:
        totals = found.totals
        summary = "%s tokens" % plain_number(totals.total_tokens)
        if found.priced:
            summary += ", cost %s" % cost_text(totals.cost, totals.priced_cost, currency=found.currency)
        show(console, "")
        show(console, "Tokens by weekday and hour (%s): %s" % (found.timezone, summary))
        for line in heat_map(found, console.width):
            show(console, line)

        times = found.sessions
        show(console, "")
        show(console, "Sessions", style="bold")
        show(
            console,
            "  %s session%s; active %s in all (idle gaps over %d min left out)"
            % (plain_number(times.count), "" if times.count == 1 else "s", duration(times.active_ms), times.idle_gap),
        )
        show(
            console,
            "  active time per session: median %s, 90th percentile %s"
            % (duration(times.median_ms), duration(times.p90_ms)),
        )
        rate = times.tokens_per_active_hour
        show(console, "  tokens per active hour: %s" % ("–" if rate is None else plain_number(round(rate))))

        cache = found.cache
        show(console, "")
        show(console, "Cache", style="bold")
        share = cache.share
        show(
            console,
            "  %s of input read from a cache (%s of %s tokens)"
            % (
                "–" if share is None else "%.1f%%" % (share * 100),
                plain_number(cache.cache_tokens),
                plain_number(cache.input_tokens),
            ),
        )
        if found.priced:
            saved = "  saved %s against fresh input" % cost_text(
                cache.saved, cache.priced_saved, currency=found.currency
            )
            if cache.unpriced:
                names = " and ".join(cache.unpriced) if len(cache.unpriced) <= 2 else "%d models" % len(cache.unpriced)
                saved += " (+: %s left out, no price)" % names
            show(console, saved)
    show(console, "")
    _draw_periods(found, console)


NAMES = {
    "week": ("This week", "Last week", "Week over week"),
    "month": ("This month", "Last month", "Month over month"),
}


def _draw_periods(found: Insights, console: Console) -> None:
    """This week and month so far, the previous ones to the same point and
    whole, and the change against the same point (times without the year:
    the title has it)."""
    table = titled_table("Periods, to %s (%s)" % (_when(found.at, found), found.timezone))
    for header in ("Period", "Since", "Until"):
        table.add_column(header, no_wrap=True)
    table.add_column("Tokens", justify="right", no_wrap=True)
    if found.priced:
        table.add_column("Cost", justify="right", no_wrap=True)

    def row(label: str, start: int, end: int, figures: Figures) -> None:
        cells = [label, _when(start, found)[5:], _when(end, found)[5:], plain_number(figures.total_tokens)]
        if found.priced:
            cells.append(cost_text(figures.cost, figures.priced_cost, currency=found.currency))
        table.add_row(*cells)

    for comparison in found.periods:
        this, last, over = NAMES[comparison.period]
        row(this, comparison.start, found.at, comparison.current)
        row(last + ", same point", comparison.previous_start, comparison.previous_point, comparison.previous_same_point)
        row(last, comparison.previous_start, comparison.start - 1, comparison.previous)
        change = comparison.change(found.priced)
        cells = [over, "", "", _percent(change["total_tokens"])]
        if found.priced:
            cells.append(_percent(change["priced_cost"]))
        table.add_row(*cells, style="bold", end_section=comparison is not found.periods[-1])
    show(console, table)
