"""The server's connections: a deadline for every request head, and a cap on
how many are open at once.

The HTTP server answers a request once its head is complete, and waits for
that head as long as the client likes: a few hundred connections that each
sent half a request line would hold every file descriptor the process may
open, after which nothing is accepted at all. So each connection goes
through a `Connection` that sits between the transport and the HTTP
protocol:

- a connection must complete each request head (up to its blank line)
  within `HEAD_TIMEOUT` seconds of its first byte (of its opening, for the
  first request), or it is closed; a connection that is being answered (an
  event stream, a slow report) or that is idle between requests has no
  deadline here (the HTTP server closes idle ones itself);
- at most `cap` connections are open; one more closes the connection that
  has waited longest for its head, or, when every connection is busy, is
  itself answered 503 and closed. The cap stays below the process's limit
  of open files, so that accepting never fails for lack of descriptors;
- when accepting fails all the same (descriptors held elsewhere), the
  event loop's error is one warning a minute instead of a traceback per
  attempt (`quiet_accept_errors`).
"""

from __future__ import annotations

import asyncio
import re
import time
from typing import Any, Callable, Dict, Optional

HEAD_TIMEOUT = 10.0  # seconds to send a request head
MAX_CONNECTIONS = 1000
BACKLOG = 64  # connections the kernel queues, and the most accepted in one turn of the loop
RESERVED_FILES = 64  # descriptors left for log files, the notifier and the interpreter
_HEAD_END = re.compile(rb"\r?\n\r?\n")  # what the HTTP parser takes as the end of a head
_BUSY_BODY = b'{"error":"too many connections open"}'
_BUSY = (
    b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
    b"Connection: close\r\nCache-Control: no-store\r\n\r\n%s" % (len(_BUSY_BODY), _BUSY_BODY)
)


def connection_cap() -> int:
    """How many connections may be open at once: below the limit of open
    files, less what the rest of the server needs and what one turn of the
    event loop may accept."""
    try:
        import resource

        soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    except (ImportError, OSError, ValueError):  # no such limit here (Windows)
        return MAX_CONNECTIONS
    if soft == resource.RLIM_INFINITY:
        return MAX_CONNECTIONS
    return max(8, min(MAX_CONNECTIONS, soft - RESERVED_FILES - BACKLOG))


class Connections:
    """The open connections of one server. Called with the HTTP protocol's
    arguments, it makes the protocol of a new connection: `protocol`'s,
    behind a `Connection`."""

    def __init__(self, protocol: Callable[..., asyncio.Protocol], cap: int, head_timeout: float = HEAD_TIMEOUT):
        self.protocol = protocol
        self.cap = cap
        self.head_timeout = head_timeout
        self.open = 0
        # Connections waiting for a request head, the longest waiting first.
        self.waiting: Dict[Connection, None] = {}

    def __call__(self, **kwargs: Any) -> asyncio.Protocol:
        return Connection(self.protocol(**kwargs), self)


class Connection(asyncio.Protocol):
    """One connection: hands everything to the HTTP protocol `inner`, and
    watches the deadline of each request head."""

    def __init__(self, inner: asyncio.Protocol, connections: Connections) -> None:
        self.inner = inner
        self.connections = connections
        self.transport: Optional[asyncio.Transport] = None
        self.timer: Optional[asyncio.TimerHandle] = None
        self.tail = b""  # the last bytes received, in case a head's end spans two reads
        self.admitted = False

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        connections = self.connections
        connections.open += 1
        if connections.open > connections.cap:
            if not connections.waiting:
                transport.write(_BUSY)
                transport.close()
                return
            oldest = next(iter(connections.waiting))
            oldest.expire()
        self.admitted = True
        self.wait_for_head()
        self.inner.connection_made(transport)

    def data_received(self, data: bytes) -> None:
        seen = self.tail + data
        ends = [m.end() for m in _HEAD_END.finditer(seen)]
        if ends and ends[-1] > len(self.tail):
            # A head ended in these bytes; anything after the last end starts the next one.
            self.tail = seen[ends[-1] :][-3:]
            if ends[-1] == len(seen):
                self.head_done()
            else:
                self.wait_for_head(restart=True)
        else:
            self.tail = seen[-3:]
            self.wait_for_head()
        self.inner.data_received(data)

    def eof_received(self) -> Optional[bool]:
        return self.inner.eof_received()

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.connections.open -= 1
        self.head_done()
        if self.admitted:
            self.inner.connection_lost(exc)

    def pause_writing(self) -> None:
        self.inner.pause_writing()

    def resume_writing(self) -> None:
        self.inner.resume_writing()

    # -- the head's deadline

    def wait_for_head(self, restart: bool = False) -> None:
        """Starts the deadline of a request head (unless one runs already)."""
        if self.timer is not None and not restart:
            return
        self.head_done()
        loop = asyncio.get_running_loop()
        self.timer = loop.call_later(self.connections.head_timeout, self.expire)
        self.connections.waiting[self] = None

    def head_done(self) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.connections.waiting.pop(self, None)

    def expire(self) -> None:
        """Closes the connection: its head came too slowly, or room is needed."""
        self.head_done()
        if self.transport is not None and not self.transport.is_closing():
            self.transport.close()


def quiet_accept_errors(warn: Callable[[str], None], every: float = 60.0) -> Callable[[Any, Dict[str, Any]], None]:
    """An event-loop exception handler that turns the loop's "out of system
    resource" accept errors into one warning per `every` seconds, and hands
    every other error to the loop's default handler."""
    last = [-every]

    def handler(loop: Any, context: Dict[str, Any]) -> None:
        if context.get("message") != "socket.accept() out of system resource":
            loop.default_exception_handler(context)
            return
        now = time.monotonic()
        if now - last[0] >= every:
            last[0] = now
            warn("cannot accept connections: %s" % (context.get("exception") or "out of resources"))

    return handler
