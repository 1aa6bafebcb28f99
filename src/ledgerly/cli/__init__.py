"""The `ledgerly` command.

    ledgerly [COMMAND] [OPTIONS]
    ledgerly [OPTIONS] [PATH ...]   same as: ledgerly daily --source PATH ...

Each subcommand lives in its own module (`ledgerly.cli.cmd_*`) with a
`register(commands)` function that adds its parser and sets `run`;
`build_parser` registers them in the order of the help text. How a command ends becomes output and an exit
status in one place, `ledgerly.cli.errors.finish`.
"""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple

if TYPE_CHECKING:
    from ledgerly.cli.options import Parser

DEFAULT_COMMAND = "daily"


def build_parser() -> Tuple[Parser, List[str]]:
    """The parser of every command, and the command names."""
    from ledgerly.cli.options import Parser

    parser = Parser(
        prog="ledgerly",
        description="Token usage and cost of AI coding-agent sessions, from their JSON-Lines logs.",
        epilog="Run 'ledgerly COMMAND --help' for a command's options. Without a command, 'daily' runs; "
        "a PATH stands for '--source PATH'.",
    )
    from ledgerly import __version__

    parser.add_argument("--version", action="version", version="ledgerly " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    from ledgerly.cli import (
        cmd_cache,
        cmd_export,
        cmd_query,
        cmd_reports,
        cmd_serve,
        cmd_sessions,
        cmd_sources,
        cmd_status,
        cmd_watch,
    )

    # In the order of the help text.
    for command in (
        cmd_reports,
        cmd_sessions,
        cmd_sources,
        cmd_export,
        cmd_query,
        cmd_status,
        cmd_watch,
        cmd_serve,
        cmd_cache,
    ):
        command.register(commands)
    return parser, list(commands.choices)


def _with_default_command(argv: List[str], commands: Sequence[str]) -> List[str]:
    """Puts the default command first when the arguments name none."""
    if argv and (argv[0] in commands or argv[0] in ("-h", "--help", "--version")):
        return argv
    return [DEFAULT_COMMAND, *argv]


def main(argv: Optional[Sequence[str]] = None) -> int:
    args_in = list(sys.argv[1:] if argv is None else argv)
    if args_in[:1] == ["status"]:
        # Called every few seconds by prompts and status bars: skip building every parser.
        from ledgerly.cli.cmd_status import main as status_main

        return status_main(args_in[1:])
    from ledgerly.cli.errors import finish

    return finish(lambda: _run(args_in))


def _run(args_in: List[str]) -> int:
    parser, names = build_parser()
    args = parser.parse_args(_with_default_command(args_in, names))
    return run_command(args)


def run_command(args: argparse.Namespace) -> int:
    """Runs a parsed command, then waits for the state it saves (not after
    Ctrl-C: the entry point leaves at once then)."""
    from ledgerly.cli.saved import settle

    try:
        status: int = args.run(args)
    except KeyboardInterrupt:
        raise
    except BaseException:
        settle()
        raise
    settle()
    return status


if __name__ == "__main__":
    sys.exit(main())
