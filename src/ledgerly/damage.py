"""The lines of each source's logs that the engine could not count.

The engine counts malformed lines and lines with invalid usage, but sums
those counts over every file it holds. `damaged_lines` therefore reads
each source's logs with an engine of its own (every file once), so that
each source gets its own counts: what `ledgerly sources` shows beside the
listing.
"""

from __future__ import annotations

from typing import Callable, Dict, List, NamedTuple, Optional, Sequence

from ledgerly.ledger import Ledger
from ledgerly.listing import Listing
from ledgerly.snapshot import Snapshot
from ledgerly.sources import Source

# The kinds of damaged line the engine counts, as the JSON names them.
DAMAGE = ("malformed", "invalid_usage")


class DamagedLines(NamedTuple):
    """Per source of a listing, in its order, the count of each kind of
    damaged line (`DAMAGE`); and the files that could not be read."""

    per_source: List[Dict[str, int]]
    errors: List[str]


def damaged_lines(
    listing: Listing,
    workers: Optional[int] = None,
    ledger: Optional[Ledger] = None,
    open_ledger: Optional[Callable[[Sequence[Source]], Ledger]] = None,
    refresh: Optional[Callable[[Ledger, Listing], Snapshot]] = None,
) -> DamagedLines:
    """The damaged lines of each source of `listing`. `ledger` is the one
    that made `listing`, when it has a single source (its engine then reads
    the logs). Otherwise each source's ledger comes from `open_ledger` (by
    default a new `Ledger` with `workers` and no saved state), and
    `refresh` refreshes a ledger with a listing (by default
    `Ledger.refresh`)."""
    if open_ledger is None:

        def open_ledger(sources: Sequence[Source]) -> Ledger:
            return Ledger(sources, workers)

    if refresh is None:

        def refresh(ledger: Ledger, listing: Listing) -> Snapshot:
            return ledger.refresh(listing=listing)

    counts: List[Dict[str, int]] = []
    errors: List[str] = []
    for index, source in enumerate(listing.sources):
        files = tuple(f for f, origin in zip(listing.files, listing.origins) if origin == index)
        if not files:
            counts.append(dict.fromkeys(DAMAGE, 0))
            continue
        if ledger is not None:
            snapshot = refresh(ledger, listing)
        else:
            own = Listing((source,), files, (0,) * len(files), (), ())
            snapshot = refresh(open_ledger([source]), own)
        counts.append({kind: int(snapshot.scan[kind]) for kind in DAMAGE})
        errors.extend(snapshot.errors)
    return DamagedLines(counts, errors)
