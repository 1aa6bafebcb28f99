"""The `status` subcommand: one line for a shell prompt or a status bar.

    ledgerly status                         12.3M today 4.21 | block 2h05m left | 35.2K/min 1.80/h
    ledgerly status --format '{today_tokens} {block_left}'
    ledgerly status --json

It asks a running `ledgerly serve` first (over its Unix socket, or its
TCP address), which answers in milliseconds; without one, it reads the
logs itself (a one-shot scan, like every report). Status bars call it
every few seconds, so it keeps its imports light on the server path and
never prints a traceback: with --quiet-errors any failure prints a short
marker and exits 0.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Dict, List, Optional, Sequence
from urllib.parse import urlencode

from ledgerly.cli.errors import ERROR_MARKER, PARTIAL, CommandError, finish
from ledgerly.cli.statusline import FIELDS, TemplateError, check, default_line, render


def register(commands: argparse._SubParsersAction[Any]) -> None:
    from ledgerly.cli.options import source_options

    parser = commands.add_parser(
        "status",
        parents=[source_options()],
        help="one line for a prompt or status bar: today, the current block, the pace",
        description=description(),
    )
    add_options(parser)
    parser.set_defaults(run=run_status)


def description() -> str:
    fields = "; ".join("{%s}: %s" % (name, text) for name, (text, _f) in FIELDS.items())
    return (
        "Print one line: today's tokens (and cost), the current 5-hour block's time left, the burn rate. Asks a "
        "running 'ledgerly serve' first, otherwise reads the logs. Template fields: "
        + fields
        + ". '{{' and '}}' are literal braces."
    )


def add_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("status")
    group.add_argument("--format", metavar="TEMPLATE", help="the line's template, e.g. '{today_tokens} {block_left}'")
    group.add_argument("--json", action="store_true", help="print the status data as JSON")
    group.add_argument("--tz", metavar="ZONE", help="time zone of 'today' (default: the server's, or config/local)")
    group.add_argument("--model", action="append", metavar="GLOB", default=[], help="only models matching GLOB")
    group.add_argument("--project", action="append", metavar="GLOB", default=[], help="only projects matching GLOB")
    group.add_argument(
        "--prices", metavar="FILE", help="price table file (reads the logs here instead of asking the server)"
    )
    group.add_argument(
        "--quiet-errors",
        action="store_true",
        help="on any failure print '%s' and exit 0 (for status bars)" % ERROR_MARKER,
    )
    group.add_argument("--no-server", action="store_true", help="read the logs here even when a server runs")
    group.add_argument(
        "--timeout", type=_timeout, default=2.0, metavar="SECONDS", help="how long to wait for the server (default 2)"
    )


def _timeout(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: %r" % text) from None
    if not 0.01 <= value <= 600:
        raise argparse.ArgumentTypeError("must be between 0.01 and 600 seconds")
    return value


def emit(status: Dict[str, Any], args: argparse.Namespace) -> None:
    if args.json:
        text = json.dumps(status, ensure_ascii=False)
    elif args.format is not None:
        text = render(args.format, status)
    else:
        text = default_line(status)
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def from_server(args: argparse.Namespace) -> Optional[Dict[str, Any]]:
    """The status from a running server, or None when none answers (or this
    call names its own sources, config or prices: the server answers only
    for its own). Raises CommandError for a server's refusal."""
    if args.no_server or args.source or args.paths or args.config or args.prices:
        return None
    from ledgerly.live.address import read_server_info
    from ledgerly.live.client import ClientError, get

    info = read_server_info()
    if info is None:
        return None
    query: List[Any] = [("tz", args.tz)] if args.tz else []
    query += [("model", m) for m in args.model] + [("project", p) for p in args.project]
    target = "/api/v1/status" + ("?" + urlencode(query) if query else "")
    try:
        code, body = get(info, target, timeout=args.timeout, token=os.environ.get("LEDGERLY_TOKEN"))
    except ClientError:
        return None  # no server after all (a stale address file): read the logs here
    try:
        data = json.loads(body)
    except ValueError:
        raise CommandError("the server gave an answer that is not JSON (status %d)" % code) from None
    if code != 200:
        message = data.get("error", "status %d" % code) if isinstance(data, dict) else "status %d" % code
        parameter = data.get("parameter") if isinstance(data, dict) else None
        raise CommandError("--%s: %s" % (parameter, message) if parameter else "server: %s" % message)
    if not isinstance(data, dict):
        raise CommandError("the server's answer is not a status")
    data["source"] = "server"
    return data


def one_shot(args: argparse.Namespace) -> Dict[str, Any]:
    """Reads the logs here and computes the status."""
    from ledgerly.cli.options import load_context
    from ledgerly.cli.progress import run_refresh
    from ledgerly.cli.saved import open_ledger
    from ledgerly.params import make_query

    ctx = load_context(args)
    query = make_query((), None, None, ctx.zone, args.model, args.project)
    ledger = open_ledger(ctx)
    snapshot = run_refresh(ledger, ledger.list_files(), show=False, meanwhile=_load)
    from ledgerly.live.status import status_for

    data = status_for(snapshot, query, ctx.prices)
    data["source"] = "scan"
    return data


def _load() -> None:
    """Imports the status code (numpy with it) while the engine reads."""
    import ledgerly.live.status  # noqa: F401


def run_status(args: argparse.Namespace) -> int:
    try:
        if args.format is not None:
            try:
                check(args.format)
            except TemplateError as exc:
                raise CommandError("--format: %s" % exc) from None
        status = from_server(args)
        if status is None:
            status = one_shot(args)
        emit(status, args)
        return 0
    except (CommandError, BrokenPipeError):
        raise
    except Exception as exc:  # a status bar must get a line, never a traceback
        from ledgerly.params import ParameterError

        if isinstance(exc, ParameterError):
            raise
        raise CommandError("%s: %s" % (type(exc).__name__, str(exc) or type(exc).__name__), PARTIAL) from None


def main(argv: Sequence[str]) -> int:
    """The entry point's fast path for `ledgerly status ...`: parses only
    this command's options, so that asking a server stays cheap."""
    return finish(lambda: _parse_and_run(argv), quiet="--quiet-errors" in argv)


def _parse_and_run(argv: Sequence[str]) -> int:
    from ledgerly.cli.options import Parser, source_options

    parser = Parser(prog="ledgerly status", parents=[source_options()], description=description())
    add_options(parser)
    try:
        args = parser.parse_args(list(argv))
    except SystemExit as exc:  # --help
        return int(exc.code or 0)
    from ledgerly.cli import run_command

    args.run = run_status
    return run_command(args)
