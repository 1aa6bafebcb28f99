"""A command's saved state: which state a command's ledger starts from,
and what happens to it when the command ends.

Every command that reads logs opens its ledger here, with the state file
of its sources in the cache folder (ledgerly.saved), unless --no-cache or
LEDGERLY_NO_CACHE asks for a cold read that neither loads nor saves.
`run_refresh` saves the state after the refresh, on the refresh's thread,
while the command computes and writes its answer; `settle` waits for
those saves when the command ends and, under --verbose, says why a saved
state (or its cache folder) was not used, or why it or its rows file could
not be saved. Neither changes the answer, so
neither is mentioned otherwise.
"""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple

from ledgerly.cli.options import warn

if TYPE_CHECKING:
    from ledgerly.cli.options import Context
    from ledgerly.ledger import Ledger
    from ledgerly.sources import Source

# The ledgers opened by this command, each with its --verbose.
_opened: List[Tuple[Ledger, bool]] = []
# Those of the command that settled last, kept until the next one settles:
# freeing a large loaded engine takes tens of milliseconds, which a process
# that ends right after its command (cli.entry) need not spend.
_settled: List[Ledger] = []


def state_for(args: argparse.Namespace, sources: Sequence[Source]) -> Optional[str]:
    """The state file for `sources`, or None when the command reads cold."""
    from ledgerly.saved import cache_disabled, state_path

    if getattr(args, "no_cache", False) or cache_disabled():
        return None
    return state_path(sources)


def open_ledger(ctx: Context) -> Ledger:
    """The command's ledger over its sources, with their saved state."""
    return ledger_for(ctx.args, ctx.sources, ctx.workers)


def ledger_for(args: argparse.Namespace, sources: Sequence[Source], workers: Optional[int]) -> Ledger:
    """A ledger of the command over `sources`, with their saved state."""
    from ledgerly.ledger import Ledger

    ledger = Ledger(sources, workers, state=state_for(args, sources))
    _opened.append((ledger, bool(getattr(args, "verbose", False))))
    return ledger


def run_command(args: argparse.Namespace) -> int:
    """Runs a parsed command, then waits for the state it saves (not after
    Ctrl-C: the entry point leaves at once then)."""
    try:
        status: int = args.run(args)
    except KeyboardInterrupt:
        raise
    except BaseException:
        settle()
        raise
    settle()
    return status


def settle() -> None:
    """Waits for the saves still running; under --verbose, one line for a
    saved state that was not used and one for a save that failed."""
    if not _opened:
        return
    from ledgerly.cli.progress import finish_saves

    failed = {id(job.ledger): job.save_error for job in finish_saves() if job.save_error is not None}
    folders = set()
    for ledger, verbose in _opened:
        saved = ledger.saved
        if not verbose or saved is None:
            continue
        if saved.folder_refused is not None:
            folder = os.path.dirname(saved.path)
            if folder not in folders:  # one line for the folder, however many ledgers it held
                folders.add(folder)
                note_folder_refused(folder, saved.folder_refused)
            continue
        note_refused(ledger.state, ledger.refused)
        note_save_error(ledger, failed.get(id(ledger)))
        if saved.rows_error is not None:
            from ledgerly.saved.rows_file import rows_path

            error = saved.rows_error
            warn("the rows file could not be saved to %s: %s" % (rows_path(saved.path), error.strerror or error))
    _settled[:] = [ledger for ledger, _verbose in _opened]
    del _opened[:]


def note_refused(state: Optional[str], reason: Optional[str]) -> None:
    """The line --verbose shows for a saved state that was not used."""
    if reason is not None:
        warn("the saved state %s was not used (%s)" % (state, reason))


def note_folder_refused(folder: str, reason: str) -> None:
    """The line --verbose shows for a cache folder that is not used."""
    from ledgerly.codes import ENV_CACHE_DIR

    warn(
        "the cache folder %s is not used (%s): nothing is loaded from it or saved to it; set %s to a folder "
        "of your own that only you may write" % (folder, reason, ENV_CACHE_DIR)
    )


def note_save_error(ledger: Ledger, error: Optional[OSError]) -> None:
    if error is not None:
        warn("the state could not be saved to %s: %s" % (ledger.state, error.strerror or error))
