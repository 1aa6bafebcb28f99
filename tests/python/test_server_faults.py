"""`ledgerly serve` under hostile or careless clients and files: many event
streams leaving at once, bursts of streams, ticks that fail. Each test runs a
real server process over a real socket."""

import asyncio
import json
import signal
import socket
import time

import pytest

from ledgerly.live.connections import Connections
from ledgerly.live.follow import follow
from ledgerly.live.server import LiveServer
from ledgerly.live.ticks import LiveLedger
from ledgerly.sources import Source
from ledgerly.timezones import resolve_zone
from test_server import make_tree, status_cli

from conftest import deep_folder, message_line, write
from served import Served, Stream, recent


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
