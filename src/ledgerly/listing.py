"""A listing: the log files found under a set of sources at one moment,
and what the listing makes of each file it meets.

A `Listing` holds one manifest entry (`LogFile`) per log, the files left
out on purpose (`Skipped`, with the reason) and what could not be read.
`classify` is the decision for one file: its entry, a reason to skip it,
or an error; both walks (`ledgerly.walk`) and the live tracker take it.
"""

from __future__ import annotations

import json
import os
import stat
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from ledgerly.codes import DIALECTS, KIND_MESSAGE
from ledgerly.sniffing import SniffCache
from ledgerly.sources import SUBAGENT_FOLDER, SUBAGENT_PREFIX, Source

# Reasons for skipping a path that say nothing of the file it names.
NOT_REGULAR = "not a regular file"
NAME_NOT_UTF8 = "name is not UTF-8"


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


# LogFile's own constructor is a Python function; the walk makes one per log.
new_tuple = tuple.__new__


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


# What a listing kept path by path knows of each file: its entry, its
# source's index and its stat record.
Entry = Tuple[LogFile, int, bytes]


class EntryTable:
    """The entries of a listing kept path by path (`ledgerly.live.tracking`),
    grouped by folder: a table of each folder's table, none of which its
    maker changes after handing it out. Read-only."""

    __slots__ = ("_folders", "_length")

    def __init__(self, folders: Dict[str, Dict[str, Entry]], length: int) -> None:
        self._folders = folders
        self._length = length

    def __len__(self) -> int:
        return self._length

    def values(self) -> Iterator[Entry]:
        for entries in self._folders.values():
            yield from entries.values()


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

    __slots__ = (
        "_bytes",
        "_counts",
        "_files",
        "_origins",
        "_stats",
        "_table",
        "encoded",
        "errors",
        "skipped",
        "sources",
    )

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
        self._stats = stats
        # The manifest text when the maker already has it (ledgerly.live.tracking
        # keeps each entry's text and joins them instead of encoding them all).
        self.encoded = encoded
        self._files: Optional[Tuple[LogFile, ...]] = files
        self._origins: Optional[Tuple[int, ...]] = origins
        # (message files, event files, bytes) per source, when known without the files
        self._counts: Optional[Tuple[Tuple[int, int, int], ...]] = None
        # Of a listing kept path by path (ledgerly.live.tracking): each file's
        # entry, source and stat record, by path, and their bytes.
        self._table: Optional[EntryTable] = None
        self._bytes: Optional[int] = None

    @classmethod
    def from_table(
        cls,
        sources: Tuple[Source, ...],
        table: EntryTable,
        total_bytes: int,
        skipped: Tuple[Skipped, ...],
        errors: Tuple[str, ...],
    ) -> Listing:
        """A listing of the files of `table` (never changed after), whose
        files, manifest and stat table are made on first use, in the
        table's order."""
        listing = cls(sources, (), (), skipped, errors)
        listing._files = listing._origins = None
        listing._table = table
        listing._bytes = total_bytes
        return listing

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
    def stats(self) -> Optional[bytes]:
        if self._stats is None and self._table is not None:
            self._stats = b"".join([e[2] for e in self._table.values()])
        return self._stats

    @property
    def files(self) -> Tuple[LogFile, ...]:
        if self._files is None:
            if self._table is not None:
                self._files = tuple([e[0] for e in self._table.values()])
            else:
                assert self.encoded is not None
                self._files = tuple([new_tuple(LogFile, entry) for entry in json.loads(self.encoded)])
        return self._files

    @property
    def origins(self) -> Tuple[int, ...]:
        if self._origins is None:
            if self._table is not None:
                self._origins = tuple([e[1] for e in self._table.values()])
            else:
                assert self._counts is not None
                self._origins = tuple(i for i, (m, e, _b) in enumerate(self._counts) for _ in range(m + e))
        return self._origins

    @property
    def file_count(self) -> int:
        """len(files), without decoding them."""
        if self._table is not None:
            return len(self._table)
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
        if self._bytes is not None:
            return self._bytes
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


def os_reason(exc: OSError) -> str:
    """The text of an operating-system error, as listings show it."""
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
    return classify_regular(source, index, path, st, identity_of(st), folder_labels(folder), cache)


def classify_regular(
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
            return "%s: %s" % (path, os_reason(exc))
    if kind is None:
        return Skipped(path, "empty" if size == 0 else "not a recognised session log", index)
    project, sub = labels
    if not sub:
        sub = path.rpartition(os.sep)[2].startswith(SUBAGENT_PREFIX)
    return new_tuple(LogFile, (path, size, identity, st.st_mtime_ns, kind, project, sub))
