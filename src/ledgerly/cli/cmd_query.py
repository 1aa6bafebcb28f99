"""The `query` subcommand: reports over an exported Parquet tree, by DuckDB."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ledgerly.cli.errors import PARTIAL, CommandError
from ledgerly.cli.options import add_glob_options, warn, warn_unpriced
from ledgerly.extras import install_hint

# name -> the fields of its rows; --by adds fields after them
REPORTS = {
    "daily": ("day",),
    "weekly": ("week",),
    "monthly": ("month",),
    "models": ("model",),
    "projects": ("project",),
    "machines": ("machine",),
}
GROUPINGS = ("machine", "model", "project", "tier", "subagent", "dialect")


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "query",
        help="reports over an exported Parquet tree (one machine's or many merged)",
        description_of=lambda: (
            "Token usage and cost per UTC day, week or month, model, project or machine, over a tree written "
            "by 'ledgerly export --parquet' (trees of several machines merge by copying their folders side by side). "
            "Needs duckdb (%s)." % install_hint("query")
        ),
    )
    parser.add_argument("directory", metavar="DIR", help="the exported tree")
    parser.add_argument(
        "report",
        nargs="?",
        default="daily",
        choices=list(REPORTS),
        help="one row per: %s (default: daily)" % ", ".join(REPORTS),
    )
    group = parser.add_argument_group("report")
    group.add_argument(
        "--by",
        action="append",
        metavar="FIELD",
        default=[],
        choices=GROUPINGS,
        help="also group by FIELD (repeatable): %s" % ", ".join(GROUPINGS),
    )
    group.add_argument("--since", metavar="WHEN", help="from this UTC date (whole day) or RFC 3339 time on")
    group.add_argument("--until", metavar="WHEN", help="up to this UTC date (inclusive) or time")
    add_glob_options(group)
    group.add_argument("--machine", action="append", metavar="GLOB", default=[], help="only machines matching GLOB")
    group.add_argument("--breakdown", action="store_true", help="per-model rows inside each row")
    formats = group.add_mutually_exclusive_group()
    formats.add_argument("--json", action="store_true", help="print JSON")
    formats.add_argument("--csv", action="store_true", help="print CSV")
    parser.add_argument("-v", "--verbose", action="store_true", help="name the models that have usage without a price")
    parser.set_defaults(run=run_query)


def run_query(args: argparse.Namespace) -> int:
    from ledgerly.params import TREE_GROUPS, ParameterError, make_query
    from ledgerly.team import MissingExtra, query

    by = REPORTS[args.report] + tuple(args.by)
    try:
        checked = make_query(
            by,
            args.since,
            args.until,
            "UTC",
            args.model,
            args.project,
            args.breakdown,
            groups=TREE_GROUPS,
            machine=args.machine,
        )
    except ParameterError as exc:
        if exc.parameter != "group":
            raise
        raise CommandError("--by: %s" % exc.message) from None  # the report's name and --by make the grouping
    try:
        result = query.run_query(args.directory, checked)
    except query.ReadError as exc:
        raise CommandError(str(exc), PARTIAL) from None
    except (MissingExtra, query.QueryError) as exc:
        raise CommandError(str(exc)) from None
    report = result.report
    if args.json:
        sys.stdout.write(report.to_json() + "\n")
    elif args.csv:
        sys.stdout.write(report.to_csv())
    else:
        from ledgerly.cli.render import draw

        draw(report, sys.stdout, "Usage by %s (%s)" % (" and ".join(by), report.timezone))
    sys.stdout.flush()
    if report.unpriced:
        warn_unpriced(report.unpriced, args.verbose)
    if len(result.price_tables) > 1:
        warn(
            "the costs come from %d different price tables (%s): compare the price_table column per machine"
            % (len(result.price_tables), ", ".join(result.price_tables))
        )
    return 0
