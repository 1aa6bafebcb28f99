"""The live status: the current block found from the latest events equals
the one found from the whole history; the status data and its one-line
templates."""

import json
import math
import random

import pytest

from ledgerly.block_reports import block_status, blocks
from ledgerly.cli import limitview
from ledgerly.cli.statusline import FIELDS, TemplateError, default_line, render
from ledgerly.limits import Limits, limit_uses, percent_of, with_largest_block
from ledgerly.live.status import live_status, status_for
from ledgerly.params import make_query
from ledgerly.prices import ModelPrice, PriceTable
from ledgerly.timezones import HOUR_MS, resolve_zone

from conftest import ms, record, snapshot_of

NOW = ms("2025-06-01T12:34:56Z")


def current_block_from_all(snapshot, now, model=None):
    """The active block as the whole history gives it (every row sorted)."""
    rows = blocks(snapshot, tz="UTC", until=now, model=model, now=now)
    return rows.rows[-1] if rows.rows and rows.rows[-1].key["active"] else None


def history(seed):
    """Events in bursts separated by pauses around the 5-hour length, some
    bursts longer than any lookback, a few events after `NOW`."""
    rng = random.Random(seed)
    out, t = [], NOW - rng.randrange(1, 40) * 24 * HOUR_MS
    while t < NOW + 2 * HOUR_MS:
        burst_end = t + rng.choice((0, 1, 3, 6, 30, 80)) * HOUR_MS
        while t <= burst_end:
            out.append(record(t, model=rng.randrange(2), tokens=(rng.randrange(1, 900),) + (0,) * 6))
            t += rng.randrange(1, 90) * 60_000
        t += rng.choice((1, 4, 5, 5, 6, 12)) * HOUR_MS + rng.choice((-1, 0, 1, 60_000))
    return out


@pytest.mark.parametrize("seed", range(40))
def test_current_block_from_recent_events_equals_the_whole_history(seed):
    snap = snapshot_of(history(seed), models=("alpha-4-5", "beta-3"))
    rng = random.Random(seed)
    for now in [NOW] + [NOW - rng.randrange(0, 10 * 24 * HOUR_MS) for _ in range(5)]:
        for model in (None, "beta-*"):
            expected = current_block_from_all(snap, now, model)
            status = block_status(snap, now=now, model=model)
            if expected is None:
                assert status.block is None
                continue
            assert status.block is not None and dict(status.block.key) == dict(expected.key)
            assert status.block.tokens == expected.tokens


def test_status_data_and_lines():
    prices = PriceTable((ModelPrice("gamma-*", (1.0,) * 6),))  # priced, but no model here has a price
    assert prices
    records = [
        record(NOW - 2 * HOUR_MS, model=0, tokens=(1000, 0, 200, 0, 0, 0, 0)),
        record(NOW - 20 * 60_000, model=1, tokens=(10, 0, 5, 0, 0, 0, 300)),
    ]
    snap = snapshot_of(records, models=("alpha-4-5", "beta-3"))
    status = live_status(snap, resolve_zone("Asia/Kolkata"), None, now=NOW)
    assert status["today"]["day"] == "2025-06-01" and status["today"]["total_tokens"] == 1515
    block = status["block"]
    assert block["start"] == "2025-06-01T15:30:00+05:30" and block["end"] == "2025-06-01T20:30:00+05:30"
    assert block["total_tokens"] == 1515 and "active" not in block and block["seconds_left"] == 8704
    assert status["burn"]["tokens_per_minute"] == round(315 / 60, 3) and status["burn"]["cost_per_hour"] is None
    assert [m["model"] for m in status["today_models"]] == ["alpha-4-5", "beta-3"]
    assert default_line(status) == "1.5K today | block 2h25m left | 5/min"
    assert render("{{{today_tokens_exact}}} {block_end} {today_cost}", status) == "{1515} 20:30 -"
    assert live_status(snap, resolve_zone("UTC"), prices, now=NOW + 6 * HOUR_MS)["block"] is None
    # Priced, but none of the usage has a price: every cost is unknown, none passes for zero.
    unpriced = live_status(snap, resolve_zone("Asia/Kolkata"), prices, now=NOW)
    assert unpriced["priced"] is True and unpriced["today"]["cost"] is None
    assert unpriced["today"]["priced_cost"] == 0.0 and unpriced["block"]["cost"] is None
    assert unpriced["burn"]["cost_per_hour"] is None and unpriced["block"]["projected_cost"] is None
    assert default_line(unpriced) == "1.5K today - | block 2h25m left | 5/min -/h"
    with pytest.raises(TemplateError, match="unknown field"):
        render("{tokens}", status)
    with pytest.raises(TemplateError, match="unmatched"):
        render("today}", status)


@pytest.mark.parametrize(
    "table, shown",
    [
        (None, "- - - -"),  # no price table
        ({"*": (1.0, None, 1.0, None, None, 1.0)}, "0.0015 0.0015 0.0003 0.0023"),
        # alpha-4-5 priced, beta-3 (the last hour's only usage) not: the priced part, marked +.
        ({"alpha-*": (1.0, None, 1.0, None, None, None)}, "0.0012+ 0.0012+ - 0.0012+"),
        ({"gamma-*": (1.0,) * 6}, "- - - -"),  # nothing here has a price
    ],
)
def test_status_line_costs_show_the_priced_part(table, shown):
    records = [
        record(NOW - 2 * HOUR_MS, model=0, tokens=(1000, 0, 200, 0, 0, 0, 0)),
        record(NOW - 20 * 60_000, model=1, tokens=(10, 0, 5, 0, 0, 0, 300)),
    ]
    snap = snapshot_of(records, models=("alpha-4-5", "beta-3"))
    prices = None if table is None else PriceTable(tuple(ModelPrice(g, p) for g, p in table.items()))
    status = live_status(snap, resolve_zone("Asia/Kolkata"), prices, now=NOW)
    assert render("{today_cost} {block_cost} {burn_cost} {projected_cost}", status) == shown


@pytest.mark.parametrize(
    "value, grouped, currency, shown",
    [
        (1234.5, True, None, "1,234.50"),
        (1234.5, False, "USD", "$1234.50"),
        (0.00421, True, "CHF", "CHF 0.0042"),  # four decimals below a cent
        (1e-6, True, "USD", "$0.000001"),  # the smallest cost limit: never 0.0000
        (3.25e-7, True, None, "0.00000033"),  # two significant digits below 0.0001
        (9.99e-5, True, None, "0.0001"),
        (1e-15, True, "USD", "<$0.000000000001"),
        (-0.5, True, "USD", "-$0.50"),
        (0.0, True, "USD", "$0.00"),
    ],
)
def test_amounts_are_written_with_their_currency_and_never_rounded_to_zero(value, grouped, currency, shown):
    from ledgerly.cli.figures import money

    assert money(value, grouped, currency) == shown


def test_the_status_line_and_the_limit_lines_write_the_currency_as_the_tables_do():
    records = [
        record(NOW - 2 * HOUR_MS, model=0, tokens=(1000, 0, 200, 0, 0, 0, 0)),
        record(NOW - 20 * 60_000, model=1, tokens=(10, 0, 5, 0, 0, 0, 300)),
    ]
    snap = snapshot_of(records, models=("alpha-4-5", "beta-3"))
    prices = PriceTable((ModelPrice("*", (1.0, None, 1.0, None, None, 1.0)),), currency="USD")
    limits = Limits({"day_cost": 1e-6, "day_tokens": 10_000})
    status = status_for(snap, make_query((), tz="Asia/Kolkata"), prices, NOW, limits)
    assert status["currency"] == "USD"
    line = default_line(status)
    assert line.startswith("1.5K today $0.0015 | block 2h25m left | 5/min $0.0003/h"), line
    # A template's fields stay bare numbers: the template writes the sign it wants.
    assert render("{today_cost} {burn_cost}", status) == "0.0015 0.0003"
    shown = limitview.lines(status["limits"], status["now"], currency=status["currency"])
    assert "$0.0015 of $0.000001" in shown[0] and "1,515 of 10,000" in shown[1], shown


def test_limits_against_the_current_block_day_and_month():
    now = ms("2025-06-15T12:34:56Z")
    records = [
        record("2025-05-20T10:00:00Z", model=0, tokens=(5000,) + (0,) * 6),  # last month: the largest block
        record("2025-06-10T08:00:00Z", model=0, tokens=(2000,) + (0,) * 6),  # this month
        record("2025-06-15T11:00:00Z", model=0, tokens=(1000,) + (0,) * 6),  # today, the block of 11:00-16:00
        record("2025-06-15T12:00:00Z", model=1, tokens=(600,) + (0,) * 6),  # the last hour's only usage: 10/min
    ]
    snap = snapshot_of(records, models=("alpha-4-5", "beta-3"))
    prices = PriceTable((ModelPrice("alpha-*", (1.0,) + (None,) * 5),))  # beta-3 has no price
    query = make_query((), tz="UTC")
    limits = Limits(
        {"block_tokens": 2000, "block_cost": 0.01, "day_tokens": 1500, "day_cost": 0.0005, "month_tokens": 10_000}
    )
    uses = {u.name: u.to_dict(query.zone) for u in limit_uses(snap, query, prices, limits, now)}
    got = {n: (u["used"], u["percent"], u["passed"], u["partial"], u["reaches_at"]) for n, u in uses.items()}
    assert got == {
        "block_tokens": (1600, 80.0, False, False, "2025-06-15T13:14:56Z"),  # 400 more at 10 a minute
        "block_cost": (0.001, 10.0, False, True, None),  # no priced pace in the last hour
        "day_tokens": (1600, 106.7, True, False, None),
        "day_cost": (0.001, 200.0, True, True, None),
        "month_tokens": (3600, 36.0, False, False, "2025-06-15T23:14:56Z"),
    }
    assert (uses["block_tokens"]["start"], uses["block_tokens"]["end"]) == (
        "2025-06-15T11:00:00Z",
        "2025-06-15T16:00:00Z",
    )
    assert (uses["month_tokens"]["start"], uses["month_tokens"]["end"]) == (
        "2025-06-01T00:00:00Z",
        "2025-07-01T00:00:00Z",
    )
    # A pace that reaches the limit only after the period has ended gives no time.
    far = limit_uses(snap, query, prices, Limits({"day_tokens": 100_000}), now)[0]
    assert far.reaches_at is None and not far.passed

    # --limit max: the largest block that has closed (the current one does not count).
    largest = {u.name: u for u in limit_uses(snap, query, prices, Limits({}, largest_block=True), now)}
    assert (largest["block_tokens"].limit, largest["block_cost"].limit) == (5000, 0.005)
    assert largest["block_tokens"].used == 1600 and largest["block_tokens"].source == "largest block"
    # Found once, they stay right until the current block closes (then it may be the largest).
    found = with_largest_block(Limits({"day_tokens": 9}, largest_block=True), snap, query, prices, now)
    assert dict(found.values) == {"block_tokens": 5000, "block_cost": 0.005, "day_tokens": 9}
    assert found.until == ms("2025-06-15T16:00:00Z") and found.fresh(found.until - 1) and not found.fresh(found.until)
    assert limit_uses(snap, query, prices, found, now)[0].limit == 5000
    # No block open, no price table: nothing is used, and a cost cannot be measured.
    later = limit_uses(snap, query, None, Limits({"block_tokens": 10, "day_cost": 1.0}), now + 5 * HOUR_MS)
    assert [(u.used, u.start, u.passed) for u in later] == [(0, None, False), (None, ms("2025-06-15T00:00:00Z"), False)]
    assert limit_uses(snap, query, prices, Limits({}, largest_block=True), ms("2025-05-20T11:00:00Z")) == []


@pytest.mark.parametrize(
    "price, values",
    [
        # Limits within the config's bounds, but a pace so slow (a tiny price)
        # that the time to reach them is beyond any float.
        (1e-300, {"block_tokens": 2**63 - 1, "block_cost": 1.0, "day_cost": 1e-6, "month_cost": 1e12}),
        # Limits beyond those bounds, as a program may hand them in.
        (1.0, {"block_tokens": 10**400, "block_cost": 5e-324, "day_tokens": 1, "month_cost": 1e308}),
    ],
    ids=["slow-pace", "unbounded"],
)
def test_percentages_and_times_are_finite_numbers_or_null(price, values):
    now = ms("2025-06-15T12:34:56Z")
    records = [
        record("2025-06-14T08:00:00Z", tokens=(50_000,) + (0,) * 6),  # a closed block
        record("2025-06-15T12:00:00Z", tokens=(1000,) + (0,) * 6),  # the last hour's pace
    ]
    snap = snapshot_of(records, models=("alpha-4-5",))
    prices = PriceTable((ModelPrice("alpha-*", (price,) + (None,) * 5),))
    query = make_query((), tz="UTC")
    for limits in (Limits(values), Limits(values, largest_block=True)):
        status = status_for(snap, query, prices, now, limits)
        json.dumps(status, allow_nan=False)  # valid JSON: no Infinity, no NaN
        for use in status["limits"]:
            assert use["percent"] is None or math.isfinite(use["percent"]), use
            assert use["reaches_at"] is None or use["reaches_at"].startswith("2025-06-1"), use
        # Every view of them: the lines of check and status, the fields of a status line, the blocks columns.
        limitview.lines(status["limits"], status["now"])
        assert render(" ".join("{%s}" % name for name in FIELDS if "_" in name or name == "limit"), status)
        default_line(status)
        for row in blocks(snap, tz="UTC", prices=prices, now=now).rows:
            [cell(row) for _header, cell in limitview.block_columns(status["limits"])]
    # --limit max takes no cost limit from a largest block that cost next to
    # nothing (50,000 tokens at 1e-300 per million): it would be no limit.
    largest = with_largest_block(Limits({}, largest_block=True), snap, query, prices, now)
    assert ("block_cost" in largest.values) == (price > 1e-300)


@pytest.mark.parametrize(
    "used, limit, percent",
    [(3000, 4000, 75.0), (0.5, 2.0, 25.0), (2**63 - 1, 2**63 - 1, 100.0), (10**400, 10**398, 10_000.0)]
    + [(10**400, 1, None), (1.0, 5e-324, None), (1e308, 1e-6, None)],
)
def test_a_percentage_too_large_for_a_float_is_null(used, limit, percent):
    assert percent_of(used, limit) == percent
