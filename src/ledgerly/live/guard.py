"""The checks every request passes before a route sees it, and the JSON
error answer of every refusal.

The command binds 127.0.0.1 unless told otherwise and then requires a
token. `Guard` checks, before any route: the Host header (on a loopback
address only loopback names are accepted, so that a web page cannot reach
the server through a rebound DNS name) and the token (as ``Authorization:
Bearer``, or the cookie the dashboard gets by opening ``/?token=...``
once), compared in constant time; the server's own token from the private
address file is accepted as well (`ledgerly status` over TCP). Requests
over the private Unix socket need neither.
"""

from __future__ import annotations

import hmac
import json
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Dict, Mapping, MutableMapping, Optional
from urllib.parse import quote, unquote_to_bytes

from starlette.responses import Response

if TYPE_CHECKING:
    from ledgerly.live.server import LiveServer

COOKIE = "ledgerly_token"

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]


def json_response(data: Any, status: int = 200, headers: Optional[Mapping[str, str]] = None) -> Response:
    body = json.dumps(data, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    return Response(
        body, status, headers=dict(headers or {}, **{"Cache-Control": "no-store"}), media_type="application/json"
    )


def error_response(
    status: int, message: str, parameter: Optional[str] = None, headers: Optional[Mapping[str, str]] = None
) -> Response:
    data: Dict[str, Any] = {"error": message}
    if parameter is not None:
        data["parameter"] = parameter
    return json_response(data, status, headers)


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
                return error_response(421, "this server answers to %s only" % " or ".join(sorted(server.allowed_hosts)))
        if server.token:
            given = _bearer(headers.get(b"authorization", b"")) or _cookie(headers.get(b"cookie", b""))
            path = scope.get("path", "")
            query = scope.get("query_string", b"")
            if given is None and path == "/" and query_token(query) is not None:
                return None  # the dashboard's first visit: the route checks it and sets the cookie
            if given is None or not _one_of(given, server.token, server.local_token):
                return error_response(
                    401,
                    "a token is required: send 'Authorization: Bearer TOKEN'",
                    headers={"WWW-Authenticate": "Bearer"},
                )
        return None


def _one_of(given: bytes, *tokens: Optional[str]) -> bool:
    """Whether `given` is one of `tokens`, each compared in constant time."""
    matches = [hmac.compare_digest(given, token.encode("utf-8")) for token in tokens if token]
    return any(matches)


def _unix(scope: Scope) -> bool:
    """Whether the request came over the Unix socket (uvicorn gives its
    path, without a port, as the server address)."""
    server = scope.get("server")
    return server is not None and server[1] is None


def _bearer(value: bytes) -> Optional[bytes]:
    scheme, _, token = value.partition(b" ")
    return token.strip() if scheme.lower() == b"bearer" and token.strip() else None


def cookie_value(token: str) -> str:
    """The token as the cookie carries it: percent-encoded, so that a
    token with cookie separators or quotes (a base64 token's `/`, `+`,
    `=`) is sent back exactly as it was set."""
    return quote(token, safe="")


def query_token(query: bytes) -> Optional[bytes]:
    """The `token` parameter of a raw query string, percent-decoded with a
    `+` taken as itself (a base64 token pasted into an address keeps its
    plus signs), or None."""
    for part in query.split(b"&"):
        name, sep, value = part.partition(b"=")
        if name == b"token" and sep:
            return unquote_to_bytes(value)
    return None


def _cookie(value: bytes) -> Optional[bytes]:
    for part in value.split(b";"):
        name, _, token = part.strip().partition(b"=")
        if name == COOKIE.encode() and token:
            return unquote_to_bytes(token)
    return None
