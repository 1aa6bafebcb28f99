"""The usage record that a refresh returns, defined once.

Every counted event is one 104-byte record of 13 little-endian 64-bit words.
`RECORD_DTYPE` names them so that a row buffer can be looked at as a numpy
structured array without copying it (`view_rows`); the words that hold
indexes and codes are unsigned, the timestamp and token counts signed. The
host's engine (`ledgerly._ledger`) follows the records with one uint32 per
record naming the log file it came from (`view_attributed`).
"""

from __future__ import annotations

from typing import Dict, Tuple, Union

import numpy as np

from ledgerly.codes import DIALECTS, KIND_EVENT, KIND_MESSAGE, TIER_NAMES, dialect_name

RECORD_WORDS = (
    "timestamp",  # Unix milliseconds (UTC)
    "model",  # index into the snapshot's model table
    "project",  # index into the snapshot's project table
    "kind",  # dialect code of the row's file: 0 message dialect, otherwise event dialect
    "subagent",  # 1 when a subagent made the call
    "tier",  # service tier code, see TIER_NAMES
    "input",
    "cached_input",
    "output",
    "reasoning_output",
    "cache_write_5m",
    "cache_write_1h",
    "cache_read",
)
TOKEN_FIELDS = RECORD_WORDS[6:]

_UNSIGNED = {"model", "project", "kind", "subagent", "tier"}
RECORD_DTYPE = np.dtype([(name, "<u8" if name in _UNSIGNED else "<i8") for name in RECORD_WORDS])
RECORD_SIZE = RECORD_DTYPE.itemsize

Buffer = Union[bytes, bytearray, memoryview]

__all__ = [
    "DELTA_COLUMNS",
    "DIALECTS",
    "FILE_INDEX_DTYPE",
    "KIND_EVENT",
    "KIND_MESSAGE",
    "RECORD_DTYPE",
    "RECORD_SIZE",
    "RECORD_WORDS",
    "TIER_NAMES",
    "TOKEN_FIELDS",
    "dialect_name",
    "view_attributed",
    "view_delta",
    "view_rows",
    "words",
]


def view_rows(buffer: Buffer) -> np.ndarray:
    """The records of a row buffer as a read-only structured array of
    `RECORD_DTYPE`, sharing the buffer's memory (no copy).

    Raises ValueError when the length is not a whole number of records."""
    size = memoryview(buffer).nbytes
    if size % RECORD_SIZE:
        raise ValueError("row buffer of %d bytes is not a whole number of %d-byte records" % (size, RECORD_SIZE))
    rows = np.frombuffer(buffer, dtype=RECORD_DTYPE)
    rows.flags.writeable = False
    return rows


FILE_INDEX_DTYPE = np.dtype("<u4")


def view_attributed(buffer: Buffer, count: int) -> Tuple[np.ndarray, np.ndarray]:
    """The records and the file indexes of an attributed row buffer (the
    one `ledgerly._ledger` returns): `count` records, then one
    little-endian uint32 per record, in record order, indexing the report's
    `files` table. Both are read-only views on `buffer` (no copy).

    Raises ValueError when the length does not match `count`."""
    size = memoryview(buffer).nbytes
    if count < 0 or size != count * (RECORD_SIZE + FILE_INDEX_DTYPE.itemsize):
        raise ValueError("row buffer of %d bytes does not hold %d attributed records" % (size, count))
    rows = np.frombuffer(buffer, dtype=RECORD_DTYPE, count=count)
    index = np.frombuffer(buffer, dtype=FILE_INDEX_DTYPE, count=count, offset=count * RECORD_SIZE)
    rows.flags.writeable = False
    index.flags.writeable = False
    return rows, index


def words(rows: np.ndarray) -> np.ndarray:
    """The same records as an (n, 13) array of int64 words, without copying.

    Handy for arithmetic over several token fields at once: columns follow
    `RECORD_WORDS`, so `words(rows)[:, 6:]` are the seven token counts."""
    if rows.dtype != RECORD_DTYPE:
        raise TypeError("expected records of RECORD_DTYPE, got %s" % rows.dtype)
    return rows.view(np.dtype("<i8")).reshape(len(rows), len(RECORD_WORDS))


# The columns of a delta's buffer (`ledgerly._ledger.Engine.delta`), in
# buffer order after the withdrawn ids, which sit between the 64-bit and
# the 32-bit columns: each column is `added` values long.
DELTA_COLUMNS: Tuple[Tuple[str, str], ...] = (
    ("timestamp", "<i8"),
    *((name, "<i8") for name in TOKEN_FIELDS),
    ("id", "<u4"),
    ("model", "<u4"),
    ("project", "<u4"),
    ("file", "<u4"),  # the file holding the row, in the delta's `files`
    ("place", "<u4"),  # the file it stands in (export order: place, then seq)
    ("seq", "<u4"),  # its row index in that file
    ("kind", "u1"),
    ("subagent", "u1"),
    ("tier", "u1"),
)
_WITHDRAWN_AFTER = 1 + len(TOKEN_FIELDS)  # columns before the withdrawn ids


def view_delta(buffer: Buffer, added: int, withdrawn: int) -> Tuple[np.ndarray, Dict[str, np.ndarray]]:
    """The withdrawn ids and the added rows' columns (by the names of
    `DELTA_COLUMNS`) of a delta's buffer, as read-only views on it (no
    copy).

    Raises ValueError when the length does not match the counts."""
    size = memoryview(buffer).nbytes
    width = sum(np.dtype(kind).itemsize for _name, kind in DELTA_COLUMNS)
    if added < 0 or withdrawn < 0 or size != added * width + withdrawn * 4:
        raise ValueError("delta buffer of %d bytes does not hold %d rows and %d ids" % (size, added, withdrawn))
    columns: Dict[str, np.ndarray] = {}
    offset = 0
    ids = np.zeros(0, dtype="<u4")
    for k, (name, kind) in enumerate(DELTA_COLUMNS):
        if k == _WITHDRAWN_AFTER:
            ids = np.frombuffer(buffer, dtype="<u4", count=withdrawn, offset=offset)
            offset += 4 * withdrawn
        column = np.frombuffer(buffer, dtype=kind, count=added, offset=offset)
        offset += column.nbytes
        column.flags.writeable = False
        columns[name] = column
    ids.flags.writeable = False
    return ids, columns
