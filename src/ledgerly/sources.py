"""Where session logs come from, and what the engine is told about each one.

A *source* is a folder (or a single file) of JSON-Lines logs. Sources are
taken, in this order of precedence, from the command line, from the
environment variable LEDGERLY_SOURCES, from the config file, or by
discovery: the hidden folders directly under the home folder that hold a
``projects`` or ``sessions`` tree of ``.jsonl`` files.

`list_files` walks the sources and builds a `Listing`: one manifest entry
per log, plus the files it skipped and why. The dialect of each file is
recognised from its first few KiB (`sniff`), remembered per file identity
and size class so that a later listing does not read unchanged files again.
"""

from __future__ import annotations

import json
import os
import re
import stat
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

from ledgerly.codes import DIALECTS, KIND_EVENT, KIND_MESSAGE
from ledgerly.codes import ENV_SOURCES as ENV_SOURCES  # kept importable from here

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


@dataclass(frozen=True)
class Listing:
    """The log files found under a set of sources at one moment.

    `files` is the manifest (sorted by path within each source, each file
    once); `origins[i]` is the index of the source `files[i]` came from.
    `skipped` lists files left out on purpose (not a log, not a regular file,
    a name that is not UTF-8, the same file reached twice). `errors` lists
    what could not be read ("<path>: <reason>"): folders that cannot be
    listed, files that cannot be opened to recognise their dialect."""

    sources: Tuple[Source, ...]
    files: Tuple[LogFile, ...]
    origins: Tuple[int, ...]
    skipped: Tuple[Skipped, ...]
    errors: Tuple[str, ...]
    # The manifest text when the maker already has it (ledgerly.live.tracking
    # keeps each entry's text and joins them instead of encoding them all).
    encoded: Optional[str] = field(default=None, repr=False, compare=False)

    def manifest(self) -> str:
        """The manifest text for `Engine.refresh` (array form)."""
        if self.encoded is not None:
            return self.encoded
        return json.dumps(self.files, ensure_ascii=False, separators=(",", ":"))

    @property
    def total_bytes(self) -> int:
        return sum(f.size for f in self.files)

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
        for log, origin in zip(self.files, self.origins):
            c = counts[origin]
            c[0 if log.kind == KIND_MESSAGE else 1] += 1
            c[2] += log.size
        for skip in self.skipped:
            counts[skip.source][3] += 1
        return tuple(SourceSummary(s, *c) for s, c in zip(self.sources, counts))


# ---------------------------------------------------------------------------
# Which sources


def _absolute(path: str) -> str:
    return os.path.abspath(os.path.expanduser(path))


def check_source(source: Source) -> None:
    """Raises SourceError unless the source's path is an existing folder or file."""
    try:
        st = os.stat(source.path)
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


def _size_class(size: int) -> int:
    # A file shorter than the longest look is judged again whenever its size
    # changes (it may have been too short to decide); longer files once.
    return size if size < SNIFF_MAX else SNIFF_MAX


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
    """Remembers each file's dialect by (identity, size class). Not
    thread-safe: one listing at a time uses it (the Ledger's lock sees to
    that)."""

    def __init__(self) -> None:
        self._known: Dict[Tuple[str, int], Optional[int]] = {}
        self._next: Dict[Tuple[str, int], Optional[int]] = {}
        self.reads = 0  # files actually opened, for tests and statistics

    def dialect(self, path: str, identity: str, size: int) -> Optional[int]:
        key = (identity, _size_class(size))
        if key in self._known:
            kind = self._known[key]
        elif key in self._next:  # judged since the last finish (an incremental listing)
            kind = self._next[key]
        else:
            self.reads += 1
            kind = sniff_file(path, size)
        self._next[key] = kind
        return kind

    def finish(self) -> None:
        """Forgets files not seen since the previous call."""
        self._known, self._next = self._next, {}


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


def classify(
    source: Source, index: int, path: str, st: os.stat_result, folder: str, cache: SniffCache
) -> Union[LogFile, Skipped, str]:
    """What the listing makes of the file at `path` (found in `folder` of
    source number `index`, with `st` from a stat that follows symbolic
    links): its manifest entry, a reason to skip it, or an error text."""
    if not stat.S_ISREG(st.st_mode):
        # A FIFO or device would block or never end; a folder named *.jsonl is not a log.
        return Skipped(path, NOT_REGULAR, index)
    identity = identity_of(st)
    if source.dialect is not None:
        kind: Optional[int] = DIALECTS[source.dialect]
    else:
        try:
            kind = cache.dialect(path, identity, st.st_size)
        except OSError as exc:
            return "%s: %s" % (path, _reason(exc))
    if kind is None:
        return Skipped(path, "empty" if st.st_size == 0 else "not a recognised session log", index)
    name = os.path.basename(path)
    parent = os.path.basename(folder)
    sub = parent == SUBAGENT_FOLDER or name.startswith(SUBAGENT_PREFIX)
    project = parent
    if parent == SUBAGENT_FOLDER:
        project = os.path.basename(os.path.dirname(folder)) or parent
    return LogFile(path, st.st_size, identity, st.st_mtime_ns, kind, project, sub)


@dataclass
class _Walk:
    sources: Tuple[Source, ...]
    cache: SniffCache
    files: List[LogFile] = field(default_factory=list)
    origins: List[int] = field(default_factory=list)
    skipped: List[Skipped] = field(default_factory=list)
    errors: List[str] = field(default_factory=list)
    seen_paths: Dict[str, int] = field(default_factory=dict)
    seen_ids: Dict[str, str] = field(default_factory=dict)

    def add(self, index: int, path: str, st: os.stat_result, folder: str) -> None:
        if path in self.seen_paths:
            return  # overlapping sources: listed once, under the first
        self.seen_paths[path] = index
        if stat.S_ISREG(st.st_mode):
            identity = identity_of(st)
            first = self.seen_ids.get(identity)
            if first is not None:
                self.skipped.append(Skipped(path, "same file as %s" % first, index, first))
                return
            self.seen_ids[identity] = path
        found = classify(self.sources[index], index, path, st, folder, self.cache)
        if isinstance(found, LogFile):
            self.files.append(found)
            self.origins.append(index)
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
        """Adds the logs directly in `folder`; returns its subfolders in name order."""
        try:
            with os.scandir(folder) as it:
                entries = sorted(it, key=lambda e: e.name)
        except OSError as exc:
            self.errors.append("%s: %s" % (_printable(folder), _reason(exc)))
            return []
        subfolders = []
        for entry in entries:
            if not _utf8(entry.name):
                if entry.name.endswith(LOG_SUFFIX) or entry.is_dir(follow_symlinks=False):
                    self.skipped.append(Skipped(_printable(entry.path), NAME_NOT_UTF8, index))
                continue
            try:
                if entry.is_dir(follow_symlinks=False):
                    subfolders.append(entry.path)
                    continue
                if not entry.name.endswith(LOG_SUFFIX):
                    continue
                st = entry.stat()  # follows a symbolic link to its file
            except OSError as exc:
                self.errors.append("%s: %s" % (entry.path, _reason(exc)))
                continue
            self.add(index, entry.path, st, folder)
        return subfolders


def list_files(sources: Sequence[Source], cache: Optional[SniffCache] = None) -> Listing:
    """Walks `sources` in order and returns what they hold.

    Files named ``*.jsonl`` are taken from every folder below a source
    (symbolic links to folders are not followed); a source that is itself a
    file is taken whatever its name. Each file is listed once, under the
    first source and path that reaches it. Problems never raise: they end
    up in the listing's `errors` or `skipped`."""
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
    return Listing(walk.sources, tuple(walk.files), tuple(walk.origins), tuple(walk.skipped), tuple(walk.errors))
