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

A ledger given a state file (`state`) starts from the state saved there
and saves it back when it changed: one `ledgerly.saved.SavedState` does
the bookkeeping (the package's docstring tells how). Its first listing
reads the dialects and, on a thread, the rows file beside the state: the
saved state's rows, in the order in which a loaded engine numbers them.
When the listing is the one they were saved for, they are the answer, and
the engine is loaded only if it is asked for more; otherwise the engine is
loaded and its first delta brings those rows up to date. A file that
cannot be used is left for the next save to replace, and the ledger reads
cold; the reason is in `refused`. The answers are the same either way.
"""

from __future__ import annotations

import json
import os
import threading
import time
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, List, Mapping, Optional, Sequence, Tuple, Union

# The engine face whose export also names the log file of every record
# (ledgerly._native, the face `ledgerly.Engine`, exports the records alone).
from ledgerly._ledger import Engine as AttributingEngine
from ledgerly.codes import MAX_WORKERS
from ledgerly.listing import Listing
from ledgerly.snapshot import Snapshot as Snapshot  # made here; importable from here as before
from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source
from ledgerly.stat_table import manifest_without, moved_in_place
from ledgerly.walk import list_files

if TYPE_CHECKING:
    from ledgerly.prices import PriceTable
    from ledgerly.rowstore import RowStore
    from ledgerly.saved import SavedState
    from ledgerly.saved.rows_file import SavedRows

__all__ = ["Changes", "Ledger", "Snapshot", "default_workers"]

# What changed in a listing since the one before, as a caller that follows
# the files tells it (see `Ledger.refresh`): the manifest of the entries
# that changed or appeared, the paths no longer listed, and the paths among
# the first rewritten in place (to be read again from the start).
Changes = Tuple[str, Sequence[str], Sequence[str]]


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
        # The listing the engine last read (see refresh), and the stat table
        # of the saved state's, which the first refresh after a load is
        # compared with instead.
        self._listing: Optional[Listing] = None
        self._loaded_stats: Optional[bytes] = None
        self._loaded = False  # the engine's state was loaded from the state file
        self._store: Optional[RowStore] = None  # made on the first refresh (it imports numpy)
        self._keep: Tuple[bool, Optional[PriceTable], bool] = (False, None, False)
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
        been loaded yet: the dialects at once, the rows file and (when it
        is needed) the engine on threads that the next refresh waits for.
        The first listing or refresh does it; a caller that lists the
        sources by itself (a live view) calls it first."""
        with self._lock:
            if self._saved is not None:
                self._saved.start(self._sniffs)

    def _end_restore(self, saved: SavedState) -> None:
        """Ends the restore: the loaded engine becomes the ledger's (the
        rows it holds stay as the store has them); without one, the store
        lets go of the rows of a state that is not loaded."""
        loaded = saved.end_restore()
        if loaded is None:
            self._row_store().clear()
            return
        self._engine, self._loaded_stats = loaded
        self._loaded = True

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
                # A snapshot from the rows file leaves the restore pending:
                # the engine to save is the loaded one, whose state is the
                # one those rows were saved with. One that could not be
                # loaded holds nothing yet and is not saved.
                self._end_restore(saved)
                if not self._loaded:
                    return False
            saved.save(self._engine, self._sniffs, self._last)
            return True

    @property
    def from_saved_rows(self) -> bool:
        """The latest snapshot came from the rows file beside the saved
        state, without the engine."""
        return self._saved is not None and self._saved.from_rows

    @property
    def loaded(self) -> bool:
        """The engine's state was loaded from the state file (a ledger that
        answers from the rows file does not load it until asked for more)."""
        return self._loaded

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

    def refresh(
        self, force: bool = False, listing: Optional[Listing] = None, changes: Optional[Changes] = None
    ) -> Snapshot:
        """Reads what changed and returns the current snapshot.

        `listing` lets a caller that already listed the sources (to size a
        progress bar, say) pass that listing in; by default the sources are
        listed afresh. `changes` lets a caller that follows the files (a
        live view) tell what changed in `listing` since the listing of this
        ledger's previous refresh (see `Changes`). The engine then looks at
        those alone (it is given the whole listing when it must be, on a
        first refresh). `force` makes the engine hand over its whole
        selection again, even when nothing changed (the rows are then new
        columns with equal content). A broken engine invariant raises
        `ledgerly.PanicException`; read problems never raise, they are in
        `Snapshot.errors`."""
        with self._lock:
            saved = self._saved
            if saved is not None:
                saved.start(self._sniffs)
            if listing is None:
                listing = list_files(self.sources, self._sniffs)
            store = self._row_store()
            restored = saved is not None and saved.restoring
            if restored or self._last is None or force:
                changes = None  # the engine must see every file
            if saved is not None and restored:
                from_file = saved.saved_rows()
                if from_file is not None and self._last is None and not force:
                    store.load(from_file)
                    if saved.answers(from_file, listing):
                        return self._adopt_saved_rows(from_file, listing)
                self._end_restore(saved)
                restored = self._loaded
            if changes is not None:
                manifest, removed, moved = changes
                if moved:
                    # Logs rewritten in place: forgotten first, then read
                    # again from the start as entries of `manifest`.
                    self._delta("[]", None, list(moved))
                scan, changed = self._delta(manifest, None, list(removed))
                changed = changed or bool(moved)
            else:
                scan, changed = self._whole(listing, force)
            self._listing = listing
            if saved is not None:
                saved.refreshed(listing, scan, restored)
            snapshot = self._snapshot(scan, listing, changed)
            self._last = snapshot
            return snapshot

    def _whole(self, listing: Listing, force: bool) -> Tuple[Mapping[str, Any], bool]:
        """The engine given the whole of `listing`: what changed since the
        store's generation (or, with `force`, all of it)."""
        manifest = listing.manifest()
        # The engine passes over a file whose identity, size and time are
        # as it read them; one rewritten in place with all three kept (a
        # backup restored over it, its time set back) has another ctime: a
        # refresh without it makes the engine forget it, and the next reads
        # it again from the start.
        before = self._listing.stats if self._listing is not None else self._loaded_stats
        moved = moved_in_place(before, listing.stats)
        changed = False
        if moved:
            _scan, changed = self._delta(manifest_without(manifest, moved), None)
        scan, rows_changed = self._delta(manifest, 0 if force else None)
        return scan, changed or rows_changed

    def _adopt_saved_rows(self, saved: SavedRows, listing: Listing) -> Snapshot:
        """The first snapshot, from the rows file of a state whose logs have
        not changed since (the engine is loaded only if asked for more)."""
        self._listing = listing
        snapshot = self._snapshot(saved.scan, listing, True)
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
