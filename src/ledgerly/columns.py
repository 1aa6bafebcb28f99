"""Rows as compact columns: one array per field, each as narrow as its values.

`Rows` holds counted events the way every row-level computation reads
them: by field name (`rows["timestamp"]`, `rows["input"]`, the names of
`ledgerly.layout.RECORD_WORDS`), selected with a mask, an index array or a
slice (`rows[mask]`, a new `Rows`), counted with `len(rows)`. Besides the
record's fields it carries where each row came from and where it stands:

- `file`: the row's log file, an index into a file table kept beside it;
- `place`, `seq`: the file and the row index within it that the row stands
  at in the engine's export order (a response logged in several files is
  counted once, from the copy that won, at the place of its first copy).

Each column takes the narrowest of a few widths that holds all its values
(`LADDERS`): the indexes and codes a byte or two, the token counts 16 or 32
bits until a count needs 64. On the scale corpus a row takes about 35 bytes
instead of the 108 of an attributed record. Reading a token column or the
timestamps gives int64 values (a view when stored so, a widened copy
otherwise), so that sums and comparisons never wrap; the indexes and codes
come as stored (callers index with them).

A `Rows` may stand for its columns less some positions (`dead`, kept by a
`ledgerly.rowstore.RowStore` between compactions), or for some of them
(a selection): each column of those rows is made on first read and kept,
so that a snapshot that is never read row by row never pays for it, and a
selection pays for the columns read.
"""

from __future__ import annotations

import threading
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union, overload

import numpy as np

from ledgerly.layout import RECORD_DTYPE, RECORD_WORDS, TOKEN_FIELDS

# The widths each column may take, narrowest first.
_INDEX = ("u1", "<u2", "<u4", "<u8")
_COUNT = ("<u2", "<u4", "<i8")
LADDERS: Dict[str, Tuple[str, ...]] = {
    "timestamp": ("<i8",),
    "model": _INDEX,
    "project": _INDEX,
    "kind": _INDEX,
    "subagent": _INDEX,
    "tier": _INDEX,
    **dict.fromkeys(TOKEN_FIELDS, _COUNT),
    "file": _INDEX[1:],
    "place": _INDEX[1:],
    "seq": _INDEX[1:],
}
EXTRA_FIELDS = ("file", "place", "seq")
FIELDS = RECORD_WORDS + EXTRA_FIELDS
_WIDE = frozenset(("timestamp",) + TOKEN_FIELDS)  # read as int64

Key = Union[str, np.ndarray, slice, Sequence[int]]


def width_for(name: str, low: int, high: int, at_least: Optional[np.dtype] = None) -> np.dtype:
    """The narrowest width of column `name` that holds values from `low` to
    `high` and is at least as wide as `at_least`. Raises ValueError for
    values that no width of the column holds."""
    ladder = LADDERS[name]
    start = 0 if at_least is None else next(i for i, d in enumerate(ladder) if np.dtype(d) == at_least)
    for kind in ladder[start:]:
        dtype = np.dtype(kind)
        info = np.iinfo(dtype)
        if info.min <= low and high <= info.max:
            return dtype
    raise ValueError("column %s cannot hold values from %d to %d" % (name, low, high))


def narrowest(name: str, values: np.ndarray) -> np.ndarray:
    """`values` as column `name` in its narrowest width."""
    if not len(values):
        return np.zeros(0, dtype=LADDERS[name][0])
    dtype = width_for(name, int(values.min()), int(values.max()))
    return values.astype(dtype, copy=False)


class Rows:
    """Counted events as columns (see the module's text). Never changes:
    its arrays are read-only and no one writes the positions they view.

    A selection (`rows[mask]`) keeps the columns it was picked from and
    which positions it holds; each column is made on first read, so a
    selection costs the columns that are read, not all of them."""

    def __init__(
        self,
        columns: Mapping[str, np.ndarray],
        length: int,
        dead: Optional[np.ndarray] = None,
        pick: Optional[np.ndarray] = None,
    ) -> None:
        # `pick` (a mask of `length` or ascending positions below it) or
        # `dead` (ascending positions to leave out) choose the rows.
        self._columns = dict(columns)
        self._length = length
        self._dead = dead if dead is not None and len(dead) else None
        self._pick = pick
        self._made: Dict[str, np.ndarray] = {}
        self._count: Optional[int] = None
        self._lock = threading.Lock()

    # -- making rows

    @staticmethod
    def from_records(records: np.ndarray, file_index: Optional[np.ndarray] = None) -> Rows:
        """Rows from records of `RECORD_DTYPE` (copied into columns), in
        the order given, which is taken as the export order; `file_index`
        (one per record) gives the `file` column (0 throughout when None)."""
        n = len(records)
        columns = {name: narrowest(name, np.asarray(records[name])) for name in RECORD_WORDS}
        files = np.zeros(n, dtype=np.int64) if file_index is None else np.asarray(file_index)
        columns["file"] = narrowest("file", files)
        columns["place"] = np.zeros(n, dtype=LADDERS["place"][0])  # one place holds them all, in order
        columns["seq"] = narrowest("seq", np.arange(n, dtype=np.int64))
        return Rows(columns, n)

    @staticmethod
    def empty() -> Rows:
        return Rows({name: np.zeros(0, dtype=LADDERS[name][0]) for name in FIELDS}, 0)

    # -- which rows

    def _chosen(self) -> Optional[np.ndarray]:
        """The mask or the positions of the rows held; None: all `length`."""
        if self._pick is None and self._dead is not None:
            with self._lock:
                if self._pick is None and self._dead is not None:
                    keep = np.ones(self._length, dtype=bool)
                    keep[self._dead] = False
                    self._pick = keep
        return self._pick

    def __len__(self) -> int:
        if self._count is None:
            if self._pick is None and self._dead is None:
                self._count = self._length
            elif self._pick is None:
                assert self._dead is not None
                self._count = self._length - len(self._dead)
            else:
                pick = self._pick
                self._count = int(np.count_nonzero(pick)) if pick.dtype == bool else len(pick)
        return self._count

    def _positions(self) -> Optional[np.ndarray]:
        chosen = self._chosen()
        if chosen is not None and chosen.dtype == bool:
            return np.flatnonzero(chosen)
        return chosen

    # -- reading rows

    def column(self, name: str, keep: bool = True) -> np.ndarray:
        """The stored column `name` of the rows held (its own width); made
        once and kept, unless `keep` is false (a caller that reads each
        column once, and would otherwise leave a copy of them all)."""
        base = self._columns[name]
        chosen = self._chosen()
        if chosen is None:
            return base if len(base) == self._length else base[: self._length]
        made = self._made.get(name)
        if made is None:
            made = base[: self._length][chosen]
            made.flags.writeable = False
            if keep:
                self._made[name] = made
        return made

    def width(self, name: str) -> np.dtype:
        """The type column `name` is stored in."""
        return self._columns[name].dtype

    @overload
    def __getitem__(self, key: str) -> np.ndarray: ...
    @overload
    def __getitem__(self, key: Union[np.ndarray, slice, Sequence[int]]) -> Rows: ...
    def __getitem__(self, key: Key) -> Union[np.ndarray, Rows]:
        """A field by name (see `field`), or the rows a mask, an index array
        or a slice picks (see `select`)."""
        if isinstance(key, str):
            return self.field(key)
        return self.select(key)

    def field(self, name: str) -> np.ndarray:
        """Column `name` as read: the timestamps and token counts as int64."""
        column = self.column(name)
        if name in _WIDE and column.dtype != np.int64:
            return column.astype(np.int64)
        return column

    def select(self, key: Union[np.ndarray, slice, Sequence[int]]) -> Rows:
        """The rows that a mask, an index array or a slice picks."""
        positions = self._positions()
        if isinstance(key, slice):
            if positions is None:
                start, stop, step = key.indices(self._length)
                if step == 1:  # a slice of whole columns is a view
                    columns = {name: c[start:stop] for name, c in self._columns.items()}
                    return Rows(columns, max(0, stop - start))
                return Rows(self._columns, self._length, pick=np.arange(start, stop, step))
            return Rows(self._columns, self._length, pick=positions[key])
        index = np.asarray(key)
        if positions is None:
            if index.dtype == bool and len(index) != self._length:
                raise IndexError("a mask of %d rows for %d rows" % (len(index), self._length))
            return Rows(self._columns, self._length, pick=index)
        return Rows(self._columns, self._length, pick=positions[index])

    @property
    def fields(self) -> Tuple[str, ...]:
        return FIELDS

    def tokens(self, start: int = 0, stop: Optional[int] = None) -> np.ndarray:
        """The seven token counts of rows start..stop, (n, 7) int64."""
        n = len(self)
        stop = n if stop is None else min(stop, n)
        out = np.empty((max(0, stop - start), len(TOKEN_FIELDS)), dtype=np.int64)
        for j, name in enumerate(TOKEN_FIELDS):
            out[:, j] = self.column(name)[start:stop]
        return out

    def token_matrix(self) -> TokenMatrix:
        """The token counts as a (n, 7) matrix read a slice at a time."""
        return TokenMatrix(self)

    def records(self) -> np.ndarray:
        """The rows as records of `RECORD_DTYPE` (a copy)."""
        out = np.zeros(len(self), dtype=RECORD_DTYPE)
        for name in RECORD_WORDS:
            out[name] = self.column(name)
        return out

    def tolist(self) -> List[Tuple[int, ...]]:
        """The rows as tuples of the record's words."""
        out: List[Tuple[int, ...]] = self.records().tolist()
        return out

    @property
    def nbytes(self) -> int:
        return sum(self.column(name).nbytes for name in FIELDS)

    def __iter__(self) -> Iterator[Tuple[int, ...]]:
        return iter(self.tolist())


class TokenMatrix:
    """The (n, 7) int64 token counts of some rows, made a slice at a time
    (what `ledgerly.grouping.aggregate` reads), or whole on demand."""

    def __init__(self, rows: Rows) -> None:
        self.rows = rows
        self.shape = (len(rows), len(TOKEN_FIELDS))

    def __len__(self) -> int:
        return self.shape[0]

    def __getitem__(self, key: slice) -> np.ndarray:
        start, stop, step = key.indices(self.shape[0])
        if step != 1:
            return self.whole()[key]
        return self.rows.tokens(start, stop)

    def whole(self) -> np.ndarray:
        return self.rows.tokens()

    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> np.ndarray:
        whole = self.whole()
        return whole if dtype is None else whole.astype(dtype)
