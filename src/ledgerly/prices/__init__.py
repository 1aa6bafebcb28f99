"""Prices: what usage costs.

ledgerly ships no prices. A price table (`PriceTable`) comes from the
user: model globs in the config's ``[prices]`` (or a file given with
``--prices``), and price maps imported with ``ledgerly prices import``,
kept as versions in the user data folder. Its modules, one concept each:

- `rates`: what one entry charges, per kind of token, band and tier;
- `table`: `PriceTable` and `ModelPrice`: globs first, then the version
  in force, and which entry prices which model when;
- `toml_table`: the ``[prices]`` form (`parse_prices`, `load_prices`);
- `price_map`: the common per-token JSON format of price maps;
- `matching`: which key of a map prices a model of the logs;
- `versions`: an imported map with its effective start (`Version`);
- `store`: the versions on disk; `fetch`: the one network step;
  `importing`: `import_prices`;
- `classes`: the price class of every row, and pricing of token sums per
  class (numpy; the one path every report takes);
- `seen`, `skeleton`: a model of the logs with the usage each key would
  price, and a table to fill in for such models.

What a table covers of a snapshot's usage is `ledgerly.price_coverage`: a
report, above `ledgerly.reports`, which this package serves.

Importing this package loads neither numpy nor the network code, nor the
TOML form, the map format or the matching of keys until they are used.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ledgerly.prices.rates import KINDS, MAX_PRICE
from ledgerly.prices.table import ModelPrice, PriceTable

if TYPE_CHECKING:
    from ledgerly.prices.toml_table import PER_TOKENS, PRICE_KEYS, load_prices, parse_prices

# Every report imports this package, few read a [prices] table: the TOML
# form is imported when one of its names is first asked for.
_TOML_NAMES = frozenset(("PER_TOKENS", "PRICE_KEYS", "load_prices", "parse_prices"))


def __getattr__(name: str) -> Any:
    if name in _TOML_NAMES:
        from ledgerly.prices import toml_table

        return getattr(toml_table, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


__all__ = [
    "KINDS",
    "MAX_PRICE",
    "PER_TOKENS",
    "PRICE_KEYS",
    "ModelPrice",
    "PriceTable",
    "load_prices",
    "parse_prices",
]
