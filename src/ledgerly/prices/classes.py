"""Price classes: which rates apply to each event, for every row at once.

An event's price class is the entry that prices it (from its model, and
with imported versions from its time), the long-context band of its
prompt and its service tier; or no entry at all. Usage is priced by
summing each kind of token per (group × class) and pricing those sums, so
no row is ever priced one by one in Python. Every report, the sessions,
the limits, the live views, the API and the export price this way.

The contract:

- ``classify(table, rows, models) -> RowClasses``: `rows` are records
  (`ledgerly.layout.RECORD_DTYPE`, read by field name), `models` the names
  their `model` word indexes. Computed with numpy in chunks of rows:
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
  usage that has no price.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Set, Tuple

import numpy as np

from ledgerly.grouping import Codes, aggregate, exact_sums, ranked
from ledgerly.layout import TOKEN_FIELDS
from ledgerly.prices.rates import KINDS, MAX_BANDS, TIER_OF_CODE, TIERS, missing_label
from ledgerly.prices.table import Priced, PriceTable

PER_TOKENS = 1_000_000
UNPRICED = 0
_TIERS = len(TIERS)
_PER_SLOT = MAX_BANDS * _TIERS  # codes per (model × version) slot
_PROMPT_BITS = 40  # prompts are compared up to 2**40 - 1 tokens; thresholds lie far below
_PROMPT_CAP = (1 << _PROMPT_BITS) - 1
_CHUNK = 1 << 15  # rows per pass: a chunk of records stays in cache while its classes are worked out
_TIER_OF_CODE = np.array(TIER_OF_CODE, dtype=np.int64)
_PROMPT_FIELDS = ("input", "cache_write_5m", "cache_write_1h", "cache_read")


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
    follow the names."""

    periods: int
    starts: np.ndarray  # (periods,) int64: each period's first instant
    slot_of: np.ndarray  # (periods, models) int64: the slot of each model index in each period
    slot_model: np.ndarray  # (slots,) a model index of each slot
    slot_rank: np.ndarray  # (slots,) the rank of each slot's model name
    priced: Tuple[Priced, ...]  # per slot
    band_keys: Optional[np.ndarray]  # sorted slot << 40 | threshold, over every slot's thresholds
    band_first: Optional[np.ndarray]  # (slots,) where each slot's thresholds start in band_keys


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
    keys: List[int] = []
    for rank, index in enumerate(first.tolist()):
        for period, found in enumerate(table.resolve(models[index])):
            priced.append(found)
            slot = rank * periods + period
            if found.rates is not None:
                keys.extend((slot << _PROMPT_BITS) | t for t in found.rates.thresholds)
    slots = len(priced)
    starts = np.array([-(2**63) if s is None else s for s in table.starts], dtype=np.int64)
    starts[0] = -(2**63)  # the first version covers everything before it
    slot_of = rank_of[None, :] * periods + np.arange(periods, dtype=np.int64)[:, None]
    band_keys = band_first = None
    if keys:
        band_keys = np.array(keys, dtype=np.int64)
        band_first = np.searchsorted(band_keys, np.arange(slots, dtype=np.int64) << _PROMPT_BITS, side="left")
    return Plan(
        periods,
        starts,
        slot_of.astype(np.int64),
        np.repeat(first, periods).astype(np.intp),
        np.repeat(np.arange(len(first), dtype=np.int64), periods),
        tuple(priced),
        band_keys,
        band_first,
    )


def raw_codes(plan: Plan, rows: np.ndarray) -> np.ndarray:
    """Each row's class within the plan: ``(slot * MAX_BANDS + band) *
    len(TIERS) + tier``, computed a chunk of records at a time."""
    n = len(rows)
    out = np.empty(n, dtype=np.int64)
    slot_of = plan.slot_of[0] if plan.periods == 1 else plan.slot_of
    for start in range(0, n, _CHUNK):
        part = rows[start : start + _CHUNK]
        model = part["model"].astype(np.intp)
        if plan.periods == 1:
            slot = slot_of[model]
        else:
            period = np.searchsorted(plan.starts, part["timestamp"], side="right") - 1
            slot = slot_of[period, model]
        code = out[start : start + len(part)]
        np.multiply(slot, MAX_BANDS, out=code)
        if plan.band_keys is not None and plan.band_first is not None:
            prompt = np.minimum(part[_PROMPT_FIELDS[0]], _PROMPT_CAP)
            for name in _PROMPT_FIELDS[1:]:
                prompt += np.minimum(part[name], _PROMPT_CAP)
            np.minimum(prompt, _PROMPT_CAP, out=prompt)
            # The band: how many of the slot's thresholds lie below the prompt.
            band = np.searchsorted(plan.band_keys, (slot << _PROMPT_BITS) | prompt, side="left")
            code += band - plan.band_first[slot]
        code *= _TIERS
        code += _TIER_OF_CODE[np.minimum(part["tier"], len(TIER_OF_CODE) - 1).astype(np.intp)]
    return out


@dataclass(frozen=True)
class RowClasses:
    """The price class of every row of one selection, as a grouping
    dimension (`codes`: dense codes in name order of the model), and what
    each dense code stands for."""

    plan: Plan
    codes: Codes
    rates_table: np.ndarray  # (radix, 6) per million tokens, NaN where there is no rate

    def raw(self, digits: np.ndarray) -> np.ndarray:
        """The plan's code of each dense code."""
        return self._raw(digits)

    def describe(self, raw: int) -> Tuple[Priced, int, int]:
        """What a plan's code stands for: the entry (or none) that prices
        it, its band (0: below every threshold) and its tier class."""
        return self.plan.priced[raw // _PER_SLOT], raw % _PER_SLOT // _TIERS, raw % _TIERS

    def _raw(self, digits: np.ndarray) -> np.ndarray:
        values = self.codes.values
        assert values is not None
        raw: np.ndarray = values[np.asarray(digits, dtype=np.intp)]
        return raw

    def model_of(self, digits: np.ndarray) -> np.ndarray:
        """The model index of each dense code."""
        models: np.ndarray = self.plan.slot_model[self._raw(digits) // _PER_SLOT]
        return models

    def rank_of(self, digits: np.ndarray) -> np.ndarray:
        """The rank of each dense code's model name."""
        ranks: np.ndarray = self.plan.slot_rank[self._raw(digits) // _PER_SLOT]
        return ranks

    def class_ids(self, digits: np.ndarray) -> np.ndarray:
        """The class of each dense code as a number that is the same for
        one table whatever the rows (`UNPRICED` without an entry)."""
        raw = self._raw(digits)
        entry = np.array([p.entry for p in self.plan.priced], dtype=np.int64)[raw // _PER_SLOT]
        within = raw % _PER_SLOT
        return np.where(entry < 0, UNPRICED, (entry + 1) * _PER_SLOT + within)

    def tier_of(self, digits: np.ndarray) -> np.ndarray:
        return self._raw(digits) % _TIERS

    def rates(self, digits: np.ndarray) -> np.ndarray:
        """The rates (per million tokens, `KINDS` order; NaN where none
        applies) of each dense code."""
        return self.rates_table[np.asarray(digits, dtype=np.intp)]

    def price(self, sums: np.ndarray, digits: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """The cost of token sums (n, 7) that each belong to one class
        (`digits`): the cost of the priced part, and whether some of the
        usage has no rate."""
        parts = priced_parts(sums)
        rates = self.rates(digits)
        used = parts != 0
        missing = np.isnan(rates) & used
        cost = np.where(used, parts * np.nan_to_num(rates), 0.0).sum(axis=1) / PER_TOKENS
        return cost, missing.any(axis=1)

    def missing_kinds(self, sums: np.ndarray, digits: np.ndarray) -> Dict[int, Set[Tuple[int, int]]]:
        """Per model index: the (tier, kind) pairs its usage in these sums
        needs a rate for and has none (tier 0 for a model no entry prices)."""
        parts = priced_parts(sums)
        lacking = np.isnan(self.rates(digits)) & (parts != 0)
        out: Dict[int, Set[Tuple[int, int]]] = {}
        rows = np.flatnonzero(lacking.any(axis=1))
        if not len(rows):
            return out
        codes = np.asarray(digits)[rows]
        for code in np.unique(codes).tolist():
            kinds = np.flatnonzero(lacking[rows[codes == code]].any(axis=0)).tolist()
            raw = int(self._raw(np.array([code]))[0])
            slot = raw // _PER_SLOT
            tier = raw % _TIERS if self.plan.priced[slot].rates is not None else 0
            model = int(self.plan.slot_model[slot])
            out.setdefault(model, set()).update((tier, k) for k in kinds)
        return out

    def row_codes(self) -> np.ndarray:
        """The dense code of every row."""
        return self.codes.part(0, len(self.codes.codes))


def classify(table: PriceTable, rows: np.ndarray, models: Sequence[str]) -> RowClasses:
    """The price class of every row of `rows` under `table`."""
    plan = plan_for(table, models)
    raw = raw_codes(plan, rows)
    space = max(1, len(plan.priced)) * _PER_SLOT
    present = np.flatnonzero(np.bincount(raw, minlength=space)) if len(raw) else np.zeros(0, dtype=np.int64)
    lookup = np.zeros(space, dtype=np.int64)
    lookup[present] = np.arange(len(present), dtype=np.int64)
    rates = np.full((len(present), len(KINDS)), np.nan)
    for i, code in enumerate(present.tolist()):
        found = plan.priced[code // _PER_SLOT]
        if found.rates is not None:
            band, tier = code % _PER_SLOT // _TIERS, code % _TIERS
            rates[i] = [np.nan if r is None else r for r in found.rates.resolve(band, tier)]
    codes = Codes(raw, max(1, len(present)), present.astype(np.int64), lookup)
    return RowClasses(plan, codes, rates)


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
    dims: Sequence[Codes], rows: np.ndarray, tokens: np.ndarray, models: Sequence[str], table: Optional[PriceTable]
) -> ModelGroups:
    """Groups `rows` by `dims` and the model, and prices every group: by
    (dims, price class) when `table` prices anything, then the classes of
    one model added up."""
    if not table:
        model_codes = ranked(rows["model"], models)
        fine = aggregate(list(dims) + [model_codes], tokens)
        digits = fine.digits[-1]
        model_of = model_codes.values[digits] if model_codes.values is not None else digits
        none = np.zeros(len(fine))
        return ModelGroups(fine.digits[:-1], model_of, digits, fine.sums, none, none.astype(bool), {})
    classes = classify(table, rows, models)
    fine = aggregate(list(dims) + [classes.codes], tokens)
    digits = fine.digits[-1]
    paid, missing = classes.price(fine.sums, digits)
    lacking = classes.missing_kinds(fine.sums[missing], digits[missing]) if missing.any() else {}
    unpriced = {
        models[m]: tuple(missing_label(kind, tier) for tier, kind in sorted(pairs)) for m, pairs in lacking.items()
    }
    if not len(fine):
        empty = np.zeros(0, dtype=np.int64)
        return ModelGroups(fine.digits[:-1], empty, empty, fine.sums, paid, missing, unpriced)
    # Classes of one model are neighbours within a key: add them up.
    rank = classes.rank_of(digits)
    change = rank[1:] != rank[:-1]
    for d in fine.digits[:-1]:
        change |= d[1:] != d[:-1]
    starts = np.flatnonzero(np.r_[True, change])
    return ModelGroups(
        tuple(d[starts] for d in fine.digits[:-1]),
        classes.model_of(digits[starts]),
        rank[starts],
        exact_sums(fine.sums, starts),
        np.add.reduceat(paid, starts),
        np.logical_or.reduceat(missing, starts),
        unpriced,
    )


__all__ = [
    "PER_TOKENS",
    "TOKEN_FIELDS",
    "UNPRICED",
    "ModelGroups",
    "Plan",
    "RowClasses",
    "classify",
    "group_by_model",
    "plan_for",
    "priced_parts",
]
