"""The configuration file.

``config.toml`` in the user's config folder (``$XDG_CONFIG_HOME/ledgerly``
or ``~/.config/ledgerly`` on Linux; the platform's equivalent elsewhere), or
any file given with ``--config``::

    timezone = "Europe/Berlin"   # reports' zone; default: the local zone
    workers = 4                  # reader threads; default: one per CPU

    [[sources]]
    path = "~/agent-logs"
    dialect = "message"          # optional: skip recognising the dialect

    [prices."alpha-4*"]
    input = 3.0
    output = 15.0

    [limits]                     # any of block_, day_, month_ + tokens or cost
    block_tokens = 4_000_000

Reading is strict: an unknown key or a value of the wrong kind is an error
that names the file, the line and what is wrong.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Tuple

from ledgerly.codes import DIALECTS, MAX_WORKERS
from ledgerly.limits import Limits, parse_limits
from ledgerly.sources import Source
from ledgerly.tomlfile import ConfigError, TomlFile, read_toml

if TYPE_CHECKING:
    from ledgerly.prices import PriceTable

CONFIG_NAME = "config.toml"
_TOP_KEYS = ("sources", "prices", "timezone", "workers", "limits")
_SOURCE_KEYS = ("path", "dialect")


@dataclass(frozen=True)
class Config:
    """A read configuration. `path` is the file it came from (None when
    there was none); `prices` is None when the file has no ``[prices]``,
    `limits` when it has no ``[limits]``."""

    path: Optional[str] = None
    sources: Tuple[Source, ...] = ()
    prices: Optional[PriceTable] = None
    timezone: Optional[str] = None
    workers: Optional[int] = None
    limits: Optional[Limits] = None


def default_path() -> str:
    """Where the config file lives when --config does not say."""
    from platformdirs import user_config_dir

    return os.path.join(user_config_dir("ledgerly", appauthor=False), CONFIG_NAME)


def load_config(path: Optional[str] = None) -> Config:
    """Reads the config file at `path`, or at `default_path()` when `path` is
    None. A missing default file is an empty configuration; a missing file
    named by the caller is an error. Raises ConfigError."""
    if path is None:
        path = default_path()
        if not os.path.exists(path):
            return Config()
    return parse_config(read_toml(path))


def _check_keys(doc: TomlFile, table: Any, path: Tuple[Any, ...], allowed: Tuple[str, ...]) -> None:
    for key in table:
        if key not in allowed:
            raise doc.error(path + (key,), "unknown key (expected one of %s)" % ", ".join(allowed))


def parse_config(doc: TomlFile) -> Config:
    data = doc.data
    _check_keys(doc, data, (), _TOP_KEYS)

    sources = []
    raw_sources = data.get("sources", [])
    if not isinstance(raw_sources, list):
        raise doc.error(("sources",), "must be an array of tables: write each as [[sources]]")
    for index, entry in enumerate(raw_sources):
        where = ("sources", index)
        if not isinstance(entry, dict):
            raise doc.error(where, "must be a table with a path")
        _check_keys(doc, entry, where, _SOURCE_KEYS)
        path = entry.get("path")
        if not isinstance(path, str) or not path.strip():
            raise doc.error(where + ("path",), "a source needs a path (a non-empty string)")
        if "\0" in path:
            raise doc.error(where + ("path",), "a path cannot hold a NUL character")
        dialect = entry.get("dialect")
        if dialect is not None and dialect not in DIALECTS:
            raise doc.error(where + ("dialect",), 'must be "message" or "event", not %r' % (dialect,))
        # A relative path is taken from the config file's folder.
        path = os.path.expanduser(path)
        if not os.path.isabs(path):
            path = os.path.join(os.path.dirname(os.path.abspath(doc.path)), path)
        sources.append(Source(os.path.abspath(path), dialect, "config"))

    timezone = data.get("timezone")
    if timezone is not None:
        from ledgerly.timezones import TimezoneError, resolve_zone

        if not isinstance(timezone, str):
            raise doc.error(("timezone",), 'must be a string such as "Europe/Berlin"')
        try:
            resolve_zone(timezone)
        except TimezoneError as exc:
            raise doc.error(("timezone",), str(exc)) from None

    workers = data.get("workers")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise doc.error(("workers",), "must be a whole number of at least 1")
    if workers is not None:
        workers = min(workers, MAX_WORKERS)

    prices = None
    if "prices" in data:
        from ledgerly.prices.toml_table import parse_prices

        prices = parse_prices(doc, data["prices"])
    limits = parse_limits(doc, data["limits"]) if "limits" in data else None
    return Config(doc.path, tuple(sources), prices, timezone, workers, limits)


__all__ = ["Config", "ConfigError", "default_path", "load_config", "parse_config"]
