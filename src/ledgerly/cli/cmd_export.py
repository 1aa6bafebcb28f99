"""The `export` subcommand: the counted events as a Parquet tree."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from ledgerly.cli.errors import PARTIAL, CommandError
from ledgerly.cli.figures import plain_number
from ledgerly.cli.options import add_prices_option, load_context, source_options, summarise_errors, warn_unpriced
from ledgerly.extras import install_hint


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "export",
        parents=[source_options()],
        help="write every counted event into a Hive-partitioned Parquet tree",
        description_of=lambda: (
            "Write every counted event into DIR/machine=NAME/day=YYYY-MM-DD/part-0.parquet (UTC days). "
            "Only partitions whose content changed are written, each through a temporary file renamed into place. "
            "Needs pyarrow (%s)." % install_hint("parquet")
        ),
    )
    group = parser.add_argument_group("export")
    group.add_argument("--parquet", metavar="DIR", required=True, help="the tree to write into (created when missing)")
    group.add_argument(
        "--machine",
        metavar="NAME",
        help="the machine's partition name (default: the host name); letters, digits, '.', '_', '-'",
    )
    group.add_argument(
        "--since", metavar="WHEN", help="only days from this UTC date on (a time stands for its whole day)"
    )
    group.add_argument("--until", metavar="WHEN", help="only days up to this UTC date (inclusive)")
    add_prices_option(group)
    group.add_argument(
        "--partial",
        action="store_true",
        help="export even when some logs could not be read (their events leave the tree)",
    )
    group.add_argument("--json", action="store_true", help="print what was done as JSON")
    parser.set_defaults(run=run_export)


def run_export(args: argparse.Namespace) -> int:
    from ledgerly.cli.progress import run_refresh
    from ledgerly.cli.saved import open_ledger
    from ledgerly.params import make_query
    from ledgerly.team import MissingExtra, export

    try:
        export.require_pyarrow()
        machine = export.check_machine(args.machine) if args.machine is not None else export.default_machine()
    except (MissingExtra, export.ExportError) as exc:
        raise CommandError(str(exc)) from None
    days = make_query((), args.since, args.until, "UTC")
    ctx = load_context(args)
    ledger = open_ledger(ctx)
    snapshot = run_refresh(ledger, ledger.list_files())
    try:
        result = export.export_days(snapshot, args.parquet, days, machine, ctx.prices, args.partial)
    except export.IncompleteLogs as exc:
        summarise_errors(snapshot.errors, args.verbose)
        raise CommandError("%s (--partial exports anyway)" % exc, PARTIAL) from None
    except export.ExportError as exc:
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError("export into %s failed: %s" % (args.parquet, exc), PARTIAL) from None
    if args.json:
        sys.stdout.write(json.dumps(result.to_dict(), indent=2, ensure_ascii=False) + "\n")
    else:
        span = "" if result.first_day is None else " (%s to %s)" % (result.first_day, result.last_day)
        sys.stdout.write(
            "Exported %s on %s%s to %s: %d written, %d unchanged, %d removed.\n"
            % (
                _count(result.events, "event"),
                _count(result.days, "day"),
                span,
                result.folder,
                len(result.written),
                result.unchanged,
                len(result.removed),
            )
        )
    sys.stdout.flush()
    if result.unpriced:
        warn_unpriced(result.unpriced, args.verbose)
    summarise_errors(snapshot.errors, args.verbose)
    return 1 if snapshot.errors else 0


def _count(n: int, noun: str) -> str:
    return "%s %s%s" % (plain_number(n), noun, "" if n == 1 else "s")
