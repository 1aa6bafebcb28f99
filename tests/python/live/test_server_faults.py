"""`ledgerly serve` under hostile or careless clients and files: many event
streams leaving at once, bursts of streams, ticks that fail. Each test runs a
real server process over a real socket."""

import asyncio
import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import time
from urllib.parse import quote

import pytest

from ledgerly import Ledger, report
from ledgerly.codes import ENV_SOURCES
from ledgerly.live.connections import Connections
from ledgerly.live.follow import follow
from ledgerly.live.server import LiveServer
from ledgerly.live.ticks import LiveLedger
from ledgerly.sources import Source
from ledgerly.timezones import resolve_zone
from test_server import make_tree, status_cli

from conftest import deep_folder, message_line, shared_folder, write
from served import Served, Stream, environment, ledgerly_command, recent


@pytest.fixture
def tree(tmp_path):
    return make_tree(tmp_path / "logs")


def append(tree, text):
    with open(tree / "live" / "now.jsonl", "a") as f:
        f.write(text)


def output_total(server):
    return server.get("/api/v1/report?group=model")[2]["totals"]["output"]


def test_event_streams_leaving_at_once_leave_the_server_working(tree, tmp_path):
    with Served(tree, tmp_path) as server:
        for round_ in range(3):
            streams = [Stream(server.port) for _ in range(300)]
            for s in streams:
                if s.status == 200:
                    s.next_update()
            # A tick wakes every stream, and they leave while it does.
            append(tree, recent(0, "w%d" % round_, out=1))
            for s in streams:
                s.close()
                time.sleep(0.002)

        # The next tick is counted, and a new stream still gets every update.
        before = output_total(server)
        append(tree, recent(0, "x1", out=10))
        server.wait_for("/api/v1/report?group=model", lambda d: d["totals"]["output"] == before + 10)
        stream = Stream(server.port)
        first = stream.next_update()
        append(tree, recent(0, "x2", out=100))
        assert stream.next_update()["generation"] > first["generation"]
        stream.close()
        code, err = server.stop(signal.SIGTERM)
        assert code == 0, err
        assert "Traceback" not in err and "Error" not in err, err


def test_event_streams_are_counted_before_they_start(tree, tmp_path):
    with Served(tree, tmp_path) as server:
        streams = [Stream(server.port) for _ in range(150)]  # all sent before any answer is read
        statuses = [s.status for s in streams]
        assert (statuses.count(200), statuses.count(503)) == (64, 86)
        for s in streams:
            s.close()
        # Their places are given back once they are gone.
        server.wait_for("/api/v1/scan", lambda d: d["streams"] == 0)
        again = [Stream(server.port) for _ in range(64)]
        assert [s.status for s in again] == [200] * 64
        for s in again:
            s.close()


def test_a_source_nested_deeper_than_the_recursion_limit_is_followed(tree, tmp_path):
    with deep_folder(tree / "deep", 1200) as bottom:
        write(bottom, "s.jsonl", message_line("2025-03-16T00:00:00Z", "d1", "alpha-4-5", inp=1, out=1))
        with Served(tree, tmp_path) as server:
            before = output_total(server)
            append(tree, recent(0, "y1", out=10))
            server.wait_for("/api/v1/report?group=model", lambda d: d["totals"]["output"] == before + 10)
            scan = server.get("/api/v1/scan")[2]
            assert (scan["mode"], scan["tick_failures"], scan["unreadable"]) == ("notify", 0, 0)
            assert server.stop()[0] == 0


def test_a_failing_tick_is_reported_and_the_follower_goes_on(tree, monkeypatch):
    live = LiveLedger([Source(str(tree))])
    server = LiveServer(live, resolve_zone("UTC"), None)
    before = int(live.snapshot.rows["output"].sum())
    rescan = live.tracker.rescan
    failures = iter([RecursionError("maximum recursion depth exceeded")] * 3)

    def failing_rescan():
        failure = next(failures, None)
        if failure is not None:
            raise failure
        return rescan()

    monkeypatch.setattr(live.tracker, "rescan", failing_rescan)
    warnings = []

    async def follow_until_counted():
        stop = asyncio.Event()
        follower = asyncio.ensure_future(follow(server, [str(tree)], stop, 300, 0.05, True, warnings.append))
        append(tree, recent(0, "z1", out=10))
        deadline = time.monotonic() + 20
        while int(live.snapshot.rows["output"].sum()) != before + 10 and time.monotonic() < deadline:
            await asyncio.sleep(0.05)
        stop.set()
        await follower

    asyncio.run(follow_until_counted())
    assert int(live.snapshot.rows["output"].sum()) == before + 10
    scan = server.scan()
    assert scan["tick_failures"] == 3
    assert scan["last_failure"]["error"] == "RecursionError: maximum recursion depth exceeded"
    assert warnings == ["a tick failed (RecursionError: maximum recursion depth exceeded); the server goes on"]
    server.close()


def test_half_sent_requests_do_not_starve_the_server(tree, tmp_path):
    with Served(tree, tmp_path, open_files=256) as server:
        stalled = []
        for _ in range(300):  # more than the server may keep open
            sock = socket.create_connection(("127.0.0.1", server.port), timeout=30)
            sock.sendall(b"GET /api/v1/sta")
            stalled.append(sock)
        # A whole request still gets its answer, over TCP and over the Unix socket.
        assert server.get("/api/v1/status")[0] == 200
        asked = status_cli(server.home, server.runtime, "--json")
        assert asked.returncode == 0 and json.loads(asked.stdout)["source"] == "server", asked.stderr
        for sock in stalled:
            sock.close()
        code, err = server.stop(signal.SIGTERM)
        assert code == 0 and "Traceback" not in err and err.count("\n") <= 3, err


class Answering(asyncio.Protocol):
    """An HTTP protocol stand-in that answers "ok" to each complete head."""

    def __init__(self):
        self.received = b""
        self.lost = False

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.received += data
        while b"\r\n\r\n" in self.received:
            _head, self.received = self.received.split(b"\r\n\r\n", 1)
            self.transport.write(b"ok")

    def connection_lost(self, exc):
        self.lost = True


def serve_connections(scenario, cap, head_timeout):
    """Runs `scenario(port, made)` against a loopback server whose
    connections go through `Connections`; `made` lists the protocols."""

    async def run():
        made = []
        connections = Connections(lambda: made.append(Answering()) or made[-1], cap, head_timeout)
        server = await asyncio.get_running_loop().create_server(connections, "127.0.0.1", 0)
        try:
            await asyncio.wait_for(scenario(server.sockets[0].getsockname()[1], made), 30)
        finally:
            server.close()

    asyncio.run(run())


async def connect(port, sent=b""):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(sent)
    await writer.drain()
    return reader, writer


def test_a_request_head_has_a_deadline():
    async def scenario(port, made):
        # A head sent in pieces is answered; the connection then waits without a deadline.
        answered, writer = await connect(port, b"GET / HTTP/1.1\r\nHo")
        await asyncio.sleep(0.1)
        writer.write(b"st: x\r\n\r\n")
        assert await answered.readexactly(2) == b"ok"
        # Half a head, or none, is closed at its deadline; so is a second head left half sent.
        for sent in (b"GET / HT", b"", b"GET / HTTP/1.1\r\n\r\nGET / H"):
            reader, _writer = await connect(port, sent)
            assert await reader.read() == (b"ok" if sent.count(b"\r\n\r\n") else b"")
        assert not made[0].lost

    serve_connections(scenario, cap=10, head_timeout=0.3)


def test_at_the_cap_the_longest_waiting_head_makes_room():
    async def scenario(port, made):
        busy, _w = await connect(port, b"GET / HTTP/1.1\r\n\r\n")
        assert await busy.readexactly(2) == b"ok"
        first, _w1 = await connect(port, b"GET / HT")
        second, w2 = await connect(port, b"GET / HT")
        third, w3 = await connect(port, b"GET / HT")  # one too many: the first stalled one goes
        assert await first.read() == b""
        for reader, writer in ((second, w2), (third, w3)):
            writer.write(b"TP/1.1\r\n\r\n")
            assert await reader.readexactly(2) == b"ok"
        # Every connection is busy: a new one is told so and closed.
        refused, _w4 = await connect(port, b"GET / HTTP/1.1\r\n\r\n")
        answer = await refused.read()
        assert answer.startswith(b"HTTP/1.1 503 ") and answer.endswith(b'{"error":"too many connections open"}')
        assert [p.lost for p in made] == [False, True, False, False, False]  # the last was never started

    serve_connections(scenario, cap=3, head_timeout=30)


# ---------------------------------------------------------------------------
# The runtime folder and the address file


def serve_cli(tmp_path, tree, runtime, *args, timeout=60):
    return subprocess.run(
        [sys.executable, "-m", "ledgerly", "serve", "--source", str(tree), "--port", "0", *args],
        capture_output=True,
        text=True,
        env=environment(tmp_path / "home", runtime),
        timeout=timeout,
    )


@pytest.mark.parametrize(
    "mode, owner, reason",
    [
        (0o1777, None, "others may use it (mode 1777)"),
        (0o755, None, "others may use it (mode 755)"),
        (0o700, 12345, "it belongs to another user"),
    ],
)
def test_a_runtime_folder_that_is_not_private_is_refused_and_left_alone(tree, tmp_path, mode, owner, reason):
    shared = shared_folder(tmp_path / "shared", mode, owner)
    done = serve_cli(tmp_path, tree, shared)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "runtime folder %s: %s" % (shared, reason) in done.stderr
    assert stat.S_IMODE(os.stat(shared).st_mode) == mode and os.listdir(shared) == []
    # status does not trust an address file there: it reads the logs itself.
    (shared / "server.json").write_text(json.dumps({"pid": 1, "url": "http://127.0.0.1:9/", "socket": None}))
    asked = status_cli(tmp_path / "home", shared, "--json", env={ENV_SOURCES: str(tree)})
    assert asked.returncode == 0 and json.loads(asked.stdout)["source"] == "scan", asked.stderr


def test_a_second_server_refuses_to_start_beside_a_paused_one(tree, tmp_path):
    with Served(tree, tmp_path) as first:
        info_file, sock_file = first.runtime / "server.json", first.runtime / "server.sock"
        written = (info_file.read_bytes(), os.stat(sock_file).st_ino)
        first.process.send_signal(signal.SIGSTOP)
        try:
            second = serve_cli(tmp_path, tree, first.runtime, timeout=30)
        finally:
            first.process.send_signal(signal.SIGCONT)
        assert second.returncode == 2 and second.stderr.count("\n") == 1, second.stderr
        assert "another ledgerly server is running (pid %d" % first.process.pid in second.stderr
        assert (info_file.read_bytes(), os.stat(sock_file).st_ino) == written
        asked = status_cli(first.home, first.runtime, "--json")
        assert asked.returncode == 0 and json.loads(asked.stdout)["source"] == "server", asked.stderr
        assert first.stop()[0] == 0
    assert not info_file.exists() and not sock_file.exists()
    # A server that was killed leaves its files behind; the next one replaces them.
    with Served(tree, tmp_path) as killed:
        killed.process.kill()
        killed.process.wait()
    assert info_file.exists()
    with Served(tree, tmp_path) as third:
        assert json.loads(info_file.read_text())["pid"] == third.process.pid


@pytest.mark.parametrize("host", ["127.0.0.2", "::1", "localhost"])
def test_every_loopback_address_the_server_listens_on_passes_the_host_check(tree, tmp_path, host):
    try:
        socket.getaddrinfo(host, 0)
        socket.create_server((host, 0), family=socket.AF_INET6 if ":" in host else socket.AF_INET).close()
    except OSError:
        pytest.skip("no %s here" % host)
    with Served(tree, tmp_path, "--host", host, "--no-socket") as server:
        netloc = server.url.split("/")[2]
        assert server.get("/api/v1/status", host=netloc)[0] == 200
        assert server.get("/api/v1/status", host="attacker.example")[0] == 421
        asked = status_cli(server.home, server.runtime, "--json")  # over TCP, naming the printed address
        assert asked.returncode == 0 and json.loads(asked.stdout)["source"] == "server", asked.stderr


def test_without_unix_sockets_status_asks_over_tcp_with_the_token_from_the_address_file(tree, tmp_path):
    token = "a-token-of-the-servers-own-0123"
    with Served(tree, tmp_path, "--token", token, unix_sockets=False) as server:
        info_file = server.runtime / "server.json"
        info = json.loads(info_file.read_text())
        assert info["socket"] is None and not (server.runtime / "server.sock").exists()
        assert stat.S_IMODE(os.stat(info_file).st_mode) == 0o600
        assert server.get("/api/v1/status")[0] == 401  # the TCP port still needs a token
        asked = status_cli(server.home, server.runtime, "--json", unix_sockets=False)
        assert asked.returncode == 0 and json.loads(asked.stdout)["source"] == "server", asked.stderr
        assert server.stop()[0] == 0
    assert not info_file.exists()


# ---------------------------------------------------------------------------
# Tokens


@pytest.mark.parametrize(
    "token",
    [" " * 20, "a token with spaces in it", "pässwörter-und-mehr", "tab\tseparated-token", " padded-token-1234 "],
)
def test_tokens_that_cannot_be_sent_are_refused_at_start(tree, tmp_path, token):
    done = serve_cli(tmp_path, tree, tmp_path / "run", "--token", token)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "--token: use 16 or more printable ASCII characters" in done.stderr


def test_tokens_with_cookie_separators_work_in_the_dashboard(tree, tmp_path):
    token = 'Ab0/+=;,"\\x' * 2  # base64 signs, and what cookies and quoting use
    with Served(tree, tmp_path, "--token", token) as server:
        assert server.get("/api/v1/status", {"Authorization": "Bearer " + token})[0] == 200
        status, head, _b = server.request("GET", "/?token=" + quote(token, safe="/+=;,"))  # as pasted into an address
        assert status == 303
        cookie = head["set-cookie"].split(";")[0]
        assert server.get("/api/v1/status", {"Cookie": cookie})[0] == 200
        assert server.get("/api/v1/status", {"Cookie": "other=1; " + cookie})[0] == 200
        assert server.get("/api/v1/status", {"Cookie": cookie[:-1]})[0] == 401


def test_sources_replaced_removed_or_made_again_are_followed(tree, tmp_path):
    single = tmp_path / "single.jsonl"
    single.write_text(message_line("2025-03-16T00:00:00Z", "s1", "alpha-4-5", out=1))
    with Served(tree, tmp_path, "--source", single) as server:
        # A single-file source replaced by a rename (as editors and log rotation do) ...
        before = output_total(server)
        fresh = tmp_path / "single.new"
        fresh.write_text(message_line("2025-03-16T00:00:00Z", "s1", "alpha-4-5", out=1) + recent(0, "s2", out=10))
        os.replace(fresh, single)
        server.wait_for("/api/v1/report?group=model", lambda d: d["totals"]["output"] == before + 10)
        # ... is followed as the new file.
        with open(single, "a") as f:
            f.write(recent(0, "s3", out=100))
        server.wait_for("/api/v1/report?group=model", lambda d: d["totals"]["output"] == before + 110)

        # A source folder removed and made again.
        shutil.rmtree(tree)
        gone = server.wait_for("/api/v1/scan", lambda d: d["unwatched"] == [str(tree)])
        assert gone["mode"] == "notify"
        write(tree, "again/s.jsonl", recent(0, "a1", out=1000))
        server.wait_for("/api/v1/report?group=model", lambda d: d["totals"]["output"] == 1 + 10 + 100 + 1000)
        with open(tree / "again" / "s.jsonl", "a") as f:
            f.write(recent(0, "a2", out=10000))
        server.wait_for("/api/v1/report?group=model", lambda d: d["totals"]["output"] == 1111 + 10000)
        assert server.get("/api/v1/scan")[2]["unwatched"] == []


def test_a_change_before_the_notifier_starts_is_counted(tree, tmp_path):
    # Lines appended after the server's first reading but before its
    # notifier watches anything raise no notification: the follower must
    # look once the watch runs, not only at the next full rescan.
    log = tree / "live" / "now.jsonl"
    prelude = (
        "import watchfiles\n"
        "_awatch = watchfiles.awatch\n"
        "def awatch(*args, **kwargs):\n"
        "    with open(%r, 'a') as f:\n"
        "        f.write(%r)\n"
        "    return _awatch(*args, **kwargs)\n"
        "watchfiles.awatch = awatch\n"
    ) % (str(log), recent(0, "early", out=7000))
    before = report(Ledger([str(tree)]).refresh(), by=("model",)).totals["output"]
    with Served(tree, tmp_path, "--rescan", "3600", prelude=prelude) as server:
        server.wait_for("/api/v1/report?group=model", lambda d: d["totals"]["output"] == before + 7000)


def test_limits_at_their_bounds_and_odd_input_through_a_server(tree, tmp_path):
    """A price so low that the pace would reach the limits only after longer
    than any float holds: the server's status is JSON with finite figures,
    and `status` and `check` through it print their answers. `status` with a
    byte-order mark or deeply nested JSON on stdin still prints its line."""
    config = tmp_path / "config.toml"
    config.write_text(
        "[limits]\nblock_tokens = 9223372036854775807\nblock_cost = 1e12\nday_tokens = 1\nday_cost = 1e-6\n"
        '[prices."alpha-4*"]\ninput = 1e-300\noutput = 1e-300\n'
    )
    with Served(tree, tmp_path, "--config", config, "--tz", "UTC") as server:
        code, _head, body = server.request("GET", "/api/v1/status")
        assert code == 200, body
        data = json.loads(body, parse_constant=lambda name: pytest.fail("%s in the JSON" % name))
        assert [(u["name"], u["reaches_at"]) for u in data["limits"]] == [
            ("block_tokens", None),
            ("block_cost", None),
            ("day_tokens", None),
            ("day_cost", None),
        ]

        def ledgerly(*args, stdin=b""):
            command = [*ledgerly_command(), *args]
            env = environment(server.home, server.runtime)
            return subprocess.run(command, input=stdin, capture_output=True, env=env, timeout=120)

        line = ledgerly("status")
        assert (line.returncode, line.stderr) == (0, b"") and b"day tokens" in line.stdout and b"passed" in line.stdout
        check = ledgerly("check", "--json")
        assert check.returncode == 3, check.stderr
        assert json.loads(check.stdout)["passed"] == ["day_tokens"]

        marked = ledgerly("status", "--json", stdin=b'\xef\xbb\xbf{"session_id": "now"}')
        assert marked.returncode == 0 and marked.stderr == b"", marked.stderr
        asked = json.loads(marked.stdout)
        assert (asked["source"], asked["session"]["id"]) == ("server", "now")
        deep = ledgerly("status", stdin=b'{"session_id": "now", "x": %s}' % (b"[" * 30_000 + b"]" * 30_000))
        assert deep.returncode == 0 and b"day tokens" in deep.stdout
        assert (
            deep.stderr.startswith(b"ledgerly: warning: standard input: the JSON nests")
            and deep.stderr.count(b"\n") == 1
        )
        assert server.stop()[0] == 0
