"""Usage in consecutive 5-hour blocks, and the state of the current one.

Usage limits are often counted in blocks of five hours: a block opens at
the start of the UTC hour of the first event after the previous block
closed (so in a zone whose offset is not a whole number of hours, a block
opens at a half or quarter hour of local time), and lasts five hours
whether or not more events follow. `blocks` reports every block that
holds events; `block_status` tells a live view where the current block
stands: its usage so far, the time left, the burn rate over the last hour
and the total that rate leads to by the block's end.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, replace
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from ledgerly import timezones as tzs
from ledgerly.grouping import dense, small
from ledgerly.params import BLOCK, Globs, Query, ZoneSpec, make_query
from ledgerly.prices import PriceTable
from ledgerly.reports import Group, Report, build_report, glob_mask, report_for, select
from ledgerly.snapshot import Snapshot
from ledgerly.timezones import Bound

BLOCK_HOURS = 5
_UTC = tzs.resolve_zone("UTC")


def block_starts(sorted_ts: np.ndarray, hours: int = BLOCK_HOURS) -> Tuple[np.ndarray, np.ndarray]:
    """Consecutive usage blocks over ascending instants `sorted_ts`.

    A block lasts `hours` hours and opens at the start of the UTC hour of
    the first event after the previous block closed. Returns the index of
    each block's first event and the block's start instant (ms). Loops
    once per block, finding its end by binary search."""
    length = hours * tzs.HOUR_MS
    first: List[int] = []
    start: List[int] = []
    i, n = 0, len(sorted_ts)
    while i < n:
        opened = int(sorted_ts[i]) // tzs.HOUR_MS * tzs.HOUR_MS
        first.append(i)
        start.append(opened)
        i = int(np.searchsorted(sorted_ts, opened + length, side="left"))
    return np.array(first, dtype=np.int64), np.array(start, dtype=np.int64)


def now_ms() -> int:
    """The current time in Unix milliseconds."""
    return int(time.time() * 1000)


def blocks_for(
    snapshot: Snapshot,
    query: Query,
    prices: Optional[PriceTable] = None,
    now: Optional[int] = None,
    hours: int = BLOCK_HOURS,
) -> Report:
    """The usage of consecutive `hours`-hour blocks (see `block_starts`)
    over the rows `query` selects, one row per block that holds events,
    oldest first. A block is active when `now` (Unix ms; default: the
    current time) is before its end; the report's `active_until` is the
    end of the first active block. Times are written in the query's zone."""
    sel = select(snapshot, query)
    now = now_ms() if now is None else now
    ts = sel.rows["timestamp"]
    order = np.argsort(ts, kind="stable")
    sorted_ts = ts[order]
    first, starts = block_starts(sorted_ts, hours)
    ends = np.append(first[1:], len(sorted_ts)) if len(first) else first
    block_sorted = np.repeat(np.arange(len(first), dtype=np.int64), ends - first)
    block_of_row = np.empty(len(ts), dtype=np.int64)
    block_of_row[order] = block_sorted
    last = sorted_ts[ends - 1]
    length = hours * tzs.HOUR_MS
    zone = sel.zone

    def key_of(digits: Tuple[int, ...]) -> Dict[str, Any]:
        b = digits[0]
        start = int(starts[b])
        return {
            "block": tzs.format_instant(start, zone),
            "end": tzs.format_instant(start + length, zone),
            "first_event": tzs.format_instant(int(sorted_ts[first[b]]), zone),
            "last_event": tzs.format_instant(int(last[b]), zone),
            "active": now < start + length,
        }

    result = build_report(sel, [small(block_of_row, len(first))], key_of, prices, query.breakdown, (BLOCK,))
    block_ends = starts + length
    active = block_ends[block_ends > now]
    return replace(result, active_until=int(active.min()) if len(active) else None)


def blocks(
    snapshot: Snapshot,
    tz: ZoneSpec = None,
    since: Bound = None,
    until: Bound = None,
    model: Globs = None,
    project: Globs = None,
    prices: Optional[PriceTable] = None,
    breakdown: bool = False,
    now: Optional[int] = None,
    hours: int = BLOCK_HOURS,
) -> Report:
    """`blocks_for` with the parameters as keywords (those of `report`,
    and `now` and `hours`)."""
    query = make_query(BLOCK, since, until, tz, model, project, breakdown)
    return blocks_for(snapshot, query, prices, now, hours)


@dataclass(frozen=True)
class BlockStatus:
    """Where the current block stands at `now` (Unix ms).

    `block` is the active block's report row (None when no block is open);
    `start` and `end` its bounds (ms). `burn_rate` is the tokens per minute
    over the last `window` ms, `burn_cost` the cost per hour at that pace
    (None without prices or with unpriced usage). `projected_tokens` and
    `projected_cost` are the block's totals if that pace holds until its
    end. `burn_priced_cost` and `projected_priced_cost` are the same costs
    of the usage that has a price (None only without prices)."""

    now: int
    block: Optional[Group]
    start: Optional[int]
    end: Optional[int]
    burn_rate: float
    burn_cost: Optional[float]
    projected_tokens: Optional[int]
    projected_cost: Optional[float]
    burn_priced_cost: Optional[float] = None
    projected_priced_cost: Optional[float] = None

    @property
    def time_left(self) -> int:
        """Milliseconds until the active block closes (0 when none is open)."""
        return max(0, self.end - self.now) if self.end is not None else 0


def block_status(
    snapshot: Snapshot,
    now: Optional[int] = None,
    prices: Optional[PriceTable] = None,
    model: Globs = None,
    project: Globs = None,
    hours: int = BLOCK_HOURS,
    window: int = tzs.HOUR_MS,
) -> BlockStatus:
    """`block_status_for` with the globs as keywords."""
    return block_status_for(snapshot, make_query((), model=model, project=project), prices, now, hours, window)


def block_status_for(
    snapshot: Snapshot,
    query: Query,
    prices: Optional[PriceTable] = None,
    now: Optional[int] = None,
    hours: int = BLOCK_HOURS,
    window: int = tzs.HOUR_MS,
) -> BlockStatus:
    """The current block and the pace of use at `now` (default: the
    current time), over the rows that match the query's model and project
    globs (its range and grouping do not matter)."""
    now = now_ms() if now is None else now
    rows = replace(query, zone=_UTC, low=None, high=None, by=(), breakdown=False)
    start = chain_start(snapshot, rows, now, hours)
    # Everything below looks at the latest rows only: take them out once.
    low = now - window + 1 if start is None else min(start, now - window + 1)
    latest = snapshot.between(low, now + 1)
    recent = report_for(latest, replace(rows, low=now - window + 1, high=now + 1), prices)
    minutes = window / 60_000
    rate = recent.totals.total_tokens / minutes
    cost_rate = recent.totals.cost * 60 / minutes if recent.totals.cost is not None else None
    priced_rate = recent.totals.priced_cost * 60 / minutes if prices else None
    if start is None:
        return BlockStatus(now, None, None, None, rate, cost_rate, None, None, priced_rate)
    so_far = blocks_for(latest, replace(rows, by=(BLOCK,), low=start, high=now + 1), prices, now, hours)
    if so_far.active_until is None:
        return BlockStatus(now, None, None, None, rate, cost_rate, None, None, priced_rate)
    current = so_far.rows[-1]
    end = so_far.active_until
    left = (end - now) / 60_000
    tokens = current.total_tokens + round(rate * left)
    cost = None
    if current.cost is not None and cost_rate is not None:
        cost = current.cost + cost_rate * left / 60
    priced = current.priced_cost + priced_rate * left / 60 if priced_rate is not None else None
    return BlockStatus(now, current, end - hours * tzs.HOUR_MS, end, rate, cost_rate, tokens, cost, priced_rate, priced)


def chain_start(snapshot: Snapshot, query: Query, now: int, hours: int = BLOCK_HOURS) -> Optional[int]:
    """The start of the latest block that opened at or before `now`, among
    the rows that match the query's model and project globs; None when no
    block can be open at `now` (no event in the last `hours`).

    A live view asks this every few seconds, so it avoids sorting the rows:
    blocks open and close on whole UTC hours, so which hours hold an event
    decides every block (a block opens at the first such hour at or after
    the previous block's end). The hours are counted over their range
    (`grouping.dense`), and `block_starts` runs once per block over the
    hours that hold events. A snapshot that keeps aggregates and recent
    rows gives the hours before the current one from the aggregates, and
    the rest from the recent rows, without reading every row."""
    occupied = _occupied_from_aggregates(snapshot, query, now, hours)
    if occupied is None:
        rows = snapshot.rows
        if query.model or query.project:
            rows = select(snapshot, replace(query, low=None, high=None)).rows
        ts = rows["timestamp"]
        ts = ts[ts <= now]
        if not np.any(ts > now - hours * tzs.HOUR_MS):
            return None
        hour = dense(ts // tzs.HOUR_MS)
        held = np.flatnonzero(np.bincount(hour.codes, minlength=hour.radix))
        occupied = hour.values[held] if hour.values is not None else held
    elif not len(occupied):
        return None
    return int(occupied[last_block_start(occupied, hours)]) * tzs.HOUR_MS


def last_block_start(hours: np.ndarray, length: int) -> int:
    """The index, in `hours` (ascending hour numbers that hold events), of
    the hour the last block opens at: the chain of `block_starts`, found
    without walking it. Each hour's next block start is the first hour at
    least `length` later; following those pointers from the first hour
    visits exactly the block starts, and doubling them (a pointer to the
    start 2, 4, 8... blocks later) finds the last one in a logarithmic
    number of vectorized steps instead of one step per block. An hour at
    least `length` after the one before it always opens a block, so the
    chain is followed from the last such hour only."""
    gaps = np.flatnonzero(np.diff(hours) >= length)
    first = int(gaps[-1]) + 1 if len(gaps) else 0
    if first:
        return first + last_block_start(hours[first:], length)
    n = len(hours)
    following = np.append(np.searchsorted(hours, hours + length, side="left"), n)  # n: past the end
    levels = [following]
    while len(levels) < 64 and np.any(levels[-1][:n] < n):
        levels.append(levels[-1][levels[-1]])
    at = 0
    for jump in reversed(levels):
        if jump[at] < n:
            at = int(jump[at])
    return at


def _occupied_from_aggregates(snapshot: Snapshot, query: Query, now: int, hours: int) -> Optional[np.ndarray]:
    """The hours (numbers since the epoch, ascending) that hold an event at
    or before `now` matching the query's globs, from the aggregates and the
    recent rows; an empty array when no event lies in the last `hours`;
    None when the snapshot keeps neither."""
    store = snapshot.store
    if store is None or store.aggregates is None or store.recent is None:
        return None
    since = now - hours * tzs.HOUR_MS + 1
    current = now // tzs.HOUR_MS
    low = min(since, current * tzs.HOUR_MS)
    if not store.recent.covers(low, now + 1):
        return None
    ts = select(snapshot, replace(query, low=low, high=now + 1)).rows["timestamp"]
    if not np.any(ts >= since):
        return np.zeros(0, dtype=np.int64)
    model, project = glob_mask(snapshot.models, query.model, True), glob_mask(snapshot.projects, query.project, False)
    view = store.aggregates
    before = None
    if model is None and project is None:
        # The hours from the last block start of the sums' first part on
        # (the same chain: that start is one of the whole history's), that
        # part's chain followed once for all the views that share it.
        early, late = view.early.occupied(), view.late.occupied()
        at = view.early.memo(("block", hours), lambda: last_block_start(early, hours) if len(early) else 0)
        before = np.concatenate([early[at:], late])
        if len(before) and before[0] >= current:
            before = None  # asked for a time before that start
    if before is None:
        before = view.occupied_hours(model, project)
    before = before[before < current]
    if np.any(ts >= current * tzs.HOUR_MS):
        before = np.append(before, current)
    return before
