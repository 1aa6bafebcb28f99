"""Token sums per hour and key, kept up to date from the engine's deltas.

A live view asks the same questions after every tick: today's usage per
model, the month so far, the usage per model or project or day over
everything. `Aggregates` keeps, for every UTC hour and every combination of
model, project, dialect, subagent flag and service tier (and, with a price
table, the price period and long-context band, which together with the
model and tier make a row's price class), the number of rows and their
seven exact token sums. A delta adds its rows and takes its withdrawn rows
out (`ledgerly.rowstore.RowStore` calls `add` and `withdraw`).

A report whose bounds fall on whole hours, and whose days (in its zone)
never split an hour that holds usage, is then computed from these sums
instead of the rows (`groups_for`): each group stands for its rows, with
its hour's start as their time and its sums as their tokens, and the
report code groups and prices them exactly as it would the rows. Integer
sums do not depend on the order they are made in, and every price is
applied to the sums of one class, so the answer is the same to the token
and to the last bit of every cost. Whatever cannot be answered so (a bound
inside an hour, a zone whose midnight falls inside an hour with usage, a
price table other than the one the sums were kept for) reads the rows.

The sums are kept in arrays sorted by a packed 64-bit key (about 80 bytes
per group: 80,000 groups for 850,000 rows of the scale corpus); a change
makes new arrays, so a view handed out never changes. The hour leads the
key, and the sums per hour are kept in two parts: the hours before a
boundary some hours behind the clock, and those from it on. A change in
the hours of the last part (what a live log appends) copies that small
part alone; the first part, shared by every view, is copied only when a
change reaches back before the boundary (a log rewritten or removed), and
the boundary moves on, taking the last part's older hours along, once that
part holds an eighth of the groups. Values the key
cannot hold (years far from now, more than 4,096 models or 16,384
projects, more than 16 price versions, a token count of 2^32 or more,
whose sums could leave 64 bits) turn the sums off: every answer then reads
the rows.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Sequence, Tuple

import numpy as np

from ledgerly.columns import Rows
from ledgerly.layout import KIND_MESSAGE, TOKEN_FIELDS

if TYPE_CHECKING:
    from ledgerly.prices import PriceTable

HOUR_MS = 3_600_000

# The packed key, least significant first: band, period, tier, subagent,
# dialect, project, model, hour.
_FIELDS = (
    ("band", 4),
    ("period", 4),
    ("tier", 3),
    ("subagent", 1),
    ("dialect", 1),
    ("project", 14),
    ("model", 12),
    ("hour", 24),
)
_SHIFT = {}
_WIDTH = {}
_at = 0
for _name, _bits in _FIELDS:
    _SHIFT[_name], _WIDTH[_name] = _at, _bits
    _at += _bits
assert _at == 63
_HOUR_ZERO = 1 << 23  # the hour of the epoch, so that hours before it stay positive
_MAX_TOKENS = 1 << 32
_KEY_END = (1 << 63) - 1  # above every packed key
# The last part of the sums per hour holds at least the hours from this
# many before the clock's (or its latest hour's, when that is earlier) on,
# and is moved into the first part once it holds this many groups and an
# eighth of them all.
_RECENT_HOURS = 6
_FOLD_GROUPS = 4096


@dataclass(frozen=True)
class Table:
    """Groups of one aggregate table: `keys` (ascending), `counts` (rows per
    group) and `sums` (G, 7) int64; decoded key fields kept once made."""

    keys: np.ndarray
    counts: np.ndarray
    sums: np.ndarray
    decoded: Dict[str, np.ndarray] = field(default_factory=dict, compare=False, repr=False)
    # What callers worked out from the groups once (see `memo`).
    memos: Dict[Any, Any] = field(default_factory=dict, compare=False, repr=False)

    def field(self, name: str) -> np.ndarray:
        found = self.decoded.get(name)
        if found is None:
            value = (self.keys >> _SHIFT[name]) & ((1 << _WIDTH[name]) - 1)
            found = value - _HOUR_ZERO if name == "hour" else value
            found.flags.writeable = False
            self.decoded[name] = found
        return found

    def __len__(self) -> int:
        return len(self.keys)

    def memo(self, key: Any, make: Callable[[], Any]) -> Any:
        """`make()`, made once per table and `key`: the table never
        changes, and the first part of the sums per hour is the same table
        from one view to the next until a change reaches it."""
        if key not in self.memos:
            self.memos[key] = make()
        return self.memos[key]

    def between(self, low: int, high: int) -> Tuple[int, int]:
        """The positions of the groups whose packed keys lie from `low` to
        before `high` (a slice's bounds)."""
        return int(np.searchsorted(self.keys, low)), int(np.searchsorted(self.keys, high))

    def occupied(self) -> np.ndarray:
        """The distinct hours of the groups (ascending: the hour leads the
        key), made once."""
        found = self.decoded.get("occupied")
        if found is None:
            hours = self.field("hour")
            found = hours[np.r_[True, hours[1:] != hours[:-1]]] if len(hours) else hours
            self.decoded["occupied"] = found
        return found


def _joined(parts: Sequence[Tuple[Table, int, int]]) -> Table:
    """The groups of slices of tables (in key order) as one table: a view
    when only one slice holds any."""
    held = [(t, a, b) for t, a, b in parts if b > a]
    if not held:
        return Table(*_empty())
    if len(held) == 1:
        t, a, b = held[0]
        return t if (a, b) == (0, len(t)) else Table(t.keys[a:b], t.counts[a:b], t.sums[a:b])
    return Table(
        np.concatenate([t.keys[a:b] for t, a, b in held]),
        np.concatenate([t.counts[a:b] for t, a, b in held]),
        np.concatenate([t.sums[a:b] for t, a, b in held]),
    )


def _hour_key(hour: int) -> int:
    """The least packed key of an hour (hour number since the epoch)."""
    return min(max(hour + _HOUR_ZERO, 0) << _SHIFT["hour"], _KEY_END)


@dataclass(frozen=True)
class AggregateView:
    """The sums at one generation, for `prices` (None: no classes): per hour
    and key, in two parts (`early`, every key before those of `late`), and
    per key over all time (`totals`, whose hour field is 0)."""

    early: Table
    late: Table
    totals: Table
    prices: Optional[PriceTable]

    def hours(self, low: Optional[int] = None, high: Optional[int] = None) -> Table:
        """The groups per hour and key of the hours from `low` to before
        `high` (hour numbers since the epoch; None: no bound)."""
        lo = 0 if low is None else _hour_key(low)
        hi = _KEY_END if high is None else _hour_key(high)
        if hi <= lo:
            return Table(*_empty())
        return _joined([(t, *t.between(lo, hi)) for t in (self.early, self.late)])

    def occupied_hours(self, model: Optional[np.ndarray] = None, project: Optional[np.ndarray] = None) -> np.ndarray:
        """The hours (ascending, as hour numbers since the epoch) that hold
        rows whose model and project the masks (by index) let through."""
        if model is None and project is None:
            early, late = self.early.occupied(), self.late.occupied()
            if len(early) and len(late) and early[-1] == late[0]:  # (the parts never share an hour)
                late = late[1:]
            joined: np.ndarray = np.concatenate([early, late])
            return joined
        table = self.hours()
        hours = table.field("hour")
        keep = np.ones(len(hours), dtype=bool)
        if model is not None:
            keep &= _mask_of(model, table.field("model"))
        if project is not None:
            keep &= _mask_of(project, table.field("project"))
        hours = hours[keep]
        if not len(hours):
            return hours
        found: np.ndarray = hours[np.r_[True, hours[1:] != hours[:-1]]]
        return found


def _mask_of(mask: np.ndarray, index: np.ndarray) -> np.ndarray:
    out = np.zeros(len(index), dtype=bool)
    inside = index < len(mask)
    out[inside] = mask[index[inside]]
    return out


_ALL_TIME = ~(((1 << _WIDTH["hour"]) - 1) << _SHIFT["hour"])  # a key without its hour


class Aggregates:
    """The sums of one store (see the module's text); written by the
    store's one writer."""

    def __init__(self, prices: Optional[PriceTable]) -> None:
        self.prices = prices
        self.on = True
        # The sums per hour: keys before `_split` in `_early`, the rest in `_late`.
        self._early = _empty()
        self._late = _empty()
        self._split = 0
        self._early_table: Optional[Table] = None  # of `_early`, kept from view to view
        self._totals = _empty()
        self._view: Optional[AggregateView] = None

    def empty(self) -> Aggregates:
        return Aggregates(self.prices)

    def view(self) -> Optional[AggregateView]:
        if not self.on:
            return None
        if self._view is None:
            if self._early_table is None:
                self._early_table = Table(*self._early)
            self._view = AggregateView(self._early_table, Table(*self._late), Table(*self._totals), self.prices)
        return self._view

    def add(self, rows: Rows, models: Sequence[str]) -> None:
        self._merge(rows, models, 1)

    def withdraw(self, rows: Rows, models: Sequence[str]) -> None:
        self._merge(rows, models, -1)

    def _off(self) -> None:
        self.on = False
        self._early = self._late = self._totals = _empty()
        self._early_table = self._view = None

    def _packed(self, rows: Rows, models: Sequence[str]) -> Optional[np.ndarray]:
        """The key of every row, or None when some value does not fit."""
        n = len(rows)
        hour = rows["timestamp"] // HOUR_MS + _HOUR_ZERO
        model = rows["model"].astype(np.int64)
        project = rows["project"].astype(np.int64)
        tier = np.minimum(rows["tier"].astype(np.int64), 7)
        if n and (
            int(hour.min()) < 0
            or int(hour.max()) >= 1 << _WIDTH["hour"]
            or int(model.max()) >= 1 << _WIDTH["model"]
            or int(project.max()) >= 1 << _WIDTH["project"]
            or any(int(rows.column(name).max()) >= _MAX_TOKENS for name in TOKEN_FIELDS)
        ):
            return None
        period = band = np.zeros(n, dtype=np.int64)
        if self.prices and n:
            from ledgerly.prices.classes import periods_and_bands, plan_for

            plan = plan_for(self.prices, models)
            if plan.periods > 1 << _WIDTH["period"]:
                return None
            period, band = periods_and_bands(plan, rows)
        key = hour << _SHIFT["hour"]
        key |= model << _SHIFT["model"]
        key |= project << _SHIFT["project"]
        key |= (rows["kind"] != KIND_MESSAGE).astype(np.int64) << _SHIFT["dialect"]
        key |= (rows["subagent"] != 0).astype(np.int64) << _SHIFT["subagent"]
        key |= tier << _SHIFT["tier"]
        key |= period << _SHIFT["period"]
        key |= band << _SHIFT["band"]
        return key

    def _merge(self, rows: Rows, models: Sequence[str], sign: int) -> None:
        if not self.on or not len(rows):
            return
        keys = self._packed(rows, models)
        if keys is None:
            self._off()
            return
        # Exact in int64: every count is below 2**32 and there are fewer
        # than 2**31 rows.
        columns = [rows.column(name).astype(np.int64) for name in TOKEN_FIELDS]
        late = keys >= self._split
        early: Optional[_Arrays] = self._early
        if late.all():
            merged = _merged(self._late, keys, columns, sign)
        else:
            # Hours before the boundary: the first part is made anew.
            merged = _merged(self._late, keys[late], [c[late] for c in columns], sign)
            early = _merged(self._early, keys[~late], [c[~late] for c in columns], sign)
        totals = _merged(self._totals, keys & _ALL_TIME, columns, sign)
        if early is None or merged is None or totals is None:
            self._off()  # rows withdrawn that were never added: trust the rows instead
            return
        if early is not self._early:
            self._early, self._early_table = early, None
        self._late, self._totals = merged, totals
        self._fold()
        self._view = None

    def _fold(self) -> None:
        """Moves the hours of the last part before the new boundary into the
        first, once the last part is large (see _RECENT_HOURS)."""
        late_keys = self._late[0]
        if len(late_keys) < max(_FOLD_GROUPS, len(self._early[0]) // 8):
            return
        latest = int(late_keys[-1] >> _SHIFT["hour"]) - _HOUR_ZERO
        split = _hour_key(min(latest, int(time.time() // 3600)) - _RECENT_HOURS)
        cut = int(np.searchsorted(late_keys, split))
        if split <= self._split or not cut:
            return
        (ek, ec, es), (lk, lc, ls) = self._early, self._late
        self._early = (np.concatenate([ek, lk[:cut]]), np.concatenate([ec, lc[:cut]]), np.concatenate([es, ls[:cut]]))
        self._late = (lk[cut:].copy(), lc[cut:].copy(), ls[cut:].copy())
        self._early_table = None
        self._split = split


_Arrays = Tuple[np.ndarray, np.ndarray, np.ndarray]


def _empty() -> _Arrays:
    return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64), np.zeros((0, len(TOKEN_FIELDS)), dtype=np.int64)


def _merged(table: _Arrays, keys: np.ndarray, columns: Sequence[np.ndarray], sign: int) -> Optional[_Arrays]:
    """`table` with the rows of `keys` (their token `columns`) added
    (`sign` 1) or taken out (-1), as new arrays (a view handed out keeps
    the old ones); None when rows are taken out of groups that lack them."""
    old_keys, old_counts, old_sums = table
    if not len(keys):
        return table
    order = np.argsort(keys, kind="stable")
    ordered = keys[order]
    starts = np.flatnonzero(np.r_[True, ordered[1:] != ordered[:-1]])
    groups = ordered[starts]
    counts = np.diff(np.r_[starts, len(ordered)]) * sign
    sums = np.empty((len(groups), len(TOKEN_FIELDS)), dtype=np.int64)
    for j, column in enumerate(columns):
        sums[:, j] = np.add.reduceat(column[order], starts)
    sums *= sign
    at = np.searchsorted(old_keys, groups)
    found = at < len(old_keys)
    found[found] = old_keys[at[found]] == groups[found]
    new = groups[~found]
    if len(new):
        if sign < 0:
            return None
        all_keys = np.union1d(old_keys, new)
        old_at = np.searchsorted(all_keys, old_keys)
        all_counts = np.zeros(len(all_keys), dtype=np.int64)
        all_sums = np.zeros((len(all_keys), len(TOKEN_FIELDS)), dtype=np.int64)
        all_counts[old_at] = old_counts
        all_sums[old_at] = old_sums
    else:
        all_keys, all_counts, all_sums = old_keys, old_counts.copy(), old_sums.copy()
    at = np.searchsorted(all_keys, groups)
    all_counts[at] += counts
    all_sums[at] += sums
    if sign < 0:
        emptied = all_counts == 0
        if emptied.any():
            keep = ~emptied
            all_keys, all_counts, all_sums = all_keys[keep], all_counts[keep], all_sums[keep]
    return all_keys, all_counts, all_sums


@dataclass(frozen=True)
class GroupRows:
    """Groups of an aggregate standing for their rows in a report: `rows`
    (hour starts as times, sums as tokens) and their price classes within
    the plan of `models` (None without prices)."""

    rows: Rows
    raw: Optional[np.ndarray]


def groups_for(
    view: AggregateView,
    low: Optional[int],
    high: Optional[int],
    model: Optional[np.ndarray],
    project: Optional[np.ndarray],
    models: Sequence[str],
    prices: Optional[PriceTable],
    by_time: bool = True,
) -> Optional[GroupRows]:
    """The groups of the rows from `low` to `high` (ms, or None) whose model
    and project the masks (by index; None: any) let through, as rows; None
    when the sums cannot answer exactly: a bound inside an hour, or a price
    table other than the sums' (with usage to price). Without bounds and
    without `by_time` (no grouping by day, week or month), the groups are
    those of all time, one per key, their times all 0."""
    if (low is not None and low % HOUR_MS) or (high is not None and high % HOUR_MS):
        return None
    if prices and prices is not view.prices:
        return None
    if by_time or low is not None or high is not None:
        table = view.hours(None if low is None else low // HOUR_MS, None if high is None else high // HOUR_MS)
    else:
        table = view.totals
    hour = table.field("hour")
    keep = np.ones(len(hour), dtype=bool)
    if model is not None:
        keep &= _mask_of(model, table.field("model"))
    if project is not None:
        keep &= _mask_of(project, table.field("project"))
    picked = None if keep.all() else np.flatnonzero(keep)

    def of(values: np.ndarray) -> np.ndarray:
        return values if picked is None else values[picked]

    n = len(hour) if picked is None else len(picked)
    columns = {
        "timestamp": of(hour) * HOUR_MS,
        "model": of(table.field("model")),
        "project": of(table.field("project")),
        "kind": of(table.field("dialect")),
        "subagent": of(table.field("subagent")),
        "tier": of(table.field("tier")),
        "file": np.zeros(n, dtype=np.int64),
        "place": np.zeros(n, dtype=np.int64),
        "seq": np.zeros(n, dtype=np.int64),
    }
    for j, name in enumerate(TOKEN_FIELDS):
        columns[name] = of(table.sums[:, j])
    raw = None
    if prices:
        from ledgerly.prices.classes import codes_of, plan_for

        plan = plan_for(prices, models)
        period, band = of(table.field("period")), of(table.field("band"))
        raw = codes_of(plan, columns["model"], period, band, columns["tier"])
    return GroupRows(Rows(columns, n), raw)
