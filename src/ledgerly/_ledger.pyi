# Type stub of the native extension module ledgerly._ledger.
import builtins
from os import PathLike
from typing import Callable, List, Optional, Protocol, SupportsIndex, Tuple, TypedDict, Union, final

# A path as the operating system's calls take it.
StatePath = Union[str, builtins.bytes, "PathLike[str]", "PathLike[builtins.bytes]"]

class HasFileno(Protocol):
    def fileno(self) -> int: ...

# A state file: a path, or a file the caller opened (a descriptor, or an
# object with fileno(), which is flushed first).
StateFile = Union[StatePath, int, HasFileno]

class StateSummary(TypedDict):
    """What save() wrote: the file's size, its stored files and rows."""

    bytes: int
    files: int
    rows: int

class LoadedState(StateSummary):
    """What load() read: the same, and the extra bytes given to save()."""

    extra: builtins.bytes

@final
class Engine:
    """Incremental accounting state over a set of log files, whose export
    also says which file each record came from."""

    def __init__(self) -> None: ...
    def refresh(self, manifest: str, workers: SupportsIndex, force: bool = ...) -> Tuple[str, Optional[builtins.bytes]]:
        """Reads what changed among the manifest's files. Returns the report
        text (JSON) and, when the accounted state changed or `force` is true,
        the row buffer: the report's `rows` 104-byte records, then one
        little-endian uint32 per record, in record order, indexing the
        report's `files` table (the paths of the files that own records)."""
        ...
    def save(self, file: StateFile, extra: builtins.bytes = ...) -> StateSummary:
        """Writes the whole state, with `extra` (the caller's own bytes), to
        `file`: a path, created with mode 0600 or truncated; or a file the
        caller opened (written at its position, its mode left as it is),
        never opened again by name. Not synced to disk. OSError when a
        system call fails; ValueError when the file is something other
        than a regular file or a directory. See docs/state-file.md."""
        ...
    def delta(
        self, manifest: str, workers: SupportsIndex, since: SupportsIndex, removed: Optional[List[str]] = None
    ) -> Tuple[str, builtins.bytes]:
        """Reads what changed among the manifest's files, as refresh does,
        and returns the report text (JSON: `added`, `withdrawn`, `rows`,
        `generation`, `reset`, the `files`, `models` and `projects` tables
        and `scan`) with the columns of what changed in the selection since
        generation `since` (`ledgerly.layout.view_delta`). When `since` is
        not the engine's generation (0 for a new engine, 1 after a load), the
        delta is a reset: the whole selection, numbered in export order from
        1. With `removed`, the manifest holds only the entries that changed
        or appeared, and `removed` the paths that left; every other stored
        file is kept as it is. See docs/engine.md, "Deltas"."""
        ...
    def load(self, file: StateFile) -> LoadedState:
        """Replaces the state with the one saved in `file` (a path, or a
        file the caller opened: read whole from its start). ValueError (one
        line saying why) for a file that is not a whole, intact state of this
        build's format and layout; OSError when a system call fails. On
        failure the engine is unchanged. A loaded engine answers every later
        refresh as the engine that saved it would have: call refresh with
        force=True to get rows from an unchanged state."""
        ...

class StateHead(TypedDict):
    """What a state file's header says (its counts are not checked)."""

    files: int
    rows: int
    extra_offset: int
    extra_size: int
    bytes: int

def read_state_head(file: StateFile, /) -> StateHead:
    """The stored files and rows of the state file `file`, where its extra
    bytes lie and its size, from its header alone; errors as load()
    (ValueError for an empty or cut-short file, another kind of file, or
    another format or layout)."""
    ...

# The names the native walk goes by: a log file's suffix, the folder of a
# session's subagent logs, the start of a subagent log's name.
LOG_SUFFIX: str
SUBAGENT_FOLDER: str
SUBAGENT_PREFIX: str

# (path, forced dialect code or -1, the path's last part, project label and
# subagent flag of its files when it is a folder, the same of the path when
# it is a file)
ListingSource = Tuple[str, int, str, str, bool, str, bool]
# (path, or its bytes for a name that is not UTF-8; reason code; source
# index; the path it is the same file as, for reason 2)
ListingSkip = Tuple[Union[str, builtins.bytes], int, int, Optional[str]]

def list_sources(
    sources: List[ListingSource],
    table: builtins.bytes,
    sniff: Callable[[str, int], Union[int, str, None]],
    /,
) -> Tuple[
    str,
    List[Tuple[int, int, int]],
    List[ListingSkip],
    List[Union[Tuple[str, int], str]],
    builtins.bytes,
    builtins.bytes,
]:
    """Lists the log files of `sources` (docs/host.md, "Finding logs"):
    the manifest text; (message files, event files, bytes) per source;
    the skipped paths (reason 0: not a regular file, 1: name not UTF-8,
    2: the same file as another, 3: empty, 4: not a recognised log); the
    errors, as (path, errno) or the text `sniff` gave; the dialect table
    of the files seen; the stat table of the manifest's files
    (ledgerly.stat_table). `table` is the dialect table known before;
    `sniff(path, size)` is called for each file it does not know, after
    the walk, and gives a dialect code, None, or an error text."""
    ...

def release_free_heap() -> None:
    """Hands the memory the C heap holds free back to the system (after a
    reading that freed much); does nothing where the C library cannot."""
    ...

def map_large_blocks() -> None:
    """From now on, blocks of a MiB or more of the C heap are mapped apart
    and given back to the system as soon as they are freed (where the C
    library decides that by a threshold it otherwise moves)."""
    ...

def moved_in_place(before: builtins.bytes, now: builtins.bytes, /) -> List[int]:
    """The indexes (ascending) of the files of stat table `now` whose
    device and inode, size and modification time are as in stat table
    `before` but whose ctime moved (both known): files rewritten in place."""
    ...
