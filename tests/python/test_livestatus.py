"""The live status: the current block found from the latest events equals
the one found from the whole history; the status data and its one-line
templates."""

import random

import pytest

from ledgerly.block_reports import block_status, blocks
from ledgerly.cli.statusline import TemplateError, default_line, render
from ledgerly.live.status import live_status
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
