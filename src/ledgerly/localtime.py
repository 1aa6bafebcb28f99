"""Local calendar keys of arrays of Unix-millisecond instants.

A report groups events by local day, ISO week or month of a zone. Asking the
zone for the offset of every event would cost a Python call per row, so
`to_local_ms` asks only per UTC day that holds events: when the offset at the
day's first and last second agree, the whole day has that offset; a day
that holds an offset change is split by hour the same way, and only the
events in an hour that holds the change are asked about one by one. This is
exact unless a zone changes its offset and changes it back within one UTC
day, which no zone does.
"""

from __future__ import annotations

from typing import Tuple

import numpy as np

from ledgerly.grouping import dense
from ledgerly.timezones import DAY_MS, FIRST_LOCAL_MS, HOUR_MS, LAST_LOCAL_MS, MINUTE_MS, SECOND_MS, Zone


def _offsets_by_bucket(ts: np.ndarray, size: int, zone: Zone) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """For buckets of `size` ms holding the instants `ts`: each instant's
    bucket code, and per code the offset (ms, at the bucket's first second)
    and whether the bucket holds a change of offset (its first and last
    second disagree)."""
    buckets = dense(ts // size)
    present = np.flatnonzero(np.bincount(buckets.codes, minlength=buckets.radix))
    step = size // SECOND_MS
    first = np.zeros(buckets.radix, dtype=np.int64)
    changes = np.zeros(buckets.radix, dtype=bool)
    for code in present.tolist():
        start = buckets.value(code) * step
        first[code] = zone.offset(start) * SECOND_MS
        changes[code] = zone.offset(start + step - 1) * SECOND_MS != first[code]
    return buckets.codes, first, changes


def offsets_ms(ts: np.ndarray, zone: Zone) -> np.ndarray:
    """The zone's UTC offset in milliseconds at each instant of `ts` (int64
    Unix milliseconds), exactly, asking the zone about few instants; near
    the calendar's ends, the offset that keeps the local time within years
    0000-9999 (`timezones.calendar_offset_ms`)."""
    ts = np.asarray(ts, dtype=np.int64)
    if zone.fixed is not None or len(ts) == 0:
        return _on_calendar(ts, np.full(len(ts), (zone.fixed or 0) * SECOND_MS, dtype=np.int64))
    codes, first, changes = _offsets_by_bucket(ts, DAY_MS, zone)
    out: np.ndarray = first[codes]
    if changes.any():
        rows = np.flatnonzero(changes[codes])
        hours, h_first, h_changes = _offsets_by_bucket(ts[rows], HOUR_MS, zone)
        out[rows] = h_first[hours]
        for row in rows[h_changes[hours]].tolist():
            out[row] = zone.offset(int(ts[row]) // SECOND_MS) * SECOND_MS
    return _on_calendar(ts, out)


def _on_calendar(ts: np.ndarray, offsets: np.ndarray) -> np.ndarray:
    """`offsets` (of instants `ts`), with those that would put an instant's
    local time outside years 0000-9999 replaced as `calendar_offset_ms`
    replaces them (in place)."""
    if len(ts) == 0:
        return offsets
    local = ts + offsets
    if int(local.min()) >= FIRST_LOCAL_MS and int(local.max()) <= LAST_LOCAL_MS:
        return offsets
    off = np.flatnonzero((local < FIRST_LOCAL_MS) | (local > LAST_LOCAL_MS))
    low = -((ts[off] - FIRST_LOCAL_MS) // MINUTE_MS) * MINUTE_MS
    high = (LAST_LOCAL_MS - ts[off]) // MINUTE_MS * MINUTE_MS
    offsets[off] = np.minimum(np.maximum(low, 0), high)
    return offsets


def to_local_ms(ts: np.ndarray, zone: Zone) -> np.ndarray:
    """Instants `ts` shifted to the zone's wall clock (still milliseconds)."""
    out: np.ndarray = np.asarray(ts, dtype=np.int64) + offsets_ms(ts, zone)
    return out


def local_days(ts: np.ndarray, zone: Zone) -> np.ndarray:
    """The local day number (days since 1970-01-01 on the zone's calendar)
    of each instant of `ts`."""
    out = to_local_ms(ts, zone)
    out //= DAY_MS
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
    # The first days of year 0 lie in the last week of ISO year -1: "-0001-W52".
    return "%s%04d-W%02d" % ("-" if year < 0 else "", abs(year), (thursday - jan1) // 7 + 1)


def month_label(month: int) -> str:
    return str(np.datetime64(int(month), "M"))
