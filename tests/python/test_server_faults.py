"""`ledgerly serve` under hostile or careless clients and files: many event
streams leaving at once, bursts of streams, ticks that fail. Each test runs a
real server process over a real socket."""

import signal
import time

import pytest

from test_server import make_tree

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
