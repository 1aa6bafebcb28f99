"""The parameters of a report, checked in one place.

The command line, the server's JSON API and the Python API take the same
parameters: how to group (`group`), the range (`since`, `until`), the zone
(`tz`), which models and projects (`model`, `project`, globs) and whether
to break rows down by model (`breakdown`). `make_query` checks them all and
returns a `Query`, the one object every report, block, session, status,
export and team query takes (`make_session_query` likewise for the session
list, with `sort`, `top` and `id`). Making one is the only place where a
group, a date, a zone, a glob, a sort or a count is checked; anything wrong
raises `ParameterError`, which names the parameter so that the command
line can say "--since: ..." and the API can answer 400 with
``{"error": ..., "parameter": "since"}``. It is also where the forms
people type are read: relative dates (`today`, `7d`, `last-month`), in the
query's zone, and a project named by a plain word (its last path part).

No numpy here: the command line checks its options before loading the
report modules.
"""

from __future__ import annotations

import re
import time
from dataclasses import dataclass
from datetime import date, timedelta
from typing import Any, Optional, Sequence, Tuple, Union

from ledgerly.sources import project_label
from ledgerly.timezones import DAY_MS, HOUR_MS, Bound, BoundError, TimezoneError, Zone, bound_ms, resolve_zone

# What a report can group by, in the order the help texts name them.
DIMENSIONS = ("day", "week", "month", "model", "project", "tier", "subagent", "dialect")
BLOCK = "block"  # 5-hour blocks: a grouping of its own, never combined
MACHINE = "machine"  # the machine an exported tree's events came from
# The groupings of each kind of report.
REPORT_GROUPS = DIMENSIONS + (BLOCK,)
TREE_GROUPS = DIMENSIONS + (MACHINE,)
SORTS = ("cost", "tokens", "recent")  # how sessions are ordered: the largest first, or the latest
MAX_GLOBS = 64
MAX_TEXT = 1024  # longest accepted glob, zone name, time text or session name
MAX_TOP = 1_000_000
# The idle gap of the insights' active time: gaps between a session's events
# longer than this many minutes are not active time.
DEFAULT_IDLE_GAP = 30
MAX_IDLE_GAP = 7 * 24 * 60

_TRUE = ("1", "true", "yes", "on")
_FALSE = ("0", "false", "no", "off", "")

Globs = Union[None, str, Sequence[str]]
ZoneSpec = Union[None, str, Zone]


class ParameterError(ValueError):
    """A parameter that cannot be used: `parameter` names it, `message`
    says why."""

    def __init__(self, parameter: str, message: str) -> None:
        super().__init__(message)
        self.parameter = parameter
        self.message = message

    def __str__(self) -> str:
        return "%s: %s" % (self.parameter, self.message)


@dataclass(frozen=True)
class Query:
    """Checked report parameters, made by `make_query`.

    `by` is a tuple of dimensions (empty: totals only), or ``("block",)``
    for 5-hour blocks; `low` and `high` bound the range in Unix
    milliseconds (`low` inclusive, `high` exclusive, None where open),
    already read in `zone` and in order; `model`, `project` and `machine`
    are globs (none: every one). A project given as a plain word (no glob
    character, no path separator) is kept as the globs that match it, in
    any case, as a whole name or as the last part of a path
    (`project_globs`)."""

    by: Tuple[str, ...]
    zone: Zone
    low: Optional[int] = None
    high: Optional[int] = None
    model: Tuple[str, ...] = ()
    project: Tuple[str, ...] = ()
    breakdown: bool = False
    machine: Tuple[str, ...] = ()

    def key(self) -> Tuple[Any, ...]:
        """A hashable form, for caching answers."""
        return (self.by, self.zone.name, self.low, self.high, self.model, self.project, self.breakdown, self.machine)


@dataclass(frozen=True)
class SessionQuery:
    """Checked parameters of the session list (or, with `id`, of one
    session's breakdown): the rows of `rows` (range, zone and globs), the
    order (`sort`: None for the default, cost when there is a price table
    and tokens otherwise), how many sessions to list (`top`: None for all)
    and which session to break down (`id`: an id or a log path)."""

    rows: Query
    sort: Optional[str] = None
    top: Optional[int] = None
    id: Optional[str] = None

    def key(self) -> Tuple[Any, ...]:
        """A hashable form, for caching answers."""
        return self.rows.key() + (self.sort, self.top, self.id)


@dataclass(frozen=True)
class InsightsQuery:
    """Checked parameters of the insights: the rows of `rows` (range, zone
    and globs), and the idle gap in minutes (`idle_gap`): a pause between
    two events of a session longer than that is not active time."""

    rows: Query
    idle_gap: int = DEFAULT_IDLE_GAP

    def key(self) -> Tuple[Any, ...]:
        """A hashable form, for caching answers."""
        return self.rows.key() + (self.idle_gap,)


def parse_idle_gap(text: Union[str, int, None]) -> int:
    """A whole number of minutes from 1 to a week (None: the default)."""
    if text is None:
        return DEFAULT_IDLE_GAP
    if isinstance(text, bool):
        raise ParameterError("idle_gap", "expected a whole number of minutes")
    if isinstance(text, int):
        value = text
    else:
        stripped = text.strip()
        if not (stripped.isascii() and stripped.isdigit()) or len(stripped) > 12:
            raise ParameterError("idle_gap", "expected a whole number of minutes, not %r" % text[:40])
        value = int(stripped)
    if not 1 <= value <= MAX_IDLE_GAP:
        raise ParameterError("idle_gap", "expected 1 to %d minutes" % MAX_IDLE_GAP)
    return value


def make_insights_query(
    since: Bound = None,
    until: Bound = None,
    tz: ZoneSpec = None,
    model: Globs = (),
    project: Globs = (),
    idle_gap: Union[str, int, None] = None,
    now: Optional[int] = None,
) -> InsightsQuery:
    """Checks the parameters of the insights; raises ParameterError naming
    the first bad one."""
    rows = make_query((), since, until, tz, model, project, now=now)
    return InsightsQuery(rows, parse_idle_gap(idle_gap))


def parse_top(text: Union[str, int, None]) -> Optional[int]:
    """A positive count of sessions, or None."""
    if text is None:
        return None
    if isinstance(text, bool):
        raise ParameterError("top", "expected a whole number of sessions")
    if isinstance(text, int):
        value = text
    else:
        stripped = text.strip()
        if not (stripped.isascii() and stripped.isdigit()) or len(stripped) > 12:
            raise ParameterError("top", "expected a whole number of sessions, not %r" % text[:40])
        value = int(stripped)
    if not 1 <= value <= MAX_TOP:
        raise ParameterError("top", "expected 1 to %d sessions" % MAX_TOP)
    return value


def make_session_query(
    since: Bound = None,
    until: Bound = None,
    tz: ZoneSpec = None,
    model: Globs = (),
    project: Globs = (),
    sort: Optional[str] = None,
    top: Union[str, int, None] = None,
    id: Optional[str] = None,
    now: Optional[int] = None,
) -> SessionQuery:
    """Checks the parameters of the session list; raises ParameterError
    naming the first bad one."""
    rows = make_query((), since, until, tz, model, project, now=now)
    if sort is not None and sort not in SORTS:
        raise ParameterError("sort", "expected one of %s, not %r" % (", ".join(SORTS), sort[:40]))
    if id is not None and (not id.strip() or len(id) > MAX_TEXT or "\0" in id):
        raise ParameterError("id", "name a session by its id or the path of its log")
    return SessionQuery(rows, sort, parse_top(top), None if id is None else id.strip())


def parse_group(text: Union[str, Sequence[str]], groups: Sequence[str] = REPORT_GROUPS) -> Tuple[str, ...]:
    """The dimensions named by `text`: ``day``, ``week``, ..., or a
    combination such as ``day,model`` (as text or a sequence; an empty
    sequence is totals only), each one of `groups`. ``block`` (when among
    `groups`) stands alone."""
    names = [n.strip() for n in (text.split(",") if isinstance(text, str) else text)]
    allowed = ", ".join(groups)
    if any(not n for n in names):
        raise ParameterError("group", "name one of %s" % allowed)
    for name in names:
        if name not in groups:
            raise ParameterError(
                "group", "cannot group by %r (unknown dimension %r; choose from %s)" % (name[:40], name[:40], allowed)
            )
    if BLOCK in names and len(names) > 1:
        raise ParameterError("group", "%s cannot be combined with other dimensions" % BLOCK)
    if len(set(names)) != len(names):
        raise ParameterError("group", "a dimension is named twice")
    return tuple(names)


def parse_bool(parameter: str, text: Union[str, bool, None]) -> bool:
    if text is None or isinstance(text, bool):
        return bool(text)
    value = text.strip().lower()
    if value in _TRUE:
        return True
    if value in _FALSE:
        return False
    raise ParameterError(parameter, "expected true or false, not %r" % text[:40])


def check_zone(tz: ZoneSpec, parameter: str = "tz") -> Zone:
    """The zone `tz` names (None or "local": the system's)."""
    if isinstance(tz, Zone):
        return tz
    if tz is not None and (len(tz) > MAX_TEXT or not tz.strip()):
        raise ParameterError(parameter, "not a time zone")
    try:
        return resolve_zone(tz)
    except TimezoneError as exc:
        raise ParameterError(parameter, str(exc)) from None


def _globs(parameter: str, values: Globs) -> Tuple[str, ...]:
    globs = () if values is None else (values,) if isinstance(values, str) else tuple(values)
    if len(globs) > MAX_GLOBS:
        raise ParameterError(parameter, "at most %d globs" % MAX_GLOBS)
    for value in globs:
        if not isinstance(value, str) or not value or len(value) > MAX_TEXT:
            raise ParameterError(parameter, "a glob must hold 1 to %d characters" % MAX_TEXT)
    return globs


GLOB_CHARACTERS = "*?["


def project_globs(globs: Tuple[str, ...]) -> Tuple[str, ...]:
    """The globs a project selection stands for: a glob as given (matched
    against the whole project name, a path, case counting), and a plain
    word (no glob character, no path separator) as the name itself or the
    last part of a path, in any case ("volcano" selects
    /home/me/work/Volcano, and a project named just "VOLCANO")."""
    out = []
    for glob in globs:
        if any(c in glob for c in GLOB_CHARACTERS + "/\\"):
            out.append(glob)
        else:
            word = any_case(glob)
            out.extend((word, "*/" + word, "*\\" + word))
    return tuple(out)


def any_case(word: str) -> str:
    """A glob that matches `word` (which holds no glob character) in any
    case: each letter written as the class of its forms ("[vV]olcano"
    becomes "[vV][oO]..."), so that every matcher of globs, the team
    query's included, reads it alike."""
    out = []
    for c in word:
        forms = {c, c.lower(), c.upper(), c.lower().upper(), c.upper().lower()}
        single = sorted(f for f in forms if len(f) == 1)
        out.append("[%s]" % "".join(single) if len(single) > 1 else c)
    return "".join(out)


# Relative dates, read in the query's zone at the time the query is made.
# A period names its first and last day (`--since` takes the first, `--until`
# the last); "7d" and "4w" name the day that many days or weeks before today;
# "12h" names the instant that many hours ago.
PERIODS = ("today", "yesterday", "this-week", "last-week", "this-month", "last-month", "this-year", "last-year")
_AGO_RE = re.compile(r"^([0-9]{1,6})([dwh])$")  # ASCII digits only: int() would take any script's
RELATIVE_HINT = "or a relative date: today, yesterday, 7d, 4w, 12h, this-week, last-week, this-month, last-month, ..."


def _month_start(day: date, back: int = 0) -> date:
    months = day.year * 12 + day.month - 1 - back
    return date(months // 12, months % 12 + 1, 1)


def relative_bound(text: str, zone: Zone, end: bool, now: int) -> Union[int, date, None]:
    """What the relative date `text` names as a `since` (end=False) or
    `until` (end=True) bound, `now` (Unix ms) being the current instant: a
    date in `zone`, an instant in ms (hours ago), or None when `text` is not
    a relative date. Raises OverflowError or ValueError for a day before
    year 1."""
    word = text.strip().lower()
    today = date(1970, 1, 1) + timedelta(days=(now + zone.offset(now // 1000) * 1000) // DAY_MS)
    ago = _AGO_RE.match(word)
    if ago:
        count, unit = int(ago.group(1)), ago.group(2)
        if unit == "h":
            return now - count * HOUR_MS
        return today - timedelta(days=count * (7 if unit == "w" else 1))
    if word not in PERIODS:
        return None
    monday = today - timedelta(days=today.weekday())
    first, last = {
        "today": (today, today),
        "yesterday": (today - timedelta(days=1), today - timedelta(days=1)),
        "this-week": (monday, monday + timedelta(days=6)),
        "last-week": (monday - timedelta(days=7), monday - timedelta(days=1)),
        "this-month": (_month_start(today), _month_start(today, -1) - timedelta(days=1)),
        "last-month": (_month_start(today, 1), _month_start(today) - timedelta(days=1)),
        "this-year": (date(today.year, 1, 1), date(today.year, 12, 31)),
        "last-year": (date(today.year - 1, 1, 1), date(today.year - 1, 12, 31)),
    }[word]
    return last if end else first


def _bound(parameter: str, value: Bound, zone: Zone, now: Optional[int]) -> Optional[int]:
    if isinstance(value, str) and len(value) > MAX_TEXT:
        raise ParameterError(parameter, "too long")
    end = parameter == "until"
    if isinstance(value, str):
        try:
            relative = relative_bound(value, zone, end, int(time.time() * 1000) if now is None else now)
        except (OverflowError, ValueError):
            raise ParameterError(parameter, "%r reaches back before year 1" % value) from None
        if relative is not None:
            value = relative
    try:
        return bound_ms(value, zone, end)
    except BoundError as exc:
        raise ParameterError(parameter, "%s, %s" % (exc, RELATIVE_HINT)) from None


def make_query(
    group: Union[str, Sequence[str]] = ("day",),
    since: Bound = None,
    until: Bound = None,
    tz: ZoneSpec = None,
    model: Globs = (),
    project: Globs = (),
    breakdown: Union[bool, str, None] = False,
    groups: Sequence[str] = REPORT_GROUPS,
    machine: Globs = (),
    now: Optional[int] = None,
) -> Query:
    """Checks every report parameter; raises ParameterError naming the first
    bad one. `group` names dimensions among `groups`; `since` and `until`
    are dates (whole days in the zone), RFC 3339 times, datetimes, Unix
    milliseconds or relative dates (`relative_bound`, read at `now`, Unix
    ms, default the current time), both inclusive; `tz` None is the
    system's zone."""
    by = parse_group(group, groups)
    zone = check_zone(tz)
    low, high = _bound("since", since, zone, now), _bound("until", until, zone, now)
    if low is not None and high is not None and low >= high:
        raise ParameterError("since", "%r is after its end (until %r)" % (since, until))
    return Query(
        by,
        zone,
        low,
        high,
        _globs("model", model),
        project_globs(tuple(project_label(g) for g in _globs("project", project))),
        parse_bool("breakdown", breakdown),
        _globs("machine", machine),
    )
