"""`ledgerly sessions`: usage per session (log file), subagent logs folded
into their parent's session, one session's breakdown, and sessions that add
up exactly to the daily report."""

import csv
import io
import json
import ntpath

import pytest

from ledgerly import Ledger, sessions
from ledgerly.sessions import SessionError, list_sessions, map_sessions, session_detail

from conftest import PRICES, TOKENS, event_log, message_line, write


@pytest.fixture
def home_logs(tmp_path):
    """Both dialects: a conversation with two subagent logs beside it (in a
    folder named after it), a subagent log whose parent is missing, a
    resumed conversation that logs one response again, an event session
    and its fork (which opens by repeating two of the parent's events)."""
    root = tmp_path / "logs"
    write(
        root,
        "p/alpha/c1.jsonl",
        message_line("2025-03-14T10:00:00Z", "m1", "alpha-4-5", inp=10, out=100, read=500, write_5m=300, cwd="/w/alpha")
        + message_line("2025-03-15T23:30:00Z", "m2", "beta-3", inp=20, out=12, cwd="/w/alpha")
        + message_line("2025-03-16T00:30:00Z", "m3", "alpha-4-5", inp=1, out=2, cwd="/w/alpha"),
    )
    write(
        root,
        "p/alpha/c1/subagents/agent-1.jsonl",
        message_line("2025-03-14T10:05:00Z", "s1", "beta-3", inp=40, out=50, write_1h=60, cwd="/w/alpha"),
    )
    write(
        root,
        "p/alpha/c1/subagents/agent-2.jsonl",
        message_line("2025-03-15T11:00:00Z", "s2", "alpha-4-5", inp=7, out=8, cwd="/w/alpha"),
    )
    write(
        root,
        "p/alpha/gone/subagents/agent-3.jsonl",
        message_line("2025-03-15T12:00:00Z", "s3", "beta-3", inp=9, out=9, cwd="/w/alpha"),
    )
    # c2 resumes c1: m2 again, with more output (c2's copy is the one counted), then its own m4.
    write(
        root,
        "p/alpha/c2.jsonl",
        message_line("2025-03-15T23:30:00Z", "m2", "beta-3", inp=20, out=30, cwd="/w/alpha")
        + message_line("2025-03-17T08:00:00Z", "m4", "alpha-4-5", inp=3, out=4, cwd="/w/alpha"),
    )
    turns = [("2025-03-14T09:10:00Z", 1000, 400, 200, 50), ("2025-03-14T09:20:00Z", 2000, 1000, 300, 100)]
    write(root, "s/2025/03/14/e-1.jsonl", event_log("e-1", "/w/beta", "Model-X", turns))
    # The fork logs the parent's two events again, after its own start, then one of its own.
    again = [("2025-03-14T11:00:0%dZ" % k,) + t[1:] for k, t in enumerate(turns, 1)]
    fork = event_log(
        "e-2", "/w/beta", "Model-X", again + [("2025-03-14T12:00:00Z", 500, 0, 70, 0)], started="2025-03-14T11:00:00Z"
    )
    fork = fork.replace('"id":"e-2",', '"id":"e-2","forked_from_id":"e-1",', 1)
    write(root, "s/2025/03/14/e-2.jsonl", fork)
    return root


def run_json(cli, *args):
    done = cli(*args, "--json")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize(
    "paths, roots",
    [
        # A subagent log joins the log its folder is named after; nested ones the outermost.
        (["/a/c.jsonl", "/a/c/subagents/x.jsonl", "/a/c/subagents/x/subagents/y.jsonl"], ["/a/c.jsonl"] * 3),
        # No such parent log, or not a subagents folder: a session of its own.
        (
            ["/a/d/subagents/x.jsonl", "/a/c/other/x.jsonl", "/a/c.jsonl"],
            ["/a/d/subagents/x.jsonl", "/a/c/other/x.jsonl", "/a/c.jsonl"],
        ),
        # The parent counts when it is listed, even without rows of its own.
        (["/a/e/subagents/x.jsonl"], ["/a/e.jsonl"]),
    ],
)
def test_which_session_a_log_belongs_to(paths, roots):
    smap = map_sessions(paths, listed=["/a/e.jsonl"])
    assert [smap.paths[s] for s in smap.of_file.tolist()] == roots


def test_which_session_a_log_belongs_to_on_windows(monkeypatch):
    monkeypatch.setattr(sessions, "_path", ntpath)
    paths = ["C:\\a\\c.jsonl", "C:\\a\\c\\subagents\\x.jsonl", "C:\\a\\d\\subagents\\x.jsonl", "C:\\subagents\\y.jsonl"]
    smap = map_sessions(paths)
    assert [smap.paths[s] for s in smap.of_file.tolist()] == ["C:\\a\\c.jsonl", "C:\\a\\c.jsonl"] + paths[2:]


def test_sessions_fold_subagents_and_add_up_to_the_daily_report(cli, home_logs, tmp_path):
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES)
    common = (home_logs, "--tz", "UTC", "--prices", prices)
    data = run_json(cli, "sessions", *common)
    rows = {r["id"]: r for r in data["rows"]}
    assert sorted(rows) == ["agent-3", "c1", "c2", "e-1", "e-2"] and data["sessions"] == 5
    c1 = rows["c1"]
    assert c1["session"] == str(home_logs / "p/alpha/c1.jsonl") and c1["project"] == "/w/alpha"
    # c1 itself (m1, m3; m2 went to c2) plus its two subagent logs.
    assert (c1["input"], c1["output"], c1["cache_write_1h"]) == (10 + 1 + 40 + 7, 100 + 2 + 50 + 8, 60)
    assert c1["subagent_tokens"] == (40 + 50 + 60) + (7 + 8)
    assert (c1["first_event"], c1["last_event"]) == ("2025-03-14T10:00:00Z", "2025-03-16T00:30:00Z")
    assert c1["models"] == ["alpha-4-5", "beta-3"]
    assert rows["c2"]["output"] == 30 + 4 and rows["c2"]["first_event"] == "2025-03-15T23:30:00Z"
    assert rows["agent-3"]["subagent_tokens"] == rows["agent-3"]["total_tokens"] == 18
    # The fork owns only the event it did not inherit.
    assert (rows["e-1"]["output"], rows["e-2"]["output"]) == (500, 70)
    # The costliest first; beta-3 has no price, so c1's cost is unknown and placed by its priced part.
    assert c1["cost"] is None and data["unpriced"] == ["beta-3"]
    priced_part = [r["priced_cost"] for r in data["rows"]]
    assert priced_part == sorted(priced_part, reverse=True) and c1["priced_cost"] > 0
    # alpha-4-5's part of agent-2 (7 x 3 + 8 x 15 per million); agent-1's beta-3 has none.
    assert c1["subagent_cost"] is None and c1["subagent_priced_cost"] == 0.000141
    assert list(c1)[-4:] == ["subagent_tokens", "subagent_cost", "priced_cost", "subagent_priced_cost"]

    for extra in ((), ("--since", "2025-03-15", "--until", "2025-03-16"), ("--project", "/w/beta")):
        daily = run_json(cli, "daily", *common, *extra)
        listed = run_json(cli, "sessions", *common, *extra)
        assert {k: listed["totals"][k] for k in daily["totals"]} == daily["totals"]
        for field in TOKENS:
            assert sum(r[field] for r in listed["rows"]) == daily["totals"][field], (extra, field)
        priced = [r["cost"] for r in listed["rows"] if r["cost"] is not None]
        if daily["totals"]["cost"] is not None:
            assert sum(priced) == pytest.approx(daily["totals"]["cost"], abs=1e-5)
        parts = sum(r["priced_cost"] for r in listed["rows"])
        assert parts == pytest.approx(daily["totals"]["priced_cost"], abs=1e-5)
    narrow = run_json(cli, "sessions", *common, "--since", "2025-03-15", "--until", "2025-03-16")
    assert {r["id"] for r in narrow["rows"]} == {"agent-3", "c1", "c2"}

    top = run_json(cli, "sessions", *common, "--sort", "tokens", "--top", "2")
    assert [r["id"] for r in top["rows"]] == ["e-1", "c1"] and top["sessions"] == 5
    assert top["totals"] == data["totals"]  # the totals cover every session, listed or not
    # The table says so in its last line.
    lines = cli("sessions", *common, "--sort", "tokens", "--top", "2").stdout.rstrip().splitlines()
    assert lines[0].endswith(": 2 of 5") and lines[-1].split()[:2] == ["All", "5"]
    whole = cli("sessions", *common, "--sort", "tokens", "--top", "5").stdout.rstrip().splitlines()
    assert whole[-1].split()[0] == "Total" and whole[-1].split()[1:] == lines[-1].split()[2:]


def test_one_session_per_model_and_per_day(cli, home_logs):
    detail = run_json(cli, "sessions", home_logs, "--tz", "UTC", "--id", "c1")
    assert detail["session"] == str(home_logs / "p/alpha/c1.jsonl")
    assert detail["logs"] == [
        str(home_logs / p)
        for p in ("p/alpha/c1.jsonl", "p/alpha/c1/subagents/agent-1.jsonl", "p/alpha/c1/subagents/agent-2.jsonl")
    ]
    assert [m["model"] for m in detail["by_model"]] == ["alpha-4-5", "beta-3"]
    assert [d["day"] for d in detail["by_day"]] == ["2025-03-14", "2025-03-15", "2025-03-16"]
    for breakdown in (detail["by_model"], detail["by_day"]):
        for field in TOKENS:
            assert sum(g[field] for g in breakdown) == detail[field]
    # A subagent's log names its session too; the CSV lists each day's models.
    by_path = run_json(
        cli, "sessions", home_logs, "--tz", "UTC", "--id", home_logs / "p/alpha/c1/subagents/agent-2.jsonl"
    )
    assert by_path == detail
    done = cli("sessions", home_logs, "--tz", "UTC", "--id", "c1", "--csv")
    lines = list(csv.DictReader(io.StringIO(done.stdout)))
    assert [(r["day"], r["model"]) for r in lines] == [
        ("2025-03-14", "alpha-4-5"),
        ("2025-03-14", "beta-3"),
        ("2025-03-15", "alpha-4-5"),
        ("2025-03-16", "alpha-4-5"),
    ]

    # Out of range: still named, with no usage.
    empty = run_json(cli, "sessions", home_logs, "--tz", "UTC", "--id", "c1", "--since", "2025-04-01")
    assert (empty["id"], empty["total_tokens"], empty["first_event"], empty["by_day"]) == ("c1", 0, None, [])


def test_most_recent_first_and_ids_by_their_start(cli, home_logs):
    recent = run_json(cli, "sessions", home_logs, "--tz", "UTC", "--sort", "recent")
    assert [(r["id"], r["last_event"]) for r in recent["rows"]] == [
        ("c2", "2025-03-17T08:00:00Z"),
        ("c1", "2025-03-16T00:30:00Z"),
        ("agent-3", "2025-03-15T12:00:00Z"),
        ("e-2", "2025-03-14T12:00:00Z"),
        ("e-1", "2025-03-14T09:20:00Z"),
    ]
    table = cli("sessions", home_logs, "--tz", "UTC", "--sort", "recent", env={"COLUMNS": "120"}).stdout
    assert table.startswith("Sessions, the most recent first (UTC)")
    assert "Project" in table and "Models" in table and "Last event" in table
    # A unique start of an id names the session; so does a cell cut to it in a table ("…").
    for given, found in (("agen", "agent-3"), ("e-2", "e-2"), ("e-…", None), ("c2…", "c2")):
        done = cli("sessions", home_logs, "--tz", "UTC", "--id", given, "--json")
        if found is None:
            assert done.returncode == 2
            assert "'e-…' is the start of 2 session ids: e-1, e-2; give more of it" in done.stderr
        else:
            assert json.loads(done.stdout)["id"] == found, given


@pytest.mark.parametrize(
    "args, message",
    [
        (("--id", "nope"), "--id: no session has the id 'nope'"),
        (("--id", "c"), "--id: 'c' is the start of 2 session ids: c1, c2; give more of it"),
        (("--id", "/elsewhere/x.jsonl"), "--id: no session has the log /elsewhere/x.jsonl"),
        (("--sort", "cost"), "--sort cost needs a price table"),
        (("--top", "0"), "argument --top: expected 1 to 1000000 sessions"),
        (("--since", "2025-03-20", "--until", "2025-03-10"), "--since:"),
    ],
)
def test_mistakes_are_one_line_and_status_2(cli, home_logs, args, message):
    done = cli("sessions", home_logs, *args)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("ledgerly: error: " + message) and done.stderr.count("\n") == 1


def test_ambiguous_ids_and_the_api(tmp_path):
    write(tmp_path, "a/s.jsonl", message_line("2025-03-14T10:00:00Z", "m1", "beta-3", inp=1, out=1))
    write(tmp_path, "b/s.jsonl", message_line("2025-03-14T11:00:00Z", "m2", "beta-3", inp=2, out=2))
    snapshot = Ledger([str(tmp_path)]).refresh()
    with pytest.raises(SessionError, match="2 sessions have the id 's'"):
        session_detail(snapshot, "s")
    assert session_detail(snapshot, str(tmp_path / "b" / "s.jsonl"), tz="UTC").summary.usage.total_tokens == 4
    listed = list_sessions(snapshot, tz="UTC")
    assert [s.session for s in listed.rows] == [str(tmp_path / "b/s.jsonl"), str(tmp_path / "a/s.jsonl")]
    with pytest.raises(SessionError, match="sorting by cost needs a price table"):
        list_sessions(snapshot, sort="cost")
    csv_lines = listed.to_csv().splitlines()
    assert csv_lines[0].startswith("session,id,project,first_event,last_event,models,input,")
    assert csv_lines[1].endswith(",beta-3,2,0,2,0,0,0,0,4,0")
