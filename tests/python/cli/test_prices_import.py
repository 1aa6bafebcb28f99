"""`ledgerly prices import`, `prices`, `prices remove`: price maps fetched
from a real local HTTP server or read from files, kept as versions in the
user data folder, and used by every report offline."""

import http.server
import json
import os
import stat
import threading
import time

import pytest

from conftest import FIXTURES, message_line, write

FIXTURE = os.path.join(FIXTURES, "price-map.json")


def fixture_bytes():
    with open(FIXTURE, "rb") as f:
        return f.read()


class MapServer:
    """A local HTTP server with one behaviour per path; `requests` keeps
    each request's path and headers."""

    def __init__(self):
        self.body = fixture_bytes()
        self.etag = '"v1"'
        self.requests = []
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                owner.requests.append((self.path, dict(self.headers)))
                getattr(owner, "serve_" + self.path.strip("/").split("?")[0].replace("-", "_"))(self)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    @staticmethod
    def send(handler, status, body=b"", headers=()):
        handler.send_response(status)
        for name, value in headers:
            handler.send_header(name, value)
        if not any(name == "Content-Length" for name, _ in headers):
            handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    def serve_map(self, handler):
        if handler.headers.get("If-None-Match") == self.etag:
            return self.send(handler, 304, headers=[("ETag", self.etag)])
        headers = [("ETag", self.etag), ("Last-Modified", "Sat, 01 Mar 2025 00:00:00 GMT")]
        self.send(handler, 200, self.body, headers)

    def serve_no_validators(self, handler):
        self.send(handler, 200, self.body)

    def serve_truncated(self, handler):
        half = self.body[: len(self.body) // 2]
        self.send(handler, 200, half, [("Content-Length", str(len(self.body)))])
        handler.close_connection = True

    def serve_slow(self, handler):
        time.sleep(3)
        self.send(handler, 200, self.body)

    def serve_loop(self, handler):
        self.send(handler, 302, headers=[("Location", "/loop-again")])

    def serve_loop_again(self, handler):
        self.send(handler, 302, headers=[("Location", "/loop")])

    def serve_huge(self, handler):
        self.send(handler, 200, b"{}", [("Content-Length", str(100 << 20))])

    def serve_negative(self, handler):
        self.send(handler, 200, b'{"alpha-4-5": {"input_cost_per_token": -3e-06}}')

    def serve_missing(self, handler):
        self.send(handler, 404, b"no such map")

    def serve_elsewhere(self, handler):
        self.send(handler, 301, headers=[("Location", "file:///etc/passwd")])


@pytest.fixture
def maps():
    server = MapServer()
    yield server
    server.close()


@pytest.fixture
def logs(tmp_path):
    root = tmp_path / "logs"
    write(
        root,
        "p/conv.jsonl",
        message_line("2025-03-14T10:00:00Z", "m1", "alpha-4-5-20250929", inp=1000, out=100, read=2000, write_1h=500)
        + message_line("2025-03-14T11:00:00Z", "m2", "beta-3", inp=10, out=10)
        + message_line("2025-03-14T12:00:00Z", "m3", "omega-1", inp=10, out=10),
    )
    return root


def versions(cli):
    done = cli("prices", "list", "--json", "--source", os.devnull)
    return json.loads(done.stdout)["versions"]


def folder_of(home):
    return home / ".local" / "share" / "ledgerly" / "prices"


# Short timeouts keep the slow server's test quick.
FAST = {"LEDGERLY_FETCH_TIMEOUT": "0.5"}


def test_a_url_is_imported_once_and_asked_again_with_its_validators(cli, maps, home, logs):
    url = maps.url + "/map?ref=main&token=s3cret"
    done = cli("prices", "import", url, env=FAST)
    assert done.returncode == 0, done.stderr
    assert "Imported price version 1: 9 entries, in force from all history." in done.stdout
    folder = folder_of(home)
    assert stat.S_IMODE(os.stat(folder).st_mode) == 0o700
    assert [stat.S_IMODE(os.stat(folder / n).st_mode) for n in os.listdir(folder)] == [0o600]

    # A secret in the URL is never stored or shown.
    stored = (folder / "1.json").read_text()
    assert "s3cret" not in stored and maps.url + "/map?ref=main&token=***" in stored

    # Again: the server is asked whether it changed, says no, and nothing is added.
    again = cli("prices", "import", url, env=FAST)
    assert again.returncode == 0 and "nothing imported" in again.stdout
    headers = maps.requests[-1][1]
    assert headers["If-None-Match"] == '"v1"' and headers["If-Modified-Since"] == "Sat, 01 Mar 2025 00:00:00 GMT"
    # The same content from a server without validators adds nothing either.
    same = cli("prices", "import", maps.url + "/no-validators", "--json", env=FAST)
    assert json.loads(same.stdout) == {"imported": None, "unchanged": 1, "not_modified": False}

    # Changed prices: a new version, in force from its import on; last month's bill keeps the old one.
    maps.body = maps.body.replace(b'"input_cost_per_token": 3e-06', b'"input_cost_per_token": 2e-06', 1)
    maps.etag = '"v2"'
    before = time.time()
    assert cli("prices", "import", url, env=FAST).returncode == 0
    listed = versions(cli)
    shown = maps.url + "/map?ref=main&token=***"
    assert [(v["id"], v["source"], v["entries"]) for v in listed] == [(1, shown, 9), (2, shown, 9)]
    assert listed[0]["effective_from"] is None and listed[1]["effective_from"] >= time.strftime(
        "%Y-%m-%dT%H:%M", time.gmtime(before - 60)
    )
    report = json.loads(cli("models", "--source", logs, "--json").stdout)
    assert report["currency"] == "USD" and report["unpriced"] == ["omega-1"]
    alpha = report["rows"][0]
    assert alpha["model"] == "alpha-4-5"  # priced by the first version: its events are older than the second
    assert alpha["priced_cost"] == pytest.approx((1000 * 3 + 100 * 15 + 2000 * 0.3 + 500 * 6) / 1e6)


@pytest.mark.parametrize(
    "path, status, message",
    [
        ("/truncated", 2, "cut short"),
        ("/slow", 1, "no answer within 0.5 seconds"),
        ("/loop", 1, "too many redirects"),
        ("/huge", 1, "more than the 64 MiB allowed"),
        ("/negative", 2, '"alpha-4-5": input_cost_per_token: a rate must be a finite number of at least 0'),
        ("/missing", 1, "the server answered 404"),
        ("/elsewhere", 1, "not an http(s) URL"),
    ],
)
def test_a_failed_import_stores_nothing(cli, maps, home, path, status, message):
    assert cli("prices", "import", FIXTURE).returncode == 0
    stored = sorted(os.listdir(folder_of(home)))
    started = time.monotonic()
    done = cli("prices", "import", maps.url + path, env=FAST)
    assert time.monotonic() - started < 30
    assert done.returncode == status, done.stderr
    assert done.stderr.count("\n") == 1 and message in done.stderr, done.stderr
    assert sorted(os.listdir(folder_of(home))) == stored and done.stdout == ""


@pytest.mark.parametrize(
    "content, message",
    [
        (b'{"alpha-4-5": {"output_cost_per_token": 1e400}}', '"alpha-4-5": output_cost_per_token: a rate must be'),
        (b'["alpha-4-5"]', "a JSON object of models is expected"),
        (b'{"alpha-4-5": {"input_cost_per_token": 1e-06}', "malformed or truncated"),
        (b'{"about_this_map": {"mode": "chat"}}', "holds no entry with a per-token rate"),
    ],
)
def test_a_bad_file_is_refused_with_one_line(cli, tmp_path, home, content, message):
    path = tmp_path / "map.json"
    path.write_bytes(content)
    done = cli("prices", "import", path)
    assert done.returncode == 2 and message in done.stderr and done.stderr.count("\n") == 1
    assert not folder_of(home).exists() or os.listdir(folder_of(home)) == []


def test_sources_that_are_not_maps(cli, tmp_path):
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    for source, message in (
        (fifo, "not a regular file (a named pipe)"),
        (tmp_path, "not a regular file (a folder)"),
        (tmp_path / "nothing.json", "No such file"),
        ("ftp://example.invalid/map.json", "only http and https URLs, or a file"),
    ):
        done = cli("prices", "import", source, timeout=20)
        assert done.returncode == 2 and message in done.stderr, (source, done.stderr)


def test_from_dates_removal_and_what_a_report_uses(cli, tmp_path, home, logs):
    cut = tmp_path / "cut.json"
    data = json.loads(fixture_bytes())
    data["alpha-4-5"]["input_cost_per_token"] = 1e-06
    cut.write_text(json.dumps(data))
    assert cli("prices", "import", FIXTURE).returncode == 0
    bad = cli("prices", "import", cut, "--from", "2025-02-30")
    assert bad.returncode == 2 and bad.stderr.startswith("ledgerly: error: --from:")
    done = cli("prices", "import", cut, "--from", "2025-03-14T10:30:00+00:00", "--json")
    assert json.loads(done.stdout)["imported"]["effective_from"] == "2025-03-14T10:30:00Z"
    # The event at 10:00 is priced by version 1, whatever was imported later.
    first = json.loads(cli("daily", "--source", logs, "--json", "--tz", "UTC").stdout)
    assert first["rows"][0]["priced_cost"] == pytest.approx(
        (1000 * 3 + 100 * 15 + 2000 * 0.3 + 500 * 6 + 10 * 0.8 + 10 * 4) / 1e6
    )
    # --prices replaces everything for one command: bare numbers, no currency.
    table = tmp_path / "p.toml"
    table.write_text('[prices."*"]\ninput = 1.0\noutput = 1.0\ncache_read = 1.0\ncache_write_1h = 1.0\n')
    alone = json.loads(cli("daily", "--source", logs, "--json", "--prices", table).stdout)
    assert alone["currency"] is None and alone["unpriced"] == []

    removed = cli("prices", "remove", "1")
    assert removed.returncode == 0 and "Removed price version 1" in removed.stdout
    # Version 2 alone now covers all history, from before its start too.
    only = json.loads(cli("daily", "--source", logs, "--json", "--tz", "UTC").stdout)
    assert only["rows"][0]["priced_cost"] == pytest.approx(first["rows"][0]["priced_cost"] - 1000 * 2 / 1e6)
    for word, message in (("1", "there is no price version 1"), ("x", "a whole number"), ("0", "a whole number")):
        done = cli("prices", "remove", word)
        assert done.returncode == 2 and message in done.stderr, word
    # Clearing the cache keeps the imports.
    assert cli("cache", "clear").returncode == 0
    assert [v["id"] for v in versions(cli)] == [2]


def test_config_globs_rank_first_and_must_name_the_currency(cli, home, logs):
    assert cli("prices", "import", FIXTURE).returncode == 0
    config = home / ".config" / "ledgerly" / "config.toml"
    config.parent.mkdir(parents=True)
    config.write_text('[prices."omega-*"]\ninput = 2.0\noutput = 8.0\n')
    mixed = cli("models", "--source", logs, "--json")
    assert mixed.returncode == 2 and 'write currency = "USD" in [prices]' in mixed.stderr
    config.write_text('[prices]\ncurrency = "USD"\n[prices."omega-*"]\ninput = 2.0\noutput = 8.0\n')
    data = json.loads(cli("models", "--source", logs, "--json").stdout)
    assert data["unpriced"] == [] and data["currency"] == "USD"
    assert [r["priced_cost"] for r in data["rows"] if r["model"] == "omega-1"] == [pytest.approx(100 / 1e6)]
    table = cli("models", "--source", logs, "--tz", "UTC")
    assert "$0.0001" in table.stdout

    check = json.loads(cli("prices", "check", "--source", logs, "--json").stdout)
    by_model = {m["model"]: m for m in check["models"]}
    assert by_model["omega-1"]["glob"] == "omega-*" and by_model["omega-1"]["versions"] == []
    assert by_model["alpha-4-5"]["versions"] == [{"version": 1, "key": "alpha-4-5", "match": "exact", "note": None}]
    assert by_model["beta-3"]["versions"][0]["match"] == "folded" and check["complete"]


def test_check_names_tiers_without_rates_and_what_each_version_matched(cli, tmp_path, home):
    root = tmp_path / "tiers"
    write(
        root,
        "c.jsonl",
        message_line("2025-03-14T10:00:00Z", "m1", "alpha-4-5", inp=300_000, out=10, tier="priority")
        + message_line("2025-03-14T11:00:00Z", "m2", "alpha-4-5", inp=10, out=10, tier="flex")
        + message_line("2025-03-14T12:00:00Z", "m3", "omega-1", inp=10, out=10),
    )
    assert cli("prices", "import", FIXTURE).returncode == 0
    done = cli("prices", "check", "--source", root, "--json")
    assert done.returncode == 3
    models = {m["model"]: m for m in json.loads(done.stdout)["models"]}
    assert models["alpha-4-5"]["missing"] == ["flex.input", "flex.output"]
    usage = [(u["band"], u["tier"], u["priced"]) for u in models["alpha-4-5"]["usage"]]
    assert usage == [(None, "flex", False), (200_000, "priority", True)]
    assert (
        models["omega-1"]["versions"][0]["key"] is None
        and "different rates" in models["omega-1"]["versions"][0]["note"]
    )
    table = cli("prices", "check", "--source", root, env={"COLUMNS": "100"})
    assert (
        "flex.input, flex.output" in table.stdout
        and "omega-1 in version 1: 2 keys with different rates" in table.stdout
    )
    listing = cli("prices", "--source", root)
    assert listing.returncode == 0 and "1 of 2" in listing.stdout  # version 1 prices alpha-4-5, not omega-1


def test_a_folder_others_may_write_is_not_used(cli, home, logs):
    assert cli("prices", "import", FIXTURE).returncode == 0
    folder = folder_of(home)
    os.chmod(folder, 0o777)
    try:
        report = cli("daily", "--source", logs, "--json")
        assert report.returncode == 0 and "imported prices not used" in report.stderr
        assert "cost" not in json.loads(report.stdout)["totals"]  # no prices at all: no cost, not a wrong one
        refused = cli("prices", "import", FIXTURE)
        assert refused.returncode == 1 and "cannot be trusted: others may write it" in refused.stderr
        assert os.listdir(folder) == ["1.json"]
    finally:
        os.chmod(folder, 0o700)


def test_imports_at_once_take_different_ids(tmp_path):
    from ledgerly.prices.price_map import decode_map
    from ledgerly.prices.store import add_version, load_versions
    from ledgerly.prices.versions import Version

    folder = str(tmp_path / "data" / "prices")
    entries = decode_map(fixture_bytes())
    done = []
    threads = [
        threading.Thread(target=lambda: done.append(add_version(Version(0, "x", 0, "s", None, entries), folder).id))
        for _ in range(8)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(done) == list(range(1, 9))
    stored = load_versions(folder)
    assert [v.id for v in stored.versions] == list(range(1, 9)) and not stored.problems
    # A damaged version is reported, the others still price.
    with open(os.path.join(folder, "3.json"), "r+b") as f:
        f.truncate(100)
    stored = load_versions(folder)
    assert len(stored.versions) == 7 and "price version 3" in stored.problems[0]


def test_the_server_answers_what_the_command_prints(cli, home, logs, tmp_path):
    from served import Served

    assert cli("prices", "import", FIXTURE).returncode == 0
    with Served(logs, tmp_path, "--tz", "UTC") as server:
        assert server.home == home  # the same user data folder, so the same imports
        status, _headers, data = server.get("/api/v1/prices")
        assert "/api/v1/prices" in server.get("/api/v1")[2]["endpoints"]
    assert status == 200 and [v["id"] for v in data["versions"]] == [1]
    assert data == json.loads(cli("prices", "--json", "--source", logs).stdout)


def test_a_running_server_follows_the_imported_prices(cli, home, logs, tmp_path):
    """`prices import` and `prices remove` while a server runs: its answers
    and its event stream follow, without a restart. A store that cannot be
    used leaves its prices as they were, with one warning each time it
    goes bad."""
    from served import Served, Stream

    def model_report():
        done = cli("models", "--source", logs, "--tz", "UTC", "--json")
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    target = "/api/v1/report?group=model&tz=UTC"
    with Served(logs, tmp_path, "--tz", "UTC") as server:
        assert "currency" not in server.get(target)[2]
        stream = Stream(server.port)
        first = stream.next_update()
        assert cli("prices", "import", FIXTURE).returncode == 0
        priced = server.wait_for(target, lambda d: d.get("currency") == "USD")
        assert priced == model_report()
        update = stream.next_update()
        assert (update["generation"], update["prices"]) == (first["generation"], first["prices"] + 1)
        stream.close()
        # Usage that comes after is priced by the new prices as well (the
        # server's sums are kept for them from then on).
        with open(logs / "p" / "conv.jsonl", "a") as f:
            f.write(message_line("2025-03-14T13:00:00Z", "m4", "alpha-4-5", inp=7, out=70))
        priced = server.wait_for(target, lambda d: d["totals"]["output"] == 190)
        assert priced == model_report()

        folder = folder_of(home)
        damaged = folder / "2.json"
        damaged.write_bytes(b'{"format": 1, "id": 2, "entr')
        os.chmod(damaged, 0o600)
        for _ in range(3):
            time.sleep(0.6)  # past the server's look at the store
            assert server.get(target)[2] == priced
        damaged.unlink()
        os.chmod(folder, 0o777)
        try:
            time.sleep(1.2)
            assert server.get(target)[2] == priced
        finally:
            os.chmod(folder, 0o700)
        assert cli("prices", "remove", "1").returncode == 0
        server.wait_for(target, lambda d: "currency" not in d)
        code, err = server.stop()
    assert code == 0 and "Traceback" not in err
    assert err.count("price version 2") == 1 and "the prices in use are kept" in err
    assert err.count("cannot be trusted") == 1
