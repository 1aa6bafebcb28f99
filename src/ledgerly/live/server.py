"""The local server's state: one live ledger, its settings, the answer
cache and the event-stream listeners.

An ASGI application (`ledgerly.live.routes`) served by uvicorn answers
from one `LiveLedger` that stays warm (`ledgerly.live.follow` keeps it
current). Answers are computed on worker threads (the engine and numpy
release the interpreter lock), so the event loop keeps answering, and
cached per generation of the ledger.
"""

from __future__ import annotations

import asyncio
import importlib.resources
import json
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from ledgerly.live.ticks import LiveLedger
from ledgerly.params import BLOCK, ParameterError, Query, SessionQuery
from ledgerly.prices import PriceTable
from ledgerly.timezones import Zone, format_instant

CACHE_SIZE = 256
STATUS_TTL = 1.0  # seconds a status answer is reused (its clock-based figures move)


class LiveServer:
    """The application's state: the live ledger, settings, the answer cache
    and the event-stream listeners."""

    def __init__(
        self,
        live: LiveLedger,
        zone: Zone,
        prices: Optional[PriceTable],
        token: Optional[str] = None,
        allowed_hosts: Optional[Sequence[str]] = None,
        mode: str = "notify",
        local_token: Optional[str] = None,
    ) -> None:
        self.live = live
        self.zone = zone
        self.prices = prices
        self.token = token
        # A token of this run's own, in the private address file: `ledgerly
        # status` sends it over TCP, so that it needs neither the user's
        # token nor a Unix socket (which Windows lacks).
        self.local_token = local_token
        self.allowed_hosts = None if allowed_hosts is None else {h.lower() for h in allowed_hosts}
        self.mode = mode
        self.unwatched: List[str] = []  # sources the notifier cannot watch now (they do not exist)
        self.started = time.time()
        self.closing = False
        self.streams = 0
        self.tick_failures = 0
        self.last_failure: Optional[Tuple[float, str]] = None  # when (time.time()) and what
        self._cache: Dict[Tuple[Any, ...], Tuple[bytes, float]] = {}
        self._cache_generation = -1
        # Answers are computed on two threads of their own, and ticks on a
        # third. Each thread that allocates gets its own malloc arena, which
        # keeps the freed numpy temporaries of the answers it computed; the
        # event loop's default pool (up to six threads) left the server
        # 70-100 MiB larger after a few dashboard loads over a million rows,
        # and was no faster: two threads already keep both CPUs of a small
        # machine busy with the five answers a dashboard asks for at once.
        # Answers are cached per generation, so only the first requests
        # after a tick wait for a computation.
        self.answer_thread = ThreadPoolExecutor(2, thread_name_prefix="ledgerly-answer")
        self.tick_thread = ThreadPoolExecutor(1, thread_name_prefix="ledgerly-tick")
        # Set at the next change of generation, then replaced: each stream
        # waits on the event of the generation it has sent, so a stream that
        # leaves takes nothing with it (no lock is shared between streams).
        self._next_change: Optional[asyncio.Event] = None
        self._assets: Dict[str, bytes] = {}

    def close(self) -> None:
        """Lets the answer and tick threads end once their current work is
        done (queued work is dropped)."""
        self.answer_thread.shutdown(wait=False, cancel_futures=True)
        self.tick_thread.shutdown(wait=False, cancel_futures=True)

    def tick_failed(self, exc: BaseException) -> Optional[str]:
        """Records a tick that raised; returns a warning to show when its
        error differs from the previous one's (a failure that repeats on
        every tick is shown once, and counted in the scan)."""
        error = "%s: %s" % (type(exc).__name__, exc) if str(exc) else type(exc).__name__
        repeated = self.last_failure is not None and self.last_failure[1] == error
        self.tick_failures += 1
        self.last_failure = (time.time(), error)
        return None if repeated else "a tick failed (%s); the server goes on" % error

    # -- answers

    def next_change(self) -> asyncio.Event:
        """An event that is set when the generation next changes (call on
        the event loop)."""
        if self._next_change is None:
            self._next_change = asyncio.Event()
        return self._next_change

    def notify(self) -> None:
        """Wakes the event streams after a tick that changed the generation
        (call on the event loop)."""
        event, self._next_change = self._next_change, None
        if event is not None:
            event.set()

    async def answer(self, key: Tuple[Any, ...], compute: Callable[[], Tuple[Any, float]]) -> Tuple[bytes, int]:
        """The JSON body for `key` at the current generation, computed on a
        worker thread when not cached. `compute` returns the data and until
        when (time.time()) it stays right."""
        generation = self.live.generation
        if generation != self._cache_generation:
            self._cache.clear()
            self._cache_generation = generation
        now = time.time()
        hit = self._cache.get(key)
        if hit is not None and hit[1] > now:
            return hit[0], generation
        data, valid_until = await asyncio.get_running_loop().run_in_executor(self.answer_thread, compute)
        body = json.dumps(data, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        if self.live.generation == generation:
            if len(self._cache) >= CACHE_SIZE:
                self._cache.clear()
            self._cache[key] = (body, valid_until)
        return body, generation

    def report(self, query: Query) -> Tuple[Any, float]:
        """The JSON of `ledgerly <report> --json`, and until when it stays
        right: a blocks report changes when its active block ends."""
        snapshot = self.live.snapshot
        if query.by == (BLOCK,):
            from ledgerly.block_reports import blocks_for

            result = blocks_for(snapshot, query, self.prices)
            ends = result.active_until
            return result.to_dict(), (ends / 1000 if ends is not None else float("inf"))
        from ledgerly.reports import report_for

        return report_for(snapshot, query, self.prices).to_dict(), float("inf")

    def sessions(self, query: SessionQuery) -> Tuple[Any, float]:
        """The JSON of `ledgerly sessions --json` (with `id`, of one session's
        breakdown). Raises ParameterError (a SessionError) for a session that
        cannot be named or a sort that needs a price table."""
        from ledgerly.sessions import detail_for, sessions_for

        snapshot = self.live.snapshot
        if query.sort == "cost" and not self.prices:
            raise ParameterError("sort", "sorting by cost needs a price table (the server has none)")
        if query.id is not None:
            return detail_for(snapshot, query, self.prices).to_dict(), float("inf")
        return sessions_for(snapshot, query, self.prices).to_dict(), float("inf")

    def status(self, query: Query) -> Tuple[Any, float]:
        from ledgerly.live.status import status_for

        data = status_for(self.live.snapshot, query, self.prices)
        data["generation"] = self.live.generation
        return data, time.time() + STATUS_TTL

    def scan(self) -> Dict[str, Any]:
        snapshot = self.live.snapshot
        listing = snapshot.listing
        tick = self.live.last_tick
        return {
            "generation": self.live.generation,
            "mode": self.mode,
            "unwatched": list(self.unwatched),
            "started_at": format_instant(int(self.started * 1000), self.zone),
            "files": len(listing.files),
            "bytes": listing.total_bytes,
            "skipped": len(listing.skipped),
            "unreadable": len(snapshot.errors),
            "rows": len(snapshot),
            "ticks": self.live.ticks,
            "streams": self.streams,
            "rescans": self.live.tracker.rescans,
            "last_tick": None
            if tick is None
            else dict(tick.to_dict(), at=format_instant(int(tick.at * 1000), self.zone)),
            "engine": {k: v for k, v in snapshot.scan.items() if k != "errors"},
            "tick_failures": self.tick_failures,
            "last_failure": None
            if self.last_failure is None
            else {"at": format_instant(int(self.last_failure[0] * 1000), self.zone), "error": self.last_failure[1]},
        }

    def asset(self, name: str) -> bytes:
        if name not in self._assets:
            self._assets[name] = (importlib.resources.files("ledgerly.live") / "static" / name).read_bytes()
        return self._assets[name]
