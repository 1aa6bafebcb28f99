"""Incremental token-usage accounting for AI coding-agent session logs.

The work is done by the native module ``ledgerly._native``: create an
``Engine`` and call ``Engine.refresh(manifest, workers, force=False)`` with a
JSON manifest of the log files; it returns the report text and, when the
state changed, a buffer of 104-byte usage records.
"""

import importlib
import sys

from ledgerly._native import Engine

# Initialising the extension publishes its PanicException class on this
# package (the extension module itself keeps Engine as its only attribute).
# When this package is imported again after being dropped from sys.modules
# while the extension stayed loaded, the extension is initialised once more
# (it hands back the same module object) to publish the class here too.
if "PanicException" not in globals():
    del sys.modules["ledgerly._native"]
    importlib.import_module("ledgerly._native")

PanicException = globals()["PanicException"]

__all__ = ["Engine", "PanicException"]
__version__ = "0.1.0"
