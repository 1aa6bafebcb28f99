"""Reading TOML files with errors that say where the problem is.

The TOML reader reports syntax errors with their line; for a file that
parses but holds a wrong key or value, `TomlFile.where` finds the line of
that key by a light scan of the text (table headers and ``key =`` lines),
falling back to naming the key path when the key cannot be placed (for
example inside an inline table).
"""

from __future__ import annotations

import json
import os
import re
import stat
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

KeyPath = Tuple[Union[str, int], ...]


class ConfigError(Exception):
    """A configuration or price file that cannot be used. The message names
    the file, the line (or key path) and what is wrong."""


# The patterns are compiled on first use (the re module keeps them): most
# commands read no TOML file at all, and should not pay for it.
_KEY = r'\s*(?:[A-Za-z0-9_-]+|"(?:[^"\\]|\\.)*"|\'[^\']*\')\s*'
_DOTTED = _KEY + r"(?:\." + _KEY + r")*"
_HEADER = r"^\s*(\[\[?)(" + _DOTTED + r")\]\]?\s*(?:#.*)?$"
_ASSIGN = r"^(" + _DOTTED + r")="


def _split(dotted: str) -> List[str]:
    parts = []
    for match in re.finditer(_KEY, dotted):
        text = match.group(0).strip()
        if not text:
            continue
        if text.startswith('"'):
            try:
                text = json.loads(text)
            except ValueError:
                text = text[1:-1]
        elif text.startswith("'"):
            text = text[1:-1]
        parts.append(text)
    return parts


def _key_lines(text: str) -> Dict[KeyPath, int]:
    """Maps the key paths defined by headers and ``key =`` lines to their
    1-based line numbers (first definition wins)."""
    lines: Dict[KeyPath, int] = {}
    table: KeyPath = ()
    arrays: Dict[KeyPath, int] = {}
    header_re, assign_re = re.compile(_HEADER), re.compile(_ASSIGN)
    for number, line in enumerate(text.splitlines(), 1):
        header = header_re.match(line)
        if header:
            path: KeyPath = tuple(_split(header.group(2)))
            if header.group(1) == "[[":
                index = arrays.get(path, -1) + 1
                arrays[path] = index
                table = path + (index,)
                lines.setdefault(path, number)
            else:
                table = path
            lines.setdefault(table, number)
            continue
        assign = assign_re.match(line)
        if assign:
            lines.setdefault(table + tuple(_split(assign.group(1))), number)
    return lines


def format_path(path: Sequence[Union[str, int]]) -> str:
    out = []
    for part in path:
        if isinstance(part, int):
            out.append("[%d]" % part)
        else:
            text = part if re.fullmatch(r"[A-Za-z0-9_-]+", part) else '"%s"' % part
            out.append(("." if out else "") + text)
    return "".join(out)


class TomlFile:
    """A parsed TOML file: `data` plus the means to place its keys."""

    def __init__(self, path: str, text: str, data: Dict[str, Any]) -> None:
        self.path = path
        self.data = data
        self._lines = _key_lines(text)

    def line_of(self, path: KeyPath) -> Optional[int]:
        """The line that defines `path`, or of its nearest enclosing table."""
        for end in range(len(path), 0, -1):
            line = self._lines.get(tuple(path[:end]))
            if line is not None:
                return line
        return None

    def error(self, path: KeyPath, message: str) -> ConfigError:
        """An error about the key at `path`, placed by line when possible."""
        line = self.line_of(path)
        where = "%s:%d" % (self.path, line) if line is not None else self.path
        return ConfigError("%s: %s: %s" % (where, format_path(path), message))


_POSITION = r"\s*\(at line (\d+), column (\d+)\)\s*$"


MAX_SIZE = 4 << 20  # bytes: far more than any config or price table needs
_KINDS = (
    (stat.S_ISDIR, "a folder"),
    (stat.S_ISFIFO, "a named pipe"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


def read_bytes(path: str, limit: int = MAX_SIZE, what: str = "a config or price file") -> bytes:
    """The bytes of the regular file at `path`, of at most `limit` bytes
    (`what` names it in the error). Anything else is refused before it is
    read: a device would be read for ever, a named pipe without a writer
    would block the open. Raises ConfigError."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except ValueError:
        raise ConfigError("%r: a path cannot hold a NUL character" % path) from None
    except OSError as exc:
        raise ConfigError("%s: %s" % (path, exc.strerror or exc)) from None
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            kind = next((name for test, name in _KINDS if test(mode)), "not a file")
            raise ConfigError("%s: not a regular file (%s)" % (path, kind))
        chunks = []
        size = 0
        while size <= limit:
            chunk = os.read(fd, min(limit + 1 - size, 1 << 24))
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
    except OSError as exc:
        raise ConfigError("%s: %s" % (path, exc.strerror or exc)) from None
    finally:
        os.close(fd)
    if size > limit:
        raise ConfigError("%s: larger than %d MiB, too large for %s" % (path, limit >> 20, what))
    return b"".join(chunks)


def read_toml(path: str) -> TomlFile:
    """Reads and parses the TOML file at `path`; raises ConfigError."""
    raw = read_bytes(path)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = raw[: exc.start].count(b"\n") + 1
        raise ConfigError("%s:%d: the file is not UTF-8 text" % (path, line)) from None
    if text.startswith("\ufeff"):
        text = text[1:]  # a byte-order mark, as some editors write: not part of the TOML
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - exercised on older interpreters
        import tomli as tomllib
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        message = str(exc)
        position = re.search(_POSITION, message)
        if position:
            message = message[: position.start()]
            where = "%s:%s:%s" % (path, position.group(1), position.group(2))
        else:
            where = path
        message = message[:1].lower() + message[1:]
        raise ConfigError("%s: %s" % (where, message)) from None
    return TomlFile(path, text, data)
