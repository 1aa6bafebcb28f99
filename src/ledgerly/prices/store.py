"""The imported price maps on disk: one file per version.

The versions live in ``prices/`` inside the user data folder
(``$LEDGERLY_DATA_DIR``, or platformdirs' user data folder for ledgerly:
``~/.local/share/ledgerly`` on Linux), never in the cache folder, so
clearing the cache keeps them. The folders are private (mode 0700, the
user's own, writable by nobody else: `ledgerly.private_files`); each
version is ``<id>.json``, mode 0600, written to a temporary file and given
its name in one step, and read through one descriptor whose owner and
mode are checked. Ids are whole numbers in import order.

A version's file is JSON: the facts of `Version` (times in Unix ms) and
``entries``, the map's per-token rates in the map's own format. A file
that cannot be read is left alone and reported (`Stored.problems`); the
other versions still price.
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Tuple

from ledgerly.private_files import NewFile, NotPrivate, private_folder, read_private, remove_stale, user_folder

if TYPE_CHECKING:
    from ledgerly.prices.versions import Version

ENV_DATA_DIR = "LEDGERLY_DATA_DIR"
FOLDER = "prices"
FORMAT = 1
MAX_SIZE = 64 << 20  # bytes of one stored version (no more than the map it came from)
_NAME_RE = re.compile(r"([1-9][0-9]{0,8})\.json")


class StoreError(Exception):
    """The stored prices cannot be read or changed; the message says why."""


def data_dir(environ: Optional[Mapping[str, str]] = None) -> str:
    """The user data folder of ledgerly (not created)."""
    return user_folder("data", ENV_DATA_DIR, environ)


def prices_folder(environ: Optional[Mapping[str, str]] = None) -> str:
    """The folder of the stored versions (not created)."""
    return os.path.join(data_dir(environ), FOLDER)


@dataclass(frozen=True)
class Stored:
    """The versions that could be read, in id order, and one line for
    each file that could not."""

    folder: str
    versions: Tuple[Version, ...] = ()
    problems: Tuple[str, ...] = ()


def encode(version: Version) -> bytes:
    data: Dict[str, Any] = {
        "format": FORMAT,
        "id": version.id,
        "source": version.source,
        "fetched_at": version.fetched_at,
        "sha256": version.sha256,
        "effective_from": version.effective_from,
        "currency": version.currency,
        "etag": version.etag,
        "last_modified": version.last_modified,
        "entries": version.entries,
    }
    return json.dumps(data, ensure_ascii=False, separators=(",", ":"), sort_keys=True).encode("utf-8")


def decode(data: bytes, number: int) -> Version:
    """The version in a stored file's bytes; raises ValueError saying why
    it cannot be used."""
    try:
        value = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise ValueError("not a stored price map (damaged or cut short)") from None
    if not isinstance(value, dict) or value.get("format") != FORMAT:
        raise ValueError("not a stored price map of format %d" % FORMAT)
    if value.get("id") != number:
        raise ValueError("its name says version %d, its content version %r" % (number, value.get("id")))

    def text(name: str, optional: bool = False) -> Any:
        found = value.get(name)
        if not (isinstance(found, str) or (optional and found is None)):
            raise ValueError("its %s is missing" % name)
        return found

    def instant(name: str, optional: bool = False) -> Any:
        found = value.get(name)
        if not ((isinstance(found, int) and not isinstance(found, bool)) or (optional and found is None)):
            raise ValueError("its %s is missing" % name)
        return found

    from ledgerly.prices.price_map import PriceMapError, parse_map
    from ledgerly.prices.versions import Version

    try:
        entries = parse_map(value.get("entries"))
    except PriceMapError as exc:
        raise ValueError(str(exc)) from None
    return Version(
        number,
        text("source"),
        instant("fetched_at"),
        text("sha256"),
        instant("effective_from", True),
        entries,
        text("currency"),
        text("etag", True),
        text("last_modified", True),
    )


def _checked_folder(folder: str, make: bool) -> bool:
    """Whether the folder exists (made when `make`); raises StoreError when
    it, or the data folder holding it, may be written by others."""
    try:
        private_folder(os.path.dirname(folder), make=make)
        private_folder(folder, make=make)
    except FileNotFoundError:
        return False
    except NotPrivate as exc:
        raise StoreError("the prices folder %s cannot be trusted: %s" % (folder, exc)) from None
    except OSError as exc:
        raise StoreError("the prices folder %s cannot be used: %s" % (folder, exc.strerror or exc)) from None
    return True


def _numbers(folder: str) -> List[int]:
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return []
    except OSError as exc:
        raise StoreError("the prices folder %s cannot be listed: %s" % (folder, exc.strerror or exc)) from None
    return sorted(int(m.group(1)) for m in map(_NAME_RE.fullmatch, names) if m)


def load_versions(folder: Optional[str] = None) -> Stored:
    """Every stored version. Raises StoreError when the folder cannot be
    trusted or listed; a version that cannot be read is a problem line."""
    folder = prices_folder() if folder is None else folder
    if not _checked_folder(folder, make=False):
        return Stored(folder)
    versions: List[Version] = []
    problems: List[str] = []
    for number in _numbers(folder):
        path = os.path.join(folder, "%d.json" % number)
        try:
            versions.append(decode(read_private(path, MAX_SIZE), number))
        except FileNotFoundError:
            continue  # removed meanwhile
        except OSError as exc:
            problems.append("price version %d (%s) cannot be read: %s" % (number, path, exc.strerror or exc))
        except ValueError as exc:
            problems.append("price version %d (%s) cannot be used: %s" % (number, path, exc))
    return Stored(folder, tuple(versions), tuple(problems))


Stamp = Optional[Tuple[object, ...]]


def store_stamp(folder: str) -> Stamp:
    """What the store looks like, cheaply: the folder's identity, owner,
    mode and change time, and each version file's name, identity, size and
    change time (None when there is no folder). Any import, removal or
    edit changes it."""
    try:
        st = os.stat(folder)
        with os.scandir(folder) as entries:
            files = []
            for entry in entries:
                if _NAME_RE.fullmatch(entry.name):
                    try:
                        fs = entry.stat(follow_symlinks=False)
                    except FileNotFoundError:
                        continue
                    files.append((entry.name, fs.st_ino, fs.st_size, fs.st_mtime_ns, fs.st_ctime_ns, fs.st_mode))
    except FileNotFoundError:
        return None
    except OSError as exc:
        return ("unreadable", exc.errno)
    return (st.st_ino, st.st_uid, st.st_mode, st.st_mtime_ns, st.st_ctime_ns, tuple(sorted(files)))


def add_version(version: Version, folder: Optional[str] = None) -> Version:
    """Stores `version` under the next free id (its own id is ignored);
    returns it with that id. Two imports at once never take one id: the
    finished file gets its name by a link, which fails when the name is
    taken. Raises StoreError."""
    from ledgerly.prices.versions import Version

    folder = prices_folder() if folder is None else folder
    _checked_folder(folder, make=True)
    for _attempt in range(1000):
        numbers = _numbers(folder)
        number = (numbers[-1] if numbers else 0) + 1
        stored = Version(
            number,
            version.source,
            version.fetched_at,
            version.sha256,
            version.effective_from,
            version.entries,
            version.currency,
            version.etag,
            version.last_modified,
        )
        path = os.path.join(folder, "%d.json" % number)
        try:
            if _publish(path, encode(stored)):
                remove_stale(folder, os.path.basename(path))
                return stored
        except OSError as exc:
            raise StoreError("storing the prices in %s failed: %s" % (folder, exc.strerror or exc)) from None
    raise StoreError("storing the prices in %s failed: no free version number" % folder)


def _publish(path: str, data: bytes) -> bool:
    """Writes `data` to a new file and gives it the name `path` only when
    nothing has that name; False when something had."""
    new = NewFile(path)
    try:
        new.write(data)
        new.close()
        try:
            os.link(new.temporary, path)
        except FileExistsError:
            return False
        except OSError as exc:
            if exc.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV):
                raise
            # A file system without hard links: claim the name, then fill it.
            if os.path.lexists(path):
                return False
            os.replace(new.temporary, path)
        return True
    finally:
        new.discard()


def remove_version(number: int, folder: Optional[str] = None) -> Version:
    """Removes stored version `number`; returns what it was (as far as it
    could be read). Raises StoreError when there is no such version."""
    folder = prices_folder() if folder is None else folder
    if not _checked_folder(folder, make=False) or number not in _numbers(folder):
        raise StoreError("there is no price version %d ('ledgerly prices' lists them)" % number)
    path = os.path.join(folder, "%d.json" % number)
    removed: Optional[Version] = None
    with contextlib.suppress(OSError, ValueError):
        removed = decode(read_private(path, MAX_SIZE), number)
    try:
        os.unlink(path)
    except FileNotFoundError:
        raise StoreError("there is no price version %d ('ledgerly prices' lists them)" % number) from None
    except OSError as exc:
        raise StoreError("removing price version %d failed: %s" % (number, exc.strerror or exc)) from None
    if removed is None:
        from ledgerly.prices.versions import Version

        removed = Version(number, "?", 0, "", None, {})
    return removed
