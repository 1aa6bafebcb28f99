"""The `serve` subcommand: the local server with its JSON API and dashboard.

Needs the optional extra ``ledgerly[serve]`` (starlette, uvicorn,
watchfiles); without it the command says so in one line.
"""

from __future__ import annotations

import argparse
import contextlib
import ipaddress
import os
import secrets
import signal
import socket
import sys
from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import urlsplit

from ledgerly.cli.errors import CommandError
from ledgerly.cli.options import Context, add_limit_option, load_context, source_options, warn

DEFAULT_PORT = 8754
LOOPBACK_NAMES = ("localhost",)
ENV_TOKEN = "LEDGERLY_TOKEN"


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: %r" % text) from None
    if not (0.05 <= value <= 86400):
        raise argparse.ArgumentTypeError("must be between 0.05 and 86400 seconds")
    return value


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a port number: %r" % text) from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("must be between 0 and 65535 (0: any free port)")
    return value


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "serve",
        parents=[source_options()],
        help="a local server: JSON API and live dashboard",
        description="Keep the logs read in a long-lived server and answer over HTTP: a web dashboard at / and a "
        "read-only JSON API under /api/v1 that updates as the logs grow. Needs: pip install 'ledgerly[serve]'.",
    )
    group = parser.add_argument_group("server")
    group.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1; any other needs --token)"
    )
    group.add_argument(
        "--port", type=_port, default=DEFAULT_PORT, help="TCP port (default %d; 0 picks a free one)" % DEFAULT_PORT
    )
    group.add_argument("--token", help="require this bearer token (default: $%s)" % ENV_TOKEN)
    group.add_argument("--tz", metavar="ZONE", help="default time zone of the answers (default: config, or local)")
    group.add_argument("--prices", metavar="FILE", help="price table file (replaces the config's)")
    add_limit_option(group)
    group.add_argument(
        "--poll", action="store_true", help="do not use file-system notifications: rescan every --interval seconds"
    )
    group.add_argument(
        "--interval", type=_seconds, default=2.0, metavar="SECONDS", help="rescan period with --poll (default 2)"
    )
    group.add_argument(
        "--rescan",
        type=_seconds,
        default=300.0,
        metavar="SECONDS",
        help="full rescan period besides notifications, as a safety net (default 300)",
    )
    group.add_argument("--no-socket", action="store_true", help="do not listen on the Unix socket for 'status'")
    parser.set_defaults(run=run_serve)


def is_loopback(host: str) -> bool:
    if host.lower() in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def bind_tcp(host: str, port: int) -> socket.socket:
    """A listening TCP socket on `host`:`port`. Raises CommandError."""
    try:
        infos = socket.getaddrinfo(host.strip("[]"), port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as exc:
        raise CommandError("--host %s: %s" % (host, exc.strerror)) from None
    family, kind, proto, _name, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(128)
    except OSError as exc:
        sock.close()
        raise CommandError("cannot listen on %s port %d: %s" % (host, port, exc.strerror or exc)) from None
    sock.setblocking(False)
    return sock


def bind_unix(path: str) -> Optional[Tuple[socket.socket, Tuple[int, int]]]:
    """A listening Unix socket at `path` (mode 0600), replacing what a
    server that was killed left there (the caller holds the server lock, so
    no server is listening there); with the socket file's identity (device,
    inode). None, with a warning, when it cannot be made."""
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    old = os.umask(0o177)
    try:
        sock.bind(path)
        sock.listen(128)
        st = os.stat(path)
    except OSError as exc:
        sock.close()
        warn("cannot listen on %s (%s); 'ledgerly status' will use the TCP port" % (path, exc.strerror or exc))
        return None
    finally:
        os.umask(old)
    sock.setblocking(False)
    return sock, (st.st_dev, st.st_ino)


def _url(sock: socket.socket) -> str:
    host, port = sock.getsockname()[:2]
    shown = "[%s]" % host if ":" in host else host
    return "http://%s:%d/" % (shown, port)


def run_serve(args: argparse.Namespace) -> int:
    try:
        import uvicorn  # noqa: F401 - the HTTP server and, below, the application's framework

        import ledgerly.live.routes  # noqa: F401
    except ImportError as exc:
        raise CommandError("the server needs the 'serve' extra (%s): pip install 'ledgerly[serve]'" % exc) from None
    from ledgerly.live import address

    token = args.token if args.token is not None else os.environ.get(ENV_TOKEN) or None
    loopback = is_loopback(args.host)
    if not loopback and not token:
        raise CommandError(
            "--host %s is reachable from other machines: give --token (or set %s) so that requests "
            "must carry it" % (args.host, ENV_TOKEN)
        )
    if token is not None and (len(token) < 16 or not all("!" <= c <= "~" for c in token)):
        # Anything else cannot travel in an Authorization header as it is
        # (spaces are stripped, other characters are encoded differently by
        # different clients), so it could never match.
        raise CommandError("--token: use 16 or more printable ASCII characters, without spaces")
    ctx = load_context(args)
    try:
        folder = address.make_runtime_dir()
    except address.RuntimeFolderError as exc:
        raise CommandError(str(exc)) from None
    lock = address.lock_server(folder)
    if lock is None:
        running = address.read_server_info() or {}
        raise CommandError(
            "another ledgerly server is running (pid %s, %s); stop it first"
            % (running.get("pid", "unknown"), running.get("url", "address unknown"))
        )
    try:
        return _serve(args, ctx, token, loopback)
    finally:
        os.close(lock)  # after the server's files are gone


def _serve(args: argparse.Namespace, ctx: Context, token: Optional[str], loopback: bool) -> int:
    """Runs the server (its caller holds the server lock)."""
    import asyncio  # here, not at the top: every command builds this parser

    import uvicorn

    from ledgerly.live import address
    from ledgerly.live.follow import follow
    from ledgerly.live.routes import create_app
    from ledgerly.live.server import LiveServer
    from ledgerly.live.ticks import LiveLedger

    tcp = bind_tcp(args.host, args.port)
    url = _url(tcp)
    port = tcp.getsockname()[1]
    if not loopback:
        warn("listening on %s: other machines can connect; every request needs the token" % url)

    unix = None
    socket_file = None if args.no_socket else address.socket_path()
    if socket_file is not None:
        unix = bind_unix(socket_file)
    sockets = [tcp] + ([unix[0]] if unix is not None else [])

    from ledgerly.cli.saved import note_refused, state_for

    live = LiveLedger(ctx.sources, ctx.workers, state_for(args, ctx.sources))
    first = live.tick()
    if args.verbose:
        note_refused(live.ledger.state, live.ledger.refused)
    hosts = None
    if loopback:
        # The loopback names, and the address the server listens on (the one its URL names).
        names = sorted({"127.0.0.1", "localhost", "[::1]", urlsplit(url).netloc.rsplit(":", 1)[0]})
        hosts = [n for name in names for n in (name, "%s:%d" % (name, port))]
    local_token = secrets.token_urlsafe(32)
    server = LiveServer(
        live, ctx.zone, ctx.prices, token, hosts, "poll" if args.poll else "notify", local_token, ctx.limits
    )
    info: Dict[str, Any] = {
        "pid": os.getpid(),
        "url": url,
        "socket": socket_file if unix is not None else None,
        "sources": [s.path for s in ctx.sources],
        "token": local_token,  # for `ledgerly status` over TCP; the file is private (mode 0600)
    }
    info_file = address.write_server_info(info)
    snapshot = live.snapshot
    sys.stderr.write(
        "ledgerly: serving %s (%d files, %d events, read in %.2f s)\n"
        % (url, snapshot.listing.file_count, len(snapshot), first.seconds)
    )
    sys.stderr.flush()

    from uvicorn.protocols.http.auto import AutoHTTPProtocol

    from ledgerly.live.connections import BACKLOG, Connections, connection_cap, quiet_accept_errors

    config_args: Dict[str, Any] = {
        "log_level": "warning",
        "access_log": False,
        "lifespan": "off",
        "timeout_graceful_shutdown": 2,
        "server_header": False,
        # Each connection with a deadline for its request head, and no more
        # connections than the open-file limit allows (ledgerly.live.connections).
        "http": Connections(AutoHTTPProtocol, connection_cap()),
        "backlog": BACKLOG,
    }
    config = uvicorn.Config(create_app(server), **config_args)
    http = uvicorn_server(config, server)

    async def main() -> None:
        asyncio.get_running_loop().set_exception_handler(quiet_accept_errors(warn))
        stop = asyncio.Event()
        paths: List[str] = [s.path for s in ctx.sources]
        follower = asyncio.ensure_future(follow(server, paths, stop, args.rescan, args.interval, args.poll, warn))
        try:
            await http.serve(sockets=sockets)
        finally:
            stop.set()
            server.closing = True
            try:
                await asyncio.wait_for(follower, timeout=5)
            except (asyncio.TimeoutError, asyncio.CancelledError):
                follower.cancel()
            server.close()

    previous = signal.signal(signal.SIGTERM, _stop)
    try:
        asyncio.run(main())
    except (KeyboardInterrupt, _Stopped):
        pass
    finally:
        signal.signal(signal.SIGTERM, previous)
        _clean(info_file, (socket_file, unix[1]) if socket_file is not None and unix is not None else None)
        for sock in sockets:
            sock.close()
        _save(live, args.verbose)
    return 0


def _save(live: Any, verbose: bool) -> None:
    """Saves the state the server reached; under --verbose, says when that failed."""
    from ledgerly.cli.saved import note_save_error

    live.save()
    if verbose:
        note_save_error(live.ledger, live.save_error)


class _Stopped(Exception):
    pass


def _stop(signum: int, frame: Any) -> None:
    raise _Stopped()


def _clean(info_file: str, socket_file: Optional[Tuple[str, Tuple[int, int]]]) -> None:
    """Removes the address file and the socket (its path and identity), if
    they are still this server's."""
    from ledgerly.live.address import read_server_info

    info = read_server_info()
    if info is not None and info.get("pid") == os.getpid():
        with contextlib.suppress(OSError):
            os.unlink(info_file)
    if socket_file is not None:
        path, identity = socket_file
        with contextlib.suppress(OSError):
            st = os.stat(path)
            if (st.st_dev, st.st_ino) == identity:
                os.unlink(path)


def uvicorn_server(config: Any, live: Any) -> Any:
    """A uvicorn server for `config` that ends the event streams of the
    `LiveServer` `live` as soon as a stop is asked for, so that the graceful
    shutdown does not wait for them. (The class is made here, on use:
    uvicorn is an optional dependency.)"""
    import uvicorn

    class Server(uvicorn.Server):
        def __init__(self, config: Any, live: Any) -> None:
            super().__init__(config)
            self.live_server = live

        def handle_exit(self, sig: int, frame: Any) -> None:
            self.live_server.closing = True
            super().handle_exit(sig, frame)

    return Server(config, live)
