"""The prices in force: the config's globs with the imported versions
after them, read again when the store changes.

A command reads them once (`read`). A long-lived reader, the server, asks
`changed()` now and then, a stat of the store's folder and of its version
files, and `reread()` when it says so: a store that cannot be used at that
moment (a folder that cannot be trusted or listed, a version file that was
readable and no longer is, or one that cannot be read appearing, costs in
two currencies) leaves the prices in use as they were, with one warning
for each new problem, so that a bad store on disk never breaks a running
server or changes its costs behind its back.
"""

from __future__ import annotations

from typing import Callable, Optional, Set

from ledgerly.prices.store import Stamp, StoreError, load_versions, prices_folder, store_stamp
from ledgerly.prices.table import CurrencyMix, PriceTable, combined


class WatchedPrices:
    """The globs `globs` with the versions stored in `folder` (the user's
    store by default). `table` is the table in force; `changes` counts the
    times it changed since the first read."""

    def __init__(self, globs: Optional[PriceTable], folder: Optional[str] = None) -> None:
        self.globs = globs
        self.folder = prices_folder() if folder is None else folder
        self.table: Optional[PriceTable] = globs
        self.changes = 0
        self._stamp: Stamp = None
        self._accepted: Set[str] = set()  # the problems of the table in force
        self._warned: Set[str] = set()

    def read(self, warn: Callable[[str], None]) -> Optional[PriceTable]:
        """The first read, as every command does it: a store that cannot be
        used is a warning and the globs alone price; a version that cannot
        be read is a warning each and the others price. Raises CurrencyMix."""
        self._stamp = store_stamp(self.folder)
        try:
            stored = load_versions(self.folder)
        except StoreError as exc:
            warn("imported prices not used: %s" % exc)
            self.table = self.globs
            return self.table
        for problem in stored.problems:
            warn(problem)
        self.table = combined(self.globs, stored.versions)
        self._accepted = set(stored.problems)
        return self.table

    def changed(self) -> bool:
        """Whether the store looks different from when it was last read."""
        return store_stamp(self.folder) != self._stamp

    def reread(self, warn: Callable[[str], None]) -> bool:
        """Reads the store again; whether the table in force changed. When
        the new store cannot be used the table stays as it was, and each
        reason is a warning once."""
        self._stamp = store_stamp(self.folder)
        kept = "; the prices in use are kept until it is fixed"
        try:
            stored = load_versions(self.folder)
            new = [p for p in stored.problems if p not in self._accepted]
            if new:
                for problem in new:
                    self._warn_once(warn, problem + kept)
                return False
            table = combined(self.globs, stored.versions)
        except (StoreError, CurrencyMix) as exc:
            self._warn_once(warn, "the imported prices changed but cannot be used: %s%s" % (exc, kept))
            return False
        self._accepted = set(stored.problems)
        if _fingerprint(table) == _fingerprint(self.table):
            return False
        self.table = table
        self.changes += 1
        return True

    def _warn_once(self, warn: Callable[[str], None], text: str) -> None:
        if text not in self._warned:
            self._warned.add(text)
            warn(text)


def _fingerprint(table: Optional[PriceTable]) -> object:
    return None if table is None else table.fingerprint()
