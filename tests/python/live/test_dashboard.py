"""The dashboard in a real headless browser (Chromium through its
WebDriver): the page shows the API's numbers, follows a growing log
without reloading, and is drawn in light and dark mode. Screenshots are
kept in build/artifacts/.

Without a browser the test is skipped, unless LEDGERLY_REQUIRE_BROWSER=1
(set by CI, which installs one) turns that into a failure."""

import os
import shutil
import subprocess
from datetime import datetime, timedelta, timezone
from math import log10

import pytest

from browsers import ARTIFACTS, chromium, wait

from conftest import PRICES, message_line, write
from served import Served, ledgerly_command, recent

PALETTE_SIZE = 10  # the page's colours; beyond that, the smallest models share "other"


@pytest.fixture(scope="module")
def browser():
    # The page's "7 days" counts browser days; the servers here answer in UTC, as the browser runs.
    with chromium(size=(1280, 1000)) as driver:
        yield driver


def numbers(text):
    return int(text.replace(",", ""))


def money(value, currency=None):
    """An amount as the command line's tables write it: the page must agree."""
    from ledgerly.cli.figures import money as written

    return written(value, True, currency)


def cost_cell(group, currency=None):
    """A cost as the page shows it: the cost, or the priced part marked +."""
    if group.get("cost") is not None:
        return money(group["cost"], currency)
    return money(group["priced_cost"], currency) + "+" if group["priced_cost"] else "no price"


def table_of(driver, table_id):
    """The rows of a dashboard table: name -> {field: text}."""
    return driver.execute_script(
        """
        const out = {};
        for (const tr of document.querySelectorAll('#' + arguments[0] + ' tr')) {
          const cells = tr.querySelectorAll('td[data-field]');
          if (!cells.length) continue;
          const row = {};
          // A name shortened to fit its cell is compared by its whole text, an
          // abbreviated figure (12.3M) by its exact value.
          for (const td of cells)
            row[td.dataset.field] = td.querySelector('.fit')?.dataset.text ?? td.dataset.value ?? td.textContent;
          out[row[cells[0].dataset.field]] = row;
        }
        return out;""",
        table_id,
    )


def expected_rows(report, key, folded=False):
    """What the table must show for an API report (the same columns): the
    cache writes and reads apart, or `folded` into one column."""
    out = {}
    for name, g in [(r[key], r) for r in report["rows"]] + [("Total", report["totals"])]:
        write, read = g["cache_write_5m"] + g["cache_write_1h"], g["cached_input"] + g["cache_read"]
        cache = {"cache": write + read} if folded else {"cache_write": write, "cache_read": read}
        out[name] = {
            key: name,
            "input": g["input"] - g["cached_input"],
            "output": g["output"],
            **cache,
            "total_tokens": g["total_tokens"],
            "cost": cost_cell(g, report.get("currency")),
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
            "total_tokens": str(group["total_tokens"]),
            "cost": cost_cell(group, result.get("currency")),
            "subagent_tokens": str(group["subagent_tokens"]),
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
        folded = any("cache" in row for row in shown.values())
        assert shown == expected_rows(api, key, folded), table
    sessions = server.get("/api/v1/sessions?top=15&tz=UTC" + extra)[2]
    assert table_of(driver, "sessions") == expected_sessions(sessions)
    daily = server.get("/api/v1/report?group=day&breakdown=true&tz=UTC" + extra)[2]
    assert numbers(driver.find_element("id", "range-tokens").text) == daily["totals"]["total_tokens"]
    bars = set(
        driver.execute_script("return [...document.querySelectorAll('#chart rect title')].map(t => t.textContent)")
    )
    # One segment per model with a colour of its own, one for the rest ("other").
    ranked = sorted(server.get("/api/v1/report?group=model")[2]["rows"], key=lambda r: (-r["total_tokens"], r["model"]))
    own = {r["model"] for r in (ranked if len(ranked) <= PALETTE_SIZE else ranked[: PALETTE_SIZE - 1])}
    expected = set()
    for r in daily["rows"]:
        other = sum(m["total_tokens"] for m in r["models"] if m["model"] not in own)
        expected.update(
            "%s %s: %s tokens" % (r["day"], m["model"], format(m["total_tokens"], ","))
            for m in r["models"]
            if m["total_tokens"] and m["model"] in own
        )
        if other:
            expected.add("%s other: %s tokens" % (r["day"], format(other, ",")))
    assert bars == expected


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
            and not any(
                api in e["message"]
                for api in ("/api/v1/report?", "/api/v1/status?", "/api/v1/sessions?", "/api/v1/insights?")
            )
        ]
        assert severe == []
        assert server.stop()[0] == 0


# Twelve models (more than the page has colours), two of them priced; big
# figures and long project paths, on days 0, 2 and 5 before today.
MODELS = ("alpha-4-5", "model-x", "beta-3", "mini-5-pro") + tuple("gamma-%d" % i for i in range(8))
LONG = "/home/dev/work/clients/a-client-with-a-rather-long-name/services/platform-backend-"


def busy_tree(root):
    today = datetime.now(timezone.utc).replace(hour=9, minute=0, second=0, microsecond=0)
    stamp = lambda days: (today - timedelta(days=days)).strftime("%Y-%m-%dT%H:%M:%SZ")  # noqa: E731
    big = message_line(stamp(5), "v1", "alpha-4-5", inp=9_000_000, out=3_500_000, read=40_000_000, cwd=LONG + "volcano")
    big += message_line(stamp(5), "v2", "beta-3", inp=7_000_000, out=900_000, cwd=LONG + "volcano")
    write(root, "a/volcano-session.jsonl", big)
    small = "".join(
        message_line(stamp(days), "m%d" % i, model, inp=1000 * (i + 1), out=300, cwd=LONG + "lantern")
        for i, (model, days) in enumerate(zip(MODELS[1:], [0, 2] * 6))
    )
    write(root, "b/lantern-session.jsonl", small)


def test_dashboard_partial_costs_wide_layout_and_empty_days(browser, tmp_path):
    busy_tree(tmp_path / "logs")
    prices = tmp_path / "prices.toml"
    prices.write_text('[prices]\ncurrency = "USD"\n' + PRICES)  # costs in dollars: shown as $1.23
    with Served(tmp_path / "logs", tmp_path, "--tz", "UTC", "--prices", prices) as server:
        browser.set_window_size(1400, 1000)
        try:
            browser.get(server.url)
            wait(browser, "return document.body.dataset.generation !== undefined")
            daily = server.get("/api/v1/report?group=day&breakdown=true&tz=UTC")[2]

            # Partial costs: the line sums the priced parts of every day, the
            # card and the costliest session show the priced part marked +.
            priced_sum = 0.0
            for row in daily["rows"]:
                priced_sum += row["priced_cost"]
            assert daily["totals"]["cost"] is None and priced_sum > 0
            line = browser.find_element("css selector", "#chart polyline.cost")
            assert float(line.get_attribute("data-end")) == priced_sum
            assert daily["currency"] == "USD"
            assert browser.find_element("css selector", "#chart text.cost-end").text == money(priced_sum, "USD") + "+"
            unpriced = len(daily["unpriced"])
            assert browser.find_element("id", "range-cost").text == "cost %s+ · %d models without a price" % (
                money(daily["totals"]["priced_cost"], "USD"),
                unpriced,
            )
            sessions = server.get("/api/v1/sessions?top=15&tz=UTC")[2]
            top = sessions["rows"][0]
            assert top["id"] == "volcano-session" and top["cost"] is None
            assert table_of(browser, "sessions")["volcano-session"]["cost"] == money(top["priced_cost"], "USD") + "+"
            assert_page_matches_api(browser, server)
            # Every amount as the command line writes it, the smallest (a cost
            # limit of a millionth) never as 0.0000.
            amounts = [0.0, 1e-6, 3.25e-7, 9.99e-5, 0.00421, 0.5, 12.345, 1234567.891, 1e-13]
            shown = browser.execute_script("return arguments[0].map((v) => money(v))", amounts)
            assert shown == [money(v, "USD") for v in amounts] and shown[1] == "$0.000001"

            # At 1400 px nothing scrolls sideways: Total and Cost stay in view,
            # long paths are shortened in the middle, keeping their end.
            layout = browser.execute_script("""
                const out = {page: document.documentElement.scrollWidth - window.innerWidth, cells: [], panels: []};
                for (const id of ['models', 'projects', 'sessions']) {
                  const table = document.getElementById(id), panel = table.closest('.panel');
                  out.panels.push([id, panel.scrollWidth - panel.clientWidth]);
                  const right = Math.min(panel.getBoundingClientRect().right, window.innerWidth);
                  for (const td of table.querySelectorAll('td[data-field="total_tokens"], td[data-field="cost"]'))
                    out.cells.push(td.getBoundingClientRect().right - right);
                }
                out.project = [...document.querySelectorAll('#projects tbody td.name')].map(
                  td => [td.textContent, td.title]);
                return out;""")
            assert layout["page"] <= 0 and all(extra <= 0 for _id, extra in layout["panels"]), layout
            assert layout["cells"] and max(layout["cells"]) <= 0.5, layout
            for shown, full in layout["project"]:
                head, tail = shown.split("…")  # the start and the (larger) end of the whole path
                assert full.startswith(head) and full.endswith(tail) and len(tail) >= len(head), (shown, full)

            colours = colour_map(browser)
            assert len(set(colours.values())) == len(colours)  # distinct, "other" included
            assert "other" in colours and sum(1 for m in MODELS if m in colours) == 9
            labels = browser.execute_script(
                "return [...document.querySelectorAll('#chart text.cost-axis')].map(t => t.textContent)"
            )
            assert all(label.startswith("$") for label in labels)  # the axis is in dollars too
            ticks = [float(label[1:]) for label in labels]
            step = ticks[1] - ticks[0]
            assert ticks[0] == 0 and ticks[-1] >= priced_sum
            assert all(abs(b - a - step) < 1e-9 for a, b in zip(ticks, ticks[1:]))
            assert round(step / 10 ** int(log10(step) // 1), 6) in (1, 2, 5), ticks  # 1, 2 or 5 times a power of ten

            # "7 days" shows each of the seven days, those without usage too,
            # and no model changes colour with the range.
            browser.find_element("css selector", '.quick button[data-days="7"]').click()
            wait(browser, "return document.querySelectorAll('#chart text.day').length === 7")
            since, until, days = browser.execute_script("""
                return [document.getElementById('since').value, document.getElementById('until').value,
                        [...document.querySelectorAll('#chart text.day')].map(t => t.textContent)];""")
            first = datetime.strptime(since, "%Y-%m-%d")
            assert until == (first + timedelta(days=6)).strftime("%Y-%m-%d")
            assert days == [(first + timedelta(days=i)).strftime("%m-%d") for i in range(7)]
            wait(browser, "return document.querySelectorAll('#chart rect').length > 0")
            after = colour_map(browser)
            assert all(colours[model] == colour for model, colour in after.items()), (colours, after)
        finally:
            browser.set_window_size(1280, 1000)


def colour_map(driver):
    """Each model's colour (or "other"'s) in the chart, checked against its
    swatch in the model table."""
    chart, table = driver.execute_script("""
        const chart = {}, table = {};
        for (const r of document.querySelectorAll('#chart rect[data-model]'))
          chart[r.dataset.model] = getComputedStyle(r).fill;
        for (const td of document.querySelectorAll('#models tbody td.name')) {
          const swatch = td.querySelector('.swatch');
          table[td.title] = getComputedStyle(swatch).backgroundColor;
        }
        return [chart, table];""")
    for model, colour in chart.items():
        if model != "other":
            assert table[model] == colour, (model, chart, table)
    return chart


def test_a_headless_screenshot_with_a_virtual_time_budget_finishes(browser, tmp_path):
    """A browser that waits for the network to go quiet before it takes a
    screenshot must not wait for the page's event stream."""
    busy_tree(tmp_path / "logs")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    shot = tmp_path / "shot.png"
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    with Served(tmp_path / "logs", tmp_path, "--tz", "UTC") as server:
        args = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--window-size=1400,1000"]
        args += ["--virtual-time-budget=3000", "--screenshot=%s" % shot, server.url]
        try:
            done = subprocess.run(args, capture_output=True, env=env, timeout=120)
        except subprocess.TimeoutExpired:
            pytest.fail("the screenshot never finished: the page keeps the network busy")
        assert done.returncode == 0, done.stderr[-2000:]
        assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# Names as real logs have them: uuid session ids (two sharing their first
# eight characters), long model names that share a long start, and long
# project paths, two of which share their end.
NAMED_PROJECTS = (
    "/home/dev/work/clients/acme-industries/volcano-api-service",
    "/home/dev/work/clients/acme-industries/volcano-web-frontend",
    "/srv/build/agents/runner-42/checkout/monorepo/packages/core",
    "/srv/build/agents/runner-43/checkout/monorepo/packages/core",
    "/home/dev/src/example.org/someone/an-extremely-long-repository-name",
    "/home/dev/work/harbor",
)
NAMED_MODELS = (
    "model-x-2-long-context-preview",
    "model-x-2-long-context-2025-06",
    "alpha-4-5",
    "beta-3-7-verse-latest",
    "mini-5-pro-2025-08-07",
)
NAMED_IDS = (
    "47169a47-34b9-4b5d-9e77-69b10f4205aa",
    "47169a47-eeea-4be2-a6e8-75555790f8c1",
    "a5aa3c81-4f42-4dcb-b394-fb36bb2d4211",
    "7a609683-ceaf-4915-8885-64e882168522",
    "c8450070-6377-4407-a8e7-27891eb20109",
    "0fd630f1-f29d-4da9-953f-48f1a09f76e3",
    "26b1cffc-070d-4109-a085-9634fe3c9c8f",
)


def named_tree(root):
    today = datetime.now(timezone.utc).replace(hour=0, minute=0, second=0, microsecond=0)
    for i, sid in enumerate(NAMED_IDS):
        project = NAMED_PROJECTS[i % len(NAMED_PROJECTS)]
        when = (today - timedelta(days=1 + i % 3, hours=-9)).strftime("%Y-%m-%dT%H:%M:%SZ")
        text = "".join(
            message_line(when, "%s-%d" % (sid, k), model, inp=1_000 * (i + 1), out=90_000, read=3_000_000, cwd=project)
            for k, model in enumerate(NAMED_MODELS[i % 3 : i % 3 + 3])
        )
        write(root, "projects/%s/%s.jsonl" % (project.replace("/", "-"), sid), text)
    # A heavy last hour: a burn rate of several hundred thousand tokens a minute.
    busy = "".join(recent(5 + 10 * k, "r%d" % k, inp=40_000, out=9_000, read=9_000_000) for k in range(4))
    write(root, "projects/live/d1a89b37-5c1e-4f3a-9b1e-0a1b2c3d4e5f.jsonl", busy)


def could_be(label, text):
    """Whether a shortened name (each "…" a left-out run) could stand for `text`."""
    first, *middle, last = label.split("…") if "…" in label else (label, None)
    if last is None:
        return label == text
    at = len(first) if text.startswith(first) else -1
    for piece in middle:
        at = text.find(piece, at) + len(piece) if at >= 0 and text.find(piece, at) >= 0 else -1
    return at >= 0 and len(text) - len(last) >= at and text.endswith(last)


NAME_CELLS = """
    const measure = document.createElement('canvas').getContext('2d');
    const out = [];
    for (const span of document.querySelectorAll('td .fit')) {
      const td = span.parentElement, style = getComputedStyle(td);
      const swatch = td.querySelector('.swatch');
      measure.font = `${style.fontStyle} ${style.fontWeight} ${style.fontSize} ${style.fontFamily}`;
      const room = td.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight) -
        (swatch ? swatch.offsetWidth + parseFloat(getComputedStyle(swatch).marginRight) : 0);
      out.push({table: td.closest('table').id, field: td.dataset.field, shown: span.textContent,
                full: span.dataset.text, room: room, width: measure.measureText(span.dataset.text).width,
                clipped: span.offsetWidth > room + 1});
    }
    return out;"""


@pytest.mark.parametrize("width", [800, 1400])
def test_names_are_whole_where_there_is_room_and_never_read_alike(browser, tmp_path, width):
    named_tree(tmp_path / "logs")
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES)
    with Served(tmp_path / "logs", tmp_path, "--tz", "UTC", "--prices", prices) as server:
        browser.set_window_size(width, 1400)
        try:
            browser.get(server.url)
            wait(browser, "return document.body.dataset.generation !== undefined")
            assert_page_matches_api(browser, server)
            os.makedirs(ARTIFACTS, exist_ok=True)
            browser.save_screenshot(os.path.join(ARTIFACTS, "dashboard-names-%d.png" % width))
            cells = browser.execute_script(NAME_CELLS)
            layout = browser.execute_script("""
                const rate = document.getElementById('burn-rate'), range = document.createRange();
                range.selectNodeContents(rate);
                const boxes = [...range.getClientRects()];  // on one line, every box overlaps every other
                return {page: Math.max(0, document.documentElement.scrollWidth - window.innerWidth),
                        rateOnOneLine: Math.max(...boxes.map(r => r.top)) < Math.min(...boxes.map(r => r.bottom))};""")
            heads = browser.execute_script("""
                const out = {};
                for (const id of ['models', 'projects'])
                  out[id] = [...document.querySelectorAll('#' + id + ' thead th')].map(th => th.textContent);
                out.total = document.querySelector('#projects tfoot td[data-field="total_tokens"]').textContent;
                return out;""")
        finally:
            browser.set_window_size(1280, 1000)
    assert layout == {"page": 0, "rateOnOneLine": True}, layout  # no sideways scrolling; the burn rate on one line
    columns = {}
    for cell in cells:
        if cell["full"] and cell["full"] not in ("Total",):
            columns.setdefault((cell["table"], cell["field"]), []).append(cell)
    assert set(columns) == {
        ("models", "model"),
        ("projects", "project"),
        ("sessions", "id"),
        ("sessions", "project"),
        ("sessions", "models"),
    }
    for (table, field), column in columns.items():
        for cell in column:
            # Whole where there is room; never wider than its cell.
            assert (cell["shown"] == cell["full"]) == (cell["width"] <= cell["room"]), cell
            assert not cell["clipped"], cell
        if field == "models":
            continue  # a list of names, "alpha-4-5 +2", says that more follow
        # Two different names never read the same, nor could one be read as another.
        shown = {c["full"]: c["shown"] for c in column}
        assert len(set(shown.values())) == len(shown), (table, field, shown)
        for full, text in shown.items():
            assert not any(could_be(text, other) for other in shown if other != full), (text, full)
        if field == "id":
            # An id is whole or its start that no other id shares, and "…".
            for full, text in shown.items():
                assert text == full or (
                    text.endswith("…") and sum(i.startswith(text[:-1]) for i in shown) == 1 and len(text) - 1 >= 8
                ), text
    # Names get the room first: a name is cut only beside the narrowest figures
    # (cache columns folded into one, numbers abbreviated).
    for table, field in (("models", "model"), ("projects", "project")):
        if any(c["shown"] != c["full"] for c in columns[(table, field)]):
            assert "Cache" in heads[table] and "Cache read" not in heads[table], heads
            assert table == "models" or heads["total"].endswith("M"), heads
    if width == 1400:
        assert all(c["shown"] == c["full"] for c in columns[("models", "model")])
    else:
        # At 800 px the session list keeps its projects readable and its models as whole names.
        projects, models = columns[("sessions", "project")], columns[("sessions", "models")]
        assert all(len(c["shown"]) >= 16 or c["shown"] == c["full"] for c in projects), projects
        for c in models:
            names = c["full"].split(", ")
            assert c["shown"] in [
                ", ".join(names[:n]) + (" +%d" % (len(names) - n) if n < len(names) else "")
                for n in range(1, len(names) + 1)
            ], c


def test_the_dashboard_shows_prices_imported_while_it_is_open(browser, tmp_path):
    """A price map imported while the page is open: the page shows the new
    costs without a reload, as it follows the logs."""
    from conftest import FIXTURES

    busy_tree(tmp_path / "logs")
    with Served(tmp_path / "logs", tmp_path, "--tz", "UTC") as server:
        browser.get(server.url)
        wait(browser, "return document.body.dataset.generation !== undefined")
        assert browser.find_element("id", "range-cost").text == "no price table"
        imported = subprocess.run(
            [*ledgerly_command(), "prices", "import", os.path.join(FIXTURES, "price-map.json")],
            env=server.env,
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert imported.returncode == 0, imported.stderr
        wait(browser, "return document.getElementById('range-cost').textContent.startsWith('cost $')")
        daily = server.get("/api/v1/report?group=day&breakdown=true&tz=UTC")[2]
        assert daily["currency"] == "USD"
        assert_page_matches_api(browser, server)
