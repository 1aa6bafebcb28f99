"""Running the local server: sockets, the HTTP server, signals and the loop.

`serve(options)` runs a server over `options.sources` until it is stopped
(Ctrl-C, SIGTERM): it takes the server lock in the runtime folder (one
server at a time), binds the TCP port and, where the platform has them,
the private Unix socket, reads the logs once, writes the address file that
`ledgerly status` reads, and then answers with the application of
`ledgerly.live.routes` while `ledgerly.live.follow` keeps the ledger
current. When it stops it removes the address file and the socket (only
while they are still its own), closes the sockets and saves the ledger's
state; a start that fails after binding cleans up the same way, without
saving. Problems that stop it from starting raise `ServeError`.

Needs the optional extra ``ledgerly[serve]`` (starlette, uvicorn,
watchfiles); this module imports them only when a server starts, so that
the access rules (`check_access`) cost nothing to import.
"""

from __future__ import annotations

import contextlib
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple

from ledgerly.limits import NO_LIMITS, Limits

if TYPE_CHECKING:
    import socket

    from ledgerly.live.server import LiveServer
    from ledgerly.live.ticks import LiveLedger, Tick
    from ledgerly.prices import PriceTable
    from ledgerly.prices.watched import WatchedPrices
    from ledgerly.sources import Source
    from ledgerly.timezones import Zone

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8754
LOOPBACK_NAMES = ("localhost",)
ENV_TOKEN = "LEDGERLY_TOKEN"
MIN_TOKEN = 16  # characters


class ServeError(Exception):
    """A server that cannot start: the message says why, in one line."""


@dataclass(frozen=True)
class ServeOptions:
    """What a server serves and how.

    `watched_prices`, when given, are the config's globs with the imported
    versions (`prices` is their table at the start): the server reads the
    versions again when the store changes, and its answers follow.
    `state` is the state file the ledger starts from and saves to (None:
    read cold, save nothing); `token` the bearer token every request over
    TCP must carry (required unless `host` is a loopback address);
    `unix_socket` whether to listen on the private Unix socket as well;
    `poll` rescans every `interval` seconds instead of following
    file-system notifications, beside which a full rescan runs every
    `rescan` seconds."""

    sources: Sequence[Source]
    zone: Zone
    prices: Optional[PriceTable] = None
    watched_prices: Optional[WatchedPrices] = None
    limits: Limits = NO_LIMITS
    workers: Optional[int] = None
    state: Optional[str] = None
    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    token: Optional[str] = None
    unix_socket: bool = True
    poll: bool = False
    interval: float = 2.0
    rescan: float = 300.0


@dataclass(frozen=True)
class Started:
    """A server that has read the logs and is about to answer: its URL, its
    live ledger and what the first tick did."""

    url: str
    live: LiveLedger
    first: Tick


def is_loopback(host: str) -> bool:
    """Whether `host` names this machine only (a loopback name or address)."""
    import ipaddress

    if host.lower() in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def check_access(host: str, token: Optional[str]) -> None:
    """Raises ServeError unless `token` protects a server on `host`: one
    reachable from other machines needs a token, and a token must be able
    to travel in an Authorization header as it is."""
    if not is_loopback(host) and not token:
        raise ServeError(
            "--host %s is reachable from other machines: give --token (or set %s) so that requests "
            "must carry it" % (host, ENV_TOKEN)
        )
    if token is not None and (len(token) < MIN_TOKEN or not all("!" <= c <= "~" for c in token)):
        # Anything else cannot travel in an Authorization header as it is
        # (spaces are stripped, other characters are encoded differently by
        # different clients), so it could never match.
        raise ServeError("--token: use %d or more printable ASCII characters, without spaces" % MIN_TOKEN)


def serve(
    options: ServeOptions,
    warn: Callable[[str], None],
    started: Optional[Callable[[Started], None]] = None,
    stopped: Optional[Callable[[LiveLedger], None]] = None,
) -> None:
    """Runs a server until it is stopped (see the module docstring).
    `warn` shows a warning in one line; `started` is called once the logs
    are read and the address file is written, `stopped` after the state
    was saved at the end (its `save_error` says whether that failed).
    Raises ServeError when the server cannot start."""
    from ledgerly.live import address

    check_access(options.host, options.token)
    try:
        folder = address.make_runtime_dir()
    except address.RuntimeFolderError as exc:
        raise ServeError(str(exc)) from None
    lock = address.lock_server(folder)
    if lock is None:
        running = address.read_server_info() or {}
        raise ServeError(
            "another ledgerly server is running (pid %s, %s); stop it first"
            % (running.get("pid", "unknown"), running.get("url", "address unknown"))
        )
    try:
        _serve_locked(options, warn, started, stopped)
    finally:
        os.close(lock)  # after the server's files are gone


def _serve_locked(
    options: ServeOptions,
    warn: Callable[[str], None],
    started: Optional[Callable[[Started], None]],
    stopped: Optional[Callable[[LiveLedger], None]],
) -> None:
    """Runs the server (its caller holds the server lock)."""
    import signal
    import threading

    from ledgerly.live import address
    from ledgerly.live.ticks import LiveLedger

    loopback = is_loopback(options.host)
    tcp = bind_tcp(options.host, options.port)
    sockets = [tcp]
    unix = None
    socket_file = address.socket_path() if options.unix_socket else None
    info_file: Optional[str] = None
    try:
        url = _url(tcp)
        if not loopback:
            warn("listening on %s: other machines can connect; every request needs the token" % url)
        if socket_file is not None:
            unix = bind_unix(socket_file, warn)
            if unix is not None:
                sockets.append(unix[0])

        live = LiveLedger(options.sources, options.workers, options.state, prices=options.prices)
        first = live.tick()
        server = _live_server(options, live, url, tcp.getsockname()[1], loopback, warn)
        info: Dict[str, Any] = {
            "pid": os.getpid(),
            "url": url,
            "socket": socket_file if unix is not None else None,
            "sources": [s.path for s in options.sources],
            "token": server.local_token,  # for `ledgerly status` over TCP; the file is private (mode 0600)
        }
        info_file = address.write_server_info(info)
        if started is not None:
            started(Started(url, live, first))
    except BaseException:
        # A start that fails after the sockets are bound (the first read of
        # the logs, the address file, Ctrl-C meanwhile) leaves no listening
        # socket and none of the server's files behind.
        _close(sockets, info_file, socket_file, unix)
        raise

    # SIGTERM stops the server as Ctrl-C does. Only the main thread may set
    # a signal handler; a server run on another thread leaves the process's
    # handlers as they are.
    main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _stop) if main_thread else None
    try:
        _run_loop(options, server, sockets, warn)
    except (KeyboardInterrupt, _Stopped):
        pass
    finally:
        if main_thread:
            signal.signal(signal.SIGTERM, previous)
        _close(sockets, info_file, socket_file, unix)
        live.save()
        if stopped is not None:
            stopped(live)


def _close(
    sockets: List[socket.socket],
    info_file: Optional[str],
    socket_file: Optional[str],
    unix: Optional[Tuple[socket.socket, Tuple[int, int]]],
) -> None:
    """Removes the server's files that are still its own (the address file
    once written, the Unix socket's file once bound), then closes its
    sockets."""
    _clean(info_file, (socket_file, unix[1]) if socket_file is not None and unix is not None else None)
    for sock in sockets:
        sock.close()


def _live_server(
    options: ServeOptions, live: LiveLedger, url: str, port: int, loopback: bool, warn: Callable[[str], None]
) -> LiveServer:
    """The server's state, with the Host names it answers to on a loopback
    address and a token of its own for `ledgerly status`."""
    import secrets
    from urllib.parse import urlsplit

    from ledgerly.live.server import LiveServer

    hosts = None
    if loopback:
        # The loopback names, and the address the server listens on (the one its URL names).
        names = sorted({"127.0.0.1", "localhost", "[::1]", urlsplit(url).netloc.rsplit(":", 1)[0]})
        hosts = [n for name in names for n in (name, "%s:%d" % (name, port))]
    return LiveServer(
        live,
        options.zone,
        options.prices,
        options.token,
        hosts,
        "poll" if options.poll else "notify",
        secrets.token_urlsafe(32),
        options.limits,
        options.watched_prices,
        warn,
    )


def _run_loop(
    options: ServeOptions, server: LiveServer, sockets: List[socket.socket], warn: Callable[[str], None]
) -> None:
    """Answers on `sockets` with the follower running beside, until the
    HTTP server stops."""
    import asyncio

    import uvicorn
    from uvicorn.protocols.http.auto import AutoHTTPProtocol

    from ledgerly.live.connections import BACKLOG, Connections, connection_cap, quiet_accept_errors
    from ledgerly.live.follow import follow
    from ledgerly.live.routes import create_app

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
    http = uvicorn_server(uvicorn.Config(create_app(server), **config_args), server)

    async def main() -> None:
        asyncio.get_running_loop().set_exception_handler(quiet_accept_errors(warn))
        stop = asyncio.Event()
        paths: List[str] = [s.path for s in options.sources]
        follower = asyncio.ensure_future(
            follow(server, paths, stop, options.rescan, options.interval, options.poll, warn)
        )
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

    asyncio.run(main())


def bind_tcp(host: str, port: int) -> socket.socket:
    """A listening TCP socket on `host`:`port`. Raises ServeError."""
    import socket

    try:
        infos = socket.getaddrinfo(host.strip("[]"), port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as exc:
        raise ServeError("--host %s: %s" % (host, exc.strerror)) from None
    family, kind, proto, _name, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(128)
    except OSError as exc:
        sock.close()
        raise ServeError("cannot listen on %s port %d: %s" % (host, port, exc.strerror or exc)) from None
    sock.setblocking(False)
    return sock


def bind_unix(path: str, warn: Callable[[str], None]) -> Optional[Tuple[socket.socket, Tuple[int, int]]]:
    """A listening Unix socket at `path` (mode 0600), replacing what a
    server that was killed left there (the caller holds the server lock, so
    no server is listening there); with the socket file's identity (device,
    inode). None, with a warning, when it cannot be made."""
    import socket

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


class _Stopped(Exception):
    pass


def _stop(signum: int, frame: Any) -> None:
    raise _Stopped()


def _clean(info_file: Optional[str], socket_file: Optional[Tuple[str, Tuple[int, int]]]) -> None:
    """Removes the address file (None: not written) and the socket (its
    path and identity), if they are still this server's."""
    from ledgerly.live.address import read_server_info

    info = read_server_info() if info_file is not None else None
    if info_file is not None and info is not None and info.get("pid") == os.getpid():
        with contextlib.suppress(OSError):
            os.unlink(info_file)
    if socket_file is not None:
        path, identity = socket_file
        with contextlib.suppress(OSError):
            st = os.stat(path)
            if (st.st_dev, st.st_ino) == identity:
                os.unlink(path)


def uvicorn_server(config: Any, live: LiveServer) -> Any:
    """A uvicorn server for `config` that ends the event streams of the
    `LiveServer` `live` as soon as a stop is asked for, so that the graceful
    shutdown does not wait for them. (The class is made here, on use:
    uvicorn is an optional dependency.)"""
    import uvicorn

    class Server(uvicorn.Server):
        def __init__(self, config: Any, live: LiveServer) -> None:
            super().__init__(config)
            self.live_server = live

        def handle_exit(self, sig: int, frame: Any) -> None:
            self.live_server.closing = True
            super().handle_exit(sig, frame)

    return Server(config, live)
