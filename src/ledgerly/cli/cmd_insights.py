"""The `insights` subcommand: when the tokens go (weekday and hour), how
long sessions are active, what the cache saves, and this week and month
against the last."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ledgerly.cli.options import add_selection_options, checked, finish_result, load_context, no_usage, source_options
from ledgerly.params import DEFAULT_IDLE_GAP, parse_idle_gap


def insights_options() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("insights")
    add_selection_options(group)
    group.add_argument(
        "--idle-gap",
        type=checked(parse_idle_gap),
        metavar="MINUTES",
        help="a pause between two events of a session longer than this is not active time (default: %d)"
        % DEFAULT_IDLE_GAP,
    )
    group.add_argument("--json", action="store_true", help="print JSON")
    parent.set_defaults(csv=False)
    return parent


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "insights",
        parents=[source_options(), insights_options()],
        help="tokens by weekday and hour, sessions' active time, cache savings, this week and month against the last",
        description="Tokens by weekday and hour (a heat map), the sessions' active time (pauses longer than the "
        "idle gap left out), the share of input read from a cache and what that saved, and this week and this "
        "month so far against the last at the same point. The periods end at --until when it lies in the past (now "
        "otherwise) and are not cut by --since.",
    )
    parser.set_defaults(run=run_insights)


def run_insights(args: argparse.Namespace) -> int:
    from ledgerly.cli.progress import in_background, run_refresh
    from ledgerly.cli.saved import open_ledger
    from ledgerly.params import make_insights_query

    imported = in_background(lambda: _load(not args.json))
    ctx = load_context(args)
    query = make_insights_query(args.since, args.until, ctx.zone, args.model, args.project, args.idle_gap)
    ledger = open_ledger(ctx)
    listing = ledger.list_files()
    snapshot = run_refresh(ledger, listing, meanwhile=imported)
    from ledgerly.insights import insights_for

    result = insights_for(snapshot, query, ctx.prices)
    empty = None if result.sessions.count else no_usage(snapshot, ctx.zone)
    if args.json:
        sys.stdout.write(result.to_json() + "\n")
    else:
        from ledgerly.cli.insights_view import draw_insights

        draw_insights(result, sys.stdout, empty.text if empty else None)
    sys.stdout.flush()
    return finish_result(result, ctx, snapshot, empty)


def _load(table: bool) -> None:
    """Imports the insights code (numpy with it), and the table code when a
    table is drawn, while the logs are listed and read."""
    import ledgerly.insights

    if table:
        import ledgerly.cli.insights_view  # noqa: F401
