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

A ledger given a state file (`state`, see ledgerly.cache) starts from the
state saved there: its first listing or refresh loads it (the engine on
another thread while the listing runs), its first refresh hands that
thread the listing's manifest and takes the export it makes (the rows of
the loaded state together with what changed since), and `save` writes
the state back when it changed. A file that cannot be used is
left for the next save to replace, and the ledger reads cold; the reason
is in `refused`. The answers are the same either way.
"""

from __future__ import annotations

import contextlib
import json
import os
import threading
import time
from dataclasses import dataclass
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, List, Mapping, Optional, Sequence, Tuple, Union

# The engine face whose export also names the log file of every record
# (ledgerly._native, the face `ledgerly.Engine`, exports the records alone).
from ledgerly._ledger import Engine as AttributingEngine
from ledgerly.codes import MAX_WORKERS, REDO_PER_FILE
from ledgerly.listing import Listing
from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source, project_label
from ledgerly.walk import list_files

if TYPE_CHECKING:
    import numpy as np

    from ledgerly.cache import Restore
    from ledgerly.rows_file import SavedRows


def default_workers() -> int:
    return max(1, min(MAX_WORKERS, os.cpu_count() or 1))


@dataclass(frozen=True)
class Snapshot:
    """The accounted state after one refresh.

    - `rows`: every counted event, a read-only structured array of
      `ledgerly.layout.RECORD_DTYPE` viewed on `buffer` (no copy);
      `buffer` holds the records and then the file indexes (the engine's
      bytes, or a read-only view of a rows file mapped into memory);
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
    buffer: Union[bytes, memoryview]
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
    threads (default: one per CPU, at most 32). `state` is the file to
    start from and save to (`ledgerly.cache.state_path(sources)` is the
    command line's), or None to keep nothing between processes."""

    def __init__(
        self,
        sources: Sequence[Union[Source, str, os.PathLike[str]]],
        workers: Optional[int] = None,
        state: Optional[str] = None,
    ) -> None:
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
        self.state = state
        # Why the saved state was not used (None when it was, or when there was none).
        self.refused: Optional[str] = None
        self._restore: Optional[Restore] = None
        self._restored = state is None  # nothing (more) to restore
        self._unsaved = False  # the engine's state changed since it was loaded or saved
        self._sniffed = 0  # files whose dialect was recognised by then
        self._saved_bytes = 0  # the size of the state file loaded or saved (0: none)
        self._saved_at = 0.0  # and when it was written
        self._manifest = ""  # the manifest of the engine's last refresh
        self._redo = 0  # bytes read and files removed since then (see cache.worth_saving)
        self._from_rows = False  # the latest snapshot came from the rows file, not the engine
        # The identity of the state file loaded, while the rows file beside it
        # is to be written again (see save); None otherwise.
        self._rows_owed: Optional[List[int]] = None
        self._loaded_identity: Optional[List[int]] = None

    @property
    def sniffs(self) -> SniffCache:
        """The dialects recognised so far (restored from the saved state)."""
        return self._sniffs

    def restore(self) -> None:
        """Starts loading the saved state, if there is one and it has not
        been loaded yet: the dialects at once, the engine on a thread that
        the next refresh waits for. The first listing or refresh does it;
        a caller that lists the sources by itself (a live view) calls it
        first."""
        with self._lock:
            self._start_restore()

    def _start_restore(self) -> None:
        if self._restored or self._restore is not None:
            return
        from ledgerly.cache import Restore

        assert self.state is not None
        self._restore = Restore(self.state, self.sources, AttributingEngine, self._sniffs, self.workers)

    def _finish_restore(self, manifest: str) -> Optional[Tuple[str, Optional[bytes]]]:
        """Ends the restore, if one runs: the loaded engine's refresh with
        `manifest` (made on the restore's thread), or None."""
        restore = self._restore
        if restore is None:
            return None
        self._restore = None
        self._restored = True
        try:
            engine = restore.finish(manifest)
        finally:
            self.refused = restore.refused
        if engine is None:
            self._unsaved = True  # whatever is there (nothing, or a refused file) is to be replaced
            return None
        self._engine = engine
        self._saved_bytes, self._saved_at = restore.bytes, restore.saved_at
        self._loaded_identity = restore.identity
        return restore.result

    def _adopt_saved_rows(self, saved: SavedRows, listing: Listing, manifest: str) -> Snapshot:
        """The first snapshot, from the rows file of a state whose logs have
        not changed since (the restore goes on: a later refresh or a save
        ends it and takes its engine)."""
        self._manifest = manifest
        snapshot = Snapshot(
            rows=saved.rows,
            buffer=saved.buffer,
            models=saved.models,
            projects=saved.projects,
            scan=MappingProxyType(dict(saved.scan)),
            errors=tuple(listing.errors),
            changed=True,
            refreshed_at=time.time(),
            listing=listing,
            files=saved.files,
            file_index=saved.file_index,
        )
        self._last = snapshot
        self._from_rows = True
        assert self._restore is not None
        self._restore.detach()
        return snapshot

    def save(self, economical: bool = False) -> bool:
        """Saves the state to the ledger's state file when it changed since
        it was loaded or last saved; True when it wrote. With `economical`
        (a one-shot command), only when reading again what changed would
        cost the next ledger enough (`ledgerly.cache.worth_saving`); it
        answers the same either way. Raises OSError when the file cannot be
        written (the state is then kept as unsaved)."""
        with self._lock:
            sniffed = self._sniffs.reads
            if self.state is None or self._last is None:
                return False
            if not (self._unsaved or sniffed != self._sniffed):
                if self._rows_owed is not None:
                    self._save_rows_alone(self._rows_owed)
                return False
            from ledgerly.cache import save_state, worth_saving

            redo = self._redo + (sniffed - self._sniffed) * REDO_PER_FILE
            if economical and not worth_saving(redo, self._saved_bytes, time.time() - self._saved_at):
                return False
            # A snapshot from the rows file leaves the restore running: the
            # engine to save is the loaded one, refreshed with the same
            # manifest. One that could not be loaded holds nothing yet and
            # is not saved.
            if self._restore is not None and self._finish_restore(self._manifest) is None:
                return False
            summary = save_state(self.state, self._engine, self.sources, self._sniffs, self._manifest)
            from ledgerly.cache import save_rows

            # Only a shortcut for the next command: without it, that command
            # loads the state and exports as it would anyway. (The rows of a
            # snapshot that came from the rows file are written again too:
            # that file names the state file it was saved with.)
            with contextlib.suppress(OSError):
                save_rows(self.state, summary, self._last, self.sources, self._manifest)
            self._unsaved = False
            self._sniffed = sniffed
            self._saved_bytes, self._saved_at, self._redo = summary["bytes"], time.time(), 0
            return True

    def _save_rows_alone(self, loaded: List[int]) -> None:
        """Writes the rows file that the state file loaded (its identity
        `loaded`) lacked, when that file is still in place: nothing else
        changed, so the next command maps them instead of exporting."""
        from ledgerly.cache import file_identity, save_rows

        self._rows_owed = None
        assert self.state is not None and self._last is not None
        with contextlib.suppress(OSError):
            if file_identity(os.stat(self.state)) == loaded:
                identity = dict(zip(("inode", "size", "mtime_ns"), loaded))
                save_rows(self.state, identity, self._last, self.sources, self._manifest)

    @property
    def last(self) -> Optional[Snapshot]:
        """The snapshot of the latest refresh, or None before the first."""
        return self._last

    def list_files(self) -> Listing:
        """Lists the sources now (what the next refresh would read)."""
        with self._lock:
            self._start_restore()
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
            self._start_restore()
            if listing is None:
                listing = list_files(self.sources, self._sniffs)
            manifest = listing.manifest()
            if self._last is None and self._restore is not None and not force:
                saved = self._restore.saved_rows(manifest)
                if saved is not None:
                    return self._adopt_saved_rows(saved, listing, manifest)
            # A loaded engine hands out no rows for what it already held:
            # its first refresh, made on the restore's thread, is forced.
            restored = self._finish_restore(manifest)
            text, buffer = restored if restored is not None else self._engine.refresh(manifest, self.workers, force)
            self._manifest = manifest
            rows_were_used, self._from_rows, self._rows_owed = self._from_rows, False, None
            report = json.loads(text)
            scan = report["scan"]
            if scan["updated"] or scan["changed"] or scan["removed"]:
                self._unsaved = True
                self._redo += scan["bytes_read"] + scan["removed"] * REDO_PER_FILE
            elif restored is not None and not rows_were_used:
                # A loaded state whose logs did not change, answered by its
                # engine: its rows file was missing, damaged or older.
                self._rows_owed = self._loaded_identity
            last = self._last
            file_index: Optional[np.ndarray]
            kept: Union[bytes, memoryview]
            if buffer is not None:
                from ledgerly.layout import view_attributed

                rows, file_index = view_attributed(buffer, report["rows"])
                kept = buffer
                models = tuple(report["models"])
                projects = tuple(project_label(p) for p in report["projects"])
                files = tuple(report["files"])
            elif last is not None:
                rows, kept, models, projects = last.rows, last.buffer, last.models, last.projects
                files, file_index = last.files, last.file_index
            else:  # pragma: no cover - the engine always exports on its first refresh
                raise RuntimeError("the engine returned no rows on its first refresh")
            snapshot = Snapshot(
                rows=rows,
                buffer=kept,
                models=models,
                projects=projects,
                scan=MappingProxyType(scan),
                errors=tuple(listing.errors) + tuple(scan["errors"]),
                changed=bool(scan["updated"]) or last is None,
                refreshed_at=time.time(),
                listing=listing,
                files=files,
                file_index=file_index,
            )
            self._last = snapshot
            return snapshot
