"""The usage record that a refresh returns, defined once.

Every counted event is one 104-byte record of 13 little-endian 64-bit words.
`RECORD_DTYPE` names them so that a row buffer can be looked at as a numpy
structured array without copying it (`view_rows`); the words that hold
indexes and codes are unsigned, the timestamp and token counts signed. The
host's engine (`ledgerly._ledger`) follows the records with one uint32 per
record naming the log file it came from (`view_attributed`).
"""

from __future__ import annotations

from typing import Tuple, Union

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
