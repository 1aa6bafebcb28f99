"""The parameters of a report, checked in one place.

The command line (options and subcommands) and the server's JSON API take
the same parameters: how to group (`group`), the range (`since`, `until`),
the zone (`tz`), which models and projects (`model`, `project`, globs) and
whether to break rows down by model (`breakdown`). `make_query` checks them
all and returns a `Query` (`make_session_query` likewise for the session
list, with `sort`, `top` and `id`); anything wrong raises `ParameterError`, which
names the parameter so that the command line can say "--since: ..." and
the API can answer 400 with ``{"error": ..., "parameter": "since"}``.

No numpy here: the command line checks its options before loading the
report modules.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence, Tuple, Union

from ledgerly.timezones import BoundError, TimezoneError, Zone, bound_ms, resolve_zone

# Keep in step with ledgerly.reports.DIMENSIONS (that module needs numpy).
DIMENSIONS = ("day", "week", "month", "model", "project", "tier", "subagent", "dialect")
BLOCK = "block"
MAX_GLOBS = 64
MAX_TEXT = 1024  # longest accepted glob, zone name or time text

_TRUE = ("1", "true", "yes", "on")
_FALSE = ("0", "false", "no", "off", "")


class ParameterError(ValueError):
    """A report parameter that cannot be used; `parameter` names it."""

    def __init__(self, parameter: str, message: str) -> None:
        super().__init__(message)
        self.parameter = parameter
        self.message = message

    def __str__(self) -> str:
        return "%s: %s" % (self.parameter, self.message)


@dataclass(frozen=True)
class Query:
    """Checked report parameters. `by` is a tuple of dimensions, or
    ``("block",)`` for 5-hour windows; `since` and `until` are kept as given
    (the report reads them in `zone`) and known to be valid and in order."""

    by: Tuple[str, ...]
    zone: Zone
    since: Optional[str] = None
    until: Optional[str] = None
    model: Tuple[str, ...] = ()
    project: Tuple[str, ...] = ()
    breakdown: bool = False

    def report_args(self) -> Dict[str, Any]:
        """Keyword arguments for `reports.report` / `windows.blocks` (without
        `by` and `prices`)."""
        return {
            "tz": self.zone,
            "since": self.since,
            "until": self.until,
            "model": self.model or None,
            "project": self.project or None,
            "breakdown": self.breakdown,
        }

    def key(self) -> Tuple[Any, ...]:
        """A hashable form, for caching answers."""
        return (self.by, self.zone.name, self.since, self.until, self.model, self.project, self.breakdown)


SORTS = ("cost", "tokens")  # how sessions are ordered, the largest first
MAX_TOP = 1_000_000


@dataclass(frozen=True)
class SessionQuery:
    """Checked parameters of the session list (or, with `id`, of one
    session's breakdown): the range, zone and globs of a `Query`, the order
    (`sort`: None for the default, cost when there is a price table and
    tokens otherwise), how many sessions to list (`top`: None for all) and
    which session to break down (`id`: an id or a log path)."""

    zone: Zone
    since: Optional[str] = None
    until: Optional[str] = None
    model: Tuple[str, ...] = ()
    project: Tuple[str, ...] = ()
    sort: Optional[str] = None
    top: Optional[int] = None
    id: Optional[str] = None

    def range_args(self) -> Dict[str, Any]:
        """Keyword arguments for `sessions.list_sessions` / `session_detail`
        (without `prices`, `sort` and `top`)."""
        return {"tz": self.zone, "since": self.since, "until": self.until, "model": self.model or None,
                "project": self.project or None}

    def key(self) -> Tuple[Any, ...]:
        """A hashable form, for caching answers."""
        return (self.zone.name, self.since, self.until, self.model, self.project, self.sort, self.top, self.id)


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
    since: Optional[str] = None,
    until: Optional[str] = None,
    tz: Union[str, Zone, None] = None,
    model: Sequence[str] = (),
    project: Sequence[str] = (),
    sort: Optional[str] = None,
    top: Union[str, int, None] = None,
    id: Optional[str] = None,
) -> SessionQuery:
    """Checks the parameters of the session list; raises ParameterError
    naming the first bad one."""
    base = make_query(("day",), since, until, tz, model, project)
    if sort is not None and sort not in SORTS:
        raise ParameterError("sort", "expected one of %s, not %r" % (", ".join(SORTS), sort[:40]))
    if id is not None and (not id.strip() or len(id) > MAX_TEXT or "\0" in id):
        raise ParameterError("id", "name a session by its id or the path of its log")
    return SessionQuery(base.zone, base.since, base.until, base.model, base.project, sort, parse_top(top),
                        None if id is None else id.strip())


def parse_group(text: Union[str, Sequence[str]]) -> Tuple[str, ...]:
    """``day``, ``week``, ..., a comma-separated combination such as
    ``day,model``, or ``block``."""
    names = [n.strip() for n in text.split(",")] if isinstance(text, str) else [n.strip() for n in text]
    if not names or any(not n for n in names):
        raise ParameterError("group", "name one of %s, or %s" % (", ".join(DIMENSIONS), BLOCK))
    if BLOCK in names:
        if len(names) > 1:
            raise ParameterError("group", "%s cannot be combined with other dimensions" % BLOCK)
        return (BLOCK,)
    for name in names:
        if name not in DIMENSIONS:
            raise ParameterError("group", "unknown dimension %r (choose from %s, or %s)"
                                 % (name[:40], ", ".join(DIMENSIONS), BLOCK))
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


def check_zone(text: Optional[str], parameter: str = "tz") -> Zone:
    """The zone `text` names (None or "local": the system's)."""
    if text is not None and (len(text) > MAX_TEXT or not text.strip()):
        raise ParameterError(parameter, "not a time zone")
    try:
        return resolve_zone(text)
    except TimezoneError as exc:
        raise ParameterError(parameter, str(exc)) from None


def _globs(parameter: str, values: Sequence[str]) -> Tuple[str, ...]:
    if len(values) > MAX_GLOBS:
        raise ParameterError(parameter, "at most %d globs" % MAX_GLOBS)
    for value in values:
        if not value or len(value) > MAX_TEXT:
            raise ParameterError(parameter, "a glob must hold 1 to %d characters" % MAX_TEXT)
    return tuple(values)


def make_query(
    group: Union[str, Sequence[str]] = ("day",),
    since: Optional[str] = None,
    until: Optional[str] = None,
    tz: Union[str, Zone, None] = None,
    model: Sequence[str] = (),
    project: Sequence[str] = (),
    breakdown: Union[bool, str, None] = False,
) -> Query:
    """Checks every report parameter; raises ParameterError naming the first
    bad one. `tz` None is the system's zone."""
    by = parse_group(group)
    zone = tz if isinstance(tz, Zone) else check_zone(tz)
    bounds = []
    for name, value in (("since", since), ("until", until)):
        if value is not None and len(value) > MAX_TEXT:
            raise ParameterError(name, "too long")
        try:
            bounds.append(bound_ms(value, zone, name == "until"))
        except BoundError as exc:
            raise ParameterError(name, str(exc)) from None
    low, high = bounds
    if low is not None and high is not None and low >= high:
        raise ParameterError("since", "%r is after its end (until %r)" % (since, until))
    return Query(by, zone, since, until, _globs("model", model), _globs("project", project),
                 parse_bool("breakdown", breakdown))
