"""The report subcommands: daily, weekly, monthly, models, projects, blocks."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Dict, Mapping, Tuple

from ledgerly.cli.options import Context, load_context, report_options, source_options, summarise_errors, warn

# name -> (grouping, title, help)
REPORTS: Dict[str, Tuple[Tuple[str, ...], str, str]] = {
    "daily": (("day",), "Usage by day", "token usage and cost per day"),
    "weekly": (("week",), "Usage by ISO week", "token usage and cost per ISO week"),
    "monthly": (("month",), "Usage by month", "token usage and cost per month"),
    "models": (("model",), "Usage by model", "token usage and cost per model"),
    "projects": (("project",), "Usage by project", "token usage and cost per project"),
}


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parents = [source_options(), report_options()]
    for name, (by, _title, text) in REPORTS.items():
        parser = commands.add_parser(name, parents=parents, help=text, description=text.capitalize() + ".")
        parser.set_defaults(run=run_report, by=by, title=name)
    parser = commands.add_parser(
        "blocks",
        parents=parents,
        help="token usage in consecutive 5-hour windows",
        description="Token usage in consecutive 5-hour windows. A window opens at the start of the (UTC) hour of "
        "the first event after the previous window closed.",
    )
    parser.set_defaults(run=run_report, by=("block",), title="blocks")


def run_report(args: argparse.Namespace) -> int:
    from ledgerly.cli.progress import run_refresh
    from ledgerly.ledger import Ledger
    from ledgerly.params import make_query

    ctx = load_context(args)
    query = make_query(args.by, args.since, args.until, ctx.zone, args.model, args.project, args.breakdown)
    ledger = Ledger(ctx.sources, ctx.workers)
    listing = ledger.list_files()
    table = not (args.json or args.csv)
    snapshot = run_refresh(ledger, listing, meanwhile=lambda: _load(table))
    if query.by == ("block",):
        from ledgerly.block_reports import blocks_for

        report = blocks_for(snapshot, query, ctx.prices)
    else:
        from ledgerly.reports import report_for

        report = report_for(snapshot, query, ctx.prices)
    if args.json:
        sys.stdout.write(report.to_json() + "\n")
    elif args.csv:
        sys.stdout.write(report.to_csv())
    else:
        from ledgerly.cli.render import draw

        title = REPORTS[args.title][1] if args.title in REPORTS else "Usage by 5-hour block"
        draw(report, sys.stdout, "%s (%s)" % (title, report.timezone))
    sys.stdout.flush()
    if report.priced and report.unpriced:
        warn_unpriced(report.unpriced, ctx)
    summarise_errors(snapshot.errors, args.verbose)
    return 1 if snapshot.errors else 0


def _load(table: bool) -> None:
    """Imports the report code (numpy with it), and the table code when a
    table is drawn, while the engine reads."""
    import ledgerly.block_reports
    import ledgerly.reports

    if table:
        import ledgerly.cli.render  # noqa: F401


def warn_unpriced(unpriced: Mapping[str, Tuple[str, ...]], ctx: Context) -> None:
    """One warning naming the models whose usage has no price, and why."""
    details = []
    for model, keys in sorted(unpriced.items()):
        if ctx.prices is not None and ctx.prices.price_for(model) is not None:
            details.append("%s (no %s price)" % (model, "/".join(keys)))
        else:
            details.append("%s (no matching price)" % model)
    warn("usage without a price is left out of the costs (shown as unknown): %s" % ", ".join(details))
