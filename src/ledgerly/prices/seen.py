"""The models of the logs, with the usage each price key would price."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, List

from ledgerly.prices.rates import KINDS

if TYPE_CHECKING:
    from ledgerly.snapshot import Snapshot


@dataclass(frozen=True)
class Seen:
    """A model in the logs: its name, total tokens, and the priced
    quantities of its usage per price key (only the keys it used)."""

    model: str
    total_tokens: int
    parts: Dict[str, int]


def models_seen(snapshot: Snapshot) -> List[Seen]:
    """Every model of `snapshot`, the most tokens first (ties by name)."""
    import numpy as np

    from ledgerly.params import make_query
    from ledgerly.prices.classes import priced_parts
    from ledgerly.reports import report_for

    report = report_for(snapshot, make_query(("model",), tz="UTC"), None)
    seen = []
    for group in report.rows:
        parts = priced_parts(np.asarray([group.tokens], dtype=np.int64))[0].tolist()
        used = {key: int(part) for key, part in zip(KINDS, parts) if part}
        seen.append(Seen(str(group.key["model"]), group.total_tokens, used))
    seen.sort(key=lambda s: (-s.total_tokens, s.model))
    return seen
