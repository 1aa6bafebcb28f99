# Type stub of the native extension module ledgerly._native.
from typing import Optional, SupportsIndex, Tuple, final

@final
class Engine:
    """Incremental accounting state over a set of log files."""

    def __init__(self) -> None: ...
    def refresh(self, manifest: str, workers: SupportsIndex, force: bool = ...) -> Tuple[str, Optional[bytes]]:
        """Reads what changed among the manifest's files. Returns the report
        text (JSON) and, when the accounted state changed or `force` is true,
        the row buffer of 104-byte records."""
        ...
