"""The warm state: where a ledger's state waits between two commands.

A `Ledger` given a state file (`Ledger(sources, state=state_path(sources))`)
starts from the state saved there, so that a command run a minute after
another reads only what changed since, and saves the state again when it
changed. This package is the whole of that protocol; docs/state-file.md
tells it with its figures.

- **The folder** (`folder.py`). One file per set of sources,
  ``<key>.state``, in the cache folder: ``$LEDGERLY_CACHE_DIR`` when set,
  otherwise platformdirs' user cache folder for ledgerly. The key hashes
  the sources in order with their forced dialects (everything that shapes
  the manifest). The folder is made private (0700); one that others may
  write or that another user owns is refused: nothing is loaded from it
  or saved to it. `list_states` and `clear_states` serve `ledgerly cache`.
- **The state file** (`state_file.py`). The engine's own checked file,
  whose extra bytes carry the host part: the package version and build,
  the sources, the dialect table and the manifest of the engine's last
  refresh. A state made by another build or for other sources is refused.
  It is written to a new file made in the same step as its name and
  renamed into place, and read through the one descriptor its owner and
  mode were checked on.
- **The rows file** (`rows_file.py`). Beside each state, the rows of the
  refresh whose manifest the state keeps, as compact columns; it answers a
  first listing that gives that very manifest without loading the engine.
- **The restore** (`restore.py`). The host part's checked start is read
  and the dialects restored at once; the rows file is checked and mapped
  on a thread while the listing runs. It answers when the listing is the
  one it was written for; otherwise its rows are what the ledger starts
  from, and the engine, loaded on another thread as soon as it is known
  to be needed, hands over only what changed since (its first delta).
- **The bookkeeping and the policy** (`state.py`, `SavedState`). What
  changed since the state was loaded or saved, and when a save is worth
  it: always after a cold read; for a one-shot command otherwise once the
  saved file is a minute old or what the next command would read again is
  a sixteenth of the file; for live views on their own schedule.

Every failure to load is a cold answer (the reason under ``--verbose``);
every failure to save leaves the answer alone. Commands that run at the
same time each load, refresh and save on their own: the last one to save
wins, and every answer is correct whichever state it started from.
"""

from __future__ import annotations

from ledgerly.saved.folder import (
    STATE_SUFFIX,
    StateInfo,
    cache_dir,
    cache_disabled,
    clear_states,
    list_states,
    state_path,
)
from ledgerly.saved.state import SavedState
from ledgerly.saved.state_file import StateRefused

__all__ = [
    "STATE_SUFFIX",
    "SavedState",
    "StateInfo",
    "StateRefused",
    "cache_dir",
    "cache_disabled",
    "clear_states",
    "list_states",
    "state_path",
]
