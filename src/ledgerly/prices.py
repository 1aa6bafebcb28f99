"""Price tables: what a million tokens of each kind cost, per model glob.

A table comes from the ``[prices]`` section of the config file or from a
file given with ``--prices`` holding the same section::

    [prices."alpha-4*"]
    input = 3.0            # fresh (uncached) input
    cached_input = 0.3     # input served from the cache (event dialect)
    output = 15.0          # output, reasoning included
    cache_write_5m = 3.75
    cache_write_1h = 6.0
    cache_read = 0.3

The first glob that matches a model name, in file order, gives its prices.
Model names are lower case, so globs are matched in lower case too. A kind
of token that a model used but whose price is missing makes that usage
unpriced: its cost is unknown, never counted as 0.
"""

from __future__ import annotations

import fnmatch
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from ledgerly.tomlfile import ConfigError, KeyPath, TomlFile, read_toml

if TYPE_CHECKING:  # numpy is loaded when a cost is computed, not to read a price file
    import numpy as np

PRICE_KEYS = ("input", "cached_input", "output", "cache_write_5m", "cache_write_1h", "cache_read")
PER_TOKENS = 1_000_000
# The highest price per million tokens. Below it every cost is finite: even
# 2**63 tokens of each kind in each of a billion groups cost less than 1e40,
# while a float holds up to 1.8e308 (a price of 1e308 made costs infinite,
# and the JSON invalid).
MAX_PRICE = 1e12


@dataclass(frozen=True)
class ModelPrice:
    """The prices of one glob, per million tokens, in `PRICE_KEYS` order;
    None where the table gives no price."""

    glob: str
    per_million: Tuple[Optional[float], ...]

    def matches(self, model: str) -> bool:
        return fnmatch.fnmatchcase(model, self.glob.lower())


@dataclass(frozen=True)
class PriceTable:
    entries: Tuple[ModelPrice, ...] = ()

    def __bool__(self) -> bool:
        return bool(self.entries)

    def price_for(self, model: str) -> Optional[ModelPrice]:
        """The first entry whose glob matches `model`, or None."""
        for entry in self.entries:
            if entry.matches(model):
                return entry
        return None

    def matrix(self, models: Sequence[str]) -> np.ndarray:
        """One row of the six prices per model (in the order of `models`),
        NaN where there is no price."""
        import numpy as np

        out = np.full((len(models), len(PRICE_KEYS)), np.nan)
        for i, model in enumerate(models):
            entry = self.price_for(model)
            if entry is not None:
                out[i] = [math.nan if p is None else p for p in entry.per_million]
        return out


def priced_parts(tokens: np.ndarray) -> np.ndarray:
    """The six priced quantities of token sums `tokens` (n, 7; columns in
    record order): fresh input, cached input, output, 5-minute and 1-hour
    cache writes, cache reads. Cached input is part of input, and reasoning
    part of output, so neither is priced twice."""
    import numpy as np

    t = tokens.astype(np.float64)
    return np.stack([t[:, 0] - t[:, 1], t[:, 1], t[:, 2], t[:, 4], t[:, 5], t[:, 6]], axis=1)


def costs(tokens: np.ndarray, model_index: np.ndarray, matrix: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Costs of token sums that each belong to one model.

    `tokens` is (n, 7) int64, `model_index` (n,) indexes the rows of
    `matrix` (from `PriceTable.matrix`). Returns the priced part of each
    cost and a flag per row: some of its tokens have no price."""
    import numpy as np

    parts = priced_parts(tokens)
    prices = matrix[model_index.astype(np.intp)] if len(matrix) else np.full(parts.shape, np.nan)
    missing = np.isnan(prices) & (parts != 0)
    cost = np.where(parts != 0, parts * np.nan_to_num(prices), 0.0).sum(axis=1) / PER_TOKENS
    return cost, missing.any(axis=1)


def missing_keys(tokens: np.ndarray, price: Optional[ModelPrice]) -> List[str]:
    """The price keys that usage `tokens` (7 sums) needs but `price` lacks."""
    import numpy as np

    parts = priced_parts(np.asarray(tokens, dtype=np.int64).reshape(1, -1))[0]
    given = price.per_million if price is not None else (None,) * len(PRICE_KEYS)
    return [key for key, part, p in zip(PRICE_KEYS, parts, given) if part != 0 and p is None]


def _number(doc: TomlFile, path: KeyPath, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise doc.error(path, "a price must be a number, not %s" % type(value).__name__)
    if not math.isfinite(value) or value < 0:
        raise doc.error(path, "a price must be a finite number of at least 0, not %r" % value)
    if value > MAX_PRICE:
        raise doc.error(path, "a price must be at most %g per million tokens, not %g" % (MAX_PRICE, value))
    return float(value)


def parse_prices(doc: TomlFile, table: Any, path: KeyPath = ("prices",)) -> PriceTable:
    """Validates the ``[prices]`` table `table` found at `path` in `doc`."""
    if not isinstance(table, dict):
        raise doc.error(path, "must be a table of model globs")
    entries = []
    for glob, prices in table.items():
        where = path + (glob,)
        if not glob.strip():
            raise doc.error(where, "a model glob must not be empty")
        if not isinstance(prices, dict):
            raise doc.error(where, "must be a table of prices (keys: %s)" % ", ".join(PRICE_KEYS))
        values: Dict[str, float] = {}
        for key, value in prices.items():
            if key not in PRICE_KEYS:
                raise doc.error(where + (key,), "unknown price key (expected one of %s)" % ", ".join(PRICE_KEYS))
            values[key] = _number(doc, where + (key,), value)
        if not values:
            raise doc.error(where, "gives no price (keys: %s)" % ", ".join(PRICE_KEYS))
        entries.append(ModelPrice(glob, tuple(values.get(key) for key in PRICE_KEYS)))
    return PriceTable(tuple(entries))


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
