"""The rows file: the rows of a saved state's last refresh, kept beside it.

A command whose logs did not change since the state was saved needs
nothing from the engine but the rows it would export. Loading the engine
and exporting again costs about as much as the rest of such a command
together, so every save also writes those rows (the snapshot of the
refresh whose manifest the state keeps) to ``<key>.rows`` next to
``<key>.state``. A ledger whose first listing gives the manifest that the
rows file names takes its snapshot from the file, mapped into memory and
viewed without a copy, and never loads the engine unless it is asked for
more (a second refresh, or a save). A ledger whose logs did change starts
from these rows too: they are the selection of the saved state, in export
order, which is how a loaded engine numbers it, so the engine's first
delta (`ledgerly._ledger.Engine.delta`) holds only what changed.

The file names the build and the sources it was made for, the SHA-256 of
the manifest whose export it holds and of that listing's stat table
(`manifest_digest`), and the state file saved with it (its inode, size and
modification time), so it answers only a listing that gives that same
manifest with every file's status as it was, and only beside that very
state file: a state file written to since (damaged) or replaced (by
another command's save) is loaded, and refused or used, as it would be
without a rows file.

    8   "LGROWS2\\n"
    4   the header's length h (uint32)
    4   CRC-32 of everything after these 16 bytes
    8   the body's length b (a multiple of 8)
    h   the header, JSON: {"build", "sources", "state" (the state file's
        inode, size and mtime in ns), "manifest" (hex SHA-256 of the
        manifest and the stat table), "rows",
        "models", "projects", "files", "scan", "columns"}
        then zeros up to a multiple of 64 bytes from the file's start
    b   the body: the rows' columns (`ledgerly.columns`), one after the
        other, each as "columns" names it ([name, numpy type], in order)
        and padded with zeros to a multiple of 8 bytes

The rows stand in export order; their `file` and `place` columns index
"files". All numbers are little-endian. A file that is short, long,
damaged or made for anything else is not used (the ledger loads the state
as it would without it), and its indexes are checked against its tables
before any row is looked at, so a damaged file can neither give another
answer nor fail a command.
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
    from ledgerly.columns import Rows
    from ledgerly.snapshot import Snapshot

ROWS_SUFFIX = ".rows"
_MAGIC = b"LGROWS2\n"
# magic, header length, CRC-32 of everything after these 16 bytes, body length
_HEAD = struct.Struct("<8sIIQ")
_ALIGN = 64
# A header takes about 100 bytes a log file; more than this is not ours.
_MAX_HEADER = 1 << 30
# The scan fields that describe the refresh itself, not the state: a loaded
# engine's refresh of an unchanged manifest reports them as nothing done.
_PER_REFRESH = {"appended": 0, "bytes_read": 0, "changed": 0, "rebuilt": 0, "removed": 0, "updated": False}


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
    `stats`) to `path`, in export order, for the state file whose
    `ledgerly.saved.state_file.file_identity` is `state`: into a new file (mode 0600)
    renamed into place (`ledgerly.private_files.NewFile`). Raises OSError.
    Does nothing for a snapshot made without the engine or whose refresh
    could not read some file (a loaded engine would try that file again)."""
    import numpy as np

    from ledgerly.columns import FIELDS, width_for

    names = snapshot.file_names
    if names is None or snapshot.scan.get("errors"):
        return
    rows = snapshot.rows
    # Rows kept in export order are written as they lie; others through one
    # permutation, a column at a time, so that only one column is ever
    # copied at once.
    order = None if snapshot.in_order else snapshot.export_order()
    # The files the rows name (their own and where they stand), by path.
    size = max(len(names), 1)
    counts = np.bincount(rows.column("file", False), minlength=size)
    counts += np.bincount(rows.column("place", False), minlength=size)
    by_path = sorted(np.flatnonzero(counts).tolist(), key=lambda i: names[i])
    renumber = np.zeros(max(len(names), 1), dtype=np.int64)
    renumber[np.array(by_path, dtype=np.intp)] = np.arange(len(by_path), dtype=np.int64)
    file_width = width_for("file", 0, max(len(by_path) - 1, 0))

    def column(name: str) -> np.ndarray:
        values = rows.column(name, False)
        if order is not None:
            values = values[order]
        if name in ("file", "place"):
            values = renumber[values].astype(file_width)
        return np.ascontiguousarray(values)

    widths = [file_width.str if name in ("file", "place") else rows.width(name).str for name in FIELDS]
    scan = dict(snapshot.scan)
    scan.update(_PER_REFRESH)
    header = json.dumps(
        {
            "build": build,
            "sources": [list(s) for s in sources],
            "state": list(state),
            "manifest": manifest_digest(manifest, stats),
            "rows": len(rows),
            "models": list(snapshot.models),
            "projects": list(snapshot.projects),
            "files": [names[i] for i in by_path],
            "scan": scan,
            "columns": [[name, width] for name, width in zip(FIELDS, widths)],
        },
        ensure_ascii=False,
        separators=(",", ":"),
    ).encode("utf-8", "surrogatepass")
    gap = -(_HEAD.size + len(header)) % _ALIGN
    body = sum(len(rows) * np.dtype(w).itemsize + (-len(rows) * np.dtype(w).itemsize % 8) for w in widths)
    length = struct.pack("<Q", body)
    with NewFile(path) as new:
        out = new.file
        out.write(bytes(_HEAD.size))  # the head, with the checksum, last
        crc = zlib.crc32(length)
        for part in (header, bytes(gap)):
            out.write(part)
            crc = zlib.crc32(part, crc)
        for name in FIELDS:
            values = column(name)
            data = values.data.cast("B")
            out.write(data)
            crc = zlib.crc32(data, crc)
            padding = bytes(-values.nbytes % 8)
            out.write(padding)
            crc = zlib.crc32(padding, crc)
            del data, values
        out.seek(0)
        out.write(_HEAD.pack(_MAGIC, len(header), crc, body))


@dataclass(frozen=True)
class SavedRows:
    """A rows file checked and mapped: its header and its rows (views on the
    mapping, in export order, ids 1 up as a loaded engine numbers them)."""

    manifest: str  # hex SHA-256 of the manifest it answers
    models: Tuple[str, ...]
    projects: Tuple[str, ...]
    files: Tuple[str, ...]
    scan: Mapping[str, Any]
    rows: Rows


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
            raise RowsRefused("it is not a rows file of this build")
        offset = _HEAD.size + header_length
        offset += -offset % _ALIGN
        if header_length > _MAX_HEADER or body_length % 8 or st.st_size != offset + body_length:
            raise RowsRefused("it is truncated or corrupt (its lengths do not match its size)")
        # The checksum is taken from reads, not from the mapping: only the
        # pages of the columns an answer reads are then made resident.
        if _crc_of(fd, 16, st.st_size) != crc:
            raise RowsRefused("it is corrupt (checksum mismatch)")
        data = _map(fd, st.st_size)
    finally:
        os.close(fd)
    view = memoryview(data)
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
    rows = _rows_of(header, view[offset : offset + body_length])
    tables = [header.get(k) for k in ("models", "projects", "files")]
    scan, digest = header.get("scan"), header.get("manifest")
    if (
        not all(isinstance(t, list) and all(isinstance(s, str) for s in t) for t in tables)
        or not isinstance(scan, dict)
        or not isinstance(digest, str)
    ):
        raise RowsRefused("it is corrupt (its header does not describe its body)")
    models, projects, files = (tuple(t) for t in tables if isinstance(t, list))
    from ledgerly.layout import TOKEN_FIELDS

    if len(rows):
        # Every index within what it indexes, every code within its range.
        bounds = {"model": len(models), "project": len(projects), "file": len(files), "place": len(files)}
        bounds.update(kind=256, subagent=2, tier=len(TIER_NAMES))
        if any(int(rows.column(name).max()) >= limit for name, limit in bounds.items()):
            raise RowsRefused("it is corrupt (an index beyond its table)")
        if any(int(rows.column(name).min()) < 0 for name in TOKEN_FIELDS):
            raise RowsRefused("it is corrupt (a negative count)")
    scan_map: Dict[str, Any] = scan
    return SavedRows(digest, models, projects, files, scan_map, rows)


def _rows_of(header: Mapping[str, Any], body: memoryview) -> Rows:
    """The columns the header names, viewed on the body (checked against it)."""
    import numpy as np

    from ledgerly.columns import FIELDS, LADDERS, Rows

    count, named = header.get("rows"), header.get("columns")
    broken = RowsRefused("it is corrupt (its header does not describe its body)")
    if not isinstance(count, int) or isinstance(count, bool) or count < 0 or not isinstance(named, list):
        raise broken
    if [c[0] if isinstance(c, list) and c else None for c in named] != list(FIELDS):
        raise broken
    columns = {}
    offset = 0
    for name, kind in named:
        if kind not in {np.dtype(k).str for k in LADDERS[name]}:
            raise broken
        size = count * np.dtype(kind).itemsize
        if offset + size > len(body):
            raise broken
        column = np.frombuffer(body, dtype=kind, count=count, offset=offset)
        column.flags.writeable = False
        columns[name] = column
        offset += size + (-size % 8)
    if offset != len(body):
        raise broken
    return Rows(columns, count)


def _crc_of(fd: int, start: int, end: int) -> int:
    """The CRC-32 of the file's bytes from `start` to `end`, read a few MiB
    at a time."""
    crc = 0
    at = start
    while at < end:
        chunk = os.pread(fd, min(end - at, 1 << 22), at) if hasattr(os, "pread") else _read_at(fd, at, end)
        if not chunk:
            raise RowsRefused("it is truncated")
        crc = zlib.crc32(chunk, crc)
        at += len(chunk)
    return crc


def _read_at(fd: int, at: int, end: int) -> bytes:
    os.lseek(fd, at, os.SEEK_SET)
    return os.read(fd, min(end - at, 1 << 22))


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
