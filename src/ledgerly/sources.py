"""Where session logs come from, and what the engine is told about each one.

A *source* is a folder (or a single file) of JSON-Lines logs. Sources are
taken, in this order of precedence, from the command line, from the
environment variable LEDGERLY_SOURCES, from the config file, or by
discovery: the hidden folders directly under the home folder that hold a
``projects`` or ``sessions`` tree of ``.jsonl`` files.

`list_files` walks the sources and builds a `Listing`: one manifest entry
per log, plus the files it skipped and why. The dialect of each file is
recognised from its first few KiB (`sniff`), remembered per file identity,
size and modification time so that a later listing does not read
unchanged files again.

The walk itself is native (`ledgerly._ledger.list_sources`): it stats every
file, looks the kept dialects up and writes the manifest text without the
interpreter, and calls back here only for the files it has to recognise.
`walk_files` is the same walk in Python: the live tracker's path-by-path
updates use its parts, and the tests hold the two to the same result.
"""

from __future__ import annotations

import json
import os
import re
import stat
import struct
import sys
from array import array
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

from ledgerly.codes import DIALECTS, KIND_EVENT, KIND_MESSAGE
from ledgerly.codes import ENV_SOURCES as ENV_SOURCES  # kept importable from here
from ledgerly.stat_table import stat_record

LOG_SUFFIX = ".jsonl"
# Reasons for skipping a path that say nothing of the file it names.
NOT_REGULAR = "not a regular file"
NAME_NOT_UTF8 = "name is not UTF-8"
SUBAGENT_FOLDER = "subagents"
SUBAGENT_PREFIX = "agent-"
DISCOVERY_TREES = ("projects", "sessions")

# How much of a file is read to recognise its dialect: a first look, and a
# longer one when the first holds no complete, decisive line.
SNIFF_FIRST = 4 * 1024
SNIFF_MAX = 64 * 1024


class SourceError(Exception):
    """A source that cannot be used (it does not exist, or is not a folder or file)."""


@dataclass(frozen=True)
class Source:
    """One place logs are read from.

    `path` is absolute. `dialect` is "message" or "event" to force the dialect
    of every file under it, or None to recognise it per file. `origin` says
    where the source came from: "option", "environment", "config" or
    "discovered"."""

    path: str
    dialect: Optional[str] = None
    origin: str = "option"

    def __post_init__(self) -> None:
        if self.dialect is not None and self.dialect not in DIALECTS:
            raise ValueError("dialect must be 'message' or 'event', not %r" % (self.dialect,))


class LogFile(NamedTuple):
    """One manifest entry, in the engine's field order; `json.dumps` of a list
    of these is the manifest in its compact array form."""

    path: str
    size: int
    identity: str
    mtime_ns: int
    kind: int
    project: str
    sub: bool


class Skipped(NamedTuple):
    path: str
    reason: str
    source: int  # index into Listing.sources
    same_as: Optional[str] = None  # for a file reached twice: the path it was listed by


@dataclass(frozen=True)
class SourceSummary:
    """What one source contributed to a listing."""

    source: Source
    message_files: int = 0
    event_files: int = 0
    bytes: int = 0
    skipped: int = 0

    @property
    def files(self) -> int:
        return self.message_files + self.event_files


class Listing:
    """The log files found under a set of sources at one moment.

    `files` is the manifest (sorted by path within each source, each file
    once); `origins[i]` is the index of the source `files[i]` came from.
    `skipped` lists files left out on purpose (not a log, not a regular file,
    a name that is not UTF-8, the same file reached twice). `errors` lists
    what could not be read ("<path>: <reason>"): folders that cannot be
    listed, files that cannot be opened to recognise their dialect.

    A listing made by the native walk holds the manifest text and counts
    per source; its `files` are decoded from that text on first use, so a
    command that only hands the manifest to the engine never makes them.

    `stats` is the stat table of `files` (ledgerly.stat_table: each file's
    identity, size and times as the walk saw them), or None when not known
    (a listing made by hand)."""

    __slots__ = ("_counts", "_files", "_origins", "encoded", "errors", "skipped", "sources", "stats")

    def __init__(
        self,
        sources: Tuple[Source, ...],
        files: Tuple[LogFile, ...],
        origins: Tuple[int, ...],
        skipped: Tuple[Skipped, ...],
        errors: Tuple[str, ...],
        encoded: Optional[str] = None,
        stats: Optional[bytes] = None,
    ) -> None:
        self.sources = sources
        self.skipped = skipped
        self.errors = errors
        self.stats = stats
        # The manifest text when the maker already has it (ledgerly.live.tracking
        # keeps each entry's text and joins them instead of encoding them all).
        self.encoded = encoded
        self._files: Optional[Tuple[LogFile, ...]] = files
        self._origins: Optional[Tuple[int, ...]] = origins
        # (message files, event files, bytes) per source, when known without the files
        self._counts: Optional[Tuple[Tuple[int, int, int], ...]] = None

    @classmethod
    def from_manifest(
        cls,
        sources: Tuple[Source, ...],
        manifest: str,
        counts: Sequence[Tuple[int, int, int]],
        skipped: Tuple[Skipped, ...],
        errors: Tuple[str, ...],
        stats: Optional[bytes] = None,
    ) -> Listing:
        """A listing of the files in `manifest` (its files in source order,
        `counts[i]` those of source i)."""
        listing = cls(sources, (), (), skipped, errors, manifest, stats)
        listing._files = listing._origins = None
        listing._counts = tuple((int(m), int(e), int(b)) for m, e, b in counts)
        return listing

    @property
    def files(self) -> Tuple[LogFile, ...]:
        if self._files is None:
            assert self.encoded is not None
            self._files = tuple([_new_tuple(LogFile, entry) for entry in json.loads(self.encoded)])
        return self._files

    @property
    def origins(self) -> Tuple[int, ...]:
        if self._origins is None:
            assert self._counts is not None
            self._origins = tuple(i for i, (m, e, _b) in enumerate(self._counts) for _ in range(m + e))
        return self._origins

    @property
    def file_count(self) -> int:
        """len(files), without decoding them."""
        if self._counts is not None and self._files is None:
            return sum(m + e for m, e, _b in self._counts)
        return len(self.files)

    def manifest(self) -> str:
        """The manifest text for `Engine.refresh` (array form)."""
        if self.encoded is not None:
            return self.encoded
        return json.dumps(self.files, ensure_ascii=False, separators=(",", ":"))

    @property
    def total_bytes(self) -> int:
        if self._counts is not None:
            return sum(b for _m, _e, b in self._counts)
        return sum(f.size for f in self.files)

    def _key(self) -> Tuple[Any, ...]:
        return (self.sources, self.files, self.origins, self.skipped, self.errors)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Listing):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        return "Listing(%d sources, %d files, %d skipped, %d errors)" % (
            len(self.sources),
            self.file_count,
            len(self.skipped),
            len(self.errors),
        )

    def describe(self) -> Dict[str, Any]:
        """What `ledgerly sources --json` prints (and the server's
        ``/api/v1/sources`` answers): each source with its counts, the
        skipped files with their reasons, the errors."""
        sources: List[Dict[str, Any]] = []
        for summary in self.summaries():
            sources.append(
                {
                    "path": summary.source.path,
                    "origin": summary.source.origin,
                    "dialect": summary.source.dialect,
                    "files": summary.files,
                    "message_files": summary.message_files,
                    "event_files": summary.event_files,
                    "bytes": summary.bytes,
                    "skipped": summary.skipped,
                }
            )
        return {
            "sources": sources,
            "skipped": [{"path": s.path, "reason": s.reason} for s in self.skipped],
            "errors": list(self.errors),
        }

    def summaries(self) -> Tuple[SourceSummary, ...]:
        counts = [[0, 0, 0, 0] for _ in self.sources]  # message, event, bytes, skipped
        if self._counts is not None:
            for c, (message, event, size) in zip(counts, self._counts):
                c[:3] = [message, event, size]
        else:
            for log, origin in zip(self.files, self.origins):
                c = counts[origin]
                c[0 if log.kind == KIND_MESSAGE else 1] += 1
                c[2] += log.size
        for skip in self.skipped:
            counts[skip.source][3] += 1
        return tuple(SourceSummary(s, *c) for s, c in zip(self.sources, counts))


_DRIVE_PATH = re.compile(r"[A-Za-z]:[\\/]")


def project_label(label: str) -> str:
    """A project's label as reports show it. A Windows path with a drive
    letter is written with the letter in upper case and backslashes:
    ``C:/Users/x/p`` and ``c:\\Users\\x\\p`` name one folder (tools write
    both forms), so they are one project. Nothing else is changed: the rest
    of the path keeps its case, and a POSIX path is left as it is (two
    POSIX paths that differ are two folders)."""
    if _DRIVE_PATH.match(label):
        return label[0].upper() + label[1:].replace("/", "\\")
    return label


# ---------------------------------------------------------------------------
# Which sources


def _absolute(path: str) -> str:
    return os.path.abspath(os.path.expanduser(path))


def check_source(source: Source) -> None:
    """Raises SourceError unless the source's path is an existing folder or file."""
    try:
        st = os.stat(source.path)
    except ValueError:  # a NUL in the path
        raise SourceError("source %r: a path cannot hold a NUL character" % source.path) from None
    except OSError as exc:
        reason = "does not exist" if isinstance(exc, FileNotFoundError) else (exc.strerror or str(exc))
        raise SourceError("source %s: %s" % (source.path, reason)) from None
    if not (stat.S_ISDIR(st.st_mode) or stat.S_ISREG(st.st_mode)):
        raise SourceError("source %s: not a folder or a regular file" % source.path)


def discover(home: Optional[str] = None) -> List[Source]:
    """The ``projects`` and ``sessions`` folders, directly inside a hidden
    folder of the home folder, that hold at least one ``.jsonl`` file
    somewhere below them; sorted by path."""
    home = home if home is not None else os.path.expanduser("~")
    found: List[Source] = []
    try:
        names = sorted(os.listdir(home))
    except OSError:
        return found
    for name in names:
        if not name.startswith(".") or name in (".", ".."):
            continue
        for tree in DISCOVERY_TREES:
            path = os.path.join(home, name, tree)
            if os.path.isdir(path) and _holds_logs(path):
                found.append(Source(_absolute(path), None, "discovered"))
    return found


DISCOVERY_DEPTH = 5  # logs sit at most this many folders below projects/ or sessions/
DISCOVERY_ENTRIES = 20_000  # names looked at per tree before giving up on it


def _holds_logs(folder: str) -> bool:
    """Whether a ``.jsonl`` file lies within DISCOVERY_DEPTH folders below
    `folder`. A big tree of something else is given up on after
    DISCOVERY_ENTRIES names, so that discovery stays quick on every run."""
    seen = 0
    base = folder.rstrip(os.sep).count(os.sep)
    for root, dirs, files in os.walk(folder):
        if any(name.endswith(LOG_SUFFIX) for name in files):
            return True
        seen += len(dirs) + len(files)
        if seen > DISCOVERY_ENTRIES:
            return False
        if root.count(os.sep) - base >= DISCOVERY_DEPTH - 1:
            dirs[:] = []
    return False


def resolve_sources(
    options: Sequence[str] = (),
    environ: Optional[Mapping[str, str]] = None,
    config: Sequence[Source] = (),
    home: Optional[str] = None,
) -> List[Source]:
    """The sources to read, by precedence: `options` (paths from the command
    line), then the LEDGERLY_SOURCES variable of `environ` (paths separated
    by os.pathsep), then `config`, then discovery under `home`.

    The first of these that names any source wins; the others are ignored.
    Named sources must exist (SourceError otherwise); discovery may find
    nothing, giving an empty list."""
    environ = os.environ if environ is None else environ
    chosen: List[Source]
    if options:
        chosen = [Source(_absolute(p), None, "option") for p in options]
    elif environ.get(ENV_SOURCES, "").strip():
        parts = [p for p in environ[ENV_SOURCES].split(os.pathsep) if p.strip()]
        chosen = [Source(_absolute(p), None, "environment") for p in parts]
    elif config:
        chosen = [Source(_absolute(s.path), s.dialect, "config") for s in config]
    else:
        return discover(home)
    for source in chosen:
        if not _utf8(source.path):
            raise SourceError("source %s: the path is not UTF-8" % _printable(source.path))
        check_source(source)
    return chosen


# ---------------------------------------------------------------------------
# Recognising the dialect

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


# ---------------------------------------------------------------------------
# Listing


def _utf8(name: str) -> bool:
    try:
        name.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def _printable(path: str) -> str:
    return os.fsencode(path).decode("utf-8", "replace")


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


def identity_of(st: os.stat_result) -> str:
    return "%d:%d" % (st.st_dev, st.st_ino)


def folder_labels(folder: str) -> Tuple[str, bool]:
    """The project label and subagent flag that `folder` gives the logs in
    it: the folder's name, or for a ``subagents`` folder the name of the
    folder above, with the flag set."""
    parent = os.path.basename(folder)
    if parent == SUBAGENT_FOLDER:
        return os.path.basename(os.path.dirname(folder)) or parent, True
    return parent, False


def classify(
    source: Source,
    index: int,
    path: str,
    st: os.stat_result,
    folder: str,
    cache: SniffCache,
) -> Union[LogFile, Skipped, str]:
    """What the listing makes of the file at `path` (found in `folder` of
    source number `index`, with `st` from a stat that follows symbolic
    links): its manifest entry, a reason to skip it, or an error text."""
    if not stat.S_ISREG(st.st_mode):
        return Skipped(path, NOT_REGULAR, index)
    return _regular(source, index, path, st, identity_of(st), folder_labels(folder), cache)


def _regular(
    source: Source,
    index: int,
    path: str,
    st: os.stat_result,
    identity: str,
    labels: Tuple[str, bool],
    cache: SniffCache,
) -> Union[LogFile, Skipped, str]:
    """`classify` of a regular file whose identity and folder labels the
    caller has (the walk works out a folder's labels once)."""
    size = st.st_size
    if source.dialect is not None:
        kind: Optional[int] = DIALECTS[source.dialect]
    else:
        try:
            kind = cache.dialect(path, identity, size, st.st_mtime_ns)
        except OSError as exc:
            return "%s: %s" % (path, _reason(exc))
    if kind is None:
        return Skipped(path, "empty" if size == 0 else "not a recognised session log", index)
    project, sub = labels
    if not sub:
        sub = path.rpartition(os.sep)[2].startswith(SUBAGENT_PREFIX)
    return _new_tuple(LogFile, (path, size, identity, st.st_mtime_ns, kind, project, sub))


# LogFile's own constructor is a Python function; the walk makes one per log.
_new_tuple = tuple.__new__


# Whether os.DirEntry.stat() gives a file's device and inode numbers.
_ENTRY_IDENTITY = os.name != "nt"


def _entry_name(entry: os.DirEntry[str]) -> str:
    return entry.name


@dataclass
class _Walk:
    sources: Tuple[Source, ...]
    cache: SniffCache
    files: List[LogFile] = field(default_factory=list)
    origins: List[int] = field(default_factory=list)
    skipped: List[Skipped] = field(default_factory=list)
    errors: List[str] = field(default_factory=list)
    stats: List[bytes] = field(default_factory=list)  # one stat record per file
    seen_paths: Dict[str, int] = field(default_factory=dict)
    seen_ids: Dict[str, str] = field(default_factory=dict)

    def add(
        self, index: int, path: str, st: os.stat_result, folder: str, labels: Optional[Tuple[str, bool]] = None
    ) -> None:
        if path in self.seen_paths:
            return  # overlapping sources: listed once, under the first
        self.seen_paths[path] = index
        if not stat.S_ISREG(st.st_mode):
            # A FIFO or device would block or never end; a folder named *.jsonl is not a log.
            self.skipped.append(Skipped(path, NOT_REGULAR, index))
            return
        identity = identity_of(st)
        first = self.seen_ids.get(identity)
        if first is not None:
            self.skipped.append(Skipped(path, "same file as %s" % first, index, first))
            return
        self.seen_ids[identity] = path
        found = _regular(self.sources[index], index, path, st, identity, labels or folder_labels(folder), self.cache)
        if isinstance(found, LogFile):
            self.files.append(found)
            self.origins.append(index)
            self.stats.append(stat_record(st))
        elif isinstance(found, Skipped):
            self.skipped.append(found)
        else:
            self.errors.append(found)

    def walk(self, index: int, folder: str) -> None:
        """Lists `folder` and every folder below it: each folder's files in
        name order, then its subfolders, each walked whole before the next.
        A stack rather than recursion, so that no depth of nesting can
        exhaust the interpreter's stack."""
        pending = [folder]
        while pending:
            current = pending.pop()
            subfolders = self._list(index, current)
            pending.extend(reversed(subfolders))

    def _list(self, index: int, folder: str) -> List[str]:
        """Adds the logs directly in `folder`; returns its subfolders in name order.
        One stat per log (the folder entry's kind needs none) and the
        folder's labels worked out once: this loop runs for every log of
        every listing."""
        try:
            with os.scandir(folder) as it:
                entries = sorted(it, key=_entry_name)
        except OSError as exc:
            self.errors.append("%s: %s" % (_printable(folder), _reason(exc)))
            return []
        subfolders = []
        labels: Optional[Tuple[str, bool]] = None
        for entry in entries:
            name = entry.name
            if not name.isascii() and not _utf8(name):
                if name.endswith(LOG_SUFFIX) or entry.is_dir(follow_symlinks=False):
                    self.skipped.append(Skipped(_printable(entry.path), NAME_NOT_UTF8, index))
                continue
            try:
                if entry.is_dir(follow_symlinks=False):
                    subfolders.append(entry.path)
                    continue
                if not name.endswith(LOG_SUFFIX):
                    continue
                # Follows a symbolic link to its file. On Windows a folder
                # entry's stat carries no identity (device and inode 0): ask
                # the file itself.
                st = entry.stat() if _ENTRY_IDENTITY else os.stat(entry.path)
            except OSError as exc:
                self.errors.append("%s: %s" % (entry.path, _reason(exc)))
                continue
            if labels is None:
                labels = folder_labels(folder)
            self.add(index, entry.path, st, folder, labels)
        return subfolders


def list_files(sources: Sequence[Source], cache: Optional[SniffCache] = None) -> Listing:
    """Walks `sources` in order and returns what they hold.

    Files named ``*.jsonl`` are taken from every folder below a source
    (symbolic links to folders are not followed); a source that is itself a
    file is taken whatever its name. Each file is listed once, under the
    first source and path that reaches it. Problems never raise: they end
    up in the listing's `errors` or `skipped`.

    The walk is native; `walk_files` is the same in Python (and is what
    runs for a source path that the native walk cannot take: one that is
    not UTF-8 or holds a NUL)."""
    sources = tuple(sources)
    cache = cache if cache is not None else SniffCache()
    native = _native_sources(sources)
    if native is None:
        return walk_files(sources, cache)
    from ledgerly._ledger import list_sources

    reads = 0

    def sniffed(path: str, size: int) -> Union[int, str, None]:
        nonlocal reads
        reads += 1
        try:
            return sniff_file(path, size)
        except OSError as exc:
            return "%s: %s" % (path, _reason(exc))

    manifest, counts, skips, failures, table, stats = list_sources(native, cache.dump(), sniffed)
    cache.adopt(table, reads)
    skipped = tuple(
        Skipped(
            path if isinstance(path, str) else path.decode("utf-8", "replace"),
            "same file as %s" % same_as if same_as is not None else _SKIP_REASONS[reason],
            source,
            same_as,
        )
        for path, reason, source, same_as in skips
    )
    errors = tuple(e if isinstance(e, str) else "%s: %s" % (e[0], os.strerror(e[1])) for e in failures)
    return Listing.from_manifest(sources, manifest, counts, skipped, errors, stats)


# The native walk's skip reasons by code ("same file as" names the other path).
_SKIP_REASONS = (NOT_REGULAR, NAME_NOT_UTF8, "same file as", "empty", "not a recognised session log")


def _native_sources(sources: Sequence[Source]) -> Optional[List[Tuple[str, int, str, str, bool, str, bool]]]:
    """The sources as `list_sources` takes them, with the labels of each
    one's own path worked out here (by this system's path rules), or None
    when a path cannot be handed to it."""
    out = []
    for source in sources:
        path = source.path
        if "\0" in path or not _utf8(path):
            return None
        project, sub = folder_labels(path)
        file_project, file_sub = folder_labels(os.path.dirname(path))
        file_sub = file_sub or path.rpartition(os.sep)[2].startswith(SUBAGENT_PREFIX)
        forced = DIALECTS[source.dialect] if source.dialect is not None else -1
        out.append((path, forced, os.path.basename(path), project, sub, file_project, file_sub))
    return out


def walk_files(sources: Sequence[Source], cache: Optional[SniffCache] = None) -> Listing:
    """`list_files` in Python: the same walk, file by file in the interpreter."""
    walk = _Walk(tuple(sources), cache if cache is not None else SniffCache())
    for index, source in enumerate(walk.sources):
        path = source.path
        try:
            st = os.stat(path)
        except OSError as exc:
            walk.errors.append("%s: %s" % (path, _reason(exc)))
            continue
        if stat.S_ISDIR(st.st_mode):
            walk.walk(index, path)
        else:
            walk.add(index, path, st, os.path.dirname(path))
    walk.cache.finish()
    return Listing(
        walk.sources,
        tuple(walk.files),
        tuple(walk.origins),
        tuple(walk.skipped),
        tuple(walk.errors),
        stats=b"".join(walk.stats),
    )
