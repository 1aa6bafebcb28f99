"""What careless or hostile input does to the reports and the command line:
timestamps at the calendar's edges, zone names that are folders, special
files as config or price files, prices whose costs would not be finite."""

import json
import os
import re

import pytest

from ledgerly import Ledger, blocks, list_sessions, report, session_detail
from ledgerly.sources import Source

from conftest import message_line, write

# The earliest and latest instants the engine accepts, and others near the
# calendar's ends; each with its own token count, so every event is traced.
EDGES = [
    ("0000-01-01T00:00:00+23:59", 1),
    ("0000-01-01T01:00:00Z", 2),
    ("0001-01-01T00:30:00Z", 4),
    ("2025-03-01T10:00:00Z", 8),
    ("9999-12-31T23:00:00Z", 16),
    ("9999-12-31T23:59:59-23:59", 32),
]
ZONES = ["UTC", "+14:00", "-12:00", "+23:59", "America/New_York", "Asia/Kolkata", "Pacific/Kiritimati"]
INSTANT = re.compile(r"^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(Z|[+-]\d{2}:\d{2})$")
LABELS = {"day": r"^\d{4}-\d{2}-\d{2}$", "week": r"^-?\d{4}-W\d{2}$", "month": r"^\d{4}-\d{2}$"}


def days_from_civil(year, month, day):
    """Days since 1970-01-01 of a proleptic Gregorian date (any year)."""
    year -= month <= 2
    era = (year if year >= 0 else year - 399) // 400
    year_of_era = year - era * 400
    day_of_year = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5 + day - 1
    return era * 146097 + year_of_era * 365 + year_of_era // 4 - year_of_era // 100 + day_of_year - 719468


def seconds_of(text):
    """Unix seconds of an RFC 3339 time with a four-digit year."""
    match = INSTANT.match(text)
    assert match, text
    year, month, day, hour, minute, second = map(int, match.groups()[:6])
    zone = match.group(7)
    offset = 0 if zone == "Z" else (-1 if zone[0] == "-" else 1) * (int(zone[1:3]) * 3600 + int(zone[4:6]) * 60)
    return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset


EDGE_SECONDS = sorted(seconds_of(t) for t, _n in EDGES)
TOTAL = sum(n for _t, n in EDGES)
FIRST_WRITABLE = seconds_of("0000-01-01T00:00:00+23:59")
LAST_WRITABLE = seconds_of("9999-12-31T23:59:59-23:59")


@pytest.fixture(scope="module")
def edges(tmp_path_factory):
    root = tmp_path_factory.mktemp("edges")
    text = "".join(message_line(when, "k%d" % n, "alpha-4", inp=n) for when, n in EDGES)
    write(root, "p/edges.jsonl", text)
    return root, Ledger([Source(str(root))]).refresh()


@pytest.mark.parametrize("zone", ZONES)
def test_every_instant_the_engine_accepts_is_reported_in_every_zone(edges, zone):
    _root, snapshot = edges
    assert len(snapshot) == len(EDGES)
    for by in ("day", "week", "month"):
        data = report(snapshot, by=(by,), tz=zone).to_dict()
        assert data["totals"]["input"] == TOTAL
        assert all(re.match(LABELS[by], row[by]) for row in data["rows"]), data["rows"]
        assert [row[by] for row in data["rows"]] == sorted(row[by] for row in data["rows"])
    data = blocks(snapshot, tz=zone).to_dict()
    assert data["totals"]["input"] == TOTAL
    events = sorted(seconds_of(row[key]) for row in data["rows"] for key in ("first_event", "last_event"))
    assert sorted(set(events)) == EDGE_SECONDS
    for row in data["rows"]:
        # A block opens at the UTC hour of its first event; bounds that no
        # four-digit year can write are written as the nearest that can be.
        start = seconds_of(row["first_event"]) // 3600 * 3600
        assert seconds_of(row["block"]) == max(start, FIRST_WRITABLE)
        assert seconds_of(row["end"]) == min(start + 5 * 3600, LAST_WRITABLE)
    data = list_sessions(snapshot, tz=zone).to_dict()
    (session,) = data["rows"]
    assert (seconds_of(session["first_event"]), seconds_of(session["last_event"])) == (
        EDGE_SECONDS[0],
        EDGE_SECONDS[-1],
    )
    detail = session_detail(snapshot, "edges", tz=zone).to_dict()
    assert sum(day["input"] for day in detail["by_day"]) == TOTAL
    assert all(re.match(LABELS["day"], day["day"]) for day in detail["by_day"])


@pytest.mark.parametrize("command", ["daily", "weekly", "monthly", "blocks", "sessions"])
def test_commands_report_the_calendar_edges(cli, edges, command):
    root, _snapshot = edges
    for form in ("--json", "--csv", None):
        done = cli(command, root, "--tz=+14:00", *([form] if form else []))
        assert done.returncode == 0 and done.stderr == "", done.stderr
    # Year 0 is a date as well.
    done = cli(command, root, "--since", "0000-01-01", "--until", "0000-12-31", "--tz", "UTC", "--json")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["totals"]["input"] == 2  # the first event lies in year -1 in UTC


def test_the_server_reports_the_calendar_edges_and_any_failure_as_json(edges, tmp_path):
    from served import Served  # skips without the serve extra

    root, _snapshot = edges
    fault = (
        "import ledgerly.live.server as s\n"
        "answer = s.LiveServer.report\n"
        "def report(self, query):\n"
        "    if query.by == ('tier',):\n"
        "        raise RuntimeError('a fault for the test')\n"
        "    return answer(self, query)\n"
        "s.LiveServer.report = report\n"
    )
    with Served(root, tmp_path, "--tz", "+14:00", prelude=fault) as server:
        for target in ("/api/v1/report?group=block", "/api/v1/sessions", "/api/v1/report?group=week"):
            status, head, data = server.get(target)
            assert status == 200 and data["totals"]["input"] == TOTAL, (target, data)
        status, head, data = server.get("/api/v1/report?group=tier")
        assert status == 500 and head["content-type"] == "application/json"
        assert data == {"error": "internal error: RuntimeError: a fault for the test"}
        assert server.get("/api/v1/report?group=day")[0] == 200
        status, head, data = server.get("/api/v1/report?tz=America")  # a folder of the zone database
        assert (status, data) == (400, {"error": "unknown time zone 'America'", "parameter": "tz"})


# ---------------------------------------------------------------------------
# Zones, config and price files


@pytest.fixture
def logs(tmp_path):
    root = tmp_path / "logs"
    write(root, "p/s.jsonl", message_line("2025-03-01T10:00:00Z", "m1", "alpha-4", inp=3, out=4))
    return root


@pytest.mark.parametrize(
    "zone", ["America", "Etc", "America/", "Europe/" + "x" * 300, "x" * 300], ids=lambda z: z if len(z) < 20 else "long"
)
def test_zone_names_that_are_folders_or_too_long_are_unknown_zones(cli, logs, home, zone):
    done = cli("daily", logs, "--tz", zone)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "--tz: unknown time zone" in done.stderr or "--tz: not a time zone" in done.stderr
    config = home / "config.toml"
    config.write_text('timezone = "%s"\n' % zone)
    done = cli("daily", logs, "--config", config)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "config.toml:1: timezone: unknown time zone" in done.stderr


def test_an_offset_after_a_space_is_the_zone_not_an_option(cli, logs):
    for command in ("daily", "status"):
        done = cli(command, logs, "--tz", "-05:00", "--json")
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout)["timezone"] == "-05:00"


def special_file(tmp_path, kind):
    """A path that is not a regular file, or a regular file too large to
    be a config or price file."""
    if kind == "device":
        return "/dev/zero"
    path = tmp_path / kind
    if kind == "fifo":
        os.mkfifo(str(path))
    elif kind == "folder":
        path.mkdir()
    else:
        with open(path, "wb") as f:
            f.truncate(5 << 20)  # sparse: nothing is written
    return str(path)


@pytest.mark.parametrize("option", ["--prices", "--config"])
@pytest.mark.parametrize(
    "kind, reason",
    [
        ("device", "not a regular file (a character device)"),
        ("fifo", "not a regular file (a named pipe)"),
        ("folder", "not a regular file (a folder)"),
        ("large", "larger than 4 MiB"),
    ],
)
def test_config_and_price_files_must_be_small_regular_files(cli, logs, tmp_path, option, kind, reason):
    path = special_file(tmp_path, kind)
    done = cli("daily", logs, option, path, timeout=30)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "%s: %s" % (path, reason) in done.stderr


def test_odd_but_readable_config_files(cli, logs, home):
    # A byte-order mark, as some editors write, starts the file.
    config = home / "config.toml"
    config.write_bytes(b'\xef\xbb\xbftimezone = "+05:30"\n')
    done = cli("daily", logs, "--config", config, "--json")
    assert done.returncode == 0 and json.loads(done.stdout)["timezone"] == "+05:30", done.stderr
    # A NUL in a source path is a mistake in the file, named with its line.
    config.write_text('workers = 2\n\n[[sources]]\npath = "/logs\\u0000x"\n')
    done = cli("daily", "--config", config)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "config.toml:4: sources[0].path: a path cannot hold a NUL character" in done.stderr


# ---------------------------------------------------------------------------
# Prices and counts at their limits


def no_constants(name):
    raise AssertionError("not JSON: %s" % name)


@pytest.mark.parametrize("where", ["--prices", "--config"])
def test_prices_whose_costs_could_be_infinite_are_refused(cli, logs, tmp_path, where):
    path = tmp_path / "prices.toml"
    path.write_text('[prices."alpha-*"]\ninput = 3.0\noutput = 1e308\n')
    done = cli("daily", logs, where, path)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert 'prices.toml:3: prices."alpha-*".output: a price must be at most 1e+12 per million tokens' in done.stderr


def test_the_highest_prices_on_the_largest_counts_cost_finite_amounts(cli, tmp_path):
    root = tmp_path / "logs"
    big = 2**62
    write(
        root,
        "p/s.jsonl",
        "".join(message_line("2025-03-01T1%d:00:00Z" % i, "m%d" % i, "alpha-4", inp=big, out=big) for i in range(2)),
    )
    prices = tmp_path / "prices.toml"
    prices.write_text('[prices."alpha-*"]\ninput = 1e12\noutput = 1e12\n')
    done = cli("daily", root, "--prices", prices, "--tz", "UTC", "--json")
    assert done.returncode == 0 and done.stderr == "", done.stderr
    totals = json.loads(done.stdout, parse_constant=no_constants)["totals"]
    assert totals["cost"] == pytest.approx(4 * big * 1e12 / 1e6)
    done = cli("daily", root, "--prices", prices, "--tz", "UTC", "--csv")
    assert done.returncode == 0 and done.stderr == "" and "inf" not in done.stdout
