"""Drawing reports as tables for people.

Tables are drawn with rich: numbers right-aligned with thousands
separators, a totals row, colour only on a terminal (and never with
NO_COLOR). Every token column adds up to the total, so the table shows
fresh input (input less cached input) and, in its narrower form, merges the
cache columns: cached input and cache reads are both reads from a cache.
The widest form that fits the terminal is used: all seven kinds; then cache
writes and reads merged; then numbers abbreviated (12.3M).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, List, Sequence, TextIO, Tuple

from ledgerly.cli import figures
from ledgerly.cli.figures import plain_number, short_number
from ledgerly.cli.limitview import block_columns
from ledgerly.reports import Group, Report

if TYPE_CHECKING:
    from rich.console import Console

    from ledgerly.sessions import Session, SessionDetail, SessionReport

EDGE = 2  # the table's outer padding
PADDING = 3  # a cell's two spaces of padding plus the gap between columns


@dataclass(frozen=True)
class Column:
    header: str
    value: Callable[[Group], int]
    dim: bool = False  # a part of another column, shown muted


def _fresh(g: Group) -> int:
    return int(g["input"]) - int(g["cached_input"])


def _field(name: str) -> Callable[[Group], int]:
    return lambda g: int(g[name])


WIDE = (
    Column("Input", _fresh),
    Column("Cached", _field("cached_input")),
    Column("Output", _field("output")),
    Column("Reasoning", _field("reasoning_output"), dim=True),
    Column("Write 5m", _field("cache_write_5m")),
    Column("Write 1h", _field("cache_write_1h")),
    Column("Cache read", _field("cache_read")),
    Column("Total", lambda g: g.total_tokens),
)
MEDIUM = (
    Column("Input", _fresh),
    Column("Output", _field("output")),
    Column("Cache\nwrite", lambda g: int(g["cache_write_5m"]) + int(g["cache_write_1h"])),
    Column("Cache\nread", lambda g: int(g["cached_input"]) + int(g["cache_read"])),
    Column("Total", lambda g: g.total_tokens),
)

HEADERS = {
    "day": "Day",
    "week": "Week",
    "month": "Month",
    "model": "Model",
    "project": "Project",
    "tier": "Tier",
    "subagent": "Subagent",
    "dialect": "Dialect",
    "block": "Block start",
    "machine": "Machine",
}


def cost_text(group: Group) -> str:
    """The cost cell of a report row."""
    return figures.cost_text(group.cost, group.priced_cost)


def key_cells(report: Report, group: Group) -> List[str]:
    """The key cells of a report row."""
    if report.by == ("block",):
        start = str(group.key["block"])
        return [start[:10] + " " + start[11:16] + (" (active)" if group.key.get("active") else "")]
    return [("yes" if v else "no") if isinstance(v, bool) else str(v) for v in (group.key[n] for n in report.by)]


def _lines(report: Report) -> List[Tuple[List[str], Group, bool]]:
    """Every table line: key cells, the group, and whether it is a breakdown line."""
    width = max(1, len(report.by))
    out: List[Tuple[List[str], Group, bool]] = []
    for group in report.rows:
        out.append((key_cells(report, group), group, False))
        for sub in group.models:
            out.append(([""] * (width - 1) + ["  - %s" % sub.key["model"]], sub, True))
    out.append((["Total"] + [""] * (width - 1), report.totals, False))
    return out


LimitColumns = Sequence[Tuple[str, Callable[[Group], str]]]


def _width(report: Report, columns: Sequence[Column], number: Callable[[int], str], limits: LimitColumns = ()) -> int:
    lines = _lines(report)
    headers = [HEADERS.get(n, n) for n in report.by] or [""]
    width = EDGE
    for i, header in enumerate(headers):
        width += max([len(cells[i]) for cells, _g, _b in lines] + [len(header)]) + PADDING
    for column in columns:
        widest_header = max(len(part) for part in column.header.split("\n"))
        width += max([len(number(column.value(g))) for _c, g, _b in lines] + [widest_header]) + PADDING
    if report.priced:
        width += max([len(cost_text(g)) for _c, g, _b in lines] + [4]) + PADDING
    for header, cell in limits:
        width += max([len(cell(g)) for _c, g, _b in lines] + [len(p) for p in header.split("\n")]) + PADDING
    return width


def choose_columns(
    report: Report, width: int, limits: LimitColumns = ()
) -> Tuple[Sequence[Column], Callable[[int], str]]:
    """The widest table form that fits `width` characters."""
    for columns, number in ((WIDE, plain_number), (MEDIUM, plain_number)):
        if _width(report, columns, number, limits) <= width:
            return columns, number
    return MEDIUM, short_number


def show(console: Console, *items: Any, **options: Any) -> None:
    """Prints `items` on `console`. On a terminal as rich draws them;
    elsewhere (a file, a pipe) without the spaces rich pads each line with
    up to the table's width, so saved output diffs and greps cleanly."""
    if console.is_terminal:
        console.print(*items, **options)
        return
    with console.capture() as captured:
        console.print(*items, **options)
    console.file.write("\n".join(line.rstrip() for line in captured.get().split("\n")))


def draw(report: Report, stream: TextIO, title: str) -> None:
    """Prints `report` as a table on `stream`."""
    from rich import box
    from rich.console import Console
    from rich.table import Table

    console = Console(file=stream, highlight=False)
    if not report.rows:
        show(console, "No usage found.")
        return
    limits = block_columns(report.limits)
    if limits and _width(report, MEDIUM, short_number, limits) > console.width:
        limits = []  # too narrow: the lines under the table show the current block's use
    columns, number = choose_columns(report, console.width, limits)
    table = Table(title=title, box=box.SIMPLE_HEAD, title_justify="left")
    for header in [HEADERS.get(n, n) for n in report.by] or [""]:
        table.add_column(header, overflow="fold")
    for column in columns:
        table.add_column(column.header, justify="right", style="dim" if column.dim else None, no_wrap=True)
    if report.priced:
        table.add_column("Cost", justify="right", no_wrap=True)
    for header, _cell in limits:
        table.add_column(header, justify="right", no_wrap=True)

    lines = _lines(report)
    for i, (keys, group, sub) in enumerate(lines):
        cells = [number(c.value(group)) for c in columns] + ([cost_text(group)] if report.priced else [])
        # A block's use of each block limit (not of the totals or a model within a block).
        cells += [cell(group) if not sub and i < len(lines) - 1 else "" for _h, cell in limits]
        following_is_row = i + 1 < len(lines) and not lines[i + 1][2]
        style = "bold" if i == len(lines) - 1 else ("dim" if sub else None)
        section = following_is_row and (sub or i + 2 == len(lines))
        table.add_row(*keys, *cells, style=style, end_section=section)
    show(console, table)
    if report.priced and report.unpriced:
        show(
            console,
            "Cost marked + covers only priced usage; no price for: %s" % ", ".join(sorted(report.unpriced)),
            style="dim",
            soft_wrap=True,
        )


# ---------------------------------------------------------------------------
# Sessions


def _when(text: object) -> str:
    """An RFC 3339 time as "YYYY-MM-DD HH:MM" (the zone is in the title)."""
    return "" if not isinstance(text, str) else text[:10] + " " + text[11:16]


# The key columns of the session table: header, cell of a session.
SESSION_KEYS: Tuple[Tuple[str, Callable[[Session], str]], ...] = (
    ("Session", lambda s: s.id),
    ("Project", lambda s: s.project),
    ("First event", lambda s: _when(s.first_event)),
    ("Last event", lambda s: _when(s.last_event)),
    ("Models", lambda s: ", ".join(s.models)),
)
TOTAL_ONLY = (Column("Total", lambda g: g.total_tokens),)
# From the widest table to the narrowest: key columns shown, token columns, number form.
SESSION_FORMS: Tuple[Tuple[Tuple[int, ...], Sequence[Column], Callable[[int], str]], ...] = (
    ((0, 1, 2, 3, 4), WIDE, plain_number),
    ((0, 1, 2, 3, 4), MEDIUM, plain_number),
    ((0, 1, 2, 3, 4), MEDIUM, short_number),
    ((0, 1, 3, 4), MEDIUM, short_number),
    ((0, 1, 3), MEDIUM, short_number),
    ((0, 3), TOTAL_ONLY, short_number),
)


def _session_lines(result: SessionReport) -> List[Tuple[List[str], Group, Group]]:
    lines = [([cell(s) for _h, cell in SESSION_KEYS], s.usage, s.subagents) for s in result.rows]
    total = "Total" if len(result.rows) == result.count else "Total (%d sessions)" % result.count
    lines.append(([total] + [""] * (len(SESSION_KEYS) - 1), result.totals, result.subagents))
    return lines


def _session_width(
    result: SessionReport, keys: Sequence[int], columns: Sequence[Column], number: Callable[[int], str]
) -> int:
    lines = _session_lines(result)
    width = EDGE
    for i in keys:
        width += max([len(cells[i]) for cells, _g, _s in lines] + [len(SESSION_KEYS[i][0])]) + PADDING
    for column in [*columns, Column("Subagents", lambda g: g.total_tokens)]:
        widest_header = max(len(part) for part in column.header.split("\n"))
        width += max([len(number(column.value(g))) for _c, g, _s in lines] + [widest_header]) + PADDING
    if result.priced:
        width += max([len(cost_text(g)) for _c, g, _s in lines] + [4]) + PADDING
    return width


def draw_sessions(result: SessionReport, stream: TextIO, title: str) -> None:
    """Prints the session list as a table on `stream`: one line per session,
    the subagents' share of its tokens, and the totals of every session in
    the range. On a narrow terminal fewer columns are shown."""
    from rich import box
    from rich.console import Console
    from rich.table import Table

    console = Console(file=stream, highlight=False)
    if not result.rows:
        show(console, "No usage found.")
        return
    keys, columns, number = SESSION_FORMS[-1]
    for form in SESSION_FORMS:
        if _session_width(result, *form) <= console.width:
            keys, columns, number = form
            break
    table = Table(title=title, box=box.SIMPLE_HEAD, title_justify="left")
    for i in keys:
        header = SESSION_KEYS[i][0]
        table.add_column(header, overflow="fold", no_wrap=header.endswith("event"))
    for column in columns:
        table.add_column(column.header, justify="right", style="dim" if column.dim else None, no_wrap=True)
    if result.priced:
        table.add_column("Cost", justify="right", no_wrap=True)
    table.add_column("Subagents", justify="right", style="dim", no_wrap=True)
    lines = _session_lines(result)
    for i, (cells, group, sub) in enumerate(lines):
        numbers = [number(c.value(group)) for c in columns] + ([cost_text(group)] if result.priced else [])
        last = i == len(lines) - 1
        table.add_row(
            *[cells[k] for k in keys],
            *numbers,
            number(sub.total_tokens) if sub.total_tokens else "–",
            style="bold" if last else None,
            end_section=i == len(lines) - 2,
        )
    show(console, table)
    if result.priced and result.unpriced:
        show(
            console,
            "Cost marked + covers only priced usage; no price for: %s" % ", ".join(sorted(result.unpriced)),
            style="dim",
            soft_wrap=True,
        )


def draw_session(detail: SessionDetail, stream: TextIO) -> None:
    """Prints one session: what it is, then its usage per model and per day."""
    from rich.console import Console

    console = Console(file=stream, highlight=False)
    s = detail.summary
    show(console, "Session %s" % s.id, style="bold")
    show(console, "  log: %s" % s.session, soft_wrap=True)
    for log in detail.logs:
        if log != s.session:
            show(console, "  subagent log: %s" % log, soft_wrap=True)
    show(console, "  project: %s" % s.project, soft_wrap=True)
    if s.first_event is None:
        show(console, "No usage found.")
        return
    show(console, "  from %s to %s (%s)" % (_when(s.first_event), _when(s.last_event), detail.by_day.timezone))
    show(
        console,
        "  tokens: %s, of which subagents %s"
        % (plain_number(s.usage.total_tokens), plain_number(s.subagents.total_tokens)),
    )
    if detail.priced:
        show(console, "  cost: %s" % cost_text(s.usage))
    show(console)
    draw(detail.by_model, stream, "By model")
    draw(detail.by_day, stream, "By day (%s)" % detail.by_day.timezone)
