"""The rows of one engine's selection, kept current from its deltas.

`RowStore.apply(report, buffer)` takes what `ledgerly._ledger.Engine.delta`
returned and brings the store to the engine's new generation; `view()`
hands out a `StoreView`, which never changes, for a snapshot.

How it is kept, so that a delta costs what it holds rather than what the
store holds:

- Columns (`ledgerly.columns`) with room to spare: added rows are written
  after the positions any view has seen, so views share the arrays. A
  column that needs a wider type, or more room, is copied once.
- Withdrawn rows stay where they are, as dead positions that views leave
  out, until they are a quarter of the store; then the columns are
  compacted (a copy of the live rows).
- Ids are not stored: the engine gives consecutive ids to the rows it
  adds, so a row's position is its id less the first id, less the ids
  compaction has removed before it (`gaps`).
- Model, project and file names are tables that only grow; each delta's
  own tables are mapped onto them (a few names, never a loop per row).
- The live rows of each file are counted, so the files that own rows are
  known without reading the rows.
- With `keep_recent`, the positions of rows from the last couple of days,
  so that a question about today or the current block reads those alone.
- With `aggregate(...)`, token sums per hour and key, kept from the
  deltas too (`ledgerly.aggregates`).

One refresh at a time writes the store (the ledger's lock); views may be
read from any thread meanwhile.
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from ledgerly.columns import FIELDS, LADDERS, Rows, width_for
from ledgerly.layout import view_delta

if TYPE_CHECKING:
    from ledgerly.aggregates import Aggregates, AggregateView
    from ledgerly.prices import PriceTable
    from ledgerly.saved.rows_file import SavedRows

HOUR_MS = 3_600_000
# The engine's generation of a state just loaded: its selection numbered in
# export order from 1, which is how a rows file holds it.
LOADED_GENERATION = 1
# The rows from two days before the clock to three days after it are kept
# at hand (`recent`); the window moves on when the clock comes within a
# day and two hours of either edge (a local day, however long, then fits).
RECENT_BEFORE = 48 * HOUR_MS
RECENT_AFTER = 72 * HOUR_MS
RECENT_MARGIN = 26 * HOUR_MS
# Dead positions are compacted away once they are this share of the store.
DEAD_SHARE = 4


class DeltaError(Exception):
    """A delta that does not fit what the store holds (an id it never gave
    out, ids out of sequence): the store is cleared, and the next delta
    must be a whole one."""


@dataclass(frozen=True)
class Recent:
    """The positions (ascending) of the rows from `since` to `until` (ms)."""

    since: int
    until: int
    positions: np.ndarray

    def covers(self, low: Optional[int], high: Optional[int]) -> bool:
        return low is not None and high is not None and self.since <= low and high <= self.until


@dataclass(frozen=True)
class StoreView:
    """The store at one generation: its columns (`length` positions, less
    `dead`), its name tables, the live rows per file, the recent rows and
    the aggregates when kept, and whether the live rows stand in export
    order."""

    generation: int
    columns: Mapping[str, np.ndarray]
    length: int
    dead: np.ndarray
    models: Tuple[str, ...]
    projects: Tuple[str, ...]
    files: Tuple[str, ...]
    file_rows: np.ndarray
    in_order: bool
    live: Rows  # the live rows
    recent: Optional[Recent] = None
    aggregates: Optional[AggregateView] = None

    def rows_between(self, low: Optional[int], high: Optional[int]) -> Optional[Rows]:
        """The live rows from `low` up to `high` (ms), read from the recent
        rows; None when those do not cover that range."""
        recent = self.recent
        if recent is None or not recent.covers(low, high):
            return None
        positions = recent.positions
        if len(self.dead):
            positions = positions[~np.isin(positions, self.dead, assume_unique=True)]
        ts = self.columns["timestamp"][positions]
        return Rows(self.columns, self.length).select(positions[(ts >= low) & (ts < high)])


class RowStore:
    def __init__(self, keep_recent: bool = False) -> None:
        self.generation = 0
        self._lock = threading.Lock()
        self._columns: Dict[str, np.ndarray] = {name: np.zeros(0, dtype=LADDERS[name][0]) for name in FIELDS}
        self._n = 0  # positions written
        self._first_id = 1  # the id at position 0 before any compaction
        self._next_id = 1
        self._gaps = np.zeros(0, dtype=np.int64)  # ids compacted away, ascending
        self._dead = np.zeros(0, dtype=np.int64)  # dead positions, ascending
        self._in_order = True
        self._models: List[str] = []
        self._model_index: Dict[str, int] = {}
        self._projects: List[str] = []
        self._project_index: Dict[str, int] = {}
        self._files: List[str] = []
        self._file_index: Dict[str, int] = {}
        self._tables: Tuple[Tuple[str, ...], Tuple[str, ...], Tuple[str, ...]] = ((), (), ())
        self._file_rows = np.zeros(0, dtype=np.int64)
        self._keep_recent = keep_recent
        self._recent: Optional[Recent] = None
        self._aggregates: Optional[Aggregates] = None

    # -- names

    @staticmethod
    def _intern(names: Sequence[str], table: List[str], index: Dict[str, int]) -> np.ndarray:
        out = np.empty(len(names), dtype=np.int64)
        for i, name in enumerate(names):
            found = index.get(name)
            if found is None:
                found = index[name] = len(table)
                table.append(name)
            out[i] = found
        return out

    # -- positions of ids

    def _positions(self, ids: np.ndarray) -> np.ndarray:
        ids = ids.astype(np.int64)
        if len(ids) and (int(ids.min()) < self._first_id or int(ids.max()) >= self._next_id):
            raise DeltaError("the delta withdraws rows this store never held")
        before = np.searchsorted(self._gaps, ids) if len(self._gaps) else 0
        positions = ids - self._first_id - before
        if len(self._gaps) and np.any(self._gaps[np.minimum(before, len(self._gaps) - 1)] == ids):
            raise DeltaError("the delta withdraws a row already withdrawn")
        if len(self._dead) and np.any(np.isin(positions, self._dead)):
            raise DeltaError("the delta withdraws a row already withdrawn")
        return positions

    def _ids_of(self, positions: np.ndarray) -> np.ndarray:
        """The ids of some positions (the inverse of `_positions`)."""
        if not len(self._gaps):
            return positions + self._first_id
        # The j-th gap (ascending) would have stood at position gap - first - j.
        stood = self._gaps - self._first_id - np.arange(len(self._gaps), dtype=np.int64)
        return positions + self._first_id + np.searchsorted(stood, positions, side="right")

    # -- applying deltas

    def apply(self, report: Mapping[str, Any], buffer: bytes) -> bool:
        """Applies one delta (the engine's report text, decoded, and its
        buffer). Returns whether the rows changed. Raises DeltaError when
        the delta does not fit (the store is then empty, at generation 0)."""
        withdrawn, added = view_delta(buffer, int(report["added"]), int(report["withdrawn"]))
        with self._lock:
            try:
                changed = self._apply(report, withdrawn, added)
            except DeltaError:
                self._clear()
                raise
            self.generation = int(report["generation"])
            if changed and len(self) != int(report["rows"]):
                self._clear()
                raise DeltaError("the store holds %d rows where the engine counts %d" % (len(self), report["rows"]))
        return changed

    def __len__(self) -> int:
        return self._n - len(self._dead)

    def _clear(self) -> None:
        """Back to holding nothing (the tables and the sums too)."""
        self.generation = 0
        self._columns = {name: np.zeros(0, dtype=LADDERS[name][0]) for name in FIELDS}
        self._n = 0
        self._first_id = self._next_id = 1
        self._gaps = np.zeros(0, dtype=np.int64)
        self._dead = np.zeros(0, dtype=np.int64)
        self._in_order = True
        self._models, self._model_index = [], {}
        self._projects, self._project_index = [], {}
        self._files, self._file_index = [], {}
        self._tables = ((), (), ())  # names only grow until a clear: lengths tell them apart
        self._file_rows = np.zeros(0, dtype=np.int64)
        self._recent = None
        if self._aggregates is not None:
            self._aggregates = self._aggregates.empty()

    def _apply(self, report: Mapping[str, Any], withdrawn: np.ndarray, added: Mapping[str, np.ndarray]) -> bool:
        if report["reset"]:
            self._clear()
            self._in_order = True
        n_added = len(added["id"])
        if not len(withdrawn) and not n_added:
            return bool(report["reset"])
        if len(withdrawn):
            positions = self._positions(withdrawn)
            if self._aggregates is not None:
                self._aggregates.withdraw(self._slice(positions), self._tables_now()[0])
            self._file_rows = self._file_rows.copy()  # a view keeps the old counts
            np.subtract.at(self._file_rows, self._columns["file"][positions].astype(np.intp), 1)
            self._dead = np.union1d(self._dead, positions)
        if n_added:
            ids = added["id"].astype(np.int64)
            if report["reset"]:
                self._first_id = self._next_id = int(ids[0]) if n_added else 1
            if ids[0] != self._next_id or (n_added > 1 and np.any(np.diff(ids) != 1)):
                raise DeltaError("the delta's ids do not follow the store's")
            self._next_id = int(ids[-1]) + 1
            self._append(report, added)
        if len(self._dead) * DEAD_SHARE > max(self._n, 1 << 16):
            self._compact()
        return True

    def _slice(self, positions: np.ndarray) -> Rows:
        return Rows({name: column[positions] for name, column in self._columns.items()}, len(positions))

    def _append(self, report: Mapping[str, Any], added: Mapping[str, np.ndarray]) -> None:
        from ledgerly.sources import project_label

        k = len(added["id"])
        models = self._intern(report["models"], self._models, self._model_index)
        projects = self._intern([project_label(p) for p in report["projects"]], self._projects, self._project_index)
        files = self._intern(report["files"], self._files, self._file_index)
        if len(self._files) > len(self._file_rows):
            grown = np.zeros(len(self._files), dtype=np.int64)
            grown[: len(self._file_rows)] = self._file_rows
            self._file_rows = grown
        else:
            self._file_rows = self._file_rows.copy()  # a view keeps the old counts
        values: Dict[str, np.ndarray] = {
            "model": models[added["model"]],
            "project": projects[added["project"]],
            "file": files[added["file"]],
            "place": files[added["place"]],
        }
        for name in FIELDS:
            if name not in values:
                values[name] = added[name]
        np.add.at(self._file_rows, values["file"], 1)
        # Rows added after others stand in export order only when they come
        # after them there; a reset's rows come in export order.
        if self._n and k:
            self._in_order = False
        start = self._n
        self._reserve(start + k, values)
        for name, column in self._columns.items():
            column[start : start + k] = values[name]
        self._n = start + k
        batch = Rows({name: values[name] for name in FIELDS}, k)
        if self._aggregates is not None:
            self._aggregates.add(batch, self._tables_now()[0])
        if self._keep_recent:
            self._note_recent(start, values["timestamp"])

    def _reserve(self, size: int, values: Mapping[str, np.ndarray]) -> None:
        """Room for `size` positions, in widths that hold `values` too."""
        for name, column in self._columns.items():
            incoming = values[name]
            dtype = column.dtype
            if len(incoming):
                dtype = width_for(name, int(incoming.min()), int(incoming.max()), dtype)
            if dtype == column.dtype and size <= len(column):
                continue
            capacity = len(column) if size <= len(column) else max(size, len(column) * 3 // 2, 1024)
            grown = np.zeros(capacity, dtype=dtype)
            grown[: self._n] = column[: self._n]
            self._columns[name] = grown

    def _note_recent(self, start: int, timestamps: np.ndarray) -> None:
        """Notes the rows from position `start` on (their `timestamps`)
        among the recent ones; moves the window, reading every row once,
        when the clock nears one of its edges (see RECENT_BEFORE)."""
        now = int(time.time() * 1000)
        recent = self._recent
        if recent is None or now - RECENT_MARGIN < recent.since or now + RECENT_MARGIN > recent.until:
            since, until = now - RECENT_BEFORE, now + RECENT_AFTER
            ts = self._columns["timestamp"][: self._n]
            self._recent = Recent(since, until, np.flatnonzero((ts >= since) & (ts < until)))
            return
        fresh = start + np.flatnonzero((timestamps >= recent.since) & (timestamps < recent.until))
        if len(fresh):
            self._recent = Recent(recent.since, recent.until, np.concatenate([recent.positions, fresh]))

    def _compact(self) -> None:
        keep = np.ones(self._n, dtype=bool)
        keep[self._dead] = False
        gone = self._ids_of(self._dead)
        columns = {}
        for name, column in self._columns.items():
            live = column[: self._n][keep]
            grown = np.zeros(max(len(live) * 5 // 4, 1024), dtype=column.dtype)
            grown[: len(live)] = live
            columns[name] = grown
        self._columns = columns
        self._gaps = np.union1d(self._gaps, gone)
        self._n = int(keep.sum())
        self._dead = np.zeros(0, dtype=np.int64)
        if self._recent is not None:
            ts = self._columns["timestamp"][: self._n]
            since, until = self._recent.since, self._recent.until
            self._recent = Recent(since, until, np.flatnonzero((ts >= since) & (ts < until)))

    # -- what else is kept

    def keep(self, prices: Optional[PriceTable], recent: bool) -> None:
        """Keeps token sums per hour and key from now on (for reports
        priced by `prices`) and, with `recent`, the recent rows at hand,
        starting from the rows held."""
        from ledgerly.aggregates import Aggregates

        with self._lock:
            aggregates = Aggregates(prices)
            if self._n:
                aggregates.add(Rows(self._columns, self._n, self._dead), self._tables_now()[0])
            self._aggregates = aggregates
            self._keep_recent = recent
            self._recent = None
            if recent and self._n:
                self._note_recent(self._n, self._columns["timestamp"][:0])

    def clear(self) -> None:
        """Holds nothing any more, at generation 0."""
        with self._lock:
            self._clear()

    def load(self, saved: SavedRows) -> None:
        """Holds the rows of a rows file (a saved state's selection, in
        export order): what a state just loaded holds, at its generation."""
        from ledgerly.sources import project_label

        with self._lock:
            self._clear()
            rows = saved.rows
            self._columns = {name: rows.column(name) for name in FIELDS}
            self._n = len(rows)
            self._first_id, self._next_id = 1, len(rows) + 1
            self._intern(list(saved.models), self._models, self._model_index)
            self._intern([project_label(p) for p in saved.projects], self._projects, self._project_index)
            self._intern(list(saved.files), self._files, self._file_index)
            self._file_rows = np.bincount(rows.column("file"), minlength=len(self._files)).astype(np.int64)
            self.generation = LOADED_GENERATION
            if self._aggregates is not None and self._n:
                self._aggregates.add(rows, self._tables_now()[0])
            if self._keep_recent and self._n:
                self._note_recent(self._n, self._columns["timestamp"][:0])

    # -- views

    def _tables_now(self) -> Tuple[Tuple[str, ...], Tuple[str, ...], Tuple[str, ...]]:
        models, projects, files = self._tables
        if len(models) != len(self._models) or len(projects) != len(self._projects) or len(files) != len(self._files):
            self._tables = (tuple(self._models), tuple(self._projects), tuple(self._files))
        return self._tables

    def view(self) -> StoreView:
        with self._lock:
            models, projects, files = self._tables_now()
            columns = {name: column[: self._n] for name, column in self._columns.items()}
            for column in columns.values():
                column.flags.writeable = False
            return StoreView(
                self.generation,
                columns,
                self._n,
                self._dead,
                models,
                projects,
                files,
                self._file_rows,
                self._in_order,
                Rows(columns, self._n, self._dead),
                self._recent,
                self._aggregates.view() if self._aggregates is not None else None,
            )
