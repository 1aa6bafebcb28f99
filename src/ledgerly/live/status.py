"""Where usage stands right now: today, the current 5-hour block, the pace.

`status_for` computes the figures that `ledgerly status`, `ledgerly
watch` and the server's ``/api/v1/status`` show, from one snapshot, with
the same report functions as every other command: today's usage (and per
model) in the report's zone, the active block with its time left and the
total it is heading for, and the burn rate over the last hour. The result
is a plain JSON-ready dict (see docs/api.md for its fields).
"""

from __future__ import annotations

from dataclasses import replace
from typing import Any, Dict, Optional

from ledgerly import timezones as tzs
from ledgerly.block_reports import block_status_for, now_ms
from ledgerly.ledger import Snapshot
from ledgerly.params import Globs, Query, make_query
from ledgerly.prices import PriceTable
from ledgerly.reports import Group, report_for
from ledgerly.timezones import bound_ms

BURN_WINDOW_MS = tzs.HOUR_MS


def _usage(group: Group, priced: bool, keys: bool = False) -> Dict[str, Any]:
    out = {k: v for k, v in group.to_dict(priced).items() if keys or k not in group.key}
    if not priced:
        out["cost"] = None
    # What the usage that has a price costs: the whole cost when `cost` is
    # known, a lower bound when some usage has no price.
    out["priced_cost"] = round(group.priced_cost, 6) if priced else None
    return out


def local_day(now: int, zone: tzs.Zone) -> str:
    """The date (YYYY-MM-DD) in `zone` at instant `now` (Unix ms)."""
    return tzs.format_instant(now, zone)[:10]


def status_for(
    snapshot: Snapshot, query: Query, prices: Optional[PriceTable], now: Optional[int] = None
) -> Dict[str, Any]:
    """The status at `now` (default: the current time) in the query's zone,
    over the rows that match its model and project globs."""
    now = now_ms() if now is None else now
    zone = query.zone
    priced = bool(prices)
    day = local_day(now, zone)
    rows = replace(query, by=("model",), breakdown=False)
    today = report_for(snapshot, replace(rows, low=bound_ms(day, zone, False), high=bound_ms(day, zone, True)), prices)
    current = block_status_for(snapshot, rows, prices, now, window=BURN_WINDOW_MS)
    block: Optional[Dict[str, Any]] = None
    if current.block is not None and current.start is not None and current.end is not None:
        block = {
            "start": tzs.format_instant(current.start, zone),
            "end": tzs.format_instant(current.end, zone),
            "seconds_left": current.time_left // 1000,
            **_usage(current.block, priced),
            "projected_tokens": current.projected_tokens,
            "projected_cost": round(current.projected_cost, 6) if current.projected_cost is not None else None,
        }
    return {
        "now": tzs.format_instant(now, zone),
        "timezone": zone.name,
        "priced": priced,
        "today": dict({"day": day}, **_usage(today.totals, priced)),
        "today_models": [_usage(g, priced, keys=True) for g in today.rows],
        "block": block,
        "burn": {
            "window_minutes": BURN_WINDOW_MS // 60_000,
            "tokens_per_minute": round(current.burn_rate, 3),
            "cost_per_hour": round(current.burn_cost, 6) if current.burn_cost is not None else None,
        },
        "refreshed_at": tzs.format_instant(int(snapshot.refreshed_at * 1000), zone),
        "unreadable": len(snapshot.errors),
    }


def live_status(
    snapshot: Snapshot,
    zone: tzs.Zone,
    prices: Optional[PriceTable] = None,
    model: Globs = None,
    project: Globs = None,
    now: Optional[int] = None,
) -> Dict[str, Any]:
    """`status_for` with the zone and the globs as arguments."""
    return status_for(snapshot, make_query((), tz=zone, model=model, project=project), prices, now)
