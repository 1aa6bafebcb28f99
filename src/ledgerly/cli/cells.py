"""Table cells that fit their column on one line.

A cell too long for its column is shortened, never wrapped, the same way
in every table:

- a path: the home folder written as ``~``, then cut in the middle at
  folder boundaries, keeping its start and as many of its last parts as fit
  (``~/work/…/acme/volcano``), and the part that tells it from another path
  that would read the same (``/…/runner-42/…/core``); a last part that does
  not fit even alone is cut from the left (``…cano-service``), since a
  path's end says the most;
- a name (a model, a machine): cut at the end (``alpha-4-5-previ…``), or,
  when two names would then read the same, in the middle
  (``model-x…preview``, ``model-x…2025-06``);
- a list of names: as many whole names as fit, then how many more (``+2``);
- an id: whole, or else cut to the prefix that tells it apart from every
  other id in the table (``ledgerly sessions --id`` takes such a prefix).

Control characters are shown as ``?`` so that a cell is always one line.
Widths are terminal cells (a wide character takes two).
"""

from __future__ import annotations

import os
import unicodedata
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

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


def cut_middle(text: str, room: int) -> str:
    """`text`, or its start, "…" and its end in `room` cells (the end gets
    the larger half)."""
    text = printable(text)
    if cell_len(text) <= room:
        return text
    head = _head(text, (room - 1) // 2)
    return head + ELLIPSIS + _head(text[::-1], room - 1 - cell_len(head))[::-1] if room >= 1 else ""


def fit_names_apart(names: Sequence[str], room: int) -> List[str]:
    """Each of `names` in at most `room` cells, cut at the end; names whose
    cut forms would read the same are cut in the middle instead, keeping
    their ends, where they usually differ (a date, a variant)."""
    shown = {n: cut_end(n, room) for n in set(names)}
    alike: Dict[str, List[str]] = {}
    for n, text in shown.items():
        alike.setdefault(text, []).append(n)
    for group in alike.values():
        if len(group) > 1:
            shown.update((n, cut_middle(n, room)) for n in group)
    return [shown[n] for n in names]


SEPARATORS = "/" + os.sep


def with_tilde(path: str, home: Optional[str] = None) -> str:
    """`path` with the home folder (`home`, by default the user's) written as ``~``."""
    home = (os.path.expanduser("~") if home is None else home).rstrip(SEPARATORS)
    if home and (path == home or (path.startswith(home) and path[len(home) : len(home) + 1] in SEPARATORS)):
        return "~" + path[len(home) :]
    return path


def _split(text: str) -> Tuple[str, List[str]]:
    """A path's separator and its parts (the first is "" for an absolute path)."""
    sep = "/" if "/" in text or "\\" not in text else "\\"
    return sep, text.split(sep)


def _joined(parts: Sequence[str], shown: Sequence[int], sep: str) -> str:
    """The parts at the (sorted) indexes `shown`, each gap written as "…"."""
    out = parts[shown[0]]
    for before, index in zip(shown, shown[1:]):
        out += sep + (ELLIPSIS + sep if index > before + 1 else "") + parts[index]
    return out


def fit_path(path: str, room: int, home: Optional[str] = None, keep: Iterable[int] = ()) -> str:
    """`path` in at most `room` cells (see the module docstring). `keep`
    names parts (indexes into the path's parts, with the home folder as
    ``~``) that must stay in view, such as the one that tells it from
    another path; when they do not fit, the path is shortened without them."""
    text = printable(with_tilde(path, home))
    if cell_len(text) <= room:
        return text
    sep, parts = _split(text)
    last = len(parts) - 1
    shown = sorted({0, last} | {i for i in keep if 0 < i < last})
    if len(parts) >= 3 and cell_len(_joined(parts, shown, sep)) <= room:
        # The last parts first, as many as fit; then the first parts.
        for order in (range(last - 1, 0, -1), range(1, last)):
            for index in order:
                if index in shown:
                    continue
                more = sorted(shown + [index])
                if len(more) == len(parts) or cell_len(_joined(parts, more, sep)) > room:
                    break
                shown = more
        return _joined(parts, shown, sep)
    if keep:
        return fit_path(path, room, home)
    return cut_start(text, room)


def telling_parts(path: str, others: Iterable[str], home: Optional[str] = None) -> List[int]:
    """The parts of `path` (as `fit_path` counts them) that tell it from
    each of `others`: for each, the last part in which the two differ,
    counted from their ends."""
    return _telling_parts([path, *others], home)[path]


def _telling_parts(paths: Sequence[str], home: Optional[str]) -> Dict[str, List[int]]:
    """`telling_parts` of each of `paths` against all the others, in time
    linear in their parts: the paths' parts, last first, in a tree; where a
    path's branch meets another (or another path ends), the two differ in
    the part that follows, counted from the end."""
    split = {p: _split(printable(with_tilde(p, home)))[1] for p in set(paths)}
    tree: Dict[Any, Any] = {}
    for parts in split.values():
        node = tree
        for part in reversed(parts):
            node = node.setdefault(part, {})
        node[None] = node.get(None, 0) + 1  # a path ends here
    out: Dict[str, List[int]] = {}
    for p, parts in split.items():
        node, found = tree, []
        for back, part in enumerate(reversed(parts)):
            # Another path branches off, or ends, before this part: they differ at it.
            if len(node) > 1 or None in node:
                found.append(len(parts) - 1 - back)
            node = node[part]
        out[p] = sorted(found)
    return out


def fit_paths(paths: Sequence[str], room: int, home: Optional[str] = None) -> List[str]:
    """Each of `paths` in at most `room` cells, as `fit_path` shortens it;
    paths whose shortened forms would read the same keep the parts that
    tell them apart, where those fit (the same path always reads the same)."""
    home = os.path.expanduser("~") if home is None else home
    shown = {p: fit_path(p, room, home) for p in set(paths)}
    alike: Dict[str, List[str]] = {}
    for p, text in shown.items():
        alike.setdefault(text, []).append(p)
    for group in alike.values():
        if len(group) > 1:
            for p, keep in _telling_parts(group, home).items():
                shown[p] = fit_path(p, room, home, keep)
    return [shown[p] for p in paths]


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
    """The id `text` whole when it fits in `room` cells, otherwise its
    unique `prefix` and "…" (wider than `room` when even that does not
    fit): a cut id is cut where it stops being ambiguous, never elsewhere."""
    text = printable(text)
    if cell_len(text) <= room or prefix >= len(text):
        return text
    return text[:prefix] + ELLIPSIS
