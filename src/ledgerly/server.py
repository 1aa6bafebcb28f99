"""The local server: a read-only JSON API and a dashboard over one live ledger.

An ASGI application (Starlette) served by uvicorn. One `LiveLedger` stays
warm: a watcher task turns file-system notifications (watchfiles) into
ticks that re-stat only the changed paths, with a full rescan every
`rescan` seconds as a safety net; without notifications (`poll`) every
tick is a full rescan, every `interval` seconds. Ticks and report
computations run on worker threads (the engine and numpy release the
interpreter lock), so the event loop keeps answering.

Routes (all GET; HEAD is answered too):

- ``/``, ``/static/app.js``, ``/static/style.css``: the dashboard, from
  the package's files (read once; no request names a file);
- ``/api/v1/report``: a report, the JSON of ``ledgerly <report> --json``;
- ``/api/v1/sessions``: the sessions, the JSON of ``ledgerly sessions --json``
  (with ``id``: one session's breakdown);
- ``/api/v1/status``: today, the current block, the pace;
- ``/api/v1/scan``: what the latest tick read, and the listing's counts;
- ``/api/v1/sources``: the JSON of ``ledgerly sources --json``;
- ``/api/v1/events``: server-sent events, one ``update`` per new generation;
- ``/api/v1``: the list of these.

Bad parameters get 400 with ``{"error": ..., "parameter": ...}``; unknown
paths 404, other methods 405, both as JSON. See docs/api.md.

Security: the command binds 127.0.0.1 unless told otherwise and then
requires a token. `Guard` checks, before any route: the Host header (on a
loopback address only loopback names are accepted, so that a web page
cannot reach the server through a rebound DNS name) and the token (as
``Authorization: Bearer``, or the cookie the dashboard gets by opening
``/?token=...`` once), compared in constant time. Requests over the
private Unix socket need neither.
"""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import importlib.resources
import json
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Awaitable, Callable, Dict, List, Mapping, MutableMapping, Optional, Sequence, Tuple

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response, StreamingResponse
from starlette.routing import Route

from ledgerly.live import LiveLedger
from ledgerly.params import ParameterError, Query, SessionQuery, make_query, make_session_query
from ledgerly.prices import PriceTable
from ledgerly.timezones import Zone, format_instant

API = "/api/v1"
REPORT_PARAMETERS = ("group", "since", "until", "tz", "model", "project", "breakdown")
SESSION_PARAMETERS = ("since", "until", "tz", "model", "project", "sort", "top", "id")
STATUS_PARAMETERS = ("tz", "model", "project")
REPEATABLE = ("model", "project")
ASSETS = {"/": ("index.html", "text/html; charset=utf-8"),
          "/static/app.js": ("app.js", "text/javascript; charset=utf-8"),
          "/static/style.css": ("style.css", "text/css; charset=utf-8")}
COOKIE = "ledgerly_token"
HEARTBEAT = 15.0  # seconds between keep-alive comments on an idle event stream
MAX_STREAMS = 64  # event streams open at once
CACHE_SIZE = 256
STATUS_TTL = 1.0  # seconds a status answer is reused (its clock-based figures move)

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]


def _json(data: Any, status: int = 200, headers: Optional[Mapping[str, str]] = None) -> Response:
    body = json.dumps(data, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    return Response(body, status, headers=dict(headers or {}, **{"Cache-Control": "no-store"}),
                    media_type="application/json")


def _error(status: int, message: str, parameter: Optional[str] = None,
           headers: Optional[Mapping[str, str]] = None) -> Response:
    data: Dict[str, Any] = {"error": message}
    if parameter is not None:
        data["parameter"] = parameter
    return _json(data, status, headers)


def parameters(request: Request, allowed: Sequence[str]) -> Dict[str, Any]:
    """The query parameters, each known and given once (model and project
    may repeat). Raises ParameterError."""
    params = request.query_params
    out: Dict[str, Any] = {}
    for name in params:
        if name not in allowed:
            raise ParameterError(name[:40], "unknown parameter (expected one of %s)" % ", ".join(allowed))
        values = params.getlist(name)
        if name in REPEATABLE:
            out[name] = [v for v in values if v != ""]
        elif len(values) > 1:
            raise ParameterError(name, "given more than once")
        else:
            out[name] = values[0]
    return out


class LiveServer:
    """The application's state: the live ledger, settings, the answer cache
    and the event-stream listeners."""

    def __init__(self, live: LiveLedger, zone: Zone, prices: Optional[PriceTable], token: Optional[str] = None,
                 allowed_hosts: Optional[Sequence[str]] = None, mode: str = "notify") -> None:
        self.live = live
        self.zone = zone
        self.prices = prices
        self.token = token
        self.allowed_hosts = None if allowed_hosts is None else {h.lower() for h in allowed_hosts}
        self.mode = mode
        self.started = time.time()
        self.closing = False
        self.streams = 0
        self._cache: Dict[Tuple[Any, ...], Tuple[bytes, float]] = {}
        self._cache_generation = -1
        # Answers are computed on two threads of their own, and ticks on a
        # third. Each thread that allocates gets its own malloc arena, which
        # keeps the freed numpy temporaries of the answers it computed; the
        # event loop's default pool (up to six threads) left the server
        # 70-100 MiB larger after a few dashboard loads over a million rows,
        # and was no faster: two threads already keep both CPUs of a small
        # machine busy with the five answers a dashboard asks for at once.
        # Answers are cached per generation, so only the first requests
        # after a tick wait for a computation.
        self.answer_thread = ThreadPoolExecutor(2, thread_name_prefix="ledgerly-answer")
        self.tick_thread = ThreadPoolExecutor(1, thread_name_prefix="ledgerly-tick")
        self._changed: Optional[asyncio.Condition] = None
        self._assets: Dict[str, bytes] = {}

    def close(self) -> None:
        """Lets the answer and tick threads end once their current work is
        done (queued work is dropped)."""
        self.answer_thread.shutdown(wait=False, cancel_futures=True)
        self.tick_thread.shutdown(wait=False, cancel_futures=True)

    # -- answers

    def changed(self) -> asyncio.Condition:
        if self._changed is None:
            self._changed = asyncio.Condition()
        return self._changed

    async def notify(self) -> None:
        """Wakes the event streams after a tick."""
        async with self.changed():
            self.changed().notify_all()

    async def answer(self, key: Tuple[Any, ...], compute: Callable[[], Tuple[Any, float]]) -> Tuple[bytes, int]:
        """The JSON body for `key` at the current generation, computed on a
        worker thread when not cached. `compute` returns the data and until
        when (time.time()) it stays right."""
        generation = self.live.generation
        if generation != self._cache_generation:
            self._cache.clear()
            self._cache_generation = generation
        now = time.time()
        hit = self._cache.get(key)
        if hit is not None and hit[1] > now:
            return hit[0], generation
        data, valid_until = await asyncio.get_running_loop().run_in_executor(self.answer_thread, compute)
        body = json.dumps(data, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        if self.live.generation == generation:
            if len(self._cache) >= CACHE_SIZE:
                self._cache.clear()
            self._cache[key] = (body, valid_until)
        return body, generation

    def report(self, query: Query) -> Tuple[Any, float]:
        from ledgerly.reports import report
        from ledgerly.windows import blocks

        snapshot = self.live.snapshot
        if query.by == ("block",):
            result = blocks(snapshot, prices=self.prices, **query.report_args())
            ends = [_instant(g.key["end"]) for g in result.rows if g.key["active"]]
            return result.to_dict(), (min(ends) / 1000 if ends else float("inf"))
        return report(snapshot, by=query.by, prices=self.prices, **query.report_args()).to_dict(), float("inf")

    def sessions(self, query: SessionQuery) -> Tuple[Any, float]:
        """The JSON of `ledgerly sessions --json` (with `id`, of one session's
        breakdown). Raises ParameterError for a session that cannot be
        named or a sort that needs a price table."""
        from ledgerly.sessions import SessionError, list_sessions, session_detail

        snapshot = self.live.snapshot
        if query.sort == "cost" and not self.prices:
            raise ParameterError("sort", "sorting by cost needs a price table (the server has none)")
        try:
            if query.id is not None:
                return session_detail(snapshot, query.id, prices=self.prices, **query.range_args()).to_dict(), \
                    float("inf")
            result = list_sessions(snapshot, prices=self.prices, sort=query.sort, top=query.top,
                                   **query.range_args())
        except SessionError as exc:
            raise ParameterError("id" if query.id is not None else "sort", str(exc)) from None
        return result.to_dict(), float("inf")

    def status(self, query: Query) -> Tuple[Any, float]:
        from ledgerly.livestatus import status_for

        data = status_for(self.live.snapshot, query, self.prices)
        data["generation"] = self.live.generation
        return data, time.time() + STATUS_TTL

    def scan(self) -> Dict[str, Any]:
        snapshot = self.live.snapshot
        listing = snapshot.listing
        tick = self.live.last_tick
        return {
            "generation": self.live.generation,
            "mode": self.mode,
            "started_at": format_instant(int(self.started * 1000), self.zone),
            "files": len(listing.files),
            "bytes": listing.total_bytes,
            "skipped": len(listing.skipped),
            "unreadable": len(snapshot.errors),
            "rows": len(snapshot),
            "ticks": self.live.ticks,
            "rescans": self.live.tracker.rescans,
            "last_tick": None if tick is None else dict(tick.to_dict(),
                                                        at=format_instant(int(tick.at * 1000), self.zone)),
            "engine": {k: v for k, v in snapshot.scan.items() if k != "errors"},
        }

    def asset(self, name: str) -> bytes:
        if name not in self._assets:
            self._assets[name] = (importlib.resources.files("ledgerly") / "static" / name).read_bytes()
        return self._assets[name]


def _instant(text: str) -> int:
    from ledgerly.timezones import bound_ms, resolve_zone

    value = bound_ms(text, resolve_zone("UTC"), False)
    assert value is not None
    return value


def create_app(server: LiveServer) -> Guard:
    """The ASGI application for `server`, behind its `Guard`."""

    def query_of(request: Request, allowed: Sequence[str], group: Any) -> Query:
        p = parameters(request, allowed)
        return make_query(p.get("group", group), p.get("since"), p.get("until"), p.get("tz", server.zone),
                          p.get("model", ()), p.get("project", ()), p.get("breakdown", False))

    async def report_route(request: Request) -> Response:
        query = query_of(request, REPORT_PARAMETERS, "day")
        body, generation = await server.answer(("report",) + query.key(), lambda: server.report(query))
        return Response(body, headers=_headers(generation), media_type="application/json")

    async def sessions_route(request: Request) -> Response:
        p = parameters(request, SESSION_PARAMETERS)
        query = make_session_query(p.get("since"), p.get("until"), p.get("tz", server.zone), p.get("model", ()),
                                   p.get("project", ()), p.get("sort"), p.get("top"), p.get("id"))
        body, generation = await server.answer(("sessions",) + query.key(), lambda: server.sessions(query))
        return Response(body, headers=_headers(generation), media_type="application/json")

    async def status_route(request: Request) -> Response:
        query = query_of(request, STATUS_PARAMETERS, "day")
        body, generation = await server.answer(("status",) + query.key(), lambda: server.status(query))
        return Response(body, headers=_headers(generation), media_type="application/json")

    async def scan_route(request: Request) -> Response:
        parameters(request, ())
        return _json(server.scan(), headers=_headers(server.live.generation))

    async def sources_route(request: Request) -> Response:
        from ledgerly.cmd_sources import describe

        parameters(request, ())
        return _json(describe(server.live.snapshot.listing), headers=_headers(server.live.generation))

    async def index_route(request: Request) -> Response:
        parameters(request, ())
        return _json({"endpoints": [API + "/report", API + "/status", API + "/scan", API + "/sources",
                                    API + "/events", API + "/sessions"], "version": _version()})

    async def events_route(request: Request) -> Response:
        parameters(request, ())
        if server.streams >= MAX_STREAMS:
            return _error(503, "too many event streams open")
        return StreamingResponse(_events(server), media_type="text/event-stream",
                                 headers={"Cache-Control": "no-store", "X-Accel-Buffering": "no"})

    def asset_route(path: str) -> Callable[[Request], Awaitable[Response]]:
        name, media = ASSETS[path]

        async def route(request: Request) -> Response:
            if path == "/" and server.token and "token" in request.query_params:
                # Opening /?token=... once gives the browser a cookie, and drops the token from the address.
                if not hmac.compare_digest(request.query_params["token"].encode(), server.token.encode()):
                    return _error(401, "wrong token")
                redirect = RedirectResponse("/", status_code=303)
                redirect.set_cookie(COOKIE, server.token, httponly=True, samesite="strict")
                return redirect
            return Response(server.asset(name), media_type=media, headers={"Cache-Control": "no-cache"})

        return route

    routes = [Route(path, asset_route(path), methods=["GET"]) for path in ASSETS]
    routes += [
        Route(API, index_route, methods=["GET"]),
        Route(API + "/report", report_route, methods=["GET"]),
        Route(API + "/sessions", sessions_route, methods=["GET"]),
        Route(API + "/status", status_route, methods=["GET"]),
        Route(API + "/scan", scan_route, methods=["GET"]),
        Route(API + "/sources", sources_route, methods=["GET"]),
        Route(API + "/events", events_route, methods=["GET"]),
    ]

    async def bad_parameter(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, ParameterError)
        return _error(400, exc.message, exc.parameter)

    async def http_error(request: Request, exc: Exception) -> Response:
        from starlette.exceptions import HTTPException

        assert isinstance(exc, HTTPException)
        if exc.status_code == 405:
            return _error(405, "method not allowed", headers={"Allow": "GET, HEAD"})
        if exc.status_code == 404:
            return _error(404, "not found")
        return _error(exc.status_code, str(exc.detail))

    from starlette.exceptions import HTTPException

    app = Starlette(routes=routes, exception_handlers={ParameterError: bad_parameter, HTTPException: http_error})
    return Guard(app, server)


def _headers(generation: int) -> Dict[str, str]:
    return {"Cache-Control": "no-store", "X-Ledgerly-Generation": str(generation)}


def _version() -> str:
    from ledgerly import __version__

    return __version__


async def _events(server: LiveServer) -> Any:
    """The event stream: an `update` now and after every tick that changed
    the accounted state, a comment when idle, and the end when the server
    stops."""
    server.streams += 1
    try:
        sent = -1
        idle = 0.0
        yield b"retry: 2000\n\n"
        while not server.closing:
            generation = server.live.generation
            if generation != sent:
                sent = generation
                idle = 0.0
                data = {"generation": generation, "tick": server.live.ticks}
                yield ("event: update\ndata: %s\n\n" % json.dumps(data)).encode("utf-8")
                continue
            started = time.monotonic()
            condition = server.changed()
            async with condition:
                with contextlib.suppress(asyncio.TimeoutError):
                    await asyncio.wait_for(condition.wait(), timeout=1.0)
            idle += time.monotonic() - started
            if idle >= HEARTBEAT:
                idle = 0.0
                yield b": idle\n\n"
    finally:
        server.streams -= 1


class Guard:
    """Checks the Host header and the token before the application sees a
    request (see the module docstring)."""

    def __init__(self, app: Any, server: LiveServer) -> None:
        self.app = app
        self.server = server

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and not _unix(scope):
            refusal = self.refuse(scope)
            if refusal is not None:
                await refusal(scope, receive, send)
                return
        await self.app(scope, receive, send)

    def refuse(self, scope: Scope) -> Optional[Response]:
        headers: Dict[bytes, bytes] = {}
        for name, value in scope.get("headers", ()):
            headers.setdefault(name.lower(), value)
        server = self.server
        if server.allowed_hosts is not None:
            host = headers.get(b"host", b"").decode("latin-1").lower()
            if host not in server.allowed_hosts:
                return _error(421, "this server answers to %s only" % " or ".join(sorted(server.allowed_hosts)))
        if server.token:
            given = _bearer(headers.get(b"authorization", b"")) or _cookie(headers.get(b"cookie", b""))
            path = scope.get("path", "")
            query = scope.get("query_string", b"")
            if given is None and path == "/" and query.startswith(b"token="):
                return None  # the dashboard's first visit: the route checks it and sets the cookie
            if given is None or not hmac.compare_digest(given, server.token.encode("utf-8")):
                return _error(401, "a token is required: send 'Authorization: Bearer TOKEN'",
                              headers={"WWW-Authenticate": "Bearer"})
        return None


def _unix(scope: Scope) -> bool:
    """Whether the request came over the Unix socket (uvicorn gives its
    path, without a port, as the server address)."""
    server = scope.get("server")
    return server is not None and server[1] is None


def _bearer(value: bytes) -> Optional[bytes]:
    scheme, _, token = value.partition(b" ")
    return token.strip() if scheme.lower() == b"bearer" and token.strip() else None


def _cookie(value: bytes) -> Optional[bytes]:
    for part in value.split(b";"):
        name, _, token = part.strip().partition(b"=")
        if name == COOKIE.encode() and token:
            return token
    return None


# ---------------------------------------------------------------------------
# Keeping the ledger current


async def follow(server: LiveServer, paths: List[str], stop: asyncio.Event, rescan: float, interval: float,
                 poll: bool, warn: Callable[[str], None]) -> None:
    """Ticks until `stop` is set: on notifications (only the changed paths),
    and a full rescan every `rescan` seconds; or, when `poll` or when
    notifications cannot be had, a full rescan every `interval` seconds."""
    loop = asyncio.get_running_loop()
    live = server.live

    async def tick(changed: Optional[List[str]]) -> None:
        result = await loop.run_in_executor(server.tick_thread, live.tick, changed)
        if result.changed:
            await server.notify()

    if not poll:
        try:
            from watchfiles import awatch

            timeout = int(max(0.05, min(rescan, 60.0)) * 1000)
            async for changes in awatch(*paths, watch_filter=None, debounce=200, step=20, stop_event=stop,
                                        rust_timeout=timeout, yield_on_timeout=True, ignore_permission_denied=True):
                if stop.is_set():
                    return
                if time.monotonic() - live.last_rescan >= rescan:
                    await tick(None)
                elif changes:
                    await tick(sorted({path for _change, path in changes}))
            return
        except Exception as exc:  # a notifier that cannot start or fails: fall back to polling
            if stop.is_set():
                return
            warn("file-system notifications failed (%s); rescanning every %g s instead" % (exc, interval))
            server.mode = "poll"
    while not stop.is_set():
        try:
            await asyncio.wait_for(stop.wait(), timeout=interval)
        except asyncio.TimeoutError:
            await tick(None)
