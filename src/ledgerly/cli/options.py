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
from typing import TYPE_CHECKING, Any, Callable, Collection, List, NoReturn, Optional, Sequence, TypeVar

from ledgerly.cli.errors import CommandError
from ledgerly.codes import ENV_NO_CACHE, ENV_SOURCES

if TYPE_CHECKING:  # loaded when options are resolved, so that parsing them stays cheap (ledgerly status)
    from ledgerly.config import Config
    from ledgerly.limits import Limits
    from ledgerly.prices import PriceTable
    from ledgerly.prices.watched import WatchedPrices
    from ledgerly.sources import Source
    from ledgerly.timezones import Zone


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line (raised as CommandError)
    instead of a usage dump, and that takes a UTC offset such as -05:00 as
    an option's value (``--tz -05:00``), as it takes a negative number,
    rather than as an unknown option.

    `description_of`, given instead of a description, makes it when the
    help is shown: a text that costs something to work out (an install
    hint reads the installed distribution's records) is then not paid for
    by every command that builds the parser."""

    def __init__(self, *args: Any, description_of: Optional[Callable[[], str]] = None, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"^-\d+$|^-\d*\.\d+$|^-\d\d:?\d\d$")
        self._description_of = description_of

    def format_help(self) -> str:
        if self._description_of is not None:
            self.description = self._description_of()
            self._description_of = None
        return super().format_help()

    def error(self, message: str) -> NoReturn:
        raise CommandError("%s (see %s --help)" % (message, self.prog))


Number = TypeVar("Number", int, float)


def number(
    kind: Callable[[str], Number], noun: str, low: Number, high: Optional[Number] = None, unit: str = "", note: str = ""
) -> Callable[[str], Number]:
    """The argparse type of a number option: `kind` (int or float) reads
    the text, which must lie from `low` to `high` (inclusive; no upper
    bound without `high`). Its errors name what was expected (`noun`, "not
    a port number: 'x'") and the bounds with their `unit` and a `note`.
    Digits are ASCII digits, without underscores, as in dates and counts:
    int() and float() would also read "1_0" and the digits of any script."""

    def parse(text: str) -> Number:
        try:
            if not text.isascii() or "_" in text:
                raise ValueError(text)
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a %s: %r" % (noun, text[:40])) from None
        if high is None:
            if not low <= value:
                raise argparse.ArgumentTypeError("must be at least %s%s%s" % (low, unit, note))
        elif not low <= value <= high:  # also refuses nan
            raise argparse.ArgumentTypeError("must be between %s and %s%s%s" % (low, high, unit, note))
        return value

    return parse


Value = TypeVar("Value")


def checked(check: Callable[[str], Optional[Value]]) -> Callable[[str], Value]:
    """The argparse type of an option whose value a query parameter's own
    check reads (ledgerly.params: the one the server's parameter of that
    name passes too); its ParameterError becomes argparse's error."""

    def parse(text: str) -> Value:
        try:
            value = check(text)
        except ValueError as exc:
            from ledgerly.params import ParameterError

            if not isinstance(exc, ParameterError):
                raise
            raise argparse.ArgumentTypeError(exc.message) from None
        assert value is not None  # a check gives None only for a value not given
        return value

    return parse


def seconds(low: float, high: float) -> Callable[[str], float]:
    """The argparse type of a duration in seconds from `low` to `high`."""
    return number(float, "number of seconds", low, high, " seconds")


def source_options(paths: bool = True) -> argparse.ArgumentParser:
    """Options that say where the logs are and how to read them (with
    `paths`, bare PATH arguments as well)."""
    parent = argparse.ArgumentParser(add_help=False)
    if paths:
        parent.add_argument("paths", nargs="*", metavar="PATH", help="folders or files of logs (same as --source PATH)")
    else:
        parent.set_defaults(paths=[])
    group = parent.add_argument_group("sources")
    group.add_argument(
        "--source",
        action="append",
        metavar="PATH",
        default=[],
        help="a folder or file of logs (repeatable); overrides %s, the config and discovery" % ENV_SOURCES,
    )
    group.add_argument("--config", metavar="FILE", help="config file (default: config.toml in the user config folder)")
    group.add_argument(
        "--workers", type=number(int, "whole number", 1), metavar="N", help="reader threads (default: one per CPU)"
    )
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
    add_zone_option(group)
    add_glob_options(group)
    add_prices_option(group)


def add_zone_option(group: argparse._ActionsContainer, default: str = "the config's timezone, or local") -> None:
    """``--tz``: the zone of days and times (of "today" for the live
    views); `default` says which zone applies without it."""
    group.add_argument(
        "--tz",
        metavar="ZONE",
        help="time zone of days and times, e.g. Europe/Berlin, UTC or +05:30 (default: %s)" % default,
    )


def add_glob_options(group: argparse._ActionsContainer) -> None:
    """``--model`` and ``--project``: only the rows whose names match."""
    group.add_argument("--model", action="append", metavar="GLOB", default=[], help="only models matching GLOB")
    group.add_argument("--project", action="append", metavar="GLOB", default=[], help="only projects matching GLOB")


def add_prices_option(
    group: argparse._ActionsContainer, note: str = "replaces the config's and the imported prices"
) -> None:
    """``--prices FILE``: the price table, in place of the config's."""
    group.add_argument("--prices", metavar="FILE", help="price table file (a [prices] table; %s)" % note)


def add_limit_option(group: argparse._ArgumentGroup) -> None:
    """``--limit max``: the block limits are the largest block so far."""
    group.add_argument(
        "--limit",
        choices=("max",),
        help="'max': measure each block against the largest block so far (instead of the config's block limits)",
    )


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
    limits: Limits


def load_context(
    args: argparse.Namespace, environ: Optional[Any] = None, home: Optional[str] = None, stored: bool = True
) -> Context:
    """Reads the config and resolves sources, prices, zone and workers.
    Prices: ``--prices FILE`` alone, else the config's globs and (with
    `stored`) the imported versions. Raises CommandError, or
    ParameterError for the zone."""
    from ledgerly.config import ConfigError, load_config
    from ledgerly.limits import limits_with
    from ledgerly.params import check_zone
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
        from ledgerly.prices.toml_table import load_prices

        try:
            prices = load_prices(args.prices)
        except ConfigError as exc:
            raise CommandError(str(exc)) from None
    elif stored:
        prices = with_stored_prices(prices)
    zone = check_zone(getattr(args, "tz", None) or config.timezone)
    limits = limits_with(config.limits, getattr(args, "limit", None) == "max")
    return Context(args, config, sources, prices, zone, args.workers or config.workers, limits)


def with_stored_prices(globs: Optional[PriceTable]) -> Optional[PriceTable]:
    """The config's globs with the imported versions after them. Stored
    prices that cannot be used are a warning each, never a silent change;
    globs and imports in different currencies are a usage error."""
    return watched_prices(globs).table


def watched_prices(globs: Optional[PriceTable]) -> WatchedPrices:
    """The config's globs with the imported versions, read once (as
    `with_stored_prices` says), to be read again as the store changes."""
    from ledgerly.prices.table import CurrencyMix
    from ledgerly.prices.watched import WatchedPrices

    watched = WatchedPrices(globs)
    try:
        watched.read(warn)
    except CurrencyMix as exc:
        raise CommandError(str(exc)) from None
    return watched


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


@dataclass(frozen=True)
class NoUsage:
    """Why a report has no rows: `text`, the line a table shows in their
    place, and whether that is a failure (`failed`: nothing could be
    counted because every file was skipped or every usage line damaged)."""

    text: str
    failed: bool = False


def no_usage(snapshot: Any, zone: Zone) -> NoUsage:
    """Why a report over `snapshot` has no rows: none in the range and
    selection asked for, or nothing counted at all (and what was skipped or
    damaged)."""
    from ledgerly.cli.cells import printable
    from ledgerly.cli.figures import plain_number
    from ledgerly.timezones import format_instant

    if len(snapshot):
        ts = snapshot.rows["timestamp"]
        first, last = (format_instant(int(t), zone)[:10] for t in (ts.min(), ts.max()))
        return NoUsage(
            "No usage found for this range and selection (the logs hold usage from %s to %s)." % (first, last)
        )
    listing = snapshot.listing
    damaged = {k: int(snapshot.scan.get(k, 0)) for k in ("malformed", "invalid_usage")}
    parts = []
    if listing.files:
        logs = "the log" if len(listing.files) == 1 else "the %s logs" % plain_number(len(listing.files))
        text = "%s hold%s no usage" % (logs, "s" if len(listing.files) == 1 else "")
        if any(damaged.values()):
            text += " that could be read (%s malformed, %s with invalid usage)" % (
                _count_lines(damaged["malformed"]),
                _count_lines(damaged["invalid_usage"]),
            )
        parts.append(text)
    elif not listing.skipped:
        parts.append("the sources hold no .jsonl files")
    if listing.skipped:
        first, count = listing.skipped[0], len(listing.skipped)
        parts.append(
            "%s skipped (%s%s: %s; ledgerly sources lists %s)"
            % (
                "1 file was" if count == 1 else "%s files were" % plain_number(count),
                "" if count == 1 else "e.g. ",
                printable(first.path),
                first.reason,
                "it" if count == 1 else "them",
            )
        )
    failed = bool(listing.skipped) or any(damaged.values())
    return NoUsage("No usage found: %s." % "; ".join(parts), failed)


def _count_lines(count: int) -> str:
    from ledgerly.cli.figures import plain_number

    return "%s line%s" % (plain_number(count), "" if count == 1 else "s")


def finish_result(result: Any, ctx: Context, snapshot: Any, empty: Optional[NoUsage] = None) -> int:
    """After a report is written: the warnings about usage without a price,
    files that could not be read and, for --json and --csv, why there is no
    usage; and the exit status (1 when some file could not be read, or
    when nothing could be counted because of what was skipped or damaged)."""
    if result.priced and result.unpriced:
        warn_unpriced(result.unpriced, ctx.args.verbose)
    if empty is not None and (ctx.args.json or ctx.args.csv):
        warn(empty.text[0].lower() + empty.text[1:])
    summarise_errors(snapshot.errors, ctx.args.verbose)
    return 1 if snapshot.errors or (empty is not None and empty.failed) else 0


def warn_unpriced(unpriced: Collection[str], verbose: bool = False) -> None:
    """One line about usage without a price: how many models (`unpriced`:
    their names) have some, and how to see which (with `verbose`, the line
    names them). Every command that prices usage says it so: the reports,
    `sessions`, `export` and `query`."""
    count = len(unpriced)
    which = (": " + ", ".join(sorted(unpriced))) if verbose else ""
    warn(
        "%d model%s ha%s usage without a price%s; costs marked + cover only the priced part "
        "(ledgerly prices check lists %s)"
        % (count, "" if count == 1 else "s", "s" if count == 1 else "ve", which, "it" if count == 1 else "them")
    )
