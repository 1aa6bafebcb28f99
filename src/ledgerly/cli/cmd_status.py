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
import re
import sys
from typing import Any, Callable, Dict, List, Optional, Sequence
from urllib.parse import urlencode

from ledgerly.cli.errors import ERROR_MARKER, PARTIAL, CommandError, finish
from ledgerly.cli.options import (
    add_glob_options,
    add_limit_option,
    add_prices_option,
    add_zone_option,
    seconds,
    warn,
)
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
        "Print one line: today's tokens (and cost), the current 5-hour block's time left, the burn rate, the limit "
        "used the most. Asks a running 'ledgerly serve' first, otherwise reads the logs. A JSON object on standard "
        "input with 'session_id' or 'transcript_path' (as agents hand to status-line commands) adds that "
        "session's usage. Template fields: " + fields + ". '{{' and '}}' are literal braces."
    )


def add_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("status")
    group.add_argument("--format", metavar="TEMPLATE", help="the line's template, e.g. '{today_tokens} {block_left}'")
    group.add_argument("--json", action="store_true", help="print the status data as JSON")
    add_query_options(group)
    group.add_argument(
        "--quiet-errors",
        action="store_true",
        help="on any failure print '%s' and exit 0 (for status bars)" % ERROR_MARKER,
    )


def add_query_options(group: argparse._ArgumentGroup) -> None:
    """The options of the status data: its zone, globs, prices, limits, and
    whether and how long to ask a server."""
    add_zone_option(group, "the server's when one answers, else the config's timezone, or local")
    add_glob_options(group)
    add_prices_option(group, "reads the logs here instead of asking the server")
    add_limit_option(group)
    group.add_argument("--no-server", action="store_true", help="read the logs here even when a server runs")
    group.add_argument(
        "--timeout",
        type=seconds(0.01, 600),
        default=2.0,
        metavar="SECONDS",
        help="how long to wait for the server (default 2)",
    )


def emit(status: Dict[str, Any], args: argparse.Namespace) -> None:
    if args.json:
        text = json.dumps(status, ensure_ascii=False)
    elif args.format is not None:
        text = render(args.format, status)
    else:
        text = default_line(status)
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def from_server(args: argparse.Namespace, session: Optional[str] = None) -> Optional[Dict[str, Any]]:
    """The status from a running server, or None when none answers (or this
    call names its own sources, config or prices: the server answers only
    for its own). With `session`, the server adds that session's usage; a
    session it cannot name is a warning, and the status comes without it.
    Raises CommandError for a server's refusal."""
    if args.no_server or args.source or args.paths or args.config or args.prices:
        return None
    from ledgerly.live.address import read_server_info
    from ledgerly.live.client import ClientError, get

    info = read_server_info()
    if info is None:
        return None
    query: List[Any] = [("tz", args.tz)] if args.tz else []
    query += [("model", m) for m in args.model] + [("project", p) for p in args.project]
    query += [("limit", args.limit)] if args.limit else []
    while True:
        asked = query + ([("session", session)] if session is not None else [])
        target = "/api/v1/status" + ("?" + urlencode(asked) if asked else "")
        try:
            code, body = get(info, target, timeout=args.timeout, token=os.environ.get("LEDGERLY_TOKEN"))
        except ClientError:
            return None  # no server after all (a stale address file): read the logs here
        try:
            data = json.loads(body)
        except ValueError:
            raise CommandError("the server gave an answer that is not JSON (status %d)" % code) from None
        parameter = data.get("parameter") if isinstance(data, dict) else None
        if code == 400 and parameter == "session" and session is not None:
            warn("session: %s" % data.get("error"))
            session = None
            continue
        if code != 200:
            message = data.get("error", "status %d" % code) if isinstance(data, dict) else "status %d" % code
            raise CommandError("--%s: %s" % (parameter, message) if parameter else "server: %s" % message)
        if not isinstance(data, dict):
            raise CommandError("the server's answer is not a status")
        data["source"] = "server"
        return data


def one_shot(args: argparse.Namespace, session: Optional[str] = None) -> Dict[str, Any]:
    """Reads the logs here and computes the status (with `session`, that
    session's usage; a session that cannot be named is a warning)."""
    from ledgerly.cli.options import load_context
    from ledgerly.cli.progress import in_background, run_refresh
    from ledgerly.cli.saved import open_ledger
    from ledgerly.params import make_query

    imported = in_background(_load)  # while the logs are listed
    ctx = load_context(args)
    query = make_query((), None, None, ctx.zone, args.model, args.project)
    ledger = open_ledger(ctx)
    snapshot = run_refresh(ledger, ledger.list_files(), show=False, meanwhile=imported)
    from ledgerly.live.status import session_usage, status_for

    data = status_for(snapshot, query, ctx.prices, limits=ctx.limits)
    if session is not None:
        from ledgerly.sessions import SessionError

        try:
            data["session"] = session_usage(snapshot, query, ctx.prices, session)
        except SessionError as exc:
            warn("session: %s" % exc.message)
    data["source"] = "scan"
    return data


def _load() -> None:
    """Imports the status code (numpy with it) while the logs are listed and read."""
    import ledgerly.live.status  # noqa: F401


# What an agent may hand a status-line command on standard input: a JSON
# object of at most this many bytes, read only when it is there at once.
STDIN_LIMIT = 64 * 1024
STDIN_FIRST_WAIT = 0.05  # seconds to wait for the first byte
STDIN_WAIT = 0.5  # seconds to wait for the whole object once it has begun


def session_from_stdin(fd: int = 0) -> Optional[str]:
    """The session named by a JSON object on standard input: its
    `transcript_path` (made absolute), else its `session_id`; None when
    there is no input (a terminal, nothing written, an empty stream).
    Never waits long: a writer that keeps the stream open without writing
    costs at most STDIN_FIRST_WAIT. Bad input is one warning."""
    import time

    try:
        if os.isatty(fd):
            return None
        take = _reader(fd)
        chunk = take(STDIN_FIRST_WAIT)
    except (OSError, ValueError):  # no standard input at all
        return None
    chunks: List[bytes] = []
    size = 0
    deadline = time.monotonic() + STDIN_WAIT
    while chunk:
        chunks.append(chunk)
        size += len(chunk)
        if size > STDIN_LIMIT:
            warn("standard input: more than %d KiB, left unread" % (STDIN_LIMIT // 1024))
            return None
        try:
            chunk = take(max(0.0, deadline - time.monotonic()))
        except OSError as exc:
            warn("standard input: %s" % (exc.strerror or exc))
            return None
        if chunk is None:
            warn("standard input: the JSON object did not end within %g s" % STDIN_WAIT)
            return None
    return session_of(b"".join(chunks)) if chunks else None


# Whether select() can wait on standard input (not on Windows, where it
# takes only sockets).
SELECT_ON_STDIN = sys.platform != "win32"


def _reader(fd: int) -> Callable[[float], Optional[bytes]]:
    """A function that reads the next chunk of `fd` if one comes within
    its timeout (b"" at the end, None when nothing came). Where select()
    cannot wait on the stream, a daemon thread reads it, and is left
    behind if the writer never finishes."""
    if SELECT_ON_STDIN:
        import select

        return lambda timeout: os.read(fd, 65536) if select.select([fd], [], [], timeout)[0] else None
    import queue
    import threading

    chunks: queue.Queue[Any] = queue.Queue()

    def pump() -> None:
        try:
            size = 0
            while size <= STDIN_LIMIT:
                chunk = os.read(fd, 65536)
                chunks.put(chunk)
                if not chunk:
                    return
                size += len(chunk)
        except OSError as exc:
            chunks.put(exc)

    threading.Thread(target=pump, name="ledgerly-stdin", daemon=True).start()

    def take(timeout: float) -> Optional[bytes]:
        try:
            item = chunks.get(timeout=timeout)
        except queue.Empty:
            return None
        if isinstance(item, OSError):
            raise item
        return bytes(item)

    return take


# How deeply the object on standard input may nest. An agent's object is a
# few levels deep; the JSON reader recurses once per level, so a deeper
# input is refused before it is read rather than left to exhaust the stack.
STDIN_DEPTH = 64

# A JSON string (so that brackets inside one are not counted) or a bracket.
_NESTING_RE = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"|[\[\]{}]')


def nesting(text: str, most: int) -> bool:
    """Whether the brackets of the JSON text `text` nest at most `most`
    levels deep (counted without recursion, strings skipped)."""
    depth = 0
    for match in _NESTING_RE.finditer(text):
        token = match.group()
        if token in "[{":
            depth += 1
            if depth > most:
                return False
        elif token in "]}":
            depth -= 1
    return True


def session_of(data: bytes) -> Optional[str]:
    """The session that an agent's JSON object `data` names (see
    `session_from_stdin`); None, with a warning for anything but an empty
    input, when it names none. A UTF-8 byte-order mark before the object
    is skipped, as in the config file."""
    if not data.strip():
        return None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        warn("standard input is not a JSON object (%s)" % str(exc).split(":")[0][:80])
        return None
    if not nesting(text, STDIN_DEPTH):
        warn("standard input: the JSON nests more than %d levels deep, left unread" % STDIN_DEPTH)
        return None
    try:
        obj = json.loads(text)
    except (ValueError, RecursionError) as exc:
        warn("standard input is not a JSON object (%s)" % str(exc).split(":")[0][:80])
        return None
    if not isinstance(obj, dict):
        warn("standard input is not a JSON object")
        return None
    for key in ("transcript_path", "session_id"):
        value = obj.get(key)
        if value is None:
            continue
        if not isinstance(value, str) or not value.strip() or "\0" in value or len(value) > 4096:
            warn("standard input: %s must be a non-empty string" % key)
            return None
        value = value.strip()
        if key == "transcript_path":
            return os.path.abspath(os.path.expanduser(value))
        return value
    warn("standard input: no session_id or transcript_path")
    return None


def run_status(args: argparse.Namespace) -> int:
    try:
        if args.format is not None:
            try:
                check(args.format)
            except TemplateError as exc:
                raise CommandError("--format: %s" % exc) from None
        try:
            session = session_from_stdin()
        except Exception as exc:  # whatever the input, the line is still printed
            warn("standard input: %s" % (str(exc) or type(exc).__name__)[:200])
            session = None
        status = from_server(args, session)
        if status is None:
            status = one_shot(args, session)
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
    from ledgerly.cli.saved import run_command

    args.run = run_status
    return run_command(args)
