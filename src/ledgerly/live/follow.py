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
import os
import time
from typing import Awaitable, Callable, List, Optional, Tuple

from ledgerly.live.server import LiveServer

ROOT_CHECK = 1.0  # seconds between looks at whether a source was replaced, removed or made again


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
            await _notified(server, paths, stop, rescan, tick)
            return
        except Exception as exc:  # a notifier that cannot start or fails: fall back to polling
            if stop.is_set():
                return
            warn("file-system notifications failed (%s); rescanning every %g s instead" % (exc, interval))
            server.mode = "poll"
            server.unwatched = []
    while not stop.is_set():
        if await _stopped(stop, interval):
            return
        await tick(None)


async def _notified(
    server: LiveServer,
    paths: List[str],
    stop: asyncio.Event,
    rescan: float,
    tick: Callable[[Optional[List[str]]], Awaitable[None]],
) -> None:
    """Ticks on notifications until `stop` is set.

    A notifier watches what a source was when it began: a single-file
    source replaced by a rename, or a source folder removed and made again,
    is no longer watched. So every `ROOT_CHECK` seconds the sources' own
    identities are compared with those the watch began with; when one
    differs (replaced, gone, back), everything is listed again and the
    watch starts afresh on the sources that exist. Those that do not are
    shown as `unwatched` in the scan, and looked for every `ROOT_CHECK`
    seconds."""
    from watchfiles import awatch

    live = server.live
    # What changed between the server's first reading and the start of the
    # watch raised no notification: the first step of every watch, the
    # first one included, lists everything again.
    restarted = True
    while not stop.is_set():
        roots = {path: _identity(path) for path in paths}
        present = [path for path in paths if roots[path] is not None]
        server.unwatched = [path for path in paths if roots[path] is None]
        if present:
            async for changes in awatch(
                *present,
                watch_filter=None,
                debounce=200,
                step=20,
                stop_event=stop,
                rust_timeout=int(ROOT_CHECK * 1000),
                yield_on_timeout=True,
                ignore_permission_denied=True,
            ):
                if stop.is_set():
                    return
                if restarted or time.monotonic() - live.last_rescan >= rescan:
                    # Once a new watch runs: what changed before it began.
                    restarted = False
                    await tick(None)
                elif changes:
                    await tick(sorted({path for _change, path in changes}))
                if any(_identity(path) != roots[path] for path in paths):
                    break
            else:
                return  # the notifier ended: stop was set
        else:
            if await _stopped(stop, ROOT_CHECK):
                return
            if time.monotonic() - live.last_rescan >= rescan:
                await tick(None)
            if all(_identity(path) == roots[path] for path in paths):
                continue
        await tick(None)
        restarted = True


def _identity(path: str) -> Optional[Tuple[int, int]]:
    """The (device, inode) of `path`, or None when it does not exist."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


async def _stopped(stop: asyncio.Event, seconds: float) -> bool:
    """Waits `seconds` or until `stop` is set; whether it was."""
    try:
        await asyncio.wait_for(stop.wait(), timeout=seconds)
    except asyncio.TimeoutError:
        return False
    return True
