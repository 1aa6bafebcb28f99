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

A ledger given a state file (`state`) starts from the state saved there
and saves it back when it changed: one `ledgerly.saved.SavedState` does
all of that (the package's docstring tells how). A file that cannot be
used is left for the next save to replace, and the ledger reads cold; the
reason is in `refused`. The answers are the same either way.
"""

from __future__ import annotations

import json
import os
import threading
import time
from types import MappingProxyType
from typing import TYPE_CHECKING, Optional, Sequence, Tuple, Union

# The engine face whose export also names the log file of every record
# (ledgerly._native, the face `ledgerly.Engine`, exports the records alone).
from ledgerly._ledger import Engine as AttributingEngine
from ledgerly.codes import MAX_WORKERS
from ledgerly.listing import Listing
from ledgerly.snapshot import Snapshot as Snapshot  # made here; importable from here as before
from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source, project_label
from ledgerly.stat_table import manifest_without, moved_in_place
from ledgerly.walk import list_files

if TYPE_CHECKING:
    import numpy as np

    from ledgerly.saved import SavedState
    from ledgerly.saved.rows_file import SavedRows


def default_workers() -> int:
    return max(1, min(MAX_WORKERS, os.cpu_count() or 1))


class Ledger:
    """Owns one engine (`ledgerly._ledger.Engine`) and the sources it reads.

    `sources` are `Source` objects or paths (a path is a source whose
    dialect is recognised per file). `workers` is the number of reader
    threads (default: one per CPU, at most 32). `state` is the file to
    start from and save to (`ledgerly.saved.state_path(sources)` is the
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
        # The stat table of the listing the engine last read (see refresh).
        self._stats: Optional[bytes] = None
        # The state file this ledger starts from and saves to, and all that
        # goes with it (None: nothing is kept between processes).
        self._saved: Optional[SavedState] = None
        if state is not None:
            from ledgerly.saved import SavedState

            self._saved = SavedState(state, self.sources, AttributingEngine, self.workers)

    @property
    def state(self) -> Optional[str]:
        """The state file this ledger starts from and saves to, or None."""
        return self._saved.path if self._saved is not None else None

    @property
    def saved(self) -> Optional[SavedState]:
        """The saved state this ledger starts from and saves to, or None."""
        return self._saved

    @property
    def refused(self) -> Optional[str]:
        """Why the saved state was not used (None when it was, or when there
        was none)."""
        return self._saved.refused if self._saved is not None else None

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
            if self._saved is not None:
                self._saved.start(self._sniffs)

    def _adopt_saved_rows(self, saved: SavedRows, listing: Listing) -> Snapshot:
        """The first snapshot, from the rows file of a state whose logs have
        not changed since."""
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
        return snapshot

    def save(self, economical: bool = False) -> bool:
        """Saves the state to the ledger's state file when it changed since
        it was loaded or last saved; True when it wrote. With `economical`
        (a one-shot command), only when reading again what changed would
        cost the next ledger enough (`ledgerly.saved.state.worth_saving`);
        it answers the same either way. Raises OSError when the file cannot
        be written (the state is then kept as unsaved)."""
        with self._lock:
            saved = self._saved
            if saved is None or self._last is None or not saved.due(self._sniffs, self._last, economical):
                return False
            if saved.restoring:
                # A snapshot from the rows file leaves the restore running:
                # the engine to save is the loaded one, refreshed with the
                # same manifest. One that could not be loaded holds nothing
                # yet and is not saved.
                loaded = saved.end_restore(saved.manifest, saved.stats)
                if loaded is None:
                    return False
                self._engine = loaded[0]
            saved.save(self._engine, self._sniffs, self._last)
            return True

    @property
    def last(self) -> Optional[Snapshot]:
        """The snapshot of the latest refresh, or None before the first."""
        return self._last

    def list_files(self) -> Listing:
        """Lists the sources now (what the next refresh would read)."""
        with self._lock:
            if self._saved is not None:
                self._saved.start(self._sniffs)
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
            saved = self._saved
            if saved is not None:
                saved.start(self._sniffs)
            if listing is None:
                listing = list_files(self.sources, self._sniffs)
            manifest, stats = listing.manifest(), listing.stats
            restored: Optional[Tuple[str, Optional[bytes]]] = None
            if saved is not None:
                if self._last is None and not force:
                    from_file = saved.saved_rows(manifest, stats)
                    if from_file is not None:
                        return self._adopt_saved_rows(from_file, listing)
                # A loaded engine hands out no rows for what it already
                # held: its first refresh, made on the restore's thread, is
                # forced.
                loaded = saved.end_restore(manifest, stats)
                if loaded is not None:
                    self._engine, restored = loaded
            if restored is None:
                # The engine passes over a file whose identity, size and
                # time are as it read them; one rewritten in place with all
                # three kept (a backup restored over it, its time set back)
                # has another ctime: a refresh without it makes the engine
                # forget it, and the next reads it again from the start.
                moved = moved_in_place(self._stats, stats)
                if moved:
                    self._engine.refresh(manifest_without(manifest, moved), self.workers, False)
                text, buffer = self._engine.refresh(manifest, self.workers, force)
            else:
                text, buffer = restored  # (the restore made the same test against the saved table)
            self._stats = stats
            report = json.loads(text)
            scan = report["scan"]
            if saved is not None:
                saved.refreshed(manifest, stats, scan, restored is not None)
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
