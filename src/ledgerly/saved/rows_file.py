"""The rows file: the rows of a saved state's last refresh, kept beside it.

A command whose logs did not change since the state was saved needs
nothing from the engine but the rows it would export. Loading the engine
and exporting again costs about as much as the rest of such a command
together, so every save also writes those rows (the snapshot of the
refresh whose manifest the state keeps) to ``<key>.rows`` next to
``<key>.state``. A ledger whose first listing gives the manifest that the
rows file names takes its snapshot from the file, mapped into memory and
viewed without a copy, and loads the engine only if it is asked for more
(a second refresh, or a save).

The file names the build and the sources it was made for, the SHA-256 of
the manifest whose export it holds and of that listing's stat table
(`manifest_digest`), and the state file saved with it (its inode, size and
modification time), so it answers only a listing that gives that same
manifest with every file's status as it was, and only beside that very
state file: a state
file written to since (damaged) or replaced (by another command's save) is
loaded, and refused or used, as it would be without a rows file.

    8   "LGROWS1\\n"
    4   the header's length h (uint32)
    4   CRC-32 of everything after these 16 bytes
    8   the body's length b (a multiple of 8)
    h   the header, JSON: {"build", "sources", "state" (the state file's
        inode, size and mtime in ns), "manifest" (hex SHA-256 of the manifest and the stat table), "rows",
        "models", "projects", "files", "scan"}
        then zeros up to a multiple of 64 bytes from the file's start
    b   the body: the engine's attributed row buffer (rows records, then
        rows file indexes), then zeros up to a multiple of 8

All numbers are little-endian. A file that is short, long, damaged or made
for anything else is not used (the ledger loads the state as it would
without it), and its indexes are checked against its tables before any row
is looked at, so a damaged file can neither give another answer nor fail a
command.
"""

from __future__ import annotations

import hashlib
import json
import os
import struct
import zlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Sequence, Tuple, Union

from ledgerly.codes import TIER_NAMES
from ledgerly.private_files import NewFile, NotPrivate, open_private

if TYPE_CHECKING:
    import numpy as np

    from ledgerly.snapshot import Snapshot

ROWS_SUFFIX = ".rows"
_MAGIC = b"LGROWS1\n"
# magic, header length, CRC-32 of everything after these 16 bytes, body length
_HEAD = struct.Struct("<8sIIQ")
_ALIGN = 64
# A header takes about 100 bytes a log file; more than this is not ours.
_MAX_HEADER = 1 << 30
# The scan fields that describe the refresh itself, not the state: a loaded
# engine's refresh of an unchanged manifest reports them as nothing done.
_PER_REFRESH = {"appended": 0, "bytes_read": 0, "changed": 0, "rebuilt": 0, "removed": 0, "updated": False}


def _row_bytes() -> int:
    """A row in the body: its record and its file index (ledgerly.layout,
    which imports numpy: asked when a rows file is written or read, never
    when the package is imported)."""
    from ledgerly.layout import FILE_INDEX_DTYPE, RECORD_SIZE

    return RECORD_SIZE + FILE_INDEX_DTYPE.itemsize


def rows_path(state: str) -> str:
    """The rows file that goes with the state file `state` (``<key>.state``)."""
    base, extension = os.path.splitext(state)
    return (base if extension == ".state" else state) + ROWS_SUFFIX


def manifest_digest(manifest: str, stats: Optional[bytes] = None) -> str:
    """What names the listing a rows file answers: its manifest and, when
    known, its stat table (a log rewritten in place with its size and time
    kept has the same manifest, but not the same stat table)."""
    digest = hashlib.sha256(manifest.encode("utf-8", "surrogatepass"))
    if stats:
        digest.update(b"\0")
        digest.update(stats)
    return digest.hexdigest()


def write_rows(
    path: str,
    snapshot: Snapshot,
    manifest: str,
    build: str,
    sources: Sequence[Sequence[Any]],
    state: Sequence[int],
    stats: Optional[bytes] = None,
) -> None:
    """Writes the rows of `snapshot` (the refresh that gave `manifest` and
    `stats`) to
    `path`, for the state file whose `ledgerly.saved.state_file.file_identity` is
    `state`: into a new file (mode 0600) renamed into place
    (`ledgerly.private_files.NewFile`). Raises OSError. Does nothing for a snapshot that has no
    attributed buffer or whose refresh could not read some file (a loaded
    engine would try that file again)."""
    if snapshot.file_index is None or snapshot.scan.get("errors"):
        return
    count = len(snapshot.rows)
    body = memoryview(snapshot.buffer).cast("B")
    if body.nbytes != count * _row_bytes():
        return
    padding = -body.nbytes % 8
    scan = dict(snapshot.scan)
    scan.update(_PER_REFRESH)
    header = json.dumps(
        {
            "build": build,
            "sources": [list(s) for s in sources],
            "state": list(state),
            "manifest": manifest_digest(manifest, stats),
            "rows": count,
            "models": list(snapshot.models),
            "projects": list(snapshot.projects),
            "files": list(snapshot.files),
            "scan": scan,
        },
        ensure_ascii=False,
        separators=(",", ":"),
    ).encode("utf-8", "surrogatepass")
    gap = -(_HEAD.size + len(header)) % _ALIGN
    length = struct.pack("<Q", body.nbytes + padding)
    crc = zlib.crc32(length)
    for part in (header, bytes(gap), body, bytes(padding)):
        crc = zlib.crc32(part, crc)
    head = _HEAD.pack(_MAGIC, len(header), crc, body.nbytes + padding)
    with NewFile(path) as new:
        out = new.file
        out.write(head)
        out.write(header)
        out.write(bytes(gap))
        out.write(body)
        out.write(bytes(padding))


@dataclass(frozen=True)
class SavedRows:
    """A rows file checked and mapped: its header and its body's views."""

    manifest: str  # hex SHA-256 of the manifest it answers
    models: Tuple[str, ...]
    projects: Tuple[str, ...]
    files: Tuple[str, ...]
    scan: Mapping[str, Any]
    buffer: memoryview
    rows: np.ndarray
    file_index: np.ndarray


class RowsRefused(Exception):
    """A rows file that is not used; the message says why."""


def read_rows(path: str, build: str, sources: Sequence[Sequence[Any]], state: Sequence[int]) -> SavedRows:
    """Checks the rows file at `path` for this build, `sources` and the
    state file whose identity is `state`, and maps it. Raises
    FileNotFoundError when there is none, RowsRefused (with the reason) or
    OSError when it cannot be used."""
    try:
        fd, st = open_private(path)
    except NotPrivate as exc:
        raise RowsRefused(str(exc)) from None
    try:
        start = os.pread(fd, _HEAD.size, 0) if hasattr(os, "pread") else os.read(fd, _HEAD.size)
        if len(start) < _HEAD.size:
            raise RowsRefused("it is truncated")
        magic, header_length, crc, body_length = _HEAD.unpack(start)
        if magic != _MAGIC:
            raise RowsRefused("it is not a rows file")
        offset = _HEAD.size + header_length
        offset += -offset % _ALIGN
        if header_length > _MAX_HEADER or body_length % 8 or st.st_size != offset + body_length:
            raise RowsRefused("it is truncated or corrupt (its lengths do not match its size)")
        data = _map(fd, st.st_size)
    finally:
        os.close(fd)
    view = memoryview(data)
    if zlib.crc32(view[16:]) != crc:
        raise RowsRefused("it is corrupt (checksum mismatch)")
    if any(view[_HEAD.size + header_length : offset]):
        raise RowsRefused("it is corrupt (its padding is not zeros)")
    header_bytes = view[_HEAD.size : _HEAD.size + header_length]
    try:
        header = json.loads(bytes(header_bytes).decode("utf-8", "surrogatepass"))
    except ValueError:
        raise RowsRefused("it is corrupt (its header is not JSON)") from None
    if not isinstance(header, dict):
        raise RowsRefused("it is corrupt (its header is not an object)")
    if header.get("build") != build or header.get("sources") != [list(s) for s in sources]:
        raise RowsRefused("it was saved by another build or for other sources")
    if header.get("state") != list(state):
        raise RowsRefused("it was saved with another state file")
    count = header.get("rows")
    tables = [header.get(k) for k in ("models", "projects", "files")]
    scan = header.get("scan")
    digest = header.get("manifest")
    row = _row_bytes()
    if (
        not isinstance(count, int)
        or isinstance(count, bool)
        or count < 0
        or not all(isinstance(t, list) and all(isinstance(s, str) for s in t) for t in tables)
        or not isinstance(scan, dict)
        or not isinstance(digest, str)
        or body_length != count * row + (-(count * row) % 8)
    ):
        raise RowsRefused("it is corrupt (its header does not describe its body)")
    body = view[offset : offset + body_length]
    from ledgerly.layout import view_attributed, words

    rows, file_index = view_attributed(body[: count * row], count)
    models, projects, files = (tuple(t) for t in tables if isinstance(t, list))
    if count:
        # model, project, kind, subagent, tier: each within what it indexes.
        peaks = words(rows)[:, 1:6].view("<u8").max(axis=0)
        limits = (len(models), len(projects), 2, 2, len(TIER_NAMES))
        if any(int(p) >= limit for p, limit in zip(peaks, limits)) or int(file_index.max()) >= len(files):
            raise RowsRefused("it is corrupt (an index beyond its table)")
    scan_map: Dict[str, Any] = scan
    return SavedRows(digest, models, projects, files, scan_map, body[: count * row], rows, file_index)


def _map(fd: int, size: int) -> Union[bytes, Any]:
    """The whole file, mapped read-only where a mapped file can still be
    replaced by a rename (POSIX systems); read into memory elsewhere."""
    if size == 0:
        return b""
    if os.name != "nt":
        import mmap

        return mmap.mmap(fd, size, access=mmap.ACCESS_READ)
    chunks = []
    got = 0
    while got < size:
        chunk = os.read(fd, min(size - got, 1 << 24))
        if not chunk:
            raise RowsRefused("it is truncated")
        chunks.append(chunk)
        got += len(chunk)
    return b"".join(chunks)
