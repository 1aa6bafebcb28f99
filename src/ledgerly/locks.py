"""An exclusive lock held through an open file, on every platform.

The server holds one for its whole life (so that a second server knows a
first one runs, even one that does not answer), an export one on its
machine's folder. The lock goes with the process that holds it, so one
that was killed leaves nothing locked. No numpy.
"""

from __future__ import annotations

import os
import sys
from typing import Optional


def try_lock(path: str, mode: int = 0o600) -> Optional[int]:
    """Takes an exclusive lock on the file at `path` (made with `mode` when
    missing) without waiting; returns the open descriptor that holds it
    (closing it releases the lock), or None when another process holds
    it. Raises OSError when the file cannot be opened."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT, mode)
    try:
        if sys.platform == "win32":
            import msvcrt

            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)  # the file's first byte, which need not exist
        else:
            import fcntl

            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        return None
    return fd
