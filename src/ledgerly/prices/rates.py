"""What one price entry charges: a rate per kind of token, by long-context
band and by service tier.

Rates are per million tokens. A kind without a rate is None: usage of that
kind has no price (never a price of 0).

- **Kinds** (`KINDS`): fresh input (input less cached input), cached input,
  output (reasoning included), 5-minute and 1-hour cache writes, cache
  reads.
- **Bands.** An entry may carry rates for prompts above a number of tokens
  (`Band.threshold`). The band of an event is the one with the largest
  threshold below its prompt (input + cache writes + cache reads); it
  applies to the whole event. A kind without a rate in that band keeps the
  entry's base rate.
- **Tiers** (`TIERS`): events served in the fast, priority or flex tier use
  the entry's rates for that tier; in a band, the band's rates for the tier
  when it has them, else the tier's. An entry with no rate at all for a
  tier prices none of that tier's usage: it is never charged at the
  standard rate instead. Tier codes 0 (unknown) and 1 (standard) use the
  standard rates.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Tuple

KINDS = ("input", "cached_input", "output", "cache_write_5m", "cache_write_1h", "cache_read")
# Tier classes: 0 standard, then the tiers that have rates of their own.
TIERS = ("standard", "fast", "priority", "flex")
# The tier class of each record tier code (0 unknown, 1 standard, 2 fast,
# 3 priority, 4 flex); codes above 4 are read as 4, as reports do.
TIER_OF_CODE = (0, 0, 1, 2, 3)
# Bands per entry, the base included: band numbers fit in four bits.
MAX_BANDS = 16
# The highest price per million tokens. Below it every cost is finite: even
# 2**63 tokens of each kind in each of a billion groups cost less than 1e40,
# while a float holds up to 1.8e308 (a price of 1e308 made costs infinite,
# and the JSON invalid).
MAX_PRICE = 1e12

PerKind = Tuple[Optional[float], ...]
NO_RATES: PerKind = (None,) * len(KINDS)
# Rates per tier class 1.. (fast, priority, flex); None: no rate at all for that tier.
TierRates = Tuple[Optional[PerKind], ...]
NO_TIERS: TierRates = (None,) * (len(TIERS) - 1)


@dataclass(frozen=True)
class Band:
    """The rates for prompts of more than `threshold` tokens: per kind
    (None: the base rate applies), and per tier (None: the tier's own
    rates apply)."""

    threshold: int
    rates: PerKind = NO_RATES
    tiers: TierRates = NO_TIERS


@dataclass(frozen=True)
class Rates:
    """Everything one entry charges: `base` (standard tier, no band),
    `bands` by ascending threshold, and `tiers` (fast, priority, flex)."""

    base: PerKind
    bands: Tuple[Band, ...] = ()
    tiers: TierRates = NO_TIERS

    @property
    def thresholds(self) -> Tuple[int, ...]:
        return tuple(b.threshold for b in self.bands)

    def has_tier(self, tier: int) -> bool:
        """Whether the entry has any rate for tier class `tier` (standard: always)."""
        if tier == 0:
            return True
        return self.tiers[tier - 1] is not None or any(b.tiers[tier - 1] is not None for b in self.bands)

    def resolve(self, band: int, tier: int) -> PerKind:
        """The rate of each kind for an event in band `band` (0: below every
        threshold; k: above the k-th threshold) and tier class `tier`."""
        if tier == 0:
            if band == 0:
                return self.base
            over = self.bands[band - 1].rates
            return tuple(o if o is not None else b for o, b in zip(over, self.base))
        if not self.has_tier(tier):
            return NO_RATES
        own = self.tiers[tier - 1] or NO_RATES
        if band == 0:
            return own
        over = self.bands[band - 1].tiers[tier - 1] or NO_RATES
        return tuple(o if o is not None else b for o, b in zip(over, own))

    def describe(self) -> Dict[str, object]:
        """The rates as plain data (per million tokens; kinds without a rate
        left out), for fingerprints and JSON."""

        def kinds(rates: Optional[PerKind]) -> Dict[str, float]:
            return {k: r for k, r in zip(KINDS, rates or NO_RATES) if r is not None}

        out: Dict[str, object] = dict(kinds(self.base))
        for name, rates in zip(TIERS[1:], self.tiers):
            if rates is not None:
                out[name] = kinds(rates)
        for band in self.bands:
            inner: Dict[str, object] = dict(kinds(band.rates))
            for name, rates in zip(TIERS[1:], band.tiers):
                if rates is not None:
                    inner[name] = kinds(rates)
            out["above_%d" % band.threshold] = inner
        return out


def missing_label(kind: int, tier: int) -> str:
    """How a kind without a rate is named: `input`, or `priority.input` for
    a tier's rate (the key path of the price table's own form)."""
    return KINDS[kind] if tier == 0 else "%s.%s" % (TIERS[tier], KINDS[kind])
