"""Grouping rows by integer keys and summing columns exactly.

Every dimension of a report is first turned into small non-negative integer
codes (a day number minus the first day, a model index, ...). The codes of
several dimensions combine into one mixed-radix key per row. When the
product of the radixes is small the key indexes groups directly (counts and
sums by `np.bincount`, no sort); otherwise the keys are ranked with
`np.unique` first.

The rows are visited in chunks that fit in the processor's cache: per chunk
the keys are completed from the record fields (read in place from the row
buffer), the values converted once, and everything counted and summed, so
the row buffer is read once. A key space larger than a chunk is first
narrowed to the groups that hold rows (the keys made and counted in a pass
of their own), so that no chunk sums over the empty ones.

Sums are exact: `np.bincount` sums its weights as float64, which is exact
only while every partial sum stays below 2**53, so it is used only when the
largest value times the row count is below that bound; otherwise the rows
are sorted by group and summed with `np.add.reduceat` in int64 (or as
Python integers when even 64 bits could overflow). `exact_sums` is that
sum of runs of rows, for every caller that adds groups up further.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Protocol, Sequence, Tuple, Union

import numpy as np

_EXACT_FLOAT = 2**53
INT64_MAX = 2**63 - 1
_CHUNK = 1 << 15  # rows per pass: a chunk of records and its floats stay in cache


@dataclass(frozen=True)
class Codes:
    """One dimension's codes: row i's code is `codes[i]` (any integer or
    boolean array, a strided field view included), passed through `lookup`
    when there is one, in [0, radix); `values[c]` is the value that code c
    stands for (None when the code is the value itself)."""

    codes: np.ndarray
    radix: int
    values: Optional[np.ndarray] = None
    lookup: Optional[np.ndarray] = None

    def value(self, code: int) -> int:
        return code if self.values is None else int(self.values[code])

    def part(self, start: int, stop: int) -> np.ndarray:
        """The final codes of rows start..stop."""
        raw = self.codes[start:stop]
        return raw if self.lookup is None else self.lookup[raw.astype(np.intp)]


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
    """Codes that are already in [0, radix), taken as they are (no copy)."""
    return Codes(np.asarray(codes), max(1, radix))


def ranked(codes: np.ndarray, names: Sequence[str]) -> Codes:
    """Codes for indexes into `names`, renumbered so that code order is the
    names' order: groups then come out sorted by name without a sort.
    Indexes of equal names get one code (its value is the first of them)."""
    if not names:
        return Codes(np.asarray(codes), 1, np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64))
    text = np.array(names, dtype=object)
    order = np.argsort(text, kind="stable")
    ordered = text[order]
    new = np.ones(len(order), dtype=bool)
    new[1:] = ordered[1:] != ordered[:-1]
    lookup = np.empty(len(order), dtype=np.int64)
    lookup[order] = np.cumsum(new) - 1
    return Codes(np.asarray(codes), int(new.sum()), order[new].astype(np.int64), lookup)


@dataclass(frozen=True)
class Groups:
    """The non-empty groups of rows keyed by several dimensions, in
    ascending key order: per dimension each group's code (`digits`), the
    rows per group (`size`) and the exact column sums (`sums`, int64, or
    object holding Python ints where int64 could overflow)."""

    digits: Tuple[np.ndarray, ...]
    size: np.ndarray
    sums: np.ndarray

    def __len__(self) -> int:
        return len(self.size)


class Slices(Protocol):
    """An (n × k) matrix read a slice of rows at a time (such as the token
    counts of `ledgerly.columns.Rows`, made from its columns as read)."""

    @property
    def shape(self) -> Tuple[int, int]: ...

    def __getitem__(self, key: slice) -> np.ndarray: ...


Values = Union[np.ndarray, Slices]


def aggregate(dimensions: Sequence[Codes], values: Values) -> Groups:
    """Groups the rows by the combined codes of `dimensions` (the first the
    most significant) and sums the columns of `values` (n rows × k) per
    group. `values` is read a chunk of rows at a time, and made whole only
    for sums too large for floating point."""
    n, k = values.shape
    space = 1
    for dim in dimensions:
        space *= dim.radix
    if space > 8 * n + 65536:
        return _ranked(dimensions, np.asarray(values), space)
    if space > _CHUNK:
        return _narrowed(dimensions, values, space)
    keys = np.empty(n, dtype=np.int64)
    counts = np.zeros(space, dtype=np.int64)
    floats: Optional[np.ndarray] = np.zeros((k, space))
    limit = _EXACT_FLOAT / max(n, 1)
    for start in range(0, n, _CHUNK):
        stop = min(n, start + _CHUNK)
        part = keys[start:stop]
        combined_keys(dimensions, start, stop, part)
        counts += np.bincount(part, minlength=space)
        if floats is not None:
            chunk = values[start:stop].astype(np.float64)
            if max(abs(chunk.max()), abs(chunk.min())) >= limit:
                floats = None  # too large for exact float sums: sum by sorting below
                continue
            columns = np.ascontiguousarray(chunk.T)
            for j in range(k):
                floats[j] += np.bincount(part, weights=columns[j], minlength=space)
    ids = np.flatnonzero(counts).astype(np.int64)
    digits = digits_of(ids, dimensions)
    if floats is not None:
        return Groups(digits, counts[ids], floats[:, ids].T.astype(np.int64))
    remap = np.zeros(space, dtype=np.int64)
    remap[ids] = np.arange(len(ids), dtype=np.int64)
    return Groups(digits, counts[ids], _sorted_sums(remap[keys], np.asarray(values)))


def _narrowed(dimensions: Sequence[Codes], values: Values, space: int) -> Groups:
    """`aggregate` for a key space larger than a chunk: counting over the
    whole space for every chunk would cost more than the rows, so the keys
    are made and counted first, then the rows are summed per group that
    holds rows."""
    n, k = values.shape
    keys = np.empty(n, dtype=np.int64)
    for start in range(0, n, _CHUNK):
        combined_keys(dimensions, start, min(n, start + _CHUNK), keys[start : start + _CHUNK])
    counts = np.bincount(keys, minlength=space)
    ids = np.flatnonzero(counts).astype(np.int64)
    remap = np.zeros(space, dtype=np.int64)
    remap[ids] = np.arange(len(ids), dtype=np.int64)
    group = remap[keys]
    digits = digits_of(ids, dimensions)
    floats = np.zeros((k, len(ids)))
    limit = _EXACT_FLOAT / max(n, 1)
    for start in range(0, n, _CHUNK):
        stop = min(n, start + _CHUNK)
        chunk = values[start:stop].astype(np.float64)
        if max(abs(chunk.max()), abs(chunk.min())) >= limit:
            # Too large for exact float sums: sum by sorting.
            return Groups(digits, counts[ids], _sorted_sums(group, np.asarray(values)))
        columns = np.ascontiguousarray(chunk.T)
        part = group[start:stop]
        for j in range(k):
            floats[j] += np.bincount(part, weights=columns[j], minlength=len(ids))
    return Groups(digits, counts[ids], floats.T.astype(np.int64))


def combined_keys(dimensions: Sequence[Codes], start: int, stop: int, out: np.ndarray) -> None:
    """The combined key of rows start..stop, into `out`."""
    out[:] = 0
    for dim in dimensions:
        if dim.radix > 1:
            out *= dim.radix
            np.add(out, dim.part(start, stop), out=out, casting="unsafe")


def _ranked(dimensions: Sequence[Codes], values: np.ndarray, space: int) -> Groups:
    """Grouping for a key space too large to count directly: the combined
    keys are ranked (as Python integers when 64 bits cannot hold them)."""
    n = len(values)
    wide = space > INT64_MAX
    combined: np.ndarray = np.zeros(n, dtype=object if wide else np.int64)
    for dim in dimensions:
        combined = combined * dim.radix + dim.part(0, n).astype(object if wide else np.int64)
    uniques, inverse = np.unique(combined, return_inverse=True)
    group = inverse.reshape(-1).astype(np.int64)
    counts = np.bincount(group, minlength=len(uniques))
    return Groups(digits_of(uniques, dimensions), counts, _sorted_sums(group, values))


def _sorted_sums(group: np.ndarray, values: np.ndarray) -> np.ndarray:
    """Exact per-group sums (groups numbered 0..G-1, each non-empty) by
    sorting the rows by group."""
    if len(values) == 0:
        return exact_sums(values, np.zeros(0, dtype=np.intp))
    order = np.argsort(group, kind="stable")
    ordered_groups = group[order]
    starts = np.flatnonzero(np.r_[True, ordered_groups[1:] != ordered_groups[:-1]])
    return exact_sums(values[order], starts)


def exact_sums(values: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Exact sums of the runs of rows of `values` (n × k) that begin at
    `starts` (ascending, the first 0): int64 when no sum can overflow it,
    else Python integers (an object array). No rows give no sums."""
    if len(values) == 0:
        return np.zeros((0,) + values.shape[1:], dtype=np.int64)
    if values.dtype != object:
        peak = max(abs(int(values.max())), abs(int(values.min())))
        values = values.astype(object if peak * len(values) > INT64_MAX else np.int64)
    out: np.ndarray = np.add.reduceat(values, starts, axis=0)
    return out


def digits_of(combined: np.ndarray, dimensions: Sequence[Codes]) -> Tuple[np.ndarray, ...]:
    """The code of each dimension in combined keys (the first dimension the
    most significant)."""
    out: List[np.ndarray] = []
    rest = combined
    for dim in reversed(dimensions):
        digit = rest % dim.radix  # operators work on Python-int (object) arrays too
        rest = rest // dim.radix
        out.append(np.asarray(digit).astype(np.int64))
    return tuple(reversed(out))
