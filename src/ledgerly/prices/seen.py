"""A model of the logs, with the usage each price key would price
(`ledgerly.price_coverage.models_seen` finds them in a snapshot)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict


@dataclass(frozen=True)
class Seen:
    """A model in the logs: its name, total tokens, and the priced
    quantities of its usage per price key (only the keys it used)."""

    model: str
    total_tokens: int
    parts: Dict[str, int]
