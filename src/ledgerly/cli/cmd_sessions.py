"""The `sessions` subcommand: usage and cost per session, or one session's
breakdown (`--id`)."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any, Union

from ledgerly.cli.errors import CommandError
from ledgerly.cli.options import (
    add_selection_options,
    checked,
    finish_result,
    load_context,
    no_usage,
    source_options,
    write_result,
)
from ledgerly.params import SORTS, parse_top

if TYPE_CHECKING:
    from ledgerly.sessions import SessionReport


def session_options() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("sessions")
    add_selection_options(group)
    group.add_argument(
        "--sort",
        choices=SORTS,
        help="order: the largest cost or tokens first, or the most recent first "
        "(default: cost with a price table, else tokens)",
    )
    group.add_argument("--top", type=checked(parse_top), metavar="N", help="list only the first N sessions")
    group.add_argument(
        "--id",
        metavar="ID",
        help="break one session down per model and per day: its id (the log's name, or the start of it) or the "
        "path of its log",
    )
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
    from ledgerly.cli.progress import run_refresh
    from ledgerly.cli.saved import open_ledger
    from ledgerly.params import make_session_query

    ctx = load_context(args)
    if args.sort == "cost" and not ctx.prices:
        raise CommandError("--sort cost needs a price table (--prices FILE, or [prices] in the config)")
    query = make_session_query(args.since, args.until, ctx.zone, args.model, args.project, args.sort, args.top, args.id)
    ledger = open_ledger(ctx)
    listing = ledger.list_files()
    drawn = not (args.json or args.csv)
    snapshot = run_refresh(ledger, listing, meanwhile=lambda: _load(drawn))
    from ledgerly.sessions import SessionDetail, detail_for, session_id, sessions_for, snapshot_sessions

    result: Union[SessionDetail, SessionReport]
    result = (
        detail_for(snapshot, query, ctx.prices) if query.id is not None else sessions_for(snapshot, query, ctx.prices)
    )

    empty = None if isinstance(result, SessionDetail) or result.rows else no_usage(snapshot, ctx.zone)

    def table() -> None:
        from ledgerly.cli import render

        if isinstance(result, SessionDetail):
            render.draw_session(result, sys.stdout)
        else:
            ids = [session_id(path) for path in snapshot_sessions(snapshot).paths]
            render.draw_sessions(result, sys.stdout, title(result), empty.text if empty else render.NO_USAGE, ids)

    write_result(result, args, table)
    return finish_result(result, ctx, snapshot, empty)


ORDERS = {"cost": "Sessions by cost", "tokens": "Sessions by tokens", "recent": "Sessions, the most recent first"}


def title(result: SessionReport) -> str:
    """The table's title: the order, the zone, and how many are listed when not all."""
    shown = "" if len(result.rows) == result.count else ": %d of %d" % (len(result.rows), result.count)
    return "%s (%s)%s" % (ORDERS[result.sort], result.timezone, shown)


def _load(table: bool) -> None:
    """Imports the session code (numpy with it), and the table code when a
    table is drawn, while the engine reads."""
    import ledgerly.sessions

    if table:
        import ledgerly.cli.render  # noqa: F401
