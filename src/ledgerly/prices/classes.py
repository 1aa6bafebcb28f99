"""Price classes: which rates apply to each event, for every row at once.

An event's price class is the entry that prices it (from its model, and
with imported versions from its time), the long-context band of its
prompt and its service tier; or no entry at all. Usage is priced by
summing each kind of token per (group × class) and pricing those sums, so
no row is ever priced one by one in Python. Every report, the sessions,
the limits, the live views, the API and the export price this way.

The contract:

- ``classify(table, rows, models) -> RowClasses``: `rows` are read by
  field name (records of `ledgerly.layout.RECORD_DTYPE`, or
  `ledgerly.columns.Rows`), `models` the names their `model` field indexes. Computed with numpy in chunks of rows:
  the version in force by a binary search of each row's timestamp among
  the versions' starts, the entry from a (version × model) table, the band
  by a binary search of the prompt among the entry's thresholds, the tier
  class from the row's tier code.
- ``RowClasses.codes`` is a grouping dimension (`ledgerly.grouping.Codes`)
  whose dense codes are ordered by model name first: group by it (beside
  any other dimensions), then price the sums of each group with
  ``RowClasses.price(sums, digits)`` → (cost of the priced part, whether
  some usage has no rate). ``rates(digits)`` gives the rates themselves
  (per million tokens, NaN where there is none), ``model_of(digits)`` the
  model, ``class_ids(digits)`` the class as a number that stays the same
  for one table whatever the rows: ``((entry + 1) * MAX_BANDS + band) *
  len(TIERS) + tier``, with `UNPRICED` (0) for usage no entry prices.
- ``group_by_model(dims, rows, tokens, models, table)`` is the usual use:
  sums and costs per (the dimensions' key, model), and the models with
  usage that has no price. It also groups sums kept per class
  (`ledgerly.aggregates`), whose classes `raw` then gives: they come from
  ``periods_and_bands`` when the rows were added and ``codes_of`` when read.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Any, Dict, Iterator, List, Optional, Sequence, Set, Tuple, Union

import numpy as np

from ledgerly.grouping import Codes, aggregate, combined_keys, digits_of, exact_sums, ranked
from ledgerly.layout import RECORD_WORDS, TOKEN_FIELDS, words
from ledgerly.prices.rates import KINDS, MAX_BANDS, NO_RATES, TIER_OF_CODE, TIERS, missing_label
from ledgerly.prices.table import Priced, PriceTable

PER_TOKENS = 1_000_000
UNPRICED = 0
_TIERS = len(TIERS)
_PER_SLOT = MAX_BANDS * _TIERS  # codes per (model × version) slot
_CHUNK = 1 << 15  # rows per pass: a chunk of records stays in cache while its classes are worked out
_TIER_OF_CODE = np.array(TIER_OF_CODE, dtype=np.int64)
_BAND_SHIFT = 2  # a band's step in a code: len(TIERS) == 1 << _BAND_SHIFT
assert _TIERS == 1 << _BAND_SHIFT
# What an event's prompt is the sum of: input, the cache writes, cache reads
# (as record words, and as columns of the token counts).
_PROMPT = ("input", "cache_write_5m", "cache_write_1h", "cache_read")
_PROMPT_WORDS = [RECORD_WORDS.index(name) for name in _PROMPT]
_PROMPT_COLUMNS = [TOKEN_FIELDS.index(name) for name in _PROMPT]


def priced_parts(tokens: np.ndarray) -> np.ndarray:
    """The six priced quantities of token sums `tokens` (n, 7; columns in
    record order): fresh input, cached input, output, 5-minute and 1-hour
    cache writes, cache reads. Cached input is part of input, and reasoning
    part of output, so neither is priced twice."""
    t = np.asarray(tokens).astype(np.float64)
    return np.stack([t[:, 0] - t[:, 1], t[:, 1], t[:, 2], t[:, 4], t[:, 5], t[:, 6]], axis=1)


@dataclass(frozen=True)
class Plan:
    """What prices each model of one model table in each version's period.

    Models are numbered by the rank of their name (equal names share one);
    a slot is one (rank, period): ``rank * periods + period``, so slots
    follow the names. A row's place in the tables below is ``period *
    models + model index``."""

    periods: int
    models: int
    starts: np.ndarray  # (periods - 1,) int64: the first instant of each period after the first
    base_of: np.ndarray  # (periods * models,) int64: slot * codes per slot
    bandless_of: np.ndarray  # (periods * models,) int64: slot * len(TIERS), the slot-and-tier code of tier 0
    # Per band level (the first threshold, the second, ...): the threshold of
    # each place, and of each slot (float64; infinite where the entry has no
    # such band).
    thresholds_of: Tuple[np.ndarray, ...]
    thresholds_by_slot: Tuple[np.ndarray, ...]
    slot_model: np.ndarray  # (slots,) a model index of each slot
    slot_rank: np.ndarray  # (slots,) the rank of each slot's model name
    priced: Tuple[Priced, ...]  # per slot
    _rates: Dict[int, Tuple[float, ...]] = field(default_factory=dict, compare=False, repr=False)

    def rates_of(self, code: int) -> Tuple[float, ...]:
        """The rates of a plan's code, per million tokens (NaN: none)."""
        found = self._rates.get(code)
        if found is None:
            priced = self.priced[code // _PER_SLOT]
            given = priced.rates.resolve(code % _PER_SLOT // _TIERS, code % _TIERS) if priced.rates else NO_RATES
            found = self._rates[code] = tuple(np.nan if r is None else r for r in given)
        return found

    def rates(self, raw: np.ndarray) -> np.ndarray:
        """The rates (per million tokens, `KINDS` order; NaN where none
        applies) of each of the plan's codes `raw`."""
        raw = np.asarray(raw, dtype=np.int64)
        space = max(1, len(self.priced)) * _PER_SLOT
        table = np.full((space, len(KINDS)), np.nan)
        for code in np.flatnonzero(np.bincount(raw, minlength=space)).tolist():
            table[code] = self.rates_of(code)
        out: np.ndarray = table[raw]
        return out

    def describe(self, raw: int) -> Tuple[Priced, int, int]:
        """What a plan's code stands for: the entry (or none) that prices
        it, its band (0: below every threshold) and its tier class."""
        return self.priced[raw // _PER_SLOT], raw % _PER_SLOT // _TIERS, raw % _TIERS

    def model_of(self, raw: np.ndarray) -> np.ndarray:
        """The model index of each of the plan's codes."""
        models: np.ndarray = self.slot_model[np.asarray(raw) // _PER_SLOT]
        return models

    def rank_of(self, raw: np.ndarray) -> np.ndarray:
        """The rank of the model name of each of the plan's codes."""
        ranks: np.ndarray = self.slot_rank[np.asarray(raw) // _PER_SLOT]
        return ranks

    def class_ids(self, raw: np.ndarray) -> np.ndarray:
        """Each code's class as a number that is the same for one table
        whatever the rows and model table (`UNPRICED` without an entry)."""
        raw = np.asarray(raw, dtype=np.int64)
        entry = np.array([p.entry for p in self.priced] + [-1], dtype=np.int64)[raw // _PER_SLOT]
        out: np.ndarray = np.where(entry < 0, UNPRICED, (entry + 1) * _PER_SLOT + raw % _PER_SLOT)
        return out

    def price(self, sums: np.ndarray, raw: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """The cost of token sums (n, 7) that each belong to one class
        (`raw`): the cost of the priced part, and whether some of the
        usage has no rate."""
        parts = priced_parts(sums)
        rates = self.rates(raw)
        used = parts != 0
        missing = np.isnan(rates) & used
        cost = np.where(used, parts * np.nan_to_num(rates), 0.0).sum(axis=1) / PER_TOKENS
        return cost, missing.any(axis=1)

    def missing_kinds(self, sums: np.ndarray, raw: np.ndarray) -> Dict[int, Set[Tuple[int, int]]]:
        """Per model index: the (tier, kind) pairs its usage in these sums
        needs a rate for and has none (tier 0 for a model no entry prices)."""
        parts = priced_parts(sums)
        lacking = np.isnan(self.rates(raw)) & (parts != 0)
        out: Dict[int, Set[Tuple[int, int]]] = {}
        rows = np.flatnonzero(lacking.any(axis=1))
        if not len(rows):
            return out
        # The kinds each code lacks anywhere: the groups sorted by code, each run's lacks or-ed.
        codes = np.asarray(raw)[rows]
        order = np.argsort(codes, kind="stable")
        codes = codes[order]
        starts = np.flatnonzero(np.r_[True, codes[1:] != codes[:-1]])
        per_code = np.logical_or.reduceat(lacking[rows[order]], starts, axis=0)
        for code, kinds in zip(codes[starts].tolist(), per_code.tolist()):
            slot = code // _PER_SLOT
            tier = code % _TIERS if self.priced[slot].rates is not None else 0
            model = int(self.slot_model[slot])
            out.setdefault(model, set()).update((tier, k) for k, lacks in enumerate(kinds) if lacks)
        return out


def plan_for(table: PriceTable, models: Sequence[str]) -> Plan:
    """The plan of `table` for the model table `models` (kept on the table
    for the last few model tables)."""
    key = tuple(models)
    plans = table.plans
    found = plans.get(key)
    if found is None:
        found = _plan(table, key)
        if len(plans) >= 4:
            plans.clear()
        plans[key] = found
    assert isinstance(found, Plan)
    return found


def _plan(table: PriceTable, models: Tuple[str, ...]) -> Plan:
    periods = max(1, len(table.versions))
    names = ranked(np.zeros(0, dtype=np.int64), models)
    rank_of = names.lookup if names.lookup is not None else np.zeros(0, dtype=np.int64)
    first = names.values if names.values is not None else np.zeros(0, dtype=np.int64)
    priced: List[Priced] = []
    for index in first.tolist():
        priced.extend(table.resolve(models[index]))
    # The first version covers everything before the second's start.
    starts = np.array([-(2**63) if s is None else s for s in table.starts[1:]], dtype=np.int64)
    slot = (rank_of[None, :] * periods + np.arange(periods, dtype=np.int64)[:, None]).reshape(-1)
    levels = max([len(p.rates.thresholds) for p in priced if p.rates is not None] + [0])
    by_slot = np.full((levels, len(priced) + 1), np.inf)
    for number, found in enumerate(priced):
        if found.rates is not None:
            for level, threshold in enumerate(found.rates.thresholds):
                by_slot[level, number] = threshold
    return Plan(
        periods,
        len(models),
        starts,
        (slot * _PER_SLOT).astype(np.int64),
        (slot << _BAND_SHIFT).astype(np.int64),
        tuple(by_slot[level][slot] for level in range(levels)),
        tuple(by_slot[level] for level in range(levels)),
        np.repeat(first, periods).astype(np.intp),
        np.repeat(np.arange(len(first), dtype=np.int64), periods),
        tuple(priced),
    )


def raw_codes(plan: Plan, rows: Any, timestamps: Optional[np.ndarray] = None) -> np.ndarray:
    """Each row's class within the plan: ``(slot * MAX_BANDS + band) *
    len(TIERS) + tier``, computed a chunk of records at a time.
    `timestamps` may give the rows' times as a contiguous array."""
    out = np.empty(len(rows), dtype=np.int64)
    for start, stop, part, place in _places(plan, rows, timestamps):
        code = out[start:stop]
        np.take(plan.base_of, place, out=code)
        code += np.take(_TIER_OF_CODE, part["tier"], mode="clip")
        if plan.thresholds_of:
            _add_bands(plan, part, place, code)
    return out


def bandless_codes(plan: Plan, rows: Any, timestamps: Optional[np.ndarray] = None) -> np.ndarray:
    """Each row's slot and tier, ``slot * len(TIERS) + tier``: its class but
    for the band, which needs the prompt."""
    out = np.empty(len(rows), dtype=np.int64)
    for start, stop, part, place in _places(plan, rows, timestamps):
        code = out[start:stop]
        np.take(plan.bandless_of, place, out=code)
        code += np.take(_TIER_OF_CODE, part["tier"], mode="clip")
    return out


def periods_and_bands(plan: Plan, rows: Any) -> Tuple[np.ndarray, np.ndarray]:
    """Each row's price period (the version in force at its time) and its
    long-context band under the plan. With the row's model and tier they
    make its class (`codes_of`); both stay the same for one price table
    whatever the model table, so sums kept per (period, band) can be
    priced later."""
    periods = np.zeros(len(rows), dtype=np.int64)
    bands = np.zeros(len(rows), dtype=np.int64)
    for start, stop, part, place in _places(plan, rows, None):
        if plan.periods > 1:
            periods[start:stop] = place // plan.models
        if plan.thresholds_of:
            _add_bands(plan, part, np.asarray(place, dtype=np.int64), bands[start:stop])
    bands >>= _BAND_SHIFT
    return periods, bands


def codes_of(plan: Plan, model: np.ndarray, period: np.ndarray, band: np.ndarray, tier: np.ndarray) -> np.ndarray:
    """The classes within the plan (see `raw_codes`) of rows, or sums of
    rows, of one model, period, band and tier code each."""
    place = np.asarray(period, dtype=np.int64) * plan.models + np.asarray(model, dtype=np.int64)
    code: np.ndarray = np.take(plan.base_of, place)
    code += np.asarray(band, dtype=np.int64) << _BAND_SHIFT
    code += np.take(_TIER_OF_CODE, np.asarray(tier, dtype=np.int64), mode="clip")
    return code


def _places(plan: Plan, rows: Any, timestamps: Optional[np.ndarray]) -> Iterator[Tuple[int, int, Any, np.ndarray]]:
    """Chunks of rows: their bounds, records and places (``period * models
    + model index``: the version in force at each row's time found by a
    binary search among the versions' starts)."""
    for start in range(0, len(rows), _CHUNK):
        stop = min(len(rows), start + _CHUNK)
        part = rows[start:stop]
        place = part["model"]
        if plan.periods > 1:
            times = part["timestamp"] if timestamps is None else timestamps[start:stop]
            period = np.searchsorted(plan.starts, times, side="right")
            period *= plan.models
            place = np.add(period, place, dtype=np.int64, casting="unsafe")
        yield start, stop, part, place


def _add_bands(plan: Plan, part: Any, place: np.ndarray, code: np.ndarray) -> None:
    """Adds each row's band to its code: one band up for each threshold of
    its entry that its prompt is above. Only the rows whose entry has
    bands are looked at."""
    first = np.take(plan.thresholds_of[0], place)
    banded = np.flatnonzero(first < np.inf)
    if not len(banded):
        return
    where: Union[slice, np.ndarray] = banded
    if len(banded) * 4 > len(part):
        where = slice(None)  # most rows: all of them, without gathering
    else:
        part, place, first = part[banded], place[banded], first[banded]
    prompt = _prompt(part)
    bands = (prompt > first).view(np.uint8).astype(np.int64)
    for level in plan.thresholds_of[1:]:
        bands += prompt > np.take(level, place)
    code[where] += bands << _BAND_SHIFT


def _prompt(part: Any) -> np.ndarray:
    """The prompt of each row, summed in floating point: exact far beyond
    any threshold, and no overflow."""
    if isinstance(part, np.ndarray):
        block = part if part.flags.c_contiguous else np.ascontiguousarray(part)
        total: np.ndarray = words(block)[:, _PROMPT_WORDS].sum(axis=1, dtype=np.float64)
        return total
    total = part[_PROMPT[0]].astype(np.float64)
    for name in _PROMPT[1:]:
        total += part[name]
    return total


@dataclass(frozen=True)
class RowClasses:
    """The price class of every row of one selection, as a grouping
    dimension (`codes`: dense codes in name order of the model), and what
    each dense code stands for (through the plan's codes, `raw`)."""

    plan: Plan
    codes: Codes

    def raw(self, digits: np.ndarray) -> np.ndarray:
        """The plan's code of each dense code."""
        values = self.codes.values
        assert values is not None
        raw: np.ndarray = values[np.asarray(digits, dtype=np.intp)]
        return raw

    def describe(self, raw: int) -> Tuple[Priced, int, int]:
        return self.plan.describe(raw)

    def model_of(self, digits: np.ndarray) -> np.ndarray:
        """The model index of each dense code."""
        return self.plan.model_of(self.raw(digits))

    def rank_of(self, digits: np.ndarray) -> np.ndarray:
        """The rank of each dense code's model name."""
        return self.plan.rank_of(self.raw(digits))

    def class_ids(self, digits: np.ndarray) -> np.ndarray:
        """The class of each dense code as a number that is the same for
        one table whatever the rows (`UNPRICED` without an entry)."""
        return self.plan.class_ids(self.raw(digits))

    def tier_of(self, digits: np.ndarray) -> np.ndarray:
        tiers: np.ndarray = self.raw(digits) % _TIERS
        return tiers

    def rates(self, digits: np.ndarray) -> np.ndarray:
        """The rates (per million tokens, `KINDS` order; NaN where none
        applies) of each dense code."""
        return self.plan.rates(self.raw(digits))

    def price(self, sums: np.ndarray, digits: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """The cost of token sums (n, 7) that each belong to one class
        (`digits`): the cost of the priced part, and whether some of the
        usage has no rate."""
        return self.plan.price(sums, self.raw(digits))

    def missing_kinds(self, sums: np.ndarray, digits: np.ndarray) -> Dict[int, Set[Tuple[int, int]]]:
        """Per model index: the (tier, kind) pairs its usage in these sums
        needs a rate for and has none (tier 0 for a model no entry prices)."""
        return self.plan.missing_kinds(sums, self.raw(digits))

    def row_codes(self) -> np.ndarray:
        """The dense code of every row."""
        return self.codes.part(0, len(self.codes.codes))


def classify(table: PriceTable, rows: Any, models: Sequence[str]) -> RowClasses:
    """The price class of every row of `rows` under `table`."""
    plan = plan_for(table, models)
    return RowClasses(plan, _dense(plan, raw_codes(plan, rows)))


def _dense(plan: Plan, raw: np.ndarray) -> Codes:
    """The plan's codes of the rows as a grouping dimension: renumbered
    densely over the codes present, in their order."""
    space = max(1, len(plan.priced)) * _PER_SLOT
    present = np.flatnonzero(np.bincount(raw, minlength=space)) if len(raw) else np.zeros(0, dtype=np.int64)
    lookup = np.zeros(space, dtype=np.int64)
    lookup[present] = np.arange(len(present), dtype=np.int64)
    return Codes(raw, max(1, len(present)), present.astype(np.int64), lookup)


def _banded_sums(
    others: Sequence[Codes], bandless: np.ndarray, tokens: Any, plan: Plan
) -> Optional[Tuple[Tuple[np.ndarray, ...], np.ndarray, np.ndarray]]:
    """Sums per (dims, class) where the classes' bands are worked out while
    summing: the rows are first grouped by the dimensions and their class
    without its band (`bandless`, see `bandless_codes`), then, chunk by
    chunk, each row's prompt comes from the token counts being summed and
    its band from its entry's thresholds, and the row is added to its
    group's band. No record field is read for the band alone.

    Returns the outer digits, the plan's code (band included) and the sums
    of each non-empty group, in key order; None when the key space is too
    large for this or the counts too large for exact float sums (the
    caller then classifies every row first)."""
    dims = list(others) + [Codes(bandless, max(1, len(plan.priced)) << _BAND_SHIFT)]
    n, k = tokens.shape
    space = _space(dims)
    if space > 8 * n + 65536:
        return None
    keys = np.empty(n, dtype=np.int64)
    for start in range(0, n, _CHUNK):
        combined_keys(dims, start, min(n, start + _CHUNK), keys[start : start + _CHUNK])
    ids = np.flatnonzero(np.bincount(keys, minlength=space)).astype(np.int64)
    remap = np.zeros(space, dtype=np.int64)
    remap[ids] = np.arange(len(ids), dtype=np.int64)
    group = remap[keys]
    levels = plan.thresholds_by_slot
    width = len(levels) + 1  # bands per group
    slots = len(ids) * width
    sizes = np.zeros(slots, dtype=np.int64)
    floats = np.zeros((k, slots))
    limit = 2**53 / max(n, 1)
    for start in range(0, n, _CHUNK):
        stop = min(n, start + _CHUNK)
        chunk = tokens[start:stop].astype(np.float64)
        if len(chunk) and max(abs(chunk.max()), abs(chunk.min())) >= limit:
            return None
        columns = np.ascontiguousarray(chunk.T)
        prompt = columns[_PROMPT_COLUMNS[0]] + columns[_PROMPT_COLUMNS[1]]
        prompt += columns[_PROMPT_COLUMNS[2]]
        prompt += columns[_PROMPT_COLUMNS[3]]
        slot = bandless[start:stop] >> _BAND_SHIFT
        place = group[start:stop] * width
        for level in levels:
            place += prompt > np.take(level, slot)
        sizes += np.bincount(place, minlength=slots)
        for j in range(k):
            floats[j] += np.bincount(place, weights=columns[j], minlength=slots)
    present = np.flatnonzero(sizes)
    digits = digits_of(ids[present // width], dims)
    return digits[:-1], _with_band(digits[-1], present % width), floats[:, present].T.astype(np.int64)


def _with_band(bandless: np.ndarray, band: Union[int, np.ndarray]) -> np.ndarray:
    """The plan's codes of slot-and-tier codes (`bandless_codes`) in `band`."""
    raw: np.ndarray = (bandless >> _BAND_SHIFT) * _PER_SLOT + (bandless & (_TIERS - 1))
    return raw + np.asarray(band, dtype=np.int64) * _TIERS


def _space(dims: Sequence[Codes]) -> int:
    space = 1
    for dim in dims:
        space *= dim.radix
    return space


@dataclass(frozen=True)
class ModelGroups:
    """Token sums and costs per (key of some dimensions, model), in
    ascending key order with the model (in name order) last.

    - `outer`: per dimension, the code of each group;
    - `model_of`: each group's model index; `model_rank` the rank of its name;
    - `sums`: (G, 7) exact token sums; `paid`: the cost of the priced part;
      `missing`: some of the group's usage has no price;
    - `unpriced`: each model with usage that has no price, and the price
      keys it lacks (``priority.input`` for a tier's)."""

    outer: Tuple[np.ndarray, ...]
    model_of: np.ndarray
    model_rank: np.ndarray
    sums: np.ndarray
    paid: np.ndarray
    missing: np.ndarray
    unpriced: Dict[str, Tuple[str, ...]]

    def __len__(self) -> int:
        return len(self.sums)


def group_by_model(
    dims: Sequence[Codes],
    rows: Any,
    tokens: Any,
    models: Sequence[str],
    table: Optional[PriceTable],
    model_dim: Optional[int] = None,
    timestamps: Optional[np.ndarray] = None,
    raw: Optional[np.ndarray] = None,
) -> ModelGroups:
    """Groups `rows` by `dims` and the model, and prices every group: by
    (dims, price class) when `table` prices anything, then the classes of
    one model added up. `model_dim` says which of `dims` is the model
    itself (`ranked` codes), if one is: the class stands for it then.
    `timestamps` may give the rows' times as a contiguous array. `rows`
    may be sums of rows of one class each (see `ledgerly.aggregates`),
    whose classes within the table's plan `raw` then gives."""
    if not table:
        return _without_prices(dims, rows, tokens, models, model_dim)
    plan = plan_for(table, models)
    others = [d for i, d in enumerate(dims) if i != model_dim]
    outer_digits, raw, sums = _class_sums(plan, others, rows, tokens, timestamps, raw)
    paid, missing = plan.price(sums, raw)
    lacking = plan.missing_kinds(sums[missing], raw[missing]) if missing.any() else {}
    unpriced = {
        models[m]: tuple(missing_label(kind, tier) for tier, kind in sorted(pairs)) for m, pairs in lacking.items()
    }
    if not len(sums):
        empty = np.zeros(0, dtype=np.int64)
        return ModelGroups(tuple(empty for _ in dims), empty, empty, sums, paid, missing, unpriced)
    groups = _classes_added(plan, outer_digits, raw, sums, paid, missing)
    return _model_dimension(replace(groups, unpriced=unpriced), model_dim)


def _without_prices(
    dims: Sequence[Codes], rows: Any, tokens: Any, models: Sequence[str], model_dim: Optional[int]
) -> ModelGroups:
    """`group_by_model` without a price table: the groups' sums alone."""
    if model_dim is not None:
        fine = aggregate(dims, tokens)
        digits = fine.digits[model_dim]
        values = dims[model_dim].values
        model_of = values[digits] if values is not None else digits
        none = np.zeros(len(fine))
        return ModelGroups(fine.digits, model_of, digits, fine.sums, none, none.astype(bool), {})
    model_codes = ranked(rows["model"], models)
    fine = aggregate(list(dims) + [model_codes], tokens)
    digits = fine.digits[-1]
    model_of = model_codes.values[digits] if model_codes.values is not None else digits
    none = np.zeros(len(fine))
    return ModelGroups(fine.digits[:-1], model_of, digits, fine.sums, none, none.astype(bool), {})


def _class_sums(
    plan: Plan,
    others: List[Codes],
    rows: Any,
    tokens: Any,
    timestamps: Optional[np.ndarray],
    raw: Optional[np.ndarray] = None,
) -> Tuple[Sequence[np.ndarray], np.ndarray, np.ndarray]:
    """The token sums per (key of `others`, price class): the keys' digits,
    each group's raw class code, and the sums, in key order with the class
    last. `raw`: the rows' classes, when known (sums of rows, whose bands
    cannot be told from their tokens)."""
    if raw is not None:
        known = _dense(plan, raw)
        fine = aggregate(others + [known], tokens)
        assert known.values is not None
        return fine.digits[:-1], known.values[fine.digits[-1]], fine.sums
    bandless = bandless_codes(plan, rows, timestamps)
    if plan.thresholds_by_slot:
        found = _banded_sums(others, bandless, tokens, plan)
        if found is not None:
            return found
    elif _space(others) * (len(plan.priced) << _BAND_SHIFT) <= 8 * len(rows) + 65536:
        # No entry has bands: the class is the slot and tier.
        fine = aggregate(others + [Codes(bandless, max(1, len(plan.priced)) << _BAND_SHIFT)], tokens)
        return fine.digits[:-1], _with_band(fine.digits[-1], 0), fine.sums
    classes = _dense(plan, raw_codes(plan, rows, timestamps))
    fine = aggregate(others + [classes], tokens)
    assert classes.values is not None
    return fine.digits[:-1], classes.values[fine.digits[-1]], fine.sums


def _classes_added(
    plan: Plan,
    outer_digits: Sequence[np.ndarray],
    raw: np.ndarray,
    sums: np.ndarray,
    paid: np.ndarray,
    missing: np.ndarray,
) -> ModelGroups:
    """Groups per (key, price class: `raw` codes) added up per (key,
    model); the keys' digits in `outer`, the model last."""
    # Classes of one model are neighbours within a key: add them up.
    rank = plan.rank_of(raw)
    change = rank[1:] != rank[:-1]
    for d in outer_digits:
        change |= d[1:] != d[:-1]
    starts = np.flatnonzero(np.r_[True, change])
    return ModelGroups(
        tuple(d[starts] for d in outer_digits),
        plan.model_of(raw[starts]),
        rank[starts],
        exact_sums(sums, starts),
        np.add.reduceat(paid, starts),
        np.logical_or.reduceat(missing, starts),
        {},
    )


def _model_dimension(groups: ModelGroups, model_dim: Optional[int]) -> ModelGroups:
    """`groups` with the model's own dimension, when it is one of the
    dimensions asked for, put in its place among the keys (its codes are
    the ranks of the names) and the groups in key order again."""
    if model_dim is None:
        return groups
    outer = list(groups.outer)
    outer.insert(model_dim, groups.model_rank)
    if model_dim == len(outer) - 1:
        return replace(groups, outer=tuple(outer))
    order = np.lexsort(outer[::-1])
    return replace(
        groups,
        outer=tuple(d[order] for d in outer),
        model_of=groups.model_of[order],
        model_rank=groups.model_rank[order],
        sums=groups.sums[order],
        paid=groups.paid[order],
        missing=groups.missing[order],
    )


__all__ = [
    "PER_TOKENS",
    "TOKEN_FIELDS",
    "UNPRICED",
    "ModelGroups",
    "Plan",
    "RowClasses",
    "classify",
    "codes_of",
    "group_by_model",
    "periods_and_bands",
    "plan_for",
    "priced_parts",
]
