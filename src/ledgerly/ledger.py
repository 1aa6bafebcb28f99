"""The ledger: one engine over a set of sources, refreshed on demand.

    ledger = Ledger(resolve_sources())
    snapshot = ledger.refresh()          # lists the files, reads what changed
    snapshot.rows["output"].sum()

Each `refresh` lists the sources again, hands the manifest to the engine
and returns a `Snapshot` holding the complete current rows. The engine
returns rows only when the accounted state changed; otherwise the ledger
hands out the previous rows again, so a snapshot is always complete.

Thread safety: `refresh` may be called from any thread; calls on one ledger
run one at a time (a lock). Snapshots are immutable (their rows are a
read-only view on the engine's bytes), so other threads may read a snapshot
while the next refresh runs; a live view refreshes from one thread and
serves the latest snapshot to others.
"""

from __future__ import annotations

import json
import os
import threading
import time
from dataclasses import dataclass
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence, Tuple, Union

# The engine face whose export also names the log file of every record
# (ledgerly._native, the face `ledgerly.Engine`, exports the records alone).
from ledgerly._ledger import Engine as AttributingEngine
from ledgerly.codes import MAX_WORKERS
from ledgerly.sources import Listing, SniffCache, Source, list_files, project_label

if TYPE_CHECKING:
    import numpy as np


def default_workers() -> int:
    return max(1, min(MAX_WORKERS, os.cpu_count() or 1))


@dataclass(frozen=True)
class Snapshot:
    """The accounted state after one refresh.

    - `rows`: every counted event, a read-only structured array of
      `ledgerly.layout.RECORD_DTYPE` viewed on `buffer` (no copy);
      `buffer` holds the records and then the file indexes;
    - `models`, `projects`: the names that the rows' `model` and `project`
      words index (project labels as `sources.project_label` writes them,
      so two indexes may hold one name: grouping takes them as one);
    - `scan`: the engine's statistics of this refresh (read-only mapping);
    - `errors`: what could not be read in this refresh: files the engine
      could not read and folders or files the listing could not open;
    - `changed`: the accounted state changed in this refresh (always true
      for a ledger's first refresh); when false, `rows` is the previous
      snapshot's array;
    - `refreshed_at`: when the refresh finished (Unix seconds);
    - `listing`: the files this refresh was given, and those skipped;
    - `files`: the paths of the log files that own at least one row;
    - `file_index`: the file of each row, a read-only uint32 array
      (`files[file_index[i]]` is the log that row i came from: the file of
      the copy that was counted, when a response was logged more than
      once), viewed on `buffer` after the records; None for a snapshot made
      without the engine.
    """

    rows: np.ndarray
    buffer: bytes
    models: Tuple[str, ...]
    projects: Tuple[str, ...]
    scan: Mapping[str, Any]
    errors: Tuple[str, ...]
    changed: bool
    refreshed_at: float
    listing: Listing
    files: Tuple[str, ...] = ()
    file_index: Optional[np.ndarray] = None

    def __len__(self) -> int:
        return len(self.rows)


class Ledger:
    """Owns one engine (`ledgerly._ledger.Engine`) and the sources it reads.

    `sources` are `Source` objects or paths (a path is a source whose
    dialect is recognised per file). `workers` is the number of reader
    threads (default: one per CPU, at most 32)."""

    def __init__(self, sources: Sequence[Union[Source, str, os.PathLike[str]]], workers: Optional[int] = None) -> None:
        self.sources: Tuple[Source, ...] = tuple(
            s if isinstance(s, Source) else Source(os.path.abspath(os.path.expanduser(os.fspath(s)))) for s in sources
        )
        if workers is not None and workers < 1:
            raise ValueError("workers must be at least 1")
        self.workers = min(workers, MAX_WORKERS) if workers else default_workers()
        self._engine = AttributingEngine()
        self._sniffs = SniffCache()
        self._lock = threading.Lock()
        self._last: Optional[Snapshot] = None

    @property
    def last(self) -> Optional[Snapshot]:
        """The snapshot of the latest refresh, or None before the first."""
        return self._last

    def list_files(self) -> Listing:
        """Lists the sources now (what the next refresh would read)."""
        with self._lock:
            return list_files(self.sources, self._sniffs)

    def refresh(self, force: bool = False, listing: Optional[Listing] = None) -> Snapshot:
        """Reads what changed and returns the current snapshot.

        `listing` lets a caller that already listed the sources (to size a
        progress bar, say) pass that listing in; by default the sources are
        listed afresh. `force` makes the engine rebuild its export even when
        nothing changed (the rows are then a new buffer with equal content).
        A broken engine invariant raises `ledgerly.PanicException`; read
        problems never raise, they are in `Snapshot.errors`."""
        with self._lock:
            if listing is None:
                listing = list_files(self.sources, self._sniffs)
            text, buffer = self._engine.refresh(listing.manifest(), self.workers, force)
            report = json.loads(text)
            scan = report["scan"]
            last = self._last
            file_index: Optional[np.ndarray]
            if buffer is not None:
                from ledgerly.layout import view_attributed

                rows, file_index = view_attributed(buffer, report["rows"])
                models, projects = tuple(report["models"]), tuple(project_label(p) for p in report["projects"])
                files = tuple(report["files"])
            elif last is not None:
                rows, buffer, models, projects = last.rows, last.buffer, last.models, last.projects
                files, file_index = last.files, last.file_index
            else:  # pragma: no cover - the engine always exports on its first refresh
                raise RuntimeError("the engine returned no rows on its first refresh")
            snapshot = Snapshot(
                rows=rows,
                buffer=buffer,
                models=models,
                projects=projects,
                scan=MappingProxyType(scan),
                errors=tuple(listing.errors) + tuple(scan["errors"]),
                changed=bool(scan["updated"]),
                refreshed_at=time.time(),
                listing=listing,
                files=files,
                file_index=file_index,
            )
            self._last = snapshot
            return snapshot
