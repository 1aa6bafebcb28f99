"""Headless Chromium through its WebDriver, for the browser tests of the
insights panel and the report page.

Without a browser those tests are skipped, unless LEDGERLY_REQUIRE_BROWSER=1
(set by CI, which installs one) turns that into a failure."""

import contextlib
import json
import os
import shutil

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ARTIFACTS = os.path.join(ROOT, "build", "artifacts")
REQUIRED = os.environ.get("LEDGERLY_REQUIRE_BROWSER") == "1"


def need(condition, reason):
    if not condition:
        if REQUIRED:
            pytest.fail(reason + " (LEDGERLY_REQUIRE_BROWSER=1)")
        pytest.skip(reason)


@contextlib.contextmanager
def chromium(*arguments, size=(1400, 1000)):
    """A headless Chromium (`size`, English, UTC) with `arguments` added,
    logging the console and every network request."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        need(False, "selenium is not installed")
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    need(binary and driver_path, "no Chromium with chromedriver found (apt-get install chromium chromium-driver)")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for arg in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=%d,%d" % size,
        "--lang=en-US",
        *arguments,
    ):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    # The browser must not inherit a sanitizer runtime preloaded into the test interpreter.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    env["TZ"] = "UTC"
    driver = webdriver.Chrome(service=Service(driver_path, env=env), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def requests_made(driver):
    """The URL of every request the page made since the log was last read."""
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


def wait(driver, script, timeout=20):
    """Waits until `script` returns something true."""
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout, poll_frequency=0.1).until(lambda d: d.execute_script(script))


def heat_map_cells(driver):
    """The heat map's cells with usage: {"weekday,hour": tokens}."""
    cells = driver.execute_script(
        "return [...document.querySelectorAll('#heatmap rect')].map(r => [r.dataset.cell, Number(r.dataset.tokens)])"
    )
    assert len(cells) == 7 * 24
    return {cell: tokens for cell, tokens in cells if tokens}


def matrix_cells(matrix):
    """The same of a `by_weekday_hour` matrix."""
    return {"%d,%d" % (d, h): v for d, day in enumerate(matrix) for h, v in enumerate(day) if v}
