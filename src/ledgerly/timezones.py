"""Time zones, and dates and times as the options give them.

Zones: None or "local" (the system's zone, following TZ), "UTC", a fixed
offset such as "+05:30", or an IANA name such as "Europe/Berlin". A `Zone`
answers one question: its UTC offset at an instant. The conversion of whole
arrays of instants is in ledgerly.localtime.

This module needs no numpy, so that the command line can check its options
before the heavier modules are loaded.
"""

from __future__ import annotations

import os
import re
import time
import zoneinfo
from datetime import date, datetime, timezone, tzinfo
from typing import Callable, Optional, Tuple, Union

SECOND_MS = 1000
HOUR_MS = 3_600_000
DAY_MS = 86_400_000
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


class TimezoneError(ValueError):
    """An unknown or malformed time zone name."""


class BoundError(ValueError):
    """A date or time that cannot be read."""


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


# Digits in offsets, dates and times are ASCII digits (re.ASCII): \d alone
# would also take other scripts' digits, such as full-width ones.
_OFFSET_RE = re.compile(r"^([+-])(\d{2}):?(\d{2})$", re.ASCII)


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
    except (zoneinfo.ZoneInfoNotFoundError, ValueError, OSError):
        # OSError: a name that is a folder of the zone database ("America"),
        # or too long for a file name.
        raise TimezoneError("unknown time zone %r" % (name if len(name) <= 64 else name[:64] + "...")) from None
    return Zone(name, _zoneinfo_offset(zone))


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


def days_from_civil(year: int, month: int, day: int) -> int:
    """Days since 1970-01-01 of a proleptic Gregorian date, for any year
    (year 0 included, which `datetime` lacks)."""
    year -= month <= 2
    era = year // 400
    year_of_era = year - era * 400
    day_of_year = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5 + day - 1
    return era * 146097 + year_of_era * 365 + year_of_era // 4 - year_of_era // 100 + day_of_year - 719468


def civil_from_days(days: int) -> Tuple[int, int, int]:
    """The proleptic Gregorian (year, month, day) of a day number."""
    days += 719468
    era = days // 146097
    day_of_era = days - era * 146097
    year_of_era = (day_of_era - day_of_era // 1460 + day_of_era // 36524 - day_of_era // 146096) // 365
    day_of_year = day_of_era - (365 * year_of_era + year_of_era // 4 - year_of_era // 100)
    shifted = (5 * day_of_year + 2) // 153
    day = day_of_year - (153 * shifted + 2) // 5 + 1
    month = shifted + (3 if shifted < 10 else -9)
    return year_of_era + era * 400 + (month <= 2), month, day


# The wall-clock times a four-digit year can write: 0000-01-01T00:00:00.000
# to 9999-12-31T23:59:59.999. The engine reads any such time with any offset
# up to 23:59, so the instants it accepts reach a day beyond both ends.
FIRST_LOCAL_MS = days_from_civil(0, 1, 1) * DAY_MS
LAST_LOCAL_MS = days_from_civil(10000, 1, 1) * DAY_MS - 1
MAX_OFFSET_MS = (23 * 60 + 59) * 60_000
MINUTE_MS = 60_000


def calendar_offset_ms(ms: int, offset_ms: int) -> int:
    """The offset to write instant `ms` with: the zone's own (`offset_ms`)
    while the local time stays within years 0000-9999; otherwise UTC when
    that does, else the whole-minute offset nearest to UTC that does. An
    instant near the calendar's ends is thus written in four-digit years
    as the same instant, merely at another offset."""
    local = ms + offset_ms
    if FIRST_LOCAL_MS <= local <= LAST_LOCAL_MS:
        return offset_ms
    low = -((ms - FIRST_LOCAL_MS) // MINUTE_MS) * MINUTE_MS  # ceiling, in whole minutes
    high = (LAST_LOCAL_MS - ms) // MINUTE_MS * MINUTE_MS
    return min(max(0, low), high)


_DAY_RE = re.compile(r"(\d{4})-(\d{2})-(\d{2})", re.ASCII)


def parse_day(text: str) -> int:
    """The day number of a YYYY-MM-DD date (years 0000 to 9999); raises ValueError."""
    match = _DAY_RE.fullmatch(text)
    if not match:
        raise ValueError("not a date")
    year, month, day = (int(g) for g in match.groups())
    if not 1 <= month <= 12 or not 1 <= day <= 31:
        raise ValueError("not a date")
    number = days_from_civil(year, month, day)
    if civil_from_days(number) != (year, month, day):  # February 30, April 31, ...
        raise ValueError("not a date")
    return number


def format_instant(ms: int, zone: Zone) -> str:
    """RFC 3339 text of instant `ms` in `zone`, to the second, with its
    offset; always with a four-digit year (`calendar_offset_ms`). The few
    instants that no offset can write so (the end of a block that closes
    more than a day after 9999-12-31, say) are written as the nearest one
    that can be."""
    ms = min(max(ms, FIRST_LOCAL_MS - MAX_OFFSET_MS), LAST_LOCAL_MS + MAX_OFFSET_MS)
    # RFC 3339 offsets are whole minutes; a zone's old local mean time is
    # not (+05:53:28), so the time is written at the offset cut to minutes,
    # which keeps the text the same instant.
    seconds = zone.offset(ms // SECOND_MS)
    offset = calendar_offset_ms(ms, int(seconds / 60) * MINUTE_MS)
    local = (ms + offset) // SECOND_MS
    year, month, day = civil_from_days(local // 86400)
    seconds = local % 86400
    minutes = abs(offset) // MINUTE_MS
    sign = "-" if offset < 0 else "+"
    suffix = "Z" if zone.name == "UTC" and offset == 0 else "%s%02d:%02d" % (sign, minutes // 60, minutes % 60)
    return "%04d-%02d-%02dT%02d:%02d:%02d%s" % (
        year,
        month,
        day,
        seconds // 3600,
        seconds // 60 % 60,
        seconds % 60,
        suffix,
    )


_MS_DELTA = datetime(1970, 1, 1, 0, 0, 0, 1000) - datetime(1970, 1, 1)
Bound = Union[None, str, int, date, datetime]

_TIME_RE = re.compile(
    r"^(\d{4}-\d{2}-\d{2})[Tt ](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d+))?)?([Zz]|[+-]\d{2}:\d{2})?$", re.ASCII
)


def bound_ms(value: Bound, zone: Zone, end: bool) -> Optional[int]:
    """A `since` (end=False) or `until` (end=True) bound as a Unix
    millisecond limit of the half-open range [since, until): a date covers
    its whole day in `zone`; a time is taken to the millisecond (an `until`
    time is inclusive). A time without an offset is a wall-clock time in
    `zone`. Raises BoundError."""
    if value is None:
        return None
    if isinstance(value, bool):
        raise BoundError("a bound must be a date or a time, not %r" % (value,))
    if isinstance(value, int):
        return value + 1 if end else value
    if isinstance(value, datetime):
        if value.tzinfo is None:
            naive = value - datetime(1970, 1, 1)
            ms = local_to_utc_ms(naive // _MS_DELTA, zone)
        else:
            ms = (value - EPOCH) // _MS_DELTA
        return ms + 1 if end else ms
    if isinstance(value, date):
        day = (value - date(1970, 1, 1)).days
        return local_to_utc_ms((day + (1 if end else 0)) * DAY_MS, zone)
    text = value.strip()
    try:
        if len(text) == 10:
            day = parse_day(text)
            return local_to_utc_ms((day + (1 if end else 0)) * DAY_MS, zone)
        match = _TIME_RE.match(text)
        if not match:
            raise ValueError(text)
        day = parse_day(match.group(1))
        hour, minute, second = int(match.group(2)), int(match.group(3)), int(match.group(4) or 0)
        if hour > 23 or minute > 59 or second > 60:
            raise ValueError(text)
        millis = int((match.group(5) or "0")[:3].ljust(3, "0"))
        wall = ((day * 24 + hour) * 60 + minute) * 60_000 + second * 1000 + millis
        offset = match.group(6)
        if offset is None:
            ms = local_to_utc_ms(wall, zone)
        elif offset in ("Z", "z"):
            ms = wall
        else:
            sign = -1 if offset[0] == "-" else 1
            oh, om = int(offset[1:3]), int(offset[4:6])
            if oh > 23 or om > 59:
                raise ValueError(text)
            ms = wall - sign * (oh * 60 + om) * 60_000
    except ValueError:
        raise BoundError("%r is not a date (YYYY-MM-DD) or an RFC 3339 time" % value) from None
    return ms + 1 if end else ms
