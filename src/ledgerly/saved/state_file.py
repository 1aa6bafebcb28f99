"""The state file: the engine's saved state with the host's own part.

A state file is the engine's checked file (docs/state-file.md) whose
*extra* bytes hold the host part:

    4   "LGH3"
    4   CRC-32 of the lengths, the header and the dialect table
    12  the header's length h, the dialect table's length d and the stat
        table's length t (uint32 each)
    h   the header, JSON: {"version": ..., "build": ..., "sources": [[path, dialect], ...]}
    d   the dialect table (`SniffCache.dump`)
    t   the stat table of the engine's last refresh (ledgerly.stat_table)
    the rest: the manifest of the engine's last refresh (UTF-8)

The header names the package version and the build of the native module
that wrote the state (a state is never used by another build: a parser fix
may change what a stored file yields without changing the format) and the
sources it was made for. The host part sits at a fixed place near the
start of the file (`read_state_head` says where), so that its checked
start is read on its own, before the engine loads the whole file. The
stat table and the manifest are read with the load, which checks them
with the rest of the file.

A state file is only ever read through the one descriptor its checks were
made on (`open_state`), and written through the descriptor of a new file
made in the same step as its name (`save_state`).
"""

from __future__ import annotations

import json
import os
import struct
import zlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from ledgerly.private_files import NewFile, NotPrivate, folder_problem, open_private, private_folder, remove_stale
from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source

if TYPE_CHECKING:
    from ledgerly.snapshot import Snapshot

_HOST_MAGIC = b"LGH3"
# magic, CRC-32 of the checked start, header length, dialect table length, stat table length
_HOST = struct.Struct("<4sIIII")
# More extra bytes than this is not a state this module wrote (a dialect
# table takes about 31 bytes a file, the manifest about 160).
_MAX_EXTRA = 1 << 30


class StateRefused(Exception):
    """A saved state that cannot be used; the message says why."""


def source_list(sources: Sequence[Source]) -> List[List[Optional[str]]]:
    return [[s.path, s.dialect] for s in sources]


_build: Optional[str] = None


def build_stamp() -> str:
    """What tells this build's states from other builds': the package
    version and the native module file's size and modification time."""
    global _build
    if _build is None:
        import ledgerly._ledger
        from ledgerly.version import __version__

        try:
            st = os.stat(ledgerly._ledger.__file__ or "")
            _build = "%s %d:%d" % (__version__, st.st_size, st.st_mtime_ns)
        except (OSError, TypeError):
            _build = __version__
    return _build


def encode_host(sources: Sequence[Source], sniffs: SniffCache, manifest: str, stats: Optional[bytes]) -> bytes:
    """The host part of a state file's extra bytes: `manifest` and `stats`
    are those of the engine's last refresh."""
    from ledgerly.version import __version__

    header = json.dumps(
        {"version": __version__, "build": build_stamp(), "sources": source_list(sources)},
        ensure_ascii=False,
        separators=(",", ":"),
    ).encode("utf-8", "surrogatepass")
    dialects = sniffs.dump()
    table = stats or b""
    checked = struct.pack("<III", len(header), len(dialects), len(table)) + header + dialects
    crc = struct.pack("<I", zlib.crc32(checked))
    return _HOST_MAGIC + crc + checked + table + manifest.encode("utf-8", "surrogatepass")


@dataclass(frozen=True)
class HostPart:
    """The host part: its header (version, build, sources), the dialect
    table, and the stat table and manifest of the engine's last refresh
    (None when only the checked start was read)."""

    header: Dict[str, Any]
    dialects: bytes
    manifest: Optional[str] = None
    stats: Optional[bytes] = None


def _lengths(start: bytes) -> Tuple[int, int, int, int]:
    """CRC, header, dialect table and stat table lengths from the host
    part's first bytes. Raises StateRefused."""
    if len(start) < _HOST.size or start[:4] != _HOST_MAGIC:
        raise StateRefused("the state file was not written by a ledger (its extra bytes are not a host part)")
    _magic, crc, header, dialects, stats = _HOST.unpack_from(start)
    return crc, header, dialects, stats


def decode_host(extra: bytes, checked_only: bool = False) -> HostPart:
    """The host part in `extra` (with `checked_only`: without the
    manifest, and without the stat table when `extra` ends before it).
    Raises StateRefused when it is not one this module wrote or is
    damaged."""
    crc, header_length, dialects_length, stats_length = _lengths(extra)
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
    stats = bytes(extra[end : end + stats_length]) if end + stats_length <= len(extra) else None
    if checked_only:
        return HostPart(header, dialects, None, stats)
    if stats is None:
        raise StateRefused("the state file is corrupt (its host part runs past its end)")
    try:
        manifest = extra[end + stats_length :].decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        raise StateRefused("the state file is corrupt (its manifest is not UTF-8)") from None
    return HostPart(header, dialects, manifest, stats)


def check_host(host: HostPart, sources: Sequence[Source]) -> None:
    """Raises StateRefused unless `host` was written by this build for `sources`."""
    from ledgerly.version import __version__

    if host.header.get("build") != build_stamp():
        version = host.header.get("version")
        if version != __version__:
            raise StateRefused("it was saved by ledgerly %s; this is %s" % (version, __version__))
        raise StateRefused("it was saved by another build of ledgerly %s" % __version__)
    if host.header.get("sources") != source_list(sources):
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


def folder_refusal(folder: str) -> Optional[str]:
    """Why the folder `folder` may not hold saved states, or None: it must
    be the user's own and writable by nobody else (one that does not exist
    yet is made so by the first save; one that cannot be looked at is
    left to the save, which says why it failed)."""
    try:
        st = os.stat(folder)
    except OSError:
        return None
    return folder_problem(st)


def open_state(path: str) -> Tuple[int, os.stat_result]:
    """The state file at `path`, open for reading and checked on the open
    descriptor (`ledgerly.private_files.open_private`): the one file that
    is then read, whatever is renamed in at `path` meanwhile. A file in a
    folder that others may write is not opened. Raises FileNotFoundError,
    StateRefused, OSError."""
    problem = folder_refusal(os.path.dirname(path))
    if problem is not None:
        raise StateRefused("its folder is not used: %s" % problem)
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
    _crc, header, dialects, _stats = _lengths(start)
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


def oserror_text(exc: OSError) -> str:
    """An OSError's text without its number and file name."""
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
        return False, refusal(exc)
    try:
        return restore_dialects_from(fd, sources, sniffs)
    finally:
        os.close(fd)


def refusal(exc: BaseException) -> str:
    """Why a state file that raised `exc` is not used."""
    return oserror_text(exc) if isinstance(exc, OSError) else str(exc)


def restore_dialects_from(fd: int, sources: Sequence[Source], sniffs: SniffCache) -> Tuple[bool, Optional[str]]:
    """`restore_dialects` from the state file open as `fd`."""
    try:
        head = head_of(fd)
        check_host(head.host, sources)
        sniffs.restore(head.host.dialects)
    except (OSError, StateRefused) as exc:
        return False, refusal(exc)
    except ValueError as exc:  # a dialect table that passed its CRC but not its own checks
        return False, "the state file is corrupt (%s)" % exc
    return True, None


def save_state(
    path: str, engine: Any, sources: Sequence[Source], sniffs: SniffCache, manifest: str, stats: Optional[bytes]
) -> Dict[str, int]:
    """Saves `engine`'s state, the dialects of `sniffs`, and `manifest` and
    `stats` (the engine's last refresh's) at `path`: into a new file (mode 0600) renamed
    into place (`ledgerly.private_files.NewFile`). The folder is made (mode
    0700) when missing; one that others may write is refused. Raises
    OSError (`ledgerly.private_files.NotPrivate` for such a folder)."""
    folder = private_folder(os.path.dirname(path))
    remove_stale(folder, os.path.basename(path))
    new = NewFile(path)
    try:
        summary: Dict[str, int] = engine.save(new.fd, encode_host(sources, sniffs, manifest, stats))
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


def save_rows(
    path: str,
    saved: Dict[str, int],
    snapshot: Snapshot,
    sources: Sequence[Source],
    manifest: str,
    stats: Optional[bytes],
) -> None:
    """Saves beside the state file `path`, just saved as `save_state`
    described it (`saved`), the rows of `snapshot`, the refresh that gave
    `manifest` and `stats` (ledgerly.saved.rows_file). Raises OSError."""
    from ledgerly.saved.rows_file import rows_path, write_rows

    target = rows_path(path)
    remove_stale(os.path.dirname(target), os.path.basename(target))
    state = [saved["inode"], saved["size"], saved["mtime_ns"]]
    write_rows(target, snapshot, manifest, build_stamp(), source_list(sources), state, stats)
