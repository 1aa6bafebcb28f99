"""Reports over snapshots: grouping against a row-by-row reference, time
zones at their transitions, bounds, costs, exact sums and blocks."""

import random
import zlib
import zoneinfo
from collections import defaultdict
from datetime import date, datetime, timedelta, timezone

import numpy as np
import pytest

from ledgerly.block_reports import block_starts, block_status, blocks, last_block_start
from ledgerly.layout import TIER_NAMES, TOKEN_FIELDS
from ledgerly.localtime import offsets_ms
from ledgerly.params import make_query, make_session_query
from ledgerly.prices import PriceTable
from ledgerly.reports import ReportError, _from_aggregates, report
from ledgerly.timezones import BoundError, bound_ms, resolve_zone

from conftest import kept, ms, record, snapshot_of

MODELS = ("beta-3", "alpha-4-5", "mini-5-pro")
PROJECTS = ("/w/zeta", "/w/alpha")


def random_records(seed, count, start, span_days):
    rng = random.Random(seed)
    base = ms(start)
    out = []
    for _ in range(count):
        tokens = [rng.randrange(0, 5000) for _ in range(7)]
        tokens[1] = min(tokens[1], tokens[0])  # cached input is part of input
        tokens[3] = min(tokens[3], tokens[2])  # reasoning is part of output
        out.append(
            record(
                base + rng.randrange(span_days * 86_400_000),
                rng.randrange(len(MODELS)),
                rng.randrange(len(PROJECTS)),
                tuple(tokens),
                kind=rng.choice((0, 1, 2)),
                sub=rng.randrange(2),
                tier=rng.randrange(5),
            )
        )
    return out


def reference(records, by, zone_name):
    """The same report computed row by row with the standard library."""
    zone = zoneinfo.ZoneInfo(zone_name)
    groups = defaultdict(lambda: [0] * 7)
    for r in records:
        local = datetime.fromtimestamp(r[0] / 1000, zone)
        d = local.date()
        iso = d.isocalendar()
        values = {
            "day": d.isoformat(),
            "week": "%04d-W%02d" % (iso[0], iso[1]),
            "month": d.strftime("%Y-%m"),
            "model": MODELS[r[1]],
            "project": PROJECTS[r[2]],
            "tier": TIER_NAMES[r[5]],
            "subagent": bool(r[4]),
            "dialect": "message" if r[3] == 0 else "event",
        }
        key = tuple(values[name] for name in by)
        groups[key] = [a + b for a, b in zip(groups[key], r[6:])]
    return dict(groups)


@pytest.mark.parametrize(
    "by, zone",
    [
        (("day",), "Europe/Berlin"),  # spring and autumn transitions inside the data
        (("day", "model"), "America/Sao_Paulo"),
        (("week",), "Australia/Lord_Howe"),  # a 30-minute daylight saving shift
        (("month", "project"), "Asia/Kolkata"),
        (("model", "day"), "UTC"),
        (("tier", "subagent", "dialect"), "Pacific/Chatham"),
        ((), "UTC"),
    ],
)
@pytest.mark.parametrize("sums", [False, True])
def test_grouping_matches_a_row_by_row_reference(by, zone, sums):
    # A seed that is the same in every process (hash() of text is not), so a failure can be replayed.
    records = random_records(zlib.crc32(",".join(by).encode()), 3000, "2024-03-20T00:00:00Z", 240)
    snap = snapshot_of(records, MODELS, PROJECTS)
    if sums:  # as a live ledger answers: from sums per hour where they can
        snap = kept(snap)
        answered = _from_aggregates(snap, make_query(by, tz=zone), None) is not None
        # Days of zones a half hour off split hours: those read the rows.
        calendar = {"day", "week", "month"} & set(by)
        assert answered == (not calendar or zone not in ("Asia/Kolkata", "Pacific/Chatham", "Australia/Lord_Howe"))
    result = report(snap, by=by, tz=zone)
    got = {tuple(g.key[n] for n in by): list(g.tokens) for g in result.rows}
    assert got == reference(records, by, zone)
    assert list(result.totals.tokens) == [sum(r[6 + i] for r in records) for i in range(7)]
    keys = [tuple(g.key[n] for n in by) for g in result.rows]
    assert keys == sorted(keys)


@pytest.mark.parametrize(
    "zone",
    [
        "Europe/Berlin",
        "America/Sao_Paulo",
        "Australia/Lord_Howe",
        "America/St_Johns",
        "Europe/Dublin",
        "Africa/Casablanca",
        "local",
    ],
)
def test_offsets_are_exact_around_every_transition(zone, monkeypatch):
    monkeypatch.setenv("TZ", "America/New_York")
    import time

    time.tzset()
    try:
        info = zoneinfo.ZoneInfo("America/New_York" if zone == "local" else zone)
        # Every minute around each change of offset between 1985 and 2030,
        # plus a spread of instants far apart.
        stamps = []
        t = datetime(1985, 1, 1, tzinfo=timezone.utc)
        last = t.astimezone(info).utcoffset()
        while t.year < 2030:
            nxt = t + timedelta(hours=6)
            off = nxt.astimezone(info).utcoffset()
            if off != last:
                edge = int(nxt.timestamp()) * 1000
                stamps += range(edge - 7 * 3_600_000, edge + 3_600_000, 59_999)
                last = off
            t = nxt
        stamps = np.array(stamps, dtype=np.int64)
        expected = [int(datetime.fromtimestamp(s / 1000, info).utcoffset().total_seconds()) * 1000 for s in stamps]
        assert offsets_ms(stamps, resolve_zone(zone)).tolist() == expected
    finally:
        monkeypatch.delenv("TZ")
        time.tzset()


def test_day_boundaries_in_zones_east_and_west_of_utc():
    snap = snapshot_of(
        [
            record("2025-03-16T23:30:00Z", tokens=(1, 0, 0, 0, 0, 0, 0)),
            record("2025-03-17T00:30:00Z", tokens=(2, 0, 0, 0, 0, 0, 0)),
        ]
    )

    def days(tz):
        return {g.key["day"]: g.tokens[0] for g in report(snap, tz=tz).rows}

    assert days("UTC") == {"2025-03-16": 1, "2025-03-17": 2}
    assert days("Asia/Tokyo") == {"2025-03-17": 3}
    assert days("America/New_York") == {"2025-03-16": 3}
    assert days("+05:30") == {"2025-03-17": 3}


@pytest.mark.parametrize(
    "since, until, expected",
    [
        ("2025-03-15", "2025-03-15", ["b", "c", "d"]),  # a date covers its whole day
        ("2025-03-15", None, ["b", "c", "d", "e"]),
        (None, "2025-03-14", ["a"]),
        ("2025-03-15T12:00:00Z", "2025-03-15T23:59:59.999Z", ["c", "d"]),  # times are inclusive
        ("2025-03-15T12:00:00.001Z", None, ["d", "e"]),
        ("2025-03-15T13:00:00+01:00", "2025-03-15T12:00:00", ["c"]),  # no offset: the report's zone
        ("2025-03-16", "2025-03-16", ["e"]),
        ("2025-03-17", None, []),
    ],
)
def test_since_and_until(since, until, expected):
    stamps = {
        "a": "2025-03-14T23:59:59Z",
        "b": "2025-03-15T00:00:00Z",
        "c": "2025-03-15T12:00:00Z",
        "d": "2025-03-15T23:59:59Z",
        "e": "2025-03-16T00:00:00Z",
    }
    names = sorted(stamps)
    snap = snapshot_of([record(stamps[n], model=i) for i, n in enumerate(names)], models=names)
    result = report(snap, by=("model",), tz="UTC", since=since, until=until)
    assert [g.key["model"] for g in result.rows] == expected


def test_bounds_of_dates_in_a_zone_follow_its_clock():
    berlin = resolve_zone("Europe/Berlin")
    assert bound_ms("2025-03-30", berlin, False) == ms("2025-03-29T23:00:00Z")
    assert bound_ms("2025-03-30", berlin, True) == ms("2025-03-30T22:00:00Z")  # a 23-hour day
    # A day whose midnight was skipped starts when the clocks jumped.
    assert bound_ms("2018-11-04", resolve_zone("America/Sao_Paulo"), False) == ms("2018-11-04T03:00:00Z")
    assert bound_ms(date(2025, 1, 1), resolve_zone("UTC"), False) == ms("2025-01-01T00:00:00Z")
    for bad in ("2025-02-30", "yesterday", "2025-03-15T25:00:00Z", "2025-03-15T10:00:00+24:00"):
        with pytest.raises(BoundError, match="not a date"):
            bound_ms(bad, berlin, False)
    snap = snapshot_of([record("2025-03-15T12:00:00Z")])
    with pytest.raises(ReportError, match="after its end"):
        report(snap, since="2025-03-16", until="2025-03-15", tz="UTC")
    with pytest.raises(ReportError, match="cannot group by 'hour'"):
        report(snap, by=("hour",))


NOW = ms("2026-03-01T02:30:00Z")  # a Sunday in UTC; still Saturday 2026-02-28 in New York


@pytest.mark.parametrize(
    "word, tz, first, last",
    [
        ("today", "UTC", "2026-03-01", "2026-03-01"),
        ("today", "America/New_York", "2026-02-28", "2026-02-28"),
        (" Yesterday ", "UTC", "2026-02-28", "2026-02-28"),
        ("7d", "UTC", "2026-02-22", "2026-02-22"),
        ("2w", "America/New_York", "2026-02-14", "2026-02-14"),
        ("this-week", "UTC", "2026-02-23", "2026-03-01"),  # Monday to Sunday
        ("last-week", "America/New_York", "2026-02-16", "2026-02-22"),
        ("this-month", "UTC", "2026-03-01", "2026-03-31"),
        ("last-month", "America/New_York", "2026-01-01", "2026-01-31"),
        ("last-year", "UTC", "2025-01-01", "2025-12-31"),
    ],
)
def test_relative_dates_are_days_of_the_report_zone(word, tz, first, last):
    zone = resolve_zone(tz)
    query = make_query("day", word, word, tz, now=NOW)  # `since` takes a period's first day, `until` its last
    assert (query.low, query.high) == (bound_ms(first, zone, False), bound_ms(last, zone, True))


def test_relative_hours_and_mistakes():
    query = make_query("day", "12h", "1h", "UTC", now=NOW)
    assert (query.low, query.high) == (NOW - 12 * 3_600_000, NOW - 3_600_000 + 1)
    for bad, message in (("7x", "or a relative date: today, yesterday, 7d"), ("999999d", "before year 1")):
        with pytest.raises(ReportError, match=message):
            make_query("day", bad, None, "UTC", now=NOW)
    with pytest.raises(ReportError, match="after its end"):
        make_query("day", "today", "yesterday", "UTC", now=NOW)


@pytest.mark.parametrize(
    "given, parameter",
    [
        ({"since": "\uff17d"}, "since"),  # full-width 7d
        ({"until": "\u0663h"}, "until"),  # Arabic-Indic 3h
        ({"since": "\uff12\uff10\uff12\uff15-03-14"}, "since"),
        ({"since": "2025-03-14T\uff11\uff10:00:00Z"}, "since"),
        ({"tz": "+\uff10\uff15:00"}, "tz"),
        ({"top": "\uff15"}, "top"),
        ({"top": "\u00b2"}, "top"),  # a superscript: a digit to str.isdigit, not to int()
    ],
)
def test_numbers_are_written_in_ascii_digits(given, parameter):
    with pytest.raises(ReportError) as caught:
        make_session_query(now=NOW, **given)
    assert caught.value.parameter == parameter


WORD = {"/w/volcano", "volcano", "C:\\w\\volcano", "/w/Volcano", "VOLCANO"}


@pytest.mark.parametrize(
    "project, expected",
    [
        # A plain word is the last part of a path (or the whole name), in either kind of path, in any case.
        ("volcano", WORD),
        ("Volcano", WORD),
        ("volc", set()),
        # Globs and paths match the whole name, case counting, as before.
        ("*/volcano*", {"/w/volcano", "/w/volcano-web", "/x/volcano/sub"}),
        ("*/Volcano", {"/w/Volcano"}),
        ("/w/volcano", {"/w/volcano"}),
        ("volcano/sub", set()),
    ],
)
def test_a_project_by_its_name(project, expected):
    names = ("/w/volcano", "/w/volcano-web", "/x/volcano/sub", "volcano", "C:\\w\\volcano", "/w/Volcano", "VOLCANO")
    snap = snapshot_of([record(1, project=p, tokens=(1,) * 7) for p in range(len(names))], ("m",), names)
    assert {g.key["project"] for g in report(snap, by=("project",), project=project).rows} == expected


def test_model_and_project_filters():
    snap = snapshot_of(
        [record(1, model=m, project=p, tokens=(1,) * 7) for m in range(3) for p in range(2)], MODELS, PROJECTS
    )
    result = report(snap, by=("model", "project"), model=["ALPHA-*", "mini-*"], project="*alpha")
    assert [(g.key["model"], g.key["project"]) for g in result.rows] == [
        ("alpha-4-5", "/w/alpha"),
        ("mini-5-pro", "/w/alpha"),
    ]


def prices(tiers=False, **tables):
    """A table of globs; with `tiers`, each also prices the fast, priority
    and flex tiers at its standard rates."""
    from ledgerly.prices import ModelPrice

    keys = ("input", "cached_input", "output", "cache_write_5m", "cache_write_1h", "cache_read")
    entries = []
    for glob, t in tables.items():
        rates = tuple(t.get(k) for k in keys)
        entries.append(ModelPrice(glob, rates, tiers=(rates,) * 3 if tiers else (None,) * 3))
    return PriceTable(tuple(entries))


def test_unpriced_usage_is_never_counted_as_zero():
    table = prices(**{"alpha-*": {"input": 2.0, "output": 10.0}})  # no cache prices
    snap = snapshot_of(
        [
            record("2025-03-14T10:00:00Z", model=0, tokens=(1_000_000, 0, 100_000, 0, 0, 0, 0)),  # alpha: 3.00
            record("2025-03-14T11:00:00Z", model=1, tokens=(500_000, 0, 0, 0, 0, 0, 0)),  # beta: no price at all
            record("2025-03-15T10:00:00Z", model=0, tokens=(1_000_000, 0, 0, 0, 0, 0, 0)),  # alpha: 2.00
            record("2025-03-16T10:00:00Z", model=0, tokens=(0, 0, 0, 0, 0, 0, 10)),  # alpha cache read: no price
        ],
        models=("alpha-4", "beta-3"),
    )
    result = report(snap, tz="UTC", prices=table, breakdown=True)
    day = {g.key["day"]: g for g in result.rows}
    assert day["2025-03-14"].cost is None and day["2025-03-14"].priced_cost == pytest.approx(3.0)
    assert day["2025-03-15"].cost == pytest.approx(2.0)
    assert day["2025-03-16"].cost is None
    assert [(m.key["model"], m.cost) for m in day["2025-03-14"].models] == [
        ("alpha-4", pytest.approx(3.0)),
        ("beta-3", None),
    ]
    assert result.totals.cost is None and result.totals.priced_cost == pytest.approx(5.0)
    assert dict(result.unpriced) == {"alpha-4": ("cache_read",), "beta-3": ("input",)}
    data = result.to_dict()
    assert data["unpriced"] == ["alpha-4", "beta-3"]
    assert data["rows"][1]["cost"] == 2.0 and data["rows"][0]["cost"] is None
    # Beside every cost, the cost of the usage that has a price.
    assert [r["priced_cost"] for r in data["rows"]] == [3.0, 2.0, 0.0]
    assert data["totals"]["priced_cost"] == 5.0
    assert [m["priced_cost"] for m in data["rows"][0]["models"]] == [3.0, 0.0]
    lines = report(snap, tz="UTC", prices=table).to_csv().splitlines()
    assert lines[0].endswith(",total_tokens,cost,priced_cost") and lines[1].endswith(",,3.0")  # an unknown cost

    # Without prices there is no cost field at all; with a full table every cost is known.
    assert "cost" not in report(snap, tz="UTC").to_dict()["totals"]
    full = report(snap, tz="UTC", prices=prices(**{"*": {"input": 1.0, "output": 1.0, "cache_read": 1.0}}))
    assert full.totals.cost == pytest.approx(2.6 + 10e-6) and full.unpriced == {}


def test_sums_stay_exact_beyond_float_precision():
    big = 2**53 + 1
    snap = snapshot_of([record(1, tokens=(big, 0, 0, 0, 0, 0, 0)), record(2, tokens=(big, 0, 1, 0, 0, 0, 0))])
    result = report(snap, by=("model",), tz="UTC")
    assert result.rows[0].tokens[0] == 2 * big
    assert result.to_dict()["totals"]["input"] == 2 * big
    huge = 2**62
    snap = snapshot_of([record(i, tokens=(huge,) + (0,) * 6) for i in range(4)])
    assert report(snap, by=("day",), tz="UTC").totals.tokens[0] == 4 * huge  # beyond int64


def test_blocks_open_at_the_hour_of_the_first_event_after_a_gap():
    stamps = [
        "2025-03-14T09:17:00Z",
        "2025-03-14T13:59:59Z",  # one window 09:00-14:00
        "2025-03-14T14:00:00Z",
        "2025-03-14T18:30:00Z",  # the next opens at once: 14:00-19:00
        "2025-03-15T02:45:00Z",
    ]  # after a gap: 02:00-07:00
    snap = snapshot_of([record(s, tokens=(i + 1, 0, 0, 0, 0, 0, 0)) for i, s in enumerate(reversed(stamps))])
    result = blocks(snap, tz="UTC", now=ms("2025-03-15T06:59:00Z"))
    keys = [
        (g.key["block"], g.key["end"], g.key["first_event"], g.key["last_event"], g.key["active"], g.tokens[0])
        for g in result.rows
    ]
    assert keys == [
        ("2025-03-14T09:00:00Z", "2025-03-14T14:00:00Z", "2025-03-14T09:17:00Z", "2025-03-14T13:59:59Z", False, 9),
        ("2025-03-14T14:00:00Z", "2025-03-14T19:00:00Z", "2025-03-14T14:00:00Z", "2025-03-14T18:30:00Z", False, 5),
        ("2025-03-15T02:00:00Z", "2025-03-15T07:00:00Z", "2025-03-15T02:45:00Z", "2025-03-15T02:45:00Z", True, 1),
    ]
    assert blocks(snap, tz="+01:00", now=0).rows[0].key["block"] == "2025-03-14T10:00:00+01:00"
    assert blocks(snapshot_of([]), tz="UTC").rows == ()
    first, starts = block_starts(np.array([0, 10, 5 * 3_600_000, 11 * 3_600_000 - 1], dtype=np.int64))
    assert first.tolist() == [0, 2, 3] and starts.tolist() == [0, 5 * 3_600_000, 10 * 3_600_000]


def test_csv_and_json_carry_the_same_numbers():
    import csv
    import io

    table = prices(
        tiers=True,  # the records' tiers are drawn at random
        **{
            "*": {
                "input": 1.5,
                "output": 7.0,
                "cached_input": 0.1,
                "cache_read": 0.2,
                "cache_write_5m": 1.0,
                "cache_write_1h": 2.0,
            }
        },
    )
    snap = snapshot_of(random_records(7, 200, "2025-01-01T00:00:00Z", 20), MODELS, PROJECTS)
    for breakdown in (False, True):
        result = report(snap, by=("week", "project"), tz="UTC", prices=table, breakdown=breakdown)
        parsed = list(csv.DictReader(io.StringIO(result.to_csv())))
        if breakdown:  # models by name inside each row, and in the totals
            for r in [*result.to_dict()["rows"], result.to_dict()["totals"]]:
                assert [m["model"] for m in r["models"]] == sorted(m["model"] for m in r["models"])
        expected = (
            [dict(r, **m) for r in result.to_dict()["rows"] for m in r["models"]]
            if breakdown
            else result.to_dict()["rows"]
        )
        assert len(parsed) == len(expected)
        for got, want in zip(parsed, expected):
            assert list(got) == list(result.columns())
            for name in TOKEN_FIELDS + ("total_tokens",):
                assert int(got[name]) == want[name]
            assert float(got["cost"]) == want["cost"]
            assert (got["week"], got["project"]) == (want["week"], want["project"])


def test_block_status_for_a_live_view():
    snap = snapshot_of(
        [
            record("2025-03-15T10:05:00Z", tokens=(100, 0, 0, 0, 0, 0, 0)),
            record("2025-03-15T11:45:00Z", tokens=(200, 0, 0, 0, 0, 0, 0)),
            record("2025-03-15T12:10:00Z", tokens=(300, 0, 100, 0, 0, 0, 0)),
        ]
    )
    table = prices(**{"*": {"input": 1.0, "output": 1.0}})
    now = ms("2025-03-15T12:30:00Z")
    status = block_status(snap, now=now, prices=table)
    assert (status.start, status.end) == (ms("2025-03-15T10:00:00Z"), ms("2025-03-15T15:00:00Z"))
    assert status.time_left == 150 * 60_000 and status.block.total_tokens == 700
    assert status.burn_rate == 10.0  # 600 tokens in the last hour
    assert status.projected_tokens == 700 + 10 * 150
    assert status.burn_cost == pytest.approx(600e-6) and status.projected_cost == pytest.approx(2200e-6)

    later = block_status(snap, now=ms("2025-03-15T15:00:00Z"))  # the window has closed
    assert later.block is None and later.time_left == 0 and later.burn_rate == 0
    assert later.projected_tokens is None and later.burn_cost is None


@pytest.mark.parametrize(
    "radixes, big_at",
    [
        ((40, 7), None),  # direct keys, several chunks
        ((40, 7), 69_000),  # a value too large for float sums, in the last chunk
        ((10**6, 10**6), None),  # too many possible keys: ranked
        ((2**30, 2**30, 2**30), 5),  # more possible keys than int64 holds
    ],
)
def test_aggregate_matches_a_dictionary(radixes, big_at):
    from ledgerly.grouping import Codes, aggregate

    rng = np.random.default_rng(len(radixes) + (big_at or 0))
    n = 70_000
    codes = [rng.integers(0, min(r, 50), n) * (r // min(r, 50)) for r in radixes]
    values = rng.integers(0, 1000, (n, 3))
    if big_at is not None:
        values[big_at, 1] = 2**62
        values[big_at + 1, 1] = 2**62  # the two together overflow int64
    groups = aggregate([Codes(c, r) for c, r in zip(codes, radixes)], values)
    expected = defaultdict(lambda: [0, 0, 0])
    for i, key in enumerate(zip(*(c.tolist() for c in codes))):
        expected[key] = [a + b for a, b in zip(expected[key], values[i].tolist())]
    got = {
        key: list(map(int, row)) for key, row in zip(zip(*(d.tolist() for d in groups.digits)), groups.sums.tolist())
    }
    assert got == dict(expected)
    assert sorted(got) == [tuple(k) for k in zip(*(d.tolist() for d in groups.digits))]  # ascending keys
    assert groups.size.sum() == n


def test_the_last_block_start_is_the_end_of_the_walked_chain():
    """The last block start found by doubling pointers is the one walking
    the chain block by block finds, on dense and sparse hours alike."""
    rng = random.Random(11)
    for _ in range(2000):
        hours = np.unique(np.array([rng.randrange(rng.choice((20, 200))) for _ in range(rng.randint(1, 60))]))
        length = rng.randint(1, 7)
        _first, starts = block_starts(hours * 3_600_000, length)
        assert hours[last_block_start(hours, length)] * 3_600_000 == starts[-1]
