"""Importing a price map: a file or an http(s) URL, checked whole, kept as
a new version.

- The map is read (`ledgerly.prices.fetch` for a URL: the only step of
  ledgerly that uses the network), hashed (SHA-256) and checked whole
  (`ledgerly.prices.price_map`): a malformed or truncated map, or one bad
  rate, refuses the import, and the stored prices stay as they were.
- It takes effect at `effective_from` (Unix ms), or at the import for a
  later version; the first version covers all history.
- It adds nothing when it would change nothing: when the server answers
  that the map did not change since the version in force then (sent its
  validators), or when its content is that version's.
"""

from __future__ import annotations

import hashlib
import os
import re
from dataclasses import dataclass
from typing import Optional

from ledgerly.prices.fetch import MAX_BYTES, fetch, is_url, shown_url
from ledgerly.prices.price_map import PriceMapError, decode_map
from ledgerly.prices.store import Stored, add_version, load_versions
from ledgerly.prices.versions import Version, in_force_order, version_at
from ledgerly.tomlfile import ConfigError, read_bytes

_SCHEME_RE = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


class ImportRefused(Exception):
    """An import that was refused; the message says why, in one line."""


@dataclass(frozen=True)
class Imported:
    """The outcome: the new `version`, or None with `unchanged`, the
    version it would have repeated."""

    version: Optional[Version]
    unchanged: Optional[Version] = None
    not_modified: bool = False


def read_source(source: str) -> bytes:
    """The bytes of a map file (a regular file of at most 64 MiB)."""
    try:
        return read_bytes(source, MAX_BYTES, "a price map")
    except ConfigError as exc:
        raise ImportRefused(str(exc)) from None


def import_prices(
    source: str, now: int, effective_from: Optional[int] = None, folder: Optional[str] = None
) -> Imported:
    """Imports the map at `source` (a path or an http(s) URL) as a new
    version in force from `effective_from` (default: `now`, or all history
    for the first version). Raises ImportRefused, FetchError, PriceMapError
    or StoreError; stores nothing then."""
    stored: Stored = load_versions(folder)
    versions = in_force_order(stored.versions)
    start = effective_from if effective_from is not None or not versions else now
    current = version_at(versions, start) if versions and start is not None else None
    etag = last_modified = None
    if is_url(source):
        name = shown_url(source)
        if current is not None and current.source == name:
            etag, last_modified = current.etag, current.last_modified
        answer = fetch(source, etag, last_modified)
        if answer.body is None:
            return Imported(None, current, not_modified=True)
        body = answer.body
        etag, last_modified = answer.etag, answer.last_modified
    else:
        if _SCHEME_RE.match(source) and not os.path.exists(source):
            raise ImportRefused("%s: only http and https URLs, or a file, can be imported" % source[:200])
        name = os.path.abspath(source)
        body = read_source(source)
    digest = hashlib.sha256(body).hexdigest()
    entries = decode_map(body)
    if not entries:
        raise PriceMapError("the map holds no entry with a per-token rate")
    if current is not None and current.sha256 == digest:
        return Imported(None, current)
    new = Version(0, name, now, digest, start, entries, etag=etag, last_modified=last_modified)
    return Imported(add_version(new, folder))


__all__ = ["ImportRefused", "Imported", "import_prices", "read_source"]
