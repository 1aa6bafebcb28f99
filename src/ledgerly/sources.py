"""Where session logs come from.

A *source* is a folder (or a single file) of JSON-Lines logs. Sources are
taken, in this order of precedence, from the command line, from the
environment variable LEDGERLY_SOURCES, from the config file, or by
discovery: the hidden folders directly under the home folder that hold a
``projects`` or ``sessions`` tree of ``.jsonl`` files.

What the sources hold is found by walking them (`ledgerly.walk`), which
recognises each file's dialect (`ledgerly.sniffing`) and makes a
`ledgerly.listing.Listing`.
"""

from __future__ import annotations

import os
import re
import stat
from dataclasses import dataclass
from typing import List, Mapping, Optional, Sequence

# The names a walk goes by, as the native walk defines them: a log's
# suffix, the folder of a session's subagent logs, the start of a subagent
# log's name.
from ledgerly._ledger import LOG_SUFFIX as LOG_SUFFIX
from ledgerly._ledger import SUBAGENT_FOLDER as SUBAGENT_FOLDER
from ledgerly._ledger import SUBAGENT_PREFIX as SUBAGENT_PREFIX
from ledgerly.codes import DIALECTS
from ledgerly.codes import ENV_SOURCES as ENV_SOURCES  # kept importable from here

DISCOVERY_TREES = ("projects", "sessions")


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


def is_utf8(name: str) -> bool:
    """Whether `name` can be written as UTF-8 (a name that is not UTF-8 on
    disk reaches Python with surrogates, which cannot)."""
    try:
        name.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def printable_path(path: str) -> str:
    """`path` as text that can be shown, its bytes that are not UTF-8 replaced."""
    return os.fsencode(path).decode("utf-8", "replace")


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
        if not is_utf8(source.path):
            raise SourceError("source %s: the path is not UTF-8" % printable_path(source.path))
        check_source(source)
    return chosen
