"""Sessions: which conversation spent the tokens.

    listed = list_sessions(snapshot, prices=table, sort="cost", top=10)
    print(listed.to_json())
    one = session_detail(snapshot, "conv-1", prices=table)   # per model and per day

A session is one log file, named by its path (`session`) and by the file's
name without `.jsonl` (`id`). A subagent's log is folded into its parent's
session when the layout shows the parent: the log lies in a folder named
`subagents` inside a folder named after the parent's log, that is
`<dir>/<name>/subagents/*.jsonl` next to `<dir>/<name>.jsonl`, and that
parent log is among the listed files. Any other log is a session of its own:
a forked session too (the events it inherited stay with its parent, see
docs/selection.md), and a subagent log whose parent cannot be told from the
layout.

Every row comes with its log file from the engine (`Snapshot.file_index`),
so nothing is visited row by row in Python: a small table maps each log file
to its session, one gather turns the rows' file indexes into session codes,
and the sums are those of the reports (`ledgerly.grouping`), per session,
subagent flag and model (costs are per model). The first and last event of
each session come from the runs of equal codes in the row order. The
sessions of a range add up exactly to that range's daily report.
"""

from __future__ import annotations

import dataclasses
import json
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple

import numpy as np

from ledgerly.columns import Rows
from ledgerly.grouping import Codes, exact_sums, small
from ledgerly.layout import TOKEN_FIELDS
from ledgerly.params import Globs, ParameterError, SessionQuery, ZoneSpec, make_session_query
from ledgerly.prices import PriceTable
from ledgerly.prices.classes import group_by_model
from ledgerly.reports import TOTAL_FIELDS, Group, Report, currency_of, report_for, select, write_csv
from ledgerly.snapshot import Snapshot
from ledgerly.sources import LOG_SUFFIX, SUBAGENT_FOLDER
from ledgerly.timezones import Bound, Zone, format_instant

ROW_FIELDS = ("session", "id", "project", "first_event", "last_event", "models")


class SessionError(ParameterError):
    """A session that cannot be named (`id`), or an order that cannot be
    used (`sort`); a ReportError like every bad parameter."""


# ---------------------------------------------------------------------------
# Which session each log belongs to


def session_id(path: str) -> str:
    """The id of the session whose log is `path`: its file name without `.jsonl`."""
    name = os.path.basename(path)
    return name[: -len(LOG_SUFFIX)] if name.endswith(LOG_SUFFIX) and len(name) > len(LOG_SUFFIX) else name


_path = os.path  # the platform's path rules (a test swaps in another platform's)


def parent_log(path: str) -> Optional[str]:
    """The log that the layout names as the parent of the subagent log
    `path` (`<dir>/<name>.jsonl` for `<dir>/<name>/subagents/<file>`), or
    None when `path` does not lie in such a folder."""
    folder = _path.dirname(path)
    if _path.basename(folder) != SUBAGENT_FOLDER:
        return None
    owner = _path.dirname(folder)
    if not owner or _path.dirname(owner) == owner:  # no folder above, or the root
        return None
    return owner + LOG_SUFFIX


@dataclass(frozen=True)
class SessionMap:
    """The sessions of a snapshot's log files.

    - `paths`: the path of each session's log, sorted;
    - `of_file`: for each entry of `Snapshot.files`, its session's index
      into `paths`;
    - `logs`: per session, the paths among `Snapshot.files` that belong to
      it (its own log first when it has rows, then its subagents' logs)."""

    paths: Tuple[str, ...]
    of_file: np.ndarray
    logs: Tuple[Tuple[str, ...], ...]

    def index(self, path: str) -> Optional[int]:
        """The session whose log is `path`, or that `path` is folded into."""
        if path in self.paths:
            return self.paths.index(path)
        for s, logs in enumerate(self.logs):
            if path in logs:
                return s
        return None


def map_sessions(files: Sequence[str], listed: Sequence[str] = ()) -> SessionMap:
    """Assigns each of `files` (the logs that own rows) to its session.
    `listed` are the other known logs (the listing): a subagent log is
    folded into its parent only when the parent is among `files` or
    `listed`, nested subagents into their outermost parent."""
    known: Set[str] = set(files)
    known.update(listed)
    roots: Dict[str, str] = {}

    def root(path: str) -> str:
        seen = path
        chain = []
        while seen not in roots:
            parent = parent_log(seen)
            if parent is None or parent not in known:
                roots[seen] = seen
                break
            chain.append(seen)
            seen = parent
        for p in chain:
            roots[p] = roots[seen]
        return roots[seen]

    owners = [root(p) for p in files]
    paths = tuple(sorted(set(owners)))
    number = {p: i for i, p in enumerate(paths)}
    of_file = np.array([number[r] for r in owners], dtype=np.intp)
    logs: List[List[str]] = [[] for _ in paths]
    for path, owner in sorted(zip(files, owners)):
        logs[number[owner]].append(path)
    return SessionMap(paths, of_file, tuple(tuple(group) for group in logs))


def snapshot_sessions(snapshot: Snapshot) -> SessionMap:
    """The sessions of `snapshot` (which must come from a ledger: its rows
    carry their log files)."""
    if snapshot.file_index is None:
        raise SessionError(
            "snapshot", "this snapshot does not say which log each row came from (make it with a Ledger)"
        )
    return map_sessions(snapshot.files, [f.path for f in snapshot.listing.files])


# ---------------------------------------------------------------------------
# Result


@dataclass(frozen=True)
class Session:
    """One session's usage: `usage` (tokens and cost, as a report `Group`)
    and the part of it its subagents made (`subagents`: rows with the
    subagent flag, whether from a folded subagent log or marked so in the
    session's own log). Times are RFC 3339 in the report's zone (None for a
    session without usage in the range)."""

    session: str
    id: str
    project: str
    first_event: Optional[str]
    last_event: Optional[str]
    models: Tuple[str, ...]
    usage: Group
    subagents: Group

    def key(self) -> Dict[str, Any]:
        return {
            "session": self.session,
            "id": self.id,
            "project": self.project,
            "first_event": self.first_event,
            "last_event": self.last_event,
            "models": list(self.models),
        }

    def to_dict(self, priced: bool) -> Dict[str, Any]:
        out = self.key()
        out.update(_numbers(self.usage, self.subagents, priced))
        return out


def _numbers(usage: Group, subagents: Group, priced: bool) -> Dict[str, Any]:
    """The token fields, total_tokens and cost of `usage`, then the
    subagents' share of them, then the priced parts of both costs (added
    after the fields that were there before them)."""
    out = usage.to_dict(priced)
    priced_cost = out.pop("priced_cost", None)
    out["subagent_tokens"] = subagents.total_tokens
    if priced:
        out["subagent_cost"] = None if subagents.cost is None else round(subagents.cost, 6)
        out["priced_cost"] = priced_cost
        out["subagent_priced_cost"] = round(subagents.priced_cost, 6)
    return out


@dataclass(frozen=True)
class SessionReport:
    """Sessions, the largest first by `sort` ("cost" or "tokens") or the
    latest first ("recent"), at most
    `top` of them. `totals` and `subagents` cover every session of the
    range (`count` of them), listed or not."""

    rows: Tuple[Session, ...]
    totals: Group
    subagents: Group
    count: int
    sort: str
    timezone: str
    priced: bool = False
    unpriced: Mapping[str, Tuple[str, ...]] = field(default_factory=dict)
    currency: Optional[str] = None

    def columns(self) -> Tuple[str, ...]:
        """The CSV columns, in order; also the fields of each JSON row."""
        cost = ("cost",) if self.priced else ()
        return (
            ROW_FIELDS
            + TOKEN_FIELDS
            + ("total_tokens",)
            + cost
            + ("subagent_tokens",)
            + (("subagent_cost", "priced_cost", "subagent_priced_cost") if self.priced else ())
        )

    def to_dict(self) -> Dict[str, Any]:
        out: Dict[str, Any] = {
            "rows": [s.to_dict(self.priced) for s in self.rows],
            "totals": _numbers(self.totals, self.subagents, self.priced),
        }
        if self.priced:
            out["unpriced"] = sorted(self.unpriced)
        out["timezone"] = self.timezone
        out["sessions"] = self.count
        if self.priced:
            out["currency"] = self.currency
        return out

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)

    def to_csv(self) -> str:
        """One line per listed session; models joined by ";"."""
        records = []
        for session in self.rows:
            record = session.to_dict(self.priced)
            record["models"] = ";".join(session.models)
            records.append(record)
        return write_csv(self.columns(), records, self.currency if self.priced else None)


@dataclass(frozen=True)
class SessionDetail:
    """One session broken down: its `summary` (a `Session`), the logs it is
    made of (`logs`), and its usage per model (`by_model`) and per day with
    the models of each day (`by_day`), both reports over the same range."""

    summary: Session
    logs: Tuple[str, ...]
    by_model: Report
    by_day: Report

    @property
    def priced(self) -> bool:
        return self.by_model.priced

    @property
    def unpriced(self) -> Mapping[str, Tuple[str, ...]]:
        """The models whose usage in this session has no price (see `Report`)."""
        return self.by_model.unpriced

    def to_dict(self) -> Dict[str, Any]:
        out = self.summary.to_dict(self.priced)
        out["logs"] = list(self.logs)
        out["by_model"] = self.by_model.to_dict()["rows"]
        out["by_day"] = self.by_day.to_dict()["rows"]
        if self.priced:
            out["unpriced"] = sorted(self.unpriced)
        out["timezone"] = self.by_day.timezone
        if self.priced:
            out["currency"] = self.by_day.currency
        return out

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)

    def to_csv(self) -> str:
        """One line per day and model (the day report's breakdown form):
        the lines of a model add up to its `by_model` row."""
        return self.by_day.to_csv()


# ---------------------------------------------------------------------------
# Computing


def _group(tokens: List[int], paid: float, missing: bool, priced: bool, currency: Optional[str] = None) -> Group:
    cost = None if not priced or missing else paid
    return Group({}, tuple(int(t) for t in tokens), cost, paid, missing, currency=currency)


def _session_codes(smap: SessionMap, file_index: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """The session code of every row (one gather through the per-file
    table, then renumbered densely over the sessions that have rows), and
    per dense code the index of its session in `smap.paths`."""
    codes = smap.of_file[file_index] if len(file_index) else np.zeros(0, dtype=np.intp)
    present = np.zeros(len(smap.paths), dtype=bool)
    present[codes] = True
    dense = np.cumsum(present) - 1
    return dense[codes], np.flatnonzero(present)


def session_codes(snapshot: Snapshot, file_index: Optional[np.ndarray] = None) -> Tuple[np.ndarray, int]:
    """The session of each row whose file (an index into the snapshot's
    `files`) `file_index` gives (default: every row of the snapshot), as
    codes numbered densely (in path order) over the sessions that have such
    rows, and how many sessions that is. Raises SessionError for a snapshot
    whose rows do not name their logs."""
    smap = snapshot_sessions(snapshot)
    assert snapshot.file_index is not None
    codes, listed = _session_codes(smap, snapshot.file_index if file_index is None else file_index)
    return codes, len(listed)


def _spans(rows: Rows, codes: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per session code: the first and last event (ms) and the project of
    its first row (in row order a session's own log comes before its
    subagents' folder), from the runs of equal codes in row order."""
    if not len(rows):
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, empty
    ts = np.asarray(rows["timestamp"])
    starts = np.flatnonzero(np.r_[True, codes[1:] != codes[:-1]])
    run_code = codes[starts]
    order = np.argsort(run_code, kind="stable")
    run_first = np.minimum.reduceat(ts, starts)[order]
    run_last = np.maximum.reduceat(ts, starts)[order]
    run_project = np.asarray(rows["project"])[starts][order]
    grouped = run_code[order]
    begin = np.flatnonzero(np.r_[True, grouped[1:] != grouped[:-1]])
    return np.minimum.reduceat(run_first, begin), np.maximum.reduceat(run_last, begin), run_project[begin]


@dataclass(frozen=True)
class _Sums:
    """Token sums (n × 7), costs and unpriced flags, per session or for the
    whole range."""

    tokens: np.ndarray
    paid: np.ndarray
    missing: np.ndarray

    def group(self, k: int, priced: bool, currency: Optional[str] = None) -> Group:
        return _group(self.tokens[k].tolist(), float(self.paid[k]), bool(self.missing[k]), priced, currency)


def _sums(sums: np.ndarray, paid: np.ndarray, missing: np.ndarray, starts: np.ndarray) -> _Sums:
    """The runs of groups that begin at `starts` added up."""
    if not len(sums):
        return _Sums(np.zeros((0, len(TOKEN_FIELDS)), dtype=np.int64), paid, missing)
    return _Sums(exact_sums(sums, starts), np.add.reduceat(paid, starts), np.logical_or.reduceat(missing, starts))


def _whole(sums: np.ndarray) -> List[int]:
    """The exact column sums of `sums` (n × 7)."""
    return exact_sums(sums, np.zeros(1, dtype=np.intp))[0].tolist() if len(sums) else [0] * len(TOKEN_FIELDS)


def sessions_for(snapshot: Snapshot, query: SessionQuery, prices: Optional[PriceTable] = None) -> SessionReport:
    """The usage of each session with rows that the query selects, the
    largest first by the query's sort ("cost", the default with a price
    table: a session whose cost is unknown is placed by the part that has a
    price; or "tokens", the default without), or the latest last event
    first ("recent"); ties go by path. Only the
    query's `top` sessions are listed; the totals cover them all. Raises
    SessionError when sorting by cost without a price table."""
    sort = query.sort or ("cost" if prices else "tokens")
    if sort == "cost" and not prices:
        raise SessionError("sort", "sorting by cost needs a price table")
    smap = snapshot_sessions(snapshot)
    sel = select(snapshot, query.rows)
    # A session's project is that of its first row in export order.
    sel = dataclasses.replace(sel, rows=sel.rows[snapshot.export_order(sel.rows)])
    assert sel.file_index is not None
    codes, listed = _session_codes(smap, sel.file_index)
    count = len(listed)
    priced = bool(prices)

    # Sums and costs per session, subagent flag and model.
    dims = [Codes(codes, max(1, count)), small(sel.rows["subagent"] != 0, 2)]
    fine = group_by_model(dims, sel.rows, sel.tokens, sel.models, prices)
    session_of, sub_of = fine.outer[0], fine.outer[1]
    currency = currency_of(prices)
    first_ms, last_ms, project_of = _spans(sel.rows, codes)

    # Per session: the sums of its groups, and of its subagent groups.
    is_sub = sub_of == 1
    sub_sums = np.where(is_sub[:, None], fine.sums, np.zeros_like(fine.sums))
    begin = np.flatnonzero(np.r_[True, session_of[1:] != session_of[:-1]]) if len(fine) else np.zeros(0, np.intp)
    own = _sums(fine.sums, fine.paid, fine.missing, begin)
    subagents = _sums(sub_sums, np.where(is_sub, fine.paid, 0.0), fine.missing & is_sub, begin)
    ends = np.r_[begin[1:], len(fine)].astype(np.intp)

    # The order, computed on whole columns; only the sessions listed are
    # then made into objects. Dense codes follow the paths, so a stable sort
    # breaks ties by path.
    if sort == "cost":
        weight = own.paid
    elif sort == "recent":
        weight = last_ms
    else:
        weight = own.tokens[:, [TOKEN_FIELDS.index(name) for name in TOTAL_FIELDS]].sum(axis=1)
    chosen: List[Session] = []
    model_list, begin_list, end_list = fine.model_of.tolist(), begin.tolist(), ends.tolist()
    for k in np.argsort(-weight, kind="stable")[: query.top].tolist():
        path = smap.paths[int(listed[k])]
        used = sorted({sel.models[m] for m in model_list[begin_list[k] : end_list[k]]})
        chosen.append(
            Session(
                path,
                session_id(path),
                sel.projects[int(project_of[k])],
                format_instant(int(first_ms[k]), sel.zone),
                format_instant(int(last_ms[k]), sel.zone),
                tuple(used),
                own.group(k, priced, currency),
                subagents.group(k, priced, currency),
            )
        )

    return SessionReport(
        rows=tuple(chosen),
        totals=_group(_whole(fine.sums), float(fine.paid.sum()), bool(fine.missing.any()), priced, currency),
        subagents=_group(
            _whole(sub_sums), float(fine.paid[is_sub].sum()), bool(fine.missing[is_sub].any()), priced, currency
        ),
        count=count,
        sort=sort,
        timezone=sel.zone.name,
        priced=priced,
        unpriced=fine.unpriced,
        currency=currency,
    )


def list_sessions(
    snapshot: Snapshot,
    tz: ZoneSpec = None,
    since: Bound = None,
    until: Bound = None,
    model: Globs = None,
    project: Globs = None,
    prices: Optional[PriceTable] = None,
    sort: Optional[str] = None,
    top: Optional[int] = None,
) -> SessionReport:
    """`sessions_for` with the parameters as keywords: `tz`, `since`,
    `until`, `model` and `project` select rows as `report` does (a session
    whose rows all fall outside is not listed); `prices` gives every
    session a cost; `sort` is "cost", "tokens" or "recent"; `top` lists only that
    many. Raises ReportError for bad arguments (SessionError for a sort by
    cost without prices)."""
    return sessions_for(snapshot, make_session_query(since, until, tz, model, project, sort, top), prices)


SHOWN_CANDIDATES = 10  # session ids an ambiguous id prefix lists
ELLIPSIS = "\u2026"


def find_session(smap: SessionMap, which: str) -> int:
    """The session named by `which`: a path (it holds a path separator) of
    the session's log or of any log folded into it, or a session id (its
    log's name, with or without `.jsonl`), or the start of exactly one
    session's id. Raises SessionError when no session or more than one
    matches."""
    text = which.strip()
    if not text:
        raise SessionError("id", "name a session by its id or the path of its log")
    if os.sep in text or (os.altsep is not None and os.altsep in text):
        path = os.path.abspath(os.path.expanduser(text))
        found = smap.index(path)
        if found is None:
            raise SessionError("id", "no session has the log %s (ledgerly sessions lists them)" % path)
        return found
    # A table shows a long id cut to a prefix that ends in "…": copied with it, it still names the session.
    name = session_id(text).rstrip(ELLIPSIS) or text
    matches = [s for s, p in enumerate(smap.paths) if session_id(p) == name]
    if not matches:
        matches = [s for s, p in enumerate(smap.paths) if session_id(p).startswith(name)]
        ids = sorted({session_id(smap.paths[s]) for s in matches})
        if len(ids) > 1:
            more = "" if len(ids) <= SHOWN_CANDIDATES else ", and %d more" % (len(ids) - SHOWN_CANDIDATES)
            raise SessionError(
                "id",
                "%r is the start of %d session ids: %s%s; give more of it"
                % (text[:200], len(ids), ", ".join(ids[:SHOWN_CANDIDATES]), more),
            )
    if not matches:
        raise SessionError("id", "no session has the id %r (ledgerly sessions lists them)" % text[:200])
    if len(matches) > 1:
        shown = ", ".join(smap.paths[s] for s in matches[:5])
        raise SessionError(
            "id",
            "%d sessions have the id %r; name one by the path of its log: %s"
            % (len(matches), session_id(smap.paths[matches[0]])[:200], shown),
        )
    return matches[0]


def _one_session(
    snapshot: Snapshot, query: SessionQuery, prices: Optional[PriceTable]
) -> Tuple[Session, Snapshot, Tuple[str, ...]]:
    """The summary of the session that the query names (`id`), the
    snapshot of its rows alone, and its logs."""
    smap = snapshot_sessions(snapshot)
    chosen = find_session(smap, query.id or "")
    assert snapshot.file_index is not None
    mine = smap.of_file[snapshot.file_index] == chosen if len(snapshot) else np.zeros(0, dtype=bool)
    own = dataclasses.replace(snapshot, rows=snapshot.rows[mine], store=None)
    listed = sessions_for(own, dataclasses.replace(query, sort=None, top=None), prices)
    summary = listed.rows[0] if listed.rows else _no_usage(own, smap.paths[chosen], query.rows.zone, bool(prices))
    return summary, own, smap.logs[chosen]


def summary_for(snapshot: Snapshot, query: SessionQuery, prices: Optional[PriceTable] = None) -> Session:
    """The usage of the session that the query names (`id`, see
    `find_session`) over the rows the query selects, without the breakdown
    of `detail_for`. Raises SessionError."""
    return _one_session(snapshot, query, prices)[0]


def detail_for(snapshot: Snapshot, query: SessionQuery, prices: Optional[PriceTable] = None) -> SessionDetail:
    """The session that the query names (`id`, see `find_session`) per
    model and per day, over the rows the query selects. A session without
    usage in the range still has its summary, with zero usage and no
    times. Raises SessionError."""
    summary, own, logs = _one_session(snapshot, query, prices)
    by_model = report_for(own, dataclasses.replace(query.rows, by=("model",)), prices)
    by_day = report_for(own, dataclasses.replace(query.rows, by=("day",), breakdown=True), prices)
    return SessionDetail(summary, logs, by_model, by_day)


def _no_usage(own: Snapshot, path: str, zone: Zone, priced: bool) -> Session:
    """The summary of a session without usage in the range: its project is
    that of its first row at any time."""
    anything = make_session_query(tz=zone)
    whole = sessions_for(own, anything)
    nothing = _group([0] * len(TOKEN_FIELDS), 0.0, False, priced)
    return Session(
        path, session_id(path), whole.rows[0].project if whole.rows else "", None, None, (), nothing, nothing
    )


def session_detail(
    snapshot: Snapshot,
    which: str,
    tz: ZoneSpec = None,
    since: Bound = None,
    until: Bound = None,
    model: Globs = None,
    project: Globs = None,
    prices: Optional[PriceTable] = None,
) -> SessionDetail:
    """`detail_for` with the parameters as keywords: the session `which`
    (see `find_session`) per model and per day, over the rows the other
    arguments select (as in `list_sessions`). Raises ReportError for bad
    arguments, SessionError for a session that cannot be named."""
    return detail_for(snapshot, make_session_query(since, until, tz, model, project, id=which), prices)
