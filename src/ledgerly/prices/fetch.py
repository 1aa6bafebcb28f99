"""The one step that reaches the network: fetching a price map by URL.

Standard library only. Bounded in every way a server could stretch it:

- a timeout on connecting and on each read, and a deadline for the whole
  answer (a server that sends a byte now and then cannot hold the command);
- a size cap: an answer that says or turns out to be larger is refused;
- a few redirects, to http(s) URLs only (a loop ends at the limit);
- certificates and host names checked for https (the system's trust store);
- an answer shorter than its ``Content-Length`` (a connection cut) is
  refused rather than taken for the whole map.

With the validators of an earlier answer (`ETag`, `Last-Modified`) it
asks ``If-None-Match`` / ``If-Modified-Since``: a 304 means nothing changed.
"""

from __future__ import annotations

import http.client
import os
import socket
import ssl
import time
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple

MAX_BYTES = 64 << 20
TIMEOUT = 30.0  # seconds to connect, and between two reads
DEADLINE = 300.0  # seconds for the whole answer
MAX_REDIRECTS = 5
# Tests make the timeouts short through this variable (seconds).
ENV_TIMEOUT = "LEDGERLY_FETCH_TIMEOUT"


class FetchError(Exception):
    """The map could not be fetched; the message says why, in one line."""


class Truncated(FetchError):
    """An answer that ended before its whole body arrived."""


@dataclass(frozen=True)
class Fetched:
    """An answer: the body (None when the server said nothing changed),
    the final URL, and the validators to send next time."""

    body: Optional[bytes]
    url: str
    etag: Optional[str] = None
    last_modified: Optional[str] = None

    @property
    def not_modified(self) -> bool:
        return self.body is None


class _Redirects(urllib.request.HTTPRedirectHandler):
    max_redirections = MAX_REDIRECTS
    max_repeats = 2

    def http_error_302(self, req: Any, fp: Any, code: int, msg: str, headers: Any) -> Any:
        target = urllib.parse.urljoin(req.full_url, headers.get("location") or headers.get("uri") or "")
        if not is_url(target):
            raise FetchError("the server redirected to %s, which is not an http(s) URL" % target[:200])
        return super().http_error_302(req, fp, code, msg, headers)

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302


def is_url(text: str) -> bool:
    return text.lower().startswith(("http://", "https://"))


# Query parameters whose values are kept out of what is stored and shown.
_SECRET_WORDS = ("token", "key", "secret", "sig", "pass", "auth", "credential")


def shown_url(url: str) -> str:
    """`url` as it is stored and shown: a password in it, and the values of
    query parameters named like secrets (``token``, ``key``, ``sig``, ...),
    replaced by ``***``, so that listing the versions (or the server's
    API) never shows them."""
    parts = urllib.parse.urlsplit(url)
    netloc = parts.netloc
    if parts.password is not None:
        user, _, host = netloc.rpartition("@")
        netloc = "%s:***@%s" % (user.split(":", 1)[0], host)
    query = "&".join(
        "%s=***" % name if any(w in name.lower() for w in _SECRET_WORDS) and sep else pair
        for pair in parts.query.split("&")
        for name, sep, _value in [pair.partition("=")]
    )
    return urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, query, parts.fragment))


def timeouts(timeout: Optional[float] = None, deadline: Optional[float] = None) -> Tuple[float, float]:
    """The read timeout and overall deadline in seconds (the variable
    shortens both for tests)."""
    given = os.environ.get(ENV_TIMEOUT)
    if given:
        try:
            short = float(given)
        except ValueError:
            short = None
        if short is not None and short > 0:
            return short, short * 4
    return timeout or TIMEOUT, deadline or DEADLINE


def fetch(
    url: str,
    etag: Optional[str] = None,
    last_modified: Optional[str] = None,
    limit: int = MAX_BYTES,
    timeout: Optional[float] = None,
    deadline: Optional[float] = None,
) -> Fetched:
    """GETs `url`, sending the validators given. Raises FetchError."""
    from ledgerly.version import __version__

    read_timeout, whole = timeouts(timeout, deadline)
    headers: Dict[str, str] = {"User-Agent": "ledgerly/%s" % __version__, "Accept": "application/json"}
    if etag:
        headers["If-None-Match"] = etag
    if last_modified:
        headers["If-Modified-Since"] = last_modified
    request = urllib.request.Request(url, headers=headers)
    context = ssl.create_default_context()
    opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=context), _Redirects())
    started = time.monotonic()
    try:
        with opener.open(request, timeout=read_timeout) as answer:
            final = answer.geturl()
            size = answer.headers.get("Content-Length")
            if size is not None and size.isdigit() and int(size) > limit:
                raise FetchError("the map is %s bytes, more than the %d MiB allowed" % (size, limit >> 20))
            body = _read(answer, limit, started, whole)
            if size is not None and size.isdigit() and len(body) != int(size):
                raise Truncated("the answer was cut short (%d of %s bytes): a truncated map" % (len(body), size))
            return Fetched(body, final, answer.headers.get("ETag"), answer.headers.get("Last-Modified"))
    except urllib.error.HTTPError as exc:
        if exc.code == 304:
            return Fetched(None, exc.geturl() or url, etag, last_modified)
        if 300 <= exc.code < 400:
            raise FetchError("too many redirects (more than %d, or a loop)" % MAX_REDIRECTS) from None
        raise FetchError("the server answered %d %s" % (exc.code, exc.reason)) from None
    except urllib.error.URLError as exc:
        reason = exc.reason
        if isinstance(reason, ssl.SSLCertVerificationError):
            raise FetchError("the server's certificate was refused: %s" % reason.verify_message) from None
        if isinstance(reason, (socket.timeout, TimeoutError)):
            raise FetchError("no answer within %g seconds" % read_timeout) from None
        raise FetchError("cannot reach the server: %s" % (getattr(reason, "strerror", None) or reason)) from None
    except (socket.timeout, TimeoutError):
        raise FetchError("no answer within %g seconds" % read_timeout) from None
    except http.client.IncompleteRead as exc:
        raise Truncated("the answer was cut short (%d bytes read): a truncated map" % len(exc.partial)) from None
    except (http.client.HTTPException, ValueError) as exc:
        raise FetchError("a bad answer from the server: %s" % (exc or type(exc).__name__)) from None
    except ssl.SSLError as exc:
        raise FetchError("the secure connection failed: %s" % exc.reason) from None
    except OSError as exc:
        raise FetchError("the connection failed: %s" % (exc.strerror or exc)) from None


def _read(answer: Any, limit: int, started: float, whole: float) -> bytes:
    chunks = []
    total = 0
    while True:
        if time.monotonic() - started > whole:
            raise FetchError("the answer took longer than %g seconds" % whole)
        chunk = answer.read(1 << 16)
        if not chunk:
            break
        total += len(chunk)
        if total > limit:
            raise FetchError("the map is larger than the %d MiB allowed" % (limit >> 20))
        chunks.append(chunk)
    return b"".join(chunks)
