"""The small codes that manifests and records carry, and the limits the
config and the ledger share.

Kept apart from ledgerly.layout (which needs numpy) so that listing files and
reading options stay light.
"""

from __future__ import annotations

# The environment variable that names log sources (paths separated by os.pathsep).
ENV_SOURCES = "LEDGERLY_SOURCES"

# The cache folder of the saved states, and the switch that leaves them alone.
ENV_CACHE_DIR = "LEDGERLY_CACHE_DIR"
ENV_NO_CACHE = "LEDGERLY_NO_CACHE"

# The most reader threads one refresh runs (the engine's own limit).
MAX_WORKERS = 32

# Dialect codes, as the manifest's `source` and the record's `kind` word use
# them: 0 is the message dialect, any other code the event dialect.
KIND_MESSAGE = 0
KIND_EVENT = 1
DIALECTS = {"message": KIND_MESSAGE, "event": KIND_EVENT}

# The limits of the config's [limits] table: a period and what is counted.
LIMIT_NAMES = ("block_tokens", "block_cost", "day_tokens", "day_cost", "month_tokens", "month_cost")

# Service tier codes 0..4 of the record's `tier` word.
TIER_NAMES = ("unknown", "standard", "fast", "priority", "flex")


def dialect_name(kind: int) -> str:
    """The dialect a record's `kind` word stands for."""
    return "message" if kind == KIND_MESSAGE else "event"
