"""The `sessions` subcommand: usage and cost per session, or one session's
breakdown (`--id`)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ledgerly.cli.options import (
    UsageError,
    add_selection_options,
    load_context,
    source_options,
    summarise_errors,
    usage_error,
)


def _top(text: str) -> int:
    from ledgerly.params import ParameterError, parse_top

    try:
        value = parse_top(text)
    except ParameterError as exc:
        raise argparse.ArgumentTypeError(exc.message) from None
    assert value is not None
    return value


def session_options() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("sessions")
    add_selection_options(group)
    group.add_argument("--sort", choices=("cost", "tokens"),
                       help="order, the largest first (default: cost with a price table, else tokens)")
    group.add_argument("--top", type=_top, metavar="N", help="list only the first N sessions")
    group.add_argument("--id", metavar="ID",
                       help="break one session down per model and per day: its id (the log's name) or the path "
                       "of its log")
    formats = group.add_mutually_exclusive_group()
    formats.add_argument("--json", action="store_true", help="print JSON")
    formats.add_argument("--csv", action="store_true", help="print CSV")
    return parent


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "sessions",
        parents=[source_options(), session_options()],
        help="token usage and cost per session, the costliest first",
        description="Token usage and cost per session (one log file; a subagent's log in "
        "<name>/subagents/ next to its parent <name>.jsonl counts towards the parent). With --id, one "
        "session per model and per day.",
    )
    parser.set_defaults(run=run_sessions)


def run_sessions(args: argparse.Namespace) -> int:
    from ledgerly.cli.progress import importer, run_refresh
    from ledgerly.ledger import Ledger
    from ledgerly.params import ParameterError, make_session_query

    ctx = load_context(args)
    assert ctx.query is not None
    if args.sort == "cost" and not ctx.prices:
        raise UsageError("--sort cost needs a price table (--prices FILE, or [prices] in the config)")
    try:
        query = make_session_query(ctx.query.since, ctx.query.until, ctx.zone, ctx.query.model, ctx.query.project,
                                   args.sort, args.top, args.id)
    except ParameterError as exc:
        raise usage_error(exc) from None
    ledger = Ledger(ctx.sources, ctx.workers)
    listing = ledger.list_files()
    load, modules = importer(["sessions"] + ([] if args.json or args.csv else ["cli.render"]))
    snapshot = run_refresh(ledger, listing, meanwhile=load)
    sessions = modules["sessions"]
    try:
        if query.id is not None:
            result = sessions.session_detail(snapshot, query.id, prices=ctx.prices, **query.range_args())
        else:
            result = sessions.list_sessions(snapshot, prices=ctx.prices, sort=query.sort, top=query.top,
                                       **query.range_args())
    except sessions.SessionError as exc:
        raise UsageError(("--id: %s" % exc) if query.id is not None else str(exc)) from None
    if args.json:
        sys.stdout.write(result.to_json() + "\n")
    elif args.csv:
        sys.stdout.write(result.to_csv())
    elif query.id is not None:
        modules["cli.render"].draw_session(result, sys.stdout)
    else:
        title = "Sessions by %s (%s)" % (result.sort, result.timezone)
        modules["cli.render"].draw_sessions(result, sys.stdout, title)
    sys.stdout.flush()
    if result.priced and result.unpriced:
        from ledgerly.cli.cmd_reports import warn_unpriced

        warn_unpriced(dict(result.unpriced), ctx)
    summarise_errors(snapshot.errors, args.verbose)
    return 1 if snapshot.errors else 0
