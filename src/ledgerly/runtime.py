"""Finding a running server, and asking it a question.

`ledgerly serve` writes ``server.json`` into the user's runtime folder and
listens, besides its TCP port, on the Unix socket ``server.sock`` beside
it. The folder is private (mode 0700) and the socket 0600, so only the
same user can connect: requests over the socket need no token.
`ledgerly status` reads the file and asks over the socket (or the TCP
address where there is no socket) with a minimal HTTP/1.1 client, so that
it answers in milliseconds without importing an HTTP library.

The runtime folder: ``$LEDGERLY_RUNTIME_DIR`` when set; otherwise
``$XDG_RUNTIME_DIR/ledgerly`` when that variable is set (Linux sessions);
otherwise the user state folder that platformdirs names for ledgerly
(``~/.local/state/ledgerly`` on Linux).
"""

from __future__ import annotations

import json
import os
import socket
from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import urlsplit

ENV_RUNTIME = "LEDGERLY_RUNTIME_DIR"
SERVER_FILE = "server.json"
SOCKET_FILE = "server.sock"
MAX_SOCKET_PATH = 100  # AF_UNIX paths are limited to about 104-108 bytes
MAX_ANSWER = 16 << 20


class ClientError(Exception):
    """The server could not be reached or gave no usable answer."""


def runtime_dir() -> str:
    """The folder for the server's address file and socket (not created)."""
    explicit = os.environ.get(ENV_RUNTIME)
    if explicit:
        return os.path.abspath(os.path.expanduser(explicit))
    xdg = os.environ.get("XDG_RUNTIME_DIR")
    if xdg and os.path.isabs(xdg):
        return os.path.join(xdg, "ledgerly")
    from platformdirs import user_state_dir

    return user_state_dir("ledgerly", appauthor=False)


def make_runtime_dir() -> str:
    """Creates the runtime folder (mode 0700) and returns it."""
    folder = runtime_dir()
    os.makedirs(folder, mode=0o700, exist_ok=True)
    os.chmod(folder, 0o700)
    return folder


def server_file() -> str:
    return os.path.join(runtime_dir(), SERVER_FILE)


def socket_path() -> Optional[str]:
    """The server socket's path, or None where Unix sockets cannot be used
    (no AF_UNIX, or a folder path too long for one)."""
    path = os.path.join(runtime_dir(), SOCKET_FILE)
    if not hasattr(socket, "AF_UNIX") or len(os.fsencode(path)) > MAX_SOCKET_PATH:
        return None
    return path


def read_server_info() -> Optional[Dict[str, Any]]:
    """What the running server wrote about itself, or None."""
    try:
        with open(server_file(), encoding="utf-8") as f:
            info = json.load(f)
    except (OSError, ValueError):
        return None
    return info if isinstance(info, dict) else None


def write_server_info(info: Dict[str, Any]) -> str:
    """Writes the address file atomically (mode 0600); returns its path."""
    folder = make_runtime_dir()
    path = os.path.join(folder, SERVER_FILE)
    temporary = path + ".%d.tmp" % os.getpid()
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(info, f)
    os.replace(temporary, path)
    return path


def _connect(info: Dict[str, Any], timeout: float) -> Tuple[socket.socket, str]:
    """A connected socket to the server, and the Host header to send."""
    path = info.get("socket")
    if isinstance(path, str) and hasattr(socket, "AF_UNIX"):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(timeout)
        try:
            sock.connect(path)
            return sock, "localhost"
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
    return sock, parts.netloc


def get(info: Dict[str, Any], target: str, timeout: float = 2.0, token: Optional[str] = None) -> Tuple[int, bytes]:
    """GETs `target` (path and query) from the server that `info`
    describes; returns the status code and the body. Raises ClientError."""
    sock, host = _connect(info, timeout)
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
        out.append(body[end + 2:end + 2 + size])
        pos = end + 2 + size + 2
