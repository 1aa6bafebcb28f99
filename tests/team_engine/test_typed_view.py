"""The distributed engine of docs/team.md in local mode: two machines'
exports merged into one tree, read through the typed view written there
(machine as text, day as a date), give the sums `ledgerly query` gives,
to the token; a machine named like a number keeps its name.

Run by tools/team-engine-test.sh (its own CI step), not by the Python
suite: it needs a Java runtime and the engine's package, and takes its
own minute."""

import json
import os
import re
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

from conftest import PRICES, event_log, message_line, write  # noqa: E402

pyspark = pytest.importorskip("pyspark", reason="pyspark is not installed (tools/team-engine-test.sh installs it)")
TOKENS = ("input", "cached_input", "output", "reasoning_output", "cache_write_5m", "cache_write_1h", "cache_read")
# Machine names that look like numbers: the engine would read both as integers (007 as 7).
MACHINES = ("007", "2024")


def ledgerly(*args, cwd=None):
    env = dict(os.environ, LEDGERLY_NO_CACHE="1", TZ="UTC")
    done = subprocess.run(
        [sys.executable, "-m", "ledgerly", *map(str, args)], capture_output=True, text=True, env=env, cwd=cwd
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """Each machine's logs (both dialects, a day boundary in UTC, a model
    without a price), exported into its own tree, then the machine folders
    copied side by side into one."""
    base = tmp_path_factory.mktemp("team")
    prices = base / "prices.toml"
    prices.write_text(PRICES)
    team = base / "team"
    for n, machine in enumerate(MACHINES):
        logs = base / ("logs-" + machine)
        write(
            logs,
            "p/conv.jsonl",
            message_line(
                "2025-03-14T23:50:00Z",
                "m1-%d" % n,
                "alpha-4-5",
                inp=10 + n,
                out=200,
                read=3000,
                write_5m=400,
                cwd="/w/a",
            )
            + message_line(
                "2025-03-15T00:10:00Z", "m2-%d" % n, "alpha-4-5", inp=4, out=90 + n, write_1h=700, cwd="/w/a"
            )
            + message_line("2025-03-16T12:00:00Z", "m3-%d" % n, "beta-3", inp=50, out=5 * n, read=100, cwd="/w/b"),
        )
        turns = [("2025-03-15T09:00:00Z", 2000 + n, 800, 150, 40), ("2025-03-15T09:05:00Z", 1000, 600, 60, 0)]
        write(logs, "s/e-%d.jsonl" % n, event_log("e-%d" % n, "/w/c", "model-x", turns))
        export = base / ("export-" + machine)
        ledgerly("export", "--source", logs, "--parquet", export, "--machine", machine, "--prices", prices)
        os.makedirs(team, exist_ok=True)
        os.rename(export / ("machine=" + machine), team / ("machine=" + machine))
    return team


def typed_view_statements():
    """The statements of docs/team.md's sparksql block, as written there."""
    with open(os.path.join(ROOT, "docs", "team.md"), encoding="utf-8") as f:
        text = f.read()
    block = re.search(r"```sparksql\n(.*?)```", text, re.S).group(1)
    return [s.strip() for s in block.split(";") if s.strip()]


@pytest.fixture(scope="module")
def spark(tree):
    from pyspark.sql import SparkSession

    # The view's path is relative, as in the docs: the engine (its JVM keeps
    # the folder it started in) runs from the folder that holds team/.
    cwd = os.getcwd()
    os.chdir(os.path.dirname(tree))
    try:
        session = (
            SparkSession.builder.master("local[1]")
            .appName("ledgerly-typed-view")
            .config("spark.ui.enabled", "false")
            .config("spark.sql.shuffle.partitions", "2")
            .config("spark.ui.showConsoleProgress", "false")
            .getOrCreate()
        )
    finally:
        os.chdir(cwd)
    session.sparkContext.setLogLevel("ERROR")
    try:
        for statement in typed_view_statements():
            session.sql(statement)
        yield session
    finally:
        session.stop()


def test_the_view_types_machine_as_text_and_day_as_a_date(spark):
    types = {f.name: f.dataType.simpleString() for f in spark.table("usage").schema.fields}
    assert types["machine"] == "string" and types["day"] == "date"
    machines = sorted(r.machine for r in spark.sql("SELECT DISTINCT machine FROM usage").collect())
    assert machines == sorted(MACHINES)
    # A date comparison on day works as written (and prunes folders).
    days = spark.sql(
        "SELECT DISTINCT day FROM usage WHERE day BETWEEN DATE '2025-03-15' AND DATE '2025-03-15'"
    ).collect()
    assert [str(r.day) for r in days] == ["2025-03-15"]


def test_every_sum_equals_ledgerly_query(spark, tree):
    sums = ", ".join("CAST(sum(%s) AS BIGINT) AS %s" % (t, t) for t in TOKENS)
    rows = spark.sql(
        "SELECT machine, CAST(day AS STRING) AS day, %s, CAST(sum(total_tokens) AS BIGINT) AS total_tokens, "
        "CASE WHEN count(cost) = count(*) THEN sum(cost) END AS cost, coalesce(sum(cost), 0) AS priced_cost "
        "FROM usage GROUP BY machine, day" % sums
    ).collect()
    got = {(r.machine, r.day): r.asDict() for r in rows}
    report = json.loads(ledgerly("query", tree, "daily", "--by", "machine", "--json"))
    expected = {(row["machine"], row["day"]): row for row in report["rows"]}
    assert got.keys() == expected.keys() and len(got) == 2 * 3
    for key, row in expected.items():
        assert [got[key][t] for t in TOKENS + ("total_tokens",)] == [row[t] for t in TOKENS + ("total_tokens",)], key
        assert (got[key]["cost"] is None) == (row["cost"] is None), key
        # The report rounds costs to 6 places; SQL's sum of no costs is null where the priced part is 0.
        assert got[key]["priced_cost"] == pytest.approx(row["priced_cost"], abs=1e-6), key
    whole = spark.sql("SELECT %s FROM usage" % sums).collect()[0].asDict()
    assert whole == {t: report["totals"][t] for t in TOKENS}
