"""Where usage stands right now: today, the current 5-hour block, the pace.

`status_for` computes the figures that `ledgerly status`, `ledgerly
watch` and the server's ``/api/v1/status`` show, from one snapshot, with
the same report functions as every other command: today's usage (and per
model) in the report's zone, the active block with its time left and the
total it is heading for, the burn rate over the last hour, and the use
of the limits (`ledgerly.limits`); `session_usage` adds one session's
usage. The result is a plain JSON-ready dict (see docs/api.md for its
fields).
"""

from __future__ import annotations

from dataclasses import replace
from typing import Any, Dict, Optional

from ledgerly import timezones as tzs
from ledgerly.block_reports import block_status_for, now_ms
from ledgerly.limits import Limits, limit_uses
from ledgerly.params import Globs, Query, SessionQuery, make_query
from ledgerly.prices import PriceTable
from ledgerly.reports import Group, currency_of, report_for
from ledgerly.snapshot import Snapshot
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


def _round(cost: Optional[float]) -> Optional[float]:
    return None if cost is None else round(cost, 6)


def local_day(now: int, zone: tzs.Zone) -> str:
    """The date (YYYY-MM-DD) in `zone` at instant `now` (Unix ms)."""
    return tzs.format_instant(now, zone)[:10]


def status_for(
    snapshot: Snapshot,
    query: Query,
    prices: Optional[PriceTable],
    now: Optional[int] = None,
    limits: Optional[Limits] = None,
) -> Dict[str, Any]:
    """The status at `now` (default: the current time) in the query's zone,
    over the rows that match its model and project globs; with `limits`,
    the use of each against its current period."""
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
            "projected_cost": _round(current.projected_cost),
            "projected_priced_cost": _round(current.projected_priced_cost),
        }
    uses = limit_uses(snapshot, rows, prices, limits, now, current, today.totals) if limits else []
    data = {
        "now": tzs.format_instant(now, zone),
        "timezone": zone.name,
        "priced": priced,
        "today": dict({"day": day}, **_usage(today.totals, priced)),
        "today_models": [_usage(g, priced, keys=True) for g in today.rows],
        "block": block,
        "burn": {
            "window_minutes": BURN_WINDOW_MS // 60_000,
            "tokens_per_minute": round(current.burn_rate, 3),
            "cost_per_hour": _round(current.burn_cost),
            "priced_cost_per_hour": _round(current.burn_priced_cost),
        },
        "refreshed_at": tzs.format_instant(int(snapshot.refreshed_at * 1000), zone),
        "unreadable": len(snapshot.errors),
        "limits": [use.to_dict(zone) for use in uses],
    }
    if priced:
        data["currency"] = currency_of(prices)
    return data


def session_usage(snapshot: Snapshot, query: Query, prices: Optional[PriceTable], which: str) -> Dict[str, Any]:
    """The whole usage of the session `which` (an id or the path of a log,
    see `ledgerly.sessions.find_session`), over the query's globs at any
    time: the fields of a session row, with `cost` and `priced_cost` as in
    `today`; the status's `session`. Raises SessionError."""
    from ledgerly.sessions import summary_for

    found = summary_for(snapshot, SessionQuery(replace(query, low=None, high=None, by=()), id=which), prices)
    priced = bool(prices)
    out = found.key()
    out.update(_usage(found.usage, priced))
    out["subagent_tokens"] = found.subagents.total_tokens
    return out


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
