"""Which key of a price map prices a model of the logs.

Models in the logs are folded by the engine (lower case, a trailing
``[1m]`` and an 8-digit date suffix removed), while a map names the same
model in several ways: exactly, with a date suffix, in another case, or
behind a ``provider/`` prefix. A model is matched conservatively, in this
order:

1. the key equal to the model (`EXACT`);
2. else the keys that fold to it as the engine folds names (`FOLDED`): the
   undated ones first, then the dated ones; used when every key of that
   group has the same rates;
3. else the ``provider/model`` keys whose model part folds to it
   (`PROVIDER`), used only when all of them have the same rates.

Keys that fold to the model but disagree on rates leave it unpriced (the
match says why), since which one the logs meant cannot be told. There is
never a prefix or fuzzy match.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Callable, Dict, Hashable, List, Optional, Sequence

EXACT = "exact"
FOLDED = "folded"
PROVIDER = "provider"

_WIDE = "[1m]"
_DATE_RE = re.compile(r"-[0-9]{8}$")


def fold(name: str) -> str:
    """A model name as the engine counts it: lower case, without one
    trailing ``[1m]`` and then without a trailing ``-`` and 8 digits."""
    key = name.lower()
    if key.endswith(_WIDE):
        key = key[: -len(_WIDE)]
    key = _DATE_RE.sub("", key)
    return key or "unknown"


def _undated(name: str) -> bool:
    key = name.lower()
    if key.endswith(_WIDE):
        key = key[: -len(_WIDE)]
    return not _DATE_RE.search(key)


@dataclass(frozen=True)
class Match:
    """The key that prices a model (None: none does) and how it was
    found; `note` says why keys that fold to the model were not used."""

    key: Optional[str]
    how: Optional[str] = None
    note: Optional[str] = None


NO_MATCH = Match(None)


class KeyIndex:
    """The keys of one price map, indexed for matching. `same` tells
    whether two keys carry the same rates (any hashable fingerprint)."""

    def __init__(self, keys: Sequence[str], fingerprint: Callable[[str], Hashable]) -> None:
        self._keys = set(keys)
        self._fingerprint = fingerprint
        self._folded: Dict[str, List[str]] = {}
        self._provided: Dict[str, List[str]] = {}
        for key in sorted(keys):
            if "/" in key:
                self._provided.setdefault(fold(key.rsplit("/", 1)[1]), []).append(key)
            else:
                self._folded.setdefault(fold(key), []).append(key)

    def match(self, model: str) -> Match:
        if model in self._keys:
            return Match(model, EXACT)
        folded = [k for k in self._folded.get(model, ()) if k != model]
        if folded:
            undated = [k for k in folded if _undated(k)]
            return self._agreeing(undated or folded, FOLDED)
        provided = self._provided.get(model, [])
        if provided:
            return self._agreeing(provided, PROVIDER)
        return NO_MATCH

    def _agreeing(self, keys: List[str], how: str) -> Match:
        prints = {self._fingerprint(k) for k in keys}
        if len(prints) == 1:
            return Match(keys[0], how)
        shown = ", ".join(keys[:4]) + (", ..." if len(keys) > 4 else "")
        return Match(None, how, "%d keys with different rates: %s" % (len(keys), shown))
