"""The accounted state after one refresh: `Snapshot`, an immutable value.

A leaf of the library: it imports nothing of the package at run time, so
that every module that reads snapshots (reports, sessions, blocks, limits,
the saved rows) can name the type without importing the ledger that makes
them.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Mapping, Optional, Tuple, Union

if TYPE_CHECKING:
    import numpy as np

    from ledgerly.listing import Listing


@dataclass(frozen=True)
class Snapshot:
    """The accounted state after one refresh.

    - `rows`: every counted event, a read-only structured array of
      `ledgerly.layout.RECORD_DTYPE` viewed on `buffer` (no copy);
      `buffer` holds the records and then the file indexes (the engine's
      bytes, or a read-only view of a rows file mapped into memory);
    - `models`, `projects`: the names that the rows' `model` and `project`
      words index (project labels as `sources.project_label` writes them,
      so two indexes may hold one name: grouping takes them as one);
    - `scan`: the engine's statistics of this refresh (read-only mapping);
    - `errors`: what could not be read in this refresh: files the engine
      could not read and folders or files the listing could not open;
    - `changed`: the accounted state changed in this refresh (always true
      for a ledger's first refresh); when false, `rows` is the previous
      snapshot's array;
    - `refreshed_at`: when the refresh finished (Unix seconds);
    - `listing`: the files this refresh was given, and those skipped;
    - `files`: the paths of the log files that own at least one row;
    - `file_index`: the file of each row, a read-only uint32 array
      (`files[file_index[i]]` is the log that row i came from: the file of
      the copy that was counted, when a response was logged more than
      once), viewed on `buffer` after the records; None for a snapshot made
      without the engine.
    """

    rows: np.ndarray
    buffer: Union[bytes, memoryview]
    models: Tuple[str, ...]
    projects: Tuple[str, ...]
    scan: Mapping[str, Any]
    errors: Tuple[str, ...]
    changed: bool
    refreshed_at: float
    listing: Listing
    files: Tuple[str, ...] = ()
    file_index: Optional[np.ndarray] = None

    def __len__(self) -> int:
        return len(self.rows)
