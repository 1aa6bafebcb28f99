"""The ledger: one engine over a set of sources, refreshed on demand.

    ledger = Ledger(resolve_sources())
    snapshot = ledger.refresh()          # lists the files, reads what changed
    snapshot.rows["output"].sum()

Each `refresh` lists the sources again, hands the manifest to the engine
and returns a `Snapshot` holding the complete current rows. The engine
hands over only what changed in its selection since the ledger's last
refresh (`ledgerly._ledger.Engine.delta`): the rows withdrawn and added,
which the ledger's `ledgerly.rowstore.RowStore` applies to the rows it
keeps as compact columns. So the rows are kept once, by the engine in full
and by the ledger in columns, and a refresh costs what changed.

Thread safety: `refresh` may be called from any thread; calls on one ledger
run one at a time (a lock). Snapshots are immutable (their rows are
read-only views of columns no one writes again), so other threads may read
a snapshot while the next refresh runs; a live view refreshes from one
thread and serves the latest snapshot to others.

A ledger given a state file (`state`, see ledgerly.cache) starts from the
state saved there. Its first listing reads the dialects and, on a thread,
the rows file beside the state: the saved state's rows, in the order in
which a loaded engine numbers them. When the listing's manifest is the
one they were saved for, they are the answer, and the engine is loaded
only if it is asked for more; otherwise the engine is loaded and its first
delta brings those rows up to date. `save` writes the state back when it
changed. A file that cannot be used is left for the next save to replace,
and the ledger reads cold; the reason is in `refused`. The answers are
the same either way.
"""

from __future__ import annotations

import contextlib
import json
import os
import threading
import time
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, List, Mapping, Optional, Sequence, Tuple, Union

# The engine face whose export also names the log file of every record
# (ledgerly._native, the face `ledgerly.Engine`, exports the records alone).
from ledgerly._ledger import Engine as AttributingEngine
from ledgerly.codes import MAX_WORKERS, REDO_PER_FILE
from ledgerly.listing import Listing
from ledgerly.snapshot import Snapshot
from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source
from ledgerly.walk import list_files

if TYPE_CHECKING:
    from ledgerly.cache import Restore
    from ledgerly.prices import PriceTable
    from ledgerly.rows_file import SavedRows
    from ledgerly.rowstore import RowStore

__all__ = ["Ledger", "Snapshot", "default_workers"]


def default_workers() -> int:
    return max(1, min(MAX_WORKERS, os.cpu_count() or 1))


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
        self._listing: Optional[Listing] = None  # the listing of the engine's last refresh
        self._redo = 0  # bytes read and files removed since then (see cache.worth_saving)
        self._from_rows = False  # the latest snapshot came from the rows file, not the engine
        # The identity of the state file loaded, while the rows file beside it
        # is to be written again (see save); None otherwise.
        self._rows_owed: Optional[List[int]] = None
        self._loaded_identity: Optional[List[int]] = None
        self._store: Optional[RowStore] = None  # made on the first refresh (it imports numpy)
        self._keep: Tuple[bool, Optional[PriceTable], bool] = (False, None, False)

    def keep_aggregates(self, prices: Optional[PriceTable], recent: bool = True) -> None:
        """Keeps, from now on, token sums per hour and key for reports priced
        by `prices` and, with `recent`, the rows of the last days at hand
        (`ledgerly.rowstore`): what a live view answers from after each
        refresh. Answers are the same without them."""
        with self._lock:
            self._keep = (True, prices, recent)
            if self._store is not None:
                self._store.keep(prices, recent)

    def _row_store(self) -> RowStore:
        if self._store is None:
            from ledgerly.rowstore import RowStore

            keep, prices, recent = self._keep
            self._store = RowStore()
            if keep:
                self._store.keep(prices, recent)
        return self._store

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

    def _finish_restore(self) -> None:
        """Ends the restore, if one runs: the loaded engine becomes the
        ledger's (the rows it holds stay as the store has them)."""
        restore = self._restore
        if restore is None:
            return
        self._restore = None
        self._restored = True
        try:
            engine = restore.finish()
        finally:
            self.refused = restore.refused
        if engine is None:
            self._unsaved = True  # whatever is there (nothing, or a refused file) is to be replaced
            self._row_store().clear()  # rows of a state that is not loaded
            return
        self._engine = engine
        self._saved_bytes, self._saved_at = restore.bytes, restore.saved_at
        self._loaded_identity = restore.identity

    def _snapshot(self, scan: Mapping[str, Any], listing: Listing, changed: bool) -> Snapshot:
        last = self._last
        view = last.store if last is not None and not changed and last.store is not None else self._row_store().view()
        rows = last.rows if last is not None and not changed else view.live
        return Snapshot(
            rows=rows,
            models=view.models,
            projects=view.projects,
            scan=MappingProxyType(dict(scan)),
            errors=tuple(listing.errors) + tuple(scan.get("errors", ())),
            changed=changed or last is None,
            refreshed_at=time.time(),
            listing=listing,
            file_names=view.files,
            in_order=view.in_order,
            store=view,
        )

    def _adopt_saved_rows(self, saved: SavedRows, listing: Listing) -> Snapshot:
        """The first snapshot, from the rows file of a state whose logs have
        not changed since (the engine is loaded only if asked for more)."""
        self._listing = listing
        self._from_rows = True
        snapshot = self._snapshot(saved.scan, listing, True)
        self._last = snapshot
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
            # A snapshot from the rows file leaves the restore pending: the
            # engine to save is the loaded one, whose last refresh had the
            # same manifest. One that could not be loaded holds nothing yet
            # and is not saved.
            if self._restore is not None:
                self._finish_restore()
                if self._loaded_identity is None:
                    return False
            summary = save_state(self.state, self._engine, self.sources, self._sniffs, self._manifest())
            from ledgerly.cache import save_rows

            # Only a shortcut for the next command: without it, that command
            # loads the state and exports as it would anyway. (The rows of a
            # snapshot that came from the rows file are written again too:
            # that file names the state file it was saved with.)
            with contextlib.suppress(OSError):
                save_rows(self.state, summary, self._last, self.sources, self._manifest())
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
                save_rows(self.state, identity, self._last, self.sources, self._manifest())

    def _manifest(self) -> str:
        """The manifest of the engine's last refresh."""
        return self._listing.manifest() if self._listing is not None else "[]"

    @property
    def from_saved_rows(self) -> bool:
        """The latest snapshot came from the rows file beside the saved
        state, without the engine."""
        return self._from_rows

    @property
    def loaded(self) -> bool:
        """The engine's state was loaded from the state file (a ledger that
        answers from the rows file does not load it until asked for more)."""
        return self._loaded_identity is not None

    @property
    def last(self) -> Optional[Snapshot]:
        """The snapshot of the latest refresh, or None before the first."""
        return self._last

    def list_files(self) -> Listing:
        """Lists the sources now (what the next refresh would read)."""
        with self._lock:
            self._start_restore()
            return list_files(self.sources, self._sniffs)

    def refresh(
        self,
        force: bool = False,
        listing: Optional[Listing] = None,
        changes: Optional[Tuple[str, Sequence[str]]] = None,
    ) -> Snapshot:
        """Reads what changed and returns the current snapshot.

        `listing` lets a caller that already listed the sources (to size a
        progress bar, say) pass that listing in; by default the sources are
        listed afresh. `changes` lets a caller that follows the files (a
        live view) tell what changed in `listing` since the listing of this
        ledger's previous refresh: the manifest of the entries that changed
        or appeared and the paths no longer listed. The engine then looks at
        those alone (it is given the whole listing when it must be, on a
        first refresh). `force` makes the engine hand over its whole
        selection again, even when nothing changed (the rows are then new
        columns with equal content). A broken engine invariant raises
        `ledgerly.PanicException`; read problems never raise, they are in
        `Snapshot.errors`."""
        with self._lock:
            self._start_restore()
            if listing is None:
                listing = list_files(self.sources, self._sniffs)
            store = self._row_store()
            restore = self._restore
            if restore is not None or self._last is None or force:
                changes = None  # the engine must see every file
            if restore is not None:
                manifest = listing.manifest()
                saved = restore.saved_rows()
                if saved is not None and self._last is None:
                    store.load(saved)
                    if not force:
                        from ledgerly.rows_file import manifest_digest

                        if saved.manifest == manifest_digest(manifest):
                            return self._adopt_saved_rows(saved, listing)
                self._finish_restore()
            rows_were_used, self._from_rows, self._rows_owed = self._from_rows, False, None
            if changes is not None:
                scan, moved = self._delta(changes[0], None, list(changes[1]))
            else:
                scan, moved = self._delta(listing.manifest(), 0 if force else None)
            self._listing = listing
            if scan["updated"] or scan["changed"] or scan["removed"]:
                self._unsaved = True
                self._redo += scan["bytes_read"] + scan["removed"] * REDO_PER_FILE
            elif self._loaded_identity is not None and self._last is None and not rows_were_used:
                # A loaded state whose logs did not change, answered by its
                # engine: its rows file was missing, damaged or older.
                self._rows_owed = self._loaded_identity
            snapshot = self._snapshot(scan, listing, moved)
            self._last = snapshot
            return snapshot

    def _delta(
        self, manifest: str, since: Optional[int], removed: Optional[List[str]] = None
    ) -> Tuple[Mapping[str, Any], bool]:
        """Asks the engine what changed since the store's generation (or
        since `since`), and applies it; returns the refresh's scan and
        whether the rows changed. With `removed`, `manifest` holds only the
        entries that changed and `removed` the paths that left."""
        from ledgerly.rowstore import DeltaError

        store = self._row_store()
        generation = store.generation if since is None else since
        text, buffer = self._engine.delta(manifest, self.workers, generation, removed)
        report = json.loads(text)
        try:
            moved = store.apply(report, buffer)
        except DeltaError:
            # Not what the store holds: ask for the whole selection (the
            # state is read already, so this reads nothing again).
            text, buffer = self._engine.delta("[]", self.workers, 0, [])
            retry = json.loads(text)
            store.apply(retry, buffer)
            moved = True
        scan: Mapping[str, Any] = report["scan"]
        return scan, moved
