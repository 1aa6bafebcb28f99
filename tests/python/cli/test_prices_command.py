"""`ledgerly prices init` (a price table to fill in, from the models in the
logs) and `ledgerly prices check` (what a table covers)."""

import json
import os
import re

import pytest

from ledgerly.prices import load_prices
from ledgerly.prices.seen import Seen
from ledgerly.prices.skeleton import skeleton
from ledgerly.tomlfile import ConfigError

from conftest import event_log, message_line, write


@pytest.fixture
def logs(tmp_path):
    """model-x: 3,600 tokens (event dialect); alpha-4-5: 1,110 (message
    dialect, with cache writes and reads); beta-3: 20."""
    root = tmp_path / "logs"
    write(root, "a/e.jsonl", event_log("e-1", "/w/a", "Model-X", [("2025-03-14T09:00:00Z", 3000, 1000, 600, 100)]))
    write(
        root,
        "b/c.jsonl",
        message_line("2025-03-14T10:00:00Z", "m1", "alpha-4-5", inp=10, out=100, read=500, write_5m=300, write_1h=200)
        + message_line("2025-03-14T11:00:00Z", "m2", "beta-3", inp=10, out=10),
    )
    return root


def fill_in(text, price="1.5"):
    """The skeleton with every entry uncommented and priced."""
    out = []
    for line in text.splitlines():
        if re.match(r"# (\[prices\.|\w+ += )", line):
            line = line[2:]
            if "=" in line and not line.startswith("["):
                line = line.split("=")[0] + "= " + price + "  #" + line.split("#", 1)[1]
        out.append(line)
    return "\n".join(out) + "\n"


def test_init_writes_one_entry_per_model_most_tokens_first(cli, logs, tmp_path):
    done = cli("prices", "init", "--source", logs)
    assert done.returncode == 0, done.stderr
    text = done.stdout
    entries = re.findall(r'^# \[prices\."([^"]+)"\]$', text, re.M)
    assert entries == ["model-x", "alpha-4-5", "beta-3"]
    assert '# "model-x": 3,600 tokens' in text and "# cached_input =   # 1,000 tokens of cached input" in text
    # Each entry lists only the keys its usage needs.
    beta = text.split('[prices."beta-3"]')[1]
    assert re.findall(r"^# (\w+) +=", beta, re.M) == ["input", "output"]

    # As written it loads (an empty table: nothing priced); uncommented but not filled in, it is an error.
    path = tmp_path / "p.toml"
    path.write_text(text)
    assert not load_prices(str(path))
    path.write_text(text.replace("# input =", "input =", 1).replace('# [prices."model-x"]', '[prices."model-x"]'))
    with pytest.raises(ConfigError, match=r"p\.toml:\d+"):
        load_prices(str(path))

    # Filled in, it prices every model: check agrees, with status 0.
    path.write_text(fill_in(text))
    check = cli("prices", "check", "--source", logs, "--prices", path, "--json")
    assert check.returncode == 0, check.stderr
    data = json.loads(check.stdout)
    assert data["complete"] and data["unused_globs"] == []
    assert [(m["model"], m["glob"], m["missing"]) for m in data["models"]] == [
        ("model-x", "model-x", []),
        ("alpha-4-5", "alpha-4-5", []),
        ("beta-3", "beta-3", []),
    ]


def test_init_never_replaces_a_file_unless_told(cli, logs, tmp_path):
    path = tmp_path / "prices.toml"
    path.write_text("mine\n")
    done = cli("prices", "init", path, "--source", logs)
    assert done.returncode == 2 and "exists" in done.stderr and "--force" in done.stderr
    assert path.read_text() == "mine\n"
    (tmp_path / "link.toml").symlink_to(tmp_path / "elsewhere.toml")
    assert cli("prices", "init", tmp_path / "link.toml", "--source", logs).returncode == 2
    assert not (tmp_path / "elsewhere.toml").exists()  # a dangling link is not followed either

    done = cli("prices", "init", path, "--force", "--source", logs, "--json")
    assert done.returncode == 0, done.stderr
    data = json.loads(done.stdout)
    assert data["file"] == str(path) and [m["model"] for m in data["models"]] == ["model-x", "alpha-4-5", "beta-3"]
    assert data["models"][0]["keys"] == {"input": 2000, "cached_input": 1000, "output": 600}
    assert path.read_text().startswith("# A price table for ledgerly")


def test_check_names_what_has_no_price_and_globs_that_price_nothing(cli, logs, tmp_path):
    path = tmp_path / "p.toml"
    path.write_text(
        '[prices."alpha-*"]\ninput = 3\noutput = 15\ncache_write_5m = 3.75\ncache_read = 0.3\n'
        '[prices."model-*"]\ninput = 1\ncached_input = 0.1\noutput = 8\n'
        '[prices."model-x"]\ninput = 2\n'
        '[prices."gamma-*"]\ninput = 1\n'
    )
    done = cli("prices", "check", "--source", logs, "--prices", path, "--json")
    assert done.returncode == 3, done.stderr
    data = json.loads(done.stdout)
    assert [(m["model"], m["glob"], m["missing"]) for m in data["models"]] == [
        ("model-x", "model-*", []),
        ("alpha-4-5", "alpha-*", ["cache_write_1h"]),
        ("beta-3", None, ["input", "output"]),
    ]
    assert data["unused_globs"] == [
        {"glob": "model-x", "reason": "every model it matches is priced by an earlier glob"},
        {"glob": "gamma-*", "reason": "matches no model seen"},
    ]
    table = cli("prices", "check", "--source", logs, "--prices", path, env={"COLUMNS": "80"})
    assert table.returncode == 3
    assert "1 of 3 models fully priced" in table.stdout and 'Glob "gamma-*" prices no model' in table.stdout
    assert max(len(s) for s in table.stdout.splitlines()) <= 80
    # Without a table there is nothing to check: a usage error that says how to get one.
    bare = cli("prices", "check", "--source", logs)
    assert bare.returncode == 2 and "ledgerly prices init" in bare.stderr


def test_names_with_quotes_and_glob_characters_round_trip(tmp_path):
    seen = [Seen('odd"name[1]*', 10, {"input": 10}), Seen("tab\there\\", 5, {"output": 5})]
    path = tmp_path / "p.toml"
    path.write_text(fill_in(skeleton(seen)))
    table = load_prices(str(path))
    assert [table.price_for(s.model).glob for s in seen] == ['odd"name[[]1][*]', "tab\there\\"]
    assert table.price_for('odd"name[1]x') is None  # the glob matches the name itself, nothing more


def test_init_force_replaces_a_link_never_its_target_and_names_a_folder(cli, logs, tmp_path):
    target = tmp_path / "elsewhere.toml"
    target.write_text("someone else's file\n")
    link = tmp_path / "link.toml"
    link.symlink_to(target)
    done = cli("prices", "init", link, "--force", "--source", logs)
    assert done.returncode == 0, done.stderr
    assert not link.is_symlink() and link.read_text().startswith("# A price table for ledgerly")
    assert target.read_text() == "someone else's file\n"
    folder = tmp_path / "tables"
    folder.mkdir()
    for extra in ((), ("--force",)):
        done = cli("prices", "init", folder, *extra, "--source", logs)
        assert done.returncode == 2 and "%s is a folder; name a file" % folder in done.stderr, extra
        assert os.listdir(folder) == []
