"""The local server's routes: a read-only JSON API and the dashboard.

Routes (all GET; HEAD is answered too):

- ``/``, ``/static/app.js``, ``/static/insights.js``, ``/static/style.css``: the dashboard, from
  the package's files (read once; no request names a file);
- ``/api/v1/report``: a report, the JSON of ``ledgerly <report> --json``;
- ``/api/v1/sessions``: the sessions, the JSON of ``ledgerly sessions --json``
  (with ``id``: one session's breakdown);
- ``/api/v1/insights``: the JSON of ``ledgerly insights --json``;
- ``/api/v1/status``: today, the current block, the pace;
- ``/api/v1/scan``: what the latest tick read, and the listing's counts;
- ``/api/v1/sources``: the JSON of ``ledgerly sources --json``;
- ``/api/v1/prices``: the imported price versions and what the prices
  cover, the JSON of ``ledgerly prices --json``;
- ``/api/v1/events``: server-sent events, one ``update`` per new generation
  or change of the imported prices;
- ``/api/v1``: the list of these.

Each route is a module-level handler listed in `ROUTES` (the API's in
`API_ROUTES`, which the index lists); a handler finds the `LiveServer` in
the application's state (`server_of`). Bad parameters get 400 with
``{"error": ..., "parameter": ...}``; unknown paths 404, other methods 405,
both as JSON. See docs/api.md. Every request passes the `Guard` first.
"""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import json
import time
from typing import Any, Awaitable, Callable, Dict, Sequence, Tuple

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response, StreamingResponse
from starlette.routing import Route

from ledgerly.live.guard import COOKIE, Guard, cookie_value, error_response, json_response, query_token
from ledgerly.live.server import LiveServer
from ledgerly.params import ParameterError, Query, make_insights_query, make_query, make_session_query

API = "/api/v1"
REPORT_PARAMETERS = ("group", "since", "until", "tz", "model", "project", "breakdown")
SESSION_PARAMETERS = ("since", "until", "tz", "model", "project", "sort", "top", "id")
INSIGHTS_PARAMETERS = ("since", "until", "tz", "model", "project", "idle_gap")
STATUS_PARAMETERS = ("tz", "model", "project", "limit", "session")
REPEATABLE = ("model", "project")
ASSETS = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/static/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/static/insights.js": ("insights.js", "text/javascript; charset=utf-8"),
    "/static/style.css": ("style.css", "text/css; charset=utf-8"),
}
HEARTBEAT = 15.0  # seconds between keep-alive comments on an idle event stream
MAX_STREAMS = 64  # event streams open at once

# A route's handler: module-level, it finds the server with `server_of`.
Handler = Callable[[Request], Awaitable[Response]]


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


def server_of(request: Request) -> LiveServer:
    """The `LiveServer` the application of `request` answers for."""
    server: LiveServer = request.app.state.server
    return server


def query_from(server: LiveServer, p: Dict[str, Any], group: Any) -> Query:
    """The report query of the parameters `p`, in the server's zone unless
    they name one."""
    return make_query(
        p.get("group", group),
        p.get("since"),
        p.get("until"),
        p.get("tz", server.zone),
        p.get("model", ()),
        p.get("project", ()),
        p.get("breakdown", False),
    )


async def report_route(request: Request) -> Response:
    server = server_of(request)
    query = query_from(server, parameters(request, REPORT_PARAMETERS), "day")
    return await _answer(server, ("report",) + query.key(), lambda: server.report(query))


async def sessions_route(request: Request) -> Response:
    server = server_of(request)
    p = parameters(request, SESSION_PARAMETERS)
    query = make_session_query(
        p.get("since"),
        p.get("until"),
        p.get("tz", server.zone),
        p.get("model", ()),
        p.get("project", ()),
        p.get("sort"),
        p.get("top"),
        p.get("id"),
    )
    return await _answer(server, ("sessions",) + query.key(), lambda: server.sessions(query))


async def insights_route(request: Request) -> Response:
    server = server_of(request)
    p = parameters(request, INSIGHTS_PARAMETERS)
    query = make_insights_query(
        p.get("since"),
        p.get("until"),
        p.get("tz", server.zone),
        p.get("model", ()),
        p.get("project", ()),
        p.get("idle_gap"),
    )
    return await _answer(server, ("insights",) + query.key(), lambda: server.insights(query))


async def status_route(request: Request) -> Response:
    server = server_of(request)
    p = parameters(request, STATUS_PARAMETERS)
    query = query_from(server, p, "day")
    largest = p.get("limit") == "max"
    if "limit" in p and not largest:
        raise ParameterError("limit", "the only value is max (the largest block so far), not %r" % p["limit"][:40])
    session = p.get("session")
    if session is not None and (not session.strip() or len(session) > 4096 or "\0" in session):
        raise ParameterError("session", "name a session by its id or the absolute path of its log")
    key = ("status",) + query.key() + (largest, session)
    return await _answer(server, key, lambda: server.status(query, largest, session))


async def scan_route(request: Request) -> Response:
    server = server_of(request)
    parameters(request, ())
    return json_response(server.scan(), headers=_headers(server.live.generation))


async def sources_route(request: Request) -> Response:
    server = server_of(request)
    parameters(request, ())
    return json_response(server.live.snapshot.listing.describe(), headers=_headers(server.live.generation))


async def prices_route(request: Request) -> Response:
    server = server_of(request)
    parameters(request, ())
    return await _answer(server, ("prices",), server.price_overview)


async def events_route(request: Request) -> Response:
    server = server_of(request)
    parameters(request, ())
    if server.streams >= MAX_STREAMS:
        return error_response(503, "too many event streams open")
    # Counted here, in the same step as the check, so that requests that
    # arrive together see each other; the response gives the place back.
    server.streams += 1
    return _EventStream(server)


async def index_route(request: Request) -> Response:
    parameters(request, ())
    return json_response({"endpoints": [path for path, _route in API_ROUTES], "version": _version()})


async def asset_route(request: Request) -> Response:
    """A file of the dashboard. The first visit of ``/?token=...`` gives
    the browser a cookie with the token, and drops the token from the
    address."""
    server = server_of(request)
    path = request.scope["path"]
    name, media = ASSETS[path]
    given = query_token(request.scope.get("query_string", b"")) if path == "/" and server.token else None
    if server.token and given is not None:
        if not hmac.compare_digest(given, server.token.encode()):
            return error_response(401, "wrong token")
        redirect = RedirectResponse("/", status_code=303)
        redirect.set_cookie(COOKIE, cookie_value(server.token), httponly=True, samesite="strict")
        return redirect
    return Response(server.asset(name), media_type=media, headers={"Cache-Control": "no-cache"})


# The API's endpoints, in the order the index lists them. A new endpoint is
# one handler above and one line here.
API_ROUTES: Tuple[Tuple[str, Handler], ...] = (
    (API + "/report", report_route),
    (API + "/status", status_route),
    (API + "/scan", scan_route),
    (API + "/sources", sources_route),
    (API + "/events", events_route),
    (API + "/sessions", sessions_route),
    (API + "/insights", insights_route),
    (API + "/prices", prices_route),
)

# Every route of the application: the dashboard's files, the index, the API.
ROUTES: Tuple[Tuple[str, Handler], ...] = (
    *((path, asset_route) for path in ASSETS),
    (API, index_route),
    *API_ROUTES,
)


async def bad_parameter(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, ParameterError)
    return error_response(400, exc.message, exc.parameter)


async def http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    if exc.status_code == 405:
        return error_response(405, "method not allowed", headers={"Allow": "GET, HEAD"})
    if exc.status_code == 404:
        return error_response(404, "not found")
    return error_response(exc.status_code, str(exc.detail))


async def internal_error(request: Request, exc: Exception) -> Response:
    # Still JSON, as every other answer; the traceback goes to the server's log.
    return error_response(500, "internal error: %s: %s" % (type(exc).__name__, exc))


def create_app(server: LiveServer) -> Guard:
    """The ASGI application for `server`, behind its `Guard`: the routes of
    `ROUTES` (GET, and HEAD with it), whose handlers find the server in the
    application's state."""
    handlers = {ParameterError: bad_parameter, HTTPException: http_error, Exception: internal_error}
    app = Starlette(routes=[Route(path, route, methods=["GET"]) for path, route in ROUTES], exception_handlers=handlers)
    app.state.server = server
    return Guard(app, server)


async def _answer(server: LiveServer, key: Tuple[Any, ...], compute: Callable[[], Tuple[Any, float]]) -> Response:
    """The JSON answer under `key` in the server's answer cache (computed
    by `compute` when it is not there), with its generation."""
    body, generation = await server.answer(key, compute)
    return Response(body, headers=_headers(generation), media_type="application/json")


def _headers(generation: int) -> Dict[str, str]:
    return {"Cache-Control": "no-store", "X-Ledgerly-Generation": str(generation)}


def _version() -> str:
    from ledgerly.version import __version__

    return __version__


class _EventStream(StreamingResponse):
    """The event stream's response: it holds one of the server's places for
    streams (taken by the route) and gives it back when it ends, however it
    ends (finished, cancelled by a disconnect, or never started)."""

    def __init__(self, server: LiveServer) -> None:
        super().__init__(
            _events(server),
            media_type="text/event-stream",
            headers={"Cache-Control": "no-store", "X-Accel-Buffering": "no"},
        )
        self.server = server

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        try:
            await super().__call__(scope, receive, send)
        finally:
            self.server.streams -= 1


async def _events(server: LiveServer) -> Any:
    """The event stream: an `update` now and after every tick that changed
    the accounted state, a comment when idle, and the end when the server
    stops."""
    sent: Tuple[int, int] = (-1, -1)
    idle = 0.0
    yield b"retry: 2000\n\n"
    while not server.closing:
        # An idle page learns of newly imported prices too.
        await server.check_prices()
        # The event first: a change after this point sets it.
        change = server.next_change()
        now = (server.live.generation, server.prices_changes)
        if now != sent:
            sent = now
            idle = 0.0
            data = {"generation": now[0], "tick": server.live.ticks, "prices": now[1]}
            yield ("event: update\ndata: %s\n\n" % json.dumps(data)).encode("utf-8")
            continue
        started = time.monotonic()
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(change.wait(), timeout=1.0)
        idle += time.monotonic() - started
        if idle >= HEARTBEAT:
            idle = 0.0
            yield b": idle\n\n"
