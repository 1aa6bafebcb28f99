"""One ledger kept current for a long-lived view.

`LiveLedger` owns a `Ledger` and a `Tracker` (the incremental listing).
Each *tick* brings the snapshot up to date: `tick(paths)` after the
file-system notifier named the paths that changed (only those are
stat'ed), `tick()` for a full rescan (the first tick, the periodic safety
net, and every tick of a polling view). A tick that changes the accounted
state raises `generation`; answers computed from a snapshot can be cached
under the generation they were computed for.

Ticks run one at a time (the caller's loop, or the lock here); snapshots
are immutable, so other threads may compute answers from `snapshot` while
the next tick runs.

With a state file, the first tick starts from the saved state, and a tick
that changed the state saves it when the last save is `save_every`
seconds old (the first such tick saves at once); `save` saves on demand
(the server does on exit).
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass, field, replace
from typing import Any, Dict, Iterable, Mapping, Optional, Sequence

from ledgerly.ledger import Ledger
from ledgerly.live.tracking import Tracker
from ledgerly.prices import PriceTable
from ledgerly.snapshot import Snapshot
from ledgerly.sources import Source

# Seconds between two saves of a changing state (a crash or kill loses at
# most the reading done since, never an answer).
SAVE_EVERY = 300.0

# Engine statistics shown for a tick (the rest of `scan` describes the stored state).
TICK_SCAN_FIELDS = ("scanned", "changed", "removed", "bytes_read", "rebuilt", "appended", "updated")


@dataclass(frozen=True)
class Tick:
    """What one tick did: `kind` is "rescan" or "update"; `paths` the
    number of paths the notifier named; `looked_at` the paths stat'ed;
    `seconds` the whole tick (listing, engine, snapshot), `refresh_seconds`
    the ledger's refresh within it; `engine` the engine's statistics of
    its refresh (empty when the listing did not change and the engine was
    not asked)."""

    at: float
    kind: str
    paths: int
    looked_at: int
    seconds: float
    changed: bool
    engine: Mapping[str, Any] = field(default_factory=dict)
    refresh_seconds: float = 0.0

    def to_dict(self) -> Dict[str, Any]:
        return {
            "at": self.at,
            "kind": self.kind,
            "paths": self.paths,
            "looked_at": self.looked_at,
            "seconds": round(self.seconds, 6),
            "refresh_seconds": round(self.refresh_seconds, 6),
            "changed": self.changed,
            "engine": dict(self.engine),
        }


class LiveLedger:
    def __init__(
        self,
        sources: Sequence[Source],
        workers: Optional[int] = None,
        state: Optional[str] = None,
        save_every: float = SAVE_EVERY,
        prices: Optional[PriceTable] = None,
    ) -> None:
        from ledgerly._ledger import map_large_blocks

        # A server's large arrays come and go with every change: mapped
        # apart, a freed one goes back to the system instead of staying in
        # the heap (whose threshold for that otherwise grows to 32 MiB).
        map_large_blocks()
        self.ledger = Ledger(sources, workers, state)
        # Answers after a tick read sums kept from the engine's deltas (for
        # reports priced by `prices`) and the recent rows, not every row.
        self.ledger.keep_aggregates(prices)
        self.tracker = Tracker(self.ledger.sources, self.ledger.sniffs)
        self.save_every = save_every
        self.save_error: Optional[OSError] = None  # the latest save's failure
        self._saved_at = float("-inf")
        self.generation = 0
        self.ticks = 0
        self.last_tick: Optional[Tick] = None
        self.last_rescan = 0.0  # time.monotonic() of the latest full rescan
        self._snapshot: Optional[Snapshot] = None
        self._lock = threading.Lock()
        # Set while a tick runs: a tick that raised may have left the tracker
        # half updated, so the next tick lists everything again.
        self._unsure = False

    @property
    def snapshot(self) -> Snapshot:
        """The latest snapshot (a full tick first when there is none)."""
        snapshot = self._snapshot
        if snapshot is None:
            self.tick()
            snapshot = self._snapshot
            assert snapshot is not None
        return snapshot

    def tick(self, paths: Optional[Iterable[str]] = None) -> Tick:
        """Brings the snapshot up to date: a full rescan when `paths` is
        None, otherwise only the named paths are looked at (a full rescan,
        too, after a tick that raised)."""
        with self._lock:
            started = time.perf_counter()
            previous = self._snapshot
            named = 0
            if previous is None:
                self.ledger.restore()  # the saved dialects before the first listing
            unsure, self._unsure = self._unsure, True
            if paths is None or previous is None or unsure:
                listing, kind = self.tracker.rescan(), "rescan"
            else:
                names = list(paths)
                named, rescans = len(names), self.tracker.rescans
                listing = self.tracker.update(names)
                kind = "update" if self.tracker.rescans == rescans else "rescan"
            if kind == "rescan":
                self.last_rescan = time.monotonic()
            engine: Dict[str, Any] = {}
            refreshed = 0.0
            # With a read to retry, the engine is given every file again.
            clean = kind == "update" and previous is not None and not previous.scan["errors"]
            if clean and previous is not None and self.tracker.unchanged:
                # Nothing the engine reads changed (no entry, and no log
                # rewritten in place: its ctime would have moved), and the
                # engine has no read to retry: keep the rows; what was
                # skipped may differ.
                snapshot = replace(
                    previous, listing=listing, errors=tuple(listing.errors) + tuple(previous.scan["errors"])
                )
                changed = False
            else:
                refresh_started = time.perf_counter()
                # The engine is told only what changed since its last refresh.
                changes = self.tracker.take_changes()
                snapshot = self.ledger.refresh(listing=listing, changes=changes if clean else None)
                refreshed = time.perf_counter() - refresh_started
                engine = {k: snapshot.scan[k] for k in TICK_SCAN_FIELDS if k in snapshot.scan}
                engine["errors"] = len(snapshot.scan["errors"])
                changed = previous is None or snapshot.changed
            self._snapshot = snapshot
            if changed:
                self.generation += 1
            self.ticks += 1
            tick = Tick(
                time.time(),
                kind,
                named,
                self.tracker.looked_at,
                time.perf_counter() - started,
                changed,
                engine,
                refreshed,
            )
            self.last_tick = tick
            self._unsure = False
            trim = kind == "rescan"
            if changed and time.monotonic() - self._saved_at >= self.save_every:
                trim = self._save() or trim
            if trim:
                # A full reading, or a save, leaves much of the C heap free:
                # give it back, or a server stays as large as they made it.
                from ledgerly._ledger import release_free_heap

                release_free_heap()
            return tick

    def save(self) -> bool:
        """Saves the ledger's state when it changed (see Ledger.save); a
        failure is kept in `save_error`."""
        with self._lock:
            return self._save()

    def _save(self) -> bool:
        if self.ledger.state is None:
            return False
        self._saved_at = time.monotonic()  # a failed save is tried again as late as a done one
        try:
            saved = self.ledger.save()
        except OSError as exc:
            self.save_error = exc
            return False
        self.save_error = None
        return saved
