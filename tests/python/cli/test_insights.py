"""`ledgerly insights`: tokens by weekday and hour (in the report's zone,
across clock changes), the sessions' active time, what the cache saved, and
this week and month against the last; the command's JSON and its heat map."""

import json
import os
import re
import tempfile

import pytest

from ledgerly import Ledger, report
from ledgerly.insights import insights
from ledgerly.prices import load_prices
from ledgerly.sources import resolve_sources

from conftest import PRICES, event_log, message_line, ms, write

MINUTE = 60
# An hour's cell: the tokens of every event whose local wall-clock time is in it.
NOW = ms("2025-03-12T15:00:00Z")  # a Wednesday


def alpha(when, key, cwd=None, **tokens):
    return message_line(when, key, "alpha-4-5", cwd=cwd, **tokens)


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    """Three sessions in the week of Monday 2025-03-10, with known hours and
    pauses, and an older session for the previous week and month:

    - a.jsonl: Monday 09:00, 09:10, 09:40, 10:20, 10:25 UTC, 1,110 tokens
      each: pauses of 10, 30 (exactly the idle gap), 40 (longer) and 5
      minutes, so 45 active minutes;
    - b.jsonl and its subagent's log: Wednesday 14:00 and 14:20, then the
      subagent at 14:50 (another file, folded into b): 50 active minutes;
    - c.jsonl: an event-dialect session of one event, Sunday 23:59;
    - d.jsonl: Tuesday 4 and Friday 7 March, 11 and 20 February."""
    root = tmp_path_factory.mktemp("insights") / "logs"
    a = "".join(
        alpha("2025-03-10T%s:00Z" % t, "a%d" % i, "/w/alpha", inp=100, out=10, read=1000)
        for i, t in enumerate(("09:00", "09:10", "09:40", "10:20", "10:25"))
    )
    write(root, "w/a.jsonl", a)
    write(
        root,
        "w/b.jsonl",
        alpha("2025-03-12T14:00:00Z", "b1", "/w/beta", inp=200, out=20, write_5m=500)
        + alpha("2025-03-12T14:20:00Z", "b2", "/w/beta", inp=200, out=20, read=500),
    )
    subagent = message_line("2025-03-12T14:50:00Z", "s1", "beta-3", inp=50, out=5, read=300, cwd="/w/beta")
    write(root, "w/b/subagents/agent-1.jsonl", subagent)
    write(root, "w/c.jsonl", event_log("c", "/w/gamma", "model-x", [("2025-03-16T23:59:00Z", 1000, 400, 100, 0)]))
    write(
        root,
        "w/d.jsonl",
        alpha("2025-02-11T12:00:00Z", "d1", inp=10, out=10)
        + alpha("2025-02-20T12:00:00Z", "d2", inp=20, out=20)
        + alpha("2025-03-04T08:00:00Z", "d3", inp=1, out=1)
        + alpha("2025-03-07T08:00:00Z", "d4", inp=2, out=2),
    )
    return root


def parse_prices(text):
    """A price table from the text of a price file."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "prices.toml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return load_prices(path)


@pytest.fixture(scope="module")
def snapshot(logs):
    return Ledger(resolve_sources([str(logs)]), state=None).refresh()


def cells(matrix):
    """The non-empty cells of a weekday x hour matrix: {(weekday, hour): value}."""
    return {(d, h): v for d, day in enumerate(matrix) for h, v in enumerate(day) if v}


WEEK = {"since": "2025-03-10", "until": "2025-03-16"}


@pytest.mark.parametrize(
    "tz, expected",
    [
        ("UTC", {(0, 9): 3330, (0, 10): 2220, (2, 14): 1795, (6, 23): 1100}),
        # Nine hours east: b's hour moves to 23:00, and c's Sunday 23:59 to Monday 08:59.
        ("Asia/Tokyo", {(0, 18): 3330, (0, 19): 2220, (2, 23): 1795, (0, 8): 1100}),
        # A half-hour offset: 09:00 UTC is 14:30 local, 09:40 is 15:10; 14:50 is 20:20.
        ("+05:30", {(0, 14): 2220, (0, 15): 3330, (2, 19): 1440, (2, 20): 355, (0, 5): 1100}),
    ],
)
def test_weekday_hour_matrix_in_the_report_zone(snapshot, tz, expected):
    found = insights(snapshot, tz=tz, since="2025-03-10T00:00:00Z", until="2025-03-16T23:59:59Z", now=NOW)
    data = found.to_dict()
    assert len(data["by_weekday_hour"]) == 7 and all(len(day) == 24 for day in data["by_weekday_hour"])
    assert cells(data["by_weekday_hour"]) == expected
    assert data["totals"]["total_tokens"] == sum(expected.values()) == 8445


@pytest.mark.parametrize(
    "selection",
    [{}, {"project": "beta"}, {"model": "alpha-*", "since": "2025-03-01"}, {"until": "2025-03-10T09:30:00Z"}],
)
def test_matrices_add_up_to_the_report(snapshot, selection):
    prices = parse_prices(PRICES)
    found = insights(snapshot, tz="Europe/Berlin", prices=prices, now=NOW, **selection).to_dict()
    totals = report(snapshot, by=(), tz="Europe/Berlin", prices=prices, **selection).to_dict()["totals"]
    assert sum(map(sum, found["by_weekday_hour"])) == totals["total_tokens"] == found["totals"]["total_tokens"]
    assert sum(map(sum, found["priced_cost_by_weekday_hour"])) == pytest.approx(totals["priced_cost"], abs=1e-9)
    assert {k: v for k, v in found["totals"].items() if "cost" not in k} == {
        k: v for k, v in totals.items() if "cost" not in k
    }


def test_cell_costs_and_unpriced_models(snapshot):
    found = insights(snapshot, tz="UTC", prices=parse_prices(PRICES), now=NOW, **WEEK).to_dict()
    costs = found["priced_cost_by_weekday_hour"]
    # a's events: 100 input at 3.00, 10 output at 15.00, 1,000 cache reads at 0.30 per million.
    assert costs[0][9] == pytest.approx(3 * 0.00075) and costs[0][10] == pytest.approx(2 * 0.00075)
    assert found["unpriced"] == ["beta-3"] and found["totals"]["cost"] is None


@pytest.mark.parametrize(
    "idle_gap, active_minutes, median_minutes, p90_minutes",
    [
        # a: 10 + 30 + 5 (the 40-minute pause is left out); b: 20 + 30 across its subagent's log; c: none.
        (None, 95, 45, 49),
        (40, 135, 50, 78),  # a: 85; b: 50; c: 0 (the 90th percentile lies 0.8 of the way from 50 to 85)
        (29, 35, 15, 19),  # a: 10 + 5; b: 20; c: 0
        (5, 5, 0, 4),  # a: 5; b, c: 0
    ],
)
def test_active_time_leaves_out_long_pauses(snapshot, idle_gap, active_minutes, median_minutes, p90_minutes):
    found = insights(snapshot, tz="UTC", idle_gap=idle_gap, now=NOW, **WEEK).to_dict()["sessions"]
    assert found["count"] == 3
    assert found["idle_gap_minutes"] == (idle_gap or 30)
    assert found["active_seconds"] == active_minutes * MINUTE
    assert found["median_active_seconds"] == median_minutes * MINUTE
    assert found["p90_active_seconds"] == pytest.approx(p90_minutes * MINUTE)
    assert found["tokens_per_active_hour"] == round(8445 * 60 / active_minutes)


def test_sessions_without_usage_in_range(snapshot):
    found = insights(snapshot, tz="UTC", since="2030-01-01", now=NOW).to_dict()
    assert found["sessions"] == {
        "count": 0,
        "idle_gap_minutes": 30,
        "active_seconds": 0.0,
        "median_active_seconds": None,
        "p90_active_seconds": None,
        "tokens_per_active_hour": None,
    }
    assert found["cache"]["share"] is None and sum(map(sum, found["by_weekday_hour"])) == 0


def test_cache_share_and_savings(snapshot):
    found = insights(snapshot, tz="UTC", prices=parse_prices(PRICES), now=NOW, **WEEK).to_dict()["cache"]
    # All input: a 5 x (100 + 1,000), b 200 + 500 + 200 + 500, its subagent 50 + 300, c 1,000.
    assert found["input_tokens"] == 8250
    assert found["cache_tokens"] == 400 + 5000 + 500 + 300
    assert found["share"] == round(6200 / 8250, 6)
    # alpha: 5,500 cache reads at 3.00 instead of 0.30; model-x: 400 cached at 1.25 instead of 0.125;
    # beta-3 has no price, so the saving is a lower bound and beta-3 is named.
    assert found["priced_saved_cost"] == pytest.approx((5500 * 2.7 + 400 * 1.125) / 1e6)
    assert found["saved_cost"] is None and found["unpriced"] == ["beta-3"]


@pytest.mark.parametrize(
    "table, saved, unpriced",
    [
        # A rate for cache reads but none for fresh input: nothing to measure the saving against.
        ('[prices."alpha-4*"]\noutput = 1.0\ncache_read = 0.3\ncache_write_5m = 1.0\n', None, ["alpha-4-5"]),
        # Every rate there: the whole saving (beta-3 and model-x have no cache reads in range here).
        ('[prices."*"]\ninput = 2.0\noutput = 1.0\ncache_read = 0.5\ncache_write_5m = 1.0\n', 5500 * 1.5 / 1e6, []),
    ],
)
def test_savings_need_both_rates(snapshot, table, saved, unpriced):
    found = insights(snapshot, tz="UTC", prices=parse_prices(table), model="alpha-*", now=NOW, **WEEK).to_dict()
    assert found["cache"]["unpriced"] == unpriced
    assert found["cache"]["saved_cost"] == (None if saved is None else pytest.approx(saved))


def test_week_and_month_against_the_last(snapshot):
    # Periods ignore the range's start but keep its globs.
    found = insights(snapshot, tz="UTC", since="2025-03-10", now=NOW).to_dict()["periods"]
    assert found["at"] == "2025-03-12T15:00:00Z"
    week, month = found["week"], found["month"]
    assert (week["start"], week["previous_start"], week["previous_point"]) == (
        "2025-03-10T00:00:00Z",
        "2025-03-03T00:00:00Z",
        "2025-03-05T15:00:00Z",
    )
    assert [week[k]["total_tokens"] for k in ("current", "previous_same_point", "previous")] == [7345, 2, 6]
    assert week["change"] == {"total_tokens": 3671.5}
    assert month["previous_point"] == "2025-02-12T15:00:00Z"
    assert [month[k]["total_tokens"] for k in ("current", "previous_same_point", "previous")] == [7351, 20, 60]
    # An end in the past is where the periods stop, whatever the time now.
    until = insights(snapshot, tz="UTC", until="2025-03-12T15:00:00Z", now=ms("2026-01-01T00:00:00Z"))
    assert until.to_dict()["periods"] == found
    only_b = insights(snapshot, tz="UTC", project="beta", now=NOW).to_dict()["periods"]
    assert only_b["week"]["current"]["total_tokens"] == 1795


@pytest.mark.parametrize(
    "tz, now, week, month",
    [
        # The 31st: February ends before the same point, so all of it counts.
        ("UTC", "2025-03-31T10:00:00Z", None, ("2025-03-01T00:00:00Z", "2025-02-01T00:00:00Z", "2025-02-28T23:59:59Z")),
        # Across the change to summer time, the same wall-clock time of last week (10:00), not 168 hours ago.
        (
            "Europe/Berlin",
            "2025-04-02T08:00:00Z",
            ("2025-03-31T00:00:00+02:00", "2025-03-24T00:00:00+01:00", "2025-03-26T10:00:00+01:00"),
            ("2025-04-01T00:00:00+02:00", "2025-03-01T00:00:00+01:00", "2025-03-02T10:00:00+01:00"),
        ),
        # In January, last month is December of the year before.
        ("UTC", "2026-01-05T00:00:00Z", None, ("2026-01-01T00:00:00Z", "2025-12-01T00:00:00Z", "2025-12-05T00:00:00Z")),
    ],
)
def test_period_bounds(snapshot, tz, now, week, month):
    found = insights(snapshot, tz=tz, now=ms(now)).to_dict()["periods"]
    for name, bounds in (("week", week), ("month", month)):
        if bounds is not None:
            assert (found[name]["start"], found[name]["previous_start"], found[name]["previous_point"]) == bounds
    if now == "2025-03-31T10:00:00Z":
        assert found["month"]["previous_same_point"] == found["month"]["previous"] == {"total_tokens": 60}


@pytest.fixture(scope="module")
def clock_changes(tmp_path_factory):
    """Events around Berlin's clock changes of 2025 (both on Sundays):
    30 March, 01:30 CET and 03:30 CEST (02:00-03:00 does not exist);
    26 October, 02:30 CEST, 02:30 CET (that hour passes twice) and
    03:30 CET. Output tokens 1, 2, 4, 8, 16 tell them apart."""
    root = tmp_path_factory.mktemp("dst") / "logs"
    times = (
        "2025-03-30T00:30:00Z",
        "2025-03-30T01:30:00Z",
        "2025-10-26T00:30:00Z",
        "2025-10-26T01:30:00Z",
        "2025-10-26T02:30:00Z",
    )
    write(root, "dst.jsonl", "".join(alpha(t, "k%d" % i, out=2**i) for i, t in enumerate(times)))
    return Ledger(resolve_sources([str(root)]), state=None).refresh()


@pytest.mark.parametrize(
    "day, sunday",
    [
        # The skipped hour stays empty: 01:30 CET, then 03:30 CEST.
        ("2025-03-30", {1: 1, 3: 2}),
        # The repeated hour holds both of its passes: 02:30 CEST (4) and 02:30 CET (8).
        ("2025-10-26", {2: 4 + 8, 3: 16}),
    ],
)
def test_clock_changes_place_events_by_wall_clock(clock_changes, day, sunday):
    found = insights(clock_changes, tz="Europe/Berlin", since=day, until=day, now=NOW).to_dict()
    assert cells(found["by_weekday_hour"]) == {(6, hour): tokens for hour, tokens in sunday.items()}


# ---------------------------------------------------------------------------
# The command


def test_command_json_is_the_library_answer(cli, logs, snapshot):
    args = ("--tz", "Asia/Tokyo", "--until", "2025-03-16", "--idle-gap", "40")
    done = cli("insights", "--source", logs, *args, "--json")
    assert done.returncode == 0, done.stderr
    expected = insights(snapshot, tz="Asia/Tokyo", until="2025-03-16", idle_gap=40).to_dict()
    assert json.loads(done.stdout) == expected


COLOUR = re.compile(r"\x1b\[(?:3[0-8]|9[0-7])[;m]")


@pytest.mark.parametrize("columns, per_hour", [(80, 2), (60, 1)])
def test_heat_map_one_line_per_weekday(cli, logs, columns, per_hour):
    done = cli("insights", "--source", logs, "--tz", "UTC", "--until", "2025-03-16", env={"COLUMNS": str(columns)})
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    days = [line for line in lines if re.match(r"  (Mon|Tue|Wed|Thu|Fri|Sat|Sun)  ", line)]
    assert [d[2:5] for d in days] == ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
    assert max(len(line) for line in lines) <= columns
    monday = days[0][7 : 7 + 24 * per_hour]
    # Monday 09:00 is the busiest hour (3,330), 10:00 holds 2,220: two thirds of it.
    assert monday[9 * per_hour : 11 * per_hour] == "█" * per_hour + "▓" * per_hour
    assert days[0].endswith(" 5,550") and days[2].endswith(" 1,795")


def test_heat_map_colour_follows_no_color(cli, logs):
    args = ("insights", "--source", logs, "--tz", "UTC", "--until", "2025-03-16")
    coloured = cli(*args, env={"FORCE_COLOR": "1", "NO_COLOR": ""})
    plain = cli(*args, env={"FORCE_COLOR": "1", "NO_COLOR": "1"})
    assert COLOUR.search(coloured.stdout)
    assert not COLOUR.search(plain.stdout) and "█" in plain.stdout


@pytest.mark.parametrize("value", ["0", "x", "10081", "-5"])
def test_bad_idle_gap_is_a_usage_error(cli, logs, value):
    done = cli("insights", "--source", logs, "--idle-gap=%s" % value)
    assert done.returncode == 2 and done.stdout == ""
    assert len(done.stderr.splitlines()) == 1 and "--idle-gap" in done.stderr


@pytest.mark.parametrize(
    "sessions, span_ms",
    [
        (50, 30 * 86_400_000),  # one combined sort key
        (20_000, 9998 * 365 * 86_400_000),  # years 1 to 9999 over many sessions: too wide for one key
    ],
)
def test_active_time_orders_each_sessions_events_whatever_the_row_order(sessions, span_ms):
    import numpy as np

    from ledgerly.insights import _active_times

    rng = np.random.default_rng(7)
    n = 2 * sessions + 500
    codes = np.concatenate([np.arange(sessions), rng.integers(0, sessions, n - sessions)])
    ts = -62_000_000_000_000 + rng.integers(0, span_ms, n) if span_ms > 2**50 else rng.integers(0, span_ms, n)
    # Some events a few minutes apart, so that short pauses exist in both cases.
    ts[sessions : sessions + 200] = ts[codes[sessions : sessions + 200]] + rng.integers(0, 3_600_000, 200)
    gap = 30 * 60_000
    expected = [0] * sessions
    for s in range(sessions):
        times = sorted(ts[codes == s].tolist())
        expected[s] = sum(b - a for a, b in zip(times, times[1:]) if b - a <= gap)
    assert _active_times(codes, sessions, ts, gap).tolist() == expected
