"""Insights: when the tokens go, how long sessions are active, what the
cache saves, and how this week and this month compare with the last.

    found = insights_for(snapshot, make_insights_query(since="this-month", tz="Europe/Berlin"), table)
    print(found.to_json())

Over the rows a query selects (range, zone, globs), in the query's zone:

- **By weekday and hour**: tokens, and the priced cost, of each local hour
  of each weekday, Monday first. An event counts in the hour its local
  wall-clock time shows, so on the day clocks go back the repeated hour
  holds the events of both of its passes, and the hour skipped when clocks
  go forward holds none. The cells add up to the range's totals.
- **Sessions** (a log with its subagents' logs, as `ledgerly sessions`
  counts them): how many, and each one's active time: from its first to
  its last event in the range, less every pause between two events longer
  than the idle gap (30 minutes unless asked otherwise). A session with
  one event has none. The median and 90th percentile of those times
  (linear between the closest ranks), and the range's tokens per active
  hour.
- **Cache**: the share of all input (fresh, cached, written to a cache,
  read from one) that was read from a cache (cached input and cache
  reads); and what reading it saved: the cache-read tokens priced at the
  fresh-input rate of their price class, less what they cost. Usage whose
  class lacks either rate is left out, and its models are listed.
- **Periods**: this week (ISO, from Monday) and this month so far, the
  previous week and month up to the same point (the same time of day on
  the same day of the period, or the whole period when it is shorter),
  and the whole previous week and month: tokens and priced cost. The
  periods end at the query's end when that lies in the past, else now;
  they take the query's globs but not its start.

Rows are never visited one by one in Python; pricing is
`ledgerly.prices.classes`' (the same classes every report prices by).
"""

from __future__ import annotations

import dataclasses
import json
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple

import numpy as np

from ledgerly import localtime
from ledgerly.grouping import aggregate, small
from ledgerly.layout import TOKEN_FIELDS
from ledgerly.params import Globs, InsightsQuery, ZoneSpec, make_insights_query
from ledgerly.prices import PriceTable
from ledgerly.prices.classes import classify
from ledgerly.prices.rates import missing_label
from ledgerly.reports import Group, Report, build_report, currency_of, select
from ledgerly.sessions import session_codes
from ledgerly.snapshot import Snapshot
from ledgerly.timezones import (
    DAY_MS,
    HOUR_MS,
    Bound,
    Zone,
    civil_from_days,
    days_from_civil,
    format_instant,
    local_to_utc_ms,
)

WEEKDAYS = ("Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun")
HOURS = 24
MINUTE_MS = 60_000
_INPUT, _CACHED, _READ = (TOKEN_FIELDS.index(n) for n in ("input", "cached_input", "cache_read"))
_ALL_INPUT = tuple(TOKEN_FIELDS.index(n) for n in ("input", "cache_write_5m", "cache_write_1h", "cache_read"))


def _cost(value: Optional[float]) -> Optional[float]:
    return None if value is None else round(value, 6)


@dataclass(frozen=True)
class Figures:
    """Tokens and cost of some usage: `cost` is None when some of it has no
    price (or there is no price table), `priced_cost` the cost of the part
    that has one."""

    total_tokens: int
    cost: Optional[float]
    priced_cost: float

    def to_dict(self, priced: bool) -> Dict[str, Any]:
        out: Dict[str, Any] = {"total_tokens": self.total_tokens}
        if priced:
            out["cost"] = _cost(self.cost)
            out["priced_cost"] = round(self.priced_cost, 6)
        return out


def _figures(groups: Sequence[Group], priced: bool) -> Figures:
    paid = float(sum(g.priced_cost for g in groups))
    missing = any(g.unpriced for g in groups)
    return Figures(sum(g.total_tokens for g in groups), paid if priced and not missing else None, paid)


@dataclass(frozen=True)
class SessionTimes:
    """The sessions of the range and their active time (milliseconds)."""

    count: int
    idle_gap: int  # minutes
    active_ms: int  # all sessions' together
    median_ms: Optional[float]
    p90_ms: Optional[float]
    tokens: int

    @property
    def tokens_per_active_hour(self) -> Optional[float]:
        if not self.active_ms:
            return None
        return self.tokens * HOUR_MS / self.active_ms

    def to_dict(self) -> Dict[str, Any]:
        rate = self.tokens_per_active_hour

        def seconds(ms: Optional[float]) -> Optional[float]:
            return None if ms is None else round(ms / 1000, 3)

        return {
            "count": self.count,
            "idle_gap_minutes": self.idle_gap,
            "active_seconds": seconds(self.active_ms),
            "median_active_seconds": seconds(self.median_ms),
            "p90_active_seconds": seconds(self.p90_ms),
            "tokens_per_active_hour": None if rate is None else round(rate),
        }


@dataclass(frozen=True)
class CacheUse:
    """Input read from a cache, and what that saved."""

    input_tokens: int  # all input: fresh, cached, written to a cache, read from one
    cache_tokens: int  # cached input and cache reads
    saved: Optional[float]  # None without prices, or when some usage is left out
    priced_saved: float
    unpriced: Tuple[str, ...]  # models whose cache reads are left out of the savings

    @property
    def share(self) -> Optional[float]:
        return self.cache_tokens / self.input_tokens if self.input_tokens else None

    def to_dict(self, priced: bool) -> Dict[str, Any]:
        share = self.share
        out: Dict[str, Any] = {
            "input_tokens": self.input_tokens,
            "cache_tokens": self.cache_tokens,
            "share": None if share is None else round(share, 6),
        }
        if priced:
            out["saved_cost"] = _cost(self.saved)
            out["priced_saved_cost"] = round(self.priced_saved, 6)
            out["unpriced"] = list(self.unpriced)
        return out


@dataclass(frozen=True)
class Comparison:
    """One period (week or month) so far against the one before: instants
    in Unix ms, inclusive."""

    period: str
    start: int  # the current period's first instant
    previous_start: int
    previous_point: int  # the previous period's instant at the same point (its last when shorter)
    current: Figures  # start .. the reference instant
    previous_same_point: Figures  # previous_start .. previous_point
    previous: Figures  # the whole previous period

    def change(self, priced: bool) -> Dict[str, Optional[float]]:
        """Relative change of the current period against the previous one at the same point."""

        def ratio(now: float, before: float) -> Optional[float]:
            return round(now / before - 1, 6) if before else None

        out = {"total_tokens": ratio(self.current.total_tokens, self.previous_same_point.total_tokens)}
        if priced:
            out["priced_cost"] = ratio(self.current.priced_cost, self.previous_same_point.priced_cost)
        return out

    def to_dict(self, zone: Zone, priced: bool) -> Dict[str, Any]:
        return {
            "start": format_instant(self.start, zone),
            "previous_start": format_instant(self.previous_start, zone),
            "previous_point": format_instant(self.previous_point, zone),
            "current": self.current.to_dict(priced),
            "previous_same_point": self.previous_same_point.to_dict(priced),
            "previous": self.previous.to_dict(priced),
            "change": self.change(priced),
        }


@dataclass(frozen=True)
class Insights:
    """Everything `ledgerly insights` shows; `to_dict` is its JSON (see
    docs/cli-json.md)."""

    zone: Zone
    totals: Group
    tokens: Tuple[Tuple[int, ...], ...]  # 7 weekdays (Monday first) x 24 hours
    costs: Tuple[Tuple[float, ...], ...]  # the priced cost of the same cells
    sessions: SessionTimes
    cache: CacheUse
    at: int  # the instant the periods are measured to
    periods: Tuple[Comparison, ...]
    priced: bool = False
    unpriced: Mapping[str, Tuple[str, ...]] = field(default_factory=dict)
    currency: Optional[str] = None

    @property
    def timezone(self) -> str:
        return self.zone.name

    def to_dict(self) -> Dict[str, Any]:
        out: Dict[str, Any] = {
            "timezone": self.zone.name,
            "totals": self.totals.to_dict(self.priced),
            "by_weekday_hour": [list(day) for day in self.tokens],
        }
        if self.priced:
            out["priced_cost_by_weekday_hour"] = [[round(c, 6) for c in day] for day in self.costs]
        out["sessions"] = self.sessions.to_dict()
        out["cache"] = self.cache.to_dict(self.priced)
        periods: Dict[str, Any] = {"at": format_instant(self.at, self.zone)}
        for comparison in self.periods:
            periods[comparison.period] = comparison.to_dict(self.zone, self.priced)
        out["periods"] = periods
        if self.priced:
            out["unpriced"] = sorted(self.unpriced)
            out["currency"] = self.currency
        return out

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)


# ---------------------------------------------------------------------------
# Computing


def weekday_hour(local_ms: np.ndarray) -> np.ndarray:
    """The cell (weekday * 24 + hour, Monday 0) of each local wall-clock
    time (Unix-style milliseconds on the zone's calendar): hours since
    1970-01-01, a Thursday, moved to count from a Monday."""
    cells: np.ndarray = (local_ms // HOUR_MS + 3 * HOURS) % (7 * HOURS)
    return cells


def _active_times(codes: np.ndarray, count: int, ts: np.ndarray, gap_ms: int) -> np.ndarray:
    """Each session's active time (ms, float64: exact below 2**53 ms): the
    pauses between its consecutive events, in time order, that are no
    longer than `gap_ms`, added up."""
    if not count:
        return np.zeros(0)
    # In (session, time) order. Rows come in file order, each file's mostly
    # in time order, so a stable sort of one combined key finds long runs
    # already sorted; keys too wide for 63 bits are sorted by both columns.
    low, span = int(ts.min()), int(ts.max()) - int(ts.min()) + 1
    if span * count < 2**62:
        order = np.argsort(codes.astype(np.int64) * span + (ts - low), kind="stable")
    else:
        order = np.lexsort((ts, codes))
    session, when = codes[order], ts[order]
    pauses = np.diff(when)
    counted = (session[1:] == session[:-1]) & (pauses <= gap_ms)
    return np.bincount(session[1:][counted], weights=pauses[counted], minlength=count)


def _cache_savings(
    sel: Any, prices: Optional[PriceTable]
) -> Tuple[Optional[float], float, Tuple[str, ...], Dict[str, Set[str]]]:
    """What reading from the cache saved, per price class: the cache-read
    tokens (cached input, cache reads) priced as fresh input, less what
    they cost. Returns the saving (None when some class lacks a rate or
    there is no price table), its priced part, the models left out, and
    the price keys each of them lacks."""
    if not prices or not len(sel.rows):
        return None if not prices else 0.0, 0.0, (), {}
    classes = classify(prices, sel.rows, sel.models)
    groups = aggregate([classes.codes], sel.tokens)
    digits, sums = groups.digits[0], groups.sums
    cached, read = sums[:, _CACHED], sums[:, _READ]
    # What they cost: cached input (part of input) and cache reads...
    actual = np.zeros_like(sums)
    actual[:, _INPUT] = cached
    actual[:, _CACHED] = cached
    actual[:, _READ] = read
    # ...and what they would have cost as fresh input.
    fresh = np.zeros_like(sums)
    fresh[:, _INPUT] = cached + read
    paid, lacking = classes.price(actual, digits)
    would, lacking_fresh = classes.price(fresh, digits)
    missing = lacking | lacking_fresh
    priced_saved = float((would - paid)[~missing].sum())
    keys: Dict[str, Set[str]] = {}
    if missing.any():
        for part in (actual, fresh):
            for model, pairs in classes.missing_kinds(part[missing], digits[missing]).items():
                keys.setdefault(sel.models[model], set()).update(missing_label(k, t) for t, k in pairs)
    return (None if missing.any() else priced_saved), priced_saved, tuple(sorted(keys)), keys


def _period_bounds(period: str, local_day: int) -> Tuple[int, int]:
    """The first day (day number) of the `period` ("week" or "month")
    holding `local_day`, and of the one before."""
    if period == "week":
        monday = local_day - (local_day + 3) % 7
        return monday, monday - 7
    year, month, _ = civil_from_days(local_day)
    previous = (year - 1, 12) if month == 1 else (year, month - 1)
    return days_from_civil(year, month, 1), days_from_civil(previous[0], previous[1], 1)


PERIODS = ("week", "month")


def _periods(
    snapshot: Snapshot, query: InsightsQuery, prices: Optional[PriceTable], at: int
) -> Tuple[Tuple[Comparison, ...], Mapping[str, Tuple[str, ...]]]:
    """This week and month up to `at` against the ones before; and the
    models with usage in them that has no price."""
    zone = query.rows.zone
    local_at = int(localtime.to_local_ms(np.array([at], dtype=np.int64), zone)[0])
    day = local_at // DAY_MS
    spans = []
    for period in PERIODS:
        first, previous_first = _period_bounds(period, day)
        start = local_to_utc_ms(first * DAY_MS, zone)
        previous_start = local_to_utc_ms(previous_first * DAY_MS, zone)
        point = previous_first * DAY_MS + (local_at - first * DAY_MS)
        # The same wall-clock point of the previous period, or its end when it is shorter.
        previous_point = start - 1 if point >= first * DAY_MS else min(local_to_utc_ms(point, zone), start - 1)
        spans.append((period, start, previous_start, max(previous_start, previous_point)))

    # One pass over the rows of both periods: each row's part of the week
    # (0 this week, 1 last week to the same point, 2 the rest of last week,
    # 3 none) and of the month, grouped and priced together.
    low = min(s[2] for s in spans)
    rows = dataclasses.replace(query.rows, low=low, high=at + 1, by=(), breakdown=False)
    sel = select(snapshot, rows)
    ts = sel.timestamps
    dims = []
    for _period, start, previous_start, previous_point in spans:
        part = np.full(len(ts), 3, dtype=np.int64)
        part[(ts >= previous_start) & (ts < start)] = 2
        part[(ts >= previous_start) & (ts <= previous_point)] = 1
        part[ts >= start] = 0
        dims.append(small(part, 4))
    by = ("week", "month")
    report = build_report(sel, dims, lambda d: dict(zip(by, d)), prices, False, by)
    priced = bool(prices)
    out = []
    for period, start, previous_start, previous_point in spans:
        parts: Dict[int, List[Group]] = {0: [], 1: [], 2: []}
        for group in report.rows:
            code = group.key[period]
            if code in parts:
                parts[code].append(group)
        out.append(
            Comparison(
                period,
                start,
                previous_start,
                previous_point,
                _figures(parts[0], priced),
                _figures(parts[1], priced),
                _figures(parts[1] + parts[2], priced),
            )
        )
    return tuple(out), report.unpriced


def reference_instant(query: InsightsQuery, now: int) -> int:
    """The instant the periods run to: the query's end when it lies in the
    past, else `now`."""
    high = query.rows.high
    return high - 1 if high is not None and high <= now else now


def insights_for(
    snapshot: Snapshot, query: InsightsQuery, prices: Optional[PriceTable] = None, now: Optional[int] = None
) -> Insights:
    """The insights of the rows `query` selects, in its zone, priced with
    `prices`; the periods run to the query's end when that lies before
    `now` (Unix ms, default the current time), else to `now`. Raises
    SessionError for a snapshot whose rows do not name their logs (make
    it with a Ledger)."""
    if now is None:
        from ledgerly.block_reports import now_ms

        now = now_ms()
    zone = query.rows.zone
    priced = bool(prices)
    sel = select(snapshot, query.rows)

    # Tokens and priced cost per weekday and hour.
    cells = weekday_hour(localtime.to_local_ms(sel.timestamps, zone))
    by_cell: Report = build_report(sel, [small(cells, 7 * HOURS)], lambda d: {"cell": d[0]}, prices, False, ("cell",))
    tokens = [[0] * HOURS for _ in WEEKDAYS]
    costs = [[0.0] * HOURS for _ in WEEKDAYS]
    for group in by_cell.rows:
        weekday, hour = divmod(int(group.key["cell"]), HOURS)
        tokens[weekday][hour] = group.total_tokens
        costs[weekday][hour] = group.priced_cost
    totals = by_cell.totals

    # Sessions and their active time.
    codes, count = session_codes(snapshot, sel.file_index)
    active = _active_times(codes, count, sel.timestamps, query.idle_gap * MINUTE_MS)
    median, p90 = (float(v) for v in np.percentile(active, [50, 90])) if count else (None, None)
    times = SessionTimes(count, query.idle_gap, int(active.sum()), median, p90, totals.total_tokens)

    # The cache.
    whole = dict(zip(TOKEN_FIELDS, totals.tokens))
    all_input = sum(int(totals.tokens[i]) for i in _ALL_INPUT)
    saved, priced_saved, left_out, lacking = _cache_savings(sel, prices)
    cache = CacheUse(all_input, int(whole["cached_input"]) + int(whole["cache_read"]), saved, priced_saved, left_out)

    at = reference_instant(query, now)
    periods, period_unpriced = _periods(snapshot, query, prices, at)

    unpriced: Dict[str, Set[str]] = {}
    for found in (by_cell.unpriced, period_unpriced, lacking):
        for model, keys in found.items():
            unpriced.setdefault(model, set()).update(keys)
    return Insights(
        zone,
        totals,
        tuple(tuple(day) for day in tokens),
        tuple(tuple(day) for day in costs),
        times,
        cache,
        at,
        periods,
        priced,
        {model: tuple(sorted(keys)) for model, keys in unpriced.items()},
        currency_of(prices),
    )


def insights(
    snapshot: Snapshot,
    tz: ZoneSpec = None,
    since: Bound = None,
    until: Bound = None,
    model: Globs = None,
    project: Globs = None,
    prices: Optional[PriceTable] = None,
    idle_gap: Optional[int] = None,
    now: Optional[int] = None,
) -> Insights:
    """`insights_for` with the parameters as keywords: `tz`, `since`,
    `until`, `model` and `project` select rows as `report` does; `idle_gap`
    is in minutes (default 30). Raises ReportError for bad arguments."""
    return insights_for(snapshot, make_insights_query(since, until, tz, model, project, idle_gap, now=now), prices, now)
