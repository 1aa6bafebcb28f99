"""The price table: everything that prices usage, and which entry prices
which model when.

A table has two parts, consulted in this order:

1. `entries`: model globs with their rates, from the config's ``[prices]``
   (or a file given with ``--prices``); the first glob that matches a
   model, in file order, prices all of its usage;
2. `versions`: imported price maps (`ledgerly.prices.versions`), each in
   force from its effective start; a model no glob matches is priced by
   the key that matches it (`ledgerly.prices.matching`) in the version in
   force at each event's time.

Every entry of a table has a number (`entry ids`): the globs first, in
file order, then each version's keys in `in_force_order`, in code-point
order. `ledgerly.prices.classes` uses them to name the price class of
every event.
"""

from __future__ import annotations

import fnmatch
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from ledgerly.prices.rates import NO_TIERS, Band, PerKind, Rates, TierRates

if TYPE_CHECKING:
    from ledgerly.prices.matching import Match
    from ledgerly.prices.versions import Version

GLOB = "glob"


@dataclass(frozen=True)
class ModelPrice:
    """The rates of one glob, per million tokens: `per_million` in
    `KINDS` order (None where the table gives no price), and the rates of
    long-context bands and service tiers."""

    glob: str
    per_million: PerKind
    bands: Tuple[Band, ...] = ()
    tiers: TierRates = NO_TIERS

    def matches(self, model: str) -> bool:
        return fnmatch.fnmatchcase(model, self.glob.lower())

    @property
    def rates(self) -> Rates:
        return Rates(self.per_million, self.bands, self.tiers)


@dataclass(frozen=True)
class Priced:
    """What prices one model in one version's time: the entry's number in
    the table (`entry`, -1 for none), its rates, and where it comes from:
    `version` (None for a glob), the glob or `key`, and `how` it was
    matched (`"glob"`, `"exact"`, `"folded"`, `"provider"`; None when
    nothing matched, with `note` saying why when keys disagreed)."""

    entry: int
    rates: Optional[Rates]
    version: Optional[int]
    key: Optional[str]
    how: Optional[str]
    note: Optional[str] = None


@dataclass(frozen=True)
class PriceTable:
    """Globs (`entries`, first match wins) and imported `versions`; costs
    are in `currency` (None: bare numbers, as the globs were written).
    `origin` is the file the globs were read from."""

    entries: Tuple[ModelPrice, ...] = ()
    versions: Tuple[Version, ...] = ()
    currency: Optional[str] = None
    origin: Optional[str] = None

    def __post_init__(self) -> None:
        # Most tables are globs alone: the imported maps' modules (their
        # format, the matching of keys) are loaded only for a table that
        # has versions.
        versions: Tuple[Version, ...] = ()
        if self.versions:
            from ledgerly.prices.versions import in_force_order

            versions = in_force_order(self.versions)
        object.__setattr__(self, "versions", versions)

    def __bool__(self) -> bool:
        return bool(self.entries) or bool(self.versions)

    def price_for(self, model: str) -> Optional[ModelPrice]:
        """The first glob that matches `model`, or None."""
        for entry in self.entries:
            if entry.matches(model):
                return entry
        return None

    def with_versions(self, versions: Tuple[Version, ...], currency: Optional[str]) -> PriceTable:
        """This table's globs with `versions` after them, in `currency`."""
        return PriceTable(self.entries, versions, currency, self.origin)

    @property
    def starts(self) -> Tuple[Optional[int], ...]:
        """The effective start of each version, in force order (one None
        period when there are no versions)."""
        return tuple(v.effective_from for v in self.versions) or (None,)

    @cached_property
    def _offsets(self) -> List[int]:
        offsets = [len(self.entries)]
        for version in self.versions:
            offsets.append(offsets[-1] + len(version.entries))
        return offsets

    @cached_property
    def _resolved(self) -> Dict[str, Tuple[Priced, ...]]:
        return {}

    @cached_property
    def plans(self) -> Dict[Tuple[str, ...], Any]:
        """Room for the class plans of the last few model tables
        (`ledgerly.prices.classes.plan_for`)."""
        return {}

    @property
    def entry_count(self) -> int:
        return self._offsets[-1]

    def resolve(self, model: str) -> Tuple[Priced, ...]:
        """What prices `model` in each version's period (one period when
        there are no versions): its glob if one matches, else the version's
        matching key."""
        found = self._resolved.get(model)
        if found is not None:
            return found
        periods = max(1, len(self.versions))
        for number, entry in enumerate(self.entries):
            if entry.matches(model):
                found = (Priced(number, entry.rates, None, entry.glob, GLOB),) * periods
                break
        else:
            if not self.versions:
                found = (Priced(-1, None, None, None, None),)
            else:
                offsets = self._offsets
                found = tuple(self._in_version(v, offsets[i], model) for i, v in enumerate(self.versions))
        self._resolved[model] = found
        return found

    @staticmethod
    def _in_version(version: Version, offset: int, model: str) -> Priced:
        match: Match = version.match(model)
        if match.key is None:
            return Priced(-1, None, version.id, None, match.how, match.note)
        return Priced(offset + version.position(match.key), version.rates(match.key), version.id, match.key, match.how)

    def fingerprint(self) -> Any:
        """The table as plain data, equal for tables that price alike; a
        table of plain globs keeps the form it always had."""
        globs = [[e.glob, e.rates.describe()] for e in self.entries]
        if not self.versions and self.currency is None:
            return globs
        return {
            "globs": globs,
            "currency": self.currency,
            "versions": [[v.sha256, v.effective_from, v.id] for v in self.versions],
        }


class CurrencyMix(ValueError):
    """Globs and imported versions in different currencies: their costs
    would be added up in one report. The message says how to settle it."""


def combined(globs: Optional[PriceTable], versions: Tuple[Version, ...]) -> Optional[PriceTable]:
    """The globs of the config with the imported `versions` after them.
    Imported maps are in US dollars; globs that price anything must then
    say they are too (``currency = "USD"`` in ``[prices]``), since costs of
    two currencies are never added up. Raises CurrencyMix."""
    if not versions:
        return globs
    currencies = sorted({v.currency for v in versions})
    if len(currencies) > 1:
        raise CurrencyMix(
            "the imported prices are in %s: remove the versions of all but one" % " and ".join(currencies)
        )
    currency = currencies[0]
    if globs is None or not globs.entries:
        return PriceTable(versions=versions, currency=currency)
    if globs.currency != currency:
        said = "gives no currency" if globs.currency is None else "is in %s" % globs.currency
        raise CurrencyMix(
            "the config's [prices] %s and the imported prices are in %s; costs of two currencies are never added "
            'up: write currency = "%s" in [prices] if its prices are in %s, or use --prices FILE'
            % (said, currency, currency, currency)
        )
    return globs.with_versions(versions, currency)
