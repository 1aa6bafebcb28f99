"""The `serve` subcommand: the local server with its JSON API and dashboard.

The command reads its options and starts the server of
`ledgerly.live.serve`. Needs the optional extra ``ledgerly[serve]``
(starlette, uvicorn, watchfiles); without it the command says so in one
line.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import TYPE_CHECKING, Any

from ledgerly.cli.errors import CommandError
from ledgerly.cli.options import (
    add_limit_option,
    add_prices_option,
    add_zone_option,
    load_context,
    number,
    seconds,
    source_options,
    warn,
    watched_prices,
)
from ledgerly.extras import install_hint
from ledgerly.live.serve import DEFAULT_HOST, DEFAULT_PORT, ENV_TOKEN

if TYPE_CHECKING:
    from ledgerly.live.serve import Started
    from ledgerly.live.ticks import LiveLedger


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "serve",
        parents=[source_options()],
        help="a local server: JSON API and live dashboard",
        description_of=lambda: (
            "Keep the logs read in a long-lived server and answer over HTTP: a web dashboard at / and a "
            "read-only JSON API under /api/v1 that updates as the logs grow. Needs the 'serve' extra: %s."
            % install_hint("serve")
        ),
    )
    group = parser.add_argument_group("server")
    group.add_argument(
        "--host", default=DEFAULT_HOST, help="address to listen on (default 127.0.0.1; any other needs --token)"
    )
    group.add_argument(
        "--port",
        type=number(int, "port number", 0, 65535, note=" (0: any free port)"),
        default=DEFAULT_PORT,
        help="TCP port (default %d; 0 picks a free one)" % DEFAULT_PORT,
    )
    group.add_argument("--token", help="require this bearer token (default: $%s)" % ENV_TOKEN)
    add_zone_option(group)
    add_prices_option(group)
    add_limit_option(group)
    group.add_argument(
        "--poll", action="store_true", help="do not use file-system notifications: rescan every --interval seconds"
    )
    group.add_argument(
        "--interval",
        type=seconds(0.05, 86400),
        default=2.0,
        metavar="SECONDS",
        help="rescan period with --poll (default 2)",
    )
    group.add_argument(
        "--rescan",
        type=seconds(0.05, 86400),
        default=300.0,
        metavar="SECONDS",
        help="full rescan period besides notifications, as a safety net (default 300)",
    )
    group.add_argument("--no-socket", action="store_true", help="do not listen on the Unix socket for 'status'")
    parser.set_defaults(run=run_serve)


def run_serve(args: argparse.Namespace) -> int:
    try:
        import uvicorn  # noqa: F401 - the HTTP server and, below, the application's framework

        import ledgerly.live.routes  # noqa: F401
    except ImportError as exc:
        raise CommandError("the server needs the 'serve' extra (%s): %s" % (exc, install_hint("serve"))) from None
    from ledgerly.cli.saved import note_refused, note_save_error, state_for
    from ledgerly.live.serve import ServeError, ServeOptions, check_access, serve

    token = args.token if args.token is not None else os.environ.get(ENV_TOKEN) or None
    try:
        check_access(args.host, token)
    except ServeError as exc:
        raise CommandError(str(exc)) from None
    # The imported prices are read again as they change (not those of --prices FILE).
    ctx = load_context(args, stored=False)
    watched = None if args.prices else watched_prices(ctx.prices)
    options = ServeOptions(
        sources=ctx.sources,
        zone=ctx.zone,
        prices=ctx.prices if watched is None else watched.table,
        watched_prices=watched,
        limits=ctx.limits,
        workers=ctx.workers,
        state=state_for(args, ctx.sources),
        host=args.host,
        port=args.port,
        token=token,
        unix_socket=not args.no_socket,
        poll=args.poll,
        interval=args.interval,
        rescan=args.rescan,
    )

    def started(server: Started) -> None:
        if args.verbose:
            note_refused(server.live.ledger.state, server.live.ledger.refused)
        snapshot = server.live.snapshot
        sys.stderr.write(
            "ledgerly: serving %s (%d files, %d events, read in %.2f s)\n"
            % (server.url, snapshot.listing.file_count, len(snapshot), server.first.seconds)
        )
        sys.stderr.flush()

    def stopped(live: LiveLedger) -> None:
        if args.verbose:
            note_save_error(live.ledger, live.save_error)

    try:
        serve(options, warn, started, stopped)
    except ServeError as exc:
        raise CommandError(str(exc)) from None
    return 0
