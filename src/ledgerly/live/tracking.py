"""A listing kept up to date from the paths that changed.

`list_files` walks every source and stats every log: right for a command
that runs once, too slow for a server that refreshes on every change of a
tree with tens of thousands of files. A `Tracker` lists the sources once
(`rescan`) and then, told which paths changed (by file-system
notifications), stats only those (`update`): a changed log file is stat'ed
again and its manifest entry replaced; a folder that appeared is walked; a
folder that went away takes its files with it. Each entry keeps its
manifest text and its stat record (ledgerly.stat_table), so the manifest
of an update is a join of texts with only the changed ones encoded anew,
and the stat table a join of records.

The result of `update` equals what `list_files` would list at that moment,
as long as the notifications name every change. Where reproducing the
walk's decisions exactly would need the whole tree (a file reached by two
paths, a source root that changed, a name that is not UTF-8, a very large
batch), `update` falls back to a full rescan. Changes that no notification
reports (the target of a symbolic link to a file, a notification queue
that overflowed) are caught by the periodic full rescan the caller runs as
a safety net.

A full rescan is the native walk (`list_files`); the updates path by path
use the Python walk's parts (`classify`, `Walk`). The two walks are held
to the same result by tests/python/test_listing.py.
"""

from __future__ import annotations

import contextlib
import json
import os
import stat
from typing import Dict, Iterable, List, Optional, Sequence, Set, Tuple

from ledgerly.listing import (
    NAME_NOT_UTF8,
    NOT_REGULAR,
    Entry,
    EntryTable,
    Listing,
    LogFile,
    Skipped,
    classify,
    identity_of,
)
from ledgerly.sniffing import SniffCache
from ledgerly.sources import LOG_SUFFIX, Source
from ledgerly.stat_table import STAT_RECORD, moved_in_place, stat_record
from ledgerly.walk import Walk, list_files

SKIPS_WITHOUT_IDENTITY = (NOT_REGULAR, NAME_NOT_UTF8)
# More changed paths than this in one batch: a full rescan is cheaper and surer.
MAX_BATCH = 2000
# The record of a file whose status is not known (no ctime: never read again for it).
_NO_STAT = bytes(STAT_RECORD.size)


class FileTable:
    """The listed files by path (`Entry`: entry, source, manifest text,
    stat record), grouped by folder, so that handing out a copy
    (`frozen`) costs one entry per folder, not per file: each folder's
    table is then shared, and copied before its next change."""

    def __init__(self) -> None:
        self._folders: Dict[str, Dict[str, Entry]] = {}
        self._private: Set[str] = set()  # folders whose table no frozen copy shares
        self._length = 0

    def __len__(self) -> int:
        return self._length

    def __contains__(self, path: str) -> bool:
        entries = self._folders.get(os.path.dirname(path))
        return entries is not None and path in entries

    def get(self, path: str) -> Optional[Entry]:
        entries = self._folders.get(os.path.dirname(path))
        return entries.get(path) if entries is not None else None

    def _writable(self, folder: str) -> Dict[str, Entry]:
        entries = self._folders.get(folder)
        if entries is None:
            entries = self._folders[folder] = {}
        elif folder not in self._private:
            entries = self._folders[folder] = dict(entries)
        self._private.add(folder)
        return entries

    def put(self, path: str, entry: Entry) -> None:
        entries = self._writable(os.path.dirname(path))
        self._length += path not in entries
        entries[path] = entry

    def pop(self, path: str) -> Optional[Entry]:
        folder = os.path.dirname(path)
        if path not in self._folders.get(folder, {}):
            return None
        entries = self._writable(folder)
        self._length -= 1
        entry = entries.pop(path)
        if not entries:
            del self._folders[folder]
        return entry

    def paths_under(self, prefix: str) -> List[str]:
        """The paths that start with `prefix` (a folder and a separator)."""
        return [p for folder, entries in self._folders.items() if (folder + os.sep).startswith(prefix) for p in entries]

    def frozen(self) -> EntryTable:
        """The table as it is now, for good (see the class's text)."""
        self._private.clear()
        return EntryTable(dict(self._folders), self._length)


class Tracker:
    """The listing of `sources`, updated path by path. Not thread-safe: one
    caller (the refresh loop) uses it.

    Counters for statistics: `rescans` (full listings) and `looked_at`
    (paths stat'ed by the latest call)."""

    def __init__(self, sources: Sequence[Source], cache: Optional[SniffCache] = None) -> None:
        self.sources: Tuple[Source, ...] = tuple(sources)
        self.cache = cache if cache is not None else SniffCache()
        self._files = FileTable()
        self._skipped: Dict[str, Skipped] = {}
        self._ids: Dict[str, str] = {}  # identity -> the path the walk reached it by first
        self._id_of: Dict[str, str] = {}  # and back
        self._dups: Dict[str, int] = {}  # path -> how many paths are skipped as the same file as it
        self._under: Dict[str, int] = {}  # folder -> listed or skipped files below it
        self._errors: List[str] = []
        self._listing: Optional[Listing] = None
        self._bytes = 0  # of the listed files
        # What changed in the manifest since the last take_changes(): each
        # path's entry now, or None for a file no longer listed; `_whole`
        # after a rescan, when only the whole manifest will do.
        self._changed: Dict[str, Optional[LogFile]] = {}
        self._whole = True
        # The stat record each of those paths had then (when listed).
        self._before: Dict[str, bytes] = {}
        # Each project label once (the walk makes one text per file).
        self._labels: Dict[str, str] = {}
        self.rescans = 0
        self.looked_at = 0

    @property
    def listing(self) -> Listing:
        """The current listing (a full scan on first use)."""
        if self._listing is None:
            return self.rescan()
        return self._listing

    def rescan(self) -> Listing:
        """Lists every source afresh (stats every file)."""
        listing = list_files(self.sources, self.cache)
        known = self._files
        self._files, self._skipped, self._ids, self._id_of, self._dups, self._under = FileTable(), {}, {}, {}, {}, {}
        self._bytes = 0
        stats = listing.stats or b""
        size = STAT_RECORD.size
        for i, (log, origin) in enumerate(zip(listing.files, listing.origins)):
            record = stats[i * size : (i + 1) * size] or _NO_STAT
            # A file as it was keeps its entry: the objects the walk made for
            # it go at once, instead of the old ones being left scattered
            # among what lives on (the heap would keep their room).
            was = known.get(log.path)
            if was is not None and was[1] == origin and was[2] == record and was[0] == log:
                self._put(was)
            else:
                self._put_file(log, origin, record)
        del known
        self._changed, self._before, self._whole = {}, {}, True
        for skip in listing.skipped:
            self._put_skipped(skip, None)
        self._errors = list(listing.errors)
        self.rescans += 1
        self.looked_at = len(listing.files) + len(listing.skipped)
        self._listing = self._build()
        return self._listing

    @property
    def unchanged(self) -> bool:
        """Nothing in the manifest changed since the last take_changes()."""
        return not self._whole and not self._changed

    def take_changes(self) -> Optional[Tuple[str, List[str], List[str]]]:
        """What changed in the manifest since the last call: the manifest
        of the entries that changed or appeared, the paths no longer listed,
        and the paths among the first whose files were rewritten in place
        (`moved_in_place`: to be read again from the start); None when only
        the whole manifest will do (after a rescan). What the engine needs
        to be told of the files, and no more."""
        changed, before, whole = self._changed, self._before, self._whole
        self._changed, self._before, self._whole = {}, {}, False
        if whole:
            return None
        entries = [log for log in changed.values() if log is not None]
        removed = [path for path, log in changed.items() if log is None]
        moved = [
            path
            for path, record in before.items()
            if changed.get(path) is not None and moved_in_place(record, self._entry(path)[2])
        ]
        return json.dumps(entries, ensure_ascii=False, separators=(",", ":")), removed, moved

    def _entry(self, path: str) -> Entry:
        found = self._files.get(path)
        assert found is not None
        return found

    def update(self, paths: Iterable[str]) -> Listing:
        """The listing after the files and folders at `paths` changed
        (created, written, replaced, removed or renamed)."""
        if self._listing is None:
            return self.rescan()
        changed: Set[str] = {os.path.abspath(p) for p in paths}
        if len(changed) > MAX_BATCH:
            return self.rescan()
        self.looked_at = 0
        for path in sorted(changed):
            if not self._apply(path):
                return self.rescan()
        self._listing = self._build()
        return self._listing

    # -- bookkeeping

    def _folders(self, path: str, origin: int) -> List[str]:
        """The folders from `path`'s folder up to its source's root."""
        root = self.sources[origin].path
        out = []
        folder = os.path.dirname(path)
        while len(folder) >= len(root) and folder.startswith(root):
            out.append(folder)
            parent = os.path.dirname(folder)
            if parent == folder:
                break
            folder = parent
        return out

    def _count(self, path: str, origin: int, step: int) -> None:
        for folder in self._folders(path, origin):
            left = self._under.get(folder, 0) + step
            if left > 0:
                self._under[folder] = left
            else:
                self._under.pop(folder, None)

    def _own(self, identity: str, path: str) -> None:
        if identity not in self._ids:
            self._ids[identity] = path
            self._id_of[path] = identity

    def _put_file(self, log: LogFile, origin: int, record: bytes) -> None:
        label = self._labels.setdefault(log.project, log.project)
        if label is not log.project:
            log = log._replace(project=label)
        self._put((log, origin, record))

    def _put(self, entry: Entry) -> None:
        log, origin, _record = entry
        self._files.put(log.path, entry)
        self._changed[log.path] = log
        self._bytes += log.size
        self._own(log.identity, log.path)
        self._count(log.path, origin, 1)

    def _put_skipped(self, skip: Skipped, st: Optional[os.stat_result]) -> None:
        self._skipped[skip.path] = skip
        self._count(skip.path, skip.source, 1)
        if skip.same_as is not None:
            self._dups[skip.same_as] = self._dups.get(skip.same_as, 0) + 1
            return
        if skip.reason == NOT_REGULAR:
            return
        with contextlib.suppress(OSError):  # a regular file skipped as no log still owns its identity
            self._own(identity_of(st if st is not None else os.stat(skip.path)), skip.path)

    def _forget(self, path: str) -> bool:
        """Drops what is known of the file at `path`; False when other paths
        were skipped as the same file as this one (one of them may now be
        listed instead)."""
        if path in self._dups:
            return False
        known = self._files.pop(path)
        skipped = self._skipped.pop(path, None)
        identity = self._id_of.pop(path, None)
        if identity is not None:
            del self._ids[identity]
        if known is not None:
            self._count(path, known[1], -1)
            self._changed[path] = None
            self._before.setdefault(path, known[2])
            self._bytes -= known[0].size
        if skipped is not None:
            self._count(path, skipped.source, -1)
            if skipped.same_as is not None:
                left = self._dups.get(skipped.same_as, 1) - 1
                if left > 0:
                    self._dups[skipped.same_as] = left
                else:
                    self._dups.pop(skipped.same_as, None)
        prefix = path + ": "
        if any(e.startswith(prefix) for e in self._errors):
            self._errors = [e for e in self._errors if not e.startswith(prefix)]
        return True

    def _forget_tree(self, folder: str) -> bool:
        prefix = folder.rstrip(os.sep) + os.sep
        if folder in self._under:
            below = self._files.paths_under(prefix)
            below += [p for p in self._skipped if p.startswith(prefix)]
            for path in below:
                if not self._forget(path):
                    return False
        self._errors = [e for e in self._errors if not (e.startswith(prefix) or e.startswith(folder + ": "))]
        return True

    # -- one changed path; False means "rescan instead"

    def _origin(self, path: str) -> Optional[int]:
        for index, source in enumerate(self.sources):
            root = source.path
            if path == root or path.startswith(root.rstrip(os.sep) + os.sep):
                return index
        return None

    def _reachable(self, root: str, folder: str) -> bool:
        """Whether the walk from `root` reaches `folder`: every folder on the
        way exists and none is a symbolic link (the walk does not follow them)."""
        rel = os.path.relpath(folder, root)
        if rel == os.curdir:
            return True
        current = root
        for part in rel.split(os.sep):
            current = os.path.join(current, part)
            self.looked_at += 1
            try:
                if not stat.S_ISDIR(os.lstat(current).st_mode):
                    return False
            except OSError:
                return False
        return True

    def _apply(self, path: str) -> bool:
        origin = self._origin(path)
        if origin is None:
            return True  # outside every source
        source = self.sources[origin]
        if path == source.path:
            return False  # the source itself was replaced or removed
        try:
            path.encode("utf-8")
        except UnicodeEncodeError:
            return False
        self.looked_at += 1
        try:
            st: Optional[os.stat_result] = os.lstat(path)
        except OSError:
            st = None
        is_folder = st is not None and stat.S_ISDIR(st.st_mode)
        if not self._forget(path) or not (is_folder or self._forget_tree(path)):
            return False
        folder = os.path.dirname(path)
        if st is None or not self._reachable(source.path, folder):
            return True
        if is_folder:
            return self._walk(path, origin)
        if not path.endswith(LOG_SUFFIX):
            return True
        try:
            st = os.stat(path)  # follows a symbolic link to its file, as the walk does
        except OSError as exc:
            self._errors.append("%s: %s" % (path, exc.strerror or str(exc)))
            return True
        if stat.S_ISREG(st.st_mode):
            owner = self._ids.get(identity_of(st))
            if owner is not None and owner != path:
                return False  # reached by two paths: which one is listed depends on the walk order
        found = classify(source, origin, path, st, folder, self.cache)
        if isinstance(found, LogFile):
            self._put_file(found, origin, stat_record(st))
        elif isinstance(found, Skipped):
            self._put_skipped(found, st)
        else:
            self._errors.append(found)
        return True

    def _walk(self, folder: str, origin: int) -> bool:
        """Lists the folder `folder` (known to hold nothing listed now)."""
        if not self._forget_tree(folder):
            return False
        walk = Walk(self.sources, self.cache)
        walk.walk(origin, folder)
        self.looked_at += len(walk.files) + len(walk.skipped)
        for log in walk.files:
            owner = self._ids.get(log.identity)
            if owner is not None and owner != log.path:
                return False
        if any(skip.same_as is not None for skip in walk.skipped):
            return False
        # A file skipped as no log (an empty one, say) may be a second path
        # to a file listed elsewhere, which a full walk names "same file as".
        for skip in walk.skipped:
            if skip.reason in SKIPS_WITHOUT_IDENTITY:
                continue
            try:
                identity = identity_of(os.stat(skip.path))
            except OSError:
                return False
            owner = self._ids.get(identity)
            if owner is not None and owner != skip.path:
                return False
        for log, record in zip(walk.files, walk.stats):
            self._put_file(log, origin, record)
        for skip in walk.skipped:
            self._put_skipped(skip, None)
        self._errors.extend(walk.errors)
        return True

    def _build(self) -> Listing:
        # The listing's own copy of the table (later updates change the
        # tracker's); its files, manifest text and stat table (in one order,
        # the table's) are made only if asked.
        return Listing.from_table(
            self.sources, self._files.frozen(), self._bytes, tuple(self._skipped.values()), tuple(self._errors)
        )
