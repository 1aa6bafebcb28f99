"""Asking a running server a question: a minimal HTTP/1.1 client.

`ledgerly status` asks over the server's Unix socket (or its TCP address
where there is no socket, with the server's own token from its address
file) with this client, so that it answers in
milliseconds without importing an HTTP library. The server's address comes
from `ledgerly.live.address`.
"""

from __future__ import annotations

import socket
from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import urlsplit

from ledgerly.live import address

MAX_ANSWER = 16 << 20


class ClientError(Exception):
    """The server could not be reached or gave no usable answer."""


def _connect(info: Dict[str, Any], timeout: float) -> Tuple[socket.socket, str, bool]:
    """A connected socket to the server, the Host header to send, and
    whether the connection is over TCP (where a token may be needed)."""
    path = info.get("socket")
    if isinstance(path, str) and address.UNIX_SOCKETS:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(timeout)
        try:
            sock.connect(path)
            return sock, "localhost", False
        except OSError:
            sock.close()
    url = info.get("url")
    if not isinstance(url, str):
        raise ClientError("no server address")
    parts = urlsplit(url)
    if parts.hostname is None or parts.port is None:
        raise ClientError("bad server address %r" % url)
    try:
        sock = socket.create_connection((parts.hostname, parts.port), timeout=timeout)
    except OSError as exc:
        raise ClientError("cannot connect to %s: %s" % (url, exc.strerror or exc)) from None
    return sock, parts.netloc, True


def get(info: Dict[str, Any], target: str, timeout: float = 2.0, token: Optional[str] = None) -> Tuple[int, bytes]:
    """GETs `target` (path and query) from the server that `info`
    describes; returns the status code and the body. Over TCP the request
    carries the server's own token from `info` when it has one, else
    `token`. Raises ClientError."""
    sock, host, tcp = _connect(info, timeout)
    own = info.get("token")
    if tcp and isinstance(own, str) and own:
        token = own
    try:
        head = "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\nAccept: application/json\r\n" % (target, host)
        if token:
            head += "Authorization: Bearer %s\r\n" % token
        sock.sendall((head + "\r\n").encode("ascii"))
        chunks = []
        size = 0
        while True:
            data = sock.recv(65536)
            if not data:
                break
            chunks.append(data)
            size += len(data)
            if size > MAX_ANSWER:
                raise ClientError("answer too large")
    except OSError as exc:
        raise ClientError("server did not answer: %s" % (exc.strerror or exc)) from None
    finally:
        sock.close()
    return _parse(b"".join(chunks))


def _parse(answer: bytes) -> Tuple[int, bytes]:
    head, sep, body = answer.partition(b"\r\n\r\n")
    if not sep:
        raise ClientError("incomplete answer")
    lines = head.split(b"\r\n")
    try:
        status = int(lines[0].split()[1])
    except (IndexError, ValueError):
        raise ClientError("not an HTTP answer") from None
    headers = {}
    for raw in lines[1:]:
        name, _, value = raw.partition(b":")
        headers[name.strip().lower()] = value.strip()
    if headers.get(b"transfer-encoding", b"").lower() == b"chunked":
        body = _unchunk(body)
    elif b"content-length" in headers:
        try:
            length = int(headers[b"content-length"])
        except ValueError:
            raise ClientError("bad Content-Length") from None
        if len(body) < length:
            raise ClientError("incomplete answer")
        body = body[:length]
    return status, body


def _unchunk(body: bytes) -> bytes:
    out: List[bytes] = []
    pos = 0
    while True:
        end = body.find(b"\r\n", pos)
        if end < 0:
            raise ClientError("incomplete answer")
        try:
            size = int(body[pos:end].split(b";")[0], 16)
        except ValueError:
            raise ClientError("bad chunked answer") from None
        if size == 0:
            return b"".join(out)
        out.append(body[end + 2 : end + 2 + size])
        pos = end + 2 + size + 2
