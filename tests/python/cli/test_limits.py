"""Limits per block, day and month from the command line: `check` and its
exit statuses, and the use of the limits in `blocks` and `status`, which
never fail because a limit is passed."""

import json
from datetime import datetime, timedelta, timezone

import pytest

from ledgerly.config import ConfigError, load_config

from conftest import PRICES, message_line, write


def recent(minutes_ago, key, inp, model="alpha-4-5"):
    """A message line `minutes_ago` minutes ago, but not before today's
    midnight (UTC), so that today and the current block hold it."""
    now = datetime.now(timezone.utc).replace(microsecond=0)
    when = max(now - timedelta(minutes=minutes_ago), now.replace(hour=0, minute=0, second=0))
    return message_line(when.strftime("%Y-%m-%dT%H:%M:%SZ"), key, model, inp=inp, cwd="/w/live")


@pytest.fixture
def tree(tmp_path):
    """An old block of 10,000 tokens and a current one of 3,000 (1,000 and
    2,000 in the last hour: 50 a minute)."""
    root = tmp_path / "logs"
    write(root, "old.jsonl", message_line("2025-03-14T10:00:00Z", "o1", "alpha-4-5", inp=10_000, cwd="/w/old"))
    write(root, "now.jsonl", recent(40, "n1", 1000) + recent(20, "n2", 2000))
    return root


def config(tmp_path, limits, prices=False):
    path = tmp_path / "config.toml"
    path.write_text("[limits]\n%s\n%s" % (limits, PRICES if prices else ""))
    return path


@pytest.mark.parametrize(
    "limits, args, status, out",
    [
        ("block_tokens = 4000\nmonth_tokens = 1000000", (), 0, "No limit passed."),
        ("block_tokens = 4000\nday_tokens = 2500", (), 3, "Passed: day tokens."),
        ("day_cost = 0.001", (), 3, "Passed: day cost."),  # 3,000 x 3 per million
        ("", ("--limit", "max"), 0, "No limit passed."),  # 3,000 of the largest block's 10,000
        ("block_tokens = 2000", ("--limit", "max"), 0, "(block limits: the largest block so far)"),
    ],
)
def test_check_says_which_limits_are_passed(cli, tree, tmp_path, limits, args, status, out):
    common = ("check", "--source", tree, "--config", config(tmp_path, limits, prices=True), "--tz", "UTC", *args)
    done = cli(*common)
    assert (done.returncode, done.stderr) == (status, ""), done.stderr
    assert out in done.stdout and done.stdout.startswith("Limits at ")
    data = json.loads(cli(*common, "--json").stdout)
    assert data["passed"] == [u["name"] for u in data["limits"] if u["used"] > u["limit"]]
    assert bool(data["passed"]) == (status == 3)


@pytest.mark.parametrize(
    "limits, args, message",
    [
        (None, (), "no limits to check: set any of block_tokens, "),
        ("day_cost = 1.5", (), "day_cost: a cost limit needs a price table"),
        ("block_tokens = 5", ("--limit", "5"), "argument --limit: invalid choice: '5'"),
        ("block_tokns = 5", (), "limits.block_tokns: unknown limit"),
    ],
)
def test_check_usage_errors_stay_2(cli, tree, tmp_path, limits, args, message):
    extra = () if limits is None else ("--config", config(tmp_path, limits))
    done = cli("check", "--source", tree, *extra, *args)
    assert done.returncode == 2 and done.stdout == "" and message in done.stderr
    assert done.stderr.count("\n") == 1


def test_with_only_its_current_block_max_has_nothing_to_compare_with(cli, tmp_path):
    write(tmp_path / "logs", "now.jsonl", recent(5, "n1", 10))
    done = cli("check", "--source", tmp_path / "logs", "--limit", "max")
    assert done.returncode == 0 and "nothing to compare with" in done.stdout


def test_blocks_and_status_show_the_use_of_the_limits(cli, tree, tmp_path):
    path = config(tmp_path, "block_tokens = 4000\nday_tokens = 2500")
    common = ("--source", tree, "--config", path, "--tz", "UTC")
    done = cli("blocks", *common, "--json")
    assert done.returncode == 0  # a passed limit fails no command
    (use,) = json.loads(done.stdout)["limits"]  # the block limits only
    assert (use["name"], use["used"], use["percent"], use["passed"]) == ("block_tokens", 3000, 75.0, False)
    assert use["reaches_at"] is not None  # 1,000 more at 50 a minute: within the block

    wide = cli("blocks", *common, env={"COLUMNS": "120"}).stdout
    rows = [line.split() for line in wide.splitlines() if line.startswith("  20")]
    assert [row[-1] for row in rows] == ["250%", "75%"]  # each block against the limit
    assert "Current block" in wide and "███████████████░░░░░  75%  3,000 of 4,000  full at " in wide
    narrow = cli("blocks", *common, env={"COLUMNS": "80"}).stdout
    assert max(len(line) for line in narrow.splitlines()) <= 80 and "75%  3,000 of 4,000" in narrow

    status = cli("status", *common, "--no-server")
    assert status.returncode == 0 and status.stdout.rstrip().endswith("| day tokens 120% passed")
    fields = "{block_tokens_use} {block_tokens_bar} {day_tokens_use} {day_tokens_at} {month_tokens_use} {limit}"
    line = cli("status", *common, "--no-server", "--format", fields).stdout.strip()
    assert line == "75% ████████░░ 120% - - day tokens 120% passed"


@pytest.mark.parametrize(
    "limits, prices, shown",
    [
        ("block_tokens = 4000", True, ["250%", "75%"]),
        ("block_cost = 0.01", True, ["300%+", "90%"]),  # the old block has usage without a price: at least 300%
        ("block_cost = 0.01\nblock_tokens = 4000", False, ["250% -", "75% -"]),  # no price table: no cost to compare
    ],
)
def test_blocks_at_80_columns_show_each_blocks_use_of_its_limits(cli, tree, tmp_path, limits, prices, shown):
    with open(tree / "old.jsonl", "a") as f:
        f.write(message_line("2025-03-14T10:30:00Z", "o2", "unpriced-1", inp=0, out=0, read=1, cwd="/w/old"))
    common = ("--source", tree, "--config", config(tmp_path, limits, prices), "--tz", "UTC")
    table = cli("blocks", *common, env={"COLUMNS": "80"}).stdout
    assert max(len(line) for line in table.splitlines()) <= 80
    rows = [line.split() for line in table.splitlines() if line.startswith("  20")]
    assert [" ".join(row[-len(shown[0].split()) :]) for row in rows] == shown, table


@pytest.mark.parametrize(
    "line, message",
    [
        ("block_cost = 5e-324", "a cost limit must be a number from 1e-06 to 1e+12, not 5e-324"),
        ("day_cost = 0.0000009", "not 9e-07"),
        ("month_cost = 1e308", "not 1e+308"),
        ("day_cost = inf", "not inf"),
        ("block_tokens = 9223372036854775808", "a token limit must be a whole number from 1 to 9223372036854775807"),
        ("day_tokens = 1%s" % ("0" * 400), "not 10000000000000000000... (401 characters)"),
    ],
)
def test_limits_outside_their_bounds_are_refused_with_file_line_and_key(tmp_path, line, message):
    path = tmp_path / "config.toml"
    path.write_text("timezone = 'UTC'\n[limits]\n%s\n" % line)
    with pytest.raises(ConfigError) as caught:
        load_config(str(path))
    assert str(caught.value) == "%s:3: limits.%s: %s" % (path, line.split()[0], str(caught.value).split(": ", 2)[2])
    assert message in str(caught.value) and "\n" not in str(caught.value)


def test_limits_at_their_bounds_are_measured_by_every_command(cli, tree, tmp_path):
    """The bounds themselves, and a price so low that the pace would reach
    them only after longer than any float holds: every command answers,
    its JSON has no Infinity, and no time is given."""
    path = tmp_path / "config.toml"
    path.write_text(
        "[limits]\nblock_tokens = 9223372036854775807\nblock_cost = 1e12\nday_tokens = 1\nday_cost = 1e-6\n"
        '[prices."alpha-4*"]\ninput = 1e-300\n'
    )
    common = ("--source", tree, "--config", path, "--tz", "UTC")

    def strict(text):
        return json.loads(text, parse_constant=lambda name: pytest.fail("%s in the JSON" % name))

    check = cli("check", *common)
    assert (check.returncode, check.stderr) == (3, ""), check.stderr
    assert "Passed: day tokens." in check.stdout
    data = strict(cli("check", *common, "--json").stdout)
    assert [(u["name"], u["reaches_at"]) for u in data["limits"]] == [
        ("block_tokens", None),
        ("block_cost", None),
        ("day_tokens", None),
        ("day_cost", None),
    ]
    assert [u["percent"] for u in data["limits"]][2:] == [300_000.0, 0.0]
    blocks = cli("blocks", *common, "--json")
    assert blocks.returncode == 0 and len(strict(blocks.stdout)["limits"]) == 2, blocks.stderr
    table = cli("blocks", *common)
    assert table.returncode == 0 and "Current block" in table.stdout, table.stderr
    status = cli("status", *common, "--no-server")
    assert (status.returncode, status.stderr) == (0, "") and "day tokens 300000% passed" in status.stdout


def test_the_largest_block_as_limit_is_marked_when_part_of_it_has_no_price(cli, tmp_path):
    root = tmp_path / "logs"
    old = message_line("2025-03-14T10:00:00Z", "o1", "alpha-4-5", inp=10_000, cwd="/w/old")
    old += message_line("2025-03-14T10:05:00Z", "o2", "gamma-1", inp=500, cwd="/w/old")  # no price
    write(root, "old.jsonl", old)
    write(root, "now.jsonl", recent(20, "n1", 3000))
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES)
    common = ("check", "--source", root, "--prices", prices, "--tz", "UTC", "--limit", "max")
    done = cli(*common, env={"COLUMNS": "120"})
    assert done.returncode == 0, done.stderr
    assert "block cost  " in done.stdout and "0.0090 of 0.03+" in done.stdout  # 3,000 and 10,000 at 3 per million
    assert "3,000 of 10,500" in done.stdout  # tokens are counted whole: no +
    uses = {u["name"]: u for u in json.loads(cli(*common, "--json").stdout)["limits"]}
    assert (uses["block_cost"]["limit_partial"], uses["block_tokens"]["limit_partial"]) == (True, False)
    # blocks shows it so under its table, and each block's share of it as check's percentage.
    blocks = cli("blocks", "--source", root, "--prices", prices, "--tz", "UTC", "--limit", "max")
    assert "30%  0.0090 of 0.03+" in blocks.stdout
    assert [line.split()[-2:] for line in blocks.stdout.splitlines() if line.startswith("  20")][-1] == ["28%", "30%"]
