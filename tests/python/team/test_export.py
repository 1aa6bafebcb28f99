"""The Parquet tree: `ledgerly export --parquet`, its guarantees (same data
twice, untouched partitions stay untouched, a crash loses nothing, machines
never overwrite each other) and the query side (`ledgerly query` and plain
DuckDB SQL give the numbers of the machine's own reports)."""

import dataclasses
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

import pytest

from conftest import EXAMPLES, PRICES, TOKENS, event_log, message_line, record, snapshot_of, write

pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow (ledgerly[parquet]) is not installed")
duckdb = pytest.importorskip("duckdb", reason="duckdb (ledgerly[query]) is not installed")

from ledgerly.ledger import Ledger  # noqa: E402
from ledgerly.prices import load_prices  # noqa: E402
from ledgerly.team.export import ExportError, IncompleteLogs, _Lock, export_parquet  # noqa: E402


@pytest.fixture
def prices_file(tmp_path):
    path = tmp_path / "prices.toml"
    path.write_text(PRICES)
    return path


def snapshot(path):
    return Ledger([str(path)]).refresh()


def files_state(root):
    """{relative path: (bytes, mtime_ns)} of every file in a tree."""
    out = {}
    for folder, _dirs, names in os.walk(str(root)):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, str(root))] = (f.read(), os.stat(path).st_mtime_ns)
    return out


def parquet_files(root):
    return sorted(p for p in files_state(root) if p.endswith(".parquet"))


def sql(query, *params):
    return duckdb.connect().execute(query, list(params)).fetchall()


def by_day_and_model(tree):
    """Token sums and cost per (day, model), read with plain DuckDB SQL."""
    sums = ", ".join("sum(%s)::BIGINT" % t for t in TOKENS)
    rows = sql(
        "SELECT strftime(day, '%%Y-%%m-%%d'), model, %s, sum(cost), bool_or(cost IS NULL) "
        "FROM read_parquet('%s/**/*.parquet', hive_partitioning = true) GROUP BY ALL" % (sums, tree)
    )
    return {(r[0], r[1]): (list(r[2:10]), None if r[11] else r[10]) for r in rows}


def report_by_day_and_model(data):
    """The same from a `daily --breakdown --json` report."""
    return {
        (row["day"], m["model"]): ([m[t] for t in TOKENS], m.get("cost")) for row in data["rows"] for m in row["models"]
    }


def assert_same(got, expected):
    assert got.keys() == expected.keys()
    for key, (tokens, cost) in expected.items():
        assert got[key][0] == tokens, key
        assert (got[key][1] is None) == (cost is None), key
        if cost is not None:
            assert got[key][1] == pytest.approx(cost, abs=1e-6), key


def test_tree_read_back_equals_the_reports(cli, tmp_path, prices_file):
    tree = tmp_path / "tree"
    done = cli("export", "--parquet", tree, "--machine", "dev-1", "--prices", prices_file, EXAMPLES)
    assert done.returncode == 0, done.stderr
    assert "17 events on 4 days" in done.stdout
    # Usage without a price: the reports' one line, naming the models with --verbose.
    line = cli("daily", EXAMPLES, "--prices", prices_file).stderr
    assert done.stderr == line and line.count("\n") == 1 and "2 models have usage without a price" in line
    again = cli("export", "--parquet", tree, "--machine", "dev-1", "--prices", prices_file, EXAMPLES, "--verbose")
    assert again.stderr == cli("daily", EXAMPLES, "--prices", prices_file, "--verbose").stderr
    assert "beta-3, mini-5-pro" in again.stderr
    assert parquet_files(tree) == ["machine=dev-1/day=2025-03-1%d/part-0.parquet" % d for d in (4, 5, 6, 7)]

    daily = json.loads(cli("daily", EXAMPLES, "--tz", "UTC", "--prices", prices_file, "--breakdown", "--json").stdout)
    assert_same(by_day_and_model(tree), report_by_day_and_model(daily))

    # `ledgerly query` gives each report's own JSON, costs to rounding.
    for report in ("daily", "weekly", "monthly", "models", "projects"):
        args = ("--prices", prices_file, "--breakdown", "--json")
        mine = json.loads(cli(report, EXAMPLES, "--tz", "UTC", *args).stdout)
        team = cli("query", tree, report, "--breakdown", "--json")
        assert team.returncode == 0, team.stderr
        assert _strip(team.stdout) == _strip(json.dumps(mine)), report
        assert team.stderr == line
    assert "beta-3, mini-5-pro" in cli("query", tree, "--verbose").stderr


def _strip(text):
    """A report's JSON with costs rounded to 5 decimals (events' costs are
    summed in another order than the report's per-group costs)."""

    def walk(value):
        if isinstance(value, dict):
            return {k: (round(v, 5) if k == "cost" and v is not None else walk(v)) for k, v in value.items()}
        if isinstance(value, list):
            return [walk(v) for v in value]
        return value

    return walk(json.loads(text))


def test_columns_and_types(tmp_path, prices_file):
    export_parquet(snapshot(EXAMPLES), str(tmp_path), machine="dev-1", prices=load_prices(str(prices_file)))
    table = pq.ParquetFile(str(tmp_path / "machine=dev-1" / "day=2025-03-15" / "part-0.parquet")).read()
    assert table.column_names == [
        "timestamp",
        "model",
        "project",
        "dialect",
        "subagent",
        "tier",
        *TOKENS[:-1],
        "total_tokens",
        "cost",
        "price_table",
    ]
    assert str(table.schema.field("timestamp").type) == "timestamp[ms, tz=UTC]"
    first = table.slice(0, 1).to_pylist()[0]
    # lantern-1: model-x at 14:20 UTC; 1.25 x (input - cached) + 0.125 x cached + 10 x output per million.
    assert (first["model"], first["project"], first["dialect"], first["subagent"], first["tier"]) == (
        "model-x",
        "/home/dev/lantern",
        "event",
        False,
        "unknown",
    )
    expected = (
        1.25 * (first["input"] - first["cached_input"]) + 0.125 * first["cached_input"] + 10.0 * first["output"]
    ) / 1e6
    assert first["cost"] == pytest.approx(expected) and len(first["price_table"]) == 16


def test_same_logs_give_the_same_files_and_a_second_export_writes_nothing(tmp_path):
    logs = tmp_path / "logs"
    shutil.copytree(EXAMPLES, str(logs))
    one, two = tmp_path / "one", tmp_path / "two"
    first = export_parquet(snapshot(logs), str(one), machine="m")
    export_parquet(snapshot(logs), str(two), machine="m")
    assert len(first.written) == 4
    assert {p: s[0] for p, s in files_state(one).items()} == {p: s[0] for p, s in files_state(two).items()}

    before = files_state(one)
    again = export_parquet(snapshot(logs), str(one), machine="m")
    assert (again.written, again.unchanged, again.removed) == ((), 4, ())
    assert files_state(one) == before  # bytes and mtimes

    # One new response on 2025-03-17: only that partition is rewritten.
    with open(str(logs / "lantern" / "conv-9.jsonl"), "a") as f:
        f.write(message_line("2025-03-17T02:00:00Z", "msg-903", "alpha-4-5", inp=1, out=2))
    result = export_parquet(snapshot(logs), str(one), machine="m")
    assert result.written == ("2025-03-17",) and result.unchanged == 3
    after = files_state(one)
    changed = {p for p in before if p.endswith(".parquet") and after[p] != before[p]}
    assert changed == {"machine=m/day=2025-03-17/part-0.parquet"}


def test_file_content_does_not_depend_on_the_order_of_rows_or_names(tmp_path):
    rows = [
        record("2025-03-14T10:00:00Z", 0, 0, (5, 1, 2, 0, 0, 0, 0)),
        record("2025-03-14T10:00:00Z", 1, 1, (7, 0, 3, 1, 0, 0, 0), kind=0, sub=1, tier=2),
        record("2025-03-14T10:00:00Z", 0, 0, (5, 1, 2, 0, 0, 0, 0)),  # an equal event
        record("2025-03-14T11:00:00Z", 1, 0, (1, 0, 1, 0, 0, 0, 0)),
    ]
    a = snapshot_of(rows, models=("beta", "alpha"), projects=("/p", "/q"))
    # The same events in another order, with the name tables the other way round.
    swapped = [(r[0], 1 - r[1], 1 - r[2], *r[3:]) for r in reversed(rows)]
    b = snapshot_of(swapped, models=("alpha", "beta"), projects=("/q", "/p"))
    export_parquet(a, str(tmp_path / "a"), machine="m")
    export_parquet(b, str(tmp_path / "b"), machine="m")
    assert (
        files_state(tmp_path / "a")["machine=m/day=2025-03-14/part-0.parquet"][0]
        == files_state(tmp_path / "b")["machine=m/day=2025-03-14/part-0.parquet"][0]
    )


def two_machines(tmp_path):
    """Two machines' logs: overlapping days, a model in common."""
    alice = tmp_path / "alice-logs"
    shutil.copytree(EXAMPLES, str(alice))
    build = tmp_path / "build-logs"
    write(
        build,
        "ci/run-1.jsonl",
        event_log(
            "ci-1",
            "/srv/ci",
            "mini-5-pro",
            [("2025-03-15T03:00:00Z", 900, 100, 40, 10), ("2025-03-16T04:00:00Z", 800, 0, 30, 0)],
        ),
    )
    write(
        build,
        "ci/conv.jsonl",
        message_line("2025-03-16T05:00:00Z", "b-1", "alpha-4-5", inp=11, out=22, read=33, cwd="/srv/ci"),
    )
    return alice, build


def test_two_machines_merged_answer_one_query(cli, tmp_path, prices_file):
    alice, build = two_machines(tmp_path)
    for name, logs, extra in (("alice-laptop", alice, ["--prices", prices_file]), ("build-01", build, [])):
        out = tmp_path / ("out-" + name)
        assert cli("export", "--parquet", out, "--machine", name, logs, *extra).returncode == 0
        shutil.copytree(str(out), str(tmp_path / "team"), dirs_exist_ok=True)  # collecting = copying folders
    team = tmp_path / "team"

    merged = json.loads(cli("query", team, "monthly", "--by", "machine", "--json").stdout)
    rows = {r["machine"]: r for r in merged["rows"]}
    for name, logs, extra in (("alice-laptop", alice, ["--prices", prices_file]), ("build-01", build, [])):
        own = json.loads(cli("monthly", logs, "--tz", "UTC", "--json", *extra).stdout)["rows"][0]
        assert {t: rows[name][t] for t in TOKENS} == {t: own[t] for t in TOKENS}
    # build-01 exported without prices: its costs are unknown, and so is the team's total.
    assert rows["build-01"]["cost"] is None and merged["totals"]["cost"] is None
    assert rows["alice-laptop"]["cost"] is None  # beta-3 and mini-5-pro have no price on alice's machine either
    totals = {t: sum(r[t] for r in merged["rows"]) for t in TOKENS}
    assert {t: merged["totals"][t] for t in TOKENS} == totals

    # The same by plain SQL, per machine, with a machine filter and a date range.
    got = dict(
        sql(
            "SELECT machine, sum(total_tokens)::BIGINT FROM read_parquet('%s/**/*.parquet') "
            "WHERE day BETWEEN DATE '2025-03-15' AND DATE '2025-03-16' GROUP BY machine" % team
        )
    )
    assert got == {"alice-laptop": 7910 + 2156, "build-01": 940 + 830 + 66}
    only = json.loads(cli("query", team, "daily", "--machine", "build-*", "--since", "2025-03-16", "--json").stdout)
    assert [(r["day"], r["total_tokens"]) for r in only["rows"]] == [("2025-03-16", 830 + 66)]


def test_machines_never_touch_each_other(tmp_path):
    alice, build = two_machines(tmp_path)
    tree = tmp_path / "tree"
    export_parquet(snapshot(alice), str(tree), machine="alice-laptop")
    before = files_state(tree / "machine=alice-laptop")
    # build-01 has no events on alice's days 14 and 17; its export covers 15 to 16 only, in its own folder.
    result = export_parquet(snapshot(build), str(tree), machine="build-01")
    assert result.written == ("2025-03-15", "2025-03-16") and result.removed == ()
    assert files_state(tree / "machine=alice-laptop") == before


def test_a_crash_before_the_rename_leaves_the_previous_data(tmp_path):
    logs = tmp_path / "logs"
    shutil.copytree(EXAMPLES, str(logs))
    tree = tmp_path / "tree"
    export_parquet(snapshot(logs), str(tree), machine="m")
    before = files_state(tree)
    totals = sql("SELECT sum(total_tokens)::BIGINT FROM read_parquet('%s/**/*.parquet')" % tree)
    assert totals == [(80317,)]

    with open(str(logs / "lantern" / "conv-9.jsonl"), "a") as f:
        f.write(message_line("2025-03-17T02:00:00Z", "msg-903", "alpha-4-5", inp=1, out=2))
    # A process that dies the moment it would rename its finished temporary file.
    crash = (
        "import os, sys\n"
        "import ledgerly.team.export as e\n"
        "from ledgerly.ledger import Ledger\n"
        "e.commit = lambda tmp, final: os._exit(9)\n"
        "e.export_parquet(Ledger([sys.argv[1]]).refresh(), sys.argv[2], machine='m')\n"
    )
    done = subprocess.run([sys.executable, "-c", crash, str(logs), str(tree)], capture_output=True, text=True)
    assert done.returncode == 9, done.stderr
    leftover = [p for p in files_state(tree) if p not in before]
    assert len(leftover) == 1 and os.path.basename(leftover[0]).startswith(".part-0.parquet.")
    assert {p: s for p, s in files_state(tree).items() if p in before} == before
    # Readers see the previous data and never the temporary file.
    assert sql("SELECT sum(total_tokens)::BIGINT FROM read_parquet('%s/**/*.parquet')" % tree) == totals

    result = export_parquet(snapshot(logs), str(tree), machine="m")
    assert result.written == ("2025-03-17",)
    assert not [p for p in files_state(tree) if os.path.basename(p).startswith(".part")]
    assert sql("SELECT sum(total_tokens)::BIGINT FROM read_parquet('%s/**/*.parquet')" % tree) == [(80317 + 3,)]


def test_since_touches_only_its_days_and_removes_only_inside_the_range(tmp_path):
    logs = tmp_path / "logs"
    shutil.copytree(EXAMPLES, str(logs))
    tree = tmp_path / "tree"
    export_parquet(snapshot(logs), str(tree), machine="m")
    before = files_state(tree)
    # New events on an old day and a recent one; the 16th loses its only event.
    write(logs, "extra/old.jsonl", message_line("2025-03-14T12:00:00Z", "x-1", "beta-3", inp=1, out=1))
    write(logs, "extra/new.jsonl", message_line("2025-03-17T12:00:00Z", "x-2", "beta-3", inp=1, out=1))
    conv = (logs / "lantern" / "conv-9.jsonl").read_text().splitlines(True)
    (logs / "lantern" / "conv-9.jsonl").write_text("".join(s for s in conv if "msg-901" not in s))

    # A time stands for its whole day: the 15th (one session at 14:20) is
    # exported whole, not emptied from 16:00 on.
    result = export_parquet(snapshot(logs), str(tree), machine="m", since="2025-03-15T16:00:00Z")
    assert (result.first_day, result.last_day) == ("2025-03-15", "2025-03-17")
    assert (result.written, result.unchanged, result.removed) == (("2025-03-17",), 1, ("2025-03-16",))
    after = files_state(tree)
    for day in ("14", "15"):
        path = "machine=m/day=2025-03-%s/part-0.parquet" % day
        assert after[path] == before[path]
    assert not os.path.exists(str(tree / "machine=m" / "day=2025-03-16"))

    # Without bounds the range runs from the first to the last day with
    # events: a partition before the first event (logs removed by an
    # agent's retention) stays.
    for name in ("harbor",):
        shutil.rmtree(str(logs / name))
    os.remove(str(logs / "extra" / "old.jsonl"))
    result = export_parquet(snapshot(logs), str(tree), machine="m")
    assert result.first_day == "2025-03-15" and result.removed == ()
    assert "machine=m/day=2025-03-14/part-0.parquet" in files_state(tree)


def test_unreadable_logs_export_nothing_unless_partial(cli, tmp_path):
    tree = tmp_path / "tree"
    export_parquet(snapshot(EXAMPLES), str(tree), machine="m")
    before = files_state(tree)
    # conv-2 holds some of the 14th's events; say it could not be opened this time.
    logs = tmp_path / "logs"
    shutil.copytree(EXAMPLES, str(logs))
    os.remove(str(logs / "harbor" / "conv-2.jsonl"))
    failed = dataclasses.replace(snapshot(logs), errors=(str(logs / "harbor" / "conv-2.jsonl") + ": denied",))
    with pytest.raises(IncompleteLogs, match="1 log file"):
        export_parquet(failed, str(tree), machine="m")
    assert files_state(tree) == before
    assert export_parquet(failed, str(tree), machine="m", partial=True).written == ("2025-03-14",)

    # The command: a log that cannot be opened (a link to nothing).
    os.symlink(str(tmp_path / "nowhere"), str(logs / "harbor" / "lost.jsonl"))
    other = tmp_path / "other"
    done = cli("export", "--parquet", other, logs)
    assert done.returncode == 1 and not os.path.exists(str(other))
    assert "nothing exported" in done.stderr and "--partial" in done.stderr
    done = cli("export", "--parquet", other, logs, "--partial")
    assert done.returncode == 1 and parquet_files(other)  # exported, and still says a log was not read


@pytest.mark.parametrize("name", ["a/b", "a\\b", "a=b", "..", ".hidden", "", "a b", "x" * 65, "-lead", "é"])
def test_bad_machine_names_are_refused(cli, tmp_path, name):
    done = cli("export", "--parquet", tmp_path / "tree", "--machine=" + name, EXAMPLES)
    assert done.returncode == 2 and done.stderr.count("\n") == 1 and "machine name" in done.stderr
    assert not os.path.exists(str(tmp_path / "tree"))


@pytest.mark.parametrize("command, module, extra", [("export", "pyarrow", "parquet"), ("query", "duckdb", "query")])
def test_a_missing_extra_is_one_line(cli, tmp_path, command, module, extra):
    # A stand-in package on the path that fails to import, as when it is not installed.
    fake = tmp_path / "fake"
    write(fake, module + "/__init__.py", "raise ImportError('not installed')\n")
    (tmp_path / "tree").mkdir()
    args = ["--parquet", tmp_path / "tree", EXAMPLES] if command == "export" else [tmp_path / "tree"]
    env = {"PYTHONPATH": os.pathsep.join([str(fake), os.environ.get("PYTHONPATH", "")])}
    done = cli(command, *args, env=env)
    assert done.returncode == 2 and done.stdout == ""
    # The hint of the ledgerly under test (both ways when run from a source tree).
    from ledgerly.extras import install_hint

    hint = install_hint(extra)
    assert done.stderr == "ledgerly: error: %s Parquet needs %s: %s\n" % (
        "writing" if command == "export" else "querying",
        module,
        hint,
    )


def test_a_damaged_file_fails_the_query_and_the_next_export_replaces_it(cli, tmp_path):
    tree = tmp_path / "tree"
    export_parquet(snapshot(EXAMPLES), str(tree), machine="m")
    damaged = tree / "machine=m" / "day=2025-03-15" / "part-0.parquet"
    damaged.write_bytes(b"PAR1 cut short by a copy")
    done = cli("query", tree, "--json")
    assert done.returncode == 1 and done.stdout == "" and done.stderr.count("\n") == 1
    assert "reading" in done.stderr
    assert export_parquet(snapshot(EXAMPLES), str(tree), machine="m").written == ("2025-03-15",)
    assert json.loads(cli("query", tree, "--json").stdout)["totals"]["total_tokens"] == 80317


def test_overlapping_exports_of_one_machine_are_refused(tmp_path):
    folder = tmp_path / "tree" / "machine=m"
    folder.mkdir(parents=True)
    held = _Lock(str(folder))
    try:
        with pytest.raises(ExportError, match="another export"):
            export_parquet(snapshot(EXAMPLES), str(tmp_path / "tree"), machine="m")
    finally:
        held.release()
    assert export_parquet(snapshot(EXAMPLES), str(tmp_path / "tree"), machine="m").days == 4


def test_query_sums_beyond_64_bits_empty_selections_and_quotes_in_paths(tmp_path):
    big = 2**62
    rows = [
        record("2025-03-14T10:00:00Z", 0, 0, (big, 0, big, 0, 0, 0, 0)),
        record("2025-03-14T11:00:00Z", 0, 0, (big, 0, big, 0, 0, 0, 0)),
    ]
    tree = tmp_path / "it's here"
    export_parquet(snapshot_of(rows, models=("m",)), tree, machine="m")
    from ledgerly.team.query import connect, query_report

    data = query_report(tree, by=("model",)).to_dict()
    assert data["totals"]["input"] == 2 * big and data["totals"]["total_tokens"] == 4 * big
    empty = query_report(tree, by=("day",), since="2026-01-01").to_dict()
    assert empty["rows"] == [] and empty["totals"]["total_tokens"] == 0
    assert connect(tree).execute("SELECT count(*), min(machine) FROM usage").fetchall() == [(2, "m")]


def test_an_event_total_beyond_64_bits_is_null_never_wrapped(tmp_path):
    big = 2**62
    rows = [
        record("2025-03-14T10:00:00Z", 0, 0, (big, 0, big, 0, 0, 0, 0)),  # 2**63: one more than int64 holds
        record("2025-03-14T11:00:00Z", 0, 0, (big - 1, 0, big, 0, 0, 0, 0)),  # 2**63 - 1: fits
        record("2025-03-14T12:00:00Z", 0, 0, (big, 0, big, 0, big, big, big)),
        record("2025-03-14T13:00:00Z", 0, 0, (5, 1, 7, 2, 0, 0, 3)),
    ]
    export_parquet(snapshot_of(rows, models=("m",)), str(tmp_path), machine="m")
    table = pq.read_table(str(tmp_path / "machine=m" / "day=2025-03-14" / "part-0.parquet"))
    assert table.column("total_tokens").to_pylist() == [None, 2**63 - 1, None, 15]


def test_the_team_page_runs_as_written(cli, tmp_path, prices_file, monkeypatch):
    """Every SQL block of docs/team.md and every `ledgerly query` line, on
    a two-machine tree in ./team."""
    from ledgerly import export_parquet as exported  # the names the page uses
    from ledgerly import query_report

    with open(os.path.join(EXAMPLES, "..", "docs", "team.md"), encoding="utf-8") as f:
        page = f.read()
    alice, build = two_machines(tmp_path)
    team = tmp_path / "team"
    exported(snapshot(alice), str(team), machine="alice-laptop", prices=load_prices(str(prices_file)))
    exported(snapshot(build), str(team), machine="build-01")

    monkeypatch.chdir(tmp_path)
    con = duckdb.connect()
    results = [con.execute(block).fetchall() for block in re.findall(r"```sql\n(.*?)```", page, re.S)]
    assert len(results) >= 6 and all(results[1:])
    per_machine = {row[0]: row[2] for row in results[1]}
    for name, logs in (("alice-laptop", alice), ("build-01", build)):
        own = query_report(str(team), by=("machine",), machine=name).to_dict()["totals"]["total_tokens"]
        assert per_machine[name] == own == json.loads(cli("monthly", logs, "--json").stdout)["totals"]["total_tokens"]
    assert [row[0] for row in results[2]] == ["alice", "ci"]

    commands = [
        shlex.split(line)
        for block in re.findall(r"```sh\n(.*?)```", page, re.S)
        for line in block.splitlines()
        if line.startswith("ledgerly query")
    ]
    assert len(commands) >= 3
    for command in commands:
        done = cli(*command[1:], cwd=tmp_path)
        assert done.returncode == 0 and done.stdout, (command, done.stderr)
