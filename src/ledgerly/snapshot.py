"""The accounted state after one refresh: `Snapshot`, an immutable value.

A leaf of the library: it imports nothing of the package at run time but
for the few methods that work on rows, so that every module that reads
snapshots (reports, sessions, blocks, limits, the saved rows) can name the
type without importing the ledger that makes them.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from functools import cached_property
from typing import TYPE_CHECKING, Any, Mapping, Optional, Tuple

if TYPE_CHECKING:
    import numpy as np

    from ledgerly.columns import Rows
    from ledgerly.listing import Listing
    from ledgerly.rowstore import StoreView


@dataclass(frozen=True)
class Snapshot:
    """The accounted state after one refresh.

    - `rows`: every counted event (`ledgerly.columns.Rows`: compact
      columns read by field name, `rows["output"]`, and selected with a
      mask, `rows[mask]`); `len(snapshot)` is their number;
    - `models`, `projects`: the names that the rows' `model` and `project`
      fields index (project labels as `sources.project_label` writes them,
      so two indexes may hold one name: grouping takes them as one);
    - `scan`: the engine's statistics of this refresh (read-only mapping);
    - `errors`: what could not be read in this refresh: files the engine
      could not read and folders or files the listing could not open;
    - `changed`: the accounted state changed in this refresh (always true
      for a ledger's first refresh); when false, `rows` is the previous
      snapshot's;
    - `refreshed_at`: when the refresh finished (Unix seconds);
    - `listing`: the files this refresh was given, and those skipped;
    - `file_names`: the table the rows' `file` field indexes (it may name
      files that own no row any more); None for a snapshot made without
      the engine;
    - `in_order`: the rows stand in the engine's export order (file by
      file, as a full export lists them); otherwise `export_order()`
      sorts them so;
    - `store`: what a ledger that keeps its rows between refreshes knows
      besides them (the recent rows, the aggregates), or None.

    Derived on first use: `files` (the paths of the log files that own at
    least one row, sorted) and `file_index` (one uint32 per row indexing
    `files`: the log the row came from, the file of the copy that was
    counted when a response was logged more than once; None without the
    engine). Snapshots never change, so one thread may refresh while others
    read the snapshots they hold.
    """

    rows: Rows
    models: Tuple[str, ...]
    projects: Tuple[str, ...]
    scan: Mapping[str, Any]
    errors: Tuple[str, ...]
    changed: bool
    refreshed_at: float
    listing: Listing
    file_names: Optional[Tuple[str, ...]] = None
    in_order: bool = True
    store: Optional[StoreView] = field(default=None, compare=False, repr=False)

    def __len__(self) -> int:
        return len(self.rows)

    @cached_property
    def _files(self) -> Tuple[Tuple[str, ...], Optional[np.ndarray]]:
        """The files that own rows (by path), and the position among them of
        each entry of `file_names` (rows' `file` values index it)."""
        names = self.file_names
        if names is None:
            return (), None
        import numpy as np

        if self.store is not None and self.store.files == names and self.rows is self.store.live:
            counts = self.store.file_rows  # kept by the store: no need to read the rows
        else:
            counts = np.bincount(self.rows.column("file"), minlength=len(names))
        used = np.flatnonzero(counts[: len(names)])
        order = sorted(used.tolist(), key=lambda i: names[i])
        rank = np.zeros(max(len(names), 1), dtype=np.uint32)
        rank[np.array(order, dtype=np.intp)] = np.arange(len(order), dtype=np.uint32)
        rank.flags.writeable = False
        return tuple(names[i] for i in order), rank

    @property
    def files(self) -> Tuple[str, ...]:
        return self._files[0]

    @property
    def file_rank(self) -> Optional[np.ndarray]:
        """The position in `files` of each entry of `file_names` (0 for a
        file that owns no row)."""
        return self._files[1]

    @cached_property
    def file_index(self) -> Optional[np.ndarray]:
        rank = self.file_rank
        if rank is None:
            return None
        index: np.ndarray = rank[self.rows.column("file")]
        index.flags.writeable = False
        return index

    def between(self, low: int, high: int) -> Snapshot:
        """This snapshot with only the rows from `low` up to `high` (Unix
        ms): read from the recent rows a live ledger keeps when they cover
        that range, else picked from all rows."""
        rows = self.store.rows_between(low, high) if self.store is not None else None
        if rows is None:
            ts = self.rows["timestamp"]
            rows = self.rows[(ts >= low) & (ts < high)]
        return replace(self, rows=rows, store=None)

    def export_order(self, rows: Optional[Rows] = None) -> np.ndarray:
        """The permutation that puts `rows` (default: all rows; or rows
        picked from them, in the order they stand) in the engine's export
        order."""
        import numpy as np

        rows = self.rows if rows is None else rows
        names = self.file_names
        if self.in_order or not len(rows) or names is None:
            return np.arange(len(rows))
        rank = np.zeros(max(len(names), 1), dtype=np.int64)
        by_path = sorted(range(len(names)), key=lambda i: names[i])
        rank[np.array(by_path, dtype=np.intp)] = np.arange(len(by_path), dtype=np.int64)
        key = (rank[rows.column("place", False)] << 32) | rows.column("seq", False).astype(np.int64)
        order: np.ndarray = np.argsort(key, kind="stable")
        return order
