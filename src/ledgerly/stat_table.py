"""The stat table of a listing, and the change test the host adds to the
engine's.

The engine tells a file's changes by its manifest entry: identity, size
and modification time. A log rewritten in place with all three as they
were (a backup restored over it, its time set back) keeps its old rows in
the engine for good. Its status change time (ctime) moves with every such
write and no program can set it back, so every listing keeps, beside its
manifest, one record per entry: device and inode numbers, size,
modification time and ctime (`STAT_RECORD`, 40 bytes; the native listing
writes the same bytes). A ledger keeps the table of the listing its
engine last read, in memory and in its saved state, and `moved_in_place`
finds the files of the next listing whose ctime moved while their size and
modification time did not: those are read again from the start
(`manifest_without` drops them for one refresh, which makes the engine
forget them).

Out of reach: a system that gives no ctime (0 in the table, on Windows
here) and a file system whose ctime does not move on a write; a change of
mode, owner or links alone also moves the ctime, which costs one needless
reading of that file.
"""

from __future__ import annotations

import json
import os
import struct
from typing import List, Optional, Sequence

# device, inode (unsigned), size, modification time, ctime in ns (signed)
STAT_RECORD = struct.Struct("<QQqqq")
_MASK = (1 << 64) - 1
# Where no ctime is given: Windows' st_ctime is the file's creation time.
_CTIME = os.name != "nt"


def stat_record(st: os.stat_result) -> bytes:
    """The record of a file whose status (following links) is `st`."""
    return STAT_RECORD.pack(
        st.st_dev & _MASK, st.st_ino & _MASK, st.st_size, st.st_mtime_ns, st.st_ctime_ns if _CTIME else 0
    )


def moved_in_place(before: Optional[bytes], now: Optional[bytes]) -> List[int]:
    """The indexes of the entries of the listing whose table is `now` that
    were rewritten in place since the listing whose table is `before`:
    the same file, size and modification time, another ctime. None (a
    table not known) finds nothing."""
    if not before or not now or before == now:
        return []
    from ledgerly._ledger import moved_in_place as native

    return native(before, now)


def manifest_without(manifest: str, indexes: Sequence[int]) -> str:
    """`manifest` without its entries at `indexes`."""
    drop = set(indexes)
    entries = json.loads(manifest)
    return json.dumps([e for i, e in enumerate(entries) if i not in drop], ensure_ascii=False, separators=(",", ":"))
