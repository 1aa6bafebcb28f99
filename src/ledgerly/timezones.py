"""Time zones and calendar arithmetic on arrays of Unix-millisecond instants.

A report groups events by local day, ISO week or month of a zone. Asking the
zone for the offset of every event would cost a Python call per row, so
`to_local_ms` asks only per UTC day that holds events: when the offset at the
day's first and last second agree, the whole day has that offset; a day
that holds an offset change is split by hour the same way, and only the
events in an hour that holds the change are asked about one by one. This is
exact unless a zone changes its offset and changes it back within one UTC
day, which no zone does.

Zones: None or "local" (the system's zone, following TZ), "UTC", a fixed
offset such as "+05:30", or an IANA name such as "Europe/Berlin".
"""

from __future__ import annotations

import os
import re
import time
import zoneinfo
from datetime import date, datetime, timedelta, timezone, tzinfo
from typing import Callable, Optional

import numpy as np

from ledgerly.grouping import dense

SECOND_MS = 1000
HOUR_MS = 3_600_000
DAY_MS = 86_400_000
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


class TimezoneError(ValueError):
    """An unknown or malformed time zone name."""


class Zone:
    """A time zone: its `name` and its UTC offset (in seconds) at any instant."""

    def __init__(self, name: str, offset_at: Callable[[int], int], fixed: Optional[int] = None) -> None:
        self.name = name
        self._offset_at = offset_at
        self.fixed = fixed  # the offset in seconds when it never changes

    def offset(self, utc_seconds: int) -> int:
        """The offset in seconds at the instant `utc_seconds`; 0 for an
        instant the platform cannot place (far outside years 1..9999)."""
        if self.fixed is not None:
            return self.fixed
        try:
            return self._offset_at(utc_seconds)
        except (OverflowError, ValueError, OSError):
            return 0

    def __repr__(self) -> str:
        return "Zone(%r)" % self.name


def _zoneinfo_offset(zone: tzinfo) -> Callable[[int], int]:
    def offset_at(seconds: int) -> int:
        delta = datetime.fromtimestamp(seconds, zone).utcoffset()
        return int(delta.total_seconds()) if delta is not None else 0

    return offset_at


def _local_offset(seconds: int) -> int:
    return time.localtime(seconds).tm_gmtoff


_OFFSET_RE = re.compile(r"^([+-])(\d{2}):?(\d{2})$")


def local_zone_name() -> str:
    """A name for the system's zone: TZ, else the zone /etc/localtime
    links to, else the C library's abbreviation."""
    tz = os.environ.get("TZ", "").lstrip(":")
    if tz:
        return tz
    target = os.path.realpath("/etc/localtime")
    if "zoneinfo" + os.sep in target:
        return target.split("zoneinfo" + os.sep, 1)[1]
    return time.tzname[0] or "local"


def resolve_zone(name: Optional[str]) -> Zone:
    """The zone named `name` (see the module docstring); raises TimezoneError."""
    if name is None or name == "local":
        return Zone(local_zone_name(), _local_offset)
    if name in ("UTC", "utc", "Z"):
        return Zone("UTC", lambda s: 0, fixed=0)
    match = _OFFSET_RE.match(name)
    if match:
        hours, minutes = int(match.group(2)), int(match.group(3))
        if hours > 23 or minutes > 59:
            raise TimezoneError("bad UTC offset %r" % name)
        seconds = (hours * 3600 + minutes * 60) * (-1 if match.group(1) == "-" else 1)
        return Zone(name, lambda s: seconds, fixed=seconds)
    try:
        zone = zoneinfo.ZoneInfo(name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise TimezoneError("unknown time zone %r" % name) from None
    return Zone(name, _zoneinfo_offset(zone))


def _offsets_by_bucket(ts: np.ndarray, size: int, zone: Zone) -> tuple[np.ndarray, np.ndarray]:
    """For buckets of `size` ms: each instant's bucket offset (ms, taken at
    the bucket's first second) and whether its bucket holds a change of
    offset (its first and last second disagree)."""
    buckets = dense(ts // size)
    present = np.flatnonzero(np.bincount(buckets.codes, minlength=buckets.radix))
    step = size // SECOND_MS
    first = np.zeros(buckets.radix, dtype=np.int64)
    changes = np.zeros(buckets.radix, dtype=bool)
    for code in present.tolist():
        start = buckets.value(code) * step
        first[code] = zone.offset(start)
        changes[code] = zone.offset(start + step - 1) != first[code]
    return first[buckets.codes] * SECOND_MS, changes[buckets.codes]


def offsets_ms(ts: np.ndarray, zone: Zone) -> np.ndarray:
    """The zone's UTC offset in milliseconds at each instant of `ts` (int64
    Unix milliseconds), exactly, asking the zone about few instants."""
    ts = np.asarray(ts, dtype=np.int64)
    if zone.fixed is not None or len(ts) == 0:
        return np.full(len(ts), (zone.fixed or 0) * SECOND_MS, dtype=np.int64)
    out, changing = _offsets_by_bucket(ts, DAY_MS, zone)
    if changing.any():
        rows = np.flatnonzero(changing)
        hourly, split = _offsets_by_bucket(ts[rows], HOUR_MS, zone)
        out[rows] = hourly
        for row in rows[split].tolist():
            out[row] = zone.offset(int(ts[row]) // SECOND_MS) * SECOND_MS
    return out


def to_local_ms(ts: np.ndarray, zone: Zone) -> np.ndarray:
    """Instants `ts` shifted to the zone's wall clock (still milliseconds)."""
    out: np.ndarray = np.asarray(ts, dtype=np.int64) + offsets_ms(ts, zone)
    return out


def local_to_utc_ms(local_ms: int, zone: Zone) -> int:
    """The first instant whose wall-clock time in `zone` is `local_ms` or
    later: in a repeated hour the earlier instant, in a skipped hour the
    moment the clocks jump."""
    if zone.fixed is not None:
        return local_ms - zone.fixed * SECOND_MS
    seconds = local_ms // SECOND_MS
    around = {zone.offset(seconds - 86400), zone.offset(seconds), zone.offset(seconds + 86400)}
    valid = [local_ms - o * SECOND_MS for o in around if zone.offset((local_ms - o * SECOND_MS) // SECOND_MS) == o]
    if valid:
        return min(valid)
    # The wall-clock time does not exist (clocks jumped over it): the jump itself.
    return local_ms - zone.offset(seconds - 86400) * SECOND_MS


# ---------------------------------------------------------------------------
# Calendar keys of local day numbers (days since 1970-01-01)


def day_numbers(local_ms: np.ndarray) -> np.ndarray:
    out: np.ndarray = np.asarray(local_ms, dtype=np.int64) // DAY_MS
    return out


def week_starts(days: np.ndarray) -> np.ndarray:
    """The day number of the Monday that starts each day's ISO week."""
    out: np.ndarray = days - (days + 3) % 7
    return out


def month_numbers(days: np.ndarray) -> np.ndarray:
    """Months since 1970-01 of each day number."""
    return days.astype("datetime64[D]").astype("datetime64[M]").astype(np.int64)


def day_label(day: int) -> str:
    return str(np.datetime64(int(day), "D"))


def week_label(monday: int) -> str:
    """ISO week of the week starting on day number `monday`, as YYYY-Www."""
    thursday = int(monday) + 3
    year = int(np.datetime64(thursday, "D").astype("datetime64[Y]").astype(np.int64)) + 1970
    jan1 = int(np.datetime64(year - 1970, "Y").astype("datetime64[D]").astype(np.int64))
    return "%04d-W%02d" % (year, (thursday - jan1) // 7 + 1)


def month_label(month: int) -> str:
    return str(np.datetime64(int(month), "M"))


def parse_day(text: str) -> int:
    """The day number of a YYYY-MM-DD date; raises ValueError."""
    if not re.fullmatch(r"\d{4}-\d{2}-\d{2}", text):
        raise ValueError("not a date")
    return (date.fromisoformat(text) - date(1970, 1, 1)).days


def format_instant(ms: int, zone: Zone) -> str:
    """RFC 3339 text of instant `ms` in `zone`, to the second, with its offset."""
    offset = zone.offset(ms // SECOND_MS)
    stamp = EPOCH + timedelta(milliseconds=ms + offset * SECOND_MS)
    sign = "-" if offset < 0 else "+"
    minutes = abs(offset) // 60
    suffix = "Z" if zone.name == "UTC" else "%s%02d:%02d" % (sign, minutes // 60, minutes % 60)
    return stamp.strftime("%Y-%m-%dT%H:%M:%S") + suffix
