"""Drawing reports as tables for people.

Tables are drawn with rich: numbers right-aligned with thousands
separators, a totals row, colour only on a terminal (and never with
NO_COLOR). Every token column adds up to the total, so the table shows
fresh input (input less cached input: "Fresh in", where the JSON's `input`
is all input) and, in its narrower form, merges the cache columns: cached
input and cache reads are both reads from a cache.

One rule sizes every table at a given width (`choose_columns`): the widest
form whose figures fit beside KEY_ROOM cells per key column: all seven
kinds; then cache writes and reads merged; then numbers abbreviated
(12.3M); then everything to and from a cache in one column; then the total
alone. The key cells themselves play no part in that choice; they get the
room that is left and are shortened on one line to fit it
(`ledgerly.cli.cells`), never wrapped, and never so that two different
names or paths in a column read the same.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple

from ledgerly.cli import cells, figures
from ledgerly.cli.figures import plain_number, short_number
from ledgerly.cli.limitview import block_columns
from ledgerly.reports import Group, Report

if TYPE_CHECKING:
    from rich.console import Console

    from ledgerly.sessions import Session, SessionDetail, SessionReport

EDGE = 2  # the table's outer padding
PADDING = 3  # a cell's two spaces of padding plus the gap between columns
KEY_ROOM = 16  # cells each key column is counted with when the figures' form is chosen
NO_USAGE = "No usage found."


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
    Column("Fresh in", _fresh),
    Column("Cached in", _field("cached_input")),
    Column("Output", _field("output")),
    Column("Reasoning", _field("reasoning_output"), dim=True),
    Column("Write 5m", _field("cache_write_5m")),
    Column("Write 1h", _field("cache_write_1h")),
    Column("Cache read", _field("cache_read")),
    Column("Total", lambda g: g.total_tokens),
)
MEDIUM = (
    Column("Fresh in", _fresh),
    Column("Output", _field("output")),
    Column("Cache\nwrite", lambda g: int(g["cache_write_5m"]) + int(g["cache_write_1h"])),
    Column("Cache\nread", lambda g: int(g["cached_input"]) + int(g["cache_read"])),
    Column("Total", lambda g: g.total_tokens),
)
# Cache writes and reads in one column: everything that went to or came from a cache.
FOLDED = (
    Column("Fresh in", _fresh),
    Column("Output", _field("output")),
    Column(
        "Cache",
        lambda g: int(g["cache_write_5m"]) + int(g["cache_write_1h"]) + int(g["cached_input"]) + int(g["cache_read"]),
    ),
    Column("Total", lambda g: g.total_tokens),
)
TOTAL_ONLY = (Column("Total", lambda g: g.total_tokens),)
# The forms of the figures, the widest first.
FORMS: Tuple[Tuple[Sequence[Column], Callable[[int], str]], ...] = (
    (WIDE, plain_number),
    (MEDIUM, plain_number),
    (MEDIUM, short_number),
    (FOLDED, short_number),
    (TOTAL_ONLY, short_number),
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
    return figures.cost_text(group.cost, group.priced_cost, currency=group.currency)


# ---------------------------------------------------------------------------
# Sizing: the figures' form, and the room of the key columns


# The block limit columns of a table: each one's header and the cell of a row.
LimitColumns = Sequence[Tuple[str, Callable[[Group], str]]]


def header_width(header: str) -> int:
    return max(cells.width(part) for part in header.split("\n"))


def figures_width(
    groups: Sequence[Group],
    columns: Sequence[Column],
    number: Callable[[int], str],
    priced: bool,
    limits: LimitColumns = (),
) -> int:
    """The cells the token (and cost, and block limit) columns take, padding included."""
    total = 0
    for column in columns:
        total += max([len(number(column.value(g))) for g in groups] + [header_width(column.header)]) + PADDING
    if priced:
        total += max([len(cost_text(g)) for g in groups] + [len("Cost")]) + PADDING
    for header, cell in limits:
        total += max([len(cell(g)) for g in groups] + [header_width(header)]) + PADDING
    return total


def choose_columns(
    groups: Sequence[Group], priced: bool, width: int, keys: int = 1, limits: LimitColumns = ()
) -> Tuple[Sequence[Column], Callable[[int], str]]:
    """The widest of FORMS whose token columns fit `width` beside `keys`
    key columns of KEY_ROOM cells: every kind in full, the merged kinds in
    full, the merged kinds abbreviated, the total alone abbreviated. It
    depends on the figures alone (the totals hold the widest), so every
    table of the same usage has the same form at the same width."""
    for columns, number in FORMS[:-1]:
        if EDGE + keys * (KEY_ROOM + PADDING) + figures_width(groups, columns, number, priced, limits) <= width:
            return columns, number
    return FORMS[-1]


# How a key cell may be shortened: not at all, a path, a name, a list of
# names, an id (never below its unique prefix), a block's start.
FIXED, PATH, NAME, NAMES, ID, BLOCK = "fixed", "path", "name", "names", "id", "block"
KIND_OF = {"project": PATH, "model": NAME, "machine": NAME, "tier": NAME, "dialect": NAME, "block": BLOCK}
# The narrowest a shortened cell gets, when it is longer than that.
SHORTEST = {PATH: 12, NAME: 12, NAMES: 12}
ACTIVE, NOW = " (active)", " now"


@dataclass(frozen=True)
class Cell:
    """A key cell: its full text, how it may be shortened, and (for an id)
    the length of its unique prefix."""

    text: str
    kind: str = FIXED
    prefix: int = 0
    names: Tuple[str, ...] = ()

    def natural(self) -> int:
        return cells.width(cells.printable(self.text))

    def floor(self) -> int:
        """The fewest cells it can be shown in."""
        if self.kind in SHORTEST:
            return min(self.natural(), SHORTEST[self.kind])
        if self.kind == ID:
            return min(self.natural(), self.prefix + 1)
        if self.kind == BLOCK and self.text.endswith(ACTIVE):
            return self.natural() - len(ACTIVE) + len(NOW)
        return self.natural()

    def fit(self, room: int) -> str:
        if self.kind == PATH:
            return cells.fit_path(self.text, room)
        if self.kind == NAMES:
            return cells.fit_names(self.names, room)
        if self.kind == ID:
            return cells.fit_id(self.text, room, self.prefix)
        if self.kind == BLOCK and self.natural() > room:
            return self.text[: -len(ACTIVE)] + NOW if self.text.endswith(ACTIVE) else self.text
        if self.kind == NAME:
            return cells.cut_end(self.text, room)
        return cells.printable(self.text)


# Kinds of cell whose shortened texts must tell different texts apart.
NAMED = (PATH, NAME)


def fit_column(column: Sequence[Cell], width: int) -> List[str]:
    """The cells of a key column shortened to `width`: paths and names
    together, so that those that would read the same are shortened so as
    to keep what tells them apart."""
    paths = iter(cells.fit_paths([c.text for c in column if c.kind == PATH], width))
    names = iter(cells.fit_names_apart([c.text for c in column if c.kind == NAME], width))
    return [next(paths) if c.kind == PATH else next(names) if c.kind == NAME else c.fit(width) for c in column]


def _alike(column: Sequence[Cell], texts: Sequence[str]) -> bool:
    """Whether two different names or paths of `column` read the same as `texts`."""
    seen: Dict[str, str] = {}
    return any(seen.setdefault(text, cell.text) != cell.text for cell, text in zip(column, texts) if cell.kind in NAMED)


def unique_width(column: Sequence[Cell], width: int) -> int:
    """`width`, or the fewest cells above it at which no two different
    names or paths of `column` read the same when shortened (at most the
    widest cell's natural width, where nothing is shortened)."""
    named = list({(c.kind, c.text): c for c in column if c.kind in NAMED}.values())
    if len(named) < 2 or not _alike(named, fit_column(named, width)):
        return width
    # Names read apart from some width on (a wider cell shows more of each):
    # that width is found by halving, every width tried being fitted once.
    low, high = width, max(width, max(c.natural() for c in named))
    while high - low > 1:
        middle = (low + high) // 2
        if _alike(named, fit_column(named, middle)):
            low = middle
        else:
            high = middle
    return high


def _key_sizes(columns: Sequence[Tuple[str, Sequence[Cell]]]) -> Tuple[List[int], List[int]]:
    """The natural and the narrowest width of each key column (header,
    cells); the narrowest leaves every name and path told apart."""
    naturals = [max([cells.width(h)] + [c.natural() for c in column]) for h, column in columns]
    floors = [unique_width(column, max([cells.width(h)] + [c.floor() for c in column])) for h, column in columns]
    return naturals, floors


def key_widths(columns: Sequence[Tuple[str, Sequence[Cell]]], room: int) -> List[int]:
    """The width of each key column (header, cells) in `room` cells: each
    its natural width when they all fit; otherwise ids are first cut to
    their unique prefixes (a prefix names a session as well as the whole
    id, and the rest of an id tells nothing more), then the widest column
    that can still be shortened gives up a cell, again and again, down to
    its floor (the table is then wider than `room`)."""
    widths, floors = _key_sizes(columns)
    excess = sum(widths) - room
    for i, (_header, column) in enumerate(columns):
        if excess > 0 and any(c.kind == ID for c in column):
            excess -= widths[i] - floors[i]
            widths[i] = floors[i]
    while excess > 0:
        cuttable = [i for i, w in enumerate(widths) if w > floors[i]]
        if not cuttable:
            break
        widest = max(cuttable, key=lambda i: widths[i])
        widths[widest] -= 1
        excess -= 1
    return widths


def fitted_keys(columns: Sequence[Tuple[str, Sequence[Cell]]], room: int) -> List[List[str]]:
    """The texts of each key column (header, cells) sized to share `room`
    cells (`key_widths`), column by column."""
    return [fit_column(column, unique_width(column, w)) for (_h, column), w in zip(columns, key_widths(columns, room))]


def key_cells(report: Report, group: Group) -> List[Cell]:
    """The key cells of a report row."""
    if report.by == ("block",):
        start = str(group.key["block"])
        return [Cell(start[:10] + " " + start[11:16] + (ACTIVE if group.key.get("active") else ""), BLOCK)]
    return [
        Cell(("yes" if v else "no") if isinstance(v, bool) else str(v), KIND_OF.get(n, FIXED))
        for n, v in ((n, group.key[n]) for n in report.by)
    ]


def _lines(report: Report) -> List[Tuple[List[Cell], Group, bool]]:
    """Every table line: key cells, the group, and whether it is a breakdown line."""
    width = max(1, len(report.by))
    out: List[Tuple[List[Cell], Group, bool]] = []
    for group in report.rows:
        out.append((key_cells(report, group), group, False))
        for sub in group.models:
            out.append(([Cell("")] * (width - 1) + [Cell("  - %s" % sub.key["model"], NAME)], sub, True))
    out.append(([Cell("Total")] + [Cell("")] * (width - 1), report.totals, False))
    return out


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


def console_for(stream: TextIO) -> Console:
    """A console on `stream` that takes cell texts literally (a project
    path may hold brackets: they are not markup)."""
    from rich.console import Console

    return Console(file=stream, highlight=False, markup=False)


def titled_table(title: str) -> Any:
    from rich import box
    from rich.table import Table

    return Table(title=title, box=box.SIMPLE_HEAD, title_justify="left")


def draw(report: Report, stream: TextIO, title: str, empty: str = NO_USAGE) -> None:
    """Prints `report` as a table on `stream` (or `empty` when it has no rows)."""
    console = console_for(stream)
    if not report.rows:
        show(console, empty)
        return
    lines = _lines(report)
    groups = [g for _k, g, _b in lines]
    headers = [HEADERS.get(n, n) for n in report.by] or [""]
    limits = block_columns(report.limits)
    keys = [(h, [cells_[i] for cells_, _g, _b in lines]) for i, h in enumerate(headers)]
    # The figures take the form every table takes at this width (with the
    # block limit columns, which a blocks table keeps before any split of
    # the tokens), or a narrower one where even the key columns' narrowest
    # (every name still told apart) would not fit beside it: a figure is
    # never cut.
    chosen = choose_columns(groups, report.priced, console.width, len(headers), limits)
    floors = sum(_key_sizes(keys)[1]) + PADDING * len(headers)
    for columns, number in FORMS[FORMS.index(chosen) :]:
        room = console.width - EDGE - figures_width(groups, columns, number, report.priced, limits)
        if floors <= room:
            break
    texts = fitted_keys(keys, room - PADDING * len(headers))

    table = titled_table(title)
    for header in headers:
        table.add_column(header, no_wrap=True, overflow="ellipsis")
    for column in columns:
        table.add_column(column.header, justify="right", style="dim" if column.dim else None, no_wrap=True)
    if report.priced:
        table.add_column("Cost", justify="right", no_wrap=True)
    for header, _cell in limits:
        table.add_column(header, justify="right", no_wrap=True)
    for i, (_keys, group, sub) in enumerate(lines):
        numbers = [number(c.value(group)) for c in columns] + ([cost_text(group)] if report.priced else [])
        # A block's use of each block limit (not of the totals or a model within a block).
        numbers += [cell(group) if not sub and i < len(lines) - 1 else "" for _h, cell in limits]
        following_is_row = i + 1 < len(lines) and not lines[i + 1][2]
        style = "bold" if i == len(lines) - 1 else ("dim" if sub else None)
        section = following_is_row and (sub or i + 2 == len(lines))
        table.add_row(*[column[i] for column in texts], *numbers, style=style, end_section=section)
    show(console, table)


# ---------------------------------------------------------------------------
# Sessions


def _when(text: object) -> str:
    """An RFC 3339 time as "YYYY-MM-DD HH:MM" (the zone is in the title)."""
    return "" if not isinstance(text, str) else text[:10] + " " + text[11:16]


# The key columns of the session table, in the order shown, and the order in
# which they give way when the table is too wide (the id always stays).
SESSION_KEYS = ("Session", "Project", "First event", "Last event", "Models")
SESSION_DROPS = ("First event", "Models", "Last event", "Project")
# The layouts of the session table, the widest first: the token columns
# (None: the form every table takes at this width) and how many key columns
# may give way. Naming a session matters more than splitting its tokens.
SESSION_LAYOUTS: Tuple[Tuple[Optional[Sequence[Column]], int], ...] = (
    (None, 0),
    (MEDIUM, 0),
    (MEDIUM, 1),
    (TOTAL_ONLY, len(SESSION_DROPS)),
)


def _session_lines(result: SessionReport, ids: Sequence[str]) -> List[Tuple[List[Cell], Group, Group]]:
    prefixes = cells.prefix_lengths([s.id for s in result.rows] + list(ids))

    def keys(s: Session) -> List[Cell]:
        return [
            Cell(s.id, ID, prefixes[s.id]),
            Cell(s.project, PATH),
            Cell(_when(s.first_event)),
            Cell(_when(s.last_event)),
            Cell(", ".join(s.models), NAMES, names=tuple(s.models)),
        ]

    lines = [(keys(s), s.usage, s.subagents) for s in result.rows]
    lines.append(
        ([Cell(sessions_total(result))] + [Cell("")] * (len(SESSION_KEYS) - 1), result.totals, result.subagents)
    )
    return lines


def sessions_total(result: SessionReport) -> str:
    """The label of the sessions table's last line, which sums every
    session of the range: "Total", or "All 109" when --top lists fewer
    (short enough for the id column at any width)."""
    return "Total" if len(result.rows) == result.count else "All %s" % plain_number(result.count)


def _subagent_cell(group: Group, number: Callable[[int], str]) -> str:
    return number(group.total_tokens) if group.total_tokens else "–"


def _session_keys(columns: Dict[str, List[Cell]], floors: Dict[str, int], room: int) -> List[Tuple[str, List[Cell]]]:
    """The key columns (header, cells) that fit `room` cells (padding
    included) at their narrowest (`floors`), ids at their unique prefix:
    the id, then each other column in the order they are kept longest,
    when it still fits; so a column too wide for what is left gives way
    and a narrower one after it may still be shown."""
    kept, left = [], room
    for header in ("Session", *reversed(SESSION_DROPS)):
        if floors[header] + PADDING <= left or header == "Session":
            kept.append(header)
            left -= floors[header] + PADDING
    return [(h, columns[h]) for h in SESSION_KEYS if h in kept]


def draw_sessions(
    result: SessionReport, stream: TextIO, title: str, empty: str = NO_USAGE, ids: Sequence[str] = ()
) -> None:
    """Prints the session list as a table on `stream`: one line per session,
    the subagents' share of its tokens, and the totals of every session in
    the range. An id is whole or cut to the prefix that tells it from the
    other listed ones and from `ids` (every session that `--id` could
    name). The figures take the form every table takes at this width; when
    the key columns do not fit beside them even shortened (ids at their
    prefix), the token columns narrow to the total, then key columns give
    way (first event, models, last event, project: each that still fits is
    kept), and only then are numbers abbreviated."""
    console = console_for(stream)
    if not result.rows:
        show(console, empty)
        return
    lines = _session_lines(result, ids)
    groups = [g for _c, g, _s in lines]
    chosen, number = choose_columns(groups, result.priced, console.width)
    numbers = [number] if number is short_number else [number, short_number]
    every = {h: [c[i] for c, _g, _s in lines] for i, h in enumerate(SESSION_KEYS)}
    floors = dict(zip(SESSION_KEYS, _key_sizes(list(every.items()))[1]))
    for columns, gives, number in ((layout or chosen, gives, n) for n in numbers for layout, gives in SESSION_LAYOUTS):
        subagents = max([len(_subagent_cell(s, number)) for _c, _g, s in lines] + [len("Subagents")]) + PADDING
        room = console.width - EDGE - figures_width(groups, columns, number, result.priced) - subagents
        keys = _session_keys(every, floors, room)
        if len(SESSION_KEYS) - len(keys) <= gives and sum(floors[h] for h, _c in keys) + PADDING * len(keys) <= room:
            break
    room -= PADDING * len(keys)
    texts = fitted_keys(keys, room)

    table = titled_table(title)
    for header, _cells in keys:
        table.add_column(header, no_wrap=True, overflow="ellipsis")
    for column in columns:
        table.add_column(column.header, justify="right", style="dim" if column.dim else None, no_wrap=True)
    if result.priced:
        table.add_column("Cost", justify="right", no_wrap=True)
    table.add_column("Subagents", justify="right", style="dim", no_wrap=True)
    for i, (_keys, group, sub) in enumerate(lines):
        amounts = [number(c.value(group)) for c in columns] + ([cost_text(group)] if result.priced else [])
        table.add_row(
            *[column[i] for column in texts],
            *amounts,
            _subagent_cell(sub, number),
            style="bold" if i == len(lines) - 1 else None,
            end_section=i == len(lines) - 2,
        )
    show(console, table)


def draw_session(detail: SessionDetail, stream: TextIO) -> None:
    """Prints one session: what it is, then its usage per model and per day."""
    console = console_for(stream)
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
