"""Usage limits per 5-hour block, per day and per month, and where usage
stands against them.

The ``[limits]`` table of the config file holds any of::

    [limits]
    block_tokens = 4_000_000     # tokens in one 5-hour block
    block_cost = 15.0            # cost of one block, in the price table's currency
    day_tokens = 20_000_000      # tokens in one day (in the report's zone)
    day_cost = 60.0
    month_tokens = 400_000_000   # tokens in one calendar month
    month_cost = 900.0

Token limits run from 1 to 2**63 - 1, cost limits from a millionth to
the highest price a price table accepts (`prices.MAX_PRICE`); anything
else is refused with the file, line and key, so that every percentage is
a finite number. `Limits.largest_block` (``--limit max``) takes the block
limits from the largest block that has closed so far instead.

`limit_uses` measures the current block, day and month against the
limits: how much is used, the percentage, whether the limit is passed,
and when the current pace (the last hour's) reaches it within the
period. A cost is measured by the usage that has a price (a lower bound
when some usage has none, which is then `partial`). Passing a limit is
information, never an error. The arithmetic cannot overflow, whatever
the limits: a percentage or a time that no float holds is None (null in
JSON), never infinite.
"""

from __future__ import annotations

import calendar
import math
import operator
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Dict, FrozenSet, List, Mapping, Optional, Tuple

from ledgerly import timezones as tzs
from ledgerly.codes import LIMIT_NAMES
from ledgerly.prices.rates import MAX_PRICE
from ledgerly.tomlfile import KeyPath, TomlFile

if TYPE_CHECKING:  # numpy comes with these; the config reads limits without it
    from ledgerly.block_reports import BlockStatus
    from ledgerly.params import Query
    from ledgerly.prices import PriceTable
    from ledgerly.reports import Group, Report
    from ledgerly.snapshot import Snapshot

FROM_CONFIG = "config"
FROM_LARGEST = "largest block"

# The bounds of a limit: tokens fit the engine's 64-bit counts, and a cost
# limit is at least a millionth (of the price table's currency) and at most
# the highest price per million tokens.
MAX_TOKENS = 2**63 - 1
MIN_COST = 1e-6
MAX_COST = MAX_PRICE


@dataclass(frozen=True)
class Limits:
    """Limits by name (`LIMIT_NAMES`, in that order; tokens as int, costs
    as float). `largest_block` (``--limit max``): the block limits are the
    usage of the largest block that has closed so far, which
    `with_largest_block` fills in (`resolved`); they stay right until
    `until` (Unix ms: the end of the block open when they were found; None
    when none was) or until the usage changes."""

    values: Mapping[str, float]
    largest_block: bool = False
    resolved: bool = False
    until: Optional[int] = None
    # The limits that are lower bounds themselves: the largest block's cost
    # when some of that block's usage has no price.
    lower_bounds: FrozenSet[str] = frozenset()

    def fresh(self, now: int) -> bool:
        """Whether these limits need no finding out at `now` for the same
        usage: limits without --limit max, or resolved ones still right."""
        return not self.largest_block or (self.resolved and (self.until is None or now < self.until))

    def __bool__(self) -> bool:
        return bool(self.values) or self.largest_block

    def source(self, name: str) -> str:
        return FROM_LARGEST if self.largest_block and name.startswith("block_") else FROM_CONFIG

    def of_period(self, period: str) -> Limits:
        """The limits of one period ("block", "day" or "month")."""
        values = {name: v for name, v in self.values.items() if name.startswith(period + "_")}
        lower = frozenset(name for name in self.lower_bounds if name in values)
        return replace(self, values=values, largest_block=self.largest_block and period == "block", lower_bounds=lower)


NO_LIMITS = Limits({})


def parse_limits(doc: TomlFile, table: Any, path: KeyPath = ("limits",)) -> Limits:
    """Validates the ``[limits]`` table `table` found at `path` in `doc`.
    Raises ConfigError naming the line and what is wrong."""
    if not isinstance(table, dict):
        raise doc.error(path, "must be a table of limits (keys: %s)" % ", ".join(LIMIT_NAMES))
    values: Dict[str, float] = {}
    for key, value in table.items():
        where = path + (key,)
        if key not in LIMIT_NAMES:
            raise doc.error(where, "unknown limit (expected one of %s)" % ", ".join(LIMIT_NAMES))
        if key.endswith("_tokens"):
            if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= MAX_TOKENS:
                raise doc.error(
                    where, "a token limit must be a whole number from 1 to %d, not %s" % (MAX_TOKENS, _shown(value))
                )
            values[key] = int(value)
        else:
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise doc.error(where, "a cost limit must be a number, not %s" % type(value).__name__)
            if not MIN_COST <= value <= MAX_COST:  # also false for nan
                raise doc.error(
                    where, "a cost limit must be a number from %g to %g, not %s" % (MIN_COST, MAX_COST, _shown(value))
                )
            values[key] = float(value)
    return Limits({name: values[name] for name in LIMIT_NAMES if name in values})


def _shown(value: Any) -> str:
    """A refused value as an error message shows it: at most 40 characters."""
    text = repr(value)
    return text if len(text) <= 40 else "%s... (%d characters)" % (text[:20], len(text))


def limits_with(limits: Optional[Limits], largest_block: bool) -> Limits:
    """The config's `limits` (None: none), with the block limits to be the
    largest block's when `largest_block` (``--limit max``)."""
    base = limits or NO_LIMITS
    return replace(base, largest_block=True) if largest_block else base


# ---------------------------------------------------------------------------
# Measuring


@dataclass(frozen=True)
class LimitUse:
    """One limit against the usage of its current period.

    `used` is tokens, or the cost of the usage that has a price (`partial`:
    some of the period's usage has none, so the cost is at least `used`);
    None for a cost limit without a price table. `start` and `end` bound the
    period (Unix ms; None for a block limit while no block is open).
    `reaches_at` is when the last hour's pace reaches the limit, None when
    that is not within the period (or the pace is zero, or the limit is
    already reached). `limit_partial`: the limit is a lower bound itself
    (``--limit max`` with a largest block whose usage is not all priced)."""

    name: str
    limit: float
    used: Optional[float]
    partial: bool
    start: Optional[int]
    end: Optional[int]
    reaches_at: Optional[int]
    source: str = FROM_CONFIG
    limit_partial: bool = False

    @property
    def period(self) -> str:
        return self.name.split("_")[0]

    @property
    def measure(self) -> str:
        return self.name.split("_")[1]

    @property
    def percent(self) -> Optional[float]:
        """`used` as a percentage of the limit; None when the use is not
        known or the percentage is too large for a float."""
        return None if self.used is None else percent_of(self.used, self.limit)

    @property
    def passed(self) -> bool:
        """Usage above the limit (at exactly the limit it is reached, not passed)."""
        return self.used is not None and self.used > self.limit

    def to_dict(self, zone: tzs.Zone) -> Dict[str, Any]:
        def when(ms: Optional[int]) -> Optional[str]:
            return None if ms is None else tzs.format_instant(ms, zone)

        tokens = self.measure == "tokens"
        percent = self.percent
        return {
            "name": self.name,
            "period": self.period,
            "limit": int(self.limit) if tokens else self.limit,
            "source": self.source,
            "used": None if self.used is None else (int(self.used) if tokens else round(self.used, 6)),
            "partial": self.partial,
            "percent": None if percent is None else round(percent, 1),
            "passed": self.passed,
            "start": when(self.start),
            "end": when(self.end),
            "reaches_at": when(self.reaches_at),
            "limit_partial": self.limit_partial,
        }


def _number(value: float) -> float:
    """`value` as a Python int (any whole number, numpy's included, so
    that it cannot wrap) or float."""
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        return float(value)


def percent_of(used: float, limit: float) -> Optional[float]:
    """`used` as a percentage of `limit`: a finite float, or None when it
    is too large to be one (whole numbers are divided exactly)."""
    try:
        value = _number(used) * 100 / _number(limit)
    except (OverflowError, ZeroDivisionError):
        return None
    return value if math.isfinite(value) else None


def month_bounds(day: str, zone: tzs.Zone) -> Tuple[int, int]:
    """The instants (Unix ms, half-open) of the month of `day` (YYYY-MM-DD) in `zone`."""
    year, month = int(day[:4]), int(day[5:7])
    last = calendar.monthrange(year, month)[1]
    low = tzs.bound_ms("%04d-%02d-01" % (year, month), zone, False)
    high = tzs.bound_ms("%04d-%02d-%02d" % (year, month, last), zone, True)
    assert low is not None and high is not None
    return low, high


def _reaches(
    used: Optional[float], limit: float, per_ms: Optional[float], now: int, end: Optional[int]
) -> Optional[int]:
    """When usage `used` growing by `per_ms` per millisecond reaches
    `limit`, if that is before `end`. The wait is compared with the time
    left before it is rounded, so that a pace too slow to reach the limit
    within any float gives None rather than an overflow."""
    if used is None or per_ms is None or end is None or not used < limit or not per_ms > 0:
        return None
    try:
        wait = (_number(limit) - _number(used)) / per_ms
    except (OverflowError, ZeroDivisionError):
        return None
    if not wait < end - now:  # also false for an infinite wait
        return None
    at = now + math.ceil(wait)
    return at if at < end else None


def largest_block(
    snapshot: Snapshot, query: Query, prices: Optional[PriceTable], now: int
) -> Tuple[Optional[int], Optional[float], Optional[int], bool]:
    """The most tokens and the highest priced cost (None without prices)
    of any block that closed before `now`, over the rows that match the
    query's model and project globs (its range does not matter), both None
    when no block has closed; the end of the block open at `now`, when
    the answer may change without new usage (None when none is open); and
    whether some usage of the block with that cost has no price (the cost
    is then at least that)."""
    from ledgerly.block_reports import blocks_for
    from ledgerly.params import BLOCK

    whole = blocks_for(snapshot, replace(query, by=(BLOCK,), low=None, high=None, breakdown=False), prices, now)
    closed = [g for g in whole.rows if not g.key["active"]]
    if not closed:
        return None, None, whole.active_until, False
    tokens = max(g.total_tokens for g in closed)
    if not prices:
        return tokens, None, whole.active_until, False
    costliest = max(closed, key=lambda g: g.priced_cost)
    return tokens, costliest.priced_cost, whole.active_until, costliest.cost is None


def with_largest_block(
    limits: Limits, snapshot: Snapshot, query: Query, prices: Optional[PriceTable], now: int
) -> Limits:
    """`limits` with the block limits set to the largest closed block's
    usage when `limits.largest_block` (none when no block has closed).
    No cost limit when the largest block's priced usage cost less than
    the least cost limit the config accepts (`MIN_COST`)."""
    if not limits.largest_block or limits.resolved:
        return limits
    tokens, cost, until, partial = largest_block(snapshot, query, prices, now)
    values = {k: v for k, v in limits.values.items() if not k.startswith("block_")}
    if tokens:
        values["block_tokens"] = tokens
    if cost is not None and cost >= MIN_COST:
        values["block_cost"] = cost
    lower = frozenset(["block_cost"]) if partial and "block_cost" in values else frozenset()
    return Limits({n: values[n] for n in LIMIT_NAMES if n in values}, True, True, until, lower)


def with_block_limits(
    report: Report, snapshot: Snapshot, query: Query, prices: Optional[PriceTable], limits: Limits, now: int
) -> Report:
    """A blocks report (made at `now`) with the use of `limits`' block
    limits by the current block (`Report.limits`)."""
    uses = limit_uses(snapshot, query, prices, limits.of_period("block"), now)
    return replace(report, limits=tuple(use.to_dict(query.zone) for use in uses))


def limit_uses(
    snapshot: Snapshot,
    query: Query,
    prices: Optional[PriceTable],
    limits: Limits,
    now: int,
    current: Optional[BlockStatus] = None,
    today: Optional[Group] = None,
) -> List[LimitUse]:
    """Every limit of `limits` against the current block, day and month
    (in the query's zone) at `now`, over the rows that match the query's
    globs. `current` (the block status at `now`, with a one-hour pace) and
    `today` (today's usage) are computed when not given. The block limits
    of ``--limit max`` are filled in here unless `limits` is resolved."""
    from ledgerly.block_reports import block_status_for
    from ledgerly.reports import report_for

    limits = with_largest_block(limits, snapshot, query, prices, now)
    if not limits.values:
        return []
    zone = query.zone
    rows = replace(query, by=(), breakdown=False)
    if current is None:
        current = block_status_for(snapshot, rows, prices, now)
    day = tzs.format_instant(now, zone)[:10]
    day_low, day_high = tzs.bound_ms(day, zone, False), tzs.bound_ms(day, zone, True)
    assert day_low is not None and day_high is not None
    periods: Dict[str, Tuple[Optional[Group], Optional[int], Optional[int]]] = {
        "block": (current.block, current.start, current.end)
    }
    names = limits.values
    if any(n.startswith("day_") for n in names):
        if today is None:
            today = report_for(snapshot, replace(rows, low=day_low, high=day_high), prices).totals
        periods["day"] = (today, day_low, day_high)
    if any(n.startswith("month_") for n in names):
        low, high = month_bounds(day, zone)
        periods["month"] = (report_for(snapshot, replace(rows, low=low, high=high), prices).totals, low, high)

    out = []
    for name, limit in names.items():
        usage, start, end = periods[name.split("_")[0]]
        if name.endswith("_tokens"):
            used: Optional[float] = usage.total_tokens if usage is not None else 0
            partial = False
            per_ms: Optional[float] = current.burn_rate / 60_000
        elif prices:
            used = usage.priced_cost if usage is not None else 0.0
            partial = usage is not None and usage.cost is None
            per_ms = current.burn_priced_cost / 3_600_000 if current.burn_priced_cost is not None else None
        else:
            used, partial, per_ms = None, False, None
        reaches = _reaches(used, limit, per_ms, now, end)
        out.append(
            LimitUse(name, limit, used, partial, start, end, reaches, limits.source(name), name in limits.lower_bounds)
        )
    return out
