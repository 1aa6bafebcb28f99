"""`/api/v1/insights`: the JSON of `ledgerly insights --json`, and the
dashboard's insights panel drawn from it in a real browser."""

import json
import os

import pytest

from browsers import ARTIFACTS, chromium, heat_map_cells, matrix_cells, wait

from conftest import EXAMPLES, PRICES
from served import Served


def test_api_equals_the_command(cli, tmp_path):
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES)
    args = {"tz": "Asia/Tokyo", "until": "2025-03-16", "idle_gap": "45", "project": "harbor"}
    with Served(EXAMPLES, tmp_path, "--prices", prices) as server:
        query = "&".join("%s=%s" % pair for pair in args.items())
        status, _headers, answer = server.get("/api/v1/insights?" + query)
        assert status == 200
        assert "/api/v1/insights" in server.get("/api/v1")[2]["endpoints"]
        status, _headers, error = server.get("/api/v1/insights?idle_gap=0")
        assert (status, error["parameter"]) == (400, "idle_gap")
        status, _headers, error = server.get("/api/v1/insights?group=day")
        assert (status, error["parameter"]) == (400, "group")
    done = cli(
        "insights",
        "--source",
        EXAMPLES,
        "--prices",
        prices,
        "--json",
        *("--%s=%s" % (k.replace("_", "-"), v) for k, v in args.items()),
    )
    assert done.returncode == 0, done.stderr
    assert answer == json.loads(done.stdout)
    assert answer["sessions"]["idle_gap_minutes"] == 45 and answer["unpriced"] == ["beta-3", "mini-5-pro"]


@pytest.fixture(scope="module")
def browser():
    with chromium() as driver:
        yield driver


def test_dashboard_panel_shows_the_api(browser, tmp_path):
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES)
    with Served(EXAMPLES, tmp_path, "--tz", "UTC", "--prices", prices) as server:
        browser.get(server.url)
        wait(browser, "return document.body.dataset.generation !== undefined")
        browser.execute_script("""
            document.getElementById('since').value = '2025-03-14';
            document.getElementById('until').value = '2025-03-17';
            document.getElementById('until').dispatchEvent(new Event('change'));""")
        wait(
            browser, "return document.querySelector('#periods td[data-field=\"until\"]')?.textContent === '03-17 23:59'"
        )
        answer = server.get("/api/v1/insights?since=2025-03-14&until=2025-03-17&tz=UTC")[2]
        assert heat_map_cells(browser) == matrix_cells(answer["by_weekday_hour"])
        totals = browser.execute_script(
            "return [...document.querySelectorAll('#heatmap text.total')].map(t => t.textContent)"
        )
        assert totals == ["2.8K", "0", "0", "0", "67.4K", "7.9K", "2.2K"]
        assert browser.find_element("id", "cache-share").text == "62.3%"
        saved = browser.find_element("id", "cache-saved").text
        assert "saved 0.08+ against fresh input" in saved and "beta-3, mini-5-pro" in saved
        rows = browser.execute_script("""
            const out = {};
            for (const tr of document.querySelectorAll('#periods tbody tr'))
              out[tr.dataset.period] = [...tr.querySelectorAll('td')].map(td => td.textContent);
            return out;""")
        week = answer["periods"]["week"]
        assert rows["week-current"][2] == format(week["current"]["total_tokens"], ",") == "2,824"
        assert rows["week-previous"][2] == format(week["previous"]["total_tokens"], ",") == "77,493"
        os.makedirs(ARTIFACTS, exist_ok=True)
        browser.save_screenshot(os.path.join(ARTIFACTS, "dashboard-insights.png"))
