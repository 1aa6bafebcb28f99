"""`ledgerly report --html`: one file with the dashboard's views of a range,
opened from file:// in a headless browser with the network blocked, its
figures checked against the command line's JSON; its size, what it does
with names that look like markup, and how the command writes the file.
Screenshots at 800 and 1400 px are kept in build/artifacts/."""

import json
import os

import pytest

from browsers import ARTIFACTS, ROOT, chromium, heat_map_cells, matrix_cells, requests_made, wait
from ledgerly import Ledger
from ledgerly.live.report_page import report_data, report_html
from ledgerly.params import make_insights_query
from ledgerly.sources import resolve_sources

from conftest import PRICES, message_line, ms, write

EXAMPLES = os.path.join(ROOT, "examples")
RANGE = ("--since", "2025-03-14", "--until", "2025-03-17", "--tz", "UTC")
HOSTILE = "/w/</script><script>window.pwned = 1</script>&amp;"


@pytest.fixture(scope="module")
def offline_browser():
    """Chromium whose every network request goes nowhere (a proxy on a
    closed port, no host name resolves)."""
    with chromium("--proxy-server=127.0.0.1:9", "--host-resolver-rules=MAP * ~NOTFOUND") as driver:
        yield driver


def cli_json(cli, *args):
    done = cli(*args, "--json")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def shown_table(driver, table_id):
    """A table's rows as {first cell: {field: text}} (whole names, not their shortened form)."""
    return driver.execute_script(
        """
        const out = {};
        for (const tr of document.querySelectorAll('#' + arguments[0] + ' tr')) {
          const cells = tr.querySelectorAll('td[data-field]');
          if (!cells.length) continue;
          const row = {};
          for (const td of cells) row[td.dataset.field] = td.querySelector('.fit')?.dataset.text ?? td.textContent;
          out[row[cells[0].dataset.field]] = row;
        }
        return out;""",
        table_id,
    )


def number(text):
    return int(text.replace(",", ""))


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """The examples' report for 14 to 17 March 2025 with the README's prices,
    and a home and price file for commands over the same logs."""
    folder = tmp_path_factory.mktemp("report")
    prices = folder / "prices.toml"
    prices.write_text(PRICES)
    config = folder / "config.toml"
    config.write_text("[limits]\nday_tokens = 5000\nblock_tokens = 60000\n")
    return folder, prices, config


def test_the_page_opens_offline_and_shows_the_command_lines_figures(offline_browser, cli, made):
    folder, prices, config = made
    page = folder / "usage.html"
    done = cli("report", "--source", EXAMPLES, *RANGE, "--prices", prices, "--config", config, "--html", page)
    assert done.returncode == 0, done.stderr
    assert page.stat().st_size < 1 << 20

    driver = offline_browser
    driver.get_log("performance")
    for width in (1400, 800):
        driver.set_window_size(width, 1000)
        driver.get(page.as_uri())
        wait(driver, "return document.body.dataset.generation !== undefined")
        assert driver.find_element("id", "error").get_attribute("hidden") is not None, driver.find_element(
            "id", "error"
        ).text
        # Nothing left the page: the file itself, nothing else (a data: icon at most).
        urls = requests_made(driver)
        assert urls and all(u.startswith(("file:", "data:")) for u in urls), urls
        assert driver.execute_script("return document.documentElement.scrollWidth - window.innerWidth") <= 0
        os.makedirs(ARTIFACTS, exist_ok=True)
        height = driver.execute_script("return document.documentElement.scrollHeight")
        driver.set_window_size(width, height + 100)
        driver.save_screenshot(os.path.join(ARTIFACTS, "report-%d.png" % width))

    common = ("--source", EXAMPLES, *RANGE, "--prices", prices)
    daily = cli_json(cli, "daily", *common)
    assert number(driver.find_element("id", "range-tokens").text) == daily["totals"]["total_tokens"] == 80317
    models = cli_json(cli, "models", *common)
    shown = shown_table(driver, "models")
    assert {m: number(r["total_tokens"]) for m, r in shown.items()} == dict(
        [(r["model"], r["total_tokens"]) for r in models["rows"]] + [("Total", 80317)]
    )
    projects = cli_json(cli, "projects", *common)
    assert set(shown_table(driver, "projects")) == {r["project"] for r in projects["rows"]} | {"Total"}
    sessions = cli_json(cli, "sessions", *common)
    listed = shown_table(driver, "sessions")
    assert {r["id"]: format(r["total_tokens"], ",") for r in sessions["rows"]} == {
        k: v["total_tokens"] for k, v in listed.items() if k != "Total"
    }
    insights = cli_json(cli, "insights", *common)
    assert heat_map_cells(driver) == matrix_cells(insights["by_weekday_hour"])
    assert driver.find_element("id", "cache-share").text == "%.1f%%" % (insights["cache"]["share"] * 100)
    week = driver.find_element("css selector", '#periods tr[data-period="week-current"] td[data-field="total_tokens"]')
    assert number(week.text) == insights["periods"]["week"]["current"]["total_tokens"] == 2824
    # The status cards are taken at the range's end, and say so.
    assert driver.find_element("id", "today-title").text == "Day of 2025-03-17"
    assert number(driver.find_element("id", "today-tokens").text) == 2824
    # The config's limits, measured at the same instant: 2,824 of 5,000 tokens that day.
    limits = driver.execute_script(
        "return [...document.querySelectorAll('#limit-list .limit')].map(r => "
        "[r.dataset.limit, r.querySelector('.limit-percent').textContent])"
    )
    assert limits == [["block_tokens", "0%"], ["day_tokens", "56%"]]
    # The controls show the range and cannot change it; nothing is live.
    assert driver.execute_script("return [since.value, until.value, since.disabled]") == [
        "2025-03-14",
        "2025-03-17",
        True,
    ]
    # On paper the controls that do nothing there are hidden.
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": "print"})
    try:
        assert driver.execute_script("return getComputedStyle(document.querySelector('.quick')).display") == "none"
        assert driver.execute_script("return getComputedStyle(document.body).backgroundColor") == "rgb(255, 255, 255)"
        # Names whole on paper, and nothing wider than the page.
        names = driver.execute_script(
            "return [...document.querySelectorAll('#models td.name')].map(t => t.textContent)"
        )
        assert names[:-1] == [r["model"] for r in models["rows"]]
        assert driver.execute_script("return document.documentElement.scrollWidth - window.innerWidth") <= 0
    finally:
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": ""})
    severe = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    assert severe == []


def test_names_that_look_like_markup_stay_text(offline_browser, cli, tmp_path):
    tree = tmp_path / "logs"
    write(tree, "p/a.jsonl", message_line("2025-03-14T10:00:00Z", "m1", "alpha-4-5", inp=10, out=5, cwd=HOSTILE))
    page = tmp_path / "page.html"
    done = cli("report", "--source", tree, "--tz", "UTC", "--html", page)
    assert done.returncode == 0, done.stderr
    assert "</script><script>window.pwned" not in page.read_text()
    offline_browser.get(page.as_uri())
    wait(offline_browser, "return document.body.dataset.generation !== undefined")
    assert offline_browser.execute_script("return window.pwned") is None
    assert HOSTILE in shown_table(offline_browser, "projects")


def tree_of(root, days, models, sessions, per_hour):
    """Logs of `sessions` sessions over `days` days and `models` models, with
    `per_hour` events in each of 8 hours a day."""
    for s in range(sessions):
        lines = []
        for d in range(days):
            for k in range(8 * per_hour):
                when = "2025-03-%02dT%02d:%02d:00Z" % (1 + d, 9 + k // per_hour, k % per_hour * 60 // per_hour)
                model = "model-%d" % ((s + d + k) % models)
                lines.append(message_line(when, "s%d-%d-%d" % (s, d, k), model, inp=100 + k, out=50, cwd="/w/p%d" % s))
        write(root, "logs/s%d.jsonl" % s, "".join(lines))
    return Ledger(resolve_sources([str(root / "logs")]), state=None).refresh()


def page_size(snapshot):
    query = make_insights_query(tz="UTC")
    return len(report_html(report_data(snapshot, query, None, None, ms("2025-04-01T00:00:00Z"))).encode())


def test_the_page_grows_with_days_models_and_sessions_not_events(tmp_path):
    base = page_size(tree_of(tmp_path / "a", days=4, models=3, sessions=3, per_hour=1))
    # Ten times the events over the same days, models and sessions: the same page but for longer numbers.
    busier = page_size(tree_of(tmp_path / "b", days=4, models=3, sessions=3, per_hour=10))
    assert busier < base * 1.05
    longer = page_size(tree_of(tmp_path / "c", days=24, models=3, sessions=3, per_hour=1))
    assert longer > base + 20 * 300  # every day adds a row with its models to the daily answer


@pytest.mark.parametrize(
    "args, status, message",
    [
        ((), 2, "name the page to write with --html FILE"),
        (("--html", "-", "--json"), 2, "both write to stdout"),
        (("--html", "{folder}"), 2, "is a folder"),
        (("--html", "{folder}/missing/page.html"), 2, "no such folder"),
    ],
)
def test_usage_errors(cli, tmp_path, args, status, message):
    done = cli("report", "--source", EXAMPLES, *[a.format(folder=tmp_path) for a in args])
    assert (done.returncode, done.stdout) == (status, "")
    assert len(done.stderr.splitlines()) == 1 and message in done.stderr


def test_an_existing_file_is_replaced_only_with_force(cli, tmp_path):
    page = tmp_path / "notes.html"
    page.write_text("my notes")
    done = cli("report", "--source", EXAMPLES, "--html", page)
    assert done.returncode == 2 and "exists" in done.stderr and page.read_text() == "my notes"
    link = tmp_path / "dangling.html"
    link.symlink_to(tmp_path / "nowhere.html")
    done = cli("report", "--source", EXAMPLES, "--html", link)
    assert done.returncode == 2 and not (tmp_path / "nowhere.html").exists()
    done = cli("report", "--source", EXAMPLES, "--html", page, "--force")
    assert done.returncode == 0, done.stderr
    assert page.read_text().startswith("<!doctype html>")
    assert [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")] == []


def test_stdout_and_json_forms(cli, made):
    _folder, prices, _config = made
    common = ("--source", EXAMPLES, *RANGE, "--prices", prices)
    done = cli("report", *common, "--html", "-")
    assert done.returncode == 0 and done.stdout.startswith("<!doctype html>") and "</html>" in done.stdout
    data = cli_json(cli, "report", *common)
    by_day = data["answers"]["/report?breakdown=true&group=day&since=2025-03-14&tz=UTC&until=2025-03-17"]
    assert by_day == cli_json(cli, "daily", *common, "--breakdown")
    assert data["answers"]["/insights?since=2025-03-14&tz=UTC&until=2025-03-17"] == cli_json(cli, "insights", *common)
    assert (data["since"], data["until"], data["at"]) == ("2025-03-14", "2025-03-17", "2025-03-17T23:59:59Z")
