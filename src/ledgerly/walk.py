"""Walking the sources: the native walk (`list_files`) and the same walk in
Python (`walk_files`, `Walk`).

The native walk (`ledgerly._ledger.list_sources`) stats every file, looks
the kept dialects up and writes the manifest text without the
interpreter, and calls back here only for the files it has to recognise.
The Python walk makes the same listing file by file: it runs for a source
path the native walk cannot take, the live tracker's path-by-path updates
use it (`Walk`), and the tests hold the two to the same result.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple, Union

from ledgerly import sniffing
from ledgerly.codes import DIALECTS
from ledgerly.listing import (
    NAME_NOT_UTF8,
    NOT_REGULAR,
    Listing,
    LogFile,
    Skipped,
    classify_regular,
    folder_labels,
    identity_of,
    os_reason,
)
from ledgerly.sniffing import SniffCache
from ledgerly.sources import LOG_SUFFIX, SUBAGENT_PREFIX, Source, is_utf8, printable_path
from ledgerly.stat_table import stat_record

# Whether os.DirEntry.stat() gives a file's device and inode numbers.
_ENTRY_IDENTITY = os.name != "nt"


def _entry_name(entry: os.DirEntry[str]) -> str:
    return entry.name


@dataclass
class Walk:
    """The Python walk in progress: what it found so far, and the paths and
    file identities it has met (a file is listed once, under the first path
    that reaches it). `walk` lists a folder's tree, `add` one file."""

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
        source = self.sources[index]
        found = classify_regular(source, index, path, st, identity, labels or folder_labels(folder), self.cache)
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
            self.errors.append("%s: %s" % (printable_path(folder), os_reason(exc)))
            return []
        subfolders = []
        labels: Optional[Tuple[str, bool]] = None
        for entry in entries:
            name = entry.name
            if not name.isascii() and not is_utf8(name):
                if name.endswith(LOG_SUFFIX) or entry.is_dir(follow_symlinks=False):
                    self.skipped.append(Skipped(printable_path(entry.path), NAME_NOT_UTF8, index))
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
                self.errors.append("%s: %s" % (entry.path, os_reason(exc)))
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
            return sniffing.sniff_file(path, size)
        except OSError as exc:
            return "%s: %s" % (path, os_reason(exc))

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
        if "\0" in path or not is_utf8(path):
            return None
        project, sub = folder_labels(path)
        file_project, file_sub = folder_labels(os.path.dirname(path))
        file_sub = file_sub or path.rpartition(os.sep)[2].startswith(SUBAGENT_PREFIX)
        forced = DIALECTS[source.dialect] if source.dialect is not None else -1
        out.append((path, forced, os.path.basename(path), project, sub, file_project, file_sub))
    return out


def walk_files(sources: Sequence[Source], cache: Optional[SniffCache] = None) -> Listing:
    """`list_files` in Python: the same walk, file by file in the interpreter."""
    walk = Walk(tuple(sources), cache if cache is not None else SniffCache())
    for index, source in enumerate(walk.sources):
        path = source.path
        try:
            st = os.stat(path)
        except OSError as exc:
            walk.errors.append("%s: %s" % (path, os_reason(exc)))
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
