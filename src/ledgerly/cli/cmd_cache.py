"""The `cache` subcommand: where the saved states are, and clearing them."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Dict

from ledgerly.cli.errors import PARTIAL, CommandError
from ledgerly.cli.figures import plain_number


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "cache",
        help="show the saved states (where, their size, files and rows), or clear them",
        description="Every command that reads logs keeps the state it reached in the cache folder (one file per "
        "set of sources; LEDGERLY_CACHE_DIR names another folder) and starts from it next time, reading only "
        "what changed. 'ledgerly cache' lists the saved states; 'ledgerly cache clear' removes them (the next "
        "command reads every log again). --no-cache or LEDGERLY_NO_CACHE=1 leaves them alone.",
    )
    parser.add_argument("action", nargs="?", choices=("clear",), help="remove the saved states")
    parser.add_argument("--json", action="store_true", help="print JSON")
    parser.set_defaults(run=run_cache)


def run_cache(args: argparse.Namespace) -> int:
    from ledgerly.saved import cache_dir, clear_states, list_states

    folder = cache_dir()
    if args.action == "clear":
        try:
            removed, freed = clear_states(folder)
        except OSError as exc:
            raise CommandError("cannot clear %s: %s" % (folder, exc.strerror or exc), PARTIAL) from None
        if args.json:
            _print_json({"folder": folder, "removed": removed, "bytes": freed})
        else:
            sys.stdout.write(
                "Removed %d file%s (%s bytes) from %s.\n"
                % (removed, "" if removed == 1 else "s", plain_number(freed), folder)
            )
        return 0
    try:
        states, temporary = list_states(folder)
    except OSError as exc:
        raise CommandError("cannot list %s: %s" % (folder, exc.strerror or exc), PARTIAL) from None
    data = {
        "folder": folder,
        "states": [s.to_dict() for s in states],
        "bytes": sum(s.bytes for s in states),
        "temporary_files": temporary,
    }
    if args.json:
        _print_json(data)
    else:
        draw(data)
    return 0


def _print_json(data: Dict[str, Any]) -> None:
    sys.stdout.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    sys.stdout.flush()


def draw(data: Dict[str, Any]) -> None:
    from ledgerly.cli import cells
    from ledgerly.cli.figures import byte_size
    from ledgerly.cli.render import console_for, show, titled_table

    console = console_for(sys.stdout)
    folder = cells.printable(cells.with_tilde(data["folder"]))
    if not data["states"]:
        show(console, "No saved states in %s" % folder, soft_wrap=True)
        return
    table = titled_table("Saved states in %s" % folder)
    table.add_column("Sources", overflow="fold")
    table.add_column("Saved (UTC)", no_wrap=True)
    table.add_column("Size", justify="right", no_wrap=True)
    table.add_column("Files", justify="right", no_wrap=True)
    table.add_column("Rows", justify="right", no_wrap=True)
    for s in data["states"]:
        lines = [
            cells.printable(cells.with_tilde(p["path"])) + (" [%s]" % p["dialect"] if p["dialect"] else "")
            for p in s["sources"]
        ]
        if s["problem"] is not None:
            lines.append("not usable: %s" % s["problem"])
        table.add_row(
            "\n".join(lines) or cells.printable(s["path"]),
            s["saved_at"].replace("T", " ")[:16],
            byte_size(s["bytes"]),
            "" if s["files"] is None else plain_number(s["files"]),
            "" if s["rows"] is None else plain_number(s["rows"]),
        )
    show(console, table)
    if data["temporary_files"]:
        show(
            console,
            "%d temporary file(s) of unfinished saves ('ledgerly cache clear' removes them)" % data["temporary_files"],
        )
