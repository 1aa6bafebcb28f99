"""Command-line options shared by the subcommands, and what they resolve to.

Every subcommand module builds its parser from the option groups here and
turns the parsed arguments into a `Context` with `load_context`: the config
file, the sources, the price table, the time zone and the worker count.
Anything wrong with them raises `CommandError` (or `ParameterError` for the
zone), which `ledgerly.cli.errors.finish` prints as one line and exit
status 2.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, List, Mapping, NoReturn, Optional, Sequence, Tuple

from ledgerly.cli.errors import CommandError
from ledgerly.codes import ENV_NO_CACHE, ENV_SOURCES

if TYPE_CHECKING:  # loaded when options are resolved, so that parsing them stays cheap (ledgerly status)
    from ledgerly.config import Config
    from ledgerly.prices import PriceTable
    from ledgerly.sources import Source
    from ledgerly.timezones import Zone


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line (raised as CommandError)
    instead of a usage dump, and that takes a UTC offset such as -05:00 as
    an option's value (``--tz -05:00``), as it takes a negative number,
    rather than as an unknown option."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"^-\d+$|^-\d*\.\d+$|^-\d\d:?\d\d$")

    def error(self, message: str) -> NoReturn:
        raise CommandError("%s (see %s --help)" % (message, self.prog))


def _workers(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value  # the ledger keeps to its limit


def source_options() -> argparse.ArgumentParser:
    """Options that say where the logs are and how to read them."""
    parent = argparse.ArgumentParser(add_help=False)
    parent.add_argument("paths", nargs="*", metavar="PATH", help="folders or files of logs (same as --source PATH)")
    group = parent.add_argument_group("sources")
    group.add_argument(
        "--source",
        action="append",
        metavar="PATH",
        default=[],
        help="a folder or file of logs (repeatable); overrides %s, the config and discovery" % ENV_SOURCES,
    )
    group.add_argument("--config", metavar="FILE", help="config file (default: config.toml in the user config folder)")
    group.add_argument("--workers", type=_workers, metavar="N", help="reader threads (default: one per CPU)")
    group.add_argument("-v", "--verbose", action="store_true", help="list every unreadable or skipped file")
    group.add_argument(
        "--no-cache",
        action="store_true",
        help="read every log again, and neither load nor save the state kept in the cache folder "
        "(also: %s=1)" % ENV_NO_CACHE,
    )
    return parent


def add_selection_options(group: argparse._ArgumentGroup) -> None:
    """The options that choose which rows count (time range, zone, model and
    project globs) and how they are priced: the same for every command that
    groups rows."""
    group.add_argument("--since", metavar="WHEN", help="from this date (YYYY-MM-DD, whole day) or RFC 3339 time on")
    group.add_argument("--until", metavar="WHEN", help="up to this date (inclusive) or time")
    group.add_argument(
        "--tz", metavar="ZONE", help="time zone for days and times, e.g. Europe/Berlin, UTC or +05:30 (default: local)"
    )
    group.add_argument("--model", action="append", metavar="GLOB", default=[], help="only models matching GLOB")
    group.add_argument("--project", action="append", metavar="GLOB", default=[], help="only projects matching GLOB")
    group.add_argument("--prices", metavar="FILE", help="price table file (a [prices] table; replaces the config's)")


def report_options() -> argparse.ArgumentParser:
    """Options that select and shape a report."""
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("report")
    add_selection_options(group)
    group.add_argument("--breakdown", action="store_true", help="per-model rows inside each row")
    formats = group.add_mutually_exclusive_group()
    formats.add_argument("--json", action="store_true", help="print JSON")
    formats.add_argument("--csv", action="store_true", help="print CSV")
    return parent


@dataclass
class Context:
    """What the options resolve to."""

    args: argparse.Namespace
    config: Config
    sources: List[Source]
    prices: Optional[PriceTable]
    zone: Zone
    workers: Optional[int]


def load_context(args: argparse.Namespace, environ: Optional[Any] = None, home: Optional[str] = None) -> Context:
    """Reads the config and resolves sources, prices, zone and workers.
    Raises CommandError, or ParameterError for the zone."""
    from ledgerly.config import ConfigError, load_config
    from ledgerly.params import check_zone
    from ledgerly.prices import load_prices
    from ledgerly.sources import SourceError, resolve_sources

    try:
        config = load_config(args.config)
    except ConfigError as exc:
        raise CommandError(str(exc)) from None
    try:
        named = args.source + args.paths
        sources = resolve_sources(named, os.environ if environ is None else environ, config.sources, home)
    except SourceError as exc:
        raise CommandError(str(exc)) from None
    if not sources:
        raise CommandError(
            "no logs found: give --source PATH, set %s, list [[sources]] in the config, or keep logs in a "
            "hidden folder of your home folder under projects/ or sessions/" % ENV_SOURCES
        )
    prices = config.prices
    if getattr(args, "prices", None):
        try:
            prices = load_prices(args.prices)
        except ConfigError as exc:
            raise CommandError(str(exc)) from None
    zone = check_zone(getattr(args, "tz", None) or config.timezone)
    return Context(args, config, sources, prices, zone, args.workers or config.workers)


def warn(text: str) -> None:
    print("ledgerly: warning: %s" % text, file=sys.stderr)


def summarise_errors(errors: Sequence[str], verbose: bool, shown: int = 3) -> None:
    """One warning for the files that could not be read: their count and the
    first few (all of them when verbose)."""
    if not errors:
        return
    listed = errors if verbose else errors[:shown]
    more = "" if verbose or len(errors) <= shown else "; %d more (--verbose lists them)" % (len(errors) - shown)
    noun = "file or folder" if len(errors) == 1 else "files or folders"
    warn("%d %s could not be read: %s%s" % (len(errors), noun, "; ".join(listed), more))


def write_result(result: Any, args: argparse.Namespace, table: Callable[[], None]) -> None:
    """Writes a report (anything with `to_json` and `to_csv`) to stdout as
    --json or --csv asks, or else as a table (`table` draws it)."""
    if args.json:
        sys.stdout.write(result.to_json() + "\n")
    elif args.csv:
        sys.stdout.write(result.to_csv())
    else:
        table()
    sys.stdout.flush()


def finish_result(result: Any, ctx: Context, snapshot: Any) -> int:
    """After a report is written: the warnings about usage without a price
    and files that could not be read, and the exit status (1 when some
    file could not be read)."""
    if result.priced and result.unpriced:
        warn_unpriced(result.unpriced, ctx.prices)
    summarise_errors(snapshot.errors, ctx.args.verbose)
    return 1 if snapshot.errors else 0


def warn_unpriced(unpriced: Mapping[str, Tuple[str, ...]], prices: Optional[PriceTable]) -> None:
    """One warning naming the models whose usage has no price, and why."""
    details = []
    for model, keys in sorted(unpriced.items()):
        if prices is not None and prices.price_for(model) is not None:
            details.append("%s (no %s price)" % (model, "/".join(keys)))
        else:
            details.append("%s (no matching price)" % model)
    warn("usage without a price is left out of the costs (shown as unknown): %s" % ", ".join(details))
