"""Incremental token-usage accounting for AI coding-agent session logs.

The work is done by the native module ``ledgerly._native``: create an
``Engine`` and call ``Engine.refresh(manifest, workers, force=False)`` with a
JSON manifest of the log files; it returns the report text and, when the
state changed, a buffer of 104-byte usage records.
"""

from ledgerly._native import Engine

# Loading the extension publishes its PanicException class on this package
# (the extension module itself keeps Engine as its only attribute).
PanicException = globals()["PanicException"]

__all__ = ["Engine", "PanicException"]
__version__ = "0.1.0"
