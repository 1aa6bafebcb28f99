"""`SavedState`: one ledger's saved state, its bookkeeping, and when to save.

A `Ledger` given a state file keeps one `SavedState`. It starts the
restore (`start`), hands out the rows file's rows (`saved_rows`) and says
whether they answer the first listing (`answers`), ends the restore and
gives the ledger the loaded engine (`end_restore`), notes every refresh
(`refreshed`), and decides and makes the saves (`due`, `save`).
"""

from __future__ import annotations

import os
import time
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ledgerly.saved.folder import drop_unused
from ledgerly.saved.restore import Restore
from ledgerly.saved.state_file import file_identity, folder_refusal, save_rows, save_state
from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source

if TYPE_CHECKING:
    from ledgerly.listing import Listing
    from ledgerly.saved.rows_file import SavedRows
    from ledgerly.snapshot import Snapshot

# What a one-shot command that does not save its state costs the next one
# per file (a file whose dialect it recognised, or whose removal it saw),
# in bytes read again.
REDO_PER_FILE = 64 << 10

# A one-shot command that changed the state saves it unless the saved file
# is younger than RESAVE_AFTER seconds and what the next command would read
# again is under 1/SAVE_FRACTION of the file's size. Saving costs about as
# much as reading the file's size once; a status line called every few
# seconds while logs grow thus rewrites the state at most once a minute (or
# when much was read), not on every call. A cold read always saves.
SAVE_FRACTION = 16
RESAVE_AFTER = 60.0

# The loaded engine and the stat table of the listing it last read.
Loaded = Tuple[Any, Optional[bytes]]


def worth_saving(redo: int, saved_bytes: int, age: float) -> bool:
    """Whether a one-shot command saves the state it changed: `redo` is what
    the next command would read again otherwise (what this one read since
    the state was saved, and REDO_PER_FILE for each file whose dialect it
    recognised or whose removal it saw), `saved_bytes` the saved file's
    size (0 when there was none), `age` its age in seconds."""
    return saved_bytes == 0 or age >= RESAVE_AFTER or redo * SAVE_FRACTION >= saved_bytes


class SavedState:
    """The state file `path` of a ledger over `sources`: what was restored
    from it, what changed since it was loaded or saved, and the saves.
    Used under the ledger's lock, one call at a time.

    `refused` is why a file that was there was not used (None when it was,
    or when there was none); `folder_refused` why the folder itself is
    not used (then nothing is loaded or saved)."""

    def __init__(self, path: str, sources: Sequence[Source], engine_type: Any, workers: int) -> None:
        self.path = path
        self.sources = tuple(sources)
        self.refused: Optional[str] = None
        self.folder_refused: Optional[str] = None
        # Why the rows file of the latest save could not be written (the
        # state was; only the next command's shortcut is lost).
        self.rows_error: Optional[OSError] = None
        # The listing of the engine's last refresh: its manifest and stat
        # table are what a save keeps (made only then).
        self.listing: Optional[Listing] = None
        self._engine_type = engine_type
        self._workers = workers
        self._restore: Optional[Restore] = None
        self._restored = False  # nothing (more) to restore
        self._unsaved = False  # the engine's state changed since it was loaded or saved
        self._sniffed = 0  # files whose dialect was recognised by then
        self._saved_bytes = 0  # the size of the state file loaded or saved (0: none)
        self._saved_at = 0.0  # and when it was written
        self._redo = 0  # bytes read and files removed since then (see worth_saving)
        self.from_rows = False  # the latest snapshot came from the rows file, not the engine
        # The identity of the state file loaded, while the rows file beside it
        # is to be written again (see due); None otherwise.
        self._rows_owed: Optional[List[int]] = None
        self._loaded_identity: Optional[List[int]] = None

    # -- restoring

    def start(self, sniffs: SniffCache) -> None:
        """Starts the restore into `sniffs` (the dialects at once, the engine
        on a thread), unless it ran already."""
        if self._restored or self._restore is not None:
            return
        # A folder that others may write is left alone: they could have put
        # any file there, or swap one in at a name being written.
        self.folder_refused = folder_refusal(os.path.dirname(self.path))
        if self.folder_refused is not None:
            self._restored = True
            return
        self._restore = Restore(self.path, self.sources, self._engine_type, sniffs, self._workers)

    @property
    def manifest(self) -> str:
        """The manifest of the engine's last refresh."""
        return self.listing.manifest() if self.listing is not None else "[]"

    @property
    def stats(self) -> Optional[bytes]:
        """The stat table of the engine's last refresh's listing."""
        return self.listing.stats if self.listing is not None else None

    @property
    def restoring(self) -> bool:
        """A restore runs: its engine has not been taken yet."""
        return self._restore is not None

    def saved_rows(self) -> Optional[SavedRows]:
        """The rows file's rows (the saved state's selection, in the order
        a loaded engine numbers it), while a restore runs and there is one
        that can be used."""
        restore = self._restore
        return restore.saved_rows() if restore is not None else None

    def answers(self, rows: SavedRows, listing: Listing) -> bool:
        """Whether the rows file's `rows` answer `listing` (the ledger's
        first): it gives the manifest they were saved for, with every file
        as the saved stat table describes it. When they do, the restore
        goes on; a later refresh or a save ends it and takes its engine."""
        from ledgerly.saved.rows_file import manifest_digest

        if rows.manifest != manifest_digest(listing.manifest(), listing.stats):
            return False
        self.listing = listing
        self.from_rows = True
        return True

    def end_restore(self) -> Optional[Loaded]:
        """Ends the restore, if one runs: the loaded engine (its state as
        saved) and the stat table of the listing it last read, or None when
        none runs or nothing could be loaded."""
        restore = self._restore
        if restore is None:
            return None
        self._restore = None
        self._restored = True
        try:
            engine = restore.finish()
        finally:
            self.refused = restore.refused
        if engine is None:
            self._unsaved = True  # whatever is there (nothing, or a refused file) is to be replaced
            return None
        self._saved_bytes, self._saved_at = restore.bytes, restore.saved_at
        self._loaded_identity = restore.identity
        return engine, restore.saved_stats

    # -- refreshing

    def refreshed(self, listing: Listing, scan: Mapping[str, Any], restored: bool) -> None:
        """Notes a refresh of the engine with `listing` that reported
        `scan`; `restored`: it was the loaded engine's first (after
        end_restore)."""
        self.listing = listing
        rows_were_used, self.from_rows, self._rows_owed = self.from_rows, False, None
        if scan["updated"] or scan["changed"] or scan["removed"]:
            self._unsaved = True
            self._redo += scan["bytes_read"] + scan["removed"] * REDO_PER_FILE
        elif restored and not rows_were_used:
            # A loaded state whose logs did not change, answered by its
            # engine: its rows file was missing, damaged or older.
            self._rows_owed = self._loaded_identity

    # -- saving

    def due(self, sniffs: SniffCache, last: Snapshot, economical: bool) -> bool:
        """Whether the state is to be saved: it changed since it was loaded
        or last saved (or dialects were recognised) and, with `economical`
        (a one-shot command), reading again what changed would cost the
        next ledger enough (`worth_saving`). When nothing changed but the
        rows file of the loaded state was missing or unusable, writes that
        alone (the rows of `last`)."""
        if self.folder_refused is not None:
            return False
        if last.listing.file_count == 0:
            # Sources that held no log (a one-off look at some file): a
            # state of nothing is not worth a file in the cache folder.
            return False
        sniffed = sniffs.reads
        if not (self._unsaved or sniffed != self._sniffed):
            if self._rows_owed is not None:
                self._save_rows_alone(self._rows_owed, last)
            return False
        redo = self._redo + (sniffed - self._sniffed) * REDO_PER_FILE
        return not economical or worth_saving(redo, self._saved_bytes, time.time() - self._saved_at)

    def save(self, engine: Any, sniffs: SniffCache, last: Snapshot) -> None:
        """Saves `engine` (refreshed last with `manifest`, giving `last`)
        and the dialects of `sniffs`, then the rows of `last` beside it.
        Raises OSError when the state cannot be written (it is then kept as
        unsaved)."""
        sniffed = sniffs.reads
        summary = save_state(self.path, engine, self.sources, sniffs, self.manifest, self.stats)
        # Only a shortcut for the next command: without it, that command
        # loads the state and exports as it would anyway. (The rows of a
        # snapshot that came from the rows file are written again too:
        # that file names the state file it was saved with.)
        self._write_rows(summary, last)
        self._unsaved = False
        self._sniffed = sniffed
        self._saved_bytes, self._saved_at, self._redo = summary["bytes"], time.time(), 0
        drop_unused(os.path.dirname(self.path), keep=self.path)

    def _write_rows(self, saved: Dict[str, int], last: Snapshot) -> None:
        """The rows of `last` beside the state file just saved as `saved`
        describes it; a failure is kept in `rows_error`, never raised."""
        self.rows_error = None
        try:
            save_rows(self.path, saved, last, self.sources, self.manifest, self.stats)
        except OSError as exc:
            self.rows_error = exc

    def _save_rows_alone(self, loaded: List[int], last: Snapshot) -> None:
        """Writes the rows file that the state file loaded (its identity
        `loaded`) lacked, when that file is still in place: nothing else
        changed, so the next command maps them instead of exporting."""
        self._rows_owed = None
        try:
            if file_identity(os.stat(self.path)) != loaded:
                return
        except OSError:
            return
        self._write_rows(dict(zip(("inode", "size", "mtime_ns"), loaded)), last)
