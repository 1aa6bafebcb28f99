"""The `ledgerly` command end to end, in a subprocess, on small log trees
whose folder names say nothing about the dialect. Expected figures are
worked out by hand in the comments."""

import csv
import io
import json
import os
import re
import sys
import textwrap

import pytest

from conftest import PRICES, ROOT, event_log, line, message_line, user_line, write

# Event dialect, model-x, project /w/alpha:
#   r1 2025-03-14T09:10Z input 1000 (400 cached), output 200 (50 reasoning)
#   r2 2025-03-14T23:30Z input 2000 (1000 cached), output 300 (100 reasoning)
# Message dialect:
#   m1 2025-03-15T10:00Z alpha-4-5 /w/alpha: input 10, output 100, write 300 + 200 (1h), read 500
#   m2 2025-03-15T16:30Z beta-3    /w/alpha: input 20, output 50, write 100
#   m3 2025-03-20T08:00Z alpha-4-5 /w/beta (subagent): input 5, output 10
EVENTS = event_log(
    "e-1",
    "/w/alpha",
    "Model-X",
    [("2025-03-14T09:10:00Z", 1000, 400, 200, 50), ("2025-03-14T23:30:00Z", 2000, 1000, 300, 100)],
)
CONVERSATION = (
    line({"type": "summary", "summary": "paging"})
    + user_line("2025-03-15T09:59:00Z", cwd="/w/alpha")
    + message_line(
        "2025-03-15T10:00:00Z",
        "m1",
        "alpha-4-5-20250929",
        inp=10,
        out=100,
        read=500,
        write_5m=300,
        write_1h=200,
        cwd="/w/alpha",
    )
    + message_line("2025-03-15T16:30:00Z", "m2", "Beta-3", inp=20, out=50, write_5m=100)
)
SUBAGENT = message_line("2025-03-20T08:00:00Z", "m3", "alpha-4-5", inp=5, out=10, cwd="/w/beta")


def tokens(inp=0, cached=0, out=0, reasoning=0, w5=0, w1=0, read=0):
    return {
        "input": inp,
        "cached_input": cached,
        "output": out,
        "reasoning_output": reasoning,
        "cache_write_5m": w5,
        "cache_write_1h": w1,
        "cache_read": read,
        "total_tokens": inp + out + w5 + w1 + read,
    }


R1, R2 = tokens(1000, 400, 200, 50), tokens(2000, 1000, 300, 100)
M1, M2, M3 = tokens(10, 0, 100, 0, 300, 200, 500), tokens(20, 0, 50, 0, 100), tokens(5, 0, 10)


def plus(*groups):
    return {k: sum(g[k] for g in groups) for k in groups[0]}


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "logs"
    write(root, "work/alpha/s1.jsonl", EVENTS)
    write(root, "work/alpha/conv.jsonl", CONVERSATION)
    write(root, "misc/x/agent-1.jsonl", SUBAGENT)
    write(root, "misc/notes.jsonl", line({"note": "not a session log"}))
    return root


def run_json(cli, *args, **kw):
    done = cli(*args, "--json", **kw)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def rows_of(data, key):
    return {r[key]: {k: v for k, v in r.items() if k != key} for r in data["rows"]}


@pytest.mark.parametrize(
    "command, tz, key, expected",
    [
        ("daily", "UTC", "day", {"2025-03-14": plus(R1, R2), "2025-03-15": plus(M1, M2), "2025-03-20": M3}),
        # 23:30 UTC is the next morning in Tokyo, 16:30 UTC past midnight there.
        (
            "daily",
            "Asia/Tokyo",
            "day",
            {"2025-03-14": R1, "2025-03-15": plus(R2, M1), "2025-03-16": M2, "2025-03-20": M3},
        ),
        ("weekly", "UTC", "week", {"2025-W11": plus(R1, R2, M1, M2), "2025-W12": M3}),
        ("monthly", "UTC", "month", {"2025-03": plus(R1, R2, M1, M2, M3)}),
        ("models", "UTC", "model", {"alpha-4-5": plus(M1, M3), "beta-3": M2, "model-x": plus(R1, R2)}),
        ("projects", "UTC", "project", {"/w/alpha": plus(R1, R2, M1, M2), "/w/beta": M3}),
    ],
)
def test_reports_by_hand(cli, tree, command, tz, key, expected):
    data = run_json(cli, command, "--source", tree, "--tz", tz)
    assert rows_of(data, key) == expected
    assert data["totals"] == plus(R1, R2, M1, M2, M3)
    assert list(data["rows"][0]) == [key, *tokens()]  # field order is part of the contract


def test_blocks_across_gaps(cli, tree):
    data = run_json(cli, "blocks", tree, "--tz", "UTC")
    got = [(r["block"], r["end"], r["first_event"], r["total_tokens"], r["active"]) for r in data["rows"]]
    assert got == [
        ("2025-03-14T09:00:00Z", "2025-03-14T14:00:00Z", "2025-03-14T09:10:00Z", 1200, False),
        ("2025-03-14T23:00:00Z", "2025-03-15T04:00:00Z", "2025-03-14T23:30:00Z", 2300, False),
        ("2025-03-15T10:00:00Z", "2025-03-15T15:00:00Z", "2025-03-15T10:00:00Z", 1110, False),
        ("2025-03-15T16:00:00Z", "2025-03-15T21:00:00Z", "2025-03-15T16:30:00Z", 170, False),
        ("2025-03-20T08:00:00Z", "2025-03-20T13:00:00Z", "2025-03-20T08:00:00Z", 15, False),
    ]


@pytest.mark.parametrize(
    "args, expected_days",
    [
        (["--since", "2025-03-15", "--until", "2025-03-15", "--tz", "UTC"], ["2025-03-15"]),
        (["--since", "2025-03-15", "--until", "2025-03-15", "--tz", "Asia/Tokyo"], ["2025-03-15"]),
        (
            ["--since", "2025-03-14T23:30:00Z", "--until", "2025-03-15T10:00:00Z", "--tz", "UTC"],
            ["2025-03-14", "2025-03-15"],
        ),
        (["--since", "2025-03-14T23:30:00.001Z", "--until", "2025-03-15T09:59:59Z", "--tz", "UTC"], []),
        (["--until", "2025-03-14", "--tz", "UTC"], ["2025-03-14"]),
        (["--model", "alpha-*", "--project", "/w/b*", "--tz", "UTC"], ["2025-03-20"]),
    ],
)
def test_since_until_and_filters(cli, tree, args, expected_days):
    data = run_json(cli, "daily", tree, *args)
    assert [r["day"] for r in data["rows"]] == expected_days
    if args[:2] == ["--since", "2025-03-15"] and "Asia/Tokyo" in args:
        assert data["totals"] == plus(R2, M1)  # 2025-03-14T15:00Z to 2025-03-15T15:00Z


def test_prices_with_an_unpriced_model(cli, tree, tmp_path):
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES)
    done = cli("daily", tree, "--tz", "UTC", "--prices", prices, "--json", "--breakdown")
    assert done.returncode == 0
    data = json.loads(done.stdout)
    # model-x r1: 600 x 1.25 + 400 x 0.125 + 200 x 10 = 2800 per million; r2: 1250 + 125 + 3000 = 4375.
    # alpha m1: 30 + 1500 + 1125 + 1200 + 150 = 4005; m3: 15 + 150 = 165. beta-3 has no price.
    cost = {r["day"]: r["cost"] for r in data["rows"]}
    assert cost == {"2025-03-14": 0.007175, "2025-03-15": None, "2025-03-20": 0.000165}
    models = {m["model"]: m["cost"] for m in data["rows"][1]["models"]}
    assert models == {"alpha-4-5": 0.004005, "beta-3": None}
    assert data["totals"]["cost"] is None and data["unpriced"] == ["beta-3"]
    # One line, once: how many models, and where to see them (--verbose names them).
    warning = "ledgerly: warning: 1 model has usage without a price; costs marked + cover only the priced part"
    assert done.stderr.startswith(warning) and "prices check" in done.stderr and done.stderr.count("\n") == 1
    assert "beta-3" not in done.stderr
    assert "beta-3" in cli("daily", tree, "--prices", prices, "--json", "--verbose").stderr

    table = cli("daily", tree, "--tz", "UTC", "--prices", prices)
    assert all(cell in table.stdout for cell in ("0.0072", "0.0040+", "0.0002", "0.01+"))
    assert "beta-3" not in table.stdout and table.stderr.count("\n") == 1


def test_csv_parses_back_to_the_json_numbers(cli, tree, tmp_path):
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES + '\n[prices."*"]\ninput = 1\noutput = 2\ncache_write_5m = 1\n')
    for extra in ([], ["--breakdown"]):
        args = ["projects", tree, "--tz", "UTC", "--prices", prices, *extra]
        data = run_json(cli, *args)
        records = list(csv.DictReader(io.StringIO(cli(*args, "--csv").stdout)))
        expected = [dict(r, **m) for r in data["rows"] for m in r["models"]] if extra else data["rows"]
        assert len(records) == len(expected) > 0
        for record, row in zip(records, expected):
            assert record["project"] == row["project"]
            assert all(int(record[k]) == row[k] for k in tokens())
            assert float(record["cost"]) == row["cost"]


def test_table_fits_80_columns_with_a_totals_row(cli, tree, tmp_path):
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES)
    for command in ("daily", "projects", "blocks"):
        done = cli(command, tree, "--tz", "UTC", "--prices", prices, "--breakdown", env={"COLUMNS": "80"})
        lines = done.stdout.splitlines()
        assert max(len(s.rstrip()) for s in lines) <= 80, done.stdout
        assert any(s.strip().startswith("Total") for s in lines)
        assert "\x1b[" not in done.stdout  # no colour when not a terminal
    assert "4,795" in cli("daily", tree, "--tz", "UTC").stdout  # thousands separators


def test_discovery_in_the_home_folder(cli, home):
    write(home, ".agent-one/sessions/2025/03/14/s1.jsonl", EVENTS)
    write(home, ".agent-two/projects/-w-alpha/conv.jsonl", CONVERSATION)
    write(home, ".agent-two/projects/-w-beta/x/subagents/agent-1.jsonl", SUBAGENT)
    write(home, "plain/projects/ignored.jsonl", SUBAGENT)  # not a hidden folder
    data = run_json(cli, "daily", "--tz", "UTC")
    assert data["totals"] == plus(R1, R2, M1, M2, M3)
    sources = run_json(cli, "sources")["sources"]
    assert [
        (os.path.relpath(s["path"], str(home)), s["origin"], s["message_files"], s["event_files"]) for s in sources
    ] == [
        (os.path.join(".agent-one", "sessions"), "discovered", 0, 1),
        (os.path.join(".agent-two", "projects"), "discovered", 2, 0),
    ]


def test_config_file_supplies_sources_zone_and_prices(cli, tree, home):
    config = home / ".config" / "ledgerly" / "config.toml"
    config.parent.mkdir(parents=True)
    config.write_text('timezone = "Asia/Tokyo"\n[[sources]]\npath = "%s"\n\n%s' % (tree, PRICES))
    data = run_json(cli, "daily")
    assert [r["day"] for r in data["rows"]] == ["2025-03-14", "2025-03-15", "2025-03-16", "2025-03-20"]
    assert data["timezone"] == "Asia/Tokyo" and "cost" in data["totals"]
    # LEDGERLY_SOURCES overrides the config's sources.
    data = run_json(cli, "daily", env={"LEDGERLY_SOURCES": str(tree / "misc")})
    assert data["totals"] == dict(M3, cost=0.000165, priced_cost=0.000165)


def test_sources_lists_dialects_and_skipped_files(cli, tree):
    data = run_json(cli, "sources", tree)
    (source,) = data["sources"]
    assert (source["files"], source["message_files"], source["event_files"], source["skipped"]) == (3, 2, 1, 1)
    assert source["bytes"] == sum(len(t.encode()) for t in (EVENTS, CONVERSATION, SUBAGENT))
    assert data["skipped"] == [{"path": str(tree / "misc" / "notes.jsonl"), "reason": "not a recognised session log"}]
    text = cli("sources", tree).stdout
    assert "notes.jsonl: not a recognised session log" in text


CUT_OFF = '{"type":"assistant","message":{"usage":\n'  # a line cut off mid-write: malformed
NEGATIVE = message_line("2025-03-15T11:00:00Z", "bad", "beta-3", inp=-5, out=1)  # invalid usage


def test_sources_count_damaged_lines_per_source(cli, tree, tmp_path):
    damaged = tmp_path / "damaged"
    write(damaged, "c.jsonl", CUT_OFF + NEGATIVE + message_line("2025-03-15T12:00:00Z", "ok", "beta-3", inp=1))
    write(damaged, "d.jsonl", CUT_OFF)
    data = run_json(cli, "sources", tree, damaged)
    assert [(s["malformed"], s["invalid_usage"]) for s in data["sources"]] == [(0, 0), (2, 1)]
    table = cli("sources", tree, damaged, env={"COLUMNS": "150"}).stdout
    # Message and event logs, size, skipped files, malformed and invalid-usage lines (merged when narrow).
    assert re.search(r"damaged\s+2\s+0\s+\d+ B\s+0\s+2\s+1$", table, re.M), table
    narrow = cli("sources", tree, damaged, env={"COLUMNS": "80"}).stdout
    assert "Damaged" in narrow and re.search(r"damaged\s+2\s+0\s+\d+ B\s+0\s+3$", narrow, re.M), narrow


@pytest.mark.parametrize(
    "files, args, status, why",
    [
        (
            {"passwd": "root:x:0:0:root:/root:/bin/sh\n"},
            ["--source", "{d}/passwd"],
            1,
            "1 file was skipped ({d}/passwd: ",
        ),
        ({"junk.jsonl": "\x00\x01 not json {{\n"}, [], 1, "1 file was skipped ({d}/junk.jsonl: not a recognised"),
        (
            {"c.jsonl": CUT_OFF + NEGATIVE},
            [],
            1,
            "the log holds no usage that could be read (1 line malformed, 1 line with invalid usage)",
        ),
        ({"c.jsonl": SUBAGENT}, ["--since", "2030-01-01"], 0, "for this range and selection (the logs hold usage "),
        ({}, [], 0, "the sources hold no .jsonl files"),
    ],
)
def test_no_usage_says_why(cli, tmp_path, files, args, status, why):
    folder = tmp_path / "d"
    folder.mkdir()
    for name, text in files.items():
        (folder / name).write_text(text)
    args = [a.format(d=folder) for a in args]
    if "--source" not in args:
        args += ["--source", str(folder)]
    why = why.format(d=folder)
    table = cli("daily", "--tz", "UTC", *args, env={"COLUMNS": "300"})
    assert table.returncode == status and table.stderr == ""
    assert table.stdout.startswith("No usage found") and why in table.stdout
    data = cli("daily", "--tz", "UTC", "--json", *args)
    assert data.returncode == status and json.loads(data.stdout)["rows"] == []
    assert data.stderr.startswith("ledgerly: warning: no usage found") and why in data.stderr


@pytest.mark.parametrize(
    "args, key, expected",
    [
        (["--since", "2025-03-15", "models", "{tree}"], "model", ["alpha-4-5", "beta-3"]),
        (["--tz", "Asia/Tokyo", "--source", "{tree}", "daily"], "day", ["2025-03-14", "2025-03-15", "2025-03-16"]),
        (["--source={tree}", "-v", "weekly", "--until", "2025-03-16"], "week", ["2025-W11"]),
        # The value of an option is never the command: `models` here is a project.
        (["--project", "models", "models", "{tree}"], "model", []),
        (["logs", "--until", "2025-03-14"], "day", ["2025-03-14"]),  # a folder of the current one: daily
    ],
)
def test_options_may_come_before_the_command(cli, tree, args, key, expected):
    done = cli(*[a.format(tree=tree) for a in args], "--json", env={"TZ": "UTC"}, cwd=tree.parent)
    assert done.returncode in (0, 1), done.stderr
    assert [r[key] for r in json.loads(done.stdout)["rows"]][:3] == expected


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["daily", "{tree}"], 0, None),
        (["{tree}", "--tz", "UTC"], 0, None),  # no command: daily
        (["daily", "{tree}/nowhere"], 2, "source {tree}/nowhere: does not exist"),
        (["daily", "{tree}", "--since", "2025-02-30"], 2, "--since: '2025-02-30' is not a date"),
        (["daily", "{tree}", "--since", "2025-03-16", "--until", "2025-03-15"], 2, "is after its end"),
        (["daily", "{tree}", "--tz", "Mars/Base"], 2, "--tz: unknown time zone 'Mars/Base'"),
        (["daily", "{tree}", "--prices", "{tree}/none.toml"], 2, "none.toml: No such file or directory"),
        (["daily", "{tree}", "--config", "{tree}/bad.toml"], 2, "bad.toml:2: prices.m.inptu: unknown price key"),
        (["daily", "{tree}", "--workers", "0"], 2, "argument --workers: must be at least 1"),
        (["daily", "{tree}", "--workers", "two"], 2, "argument --workers: not a whole number: 'two'"),
        (["watch", "{tree}", "--interval", "0"], 2, "argument --interval: must be between 0.1 and 3600 seconds"),
        (["serve", "{tree}", "--port", "http"], 2, "argument --port: not a port number: 'http'"),
        (["serve", "{tree}", "--port", "65536"], 2, "must be between 0 and 65535 (0: any free port)"),
        (["serve", "{tree}", "--rescan", "nan"], 2, "argument --rescan: must be between 0.05 and 86400 seconds"),
        # Numbers are ASCII digits without underscores, as in dates and --top.
        (["daily", "{tree}", "--workers", "1_0"], 2, "argument --workers: not a whole number: '1_0'"),
        (["daily", "{tree}", "--workers", "\uff17"], 2, "argument --workers: not a whole number: '\uff17'"),
        (["serve", "{tree}", "--port", "\u0668\u0660"], 2, "argument --port: not a port number: '\u0668\u0660'"),
        (["watch", "{tree}", "--interval", "1_0"], 2, "argument --interval: not a number of seconds: '1_0'"),
        (["serve", "{tree}", "--interval", "\uff11"], 2, "argument --interval: not a number of seconds: '\uff11'"),
        (["status", "--timeout", "\u0665"], 2, "argument --timeout: not a number of seconds: '\u0665'"),
        (["daily", "{tree}", "--workers", " 2 ", "--tz", "UTC"], 0, None),
        (["daily", "{tree}", "--json", "--csv"], 2, "not allowed with argument"),
        (["frobnicate"], 2, "unknown command 'frobnicate' (and no such file or folder); the commands are daily,"),
        (["dayly", "{tree}"], 2, "unknown command 'dayly' (and no such file or folder); did you mean 'daily'?"),
        (["--tz", "UTC", "sessoins"], 2, "did you mean 'sessions'?"),
        # An option no command has names itself, not the word after it.
        (["--sinse", "7d", "daily", "{tree}"], 2, "unknown option '--sinse'; did you mean '--since'?"),
        (["--sinse=7d", "{tree}"], 2, "unknown option '--sinse'; did you mean '--since'?"),
        (["-q", "sessions", "{tree}"], 2, "unknown option '-q'; see ledgerly --help"),
        (["--sin", "7d", "--tz", "-05:00", "daily", "{tree}"], 0, None),  # abbreviations and offsets as before
        (["./frobnicate"], 2, "frobnicate: does not exist"),  # looks like a path: a source
        (["daily"], 2, "no logs found"),  # an empty home folder
    ],
)
def test_exit_statuses_and_one_line_errors(cli, tree, args, status, message):
    (tree / "bad.toml").write_text("[prices.m]\ninptu = 1\n")
    done = cli(*[a.format(tree=tree) for a in args])
    assert done.returncode == status, done.stderr
    if message is None:
        assert done.stderr == ""
    else:
        assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
        assert done.stderr.startswith("ledgerly: error: ") and message.format(tree=tree) in done.stderr


def test_unreadable_files_give_status_1_and_one_warning(cli, tree):
    for i in range(5):
        os.symlink(str(tree / ("gone-%d" % i)), str(tree / "work" / ("dangling-%d.jsonl" % i)))
    done = cli("daily", tree, "--tz", "UTC", "--json")
    assert done.returncode == 1
    assert json.loads(done.stdout)["totals"] == plus(R1, R2, M1, M2, M3)  # the rest is still counted
    assert done.stderr.count("\n") == 1
    assert "5 files or folders could not be read" in done.stderr and "2 more (--verbose" in done.stderr
    verbose = cli("daily", tree, "--tz", "UTC", "--verbose").stderr
    assert all("dangling-%d.jsonl" % i in verbose for i in range(5))


@pytest.mark.parametrize("command", [["daily"], ["status", "--no-server"]])
def test_a_closed_output_ends_quietly_with_status_141(tree, home, command):
    import subprocess

    env = {k: v for k, v in os.environ.items() if not k.startswith("LEDGERLY_")}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"), XDG_CACHE_HOME=str(home / ".cache"), TZ="UTC")
    reader, writer = os.pipe()
    os.close(reader)  # the reader is gone before the first line is written (ledgerly ... | head -0)
    try:
        done = subprocess.run(
            [sys.executable, "-m", "ledgerly", *command, "--source", str(tree)],
            stdout=writer,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
            timeout=60,
        )
    finally:
        os.close(writer)
    assert (done.returncode, done.stderr) == (141, "")


@pytest.mark.parametrize("command", [["daily", "--json"], ["blocks"], ["sessions", "--json"]])
def test_a_command_loads_only_what_it_uses(tree, home, command):
    """Start-up stays cheap: without a config file or imported versions a
    report loads neither the price maps' format and key matching nor a
    TOML reader, no network code, no insights, and building the parser
    reads no installed distribution's records (install hints are made when
    a help text is shown)."""
    import subprocess

    unused = (
        "ledgerly.prices.price_map",
        "ledgerly.prices.matching",
        "ledgerly.prices.versions",
        "ledgerly.prices.toml_table",
        "ledgerly.prices.fetch",
        "tomllib",
        "ledgerly.insights",
        "importlib.metadata",
        "http.client",
        "secrets",
    )
    code = (
        "import sys, ledgerly.cli as c; c.main(sys.argv[1:]); "
        "sys.stderr.write(' '.join(m for m in %r if m in sys.modules))" % (unused,)
    )
    env = {k: v for k, v in os.environ.items() if not k.startswith("LEDGERLY_")}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"), XDG_CACHE_HOME=str(home / ".cache"))
    env.update(XDG_DATA_HOME=str(home / ".local" / "share"), TZ="UTC")
    done = subprocess.run(
        [sys.executable, "-c", code, *command, "--source", str(tree)],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert done.returncode == 0 and done.stderr == ""


def test_ctrl_c_ends_cleanly_while_a_refresh_runs(tree):
    script = textwrap.dedent("""
        import os, signal, sys, threading, time
        from ledgerly import cli, ledger
        original = ledger.Ledger.refresh
        def slow(self, *args, **kwargs):
            threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
            time.sleep(30)
        ledger.Ledger.refresh = slow
        sys.exit(cli.main(["daily", sys.argv[1]]))
    """)
    import subprocess

    done = subprocess.run([sys.executable, "-c", script, str(tree)], capture_output=True, text=True, timeout=20)
    assert done.returncode == 130 and "Traceback" not in done.stderr and done.stdout == ""


def test_the_bundled_examples_add_up():
    """The totals worked out by hand in examples/README.md."""
    import subprocess

    env = dict(os.environ, TZ="UTC", NO_COLOR="1")
    done = subprocess.run(
        [sys.executable, "-m", "ledgerly", "models", os.path.join(ROOT, "examples"), "--json"],
        capture_output=True,
        text=True,
        env=env,
    )
    data = json.loads(done.stdout)
    assert rows_of(data, "model") == {
        "alpha-4-5": tokens(29, 0, 1313, 0, 8400, 1900, 21800),
        "beta-3": tokens(940, 0, 255, 0, 2100, 0, 2100),
        "mini-5-pro": tokens(5300, 2304, 420, 150),
        "model-x": tokens(33800, 21376, 1960, 700),
    }
    assert data["totals"]["total_tokens"] == 80317
