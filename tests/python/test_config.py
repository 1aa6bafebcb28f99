"""The config file and price files: what they accept, and errors that say
where the problem is."""

import os
import textwrap

import numpy as np
import pytest

from ledgerly.config import ConfigError, load_config
from ledgerly.prices import PRICE_KEYS, load_prices

from conftest import record, snapshot_of

GOOD = """\
# ledgerly settings
timezone = "Asia/Tokyo"
workers = 3

[[sources]]
path = "logs"

[[sources]]
path = "~/other"
dialect = "event"

[prices."alpha-4*"]
input = 3
output = 15.0
cache_read = 0.3

[prices."*"]
input = 1.0

[limits]
block_tokens = 4_000_000
day_cost = 25
"""


def write_config(tmp_path, text, name="config.toml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text))
    return str(path)


def test_a_full_config(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    config = load_config(write_config(tmp_path, GOOD))
    assert (config.timezone, config.workers) == ("Asia/Tokyo", 3)
    assert [(s.path, s.dialect, s.origin) for s in config.sources] == [
        (str(tmp_path / "logs"), None, "config"),  # relative to the config file
        (str(tmp_path / "home" / "other"), "event", "config"),
    ]
    table = config.prices
    assert [e.glob for e in table.entries] == ["alpha-4*", "*"]
    assert table.price_for("alpha-4-5").per_million == (3.0, None, 15.0, None, None, 0.3)
    assert table.price_for("Alpha-4-5") is table.price_for("beta") is table.entries[1]  # first match wins
    assert dict(config.limits.values) == {"block_tokens": 4_000_000, "day_cost": 25.0}  # any subset
    assert load_config(write_config(tmp_path, "", "empty.toml")).limits is None


def test_default_location_follows_xdg(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    assert load_config().path is None  # no file: empty configuration
    os.makedirs(str(tmp_path / "ledgerly"))
    write_config(tmp_path / "ledgerly", 'timezone = "UTC"\n')
    config = load_config()
    assert (config.path, config.timezone) == (str(tmp_path / "ledgerly" / "config.toml"), "UTC")


@pytest.mark.parametrize(
    "text, expected",
    [
        ('timezone = "UTC"\nworkers = \n', ":2:11: invalid value"),
        (
            "[[sources]]\npath = 'x'\n[[sources]]\npath = 'y'\ndialet = 'event'\n",
            ":5: sources[1].dialet: unknown key (expected one of path, dialect)",
        ),
        ('colour = "red"\n', ":1: colour: unknown key"),
        ("[prices.m]\ninput = 1\n\n[prices.'beta-*']\ninptu = 2\n", ':5: prices."beta-*".inptu: unknown price key'),
        ('[prices.m]\ninput = "1.0"\n', ":2: prices.m.input: a price must be a number, not str"),
        ("[prices.m]\noutput = -1\n", ":2: prices.m.output: a price must be a finite number of at least 0"),
        ("[prices.m]\noutput = inf\n", ":2: prices.m.output: a price must be a finite number"),
        ("[prices.m]\n", ":1: prices.m: gives no price"),
        ("[prices]\nm = 3\n", ":2: prices.m: must be a table of prices"),
        ("workers = 0\n", ":1: workers: must be a whole number of at least 1"),
        ("workers = true\n", ":1: workers: must be a whole number"),
        ('timezone = "Mars/Base"\n', ":1: timezone: unknown time zone 'Mars/Base'"),
        ("[[sources]]\ndialect = 'event'\n", ":1: sources[0].path: a source needs a path"),
        ("[[sources]]\npath = 'x'\ndialect = 'messages'\n", ':3: sources[0].dialect: must be "message" or "event"'),
        ("sources = 'x'\n", ":1: sources: must be an array of tables"),
        ("[limits]\nblock_tokns = 5\n", ":2: limits.block_tokns: unknown limit (expected one of block_tokens, "),
        ("[limits]\nday_tokens = 1.5\n", ":2: limits.day_tokens: a token limit must be a whole number from 1 to"),
        ("[limits]\nmonth_tokens = 0\n", ":2: limits.month_tokens: a token limit must be a whole number"),
        ("[limits]\nblock_tokens = true\n", ":2: limits.block_tokens: a token limit must be a whole number"),
        ("[limits]\nblock_cost = 0\n", ":2: limits.block_cost: a cost limit must be a number from 1e-06 to 1e+12"),
        ("[limits]\nday_cost = nan\n", ":2: limits.day_cost: a cost limit must be a number from 1e-06 to 1e+12"),
        ("[limits]\nmonth_cost = '9'\n", ":2: limits.month_cost: a cost limit must be a number, not str"),
        ("limits = 5\n", ":1: limits: must be a table of limits"),
        # Inside an inline table: the line of the enclosing key, and the key path.
        ("\nprices = { m = { input = 'x' } }\n", ":2: prices.m.input: a price must be a number"),
    ],
)
def test_config_errors_name_the_file_line_and_problem(tmp_path, text, expected):
    path = write_config(tmp_path, text)
    with pytest.raises(ConfigError) as error:
        load_config(path)
    message = str(error.value)
    assert message.startswith(path)
    assert expected in message


def test_unreadable_config_files(tmp_path):
    with pytest.raises(ConfigError, match="No such file"):
        load_config(str(tmp_path / "missing.toml"))  # named by the caller: must exist
    bad = tmp_path / "bad.toml"
    bad.write_bytes(b'timezone = "UTC"\n# \xff\n')
    with pytest.raises(ConfigError, match=r"bad\.toml:2: the file is not UTF-8"):
        load_config(str(bad))


def test_price_file_holds_only_prices(tmp_path):
    table = load_prices(write_config(tmp_path, "[prices.'m-*']\noutput = 2.5\n", "p.toml"))
    assert table.price_for("m-1").per_million[2] == 2.5
    with pytest.raises(ConfigError, match=r"p2\.toml:1: timezone: unknown key in a price file"):
        load_prices(write_config(tmp_path, 'timezone = "UTC"\n[prices.m]\ninput = 1\n', "p2.toml"))
    with pytest.raises(ConfigError, match="no \\[prices\\] table"):
        load_prices(write_config(tmp_path, "", "p3.toml"))


def test_costs_never_count_a_token_twice():
    from ledgerly.prices import PriceTable, parse_prices
    from ledgerly.prices.classes import classify
    from ledgerly.tomlfile import TomlFile

    doc = TomlFile("x.toml", "", {})
    table = parse_prices(doc, {"m": dict(zip(PRICE_KEYS, (1.0, 0.1, 10.0, 2.0, 4.0, 0.5))), "n": {"input": 1.0}})
    assert isinstance(table, PriceTable)
    # input 1000 of which 400 cached; output 100 of which 30 reasoning.
    tokens = [(1000, 400, 100, 30, 10, 20, 50), (5, 0, 0, 0, 0, 0, 0), (5, 0, 1, 0, 0, 0, 0)]
    snap = snapshot_of([record(1, model=m, tokens=t) for m, t in zip((0, 1, 1), tokens)], models=("m", "n"))
    classes = classify(table, snap.rows, snap.models)
    paid, missing = classes.price(np.array(tokens), classes.row_codes())
    expected = (600 * 1.0 + 400 * 0.1 + 100 * 10.0 + 10 * 2.0 + 20 * 4.0 + 50 * 0.5) / 1e6
    assert paid[0] == pytest.approx(expected)
    assert paid[1] == pytest.approx(5e-6) and paid[2] == pytest.approx(5e-6)
    assert missing.tolist() == [False, False, True]  # n has no output price
