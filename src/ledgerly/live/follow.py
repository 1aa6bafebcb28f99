"""Keeping the server's ledger current.

A watcher task turns file-system notifications (watchfiles) into ticks
that re-stat only the changed paths, with a full rescan every `rescan`
seconds as a safety net; without notifications (`poll`) every tick is a
full rescan, every `interval` seconds. Ticks run on the server's tick
thread (the engine releases the interpreter lock), so the event loop
keeps answering. A tick that raises ends nothing: it is counted in the
scan, and the next tick lists everything again.
"""

from __future__ import annotations

import asyncio
import time
from typing import Callable, List, Optional

from ledgerly.live.server import LiveServer


async def follow(
    server: LiveServer,
    paths: List[str],
    stop: asyncio.Event,
    rescan: float,
    interval: float,
    poll: bool,
    warn: Callable[[str], None],
) -> None:
    """Ticks until `stop` is set: on notifications (only the changed paths),
    and a full rescan every `rescan` seconds; or, when `poll` or when
    notifications cannot be had, a full rescan every `interval` seconds."""
    loop = asyncio.get_running_loop()
    live = server.live

    async def tick(changed: Optional[List[str]]) -> None:
        try:
            result = await loop.run_in_executor(server.tick_thread, live.tick, changed)
        except Exception as exc:  # reported in the scan; the next tick lists everything again
            message = server.tick_failed(exc)
            if message is not None:
                warn(message)
            return
        if result.changed:
            server.notify()

    if not poll:
        try:
            from watchfiles import awatch

            timeout = int(max(0.05, min(rescan, 60.0)) * 1000)
            async for changes in awatch(
                *paths,
                watch_filter=None,
                debounce=200,
                step=20,
                stop_event=stop,
                rust_timeout=timeout,
                yield_on_timeout=True,
                ignore_permission_denied=True,
            ):
                if stop.is_set():
                    return
                if time.monotonic() - live.last_rescan >= rescan:
                    await tick(None)
                elif changes:
                    await tick(sorted({path for _change, path in changes}))
            return
        except Exception as exc:  # a notifier that cannot start or fails: fall back to polling
            if stop.is_set():
                return
            warn("file-system notifications failed (%s); rescanning every %g s instead" % (exc, interval))
            server.mode = "poll"
    while not stop.is_set():
        try:
            await asyncio.wait_for(stop.wait(), timeout=interval)
        except asyncio.TimeoutError:
            await tick(None)
