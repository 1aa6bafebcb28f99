"""An imported price map kept as a version with an effective start.

Each import of a price map is one `Version`: its rates (the map reduced to
its per-token rates), where it came from, when, its SHA-256 and HTTP
validators, its currency, and the instant from which it prices events.
An event is priced by the version with the latest effective start at or
before the event's time; on a tie, the later import (the higher id). The
earliest version also covers everything before its start, so the first
import prices all history and a later one never rewrites an earlier bill.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

from ledgerly.prices.matching import KeyIndex, Match
from ledgerly.prices.price_map import PriceMap, fingerprint, rates_of
from ledgerly.prices.rates import Rates

CURRENCY = "USD"  # the common per-token format's rates are US dollars


@dataclass(frozen=True)
class Version:
    """One imported price map. `effective_from` is Unix ms (None: from the
    beginning); `fetched_at` Unix ms; `etag` and `last_modified` the HTTP
    validators of a URL's answer."""

    id: int
    source: str
    fetched_at: int
    sha256: str
    effective_from: Optional[int]
    entries: PriceMap
    currency: str = CURRENCY
    etag: Optional[str] = None
    last_modified: Optional[str] = None

    @cached_property
    def keys(self) -> Tuple[str, ...]:
        """The entries' keys in code-point order: an entry's place here is
        its number within the version."""
        return tuple(sorted(self.entries))

    @cached_property
    def _positions(self) -> Dict[str, int]:
        return {k: i for i, k in enumerate(self.keys)}

    @cached_property
    def _index(self) -> KeyIndex:
        return KeyIndex(self.keys, lambda k: fingerprint(self.entries[k]))

    @cached_property
    def _rates(self) -> Dict[str, Rates]:
        return {}

    def position(self, key: str) -> int:
        return self._positions[key]

    def match(self, model: str) -> Match:
        return self._index.match(model)

    def rates(self, key: str) -> Rates:
        found = self._rates.get(key)
        if found is None:
            found = self._rates[key] = rates_of(self.entries[key])
        return found

    def describe(self) -> Dict[str, Any]:
        """The version's facts, without its entries."""
        return {
            "id": self.id,
            "source": self.source,
            "fetched_at": self.fetched_at,
            "effective_from": self.effective_from,
            "entries": len(self.entries),
            "sha256": self.sha256,
            "currency": self.currency,
        }


def in_force_order(versions: Sequence[Version]) -> Tuple[Version, ...]:
    """Versions by effective start (the beginning first), then import order."""
    low = -(2**63)
    return tuple(sorted(versions, key=lambda v: (low if v.effective_from is None else v.effective_from, v.id)))


def version_at(versions: Sequence[Version], instant: int) -> Optional[Version]:
    """The version that prices an event at `instant` among `versions`
    sorted by `in_force_order` (the first covers everything before it)."""
    chosen = None
    for version in versions:
        if version.effective_from is None or version.effective_from <= instant or chosen is None:
            chosen = version
        else:
            break
    return chosen


def entries_of(data: Mapping[str, Any]) -> PriceMap:
    """The entries of a stored version, as they were written."""
    return {str(k): {str(f): float(r) for f, r in v.items()} for k, v in data.items()}
