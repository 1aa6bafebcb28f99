# Type stub of the native extension module ledgerly._ledger.
from typing import Optional, SupportsIndex, Tuple, final

@final
class Engine:
    """Incremental accounting state over a set of log files, whose export
    also says which file each record came from."""

    def __init__(self) -> None: ...
    def refresh(self, manifest: str, workers: SupportsIndex, force: bool = ...) -> Tuple[str, Optional[bytes]]:
        """Reads what changed among the manifest's files. Returns the report
        text (JSON) and, when the accounted state changed or `force` is true,
        the row buffer: the report's `rows` 104-byte records, then one
        little-endian uint32 per record, in record order, indexing the
        report's `files` table (the paths of the files that own records)."""
        ...
