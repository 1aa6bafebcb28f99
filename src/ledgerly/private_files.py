"""Files that nobody else may have written, and files replaced in one step.

Three things every writer of the user's own files needs, written once
(and `user_folder`, where those files live):

- **A private folder.** `private_folder(path)` makes the folder (mode 0700,
  its missing parents as usual) or checks the one that is there: it must
  be a folder, belong to the user, and be writable by nobody else
  (`folder_problem` says why not). An existing folder's mode is never
  changed. Where another local user may write a folder they can swap a
  link in at a name we are about to use, or put a crafted file there for
  us to read; such a folder is refused, never repaired.
- **A file replaced in one step.** `NewFile(path)` creates a temporary file
  beside `path` under a fresh random name, with ``O_CREAT | O_EXCL |
  O_NOFOLLOW`` in the same call that makes the name, so no link or file
  that someone put there is ever opened. Everything is written through
  that one descriptor (the native engine's `save` takes it too), synced
  when asked, and the finished file is renamed over `path`: a reader sees
  the old file or the new one, never half of one. Used as a context
  manager it renames on success and removes the temporary file on any
  error.
- **A private file opened for reading.** `open_private(path)` opens with
  ``O_NOFOLLOW`` and without blocking, and checks the kind, owner and mode
  on the descriptor it returns, which is the one the caller reads (never
  the path again): a file swapped in after the check is never what gets
  read.

On Windows there are no owners or modes to check here (the user's folders
are private by their access lists) and no ``O_NOFOLLOW``; the rest holds.

Temporary files are named ``.<name>.<random>.tmp`` beside the file they
become, so that `is_temporary` and `remove_stale` recognise the leftovers of
a writer that was killed before its rename.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import time
from typing import IO, Mapping, Optional, Tuple

TEMPORARY_SUFFIX = ".tmp"
# The bits that let others write a folder or a file.
OTHERS_WRITE = 0o022
# A leftover temporary file this old belongs to a writer that will never
# finish (its process was killed).
STALE_AFTER = 3600.0

_O_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_O_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_O_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
_O_BINARY = getattr(os, "O_BINARY", 0)
_O_DIRECTORY = getattr(os, "O_DIRECTORY", 0)
# What O_NOFOLLOW makes an open of a symbolic link fail with (EMLINK on
# some BSDs).
_LINK_ERRORS = (errno.ELOOP, errno.EMLINK)


class NotPrivate(OSError):
    """A folder or file that others may have written, or that is not of the
    kind it should be. The message says why, in a few words. An OSError,
    so that a caller that handles a file it cannot use handles this too."""


def _owner_problem(st: os.stat_result, mask: int) -> Optional[str]:
    getuid = getattr(os, "getuid", None)
    if getuid is None:  # Windows: no owners or modes to check
        return None
    if st.st_uid != getuid():
        return "it belongs to another user"
    if st.st_mode & mask:
        return "others may %s it (mode %o)" % ("write" if mask == OTHERS_WRITE else "use", stat.S_IMODE(st.st_mode))
    return None


def folder_problem(st: os.stat_result, mask: int = OTHERS_WRITE) -> Optional[str]:
    """Why a folder whose status is `st` may not hold private files, or None:
    it must be a folder of the user's own that nobody else may write (with
    `mask` 0o077: nobody else may use at all)."""
    if not stat.S_ISDIR(st.st_mode):
        return "not a folder"
    return _owner_problem(st, mask)


def file_problem(st: os.stat_result) -> Optional[str]:
    """Why a file whose status is `st` cannot be trusted, or None: it must
    be a regular file of the user's own that nobody else may write."""
    if stat.S_ISDIR(st.st_mode):
        return "a folder is in its place"
    if not stat.S_ISREG(st.st_mode):
        return "it is not a regular file"
    return _owner_problem(st, OTHERS_WRITE)


def user_folder(kind: str, variable: str, environ: Optional[Mapping[str, str]] = None) -> str:
    """Where ledgerly keeps its files of one `kind` ("cache" or "data"):
    the folder named by the environment variable `variable` when it is set
    (``~`` expanded, made absolute), else the platform's user folder of
    that kind for ledgerly (platformdirs; ``~/.cache/ledgerly``,
    ``~/.local/share/ledgerly`` on Linux). Not created, not checked."""
    environ = os.environ if environ is None else environ
    explicit = environ.get(variable)
    if explicit:
        return os.path.abspath(os.path.expanduser(explicit))
    import platformdirs

    of_kind = {"cache": platformdirs.user_cache_dir, "data": platformdirs.user_data_dir}[kind]
    return of_kind("ledgerly", appauthor=False)


def private_folder(path: str, make: bool = True, mask: int = OTHERS_WRITE) -> str:
    """The folder at `path`, made (mode 0700) when missing and `make`, and
    checked: raises NotPrivate when it is not a folder the user alone may
    write (`folder_problem`), OSError when it cannot be made or looked at
    (FileNotFoundError when it is missing and not `make`). Returns `path`."""
    if make:
        try:
            os.mkdir(path, 0o700)
        except FileNotFoundError:
            os.makedirs(os.path.dirname(path) or os.curdir, exist_ok=True)
            with contextlib.suppress(FileExistsError):
                os.mkdir(path, 0o700)
        except FileExistsError:
            pass
    problem = folder_problem(os.stat(path), mask)
    if problem is not None:
        raise NotPrivate(problem)
    return path


def open_private(path: str) -> Tuple[int, os.stat_result]:
    """Opens the file at `path` for reading without following a symbolic
    link or waiting for a writer, and checks the open file
    (`file_problem`). Returns the descriptor (the caller closes it) and its
    status. Raises NotPrivate, or OSError (FileNotFoundError when there is
    no file)."""
    try:
        fd = os.open(path, os.O_RDONLY | _O_NOFOLLOW | _O_NONBLOCK | _O_CLOEXEC | _O_BINARY)
    except IsADirectoryError:
        raise NotPrivate("a folder is in its place") from None
    except OSError as exc:
        if _O_NOFOLLOW and exc.errno in _LINK_ERRORS:
            raise NotPrivate("a symbolic link is in its place") from None
        raise
    try:
        st = os.fstat(fd)
        problem = file_problem(st)
        if problem is not None:
            raise NotPrivate(problem)
    except BaseException:
        os.close(fd)
        raise
    return fd, st


def read_private(path: str, limit: int) -> bytes:
    """The whole file at `path`, opened as `open_private` opens it. Raises
    NotPrivate (also for a file over `limit` bytes) or OSError."""
    fd, st = open_private(path)
    try:
        if st.st_size > limit:
            raise NotPrivate("it is larger than %d bytes" % limit)
        chunks = []
        left = limit + 1
        while left > 0:
            chunk = os.read(fd, min(left, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
    finally:
        os.close(fd)
    data = b"".join(chunks)
    if len(data) > limit:
        raise NotPrivate("it is larger than %d bytes" % limit)
    return data


def temporary_prefix(name: str) -> str:
    """The start of the names of the temporary files that become `name`."""
    return "." + name + "."


def is_temporary(name: str, of: str) -> bool:
    """Whether `name` is a temporary file of `NewFile` that would become
    the file named `of`."""
    return name.startswith(temporary_prefix(of)) and name.endswith(TEMPORARY_SUFFIX)


def remove_stale(folder: str, of: str, older_than: float = STALE_AFTER) -> int:
    """Removes the temporary files in `folder` of the file named `of` that
    are older than `older_than` seconds: what writers killed before their
    rename left. Returns how many; never raises."""
    now = time.time()
    removed = 0
    try:
        with os.scandir(folder) as it:
            for entry in it:
                if not is_temporary(entry.name, of):
                    continue
                with contextlib.suppress(OSError):
                    if now - entry.stat(follow_symlinks=False).st_mtime > older_than:
                        os.unlink(entry.path)
                        removed += 1
    except OSError:
        pass
    return removed


def random_part() -> str:
    """The random part of a temporary name: 12 hexadecimal digits from the
    system's random source."""
    return os.urandom(6).hex()


class NewFile:
    """A file that will replace `path` whole: a new temporary file beside it
    (`temporary`), open for writing as `fd` and created with `mode` (less
    the umask; 0600 keeps it the user's alone), in the same call that
    makes its random name (``O_CREAT | O_EXCL | O_NOFOLLOW``).

    Write through `fd` or through `file` (a buffered writer over it), then
    `commit`: the file is flushed, synced to disk when `sync`, closed and
    renamed over `path`. `close` does the same but leaves the finished file
    under its temporary name, for a caller that renames several files at
    once (`replace` later). `discard` removes it. As a context manager it
    commits when the block ends normally and discards on any exception.
    Raises OSError."""

    def __init__(self, path: str, mode: int = 0o600, sync: bool = False) -> None:
        self.path = path
        self.sync = sync
        folder, name = os.path.split(path)
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _O_NOFOLLOW | _O_CLOEXEC | _O_BINARY
        for _attempt in range(100):
            temporary = os.path.join(folder, temporary_prefix(name) + random_part() + TEMPORARY_SUFFIX)
            try:
                self.fd: int = os.open(temporary, flags, mode)
            except FileExistsError:
                continue
            break
        else:  # pragma: no cover - a hundred random names all taken
            raise FileExistsError(errno.EEXIST, "no free temporary name", path)
        self.temporary = temporary
        self._file: Optional[IO[bytes]] = None
        self._open = True

    @property
    def file(self) -> IO[bytes]:
        """A buffered binary writer over `fd` (flushed by `close`)."""
        if not self._open:
            raise ValueError("the file is closed")
        if self._file is None:
            self._file = os.fdopen(self.fd, "wb", closefd=False)
        return self._file

    def write(self, data: bytes) -> None:
        self.file.write(data)

    def close(self) -> os.stat_result:
        """Finishes the file under its temporary name (flushed, synced when
        `sync`, closed); returns its status. Raises OSError (the file is
        then discarded)."""
        if not self._open:
            raise ValueError("the file is closed")
        try:
            if self._file is not None:
                self._file.flush()
            if self.sync:
                os.fsync(self.fd)
            st = os.fstat(self.fd)
            # What is at the temporary name must still be this file: one that
            # someone renamed in there instead is never put in place. (Some
            # systems give an open file no inode number: nothing to compare.)
            at_name = os.lstat(self.temporary)
            if st.st_ino and (at_name.st_dev, at_name.st_ino) != (st.st_dev, st.st_ino):
                raise NotPrivate("its temporary file was replaced by another")
        except BaseException:
            self.discard()
            raise
        self._release()
        return st

    def commit(self) -> os.stat_result:
        """`close`, then renames the file over `path`; returns its status
        (a rename keeps it). Raises OSError (the file is then discarded)."""
        st = self.close()
        try:
            replace(self.temporary, self.path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(self.temporary)
            raise
        return st

    def discard(self) -> None:
        """Closes and removes the temporary file; never raises."""
        self._release()
        with contextlib.suppress(OSError):
            os.unlink(self.temporary)

    def _release(self) -> None:
        if self._file is not None:
            with contextlib.suppress(OSError, ValueError):
                self._file.close()  # closefd=False: the descriptor stays ours
            self._file = None
        if self._open:
            self._open = False
            with contextlib.suppress(OSError):
                os.close(self.fd)

    def __enter__(self) -> NewFile:
        return self

    def __exit__(self, kind: object, value: object, traceback: object) -> None:
        if kind is not None:
            self.discard()
        elif self._open:
            self.commit()


def replace(temporary: str, path: str) -> None:
    """Renames a finished temporary file over `path` in one step."""
    os.replace(temporary, path)


def sync_folder(path: str) -> None:
    """Makes the renames and new names in folder `path` durable, where the
    platform can open a folder; never raises."""
    try:
        fd = os.open(path, os.O_RDONLY | _O_DIRECTORY | _O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
