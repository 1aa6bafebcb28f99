"""The `ledgerly` command.

    ledgerly [OPTIONS] [COMMAND] [OPTIONS]   options before the command as well as after it
    ledgerly [OPTIONS] [PATH ...]             same as: ledgerly daily --source PATH ...

A first word that is neither a command nor a path (an existing one, or one
that looks like a path: it holds a "/", starts with "." or "~", or ends in
".jsonl") is a mistyped command: a usage error that names the nearest one.

Each subcommand lives in its own module (`ledgerly.cli.cmd_*`) with a
`register(commands)` function that adds its parser and sets `run`;
`build_parser` registers them in the order of the help text. How a command ends becomes output and an exit
status in one place, `ledgerly.cli.errors.finish`.

The program (`entry`, which ``ledgerly`` and ``python -m ledgerly`` run)
leaves with `leave`: once the command is done and its output flushed, the
process ends without tearing down the interpreter, so the engine's state
and the rows (hundreds of MB for a large tree) are not freed one object at
a time only for the process to end. `main` itself returns, for callers
that run the command inside their own interpreter.
"""

from __future__ import annotations

import os
import sys
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Tuple

from ledgerly.cli.errors import CommandError

if TYPE_CHECKING:
    from ledgerly.cli.options import Parser

DEFAULT_COMMAND = "daily"


# The modules of the commands (ledgerly.cli.cmd_*), in the order of the help text.
MODULES = (
    "reports",
    "sessions",
    "insights",
    "report",
    "sources",
    "prices",
    "export",
    "query",
    "status",
    "check",
    "watch",
    "serve",
    "cache",
)
# The report commands (cmd_reports), which a first word names on the fast path of `_run`.
REPORT_COMMANDS = ("daily", "weekly", "monthly", "models", "projects", "blocks")


def build_parser(only_reports: bool = False) -> Tuple[Parser, List[str]]:
    """The parser of every command, and the command names; with
    `only_reports`, of the report commands alone."""
    from ledgerly.cli.options import Parser

    parser = Parser(
        prog="ledgerly",
        description="Token usage and cost of AI coding-agent sessions, from their JSON-Lines logs.",
        epilog="Run 'ledgerly COMMAND --help' for a command's options, which may also come before the command. "
        "Without a command, 'daily' runs; a PATH stands for '--source PATH'.",
    )
    from ledgerly.version import __version__

    parser.add_argument("--version", action="version", version="ledgerly " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    import importlib

    # In the order of the help text.
    names = ("reports",) if only_reports else MODULES
    for name in names:
        importlib.import_module("ledgerly.cli.cmd_" + name).register(commands)
    return parser, list(commands.choices)


def _value_options(parser: Parser) -> Dict[str, bool]:
    """Every option string of the program and of every command, and
    whether it takes a value."""
    import argparse

    found: Dict[str, bool] = {}
    for action in parser._actions:
        for text in action.option_strings:
            found[text] = found.get(text, False) or action.nargs != 0
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                for option in sub._actions:
                    for text in option.option_strings:
                        found[text] = found.get(text, False) or option.nargs != 0
    return found


def _takes_value(token: str, options: Dict[str, bool]) -> bool:
    """Whether the option `token` (which holds no "=") is followed by its
    value, as argparse reads it (a long option may be abbreviated)."""
    if token in options:
        return options[token]
    if token.startswith("--"):
        matches = {v for name, v in options.items() if name.startswith(token)}
        return matches == {True}
    return False


def _is_unknown_option(token: str, options: Dict[str, bool], parser: Parser) -> bool:
    """Whether `token` (an argument starting with "-") names no option of
    any command, as argparse would find: not an option, a long option's
    abbreviation, a short option with its value or more flags attached,
    or a negative number (or offset) that argparse takes as a value."""
    name = token.split("=", 1)[0]
    if name in options or parser._negative_number_matcher.match(token):
        return False
    if name.startswith("--"):
        return not any(option.startswith(name) for option in options)
    return token[:2] not in options


def unknown_option(token: str, options: Sequence[str]) -> str:
    """The message for an option that no command has, naming the nearest."""
    import difflib

    name = token.split("=", 1)[0]
    near = difflib.get_close_matches(name, [o for o in options if o.startswith("--")] or options, n=1, cutoff=0.6)
    hint = "did you mean '%s'?" % near[0] if near else "see ledgerly --help"
    return "unknown option '%s'; %s" % (name[:80], hint)


def looks_like_path(word: str) -> bool:
    """A word that names a path rather than a command: it holds a path
    separator, starts with "." or "~", or ends in ".jsonl"."""
    return "/" in word or os.sep in word or word.startswith((".", "~")) or word.endswith(".jsonl")


def arrange(argv: List[str], parser: Parser, commands: Sequence[str]) -> List[str]:
    """The arguments with the command first: options may come before it
    (`ledgerly --since 2026-04-01 models`); without a command, `daily`. The
    first word that is not an option's value decides: a command; else an
    existing path or a word that looks like one (the source of `daily`);
    else a mistyped command (CommandError, suggesting the nearest). An
    option before it that no command has is a CommandError naming that
    option and the nearest one."""
    if argv[:1] and argv[0] in ("-h", "--help", "--version"):
        return argv
    options = _value_options(parser)
    i = 0
    while i < len(argv):
        token = argv[i]
        if token == "--":
            break
        if token.startswith("-") and token != "-":
            # An option no command has would else make its value look like
            # the command ("--sinse 7d daily": "unknown command '7d'").
            if _is_unknown_option(token, options, parser):
                raise CommandError(unknown_option(token, list(options)))
            i += 2 if "=" not in token and _takes_value(token, options) else 1
            continue
        if token in commands:
            return [token, *argv[:i], *argv[i + 1 :]]
        if os.path.exists(token) or looks_like_path(token):
            break
        raise CommandError(unknown_command(token, commands))
    return [DEFAULT_COMMAND, *argv]


def unknown_command(word: str, commands: Sequence[str]) -> str:
    """The message for a word that is neither a command nor a path."""
    import difflib

    near = difflib.get_close_matches(word.lower(), commands, n=1, cutoff=0.6)
    hint = "did you mean '%s'?" % near[0] if near else "the commands are %s" % ", ".join(commands)
    return "unknown command '%s' (and no such file or folder); %s" % (word[:80], hint)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args_in = list(sys.argv[1:] if argv is None else argv)
    if args_in[:1] == ["status"]:
        # Called every few seconds by prompts and status bars: skip building every parser.
        from ledgerly.cli.cmd_status import main as status_main

        return status_main(args_in[1:])
    from ledgerly.cli.errors import finish

    return finish(lambda: _run(args_in))


def _run(args_in: List[str]) -> int:
    from ledgerly.cli.saved import run_command

    if args_in[:1] and args_in[0] in REPORT_COMMANDS:
        # The command comes first: only its parsers are needed (building every
        # command's costs tens of milliseconds, which a report from the saved
        # state notices). A report parser reads its options alike either way.
        parser, _names = build_parser(only_reports=True)
        return run_command(parser.parse_args(args_in))
    parser, names = build_parser()
    arranged = arrange(args_in, parser, names)
    if arranged[:1] == ["status"] and args_in[:1] != ["status"]:
        # Options before `status`: the status command's own entry point (its --quiet-errors).
        from ledgerly.cli.cmd_status import main as status_main

        return status_main(arranged[1:])
    args = parser.parse_args(arranged)
    return run_command(args)


def entry() -> None:
    """The `ledgerly` program: `main` with the process's arguments, then `leave`."""
    leave(main())


def leave(status: int) -> None:
    """Ends the process with `status` once stdout and stderr are flushed.
    The command has waited for its saves (`run_command`), so nothing it
    wrote is pending; only when some other non-daemon thread still runs
    does it leave the ordinary way (which waits for that thread)."""
    import contextlib
    import threading

    from ledgerly.cli.errors import CLOSED_OUTPUT

    try:
        sys.stdout.flush()
    except BrokenPipeError:
        status = CLOSED_OUTPUT
    except (OSError, ValueError):  # closed or failing: as an ordinary exit would find it
        pass
    with contextlib.suppress(OSError, ValueError):
        sys.stderr.flush()
    main_thread = threading.main_thread()
    if any(t is not main_thread and not t.daemon and t.is_alive() for t in threading.enumerate()):
        sys.exit(status)
    os._exit(status)


if __name__ == "__main__":
    entry()
