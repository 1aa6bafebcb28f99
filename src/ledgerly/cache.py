"""Saved engine states: where a ledger's state waits between two commands.

A `Ledger` given a state file (`Ledger(sources, state=state_path(sources))`)
starts from the state saved there, so that a command run a minute after
another reads only what changed since, and saves the state again when it
changed. One file per set of sources, in the cache folder:
``$LEDGERLY_CACHE_DIR`` when set, otherwise the user cache folder that
platformdirs names for ledgerly (``~/.cache/ledgerly`` on Linux).

A state file is the engine's own checked file (docs/state-file.md) whose
*extra* bytes hold this module's part, the host part:

    4   "LGH2"
    4   CRC-32 of the next three fields
    8   the header's length h and the dialect table's length d (uint32 each)
    h   the header, JSON: {"version": ..., "build": ..., "sources": [[path, dialect], ...]}
    d   the dialect table (`SniffCache.dump`)
    the rest: the manifest of the engine's last refresh (UTF-8)

The header names the package version and the build of the native module
that wrote the state (a state is never used by another build: a parser fix
may change what a stored file yields without changing the format) and the
sources it was made for. The host part sits at a fixed place near the
start of the file, so its checked start is read on its own while the
engine loads the whole file on another thread: the listing, which needs
the dialects, runs meanwhile. The same thread then waits for the
listing's manifest and refreshes the loaded engine with it, forced: one
export, whether files changed since the save or not. Every save also
writes the rows of that refresh beside the state (ledgerly.rows_file);
when the listing's manifest is the one they were exported for, they are
the answer, and the loaded engine is refreshed only if asked for more.

Files are written to a temporary file in the same folder and renamed into
place, so a reader never sees half a file. Commands that run at the same
time each load, refresh and save on their own: the last one to save wins,
and every answer is correct whichever state it started from.
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import json
import os
import struct
import threading
import time
import zlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ledgerly.codes import ENV_CACHE_DIR, ENV_NO_CACHE
from ledgerly.private_files import TEMPORARY_SUFFIX, NewFile, NotPrivate, open_private, private_folder, remove_stale
from ledgerly.rows_file import ROWS_SUFFIX
from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source

if TYPE_CHECKING:
    from ledgerly.ledger import Snapshot
    from ledgerly.rows_file import SavedRows

STATE_SUFFIX = ".state"

_HOST_MAGIC = b"LGH2"
# magic, CRC-32 of what follows up to the manifest, header length, dialect table length
_HOST = struct.Struct("<4sIII")
# More extra bytes than this is not a state this module wrote (a dialect
# table takes about 31 bytes a file, the manifest about 160).
_MAX_EXTRA = 1 << 30


class StateRefused(Exception):
    """A saved state that cannot be used; the message says why."""


def cache_dir(environ: Optional[Mapping[str, str]] = None) -> str:
    """The folder of the saved states (not created)."""
    environ = os.environ if environ is None else environ
    explicit = environ.get(ENV_CACHE_DIR)
    if explicit:
        return os.path.abspath(os.path.expanduser(explicit))
    from platformdirs import user_cache_dir

    return user_cache_dir("ledgerly", appauthor=False)


def cache_disabled(environ: Optional[Mapping[str, str]] = None) -> bool:
    """Whether LEDGERLY_NO_CACHE asks for cold reads (any value but empty,
    0, false, no or off)."""
    environ = os.environ if environ is None else environ
    return environ.get(ENV_NO_CACHE, "").strip().lower() not in ("", "0", "false", "no", "off")


def _source_list(sources: Sequence[Source]) -> List[List[Optional[str]]]:
    return [[s.path, s.dialect] for s in sources]


def state_path(sources: Sequence[Source], folder: Optional[str] = None) -> str:
    """The state file of `sources` (in order, with their forced dialects:
    everything that shapes the manifest) in `folder` (default: `cache_dir()`)."""
    text = json.dumps(_source_list(sources), ensure_ascii=False, separators=(",", ":"))
    key = hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:32]
    return os.path.join(folder if folder is not None else cache_dir(), key + STATE_SUFFIX)


_build: Optional[str] = None


def build_stamp() -> str:
    """What tells this build's states from other builds': the package
    version and the native module file's size and modification time."""
    global _build
    if _build is None:
        from ledgerly import __version__, _ledger

        try:
            st = os.stat(_ledger.__file__ or "")
            _build = "%s %d:%d" % (__version__, st.st_size, st.st_mtime_ns)
        except (OSError, TypeError):
            _build = __version__
    return _build


def encode_host(sources: Sequence[Source], sniffs: SniffCache, manifest: str) -> bytes:
    """The host part of a state file's extra bytes."""
    from ledgerly import __version__

    header = json.dumps(
        {"version": __version__, "build": build_stamp(), "sources": _source_list(sources)},
        ensure_ascii=False,
        separators=(",", ":"),
    ).encode("utf-8", "surrogatepass")
    dialects = sniffs.dump()
    checked = struct.pack("<II", len(header), len(dialects)) + header + dialects
    return _HOST_MAGIC + struct.pack("<I", zlib.crc32(checked)) + checked + manifest.encode("utf-8", "surrogatepass")


@dataclass(frozen=True)
class HostPart:
    """The host part: its header (version, build, sources), the dialect
    table, and the manifest of the engine's last refresh (None when only
    the checked start was read)."""

    header: Dict[str, Any]
    dialects: bytes
    manifest: Optional[str] = None


def _lengths(start: bytes) -> Tuple[int, int, int]:
    """CRC, header length and dialect table length from the host part's
    first 16 bytes. Raises StateRefused."""
    if len(start) < _HOST.size or start[:4] != _HOST_MAGIC:
        raise StateRefused("the state file was not written by a ledger (its extra bytes are not a host part)")
    _magic, crc, header, dialects = _HOST.unpack_from(start)
    return crc, header, dialects


def decode_host(extra: bytes, checked_only: bool = False) -> HostPart:
    """The host part in `extra` (with `checked_only`: its checked start
    alone, without the manifest). Raises StateRefused when it is not one
    this module wrote or is damaged."""
    crc, header_length, dialects_length = _lengths(extra)
    end = _HOST.size + header_length + dialects_length
    if end > len(extra):
        raise StateRefused("the state file is corrupt (its host part runs past its end)")
    if zlib.crc32(memoryview(extra)[8:end]) != crc:
        raise StateRefused("the state file is corrupt (checksum mismatch)")
    try:
        header = json.loads(extra[_HOST.size : _HOST.size + header_length].decode("utf-8", "surrogatepass"))
    except ValueError:
        raise StateRefused("the state file is corrupt (its header is not JSON)") from None
    if not isinstance(header, dict):
        raise StateRefused("the state file is corrupt (its header is not an object)")
    dialects = extra[_HOST.size + header_length : end]
    if checked_only:
        return HostPart(header, dialects)
    try:
        manifest = extra[end:].decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        raise StateRefused("the state file is corrupt (its manifest is not UTF-8)") from None
    return HostPart(header, dialects, manifest)


def check_host(host: HostPart, sources: Sequence[Source]) -> None:
    """Raises StateRefused unless `host` was written by this build for `sources`."""
    from ledgerly import __version__

    if host.header.get("build") != build_stamp():
        version = host.header.get("version")
        if version != __version__:
            raise StateRefused("it was saved by ledgerly %s; this is %s" % (version, __version__))
        raise StateRefused("it was saved by another build of ledgerly %s" % __version__)
    if host.header.get("sources") != _source_list(sources):
        raise StateRefused("it was saved for other sources")


@dataclass(frozen=True)
class Head:
    """What the start of a state file says, unchecked except for the host
    part's CRC: the engine's counts and the host part."""

    files: int
    rows: int
    host: HostPart


def read_head(path: str) -> Head:
    """Reads the start of the state file at `path` (the engine's header and
    the extra bytes) without loading it. Raises FileNotFoundError when
    there is none, StateRefused for a file that is not usable (with the
    reason), OSError for a file that cannot be read."""
    fd, _st = open_state(path)
    try:
        return head_of(fd)
    finally:
        os.close(fd)


def open_state(path: str) -> Tuple[int, os.stat_result]:
    """The state file at `path`, open for reading and checked on the open
    descriptor (`ledgerly.private_files.open_private`): the one file that
    is then read, whatever is renamed in at `path` meanwhile. Raises
    FileNotFoundError, StateRefused, OSError."""
    try:
        return open_private(path)
    except NotPrivate as exc:
        raise StateRefused(str(exc)) from None


def head_of(fd: int) -> Head:
    """`read_head` of the state file open as `fd` (read at its offsets)."""
    from ledgerly._ledger import read_state_head

    try:
        head = read_state_head(fd)
    except ValueError as exc:
        raise StateRefused(str(exc)) from None
    offset, length = head["extra_offset"], head["extra_size"]
    if length > _MAX_EXTRA:
        raise StateRefused("the state file is truncated or corrupt (its extra bytes run past its end)")
    start = _read_at(fd, min(_HOST.size, length), offset)
    _crc, header, dialects = _lengths(start)
    if _HOST.size + header + dialects > length:
        raise StateRefused("the state file is corrupt (its host part runs past its end)")
    start += _read_at(fd, header + dialects, offset + len(start))
    return Head(head["files"], head["rows"], decode_host(start, checked_only=True))


def _read_at(fd: int, size: int, offset: int) -> bytes:
    data = b""
    while len(data) < size:
        if hasattr(os, "pread"):
            chunk = os.pread(fd, size - len(data), offset + len(data))
        else:  # pragma: no cover - Windows
            os.lseek(fd, offset + len(data), os.SEEK_SET)
            chunk = os.read(fd, size - len(data))
        if not chunk:
            raise StateRefused("the state file is truncated")
        data += chunk
    return data


def _oserror_text(exc: OSError) -> str:
    return exc.strerror or str(exc)


def restore_dialects(path: str, sources: Sequence[Source], sniffs: SniffCache) -> Tuple[bool, Optional[str]]:
    """Restores into `sniffs` the dialects kept in the state file at `path`
    (without loading the engine's part). Returns whether the file is usable
    as far as its start tells, and the reason when a file is there but is
    not (None when there is no file)."""
    try:
        fd, _st = open_state(path)
    except FileNotFoundError:
        return False, None  # nothing saved yet
    except (OSError, StateRefused) as exc:
        return False, _refusal(exc)
    try:
        return _restore_dialects(fd, sources, sniffs)
    finally:
        os.close(fd)


def _refusal(exc: BaseException) -> str:
    return _oserror_text(exc) if isinstance(exc, OSError) else str(exc)


def _restore_dialects(fd: int, sources: Sequence[Source], sniffs: SniffCache) -> Tuple[bool, Optional[str]]:
    """`restore_dialects` from the state file open as `fd`."""
    try:
        head = head_of(fd)
        check_host(head.host, sources)
        sniffs.restore(head.host.dialects)
    except (OSError, StateRefused) as exc:
        return False, _refusal(exc)
    except ValueError as exc:  # a dialect table that passed its CRC but not its own checks
        return False, "the state file is corrupt (%s)" % exc
    return True, None


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
            self.refused = _refusal(exc)
            return
        usable, self.refused = _restore_dialects(self._fd, self.sources, sniffs)
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
        from ledgerly.rows_file import RowsRefused, read_rows, rows_path

        # Any rows file that cannot be used is left alone: the engine's
        # export answers instead, and the next save replaces the file. One
        # written for another state file than the one here is not used
        # either, so that a state damaged or replaced since is loaded (and
        # refused, or adopted) as it would be without a rows file.
        if self.identity is None:
            return
        with contextlib.suppress(OSError, RowsRefused, ValueError):
            self._rows = read_rows(rows_path(self.path), build_stamp(), _source_list(self.sources), self.identity)

    def saved_rows(self, manifest: str) -> Optional[SavedRows]:
        """The rows file's rows when it holds the export of `manifest`: what
        the loaded engine's refresh with `manifest` would give, without the
        refresh. The restore itself goes on (`finish` still ends it)."""
        if self._rows_thread is None:
            return None
        self._rows_thread.join()
        rows = self._rows
        if rows is None:
            return None
        from ledgerly.rows_file import manifest_digest

        return rows if rows.manifest == manifest_digest(manifest) else None

    def _work(self) -> None:
        try:
            try:
                loaded = self._engine.load(self._fd)
            finally:
                os.close(self._fd)
            # The host part as the engine's checksum vouches for it.
            check_host(decode_host(loaded["extra"], checked_only=True), self.sources)
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
            self.result = self._engine.refresh(manifest, self.workers, True)
        except BaseException as exc:
            self._refresh_error = exc

    def detach(self) -> None:
        """Lets the thread end once the engine is loaded, without waiting
        for a manifest: `finish` then refreshes on its caller's thread."""
        self._detached = True
        self._given.set()

    def finish(self, manifest: Optional[str]) -> Optional[Any]:
        """Hands the thread `manifest` (None: no refresh) and waits for it;
        returns the loaded engine (its refresh in `result`), or None (with
        `refused` set when a file was there but could not be used)."""
        if self._thread is None:
            return None
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
            self.refused = _oserror_text(error)
            return None
        if isinstance(error, (ValueError, StateRefused)):
            self.refused = str(error)
            return None
        if error is not None:
            raise error
        if self._refresh_error is not None:
            raise self._refresh_error
        return self._engine


# A one-shot command that changed the state saves it unless the saved file
# is younger than RESAVE_AFTER seconds and what the next command would read
# again is under 1/SAVE_FRACTION of the file's size. Saving costs about as
# much as reading the file's size once; a status line called every few
# seconds while logs grow thus rewrites the state at most once a minute (or
# when much was read), not on every call. A cold read always saves.
SAVE_FRACTION = 16
RESAVE_AFTER = 60.0


def worth_saving(redo: int, saved_bytes: int, age: float) -> bool:
    """Whether a one-shot command saves the state it changed: `redo` is what
    the next command would read again otherwise (what this one read since
    the state was saved, and `ledgerly.codes.REDO_PER_FILE` for each file
    whose dialect it recognised or whose removal it saw), `saved_bytes`
    the saved file's size (0 when there was none), `age` its age in seconds."""
    return saved_bytes == 0 or age >= RESAVE_AFTER or redo * SAVE_FRACTION >= saved_bytes


def save_state(path: str, engine: Any, sources: Sequence[Source], sniffs: SniffCache, manifest: str) -> Dict[str, int]:
    """Saves `engine`'s state, the dialects of `sniffs` and `manifest` (the
    engine's last refresh's) at `path`: into a new file (mode 0600) renamed
    into place (`ledgerly.private_files.NewFile`). The folder is made (mode
    0700) when missing; one that others may write is refused. Raises
    OSError (`ledgerly.private_files.NotPrivate` for such a folder)."""
    folder = private_folder(os.path.dirname(path))
    remove_stale(folder, os.path.basename(path))
    new = NewFile(path)
    try:
        summary: Dict[str, int] = engine.save(new.fd, encode_host(sources, sniffs, manifest))
    except BaseException:
        new.discard()
        raise
    # What tells this very file from any other at `path` (a rename keeps it).
    summary.update(zip(("inode", "size", "mtime_ns"), file_identity(new.commit())))
    return summary


def file_identity(st: os.stat_result) -> List[int]:
    """A saved file's inode, size and modification time: any write to it,
    or another file renamed into its place, changes them."""
    return [st.st_ino, st.st_size, st.st_mtime_ns]


def save_rows(path: str, saved: Dict[str, int], snapshot: Snapshot, sources: Sequence[Source], manifest: str) -> None:
    """Saves beside the state file `path`, just saved as `save_state`
    described it (`saved`), the rows of `snapshot`, the refresh that gave
    `manifest` (ledgerly.rows_file). Raises OSError."""
    from ledgerly.rows_file import rows_path, write_rows

    target = rows_path(path)
    remove_stale(os.path.dirname(target), os.path.basename(target))
    state = [saved["inode"], saved["size"], saved["mtime_ns"]]
    write_rows(target, snapshot, manifest, build_stamp(), _source_list(sources), state)


# ---------------------------------------------------------------------------
# What `ledgerly cache` shows and clears


@dataclass(frozen=True)
class StateInfo:
    """One file in the cache folder, as `ledgerly cache` shows it. `files`,
    `rows` and `sources` come from the file's start without loading it;
    `problem` is why it would not be used (as far as its start tells), or
    None; `bytes` counts the state file and the rows file beside it."""

    path: str
    bytes: int
    saved_at: float
    files: Optional[int]
    rows: Optional[int]
    sources: Tuple[Tuple[str, Optional[str]], ...]
    version: Optional[str]
    problem: Optional[str]
    rows_file_bytes: int = 0  # of the rows file beside it (included in `bytes`)

    def to_dict(self) -> Dict[str, Any]:
        return {
            "path": self.path,
            "bytes": self.bytes,
            "saved_at": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(self.saved_at)),
            "files": self.files,
            "rows": self.rows,
            "sources": [{"path": p, "dialect": d} for p, d in self.sources],
            "version": self.version,
            "problem": self.problem,
            "rows_file_bytes": self.rows_file_bytes,
        }


def _is_temporary(name: str) -> bool:
    # The temporary files of `save_state` and `save_rows`: ".<file name>.<random>.tmp"
    return (
        name.startswith(".")
        and name.endswith(TEMPORARY_SUFFIX)
        and (STATE_SUFFIX + "." in name or ROWS_SUFFIX + "." in name)
    )


def _is_ours(name: str) -> bool:
    return name.endswith(STATE_SUFFIX) or name.endswith(ROWS_SUFFIX) or _is_temporary(name)


def list_states(folder: Optional[str] = None) -> Tuple[List[StateInfo], int]:
    """The state files in `folder` (default: `cache_dir()`), by path, and
    the number of temporary files left by saves that did not finish."""
    folder = folder if folder is not None else cache_dir()
    states: List[StateInfo] = []
    temporary = 0
    try:
        with os.scandir(folder) as it:
            entries = sorted(it, key=lambda e: e.name)
    except FileNotFoundError:
        return states, 0
    rows_files = {}
    for entry in entries:
        if entry.name.endswith(ROWS_SUFFIX) and not _is_temporary(entry.name):
            with contextlib.suppress(OSError):
                rows_files[entry.name[: -len(ROWS_SUFFIX)]] = entry.stat().st_size
    for entry in entries:
        if not _is_ours(entry.name) or entry.name.endswith(ROWS_SUFFIX):
            continue
        if _is_temporary(entry.name):
            temporary += 1
            continue
        info = _describe(entry)
        extra = rows_files.get(entry.name[: -len(STATE_SUFFIX)], 0)
        states.append(dataclasses.replace(info, bytes=info.bytes + extra, rows_file_bytes=extra))
    return states, temporary


def _describe(entry: os.DirEntry[str]) -> StateInfo:
    try:
        st = entry.stat()
        size, saved = st.st_size, st.st_mtime
    except OSError:
        size, saved = 0, 0.0
    try:
        head = read_head(entry.path)
    except (OSError, StateRefused) as exc:
        reason = _oserror_text(exc) if isinstance(exc, OSError) else str(exc)
        return StateInfo(entry.path, size, saved, None, None, (), None, reason)
    header = head.host.header
    raw = header.get("sources")
    sources: Tuple[Tuple[str, Optional[str]], ...] = ()
    if isinstance(raw, list):
        sources = tuple(
            (str(s[0]), s[1] if isinstance(s[1], str) else None) for s in raw if isinstance(s, list) and len(s) == 2
        )
    problem: Optional[str] = None
    try:
        check_host(head.host, [Source(p, d) for p, d in sources])
    except (StateRefused, ValueError) as exc:
        problem = str(exc)
    version = header.get("version")
    return StateInfo(
        entry.path, size, saved, head.files, head.rows, sources, version if isinstance(version, str) else None, problem
    )


def clear_states(folder: Optional[str] = None) -> Tuple[int, int]:
    """Removes the state files and leftover temporary files in `folder`
    (default: `cache_dir()`); nothing else there is touched. Returns how
    many files and bytes were removed. Raises OSError."""
    folder = folder if folder is not None else cache_dir()
    removed = freed = 0
    try:
        with os.scandir(folder) as it:
            entries = list(it)
    except FileNotFoundError:
        return 0, 0
    for entry in entries:
        if not _is_ours(entry.name) or entry.is_dir(follow_symlinks=False):
            continue
        try:
            size = entry.stat(follow_symlinks=False).st_size
            os.unlink(entry.path)
        except FileNotFoundError:
            continue
        removed += 1
        freed += size
    return removed, freed
