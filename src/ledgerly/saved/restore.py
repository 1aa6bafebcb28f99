"""Restoring a saved state: its dialects at once, its engine on a thread.

A restore opens the state file once and works on that descriptor alone:
it checks the file there, reads the host part's checked start and
restores the dialects at once (the listing needs them), then loads the
engine on a thread of its own while the listing runs, from the same
descriptor. The same thread waits for the listing's manifest and
refreshes the loaded engine with it, forced: one export, whether files
changed since the save or not. Beside it, another thread checks and maps
the rows file, which answers instead when the listing's manifest is the
one it was written for.
"""

from __future__ import annotations

import contextlib
import os
import threading
import time
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

from ledgerly.saved.state_file import (
    StateRefused,
    build_stamp,
    check_host,
    decode_host,
    file_identity,
    open_state,
    oserror_text,
    refusal,
    restore_dialects_from,
    source_list,
)
from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source
from ledgerly.stat_table import manifest_without, moved_in_place

if TYPE_CHECKING:
    from ledgerly.saved.rows_file import SavedRows


# A state's access time says when a command last loaded it (see
# ledgerly.saved.folder.drop_unused); it is set at most once a day.
_MARK_EVERY = 86400.0


def mark_used(fd: int) -> None:
    """Sets the access time of the state file open as `fd` to now, when it
    is older than a day: what tells a state still in use from one to drop,
    whatever the file system does with access times. The modification
    time, which the rows file names, stays. Never raises."""
    try:
        st = os.fstat(fd)
        now = time.time_ns()
        if now - st.st_atime_ns > _MARK_EVERY * 1e9 and os.utime in os.supports_fd:
            os.utime(fd, ns=(now, st.st_mtime_ns))
    except OSError:
        pass


class Restore:
    """One restore of a saved state into `sniffs` and a new engine: the
    host part's checked start read, and the dialects restored, at once; on
    a thread, the engine loaded, then (once `finish` hands it the current
    manifest) refreshed with that manifest, forced: the refresh that gives
    the loaded state's rows with whatever changed since. `refused` is the
    reason a file that is there cannot be used (None when there is none).
    Dialects checked by their CRC are kept even when the engine's part
    turns out damaged: they describe the files, not the engine."""

    def __init__(
        self, path: str, sources: Sequence[Source], engine_type: Any, sniffs: SniffCache, workers: int
    ) -> None:
        self.path = path
        self.sources = tuple(sources)
        self.workers = workers
        self.refused: Optional[str] = None
        self.bytes = 0  # the loaded file's size
        self.saved_at = 0.0  # and its modification time
        # The forced refresh of the loaded engine with the manifest `finish` gave.
        self.result: Optional[Tuple[str, Optional[bytes]]] = None
        self._engine: Any = None
        self._error: Optional[BaseException] = None  # of the load
        self._refresh_error: Optional[BaseException] = None
        self._manifest: Optional[str] = None
        # The stat tables of the saved state's last refresh (read with the
        # load) and of the listing `finish` gave.
        self._saved_stats: Optional[bytes] = None
        self._stats: Optional[bytes] = None
        self._given = threading.Event()
        self._detached = False
        self._thread: Optional[threading.Thread] = None
        self._fd = -1
        # The rows file beside the state, checked and mapped on a thread of
        # its own (None until then, or when there is none that can be used).
        self._rows: Optional[SavedRows] = None
        self._rows_thread: Optional[threading.Thread] = None
        # The state file's identity (file_identity): of the one file that
        # is read, through one descriptor, from its first bytes to the load.
        self.identity: Optional[List[int]] = None
        try:
            self._fd, st = open_state(path)
        except FileNotFoundError:
            return  # nothing saved yet
        except (OSError, StateRefused) as exc:
            self.refused = refusal(exc)
            return
        usable, self.refused = restore_dialects_from(self._fd, self.sources, sniffs)
        if not usable:
            os.close(self._fd)
            return
        self.identity = file_identity(st)
        self.saved_at = st.st_mtime
        self._engine = engine_type()
        self._thread = threading.Thread(target=self._work, name="ledgerly-load", daemon=True)
        self._thread.start()
        self._rows_thread = threading.Thread(target=self._read_rows, name="ledgerly-rows", daemon=True)
        self._rows_thread.start()

    def _read_rows(self) -> None:
        from ledgerly.saved.rows_file import RowsRefused, read_rows, rows_path

        # Any rows file that cannot be used is left alone: the engine's
        # export answers instead, and the next save replaces the file. One
        # written for another state file than the one here is not used
        # either, so that a state damaged or replaced since is loaded (and
        # refused, or adopted) as it would be without a rows file.
        if self.identity is None:
            return
        with contextlib.suppress(OSError, RowsRefused, ValueError):
            self._rows = read_rows(rows_path(self.path), build_stamp(), source_list(self.sources), self.identity)

    def saved_rows(self, manifest: str, stats: Optional[bytes]) -> Optional[SavedRows]:
        """The rows file's rows when it holds the export of `manifest` with
        every file as the stat table `stats` describes it: what the loaded
        engine's refresh with `manifest` would give, without the refresh.
        The restore itself goes on (`finish` still ends it)."""
        if self._rows_thread is None:
            return None
        self._rows_thread.join()
        rows = self._rows
        if rows is None:
            return None
        from ledgerly.saved.rows_file import manifest_digest

        return rows if rows.manifest == manifest_digest(manifest, stats) else None

    def _work(self) -> None:
        try:
            try:
                loaded = self._engine.load(self._fd)
                mark_used(self._fd)
            finally:
                os.close(self._fd)
            # The host part as the engine's checksum vouches for it.
            host = decode_host(loaded["extra"], checked_only=True)
            check_host(host, self.sources)
            self._saved_stats = host.stats
            self.bytes = loaded["bytes"]
        except BaseException as exc:  # handed to `finish`
            self._error = exc
            return
        self._given.wait()
        if self._manifest is None:
            return  # given up, or left to `finish` (detached)
        self._refresh(self._manifest)

    def _refresh(self, manifest: str) -> None:
        try:
            # Logs rewritten in place since the save (their size and time
            # kept) are read again from the start: a refresh without them
            # makes the engine forget what it held of them.
            moved = moved_in_place(self._saved_stats, self._stats)
            if moved:
                self._engine.refresh(manifest_without(manifest, moved), self.workers, False)
            self.result = self._engine.refresh(manifest, self.workers, True)
        except BaseException as exc:
            self._refresh_error = exc

    def detach(self) -> None:
        """Lets the thread end once the engine is loaded, without waiting
        for a manifest: `finish` then refreshes on its caller's thread."""
        self._detached = True
        self._given.set()

    def finish(self, manifest: Optional[str], stats: Optional[bytes] = None) -> Optional[Any]:
        """Hands the thread `manifest` and its listing's stat table `stats`
        (None: no refresh) and waits for it; returns the loaded engine (its
        refresh in `result`), or None (with `refused` set when a file was
        there but could not be used)."""
        if self._thread is None:
            return None
        self._stats = stats
        if not self._detached:
            self._manifest = manifest
            self._given.set()
        self._thread.join()
        self._thread = None
        if self._detached and self._error is None and manifest is not None:
            self._refresh(manifest)
        error = self._error
        if isinstance(error, FileNotFoundError):
            return None  # removed meanwhile (ledgerly cache clear)
        if isinstance(error, OSError):
            self.refused = oserror_text(error)
            return None
        if isinstance(error, (ValueError, StateRefused)):
            self.refused = str(error)
            return None
        if error is not None:
            raise error
        if self._refresh_error is not None:
            raise self._refresh_error
        return self._engine
