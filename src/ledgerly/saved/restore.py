"""Restoring a saved state: its dialects at once, its rows and engine on threads.

A restore opens the state file once and works on that descriptor alone:
it checks the file there, reads the host part's checked start and
restores the dialects at once (the listing needs them), then checks and
maps the rows file beside it on a thread while the listing runs. The
engine is loaded from the same descriptor, on a thread of its own, as soon
as it is known to be needed (there is no rows file that can be used), and
otherwise only when `finish` asks for it: a command whose logs did not
change answers from the rows file and never loads the engine.
"""

from __future__ import annotations

import contextlib
import os
import threading
import time
from typing import TYPE_CHECKING, Any, List, Optional, Sequence

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
    a thread, the rows file beside the state checked and mapped. The engine
    is loaded on a thread of its own as soon as it is known to be needed
    (there is no rows file that can be used), and otherwise only when
    `finish` asks for it. `refused` is the reason a file that is there
    cannot be used (None when there is none). Dialects checked by their
    CRC are kept even when the engine's part turns out damaged: they
    describe the files, not the engine."""

    def __init__(
        self, path: str, sources: Sequence[Source], engine_type: Any, sniffs: SniffCache, workers: int
    ) -> None:
        self.path = path
        self.sources = tuple(sources)
        self.workers = workers
        self.refused: Optional[str] = None
        self.bytes = 0  # the loaded file's size
        self.saved_at = 0.0  # and its modification time
        # The stat table of the saved state's last refresh (read with the load).
        self.saved_stats: Optional[bytes] = None
        self._engine: Any = None
        self._error: Optional[BaseException] = None  # of the load
        self._thread: Optional[threading.Thread] = None
        self._load_lock = threading.Lock()
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
            self._fd = -1
            return
        self.identity = file_identity(st)
        self.saved_at = st.st_mtime
        mark_used(self._fd)  # (whether the rows file or the engine answers)
        self._engine = engine_type()
        self._rows_thread = threading.Thread(target=self._read_rows, name="ledgerly-rows", daemon=True)
        self._rows_thread.start()

    def __del__(self) -> None:
        # A restore answered from the rows file whose engine was never asked
        # for still holds the state file open.
        with self._load_lock:
            if self._thread is None and self._fd >= 0:
                os.close(self._fd)
                self._fd = -1

    def _read_rows(self) -> None:
        from ledgerly.saved.rows_file import RowsRefused, read_rows, rows_path

        # Any rows file that cannot be used is left alone: the engine's
        # export answers instead, and the next save replaces the file. One
        # written for another state file than the one here is not used
        # either, so that a state damaged or replaced since is loaded (and
        # refused, or adopted) as it would be without a rows file.
        if self.identity is not None:
            with contextlib.suppress(OSError, RowsRefused, ValueError):
                self._rows = read_rows(rows_path(self.path), build_stamp(), source_list(self.sources), self.identity)
        if self._rows is None:
            self._start_load()  # the engine is needed: load it beside the listing

    def _start_load(self) -> None:
        with self._load_lock:
            if self._thread is None and self._fd >= 0:
                self._thread = threading.Thread(target=self._load, name="ledgerly-load", daemon=True)
                self._thread.start()

    def saved_rows(self) -> Optional[SavedRows]:
        """The rows file's rows (the saved state's selection, in export
        order), or None when there is none that can be used."""
        if self._rows_thread is None:
            return None
        self._rows_thread.join()
        return self._rows

    def _load(self) -> None:
        try:
            try:
                loaded = self._engine.load(self._fd)
            finally:
                os.close(self._fd)
                self._fd = -1
            # The host part as the engine's checksum vouches for it.
            host = decode_host(loaded["extra"], checked_only=True)
            check_host(host, self.sources)
            self.saved_stats = host.stats
            self.bytes = loaded["bytes"]
        except BaseException as exc:  # handed to `finish`
            self._error = exc

    def finish(self) -> Optional[Any]:
        """Loads the engine (or waits for its load); returns it, or None
        (with `refused` set when a file was there but could not be used)."""
        self._start_load()
        if self._thread is None:
            return None
        self._thread.join()
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
        return self._engine
