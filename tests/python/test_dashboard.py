"""The dashboard in a real headless browser (Chromium through its
WebDriver): the page shows the API's numbers, follows a growing log
without reloading, and is drawn in light and dark mode. Screenshots are
kept in build/artifacts/.

Without a browser the test is skipped, unless LEDGERLY_REQUIRE_BROWSER=1
(set by CI, which installs one) turns that into a failure."""

import os
import shutil

import pytest

from conftest import PRICES, message_line, write
from served import Served, recent

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ARTIFACTS = os.path.join(ROOT, "build", "artifacts")
REQUIRED = os.environ.get("LEDGERLY_REQUIRE_BROWSER") == "1"


def need(condition, reason):
    if not condition:
        if REQUIRED:
            pytest.fail(reason + " (LEDGERLY_REQUIRE_BROWSER=1)")
        pytest.skip(reason)


@pytest.fixture(scope="module")
def browser():
    try:
        import selenium  # noqa: F401
    except ImportError:
        need(False, "selenium is not installed")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    need(chromium and driver_path, "no Chromium with chromedriver found (apt-get install chromium chromium-driver)")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=1280,1000",
        "--lang=en-US",
    ):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser must not inherit a sanitizer runtime preloaded into the test interpreter.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    driver = webdriver.Chrome(service=Service(driver_path, env=env), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def numbers(text):
    return int(text.replace(",", ""))


def money(value):
    if value is None:
        return "–"
    digits = 4 if 0 < abs(value) < 0.01 else 2
    return "{:,.{}f}".format(value, digits)


def table_of(driver, table_id):
    """The rows of a dashboard table: name -> {field: text}."""
    return driver.execute_script(
        """
        const out = {};
        for (const tr of document.querySelectorAll('#' + arguments[0] + ' tr')) {
          const cells = tr.querySelectorAll('td[data-field]');
          if (!cells.length) continue;
          const row = {};
          for (const td of cells) row[td.dataset.field] = td.textContent;
          out[cells[0].textContent] = row;
        }
        return out;""",
        table_id,
    )


def expected_rows(report, key):
    """What the table must show for an API report (the same columns)."""
    out = {}
    for name, g in [(r[key], r) for r in report["rows"]] + [("Total", report["totals"])]:
        out[name] = {
            key: name,
            "input": g["input"] - g["cached_input"],
            "output": g["output"],
            "cache_write": g["cache_write_5m"] + g["cache_write_1h"],
            "cache_read": g["cached_input"] + g["cache_read"],
            "total_tokens": g["total_tokens"],
            "cost": money(g.get("cost")),
        }
    return out


def expected_sessions(result):
    """What the sessions table must show for an API answer."""
    out = {}
    for row in result["rows"] + [None]:
        group = row or result["totals"]
        name = row["id"] if row else "Total"
        when = row["last_event"][:10] + " " + row["last_event"][11:16] if row else ""
        out[name] = {
            "id": name,
            "project": row["project"] if row else "",
            "last_event": when,
            "models": ", ".join(row["models"]) if row else "",
            "total_tokens": format(group["total_tokens"], ","),
            "cost": money(group.get("cost")),
            "subagent_tokens": format(group["subagent_tokens"], ","),
        }
    return out


def assert_page_matches_api(driver, server, query=""):
    extra = "&" + query if query else ""
    for table, key in (("models", "model"), ("projects", "project")):
        api = server.get("/api/v1/report?group=%s&tz=UTC%s" % (key, extra))[2]
        shown = {
            name: {k: (v if k in (key, "cost") else numbers(v)) for k, v in row.items()}
            for name, row in table_of(driver, table).items()
        }
        assert shown == expected_rows(api, key), table
    sessions = server.get("/api/v1/sessions?top=15&tz=UTC" + extra)[2]
    assert table_of(driver, "sessions") == expected_sessions(sessions)
    daily = server.get("/api/v1/report?group=day&breakdown=true&tz=UTC" + extra)[2]
    assert numbers(driver.find_element("id", "range-tokens").text) == daily["totals"]["total_tokens"]
    bars = set(
        driver.execute_script("return [...document.querySelectorAll('#chart rect title')].map(t => t.textContent)")
    )
    assert bars == {
        "%s %s: %s tokens" % (r["day"], m["model"], format(m["total_tokens"], ","))
        for r in daily["rows"]
        for m in r["models"]
        if m["total_tokens"]
    }


def wait(driver, script, timeout=20):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout, poll_frequency=0.1).until(lambda d: d.execute_script(script))


def test_dashboard_shows_the_api_and_follows_the_logs(browser, tmp_path):
    tree = tmp_path / "logs"
    write(
        tree,
        "work/alpha/conv.jsonl",
        message_line("2025-03-14T10:00:00Z", "m1", "alpha-4-5", inp=10, out=100, read=500, write_5m=300, cwd="/w/alpha")
        + message_line("2025-03-15T16:30:00Z", "m2", "beta-3", inp=20, out=50, write_5m=100, cwd="/w/alpha")
        + message_line("2025-03-17T09:00:00Z", "m3", "model-x", inp=4000, out=900, cwd="/w/alpha"),
    )
    write(
        tree,
        "work/beta/s.jsonl",
        message_line("2025-03-15T08:00:00Z", "b1", "model-x", inp=7000, out=1200, cwd="/w/beta <b>&amp;</b>"),
    )  # shown as text, not markup
    write(
        tree,
        "work/alpha/conv/subagents/agent-1.jsonl",  # folded into conv's session
        message_line("2025-03-14T10:30:00Z", "a1", "alpha-4-5", inp=30, out=70, cwd="/w/alpha"),
    )
    write(tree, "live/now.jsonl", recent(30, "n1", inp=100, out=2000, read=3000))
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES.replace("cached_input = 0.125\n", ""))

    with Served(tree, tmp_path, "--tz", "UTC", "--prices", prices) as server:
        browser.get(server.url)
        wait(browser, "return document.body.dataset.generation !== undefined")
        assert_page_matches_api(browser, server)
        assert "/w/beta <b>&amp;</b>" in table_of(browser, "projects")
        assert table_of(browser, "sessions")["conv"]["subagent_tokens"] == "100"
        status = server.get("/api/v1/status")[2]
        assert numbers(browser.find_element("id", "today-tokens").text) == status["today"]["total_tokens"]
        assert browser.find_element("id", "block-left").text.endswith(" left")
        assert browser.find_element("id", "live-text").text == "live"

        # A line appended to a log reaches the open page without a reload.
        browser.execute_script("window.notReloaded = true")
        shown = int(browser.execute_script("return document.body.dataset.generation"))
        with open(tree / "live" / "now.jsonl", "a") as f:
            f.write(recent(1, "n2", model="mini-5-pro", inp=50, out=5))
        wait(browser, "return Number(document.body.dataset.generation) > %d" % shown)
        assert browser.execute_script("return window.notReloaded") is True
        assert "mini-5-pro" in table_of(browser, "models")
        assert_page_matches_api(browser, server)

        os.makedirs(ARTIFACTS, exist_ok=True)
        browser.save_screenshot(os.path.join(ARTIFACTS, "dashboard.png"))
        light = browser.execute_script("return getComputedStyle(document.body).backgroundColor")
        browser.execute_cdp_cmd(
            "Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": "dark"}]}
        )
        dark = browser.execute_script("return getComputedStyle(document.body).backgroundColor")
        assert light != dark
        browser.save_screenshot(os.path.join(ARTIFACTS, "dashboard-dark.png"))
        browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})

        # The date range and the zone go to the API as its parameters.
        browser.execute_script("""
            document.getElementById('since').value = '2025-03-15';
            document.getElementById('until').value = '2025-03-16';
            document.getElementById('until').dispatchEvent(new Event('change'));""")
        wait(browser, "return document.querySelectorAll('#models tbody tr').length === 2")
        assert_page_matches_api(browser, server, "since=2025-03-15&until=2025-03-16")
        browser.execute_script("""
            const tz = document.getElementById('tz');
            tz.value = 'Mars/Base';
            tz.dispatchEvent(new Event('change'));""")
        wait(browser, "return !document.getElementById('error').hidden")
        assert "unknown time zone 'Mars/Base'" in browser.find_element("id", "error").text

        severe = [
            e
            for e in browser.get_log("browser")
            if e["level"] == "SEVERE"
            and not any(api in e["message"] for api in ("/api/v1/report?", "/api/v1/status?", "/api/v1/sessions?"))
        ]
        assert severe == []
        assert server.stop()[0] == 0
