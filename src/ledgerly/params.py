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
``{"error": ..., "parameter": "since"}``.

No numpy here: the command line checks its options before loading the
report modules.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Sequence, Tuple, Union

from ledgerly.sources import project_label
from ledgerly.timezones import Bound, BoundError, TimezoneError, Zone, bound_ms, resolve_zone

# What a report can group by, in the order the help texts name them.
DIMENSIONS = ("day", "week", "month", "model", "project", "tier", "subagent", "dialect")
BLOCK = "block"  # 5-hour blocks: a grouping of its own, never combined
MACHINE = "machine"  # the machine an exported tree's events came from
# The groupings of each kind of report.
REPORT_GROUPS = DIMENSIONS + (BLOCK,)
TREE_GROUPS = DIMENSIONS + (MACHINE,)
SORTS = ("cost", "tokens")  # how sessions are ordered, the largest first
MAX_GLOBS = 64
MAX_TEXT = 1024  # longest accepted glob, zone name, time text or session name
MAX_TOP = 1_000_000

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
    are globs (none: every one)."""

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
        if not stripped.isdigit() or len(stripped) > 12:
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
) -> SessionQuery:
    """Checks the parameters of the session list; raises ParameterError
    naming the first bad one."""
    rows = make_query((), since, until, tz, model, project)
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


def _bound(parameter: str, value: Bound, zone: Zone) -> Optional[int]:
    if isinstance(value, str) and len(value) > MAX_TEXT:
        raise ParameterError(parameter, "too long")
    try:
        return bound_ms(value, zone, parameter == "until")
    except BoundError as exc:
        raise ParameterError(parameter, str(exc)) from None


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
) -> Query:
    """Checks every report parameter; raises ParameterError naming the first
    bad one. `group` names dimensions among `groups`; `since` and `until`
    are dates (whole days in the zone), RFC 3339 times, datetimes or Unix
    milliseconds, both inclusive; `tz` None is the system's zone."""
    by = parse_group(group, groups)
    zone = check_zone(tz)
    low, high = _bound("since", since, zone), _bound("until", until, zone)
    if low is not None and high is not None and low >= high:
        raise ParameterError("since", "%r is after its end (until %r)" % (since, until))
    return Query(
        by,
        zone,
        low,
        high,
        _globs("model", model),
        tuple(project_label(g) for g in _globs("project", project)),
        parse_bool("breakdown", breakdown),
        _globs("machine", machine),
    )
