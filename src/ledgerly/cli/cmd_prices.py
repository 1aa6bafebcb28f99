"""The `prices` subcommand: imported price maps, a price table to fill in,
and what the prices cover.

    ledgerly prices [list]              the imported versions, and how many of your models each prices
    ledgerly prices import SOURCE       a price map (a file or an http(s) URL) as a new version
    ledgerly prices remove ID           drops one version
    ledgerly prices init [FILE]         a skeleton: one commented entry per model seen, the most tokens first
    ledgerly prices check               which models are priced, by what, and what has no price

The price-table logic lives in the library (`ledgerly.prices`); this module
parses, calls and draws.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence

from ledgerly.cli.errors import FOUND, PARTIAL, CommandError
from ledgerly.cli.options import add_prices_option, load_context, source_options, summarise_errors, warn

if TYPE_CHECKING:
    from ledgerly.cli.options import Context
    from ledgerly.price_coverage import Coverage, ModelCoverage


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "prices",
        help="import price maps, write a price table to fill in, or check what the prices cover",
        description="ledgerly ships no prices. 'prices import' keeps a price map (a file or URL in the common "
        "per-token JSON format) as a version, 'prices' lists the versions, 'prices init' writes a price table "
        "with one entry per model in your logs, ready to fill in, and 'prices check' says which models are "
        "priced, by what, and what has no price.",
    )
    # With no ACTION, the versions are listed: the options of `list` are taken here too.
    parser.add_argument("--json", action="store_true", default=argparse.SUPPRESS, help="print JSON (with no ACTION)")
    parser.add_argument("--source", action="append", metavar="PATH", default=argparse.SUPPRESS, help=argparse.SUPPRESS)
    parser.add_argument("--config", metavar="FILE", default=argparse.SUPPRESS, help=argparse.SUPPRESS)
    parser.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS, help=argparse.SUPPRESS)
    parser.add_argument("--no-cache", action="store_true", default=argparse.SUPPRESS, help=argparse.SUPPRESS)
    parser.set_defaults(run=run_list)
    actions = parser.add_subparsers(dest="action", metavar="ACTION")
    for add_action in (_add_list, _add_import, _add_remove, _add_init, _add_check):
        add_action(actions)


def _add_list(actions: argparse._SubParsersAction[Any]) -> None:
    listing = actions.add_parser(
        "list",
        parents=[source_options(paths=False)],
        help="the imported versions (the default ACTION)",
        description="The imported price versions: id, source, when fetched, from when each prices events, its "
        "entries, and how many of the models in your logs it prices.",
    )
    listing.add_argument("--json", action="store_true", help="print JSON: the versions and what they cover")
    listing.set_defaults(run=run_list)


def _add_import(actions: argparse._SubParsersAction[Any]) -> None:
    add = actions.add_parser(
        "import",
        help="keep a price map (a file or an http(s) URL) as a new version",
        description="Import a price map in the common per-token JSON format from a file or an http(s) URL (the "
        "only command that uses the network). It is checked whole and kept in the user data folder as a new "
        "version: the first covers all history, a later one prices events from its import (or --from) on. A "
        "URL imported again is asked whether it changed; a map that changes nothing adds nothing.",
    )
    add.add_argument("source", metavar="SOURCE", help="a price map file, or an http(s) URL")
    add.add_argument(
        "--from",
        dest="start",
        metavar="WHEN",
        help="price events from this date (its start in UTC) or RFC 3339 time on (default: now)",
    )
    add.add_argument("--json", action="store_true", help="print JSON")
    add.set_defaults(run=run_import)


def _add_remove(actions: argparse._SubParsersAction[Any]) -> None:
    drop = actions.add_parser("remove", help="drop one imported version", description="Drop an imported version.")
    drop.add_argument("id", metavar="ID", help="the version's id ('ledgerly prices' lists them)")
    drop.add_argument("--json", action="store_true", help="print JSON")
    drop.set_defaults(run=run_remove)


def _add_init(actions: argparse._SubParsersAction[Any]) -> None:
    init = actions.add_parser(
        "init",
        parents=[source_options(paths=False)],
        help="write a price table skeleton: one commented entry per model seen, the most tokens first",
        description="Write a price table skeleton to FILE (or print it): one commented entry per model seen in "
        "the logs, the most tokens first, with the keys its usage needs and its token counts. An existing FILE "
        "is never replaced without --force.",
    )
    init.add_argument("file", nargs="?", metavar="FILE", help="where to write it (default: print it)")
    init.add_argument(
        "--force",
        action="store_true",
        help="replace FILE if it exists; a symbolic link at FILE is itself replaced by the new file (its target "
        "is left as it is)",
    )
    init.add_argument("--json", action="store_true", help="print the models and the keys they need as JSON")
    init.set_defaults(run=run_init)


def _add_check(actions: argparse._SubParsersAction[Any]) -> None:
    check = actions.add_parser(
        "check",
        parents=[source_options(paths=False)],
        help="which models the prices cover, by which glob or key, and what has no price",
        description="Check the prices (--prices FILE, or the config's globs and the imported versions) against "
        "the models in the logs: which are priced and by which glob, or by which key of each version and how it "
        "was matched; which lack a price (or some keys, or the rates of a service tier they used); and which "
        "globs price no model. Exits %d when some usage has no price." % FOUND,
    )
    add_prices_option(check)
    check.add_argument("--json", action="store_true", help="print JSON")
    check.set_defaults(run=run_check)


def read_logs(ctx: Context) -> Any:
    """A snapshot of the logs, read as every report reads them."""
    from ledgerly.cli.progress import run_refresh
    from ledgerly.cli.saved import open_ledger

    ledger = open_ledger(ctx)
    return run_refresh(ledger, ledger.list_files())


def _print_json(data: Any) -> None:
    sys.stdout.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")


# ---------------------------------------------------------------------------
# list, import, remove


def run_list(args: argparse.Namespace) -> int:
    from ledgerly.price_coverage import overview, prices_overview
    from ledgerly.prices.store import StoreError, load_versions

    for name, default in (("json", False), ("source", []), ("paths", []), ("config", None), ("workers", None)):
        if not hasattr(args, name):
            setattr(args, name, default)
    for name in ("verbose", "no_cache"):
        if not hasattr(args, name):
            setattr(args, name, False)
    try:
        stored = load_versions()
    except StoreError as exc:
        raise CommandError(str(exc)) from None
    for problem in stored.problems:
        warn(problem)
    errors: Sequence[str] = ()
    try:
        ctx: Optional[Context] = load_context(args, stored=False)
    except CommandError as exc:
        warn("the logs were not read: %s" % exc.message)
        ctx = None
    if ctx is None:
        data = overview(stored.folder, stored.versions, None, None, None)
    else:
        from ledgerly.price_coverage import models_seen
        from ledgerly.prices.table import CurrencyMix, combined

        snapshot = read_logs(ctx)
        errors = snapshot.errors
        try:
            table = combined(ctx.prices, stored.versions)
        except CurrencyMix as exc:
            # The versions are still listed; what the prices cover cannot be said.
            warn(str(exc))
            data = overview(stored.folder, stored.versions, models_seen(snapshot), None, None)
        else:
            data = prices_overview(snapshot, table, stored.folder)
    if args.json:
        _print_json(data)
    else:
        draw_versions(data)
    sys.stdout.flush()
    summarise_errors(errors, args.verbose)
    return 1 if errors else 0


def _origin(ctx: Context) -> Optional[str]:
    """The file the globs come from (--prices, or the config when it has any)."""
    return ctx.prices.origin if ctx.prices and ctx.prices.entries else None


def draw_versions(data: Dict[str, Any]) -> None:
    from ledgerly.cli import cells
    from ledgerly.cli.figures import plain_number
    from ledgerly.cli.render import console_for, show, titled_table

    console = console_for(sys.stdout)
    versions = data["versions"]
    if not versions:
        show(console, "No price map imported ('ledgerly prices import FILE' or URL imports one).")
        return
    table = titled_table("Imported prices (%s)" % cells.printable(cells.with_tilde(data["folder"])))
    room = max(16, console.width - 76)
    for name, justify in (("ID", "right"), ("Source", "left"), ("Fetched", "left"), ("In force from", "left")):
        table.add_column(name, justify=justify, no_wrap=True)
    table.add_column("Entries", justify="right", no_wrap=True)
    table.add_column("Your models", justify="right", no_wrap=True)
    earliest = min(versions, key=lambda v: (v["effective_from"] or "", v["id"]))
    for v in versions:
        start = "all history" if v["effective_from"] is None else v["effective_from"][:16].replace("T", " ")
        if v is earliest and v["effective_from"] is not None:
            start += " (and before)"
        models = "?" if v["models"] is None else "%d of %d" % (v["models"], data["models"])
        table.add_row(
            str(v["id"]),
            cells.fit_path(v["source"], room) if "://" not in v["source"] else cells.cut_end(v["source"], room),
            v["fetched_at"][:16].replace("T", " "),
            start,
            plain_number(v["entries"]),
            models,
        )
    show(console, table)
    coverage = data["coverage"]
    if coverage is not None:
        unpriced = [m["model"] for m in coverage["models"] if m["missing"]]
        if unpriced:
            show(
                console,
                "%d of %d models lack some price: 'ledgerly prices check' shows which."
                % (len(unpriced), len(coverage["models"])),
            )


def _from(text: Optional[str]) -> Optional[int]:
    if text is None:
        return None
    from ledgerly.timezones import BoundError, bound_ms, resolve_zone

    try:
        return bound_ms(text, resolve_zone("UTC"), end=False)
    except BoundError as exc:
        raise CommandError("--from: %s" % exc) from None


def run_import(args: argparse.Namespace) -> int:
    from ledgerly.block_reports import now_ms
    from ledgerly.prices.fetch import FetchError, Truncated, is_url, shown_url
    from ledgerly.prices.importing import ImportRefused, import_prices
    from ledgerly.prices.price_map import PriceMapError
    from ledgerly.prices.store import StoreError
    from ledgerly.timezones import format_instant, resolve_zone

    start = _from(args.start)
    where = (shown_url(args.source) if is_url(args.source) else args.source)[:200]
    try:
        outcome = import_prices(args.source, now_ms(), start)
    except (ImportRefused, PriceMapError, Truncated) as exc:
        raise CommandError("%s: %s" % (where, exc)) from None
    except (FetchError, StoreError) as exc:
        raise CommandError("%s: %s" % (where, exc), PARTIAL) from None
    utc = resolve_zone("UTC")
    new, same = outcome.version, outcome.unchanged
    if args.json:
        from ledgerly.price_coverage import version_summary

        _print_json(
            {
                "imported": None if new is None else version_summary([new], None)[0],
                "unchanged": None if same is None else same.id,
                "not_modified": outcome.not_modified,
            }
        )
    elif new is not None:
        when = "all history" if new.effective_from is None else format_instant(new.effective_from, utc)
        sys.stdout.write(
            "Imported price version %d: %s entries, in force from %s.\n" % (new.id, f"{len(new.entries):,}", when)
        )
    elif outcome.not_modified and same is not None:
        sys.stdout.write("Not changed since price version %d (the server says so): nothing imported.\n" % same.id)
    elif same is not None:
        sys.stdout.write("The same prices as version %d, in force then: nothing imported.\n" % same.id)
    sys.stdout.flush()
    return 0


def run_remove(args: argparse.Namespace) -> int:
    from ledgerly.prices.store import StoreError, remove_version

    text = args.id.strip()
    if not text.isascii() or not text.isdigit() or int(text) < 1:
        raise CommandError(
            "a version's id is a whole number such as 2 ('ledgerly prices' lists them), not %r" % text[:40]
        )
    try:
        removed = remove_version(int(text))
    except StoreError as exc:
        raise CommandError(str(exc)) from None
    if args.json:
        _print_json({"removed": removed.id, "source": removed.source})
    else:
        sys.stdout.write("Removed price version %d (%s).\n" % (removed.id, removed.source))
    sys.stdout.flush()
    return 0


# ---------------------------------------------------------------------------
# init


def write_new(path: str, text: str, force: bool) -> None:
    """Writes `text` to `path`: only when nothing is there (a dangling link
    is not followed either), or (`force`) as a new file that takes the
    name in one step. Whatever was at `path` is replaced, never written
    through: a symbolic link there is replaced by the file, its target
    left as it is. Raises CommandError."""
    from ledgerly.private_files import NewFile

    if os.path.isdir(path):
        raise CommandError("%s is a folder; name a file" % path)
    try:
        if not force:
            with open(path, "x", encoding="utf-8") as f:
                f.write(text)
            return
        with NewFile(path, mode=0o666) as new:
            new.write(text.encode("utf-8"))
    except FileExistsError:
        raise CommandError("%s exists; 'ledgerly prices init --force %s' replaces it" % (path, path)) from None
    except IsADirectoryError:
        raise CommandError("%s is a folder; name a file" % path) from None
    except OSError as exc:
        raise CommandError("writing %s failed: %s" % (path, exc.strerror or exc), PARTIAL) from None


def run_init(args: argparse.Namespace) -> int:
    from ledgerly.price_coverage import models_seen
    from ledgerly.prices.skeleton import glob_for, skeleton

    ctx = load_context(args, stored=False)
    snapshot = read_logs(ctx)
    seen = models_seen(snapshot)
    text = skeleton(seen)
    if args.file:
        write_new(args.file, text, args.force)
    if args.json:
        _print_json(
            {
                "models": [
                    {"model": s.model, "glob": glob_for(s.model), "total_tokens": s.total_tokens, "keys": s.parts}
                    for s in seen
                ],
                "file": os.path.abspath(args.file) if args.file else None,
            }
        )
    elif args.file:
        sys.stdout.write(
            "Wrote %d model%s to %s: write their prices, then use --prices %s\n"
            % (len(seen), "" if len(seen) == 1 else "s", args.file, args.file)
        )
    else:
        sys.stdout.write(text)
    sys.stdout.flush()
    summarise_errors(snapshot.errors, args.verbose)
    return 1 if snapshot.errors else 0


# ---------------------------------------------------------------------------
# check


def run_check(args: argparse.Namespace) -> int:
    from ledgerly.price_coverage import coverage

    ctx = load_context(args)
    if not ctx.prices:
        raise CommandError(
            "no prices: import a price map ('ledgerly prices import FILE' or URL), give --prices FILE, or write a "
            "[prices] table in the config ('ledgerly prices init FILE' writes one to fill in)"
        )
    origin = _origin(ctx)
    snapshot = read_logs(ctx)
    found = coverage(snapshot, ctx.prices)
    if args.json:
        _print_json(found.to_dict(origin))
    else:
        draw_check(found, origin)
    sys.stdout.flush()
    summarise_errors(snapshot.errors, args.verbose)
    if snapshot.errors:
        return 1
    return 0 if found.complete else FOUND


def priced_by(model: ModelCoverage) -> str:
    """What prices a model, as a table cell: its glob, or per version the
    key and how it was matched (versions that agree are named once)."""
    if model.glob is not None:
        return model.glob
    keys: Dict[Any, List[int]] = {}
    for k in model.keys:
        keys.setdefault((k.key, k.how), []).append(k.version)
    shown = []
    for (key, how), versions in keys.items():
        if key is None:
            continue
        which = "" if len(keys) == 1 else "v%s " % ",".join(map(str, versions))
        shown.append("%s%s (%s)" % (which, key, how))
    return "; ".join(shown) or "–"


def draw_check(found: Coverage, origin: Optional[str]) -> None:
    from ledgerly.cli import cells
    from ledgerly.cli.figures import plain_number
    from ledgerly.cli.render import EDGE, NAME, NAMES, PADDING, Cell, console_for, fitted_keys, show, titled_table
    from ledgerly.prices.skeleton import toml_key

    console = console_for(sys.stdout)
    priced = sum(1 for m in found.models if m.priced)
    table = titled_table("Prices of the models in the logs")
    tokens = [plain_number(m.seen.total_tokens) for m in found.models]
    by = [priced_by(m) for m in found.models]
    # Names are shortened to the room the figures leave, each still told from the others.
    keys = [
        ("Model", [Cell(m.seen.model, NAME) for m in found.models]),
        ("Priced by", [Cell(b, NAME) if b != "–" else Cell(b) for b in by]),
        (
            "Lacks",
            [
                Cell("a price")
                if b == "–"
                else Cell(", ".join(m.missing), NAMES, names=tuple(m.missing))
                if m.missing
                else Cell("–")
                for m, b in zip(found.models, by)
            ],
        ),
    ]
    figures = max([len("Tokens")] + [len(t) for t in tokens]) + PADDING
    texts = fitted_keys(keys, console.width - EDGE - figures - PADDING * len(keys))
    table.add_column("Model", no_wrap=True)
    table.add_column("Tokens", justify="right", no_wrap=True)
    table.add_column("Priced by", no_wrap=True)
    table.add_column("Lacks", no_wrap=True)
    for i, count in enumerate(tokens):
        table.add_row(texts[0][i], count, texts[1][i], texts[2][i])
    show(console, table)
    where = " by %s" % cells.printable(cells.with_tilde(origin)) if origin else ""
    show(console, "%d of %d models fully priced%s." % (priced, len(found.models), where))
    for m in found.models:
        for k in m.keys:
            if k.note:
                show(
                    console,
                    "%s in version %d: %s." % (cells.printable(m.seen.model), k.version, cells.printable(k.note)),
                )
    for glob, reason in found.unused:
        show(console, "Glob %s prices no model: %s." % (toml_key(glob), reason))
