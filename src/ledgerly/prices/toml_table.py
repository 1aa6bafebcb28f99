"""The price table's own form: a ``[prices]`` table of model globs.

In the config file, or in a file given with ``--prices`` that holds it
alone::

    [prices]
    currency = "USD"       # optional: costs are then shown as dollars

    [prices."alpha-4*"]
    input = 3.0            # fresh (uncached) input
    cached_input = 0.3     # input served from the cache (event dialect)
    output = 15.0          # output, reasoning included
    cache_write_5m = 3.75
    cache_write_1h = 6.0
    cache_read = 0.3

    [prices."alpha-4*".above_200k]   # prompts of more than 200,000 tokens
    input = 6.0

    [prices."alpha-4*".priority]     # the priority tier (also fast, flex)
    input = 5.0
    output = 25.0

    [prices."alpha-4*".above_200k.priority]

Prices are per million tokens. Model names are lower case, so globs are
matched in lower case too.
"""

from __future__ import annotations

import math
import os
import re
from typing import Any, Dict, List, Optional, Tuple

from ledgerly.prices.rates import KINDS, MAX_BANDS, MAX_PRICE, NO_TIERS, TIERS, Band, PerKind, TierRates
from ledgerly.prices.table import ModelPrice, PriceTable
from ledgerly.tomlfile import ConfigError, KeyPath, TomlFile, read_toml

PRICE_KEYS = KINDS
PER_TOKENS = 1_000_000
CURRENCY_KEY = "currency"
_BAND_RE = re.compile(r"above_([0-9]{1,9})k")
# A band above more than a billion tokens is no band any prompt reaches.
MAX_BAND_THOUSANDS = 10**6
_CURRENCY_RE = re.compile(r"[A-Z]{3}")
_EXPECTED = "expected one of %s, or a table %s or above_<N>k" % (", ".join(KINDS), ", ".join(TIERS[1:]))


def _number(doc: TomlFile, path: KeyPath, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise doc.error(path, "a price must be a number, not %s" % type(value).__name__)
    if not math.isfinite(value) or value < 0:
        raise doc.error(path, "a price must be a finite number of at least 0, not %r" % value)
    if value > MAX_PRICE:
        raise doc.error(path, "a price must be at most %g per million tokens, not %g" % (MAX_PRICE, value))
    return float(value)


def _kinds(doc: TomlFile, path: KeyPath, values: Dict[str, Any]) -> PerKind:
    return tuple(_number(doc, path + (k,), values[k]) if k in values else None for k in KINDS)


def _tier_rates(doc: TomlFile, path: KeyPath, value: Any) -> PerKind:
    if not isinstance(value, dict):
        raise doc.error(path, "must be a table of prices (keys: %s)" % ", ".join(KINDS))
    for key in value:
        if key not in KINDS:
            raise doc.error(path + (key,), "unknown price key (expected one of %s)" % ", ".join(KINDS))
    if not value:
        raise doc.error(path, "gives no price (keys: %s)" % ", ".join(KINDS))
    return _kinds(doc, path, value)


def _entry(doc: TomlFile, where: KeyPath, prices: Any, banded: bool = False) -> Tuple[PerKind, TierRates, List[Band]]:
    """The rates of one glob (or of one of its bands): its own, its tiers',
    and (not inside a band) its bands'."""
    if not isinstance(prices, dict):
        raise doc.error(where, "must be a table of prices (keys: %s)" % ", ".join(KINDS))
    own: Dict[str, Any] = {}
    tiers: List[Optional[PerKind]] = list(NO_TIERS)
    bands: List[Band] = []
    for key, value in prices.items():
        path = where + (key,)
        band = _BAND_RE.fullmatch(key) if isinstance(key, str) else None
        if key in KINDS:
            own[key] = value
        elif key in TIERS[1:]:
            tiers[TIERS.index(key) - 1] = _tier_rates(doc, path, value)
        elif band is not None and not banded:
            thousands = int(band.group(1))
            if not 1 <= thousands <= MAX_BAND_THOUSANDS:
                raise doc.error(path, "a band must be above 1k to %dk tokens" % MAX_BAND_THOUSANDS)
            rates, band_tiers, _ = _entry(doc, path, value, banded=True)
            bands.append(Band(thousands * 1000, rates, band_tiers))
        else:
            expected = "expected one of %s, or a table %s" % (", ".join(KINDS), ", ".join(TIERS[1:]))
            raise doc.error(path, "unknown price key (%s)" % (expected if banded else _EXPECTED))
    if not own and all(t is None for t in tiers) and not bands:
        raise doc.error(where, "gives no price (keys: %s)" % ", ".join(KINDS))
    if len(bands) >= MAX_BANDS:
        raise doc.error(where, "has more than %d long-context bands" % (MAX_BANDS - 1))
    return _kinds(doc, where, own), tuple(tiers), sorted(bands, key=lambda b: b.threshold)


def parse_prices(doc: TomlFile, table: Any, path: KeyPath = ("prices",)) -> PriceTable:
    """Validates the ``[prices]`` table `table` found at `path` in `doc`."""
    if not isinstance(table, dict):
        raise doc.error(path, "must be a table of model globs")
    entries = []
    currency: Optional[str] = None
    for glob, prices in table.items():
        where = path + (glob,)
        if glob == CURRENCY_KEY and not isinstance(prices, dict):
            if not isinstance(prices, str) or not _CURRENCY_RE.fullmatch(prices):
                raise doc.error(where, 'must be a currency code of three capital letters, such as "USD"')
            currency = prices
            continue
        if not glob.strip():
            raise doc.error(where, "a model glob must not be empty")
        rates, tiers, bands = _entry(doc, where, prices)
        entries.append(ModelPrice(glob, rates, tuple(bands), tiers))
    return PriceTable(tuple(entries), currency=currency, origin=os.path.abspath(doc.path))


def load_prices(path: str) -> PriceTable:
    """Reads a price file: a TOML file holding one ``[prices]`` table and
    nothing else. Raises ConfigError."""
    doc = read_toml(path)
    for key in doc.data:
        if key != "prices":
            raise doc.error((key,), "unknown key in a price file (it holds only a [prices] table)")
    if "prices" not in doc.data:
        raise ConfigError("%s: no [prices] table" % path)
    return parse_prices(doc, doc.data["prices"])
