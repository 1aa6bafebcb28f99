"""Reports: token sums and costs of a snapshot's rows, grouped.

    daily = report(snapshot, by=("day",), tz="Europe/Berlin", prices=table)
    print(daily.to_json())
    daily = report_for(snapshot, make_query("day", tz="Europe/Berlin"), table)   # the same

`report` groups by any combination of day, week (ISO), month, model,
project, tier, subagent and dialect (ledgerly.block_reports groups into
5-hour blocks). Both return a `Report`, which knows its columns and writes
the JSON and CSV forms (see docs/cli-json.md: they are a contract).

Everything is computed on numpy arrays: rows are never visited one by one
in Python. Token sums are exact integers. Costs are computed per group and
model (prices are per model, so the cost of a group is the sum over its
models), and a group with any unpriced usage has no cost (None), never a
cost that silently leaves that usage out.
"""

from __future__ import annotations

import csv
import fnmatch
import io
import json
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ledgerly import localtime
from ledgerly import timezones as tzs
from ledgerly.aggregates import HOUR_MS, groups_for
from ledgerly.columns import Rows, TokenMatrix
from ledgerly.grouping import Codes, dense, exact_sums, ranked, small
from ledgerly.layout import KIND_MESSAGE, TIER_NAMES, TOKEN_FIELDS
from ledgerly.params import DIMENSIONS, Globs, ParameterError, Query, ZoneSpec, make_query
from ledgerly.prices import PriceTable
from ledgerly.prices.classes import group_by_model
from ledgerly.snapshot import Snapshot
from ledgerly.timezones import Bound

BLOCK_FIELDS = ("block", "end", "first_event", "last_event", "active")
TOTAL_FIELDS = ("input", "output", "cache_write_5m", "cache_write_1h", "cache_read")
# With a price table: the cost (None when some usage has no price) and the
# cost of the usage that has a price (the whole cost when every price is known).
COST_FIELDS = ("cost", "priced_cost")


# A bad argument to a report (unknown dimension, bad bound, zone or glob):
# the parameter error of every query, under the name the API documents.
ReportError = ParameterError


# ---------------------------------------------------------------------------
# Result


@dataclass(frozen=True)
class Group:
    """One row of a report: its key fields, the seven token sums (in
    `TOKEN_FIELDS` order), and its cost.

    `cost` is None when no price table was given or when some of the
    group's usage has no price; `priced_cost` is the cost of the usage that
    has one. `models` holds the per-model breakdown when asked for."""

    key: Mapping[str, Any]
    tokens: Tuple[int, ...]
    cost: Optional[float] = None
    priced_cost: float = 0.0
    unpriced: bool = False
    models: Tuple[Group, ...] = ()
    # The currency of the costs (None: bare numbers); tables show it.
    currency: Optional[str] = None

    def __getitem__(self, name: str) -> Any:
        if name in self.key:
            return self.key[name]
        if name == "total_tokens":
            return self.total_tokens
        if name == "cost":
            return self.cost
        return self.tokens[TOKEN_FIELDS.index(name)]

    @property
    def total_tokens(self) -> int:
        """Every token once: input (cached input is part of it), output
        (reasoning is part of it), cache writes and cache reads."""
        t = dict(zip(TOKEN_FIELDS, self.tokens))
        return sum(t[name] for name in TOTAL_FIELDS)

    def to_dict(self, priced: bool, with_models: bool = False) -> Dict[str, Any]:
        out: Dict[str, Any] = dict(self.key)
        out.update(zip(TOKEN_FIELDS, (int(v) for v in self.tokens)))
        out["total_tokens"] = self.total_tokens
        if priced:
            out["cost"] = None if self.cost is None else round(self.cost, 6)
            out["priced_cost"] = round(self.priced_cost, 6)
        if with_models:
            out["models"] = [m.to_dict(priced) for m in self.models]
        return out


@dataclass(frozen=True)
class Report:
    """A grouped report. `by` names the key fields of each row (for blocks:
    "block" plus its end, first and last event and whether it is active).
    `priced` says a price table was given (there is a cost column);
    `unpriced` maps each model whose usage lacks a price to the price keys
    it would need."""

    by: Tuple[str, ...]
    rows: Tuple[Group, ...]
    totals: Group
    timezone: str
    priced: bool = False
    breakdown: bool = False
    unpriced: Mapping[str, Tuple[str, ...]] = field(default_factory=dict)
    # Of a blocks report: the end (Unix ms) of its first active block, when
    # the report changes without a new event; None when no block is active.
    active_until: Optional[int] = None
    # Of a blocks report with block limits: the use of each by the current
    # block (`ledgerly.limits.LimitUse.to_dict`).
    limits: Tuple[Mapping[str, Any], ...] = ()
    # The currency of the costs (None: bare numbers, as the table was written).
    currency: Optional[str] = None

    def key_fields(self) -> Tuple[str, ...]:
        return BLOCK_FIELDS if self.by == ("block",) else self.by

    def columns(self) -> Tuple[str, ...]:
        """The CSV columns, in order; also the fields of each JSON row."""
        keys = self.key_fields()
        if self.breakdown and "model" not in keys:
            keys = keys + ("model",)
        return keys + TOKEN_FIELDS + ("total_tokens",) + (COST_FIELDS if self.priced else ())

    def to_dict(self) -> Dict[str, Any]:
        with_models = self.breakdown and "model" not in self.by
        out: Dict[str, Any] = {
            "rows": [g.to_dict(self.priced, with_models) for g in self.rows],
            "totals": self.totals.to_dict(self.priced, with_models),
        }
        if self.priced:
            out["unpriced"] = sorted(self.unpriced)
        out["timezone"] = self.timezone
        if self.limits:
            out["limits"] = [dict(use) for use in self.limits]
        if self.priced:
            out["currency"] = self.currency
        return out

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)

    def csv_rows(self) -> List[Dict[str, Any]]:
        """The CSV records: one per row, or with --breakdown one per row and
        model. No totals line (the totals are the sum of the records)."""
        if not (self.breakdown and "model" not in self.by):
            return [g.to_dict(self.priced) for g in self.rows]
        return [dict(g.key, **m.to_dict(self.priced)) for g in self.rows for m in g.models]

    def to_csv(self) -> str:
        return write_csv(self.columns(), self.csv_rows(), self.currency if self.priced else None)


def write_csv(columns: Sequence[str], records: Sequence[Mapping[str, Any]], currency: Optional[str]) -> str:
    """CSV text of `records` with a header of `columns`; with a currency,
    the cost columns name it (``cost_usd``)."""
    names = {c: cost_column(c, currency) for c in columns}
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow([names[c] for c in columns])
    for record in records:
        writer.writerow([_csv_value(record.get(c)) for c in columns])
    return buffer.getvalue()


def cost_column(name: str, currency: Optional[str]) -> str:
    """A CSV column's name: a cost column with the currency it is in."""
    if currency and name.endswith("cost"):
        return "%s_%s" % (name, currency.lower())
    return name


def _csv_value(value: Any) -> Any:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return value


# ---------------------------------------------------------------------------
# Selecting rows


def _name_mask(names: Sequence[str], globs: Tuple[str, ...], fold: bool) -> np.ndarray:
    return np.array(
        [any(fnmatch.fnmatchcase(n, g.lower() if fold else g) for g in globs) for n in names] or [False], dtype=bool
    )


@dataclass(frozen=True)
class _Selection:
    """The rows a report covers, with the views it needs: `rows` are the
    snapshot's rows in range and matching the globs, or groups of them that
    each stand for their rows (`raw` then gives each group's price class,
    see `ledgerly.aggregates`); `source` is the snapshot the rows come
    from, whose `files` their `file_index` indexes."""

    rows: Rows
    zone: tzs.Zone
    models: Tuple[str, ...]
    projects: Tuple[str, ...]
    source: Optional[Snapshot] = None
    raw: Optional[np.ndarray] = None

    @property
    def tokens(self) -> TokenMatrix:
        """The seven token counts of each row, (n, 7), read a slice at a time."""
        return self.rows.token_matrix()

    @cached_property
    def timestamps(self) -> np.ndarray:
        """The timestamps (int64, contiguous), made once."""
        return self.rows["timestamp"]

    @property
    def file_index(self) -> Optional[np.ndarray]:
        """The file of each row, as an index into the snapshot's `files`."""
        rank = self.source.file_rank if self.source is not None else None
        if rank is None:
            return None
        index: np.ndarray = rank[self.rows.column("file")]
        return index


def glob_mask(names: Sequence[str], globs: Tuple[str, ...], fold: bool) -> Optional[np.ndarray]:
    return _name_mask(names, globs, fold) if globs else None


def select(snapshot: Snapshot, query: Query) -> _Selection:
    """The snapshot's rows in the query's range that match its globs (when
    the range starts recently and the snapshot keeps the recent rows, read
    from those alone)."""
    rows = snapshot.rows
    if snapshot.store is not None:
        recent = snapshot.store.rows_between(query.low, query.high)
        if recent is not None:
            rows = recent
    mask: Optional[np.ndarray] = None

    def narrow(part: np.ndarray) -> None:
        nonlocal mask
        mask = part if mask is None else mask & part

    ts = rows["timestamp"]
    if query.low is not None:
        narrow(ts >= query.low)
    if query.high is not None:
        narrow(ts < query.high)
    models = glob_mask(snapshot.models, query.model, True)
    if models is not None:
        narrow(models[rows["model"].astype(np.intp)])
    projects = glob_mask(snapshot.projects, query.project, False)
    if projects is not None:
        narrow(projects[rows["project"].astype(np.intp)])
    if mask is not None:
        rows = rows[mask]
    return _Selection(rows, query.zone, snapshot.models, snapshot.projects, snapshot)


# The groupings that sums per hour, model, project, dialect, subagent and
# tier can answer.
_FROM_SUMS = frozenset(("day", "week", "month", "model", "project", "tier", "subagent", "dialect"))


def _from_aggregates(snapshot: Snapshot, query: Query, prices: Optional[PriceTable]) -> Optional[_Selection]:
    """The query's rows as the groups of the snapshot's aggregates, when
    those answer it exactly (see `ledgerly.aggregates`); else None."""
    view = snapshot.store.aggregates if snapshot.store is not None else None
    if view is None or not set(query.by) <= _FROM_SUMS:
        return None
    calendar = any(name in ("day", "week", "month") for name in query.by)
    groups = groups_for(
        view,
        query.low,
        query.high,
        glob_mask(snapshot.models, query.model, True),
        glob_mask(snapshot.projects, query.project, False),
        snapshot.models,
        prices,
        calendar,
    )
    if groups is None:
        return None
    if calendar:
        # Each hour must lie within one local day for its sums to stand for
        # its rows' day.
        starts = np.unique(groups.rows["timestamp"])
        if not np.array_equal(
            localtime.local_days(starts, query.zone), localtime.local_days(starts + HOUR_MS - 1, query.zone)
        ):
            return None
    return _Selection(groups.rows, query.zone, snapshot.models, snapshot.projects, None, groups.raw)


# ---------------------------------------------------------------------------
# Grouping


def _dimension(name: str, sel: _Selection, local_days: Optional[np.ndarray]) -> Codes:
    rows = sel.rows
    if name in ("day", "week", "month"):
        assert local_days is not None
        if name == "day":
            return dense(local_days)
        if name == "week":
            return dense(localtime.week_starts(local_days))
        return dense(localtime.month_numbers(local_days))
    # Codes in the order of the labels, so that groups come out sorted.
    if name == "model":
        return ranked(rows["model"], sel.models)
    if name == "project":
        return ranked(rows["project"], sel.projects)
    if name == "tier":
        return ranked(np.minimum(rows["tier"], len(TIER_NAMES) - 1), TIER_NAMES)
    if name == "subagent":
        return small(rows["subagent"] != 0, 2)  # false before true
    return ranked(rows["kind"] != KIND_MESSAGE, ("message", "event"))  # dialect


def _label(name: str, value: int, sel: _Selection) -> Any:
    if name == "day":
        return localtime.day_label(value)
    if name == "week":
        return localtime.week_label(value)
    if name == "month":
        return localtime.month_label(value)
    if name == "model":
        return sel.models[value]
    if name == "project":
        return sel.projects[value]
    if name == "tier":
        return TIER_NAMES[value]
    if name == "subagent":
        return bool(value)
    return "event" if value else "message"


KeyOf = Callable[[Tuple[int, ...]], Dict[str, Any]]


def build_report(
    sel: _Selection,
    dims: List[Codes],
    key_of: KeyOf,
    prices: Optional[PriceTable],
    breakdown: bool,
    by: Tuple[str, ...],
) -> Report:
    """Groups the selection by `dims` and the model (prices are per event:
    `ledgerly.prices.classes` sums each price class apart), then sums the
    per-model groups up into one report row per key. Rows come out in the
    order of the dimensions' codes (which follow their labels)."""
    model_dim = by.index("model") if "model" in by else None
    groups = group_by_model(dims, sel.rows, sel.tokens, sel.models, prices, model_dim, sel.timestamps, sel.raw)
    fine = FineGroups(groups.outer, groups.model_of, groups.model_rank, groups.sums, groups.paid, groups.missing)
    return assemble(
        fine, key_of, sel.models, by, sel.zone.name, bool(prices), breakdown, groups.unpriced, currency_of(prices)
    )


def currency_of(prices: Optional[PriceTable]) -> Optional[str]:
    """The currency of a report priced by `prices` (None: bare numbers)."""
    return prices.currency if prices else None


@dataclass(frozen=True)
class FineGroups:
    """Token sums and costs per (key, model), in ascending key order with the
    model as the least significant part of the key (or part of the key
    itself), ready to be summed up into report rows.

    - `outer`: per key dimension, the code of each group; groups with equal
      codes in every dimension share a report row (the model excepted), and
      `key_of` turns one group's codes into its key fields;
    - `model_of`: each group's index into the model names; `model_rank` the
      rank of that name among all names (name order);
    - `sums`: (G, 7) exact token sums; `paid`: the cost of the priced part;
      `missing`: some of the group's usage has no price."""

    outer: Sequence[np.ndarray]
    model_of: np.ndarray
    model_rank: np.ndarray
    sums: np.ndarray
    paid: np.ndarray
    missing: np.ndarray

    def __len__(self) -> int:
        return len(self.sums)


def assemble(
    fine: FineGroups,
    key_of: KeyOf,
    models: Sequence[str],
    by: Tuple[str, ...],
    timezone: str,
    priced: bool,
    breakdown: bool,
    unpriced: Mapping[str, Tuple[str, ...]],
    currency: Optional[str] = None,
) -> Report:
    """The report of per-model groups: neighbours that differ only in the
    model are summed into one row per key (their costs too, and a row is
    unpriced when any of its models is), with the per-model breakdown and
    the totals. Any source of groups (the row buffer, an exported tree)
    ends here, so that every report has the same rows, totals and forms."""
    model_in_key = "model" in by
    sums, paid, missing, model_of, model_digits = fine.sums, fine.paid, fine.missing, fine.model_of, fine.model_rank

    def make(key: Dict[str, Any], tokens: List[int], cost: float, unp: bool, children: Tuple[Group, ...] = ()) -> Group:
        return Group(key, tuple(tokens), None if not priced or unp else cost, cost, unp, children, currency)

    # Groups that differ only in the model are neighbours (the model is the
    # least significant digit, or part of the key): sum their runs.
    outer = fine.outer
    if len(fine) and not model_in_key:
        change = np.zeros(len(fine) - 1, dtype=bool)
        for digits in outer:
            change |= digits[1:] != digits[:-1]
        starts = np.flatnonzero(np.r_[True, change])
    else:
        starts = np.arange(len(fine))
    ends = np.r_[starts[1:], len(fine)].astype(np.intp)
    row_sums = exact_sums(sums, starts)
    row_paid = np.add.reduceat(paid, starts) if len(fine) else paid
    row_missing = np.logical_or.reduceat(missing, starts) if len(fine) else missing

    # Python values once, not per element: tolist() converts in C.
    fine_sums, fine_paid, fine_missing, fine_model = sums.tolist(), paid.tolist(), missing.tolist(), model_of.tolist()
    outer_digits = [d.tolist() for d in outer]
    sums_l, paid_l, missing_l = row_sums.tolist(), row_paid.tolist(), row_missing.tolist()
    rows: List[Group] = []
    for r, (a, b) in enumerate(zip(starts.tolist(), ends.tolist())):
        key = key_of(tuple(d[a] for d in outer_digits))
        children: Tuple[Group, ...] = ()
        if breakdown and not model_in_key:  # in name order, like the model codes
            children = tuple(
                make({"model": models[fine_model[i]]}, fine_sums[i], fine_paid[i], fine_missing[i]) for i in range(a, b)
            )
        rows.append(make(key, sums_l[r], paid_l[r], missing_l[r], children))

    # Totals, with the per-model totals when a breakdown was asked for.
    whole = exact_sums(sums, np.zeros(1, dtype=np.intp))[0] if len(fine) else np.zeros(len(TOKEN_FIELDS), np.int64)
    children = ()
    if breakdown and not model_in_key and len(fine):
        order = np.argsort(model_digits, kind="stable")  # name order
        by_model = model_of[order]
        runs = np.flatnonzero(np.r_[True, by_model[1:] != by_model[:-1]])
        m_sums = exact_sums(sums[order], runs)
        m_paid = np.add.reduceat(paid[order], runs)
        m_missing = np.logical_or.reduceat(missing[order], runs)
        m_lists = (m_sums.tolist(), m_paid.tolist(), m_missing.tolist())
        children = tuple(
            make({"model": models[int(by_model[a])]}, m_lists[0][k], m_lists[1][k], m_lists[2][k])
            for k, a in enumerate(runs.tolist())
        )
    totals = make({}, np.asarray(whole).tolist(), float(paid.sum()), bool(missing.any()), children)
    return Report(
        by, tuple(rows), totals, timezone, priced, breakdown and not model_in_key, dict(unpriced), currency=currency
    )


def report_for(snapshot: Snapshot, query: Query, prices: Optional[PriceTable] = None) -> Report:
    """Groups the rows that `query` selects by its dimensions (in the order
    given; none gives only totals), with a cost per row when `prices` is
    given and a per-model list inside every row when the query asks for a
    breakdown."""
    names = query.by
    # A range from recent times reads the few rows at hand; the aggregates
    # answer the rest when they can; the rows, everything else.
    kept = snapshot.store.recent if snapshot.store is not None else None
    recent = kept is not None and kept.covers(query.low, query.high)
    sel = None if recent else _from_aggregates(snapshot, query, prices)
    if sel is None:
        sel = select(snapshot, query)
    local_days = None
    if any(name in ("day", "week", "month") for name in names):
        local_days = localtime.local_days(sel.timestamps, sel.zone)
    dims = [_dimension(name, sel, local_days) for name in names]

    labels: Dict[Tuple[int, int], Any] = {}

    def label(index: int, digit: int) -> Any:
        key = (index, digit)
        if key not in labels:
            labels[key] = _label(names[index], dims[index].value(digit), sel)
        return labels[key]

    def key_of(digits: Tuple[int, ...]) -> Dict[str, Any]:
        return {name: label(i, d) for i, (name, d) in enumerate(zip(names, digits))}

    return build_report(sel, dims, key_of, prices, query.breakdown, names)


def report(
    snapshot: Snapshot,
    by: Union[str, Sequence[str]] = ("day",),
    tz: ZoneSpec = None,
    since: Bound = None,
    until: Bound = None,
    model: Globs = None,
    project: Globs = None,
    prices: Optional[PriceTable] = None,
    breakdown: bool = False,
) -> Report:
    """`report_for` with the parameters as keywords: groups the snapshot's
    rows by the dimensions `by` (any of `DIMENSIONS`, in the order given; an
    empty `by` gives only totals).

    - `tz`: zone for day, week and month keys and for date bounds (None:
      the local zone);
    - `since`, `until`: inclusive bounds, each a date (whole day in `tz`),
      an RFC 3339 time, a datetime or Unix milliseconds;
    - `model`, `project`: globs (one or several) the rows must match;
    - `prices`: a price table; gives every row a cost;
    - `breakdown`: a per-model list inside every row.

    Raises ReportError for a bad dimension, zone or bound."""
    return report_for(snapshot, make_query(by, since, until, tz, model, project, breakdown, groups=DIMENSIONS), prices)
