"""The cache folder: where the saved states wait, one file per set of
sources, and what `ledgerly cache` shows and clears there.

``$LEDGERLY_CACHE_DIR`` when set, otherwise the user cache folder that
platformdirs names for ledgerly (``~/.cache/ledgerly`` on Linux). The
folder is made private (mode 0700) when missing; one that others may
write, or that another user owns, is never used (`folder_refusal`).
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import json
import os
import stat
import time
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ledgerly.codes import ENV_CACHE_DIR, ENV_NO_CACHE
from ledgerly.private_files import STALE_AFTER, TEMPORARY_SUFFIX, user_folder
from ledgerly.saved.rows_file import ROWS_SUFFIX
from ledgerly.saved.state_file import StateRefused, check_host, oserror_text, read_head, source_list
from ledgerly.sources import Source

STATE_SUFFIX = ".state"


def cache_dir(environ: Optional[Mapping[str, str]] = None) -> str:
    """The folder of the saved states (not created)."""
    return user_folder("cache", ENV_CACHE_DIR, environ)


def cache_disabled(environ: Optional[Mapping[str, str]] = None) -> bool:
    """Whether LEDGERLY_NO_CACHE asks for cold reads (any value but empty,
    0, false, no or off)."""
    environ = os.environ if environ is None else environ
    return environ.get(ENV_NO_CACHE, "").strip().lower() not in ("", "0", "false", "no", "off")


def state_path(sources: Sequence[Source], folder: Optional[str] = None) -> str:
    """The state file of `sources` (in order, with their forced dialects:
    everything that shapes the manifest) in `folder` (default: `cache_dir()`)."""
    text = json.dumps(source_list(sources), ensure_ascii=False, separators=(",", ":"))
    key = hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:32]
    return os.path.join(folder if folder is not None else cache_dir(), key + STATE_SUFFIX)


# ---------------------------------------------------------------------------
# What `ledgerly cache` shows and clears


@dataclass(frozen=True)
class StateInfo:
    """One file in the cache folder, as `ledgerly cache` shows it. `files`,
    `rows` and `sources` come from the file's start without loading it;
    `problem` is why it would not be used (as far as its start tells), or
    None; `bytes` counts the state file and the rows file beside it."""

    path: str
    bytes: int
    saved_at: float
    files: Optional[int]
    rows: Optional[int]
    sources: Tuple[Tuple[str, Optional[str]], ...]
    version: Optional[str]
    problem: Optional[str]
    rows_file_bytes: int = 0  # of the rows file beside it (included in `bytes`)

    def to_dict(self) -> Dict[str, Any]:
        return {
            "path": self.path,
            "bytes": self.bytes,
            "saved_at": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(self.saved_at)),
            "files": self.files,
            "rows": self.rows,
            "sources": [{"path": p, "dialect": d} for p, d in self.sources],
            "version": self.version,
            "problem": self.problem,
            "rows_file_bytes": self.rows_file_bytes,
        }


def _is_temporary(name: str) -> bool:
    # The temporary files of `save_state` and `save_rows`: ".<file name>.<random>.tmp"
    return (
        name.startswith(".")
        and name.endswith(TEMPORARY_SUFFIX)
        and (STATE_SUFFIX + "." in name or ROWS_SUFFIX + "." in name)
    )


def _is_ours(name: str) -> bool:
    return name.endswith(STATE_SUFFIX) or name.endswith(ROWS_SUFFIX) or _is_temporary(name)


def list_states(folder: Optional[str] = None) -> Tuple[List[StateInfo], int]:
    """The state files in `folder` (default: `cache_dir()`), by path, and
    the number of temporary files left by saves that did not finish."""
    folder = folder if folder is not None else cache_dir()
    states: List[StateInfo] = []
    temporary = 0
    try:
        with os.scandir(folder) as it:
            entries = sorted(it, key=lambda e: e.name)
    except FileNotFoundError:
        return states, 0
    rows_files = {}
    for entry in entries:
        if entry.name.endswith(ROWS_SUFFIX) and not _is_temporary(entry.name):
            with contextlib.suppress(OSError):
                rows_files[entry.name[: -len(ROWS_SUFFIX)]] = entry.stat().st_size
    for entry in entries:
        if not _is_ours(entry.name) or entry.name.endswith(ROWS_SUFFIX):
            continue
        if _is_temporary(entry.name):
            temporary += 1
            continue
        info = _describe(entry)
        extra = rows_files.get(entry.name[: -len(STATE_SUFFIX)], 0)
        states.append(dataclasses.replace(info, bytes=info.bytes + extra, rows_file_bytes=extra))
    return states, temporary


def _describe(entry: os.DirEntry[str]) -> StateInfo:
    try:
        st = entry.stat()
        size, saved = st.st_size, st.st_mtime
    except OSError:
        size, saved = 0, 0.0
    try:
        head = read_head(entry.path)
    except (OSError, StateRefused) as exc:
        reason = oserror_text(exc) if isinstance(exc, OSError) else str(exc)
        return StateInfo(entry.path, size, saved, None, None, (), None, reason)
    header = head.host.header
    raw = header.get("sources")
    sources: Tuple[Tuple[str, Optional[str]], ...] = ()
    if isinstance(raw, list):
        sources = tuple(
            (str(s[0]), s[1] if isinstance(s[1], str) else None) for s in raw if isinstance(s, list) and len(s) == 2
        )
    problem: Optional[str] = None
    try:
        check_host(head.host, [Source(p, d) for p, d in sources])
    except (StateRefused, ValueError) as exc:
        problem = str(exc)
    version = header.get("version")
    return StateInfo(
        entry.path, size, saved, head.files, head.rows, sources, version if isinstance(version, str) else None, problem
    )


# A saved state that no command has loaded or saved for this long (its
# sources looked at once, or given up) is removed by the next save in the
# folder, with its rows file.
UNUSED_AFTER = 30 * 86400.0


def drop_unused(folder: str, keep: str, older_than: float = UNUSED_AFTER) -> int:
    """Removes from `folder` the state files (with the rows files beside
    them) that no command has loaded or saved for `older_than` seconds (a
    load marks the file's access time, `Restore`), rows files whose state
    is gone and as old, and temporary files of saves killed an hour ago or
    more; never `keep`, nor anything but regular files of ours. Returns how
    many states it removed; never raises."""
    now = time.time()
    removed = 0
    try:
        with os.scandir(folder) as it:
            entries = [e for e in it if _is_ours(e.name)]
    except OSError:
        return 0
    states = {e.name[: -len(STATE_SUFFIX)] for e in entries if e.name.endswith(STATE_SUFFIX)}
    for entry in entries:
        name = entry.name
        try:
            st = entry.stat(follow_symlinks=False)
        except OSError:
            continue
        if not stat.S_ISREG(st.st_mode) or entry.path == keep:
            continue
        if _is_temporary(name):
            old = now - st.st_mtime > STALE_AFTER
        elif name.endswith(STATE_SUFFIX):
            old = now - max(st.st_atime, st.st_mtime) > older_than
        else:  # a rows file: removed with its state, or alone once its state is gone
            old = name[: -len(ROWS_SUFFIX)] not in states and now - st.st_mtime > older_than
        if not old:
            continue
        with contextlib.suppress(OSError):
            os.unlink(entry.path)
            if name.endswith(STATE_SUFFIX):
                removed += 1
                with contextlib.suppress(OSError):
                    os.unlink(entry.path[: -len(STATE_SUFFIX)] + ROWS_SUFFIX)
    return removed


def clear_states(folder: Optional[str] = None) -> Tuple[int, int]:
    """Removes the state files and leftover temporary files in `folder`
    (default: `cache_dir()`); nothing else there is touched. Returns how
    many files and bytes were removed. Raises OSError."""
    folder = folder if folder is not None else cache_dir()
    removed = freed = 0
    try:
        with os.scandir(folder) as it:
            entries = list(it)
    except FileNotFoundError:
        return 0, 0
    for entry in entries:
        if not _is_ours(entry.name) or entry.is_dir(follow_symlinks=False):
            continue
        try:
            size = entry.stat(follow_symlinks=False).st_size
            os.unlink(entry.path)
        except FileNotFoundError:
            continue
        removed += 1
        freed += size
    return removed, freed
