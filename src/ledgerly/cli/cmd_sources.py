"""The `sources` subcommand: what was found where, and what was skipped."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Dict

from ledgerly.cli.options import load_context, source_options, summarise_errors

SHOWN_SKIPPED = 10


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "sources",
        parents=[source_options()],
        help="list the log sources, their files and what was skipped",
        description="List the log sources in use (from --source, LEDGERLY_SOURCES, the config file or discovery), "
        "the files of each dialect, their bytes, and the files skipped with the reason.",
    )
    parser.add_argument("--json", action="store_true", help="print JSON")
    parser.set_defaults(run=run_sources)


def run_sources(args: argparse.Namespace) -> int:
    from ledgerly.cli.saved import note_refused, state_for
    from ledgerly.sources import SniffCache, list_files

    ctx = load_context(args)
    sniffs = SniffCache()
    state = state_for(args, ctx.sources)
    if state is not None:
        # The dialects kept with the saved state spare opening unchanged
        # files; the engine's part is not needed (no log is read here).
        from ledgerly.cache import restore_dialects

        _usable, refused = restore_dialects(state, ctx.sources, sniffs)
        if args.verbose:
            note_refused(state, refused)
    listing = list_files(ctx.sources, sniffs)
    data = listing.describe()
    if args.json:
        sys.stdout.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    else:
        draw(data, args.verbose)
    summarise_errors(listing.errors, args.verbose)
    return 1 if listing.errors else 0


def home_relative(path: str) -> str:
    """`path` with the home folder written as ~, as people read paths in a table."""
    home = os.path.expanduser("~").rstrip(os.sep)
    if home and (path == home or path.startswith(home + os.sep)):
        return "~" + path[len(home) :]
    return path


def draw(data: Dict[str, Any], verbose: bool) -> None:
    from rich import box
    from rich.console import Console
    from rich.table import Table

    from ledgerly.cli.figures import plain_number
    from ledgerly.cli.render import show

    console = Console(highlight=False)
    table = Table(box=box.SIMPLE_HEAD, title="Log sources", title_justify="left")
    table.add_column("Source", overflow="fold")
    table.add_column("From")
    table.add_column("Message", justify="right")
    table.add_column("Event", justify="right")
    table.add_column("Bytes", justify="right", no_wrap=True)
    table.add_column("Skipped", justify="right")
    for s in data["sources"]:
        path = home_relative(s["path"]) + (" [%s]" % s["dialect"] if s["dialect"] else "")
        table.add_row(
            path,
            s["origin"],
            plain_number(s["message_files"]),
            plain_number(s["event_files"]),
            plain_number(s["bytes"]),
            plain_number(s["skipped"]),
        )
    show(console, table)
    skipped = data["skipped"]
    if skipped:
        shown = skipped if verbose else skipped[:SHOWN_SKIPPED]
        show(console, "Skipped files:")
        for s in shown:
            show(console, "  %s: %s" % (home_relative(s["path"]), s["reason"]), soft_wrap=True)
        if len(shown) < len(skipped):
            show(console, "  ... and %d more (--verbose lists them)" % (len(skipped) - len(shown)))
