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

The sums are kept in arrays sorted by a packed 64-bit key; each change
makes new arrays (about 80 bytes per group: 80,000 groups for 850,000 rows
of the scale corpus), so a view handed out never changes. Values the key
cannot hold (years far from now, more than 4,096 models or 16,384
projects, more than 16 price versions, a token count of 2^32 or more,
whose sums could leave 64 bits) turn the sums off: every answer then reads
the rows.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional, Sequence

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


@dataclass(frozen=True)
class AggregateView:
    """The sums at one generation: `keys` (ascending), `counts` (rows per
    group) and `sums` (G, 7) int64, for `prices` (None: no classes)."""

    keys: np.ndarray
    counts: np.ndarray
    sums: np.ndarray
    prices: Optional[PriceTable]

    def field(self, name: str) -> np.ndarray:
        value = (self.keys >> _SHIFT[name]) & ((1 << _WIDTH[name]) - 1)
        return value - _HOUR_ZERO if name == "hour" else value

    def occupied_hours(self, model: Optional[np.ndarray] = None, project: Optional[np.ndarray] = None) -> np.ndarray:
        """The hours (ascending, as hour numbers since the epoch) that hold
        rows whose model and project the masks (by index) let through."""
        keep = np.ones(len(self.keys), dtype=bool)
        if model is not None:
            keep &= _mask_of(model, self.field("model"))
        if project is not None:
            keep &= _mask_of(project, self.field("project"))
        return np.unique(self.field("hour")[keep])


def _mask_of(mask: np.ndarray, index: np.ndarray) -> np.ndarray:
    out = np.zeros(len(index), dtype=bool)
    inside = index < len(mask)
    out[inside] = mask[index[inside]]
    return out


class Aggregates:
    """The sums of one store (see the module's text); written by the
    store's one writer."""

    def __init__(self, prices: Optional[PriceTable]) -> None:
        self.prices = prices
        self.on = True
        self._keys = np.zeros(0, dtype=np.int64)
        self._counts = np.zeros(0, dtype=np.int64)
        self._sums = np.zeros((0, len(TOKEN_FIELDS)), dtype=np.int64)
        self._view: Optional[AggregateView] = None

    def empty(self) -> Aggregates:
        return Aggregates(self.prices)

    def view(self) -> Optional[AggregateView]:
        if not self.on:
            return None
        if self._view is None:
            self._view = AggregateView(self._keys, self._counts, self._sums, self.prices)
        return self._view

    def add(self, rows: Rows, models: Sequence[str]) -> None:
        self._merge(rows, models, 1)

    def withdraw(self, rows: Rows, models: Sequence[str]) -> None:
        self._merge(rows, models, -1)

    def _off(self) -> None:
        self.on = False
        self._keys, self._counts, self._sums = self._keys[:0], self._counts[:0], self._sums[:0]
        self._view = None

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
        order = np.argsort(keys, kind="stable")
        ordered = keys[order]
        starts = np.flatnonzero(np.r_[True, ordered[1:] != ordered[:-1]])
        groups = ordered[starts]
        counts = np.diff(np.r_[starts, len(ordered)]) * sign
        # Exact in int64: every count is below 2**32 and there are fewer
        # than 2**31 rows. One column at a time, not a matrix of them all.
        sums = np.empty((len(groups), len(TOKEN_FIELDS)), dtype=np.int64)
        for j, name in enumerate(TOKEN_FIELDS):
            sums[:, j] = np.add.reduceat(rows.column(name).astype(np.int64)[order], starts)
        sums *= sign
        at = np.searchsorted(self._keys, groups)
        found = at < len(self._keys)
        found[found] = self._keys[at[found]] == groups[found]
        # New arrays every time: a view handed out keeps the old ones.
        new = groups[~found]
        if len(new):
            if sign < 0:  # rows withdrawn that were never added: trust the rows instead
                self._off()
                return
            keys_all = np.union1d(self._keys, new)
            old_at = np.searchsorted(keys_all, self._keys)
            all_counts = np.zeros(len(keys_all), dtype=np.int64)
            all_sums = np.zeros((len(keys_all), len(TOKEN_FIELDS)), dtype=np.int64)
            all_counts[old_at] = self._counts
            all_sums[old_at] = self._sums
        else:
            keys_all, all_counts, all_sums = self._keys, self._counts.copy(), self._sums.copy()
        at = np.searchsorted(keys_all, groups)
        all_counts[at] += counts
        all_sums[at] += sums
        if sign < 0:
            emptied = all_counts == 0
            if emptied.any():
                keep = ~emptied
                keys_all, all_counts, all_sums = keys_all[keep], all_counts[keep], all_sums[keep]
        self._keys, self._counts, self._sums = keys_all, all_counts, all_sums
        self._view = None


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
) -> Optional[GroupRows]:
    """The groups of the rows from `low` to `high` (ms, or None) whose model
    and project the masks (by index; None: any) let through, as rows; None
    when the sums cannot answer exactly: a bound inside an hour, or a price
    table other than the sums' (with usage to price)."""
    if (low is not None and low % HOUR_MS) or (high is not None and high % HOUR_MS):
        return None
    if prices and prices is not view.prices:
        return None
    hour = view.field("hour")
    keep = np.ones(len(hour), dtype=bool)
    if low is not None:
        keep &= hour >= low // HOUR_MS
    if high is not None:
        keep &= hour < high // HOUR_MS
    if model is not None:
        keep &= _mask_of(model, view.field("model"))
    if project is not None:
        keep &= _mask_of(project, view.field("project"))
    picked = np.flatnonzero(keep)
    n = len(picked)
    columns = {
        "timestamp": hour[picked] * HOUR_MS,
        "model": view.field("model")[picked],
        "project": view.field("project")[picked],
        "kind": view.field("dialect")[picked],
        "subagent": view.field("subagent")[picked],
        "tier": view.field("tier")[picked],
        "file": np.zeros(n, dtype=np.int64),
        "place": np.zeros(n, dtype=np.int64),
        "seq": np.zeros(n, dtype=np.int64),
    }
    for j, name in enumerate(TOKEN_FIELDS):
        columns[name] = view.sums[picked, j]
    raw = None
    if prices:
        from ledgerly.prices.classes import codes_of, plan_for

        plan = plan_for(prices, models)
        period, band = view.field("period")[picked], view.field("band")[picked]
        raw = codes_of(plan, columns["model"], period, band, columns["tier"])
    return GroupRows(Rows(columns, n), raw)
