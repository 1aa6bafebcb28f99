"""The `sources` subcommand: what was found where, what was skipped, and
the lines of each source's logs that the engine could not count."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Dict, List, Tuple

from ledgerly.cli.options import load_context, source_options, summarise_errors

SHOWN_SKIPPED = 10
ORIGINS = {
    "option": "from --source",
    "environment": "from LEDGERLY_SOURCES",
    "config": "from the config file",
    "discovered": "found in the home folder",
}


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "sources",
        parents=[source_options()],
        help="list the log sources, their files, what was skipped and the lines that could not be counted",
        description="List the log sources in use (from --source, LEDGERLY_SOURCES, the config file or discovery), "
        "the files of each dialect, their bytes, the files skipped with the reason, and the lines of their logs "
        "that could not be counted (malformed, or with invalid usage). Reads every log.",
    )
    parser.add_argument("--json", action="store_true", help="print JSON")
    parser.set_defaults(run=run_sources)


def run_sources(args: argparse.Namespace) -> int:
    from ledgerly.cli.progress import run_refresh
    from ledgerly.cli.saved import ledger_for, note_refused, state_for
    from ledgerly.damage import damaged_lines
    from ledgerly.sniffing import SniffCache
    from ledgerly.walk import list_files

    ctx = load_context(args, stored=False)
    ledger = None
    if len(ctx.sources) == 1:
        # One source: the ledger that counts its damaged lines lists it, with
        # the dialects kept in its saved state (the state the reports keep).
        ledger = ledger_for(args, ctx.sources, ctx.workers)
        listing = ledger.list_files()
    else:
        sniffs = SniffCache()
        state = state_for(args, ctx.sources)
        if state is not None:
            # The dialects kept with the sources' saved state spare opening
            # unchanged files to list them (each source's ledger keeps its own).
            # (A cache folder that is not used is named once, by the ledgers below.)
            from ledgerly.saved.state_file import folder_refusal, restore_dialects

            if folder_refusal(os.path.dirname(state)) is None:
                _usable, refused = restore_dialects(state, ctx.sources, sniffs)
                if args.verbose:
                    note_refused(state, refused)
        listing = list_files(ctx.sources, sniffs)
    counts, unread = damaged_lines(
        listing,
        ledger=ledger,
        open_ledger=lambda sources: ledger_for(args, sources, ctx.workers),
        refresh=run_refresh,
    )
    data = listing.describe()
    for source, damage in zip(data["sources"], counts):
        source.update(damage)
    if args.json:
        sys.stdout.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    else:
        draw(data, args.verbose)
    errors = list(listing.errors) + unread
    summarise_errors(errors, args.verbose)
    return 1 if errors else 0


def draw(data: Dict[str, Any], verbose: bool) -> None:
    from ledgerly.cli import cells
    from ledgerly.cli.figures import byte_size, plain_number
    from ledgerly.cli.render import (
        EDGE,
        KEY_ROOM,
        PADDING,
        PATH,
        Cell,
        console_for,
        fit_column,
        header_width,
        show,
        titled_table,
        unique_width,
    )

    console = console_for(sys.stdout)
    sources = data["sources"]
    origins = sorted({s["origin"] for s in sources})
    title = "Log sources" + (" (%s)" % ", ".join(ORIGINS.get(o, o) for o in origins) if origins else "")
    numbers: List[Tuple[str, Any]] = [
        ("Message\nlogs", lambda s: plain_number(s["message_files"])),
        ("Event\nlogs", lambda s: plain_number(s["event_files"])),
        ("Size", lambda s: byte_size(s["bytes"])),
        ("Skipped\nfiles", lambda s: plain_number(s["skipped"])),
    ]
    wide = numbers + [
        ("Malformed\nlines", lambda s: plain_number(s["malformed"])),
        ("Invalid\nusage", lambda s: plain_number(s["invalid_usage"])),
    ]
    narrow = numbers + [("Damaged\nlines", lambda s: plain_number(s["malformed"] + s["invalid_usage"]))]

    def taken(columns: List[Tuple[str, Any]]) -> int:
        return sum(
            max([cells.width(cell(s)) for s in sources] + [header_width(header)]) + PADDING for header, cell in columns
        )

    # The same sizing as the report tables: the widest form that leaves the source column its room.
    columns = wide if EDGE + KEY_ROOM + PADDING + taken(wide) <= console.width else narrow
    room = console.width - EDGE - PADDING - taken(columns)
    table = titled_table(title)
    table.add_column("Source", no_wrap=True, overflow="ellipsis")
    for header, _cell in columns:
        table.add_column(header, justify="right", no_wrap=True)
    paths = [Cell(s["path"] + (" [%s]" % s["dialect"] if s["dialect"] else ""), PATH) for s in sources]
    # The figures keep their room; paths take the rest, however little, but
    # two are never shortened alike.
    shown = fit_column(paths, unique_width(paths, max(room, len("Source"))))
    for s, path in zip(sources, shown):
        table.add_row(path, *[cell(s) for _h, cell in columns])
    show(console, table)
    skipped = data["skipped"]
    if skipped:
        shown = skipped if verbose else skipped[:SHOWN_SKIPPED]
        show(console, "Skipped files:")
        for s in shown:
            show(console, "  %s: %s" % (cells.printable(cells.with_tilde(s["path"])), s["reason"]), soft_wrap=True)
        if len(shown) < len(skipped):
            show(console, "  ... and %d more (--verbose lists them)" % (len(skipped) - len(shown)))
