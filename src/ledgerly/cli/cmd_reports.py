"""The report subcommands: daily, weekly, monthly, models, projects, blocks."""

from __future__ import annotations

import argparse
import shutil
import sys
from typing import Any, Dict, Tuple

from ledgerly.cli.options import (
    add_limit_option,
    finish_result,
    load_context,
    no_usage,
    report_options,
    source_options,
    write_result,
)

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
    add_limit_option(parser.add_argument_group("limits"))
    parser.set_defaults(run=run_report, by=("block",), title="blocks")


def run_report(args: argparse.Namespace) -> int:
    from ledgerly.cli.progress import in_background, run_refresh
    from ledgerly.cli.saved import open_ledger
    from ledgerly.params import make_query

    drawn = not (args.json or args.csv)
    # The report code (numpy with it) is imported while the logs are listed.
    imported = in_background(lambda: _load(drawn))
    ctx = load_context(args)
    query = make_query(args.by, args.since, args.until, ctx.zone, args.model, args.project, args.breakdown)
    ledger = open_ledger(ctx)
    listing = ledger.list_files()
    snapshot = run_refresh(ledger, listing, meanwhile=imported)
    if query.by == ("block",):
        from ledgerly.block_reports import blocks_for, now_ms
        from ledgerly.limits import with_block_limits

        now = now_ms()
        report = blocks_for(snapshot, query, ctx.prices, now)
        if ctx.limits:
            report = with_block_limits(report, snapshot, query, ctx.prices, ctx.limits, now)
    else:
        from ledgerly.reports import report_for

        report = report_for(snapshot, query, ctx.prices)

    empty = None if report.rows else no_usage(snapshot, ctx.zone)

    def table() -> None:
        from ledgerly.cli.render import NO_USAGE, draw

        title = REPORTS[args.title][1] if args.title in REPORTS else "Usage by 5-hour block"
        draw(report, sys.stdout, "%s (%s)" % (title, report.timezone), empty.text if empty else NO_USAGE)
        if report.limits and report.rows:
            from ledgerly.cli.limitview import block_summary
            from ledgerly.timezones import format_instant

            columns = shutil.get_terminal_size().columns
            summary = block_summary(report.limits, format_instant(now, ctx.zone), columns, report.currency)
            sys.stdout.write("\n".join(summary) + "\n")

    write_result(report, args, table)
    return finish_result(report, ctx, snapshot, empty)


def _load(table: bool) -> None:
    """Imports the report code (numpy with it), and the table code when a
    table is drawn, while the logs are listed and read."""
    import ledgerly.block_reports
    import ledgerly.reports

    if table:
        import ledgerly.cli.render  # noqa: F401
