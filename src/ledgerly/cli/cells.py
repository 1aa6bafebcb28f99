"""Table cells that fit their column on one line.

A cell too long for its column is shortened, never wrapped, the same way
in every table:

- a path: the home folder written as ``~``, then cut in the middle at
  folder boundaries, keeping its start and as many of its last parts as fit
  (``~/work/…/acme/volcano``); a last part that does not fit even alone is
  cut from the left (``…cano-service``), since a path's end says the most;
- a name (a model, a machine): cut at the end (``alpha-4-5-previ…``);
- a list of names: as many whole names as fit, then how many more (``+2``);
- an id: cut at the end, never shorter than the prefix that tells it apart
  from every other id in the table (``ledgerly sessions --id`` takes such a
  prefix).

Control characters are shown as ``?`` so that a cell is always one line.
Widths are terminal cells (a wide character takes two).
"""

from __future__ import annotations

import os
import unicodedata
from typing import Dict, Optional, Sequence

from rich.cells import cell_len

ELLIPSIS = "\u2026"
ID_PREFIX = 8  # the shortest id prefix a table shows


def printable(text: str) -> str:
    """`text` with control and line-breaking characters as ``?``."""
    if text.isprintable():
        return text
    return "".join("?" if unicodedata.category(c) in ("Cc", "Zl", "Zp") else c for c in text)


def width(text: str) -> int:
    """The terminal cells `text` takes."""
    return cell_len(text)


def _head(text: str, room: int) -> str:
    """The longest start of `text` that takes at most `room` cells."""
    out, used = [], 0
    for c in text:
        used += cell_len(c)
        if used > room:
            break
        out.append(c)
    return "".join(out)


def cut_end(text: str, room: int) -> str:
    """`text`, or its start and "…" in `room` cells."""
    text = printable(text)
    if cell_len(text) <= room:
        return text
    return _head(text, room - 1) + ELLIPSIS if room >= 1 else ""


def cut_start(text: str, room: int) -> str:
    """`text`, or "…" and its end in `room` cells."""
    text = printable(text)
    if cell_len(text) <= room:
        return text
    return ELLIPSIS + _head(text[::-1], room - 1)[::-1] if room >= 1 else ""


SEPARATORS = "/" + os.sep


def with_tilde(path: str, home: Optional[str] = None) -> str:
    """`path` with the home folder (`home`, by default the user's) written as ``~``."""
    home = (os.path.expanduser("~") if home is None else home).rstrip(SEPARATORS)
    if home and (path == home or (path.startswith(home) and path[len(home) : len(home) + 1] in SEPARATORS)):
        return "~" + path[len(home) :]
    return path


def fit_path(path: str, room: int, home: Optional[str] = None) -> str:
    """`path` in at most `room` cells (see the module docstring)."""
    text = printable(with_tilde(path, home))
    if cell_len(text) <= room:
        return text
    sep = "/" if "/" in text or "\\" not in text else "\\"
    parts = text.split(sep)
    if len(parts) >= 3:
        head, first, last = parts[0] + sep, 1, len(parts)
        # The last parts first: as many as fit after the start and "…".
        while last > first + 1 and cell_len(head + ELLIPSIS + sep + sep.join(parts[last - 1 :])) <= room:
            last -= 1
        if last < len(parts):
            tail = sep + sep.join(parts[last:])
            # Then the first parts, as many as the rest of the room holds.
            while first < last - 1 and cell_len(head + parts[first] + sep + ELLIPSIS + tail) <= room:
                head += parts[first] + sep
                first += 1
            return head + ELLIPSIS + tail
    return cut_start(text, room)


def fit_names(names: Sequence[str], room: int) -> str:
    """Names joined by ", " in at most `room` cells: as many whole names as
    fit, then "+N" for the rest; the first name cut when even it does not."""
    names = [printable(n) for n in names]
    whole = ", ".join(names)
    if cell_len(whole) <= room:
        return whole
    for shown in range(len(names) - 1, 0, -1):
        text = "%s +%d" % (", ".join(names[:shown]), len(names) - shown)
        if cell_len(text) <= room:
            return text
    more = " +%d" % (len(names) - 1) if len(names) > 1 else ""
    return cut_end(names[0], room - len(more)) + more if room > len(more) else cut_end(whole, room)


def prefix_lengths(ids: Sequence[str], least: int = ID_PREFIX) -> Dict[str, int]:
    """For each id, the length of its shortest prefix (at least `least`
    characters, at most the whole id) that no other of `ids` starts with."""
    ordered = sorted(set(ids))
    out: Dict[str, int] = {}
    for i, text in enumerate(ordered):
        shared = 0
        for other in ordered[max(0, i - 1) : i] + ordered[i + 1 : i + 2]:
            same = next((k for k, (a, b) in enumerate(zip(text, other)) if a != b), min(len(text), len(other)))
            shared = max(shared, same)
        out[text] = min(len(text), max(least, shared + 1))
    return out


def fit_id(text: str, room: int, prefix: int) -> str:
    """The id `text` in `room` cells, but never cut below its unique
    `prefix` length (the cell is then wider than `room`)."""
    text = printable(text)
    if cell_len(text) <= room:
        return text
    return cut_end(text, max(room, cell_len(text[:prefix]) + 1))
