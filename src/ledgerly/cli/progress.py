"""Running a refresh from the command line, with a progress bar when it is slow.

The refresh runs on a worker thread. The engine releases the interpreter
lock while it reads, so the main thread is free meanwhile: it imports what
the report needs and, when the refresh is still going after a short delay
and stderr is a terminal, draws a progress bar. The bar's position is the
process's count of bytes read (``rchar`` in /proc/self/io) against the bytes
the refresh has to read; where that counter is not available the bar is an
indeterminate spinner. Watching costs one small read of /proc five times a
second, nothing inside the refresh itself.
"""

from __future__ import annotations

import sys
import threading
from typing import Callable, ClassVar, List, Optional, TextIO

from ledgerly.ledger import Ledger
from ledgerly.listing import Listing
from ledgerly.snapshot import Snapshot

SHOW_AFTER = 0.3  # seconds before a bar appears
POLL = 0.2  # seconds between looks at the read counter


def read_bytes() -> Optional[int]:
    """Bytes this process has read so far (rchar), or None where unknown."""
    try:
        with open("/proc/self/io", "rb") as f:
            for line in f:
                if line.startswith(b"rchar:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


class Refresh:
    """One refresh on a worker thread and, with `save`, the save of the
    ledger's state after it on the same thread (the caller goes on with
    the snapshot meanwhile; `finish_saves` waits). `running` lists those
    whose thread has not ended (the entry point must not wait for a thread
    it cannot stop)."""

    running: ClassVar[List[Refresh]] = []

    started: ClassVar[List[Refresh]] = []

    def __init__(self, ledger: Ledger, listing: Listing, force: bool = False, save: bool = False) -> None:
        self.ledger, self.listing, self.force, self.save = ledger, listing, force, save
        self.result: Optional[Snapshot] = None
        self.error: Optional[BaseException] = None
        self.save_error: Optional[OSError] = None
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._work, name="ledgerly-refresh", daemon=True)

    def _work(self) -> None:
        try:
            self.result = self.ledger.refresh(self.force, self.listing)
        except BaseException as exc:  # handed to the waiting thread
            self.error = exc
        finally:
            self.done.set()
        try:
            if self.save and self.error is None:
                self.ledger.save(economical=True)
        except OSError as exc:  # the answer stands; the next command reads more
            self.save_error = exc
        finally:
            Refresh.running.remove(self)

    def start(self) -> Refresh:
        Refresh.running.append(self)
        if self.save:
            Refresh.started.append(self)
        self.thread.start()
        return self

    def wait(self, timeout: float) -> bool:
        """Waits up to `timeout` seconds; True when the refresh has ended.
        Interruptible by Ctrl-C."""
        return self.done.wait(timeout)

    def outcome(self) -> Snapshot:
        if self.error is not None:
            raise self.error
        assert self.result is not None
        return self.result


def in_background(work: Callable[[], None]) -> Callable[[], None]:
    """Starts `work` on a thread of its own now (an import that the native
    listing, which leaves the interpreter free, can overlap); returns the
    function that waits for it and raises what it raised."""
    failed: List[BaseException] = []

    def run() -> None:
        try:
            work()
        except BaseException as exc:  # handed to the waiting thread
            failed.append(exc)

    thread = threading.Thread(target=run, name="ledgerly-import", daemon=True)
    thread.start()

    def wait() -> None:
        thread.join()
        if failed:
            raise failed[0]

    return wait


def any_running() -> bool:
    return any(r.thread.is_alive() for r in list(Refresh.running))


def finish_saves() -> List[Refresh]:
    """Waits for the saves that refreshes started; returns those refreshes."""
    jobs, Refresh.started = Refresh.started, []
    for job in jobs:
        job.thread.join()
    return jobs


def run_refresh(
    ledger: Ledger,
    listing: Listing,
    stream: TextIO = sys.stderr,
    show: Optional[bool] = None,
    meanwhile: Optional[Callable[[], None]] = None,
    force: bool = False,
    show_after: float = SHOW_AFTER,
) -> Snapshot:
    """Refreshes `ledger` with `listing` on a worker thread and returns the
    snapshot; a ledger with a state file then saves it on that thread.
    `meanwhile` runs on this thread while the refresh goes on. A progress
    bar is drawn on `stream` when `show` (default: `stream` is a terminal)
    and the refresh takes longer than `show_after` seconds."""
    if show is None:
        show = stream.isatty()
    before = read_bytes()
    job = Refresh(ledger, listing, force, save=ledger.state is not None).start()
    if meanwhile is not None:
        meanwhile()
    if job.wait(show_after) or not show:
        while not job.wait(POLL * 5):
            pass
        return job.outcome()
    _draw(job, stream, listing.total_bytes, before)
    return job.outcome()


def _draw(job: Refresh, stream: TextIO, total: int, before: Optional[int]) -> None:
    from rich.console import Console
    from rich.progress import BarColumn, DownloadColumn, Progress, SpinnerColumn, TextColumn, TimeRemainingColumn

    console = Console(file=stream, force_terminal=True)  # only called when a bar was asked for
    known = before is not None and total > 0
    columns = (
        [TextColumn("reading logs"), BarColumn(), DownloadColumn(), TimeRemainingColumn()]
        if known
        else [SpinnerColumn(), TextColumn("reading logs")]
    )
    with Progress(*columns, console=console, transient=True, refresh_per_second=5) as bar:
        task = bar.add_task("read", total=total if known else None)
        while not job.wait(POLL):
            if known:
                now = read_bytes()
                if now is not None and before is not None:
                    bar.update(task, completed=min(total, now - before))
