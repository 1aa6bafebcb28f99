"""Grouping rows by integer keys and summing token counts exactly.

Every dimension of a report is first turned into small non-negative integer
codes (a day number minus the first day, a model index, ...). The codes of
several dimensions combine into one mixed-radix key per row. When the
product of the radixes is small the key indexes groups directly (counts by
`np.bincount`, no sort); otherwise the keys are made dense with `np.unique`.

Sums are exact: `np.bincount` sums its weights as float64, which is exact
only while every partial sum stays below 2**53, so it is used only when the
largest value times the row count is below that bound; otherwise the rows
are sorted by group and summed with `np.add.reduceat` in int64 (or as
Python integers when even 64 bits could overflow).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Sequence, Tuple

import numpy as np

_EXACT_FLOAT = 2**53
_CHUNK = 1 << 16  # rows per bincount pass: the chunk's floats stay in cache
_INT64_MAX = 2**63 - 1


@dataclass(frozen=True)
class Codes:
    """One dimension's codes: `codes[i]` in [0, radix) for row i, and
    `values[c]` the value that code c stands for (None when the code is the
    value itself)."""

    codes: np.ndarray
    radix: int
    values: Optional[np.ndarray] = None

    def value(self, code: int) -> int:
        return code if self.values is None else int(self.values[code])


def dense(values: np.ndarray) -> Codes:
    """Codes for an int64 array: the offset from the smallest value when the
    range is small compared with the row count, ranks otherwise."""
    values = np.asarray(values, dtype=np.int64)
    if len(values) == 0:
        return Codes(values, 1)
    low, high = int(values.min()), int(values.max())
    span = high - low + 1
    if span <= 4 * len(values) + 4096:
        return Codes(values - low, span, np.arange(low, high + 1, dtype=np.int64))
    uniques, inverse = np.unique(values, return_inverse=True)
    return Codes(inverse.reshape(-1).astype(np.int64), len(uniques), uniques)


def small(codes: np.ndarray, radix: int) -> Codes:
    """Codes that are already in [0, radix), of any integer or boolean type
    (a field view of the records is taken as it is, without a copy)."""
    return Codes(np.asarray(codes), max(1, radix))


@dataclass(frozen=True)
class Groups:
    """The non-empty groups of rows keyed by several dimensions.

    `keys[i]` is row i's key in a space of `space` possible keys; `ids` are
    the keys that occur (ascending), one per group. `digits` holds, per
    dimension, each group's code; `size` the rows per group."""

    keys: np.ndarray  # per row: group key (direct) or group id (dense)
    space: int  # number of possible keys
    ids: np.ndarray  # the keys that are groups, ascending
    digits: Tuple[np.ndarray, ...]
    size: np.ndarray

    def __len__(self) -> int:
        return len(self.ids)

    def row_group(self) -> np.ndarray:
        """Each row's group number (0 .. len-1)."""
        if len(self.ids) == self.space:
            return self.keys
        remap = np.zeros(self.space, dtype=np.int64)
        remap[self.ids] = np.arange(len(self.ids), dtype=np.int64)
        out: np.ndarray = remap[self.keys]
        return out

    def sums(self, values: np.ndarray) -> np.ndarray:
        """Exact per-group sums of the columns of `values` (n rows × k):
        int64, or object (Python ints) when int64 could overflow."""
        values = np.asarray(values)
        n, k = values.shape
        out = np.zeros((len(self.ids), k), dtype=np.int64)
        if n == 0:
            return out
        floats = self._float_sums(values)
        if floats is not None:
            out[:] = floats[:, self.ids].T
            return out
        order, starts = self._sorted()
        ordered = values[order]
        peak = max(abs(int(values.max())), abs(int(values.min())))
        if peak * n <= _INT64_MAX:
            out[:] = np.add.reduceat(ordered, starts, axis=0)
            return out
        result: np.ndarray = np.add.reduceat(ordered.astype(object), starts, axis=0)
        return result

    def _float_sums(self, values: np.ndarray) -> Optional[np.ndarray]:
        """Per-key sums (k × space) by bincount over float64, or None when a
        value is too large for every partial sum to stay exact. The rows go
        in cache-sized chunks: each is converted and transposed once, so that
        bincount reads contiguous weights."""
        n, k = values.shape
        limit = _EXACT_FLOAT / n
        step = _CHUNK if self.space <= _CHUNK else n
        out = np.zeros((k, self.space))
        for start in range(0, n, step):
            chunk = values[start : start + step].astype(np.float64)
            if max(abs(chunk.max()), abs(chunk.min())) >= limit:
                return None
            columns = np.ascontiguousarray(chunk.T)
            keys = self.keys[start : start + step]
            for j in range(k):
                out[j] += np.bincount(keys, weights=columns[j], minlength=self.space)
        return out

    def _sorted(self) -> Tuple[np.ndarray, np.ndarray]:
        group = self.row_group()
        order = np.argsort(group, kind="stable")
        ordered = group[order]
        starts = np.flatnonzero(np.r_[True, ordered[1:] != ordered[:-1]])
        return order, starts


def group(dimensions: Sequence[Codes], rows: int) -> Groups:
    """Groups `rows` rows by the combined codes of `dimensions` (in order;
    the first dimension is the most significant)."""
    space = 1
    for dim in dimensions:
        space *= dim.radix
    if space <= 8 * rows + 65536:
        keys = np.zeros(rows, dtype=np.int64)
        for dim in dimensions:
            if dim.radix > 1:
                keys *= dim.radix
                np.add(keys, dim.codes, out=keys, casting="unsafe")
        size = np.bincount(keys, minlength=space)
        ids = np.flatnonzero(size).astype(np.int64)
        return Groups(keys, space, ids, _digits(ids, dimensions), size[ids])
    # Too many possible keys to count directly: rank the combined keys
    # (as Python integers when even 64 bits cannot hold the combination).
    wide = space > _INT64_MAX
    combined: np.ndarray = np.zeros(rows, dtype=object if wide else np.int64)
    for dim in dimensions:
        combined = combined * dim.radix + dim.codes.astype(object if wide else np.int64)
    uniques, inverse = np.unique(combined, return_inverse=True)
    keys = inverse.reshape(-1).astype(np.int64)
    ids = np.arange(len(uniques), dtype=np.int64)
    return Groups(keys, len(uniques), ids, _digits(uniques, dimensions), np.bincount(keys, minlength=len(uniques)))


def _digits(combined: np.ndarray, dimensions: Sequence[Codes]) -> Tuple[np.ndarray, ...]:
    out = []
    rest = combined
    for dim in reversed(dimensions):
        rest, digit = np.divmod(rest, dim.radix)
        out.append(np.asarray(digit).astype(np.int64))
    return tuple(reversed(out))
