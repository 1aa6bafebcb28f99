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
import contextlib
import importlib.resources
import json
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from ledgerly.limits import NO_LIMITS, Limits
from ledgerly.live.ticks import LiveLedger
from ledgerly.params import BLOCK, InsightsQuery, ParameterError, Query, SessionQuery
from ledgerly.prices import PriceTable
from ledgerly.prices.watched import WatchedPrices
from ledgerly.timezones import Zone, format_instant

CACHE_SIZE = 256
STATUS_TTL = 1.0  # seconds a status answer is reused (its clock-based figures move)
INSIGHTS_TTL = 60.0  # seconds insights whose periods end now are reused
PRICES_CHECK = 1.0  # seconds between looks at the imported prices' store


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
        limits: Limits = NO_LIMITS,
        watched_prices: Optional[WatchedPrices] = None,
        warn: Optional[Callable[[str], None]] = None,
    ) -> None:
        self.live = live
        self.zone = zone
        self.prices = prices
        # The imported prices, read again when their store changes
        # (`check_prices`); `prices_changes` counts the changes, which the
        # event stream announces as it announces generations.
        self.watched_prices = watched_prices
        self.prices_changes = 0
        self._prices_checked = 0.0
        self._prices_lock: Optional[asyncio.Lock] = None
        self.warn = warn if warn is not None else (lambda text: None)
        self.limits = limits
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
        # The block limits of --limit max, per generation and globs.
        self._largest: Dict[Tuple[Any, ...], Limits] = {}
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

    async def check_prices(self) -> None:
        """Reads the imported prices again when their store changed (a stat
        of it at most every `PRICES_CHECK` seconds; the read on an answer
        thread); when the prices in force change, the cached answers go and
        the event streams announce it. A store that cannot be used keeps
        the prices as they were (`WatchedPrices.reread` warns once). Call
        on the event loop."""
        watched = self.watched_prices
        now = time.monotonic()
        if watched is None or now - self._prices_checked < PRICES_CHECK:
            return
        self._prices_checked = now
        if self._prices_lock is None:
            self._prices_lock = asyncio.Lock()
        async with self._prices_lock:
            if not watched.changed():
                return
            loop = asyncio.get_running_loop()
            try:
                if not await loop.run_in_executor(self.answer_thread, watched.reread, self.warn):
                    return
            except Exception as exc:  # never an answer's failure: the prices stay as they were
                self.warn("reading the imported prices again failed (%s); the prices in use are kept" % exc)
                return
        table = self.prices = watched.table
        self.prices_changes += 1
        self._cache.clear()
        self._largest.clear()
        self.notify()

        # The ledger's sums per price class were kept for the old prices:
        # until they are kept for the new ones (on the tick thread, from the
        # rows held), answers are computed from the rows, as exactly.
        def keep_sums() -> None:
            try:
                self.live.ledger.keep_aggregates(table)
            except Exception as exc:  # answers stay right without them, only slower
                self.warn("keeping sums for the new prices failed (%s)" % exc)

        with contextlib.suppress(RuntimeError):  # the server is stopping: nothing to keep
            self.tick_thread.submit(keep_sums)

    async def answer(self, key: Tuple[Any, ...], compute: Callable[[], Tuple[Any, float]]) -> Tuple[bytes, int]:
        """The JSON body for `key` at the current generation and prices,
        computed on a worker thread when not cached. `compute` returns the
        data and until when (time.time()) it stays right."""
        await self.check_prices()
        generation = self.live.generation
        if generation != self._cache_generation:
            self._cache.clear()
            self._cache_generation = generation
        now = time.time()
        hit = self._cache.get(key)
        if hit is not None and hit[1] > now:
            return hit[0], generation
        changes = self.prices_changes
        data, valid_until = await asyncio.get_running_loop().run_in_executor(self.answer_thread, compute)
        body = json.dumps(data, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        if self.live.generation == generation and self.prices_changes == changes:
            if len(self._cache) >= CACHE_SIZE:
                self._cache.clear()
            self._cache[key] = (body, valid_until)
        return body, generation

    def report(self, query: Query) -> Tuple[Any, float]:
        """The JSON of `ledgerly <report> --json`, and until when it stays
        right: a blocks report changes when its active block ends (and with
        the server's block limits, as the status does)."""
        snapshot = self.live.snapshot
        if query.by == (BLOCK,):
            from ledgerly.block_reports import blocks_for, now_ms
            from ledgerly.limits import with_block_limits

            now = now_ms()
            result = blocks_for(snapshot, query, self.prices, now)
            if self.limits:
                result = with_block_limits(result, snapshot, query, self.prices, self.limits, now)
            ends = result.active_until
            valid = ends / 1000 if ends is not None else float("inf")
            # The use of the limits moves with the clock (the pace of the last hour).
            return result.to_dict(), min(valid, time.time() + STATUS_TTL) if result.limits else valid
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

    def insights(self, query: InsightsQuery) -> Tuple[Any, float]:
        """The JSON of `ledgerly insights --json`, and until when it stays
        right: its periods run to the current time (unless the query ends
        in the past), so the answer is reused for a minute at most."""
        from ledgerly.block_reports import now_ms
        from ledgerly.insights import insights_for, reference_instant

        now = now_ms()
        found = insights_for(self.live.snapshot, query, self.prices, now)
        moving = reference_instant(query, now) == now
        return found.to_dict(), time.time() + INSIGHTS_TTL if moving else float("inf")

    def status(self, query: Query, largest_block: bool = False, session: Optional[str] = None) -> Tuple[Any, float]:
        """The status data with the server's limits (the block limits the
        largest block's with `largest_block`) and, with `session`, that
        session's usage. Raises ParameterError (`session`) for a session
        that cannot be named."""
        from ledgerly.live.status import session_usage, status_for
        from ledgerly.sessions import SessionError

        snapshot = self.live.snapshot
        data = status_for(snapshot, query, self.prices, limits=self.limits_for(query, largest_block))
        if session is not None:
            try:
                data["session"] = session_usage(snapshot, query, self.prices, session)
            except SessionError as exc:
                raise ParameterError("session", exc.message) from None
        data["generation"] = self.live.generation
        return data, time.time() + STATUS_TTL

    def limits_for(self, query: Query, largest_block: bool) -> Limits:
        """The server's limits for a status over the query's globs; with
        the largest block's as block limits (``serve --limit max``, or
        `largest_block`), found once per generation and block rather than
        per answer (over a million rows that costs about twice the rest of
        a status)."""
        from ledgerly.block_reports import now_ms
        from ledgerly.limits import limits_with, with_largest_block

        limits = limits_with(self.limits, largest_block) if largest_block else self.limits
        now = now_ms()
        if limits.fresh(now):
            return limits
        key = (self.live.generation, query.model, query.project)
        known = self._largest.get(key)
        if known is not None and known.fresh(now):
            return known
        resolved = with_largest_block(limits, self.live.snapshot, query, self.prices, now)
        # Entries of older generations go.
        self._largest = {k: v for k, v in self._largest.items() if k[0] == key[0]}
        self._largest[key] = resolved
        return resolved

    def price_overview(self) -> Tuple[Any, float]:
        """The JSON of `ledgerly prices --json`: the imported versions the
        server prices with, and what its prices cover of its logs."""
        from ledgerly.price_coverage import prices_overview
        from ledgerly.prices.store import prices_folder

        return prices_overview(self.live.snapshot, self.prices, prices_folder()), float("inf")

    def scan(self) -> Dict[str, Any]:
        snapshot = self.live.snapshot
        listing = snapshot.listing
        tick = self.live.last_tick
        return {
            "generation": self.live.generation,
            "mode": self.mode,
            "unwatched": list(self.unwatched),
            "started_at": format_instant(int(self.started * 1000), self.zone),
            "files": listing.file_count,
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
