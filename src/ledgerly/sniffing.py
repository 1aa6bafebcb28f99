"""Recognising a log's dialect from its first bytes, and remembering it.

`sniff` tells the dialect from the start of a file, `sniff_file` reads that
start, and `SniffCache` keeps the result per file identity, size and
modification time, so that a later listing does not read unchanged files
again (its `dump` is the table the native walk reads and writes).
"""

from __future__ import annotations

import json
import os
import re
import struct
import sys
from array import array
from typing import Dict, Optional, Tuple

from ledgerly.codes import DIALECTS, KIND_EVENT, KIND_MESSAGE

# How much of a file is read to recognise its dialect: a first look, and a
# longer one when the first holds no complete, decisive line.
SNIFF_FIRST = 4 * 1024
SNIFF_MAX = 64 * 1024

_EVENT_TYPES = frozenset(("session_meta", "turn_context", "event_msg", "response_item"))
_MESSAGE_TYPES = frozenset(("user", "assistant"))
# The shapes as key patterns. A quote inside a JSON string is escaped, so
# these match only real keys, and they work on a line cut off by the end of
# what was read.
_EVENT_TYPE_RE = re.compile(rb'"type"\s*:\s*"(?:session_meta|turn_context|event_msg|response_item)"')
_PAYLOAD_RE = re.compile(rb'"payload"\s*:\s*\{')
_MESSAGE_TYPE_RE = re.compile(rb'"type"\s*:\s*"(?:user|assistant)"')
_MESSAGE_RE = re.compile(rb'"message"\s*:\s*\{')


def _classify(obj: object) -> Optional[int]:
    if not isinstance(obj, dict):
        return None
    kind = obj.get("type")
    if kind in _EVENT_TYPES and isinstance(obj.get("payload"), dict):
        return KIND_EVENT
    if kind in _MESSAGE_TYPES and isinstance(obj.get("message"), dict):
        return KIND_MESSAGE
    return None


def _line_kind(line: bytes, complete: bool) -> Optional[int]:
    event = bool(_EVENT_TYPE_RE.search(line) and _PAYLOAD_RE.search(line))
    message = bool(_MESSAGE_TYPE_RE.search(line) and _MESSAGE_RE.search(line))
    if event != message:
        return KIND_EVENT if event else KIND_MESSAGE
    if event and complete:
        # Both shapes appear (one nested in the other): the top level decides.
        try:
            return _classify(json.loads(line))
        except ValueError:
            return None
    return None


def sniff(head: bytes, whole: bool) -> Optional[int]:
    """The dialect code that the lines in `head` show, or None when they show
    neither. `head` is the start of a file; `whole` says it is all of it.

    The first line of a recognised shape decides: an event-dialect envelope
    (a `payload` object and a type such as "session_meta" or "event_msg") or
    a message-dialect "user" or "assistant" line with a `message` object.
    The shapes are found as key patterns, which also works on a first line
    cut off by the end of `head`; a quote inside a JSON string is escaped,
    so text inside values cannot pass for a key. A complete line that shows
    both shapes is decoded to see which is its own."""
    start = 0
    while start < len(head):
        end = head.find(b"\n", start)
        complete = end >= 0 or whole
        if end < 0:
            end = len(head)
        line = head[start:end].lstrip()
        if line.startswith(b"{"):
            kind = _line_kind(line, complete)
            if kind is not None:
                return kind
        start = end + 1
    return None


def sniff_file(path: str, size: int) -> Optional[int]:
    """Reads the start of the file at `path` (listed with `size` bytes; no
    byte past that is looked at) and returns its dialect code or None.
    Raises OSError."""
    # Non-blocking: a file replaced by a FIFO since it was listed must not hang the open.
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        head = os.read(fd, min(size, SNIFF_FIRST))
        kind = sniff(head, len(head) >= size)
        if kind is None and SNIFF_FIRST <= len(head) < size:
            head += os.read(fd, min(size, SNIFF_MAX) - len(head))
            kind = sniff(head, len(head) >= size)
    finally:
        os.close(fd)
    return kind


class SniffCache:
    """Remembers each file's dialect by its identity, size and modification
    time: a file is read again only when one of them changed (an inode
    reused by a new file has a new modification time, so a kept result
    never outlives its file). Not thread-safe: one listing at a time uses
    it (the Ledger's lock sees to that).

    `dump` and `restore` carry the results across processes (the saved
    state keeps them; see ledgerly.saved). The results are kept as the
    bytes `dump` writes until a Python walk needs them one by one: the
    native walk reads and writes those bytes itself."""

    def __init__(self) -> None:
        # identity -> (size, mtime_ns, dialect code or None)
        self._known: Dict[str, Tuple[int, int, Optional[int]]] = {}
        self._next: Dict[str, Tuple[int, int, Optional[int]]] = {}
        self._table: Optional[bytes] = None  # results not unpacked into _known yet
        self.reads = 0  # files actually opened, for tests and statistics

    def _unpacked(self) -> Dict[str, Tuple[int, int, Optional[int]]]:
        if self._table is not None:
            self._known, self._table = _unpack(self._table), None
        return self._known

    def dialect(self, path: str, identity: str, size: int, mtime_ns: int) -> Optional[int]:
        entry = self._unpacked().get(identity)
        if entry is None or entry[0] != size or entry[1] != mtime_ns:
            entry = self._next.get(identity)  # judged since the last finish (an incremental listing)
            if entry is None or entry[0] != size or entry[1] != mtime_ns:
                self.reads += 1
                entry = (size, mtime_ns, sniff_file(path, size))
        self._next[identity] = entry
        return entry[2]

    def finish(self) -> None:
        """Forgets files not seen since the previous call."""
        self._known, self._next, self._table = self._next, {}, None

    def adopt(self, table: bytes, reads: int) -> None:
        """Takes the results of a native listing: `table` (as `dump` writes
        it) holds the files it saw, `reads` files were opened for it."""
        self._known, self._next, self._table = {}, {}, table
        self.reads += reads

    def dump(self) -> bytes:
        """The results kept, as bytes for `restore`: the count, the
        identities (ASCII, one per line), then the sizes and times as
        little-endian int64 columns and one byte per dialect (255: none).
        Those judged since the latest `finish` (by an incremental listing)
        are included."""
        if self._table is not None and not self._next:
            return self._table
        known = self._unpacked()
        if self._next:
            known = {**known, **self._next}
        identities = "\n".join(known).encode("ascii")
        sizes = array("q", [e[0] for e in known.values()])
        times = array("q", [e[1] for e in known.values()])
        kinds = bytes([_NO_KIND if e[2] is None else e[2] for e in known.values()])
        if sys.byteorder != "little":  # pragma: no cover - the engine's own files need little-endian
            sizes.byteswap()
            times.byteswap()
        return struct.pack("<QQ", len(known), len(identities)) + identities + sizes.tobytes() + times.tobytes() + kinds

    def restore(self, data: bytes) -> None:
        """Replaces the kept results with those `dump` wrote. Raises
        ValueError for bytes that are not such a dump (nothing is changed
        then). The entries are checked as a whole here and unpacked one by
        one only when a Python walk asks for them."""
        _check_table(data)
        self._known, self._next, self._table = {}, {}, bytes(data)


def _check_table(data: bytes) -> Tuple[int, int]:
    """The count and identity text length of a dialect table; ValueError
    unless `data` is one."""
    if len(data) < 16:
        raise ValueError("the dialect table is truncated")
    count, length = struct.unpack_from("<QQ", data)
    if len(data) != 16 + length + count * 17:
        raise ValueError("the dialect table has the wrong length")
    text = data[16 : 16 + length]
    if not text.isascii() or (count and text.count(b"\n") != count - 1):
        raise ValueError("the dialect table's identities do not match its count")
    if data[16 + length + 16 * count :].translate(None, _KIND_BYTES):
        raise ValueError("the dialect table holds an unknown dialect")
    return count, length


def _unpack(data: bytes) -> Dict[str, Tuple[int, int, Optional[int]]]:
    count, length = _check_table(data)
    identities = data[16 : 16 + length].decode("ascii").split("\n") if count else []
    at = 16 + length
    sizes, times = array("q"), array("q")
    sizes.frombytes(data[at : at + 8 * count])
    times.frombytes(data[at + 8 * count : at + 16 * count])
    if sys.byteorder != "little":  # pragma: no cover
        sizes.byteswap()
        times.byteswap()
    kinds = [None if k == _NO_KIND else k for k in data[at + 16 * count :]]
    return dict(zip(identities, zip(sizes, times, kinds)))


_NO_KIND = 255
_KIND_BYTES = bytes(sorted(DIALECTS.values())) + bytes([_NO_KIND])
