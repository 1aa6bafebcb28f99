"""Exporting the counted events as a Hive-partitioned Parquet tree.

    result = export_parquet(snapshot, "team-usage", machine="alice-laptop")

writes one Parquet file per machine and UTC day::

    team-usage/machine=alice-laptop/day=2025-03-14/part-0.parquet

with one row per event (`COLUMNS`). Trees written on several machines merge
by copying their folders side by side, and any engine that reads Hive
partitions (DuckDB, Spark, Trino, ...) reads the merged tree as one table
with `machine` and `day` as columns taken from the paths.

Writing is idempotent and crash-safe:

- each partition's content is hashed; a partition whose file already holds
  that hash (in the file's key-value metadata) is not written again, so a
  second export of the same logs changes no file;
- every changed partition is written to a hidden temporary file in its
  folder and synced to disk, and only when all are written are they
  renamed over the old files: a reader sees an old file or a new one,
  never a part of one; a failed write leaves every partition as it was; a
  crash leaves each one old or new, and the temporary files (whose names
  no `*.parquet` glob matches) are removed by the next export;
- when some logs could not be read, nothing is written unless asked for
  (`partial`): the missing logs' events would otherwise leave the tree;
- an export holds a lock on its machine's folder, so two overlapping runs
  on one machine cannot interleave, and it never touches another
  machine's folder;
- partitions of days that no longer hold events are removed only inside
  the exported range of days: from `since` (or the first day with events)
  to `until` (or the last day with events). Days before the first event
  stay, so logs removed by an agent's retention do not erase the tree's
  history.

Rows within a file are sorted by every column, so that a file's content
depends only on the events, not on the order the logs were read in.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import re
import socket
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Set, Tuple, Union

import numpy as np

from ledgerly.codes import TIER_NAMES
from ledgerly.columns import Rows
from ledgerly.grouping import INT64_MAX, ranked
from ledgerly.layout import TOKEN_FIELDS
from ledgerly.localtime import day_label
from ledgerly.locks import try_lock
from ledgerly.params import Query, make_query
from ledgerly.prices import PriceTable
from ledgerly.prices.classes import classify
from ledgerly.private_files import TEMPORARY_SUFFIX, NewFile, replace, sync_folder, temporary_prefix
from ledgerly.reports import TOTAL_FIELDS
from ledgerly.team import require
from ledgerly.timezones import DAY_MS, Bound

if TYPE_CHECKING:
    from ledgerly.snapshot import Snapshot

# Bumped whenever the columns or their encoding change: every partition
# written by an older format is then rewritten.
FORMAT = 1
PART_FILE = "part-0.parquet"
TEMP_PREFIX = temporary_prefix(PART_FILE)
TEMP_SUFFIX = TEMPORARY_SUFFIX
LOCK_FILE = ".ledgerly-export.lock"
HASH_KEY = b"ledgerly.content"
PRICES_KEY = b"ledgerly.prices"
WRITERS = 8  # threads writing and syncing partition files
# zstd; dictionaries for the name columns only (numbers rarely repeat
# within a day, and trying a dictionary on them costs time and bytes);
# min/max statistics, which let readers skip files, for the columns one
# filters on, not for the token counts.
_NAMES = ["model", "project", "dialect", "tier", "price_table"]
_OPTIONS: Dict[str, Any] = {
    "compression": "zstd",
    "use_dictionary": _NAMES,
    "write_statistics": ["timestamp", "subagent", *_NAMES],
}
COLUMNS = (
    ("timestamp", "the event's time, UTC, to the millisecond"),
    ("model", "model name"),
    ("project", "project: the working directory the logs name"),
    ("dialect", "log dialect: message or event"),
    ("subagent", "true when a subagent made the call"),
    ("tier", "service tier: " + ", ".join(TIER_NAMES)),
    *((name, "tokens") for name in TOKEN_FIELDS),
    ("total_tokens", "input + output + cache_write_5m + cache_write_1h + cache_read"),
    ("cost", "cost in the price table's currency; null when unpriced or no table was given"),
    ("price_table", "fingerprint of the price table that gave the cost; null without one"),
)
MACHINE_RE = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}\Z")
DAY_DIR_RE = re.compile(r"day=(\d{4}-\d{2}-\d{2})\Z")
_TOTAL_COLUMNS = [TOKEN_FIELDS.index(name) for name in TOTAL_FIELDS]


class ExportError(Exception):
    """An export that cannot be done (bad machine name or folder, a write
    that failed); nothing inconsistent is left behind."""


class IncompleteLogs(ExportError):
    """Some logs could not be read: exporting would drop their events from
    partitions that hold them now."""


def require_pyarrow() -> Any:
    """The `pyarrow` module (with its Parquet part), or MissingExtra saying
    what to install."""
    require("pyarrow.parquet", "writing Parquet", "parquet")
    return require("pyarrow", "writing Parquet", "parquet")


def check_machine(name: str) -> str:
    """`name` when it can name a machine's partition folder: 1 to 64 ASCII
    letters, digits, '.', '_' or '-', starting with a letter or digit (no
    path separators, no '=', nothing a Hive path would need to escape)."""
    if not MACHINE_RE.match(name):
        raise ExportError(
            "machine name %r cannot name a partition: use 1 to 64 letters, digits, '.', '_' or '-', "
            "starting with a letter or digit" % name
        )
    return name


def default_machine() -> str:
    """The host name, when it is a valid machine name."""
    name = socket.gethostname()
    try:
        return check_machine(name)
    except ExportError:
        raise ExportError(
            "the host name %r cannot name a partition; give a machine name (--machine NAME)" % name
        ) from None


@dataclass(frozen=True)
class ExportResult:
    """What an export did. `folder` is the machine's folder; `written`,
    `removed`: the days (YYYY-MM-DD) whose partition was written or
    removed; `unchanged`: partitions left as they were; `first_day` and
    `last_day`: the exported range (None when it is empty); `price_table`:
    the fingerprint of the price table given (None without one);
    `unpriced`: models with usage that the table gives no price for."""

    directory: str
    machine: str
    folder: str
    events: int
    days: int
    written: Tuple[str, ...]
    unchanged: int
    removed: Tuple[str, ...]
    first_day: Optional[str]
    last_day: Optional[str]
    price_table: Optional[str]
    unpriced: Tuple[str, ...] = ()

    def to_dict(self) -> Dict[str, Any]:
        return {
            "directory": self.directory,
            "machine": self.machine,
            "folder": self.folder,
            "events": self.events,
            "days": self.days,
            "written": list(self.written),
            "unchanged": self.unchanged,
            "removed": list(self.removed),
            "first_day": self.first_day,
            "last_day": self.last_day,
            "price_table": self.price_table,
            "unpriced": list(self.unpriced),
        }


def price_fingerprint(prices: PriceTable) -> Tuple[str, str]:
    """The price table as canonical JSON, and a short fingerprint of it."""
    text = json.dumps(prices.fingerprint(), sort_keys=True, separators=(",", ":"))
    return text, hashlib.sha256(text.encode()).hexdigest()[:16]


# ---------------------------------------------------------------------------
# Columns


@dataclass(frozen=True)
class _Events:
    """The events to export, sorted, with what every partition needs."""

    ts: np.ndarray  # int64 ms
    model_rank: np.ndarray  # rank of the model's name among `models` (name order)
    project_rank: np.ndarray
    event: np.ndarray  # bool: event dialect
    subagent: np.ndarray  # bool
    tier: np.ndarray  # int64 codes into TIER_NAMES
    tokens: np.ndarray  # (n, 7) int64
    cost: np.ndarray  # float64, 0 where missing
    missing: np.ndarray  # bool: no cost
    models: Tuple[str, ...]  # in name order
    projects: Tuple[str, ...]


def _order(rows: Rows, keys: Sequence[np.ndarray]) -> np.ndarray:
    """The order of `rows` by timestamp, and where timestamps are equal by
    every other column (`keys`, most significant first): equal events may
    then come in any order and still give the same file. Ties are rare, so
    only their runs are sorted by the other columns."""
    ts = rows["timestamp"]
    order: np.ndarray = np.argsort(ts, kind="stable")
    sorted_ts = ts[order]
    tied = np.flatnonzero(sorted_ts[1:] == sorted_ts[:-1])
    if len(tied):
        in_run = np.zeros(len(order), dtype=bool)
        in_run[tied] = True
        in_run[tied + 1] = True
        where = np.flatnonzero(in_run)
        sub = order[where]
        # The timestamp stays the first key, so each run keeps its positions.
        order[where] = sub[np.lexsort([k[sub] for k in reversed(keys)] + [ts[sub]])]
    return order


def _events(snapshot: Snapshot, low: Optional[int], high: Optional[int], prices: Optional[PriceTable]) -> _Events:
    rows = snapshot.rows
    if low is not None or high is not None:
        ts = rows["timestamp"]
        mask = np.ones(len(rows), dtype=bool)
        if low is not None:
            mask &= ts >= low
        if high is not None:
            mask &= ts < high
        rows = rows[mask]
    model_codes = ranked(rows["model"], snapshot.models)
    project_codes = ranked(rows["project"], snapshot.projects)
    model_rank = model_codes.part(0, len(rows)).astype(np.int64)
    project_rank = project_codes.part(0, len(rows)).astype(np.int64)
    event = rows["kind"] != 0
    subagent = rows["subagent"] != 0
    tier = np.minimum(rows["tier"], len(TIER_NAMES) - 1).astype(np.int64)
    tokens = rows.tokens()
    order = _order(rows, [model_rank, project_rank, event, subagent, tier, *tokens.T])
    tokens = np.ascontiguousarray(tokens[order])
    if prices:
        # Each event priced as billed: its own class (entry, band, tier).
        classes = classify(prices, rows, snapshot.models)
        cost, missing = classes.price(tokens, classes.row_codes()[order])
    else:
        cost, missing = np.zeros(len(order)), np.ones(len(order), dtype=bool)
    assert model_codes.values is not None and project_codes.values is not None
    return _Events(
        ts=np.ascontiguousarray(rows["timestamp"][order]),
        model_rank=model_rank[order],
        project_rank=project_rank[order],
        event=event[order],
        subagent=subagent[order],
        tier=tier[order],
        tokens=tokens,
        cost=np.where(missing, 0.0, cost),
        missing=missing,
        models=tuple(snapshot.models[i] for i in model_codes.values.tolist()),
        projects=tuple(snapshot.projects[i] for i in project_codes.values.tolist()),
    )


def _table(pa: Any, ev: _Events, fingerprint: Optional[str]) -> Any:
    """Every event as one Arrow table, column by column from the arrays.
    Names are looked up from the name tables by index (in Arrow, not per
    row in Python) and written as plain strings: the Parquet writer then
    keeps a dictionary of the names each file uses, and no others."""
    n = len(ev.ts)
    total, beyond = event_totals(ev.tokens)

    def names(indices: np.ndarray, values: Sequence[str]) -> Any:
        coded = pa.DictionaryArray.from_arrays(
            pa.array(indices.astype(np.int32), type=pa.int32()), pa.array(list(values), pa.string())
        )
        return coded.dictionary_decode()

    arrays = [
        pa.array(ev.ts, type=pa.timestamp("ms", tz="UTC")),
        names(ev.model_rank, ev.models),
        names(ev.project_rank, ev.projects),
        names(ev.event.astype(np.int32), ("message", "event")),
        pa.array(ev.subagent, type=pa.bool_()),
        names(ev.tier, TIER_NAMES),
        *(pa.array(ev.tokens[:, j], type=pa.int64()) for j in range(len(TOKEN_FIELDS))),
        pa.array(total, type=pa.int64(), mask=beyond),
        pa.array(ev.cost, type=pa.float64(), mask=ev.missing),
        names(np.zeros(n, dtype=np.int32), (fingerprint,)) if fingerprint else pa.nulls(n, pa.string()),
    ]
    return pa.Table.from_arrays(arrays, names=[name for name, _ in COLUMNS])


def event_totals(tokens: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Each event's `total_tokens` (int64) and whether it is beyond what
    int64 holds (the total is then null: a sum that wrapped would pass for
    a count). The counts are at most 2**63 - 1 each, so adding them one by
    one, an addition overflows exactly when the next count exceeds the room
    left below the maximum."""
    total = tokens[:, _TOTAL_COLUMNS[0]].copy()
    beyond = np.zeros(len(total), dtype=bool)
    for column in _TOTAL_COLUMNS[1:]:
        count = tokens[:, column]
        beyond |= count > INT64_MAX - total
        total = np.where(beyond, 0, total + np.where(beyond, 0, count))
    return total, beyond


def _digest(ev: _Events, start: int, stop: int, fingerprint: Optional[str]) -> bytes:
    """The hash of one partition's content: its events' values, names
    included, whatever the rest of the name tables holds."""
    part = slice(start, stop)
    digest = hashlib.sha256()
    digest.update(b"format %d\0prices %s\0" % (FORMAT, (fingerprint or "").encode()))
    for ranks, table in ((ev.model_rank[part], ev.models), (ev.project_rank[part], ev.projects)):
        used, inverse = np.unique(ranks, return_inverse=True)
        digest.update(json.dumps([table[i] for i in used.tolist()], ensure_ascii=False).encode())
        digest.update(inverse.astype(np.int64).tobytes())
    for array in (ev.ts, ev.event, ev.subagent, ev.tier, ev.tokens, ev.cost, ev.missing):
        digest.update(np.ascontiguousarray(array[part]).tobytes())
    if event_totals(ev.tokens[part])[1].any():
        # A partition written before such totals were null holds them
        # wrapped: this makes its hash differ, so that it is written again.
        digest.update(b"totals beyond int64 are null\0")
    return digest.hexdigest().encode()


# ---------------------------------------------------------------------------
# Files


class _Lock:
    """An exclusive lock on a machine's folder for the length of an export."""

    def __init__(self, folder: str) -> None:
        self.fd: Optional[int] = try_lock(os.path.join(folder, LOCK_FILE), 0o644)
        if self.fd is None:
            raise ExportError("another export into %s is running" % folder)

    def release(self) -> None:
        if self.fd is not None:
            os.close(self.fd)  # closing releases the lock
            self.fd = None


def _existing_days(folder: str) -> Dict[str, str]:
    """The day partitions in a machine's folder: {YYYY-MM-DD: folder}."""
    out: Dict[str, str] = {}
    with os.scandir(folder) as entries:
        for entry in entries:
            match = DAY_DIR_RE.match(entry.name)
            if match and entry.is_dir(follow_symlinks=False):
                out[match.group(1)] = entry.path
    return out


def _remove_leftovers(day_folder: str) -> None:
    """Removes temporary files that an interrupted export left behind."""
    with os.scandir(day_folder) as entries:
        for entry in entries:
            if entry.name.startswith(TEMP_PREFIX) and entry.name.endswith(TEMP_SUFFIX):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(entry.path)


def _stored_hash(pq: Any, path: str) -> Optional[bytes]:
    """The content hash in an existing file's metadata, or None when there
    is no file or it cannot be read (it is then written again)."""
    if not os.path.isfile(path):
        return None
    try:
        meta = pq.read_metadata(path).metadata or {}
    except Exception:  # a damaged or foreign file: replace it
        return None
    value = meta.get(HASH_KEY)
    return value if isinstance(value, bytes) else None


def commit(temporary: str, final: str) -> None:
    """Moves a finished temporary file over the partition's file in one step."""
    replace(temporary, final)


def _write_temporary(pq: Any, table: Any, folder: str, metadata: Dict[bytes, bytes]) -> str:
    """Writes `table` into a new hidden temporary file in `folder`, made in
    the same step as its name and written through that descriptor, and
    syncs it to disk; returns its path. A failure leaves no file behind.
    Partition files are for the whole team to read: made with mode 0666
    less the umask, as any file the user writes."""
    new = NewFile(os.path.join(folder, PART_FILE), mode=0o666, sync=True)
    try:
        if hasattr(pq.ParquetWriter, "add_key_value_metadata"):
            writer = pq.ParquetWriter(new.file, table.schema, store_schema=False, **_OPTIONS)
            writer.add_key_value_metadata(metadata)
        else:  # older pyarrow: the metadata travels with the stored schema
            table = table.replace_schema_metadata(metadata)
            writer = pq.ParquetWriter(new.file, table.schema, **_OPTIONS)
        try:
            writer.write_table(table)
        finally:
            writer.close()
        new.close()
    except BaseException:
        new.discard()
        raise
    return new.temporary


def _in_parallel(function: Callable[..., Any], calls: Sequence[Tuple[Any, ...]]) -> List[Any]:
    """`function(*args)` for each of `calls` on a few threads (writing and
    syncing files waits mostly on the disk, with the interpreter lock
    released). Every call finishes before the first error, if any, is
    raised; the results come in the order of the calls, None where failed."""
    if len(calls) <= 1:
        return [function(*args) for args in calls]
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=min(WRITERS, len(calls))) as pool:
        futures = [pool.submit(function, *args) for args in calls]
    errors = [f.exception() for f in futures]
    results = [None if e else f.result() for f, e in zip(futures, errors)]
    first = next((e for e in errors if e is not None), None)
    if first is not None:
        raise _Partial(first, results)
    return results


class _Partial(Exception):
    """A parallel step that failed for some calls: the first error and every
    call's result (None where it failed)."""

    def __init__(self, error: BaseException, results: List[Any]) -> None:
        super().__init__(str(error))
        self.error = error
        self.results = results


def _write_all(
    pq: Any, table: Any, todo: Sequence[Tuple[str, str, int, int, bytes]], folder: str, metadata: Dict[bytes, bytes]
) -> None:
    """Writes the partitions `todo` (label, day folder, start, stop, hash):
    first every file to a synced temporary file, then each renamed over its
    partition's file. A failure while writing leaves every partition as it
    was; a crash while renaming leaves each one old or new, never a mix."""
    new_folders = [day_folder for _l, day_folder, _a, _b, _h in todo if not os.path.isdir(day_folder)]
    for day_folder in new_folders:
        os.makedirs(day_folder, exist_ok=True)
    if new_folders:
        sync_folder(folder)
    calls = [
        (pq, table.slice(start, stop - start), day_folder, {**metadata, HASH_KEY: digest})
        for _l, day_folder, start, stop, digest in todo
    ]
    try:
        temporaries = _in_parallel(_write_temporary, calls)
    except _Partial as failed:
        for path in failed.results:
            if path is not None:
                with contextlib.suppress(OSError):
                    os.unlink(path)
        raise failed.error from None
    for (_l, day_folder, _a, _b, _h), temporary in zip(todo, temporaries):
        commit(temporary, os.path.join(day_folder, PART_FILE))
    try:
        _in_parallel(sync_folder, [(day_folder,) for _l, day_folder, _a, _b, _h in todo])
    except _Partial as failed:  # pragma: no cover - sync_folder does not raise
        raise failed.error from None


def _partitions(ts: np.ndarray) -> Iterator[Tuple[int, int, int]]:
    """(day number, start, stop) of each UTC day in sorted instants `ts`."""
    if not len(ts):
        return
    days = ts // DAY_MS
    starts = np.flatnonzero(np.r_[True, days[1:] != days[:-1]])
    stops = np.r_[starts[1:], len(ts)]
    yield from zip(days[starts].tolist(), starts.tolist(), stops.tolist())


def day_range(query: Query) -> Tuple[Optional[int], Optional[int]]:
    """The query's range as whole UTC days: the first day and the day after
    the last, each None when not bounded. A time widens to its whole day, as
    a partition always holds a whole day."""
    first = None if query.low is None else query.low // DAY_MS
    end = None if query.high is None else -(-query.high // DAY_MS)
    return first, end


def _machine_folder(directory: Union[str, os.PathLike[str]], machine: str) -> Tuple[str, str]:
    """The tree's folder (absolute) and the machine's folder in it, created
    when missing. Raises ExportError."""
    directory = os.path.abspath(os.path.expanduser(os.fspath(directory)))
    if os.path.exists(directory) and not os.path.isdir(directory):
        raise ExportError("%s is not a folder" % directory)
    folder = os.path.join(directory, "machine=" + machine)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise ExportError("cannot create %s: %s" % (folder, exc.strerror or exc)) from None
    return directory, folder


def _write_changed(
    pq: Any,
    pa: Any,
    folder: str,
    existing: Mapping[str, str],
    ev: _Events,
    parts: Sequence[Tuple[int, int, int]],
    table: Optional[Tuple[str, str]],
) -> Tuple[List[str], int]:
    """Writes the partitions whose content differs from their file's (by
    hash); `table` is the price table's text and fingerprint (None without
    one). Returns the days written and how many partitions were left."""
    fingerprint: Optional[str] = None
    metadata = {b"ledgerly.format": b"%d" % FORMAT, HASH_KEY: b""}
    if table is not None:
        text, fingerprint = table
        metadata[PRICES_KEY] = text.encode()
    unchanged = 0
    todo: List[Tuple[str, str, int, int, bytes]] = []
    for day, start, stop in parts:
        label = day_label(day)
        digest = _digest(ev, start, stop, fingerprint)
        day_folder = existing.get(label) or os.path.join(folder, "day=" + label)
        if _stored_hash(pq, os.path.join(day_folder, PART_FILE)) == digest:
            unchanged += 1
        else:
            todo.append((label, day_folder, start, stop, digest))
    if todo:
        _write_all(pq, _table(pa, ev, fingerprint), todo, folder, metadata)
    return [label for label, _f, _a, _b, _h in todo], unchanged


def _remove_emptied(
    folder: str, existing: Mapping[str, str], first: Optional[int], last: Optional[int], exported: Set[str]
) -> List[str]:
    """Removes the partitions of the days `first` to `last` that no longer
    hold events; returns those days."""
    removed: List[str] = []
    if first is None or last is None:
        return removed
    lo, hi = day_label(first), day_label(last)
    for label, path in sorted(existing.items()):
        if lo <= label <= hi and label not in exported:
            _remove_partition(path)
            removed.append(label)
    if removed:
        sync_folder(folder)
    return removed


def export_parquet(
    snapshot: Snapshot,
    directory: Union[str, os.PathLike[str]],
    machine: Optional[str] = None,
    since: Bound = None,
    until: Bound = None,
    prices: Optional[PriceTable] = None,
    partial: bool = False,
) -> ExportResult:
    """`export_days` with the range as keywords: `since`, `until` limit the
    export to these UTC days (a date, an RFC 3339 time, a datetime or Unix
    milliseconds; a time stands for its whole day). Raises ReportError for
    a bad bound, and what `export_days` raises."""
    return export_days(snapshot, directory, make_query((), since, until, "UTC"), machine, prices, partial)


def export_days(
    snapshot: Snapshot,
    directory: Union[str, os.PathLike[str]],
    query: Query,
    machine: Optional[str] = None,
    prices: Optional[PriceTable] = None,
    partial: bool = False,
) -> ExportResult:
    """Exports the snapshot's events of the UTC days that `query`'s range
    touches into `directory` (created when missing) under
    `machine=NAME/day=YYYY-MM-DD/part-0.parquet`; only partitions of those
    days are written or removed (an open end stops at the first or last
    day with events).

    - `machine`: the partition's machine name (default: the host name);
    - `prices`: gives each event a cost (and records the table in the files);
    - `partial`: export even when the snapshot lists logs or folders that
      could not be read (`snapshot.errors`). Without it such an export
      raises IncompleteLogs and writes nothing: a log that failed to open
      this once would otherwise take its events out of the tree.

    Raises MissingExtra without pyarrow, ExportError for a bad machine name
    or folder, and OSError when a write fails (nothing renamed into place
    then: every partition is as it was)."""
    pa = require_pyarrow()
    import pyarrow.parquet as pq

    machine = check_machine(machine) if machine is not None else default_machine()
    first_day, end_day = day_range(query)
    if snapshot.errors and not partial:
        raise IncompleteLogs(
            "nothing exported: %d log file(s) or folder(s) could not be read (first: %s); exporting without them "
            "would take their events out of the tree" % (len(snapshot.errors), snapshot.errors[0])
        )
    directory, folder = _machine_folder(directory, machine)
    low = None if first_day is None else first_day * DAY_MS
    high = None if end_day is None else end_day * DAY_MS
    ev = _events(snapshot, low, high, prices)
    table = price_fingerprint(prices) if prices else None
    parts = list(_partitions(ev.ts))
    # The range whose days without events lose their partition: an open end
    # stops at the first or last day with events.
    range_first = first_day if first_day is not None else (parts[0][0] if parts else None)
    range_last = end_day - 1 if end_day is not None else (parts[-1][0] if parts else None)

    lock = _Lock(folder)
    try:
        existing = _existing_days(folder)
        for path in existing.values():
            _remove_leftovers(path)
        written, unchanged = _write_changed(pq, pa, folder, existing, ev, parts, table)
        removed = _remove_emptied(folder, existing, range_first, range_last, {day_label(d) for d, _a, _b in parts})
    finally:
        lock.release()
    return ExportResult(
        directory=directory,
        machine=machine,
        folder=folder,
        events=len(ev.ts),
        days=len(parts),
        written=tuple(written),
        unchanged=unchanged,
        removed=tuple(removed),
        first_day=day_label(range_first) if range_first is not None else None,
        last_day=day_label(range_last) if range_last is not None else None,
        price_table=table[1] if table is not None else None,
        unpriced=tuple(ev.models[i] for i in np.unique(ev.model_rank[ev.missing]).tolist()) if prices else (),
    )


def _remove_partition(path: str) -> None:
    """Removes a day's file, and its folder when nothing else is in it."""
    with contextlib.suppress(FileNotFoundError):
        os.unlink(os.path.join(path, PART_FILE))
    with contextlib.suppress(OSError):  # something else lives there: leave the folder
        os.rmdir(path)
