"""Refreshes under file-system faults, injected into a child interpreter by a
preloaded library: interrupted and short reads must be invisible, read and
open errors listed, and nothing lost once the fault clears.  Also files that
are not regular files, which must be reported instead of blocking."""

from __future__ import annotations

import json
import os
import socket
import stat

import pytest

from ledgerly._native import Engine

from faults import entry, event_lines, fault_counts, injector, message_line, run_child

# Runs `steps` (a list of (manifest, force) pairs) on one engine in a child
# and prints, for each refresh, the report and the row buffer as hex.
REFRESH_STEPS = """
    steps = json.loads(sys.argv[1] if len(sys.argv) > 1 else os.environ["STEPS"])
    engine = Engine()
    for manifest, force, before in steps:
        for action, path in before:
            if action == "remove":
                os.remove(path)
        text, rows = engine.refresh(json.dumps(manifest), 2, force)
        print(json.dumps([json.loads(text), None if rows is None else rows.hex()]))
"""


def run_steps(steps, **kwargs):
    out = run_child(REFRESH_STEPS, env={"STEPS": json.dumps(steps)}, **kwargs)
    assert out.returncode == 0, out.stdout + out.stderr
    return [json.loads(line) for line in out.stdout.splitlines()]


def fresh_result(manifest):
    text, rows = Engine().refresh(json.dumps(manifest), 1, True)
    return json.loads(text), rows.hex()


STATE_SUMS = (
    "malformed",
    "invalid_usage",
    "duplicate_snapshots",
    "inherited_events",
    "cumulative_resets",
    "pending_files",
    "unresolved_forks",
)


def assert_same_export(result, manifest):
    """`result` (report, hex rows) holds exactly what a new engine reads."""
    report, rows = result
    want_report, want_rows = fresh_result(manifest)
    assert rows == want_rows
    for key in ("models", "projects", "rows"):
        assert report[key] == want_report[key]
    for key in STATE_SUMS:
        assert report["scan"][key] == want_report["scan"][key], key


@pytest.fixture
def logs(tmp_path):
    """Two watched logs, one per dialect, with a few dozen lines each."""
    messages = tmp_path / "watched-messages.jsonl"
    events = tmp_path / "watched-events.jsonl"
    messages.write_bytes(b"".join(message_line(f"m{i}", tokens=i) for i in range(40)) + b'{"usage":\n')
    events.write_bytes(event_lines("s-1", 30))
    return messages, events


def test_interrupted_and_short_reads_are_invisible(tmp_path, tmp_path_factory, logs):
    messages, events = logs
    first = [entry(messages), entry(events, source=1)]
    grown_bytes = b"".join(message_line(f"n{i}") for i in range(5))
    log = tmp_path / "counts"
    steps = [(first, False, [])]
    results = run_steps(
        steps, injector=injector(tmp_path_factory), faults={"MATCH": "watched-", "EINTR": 1, "SHORT": 1, "LOG": log}
    )
    assert results[0][0]["scan"]["errors"] == []
    assert_same_export(results[0], first)

    # Growth: the tail check (pread) and the read of the new lines under faults.
    with open(messages, "ab") as f:
        f.write(grown_bytes)
    grown = [entry(messages), entry(events, source=1)]
    results = run_steps(
        [(first, False, []), (grown, False, [])],
        injector=injector(tmp_path_factory),
        faults={"MATCH": "watched-", "EINTR": 1, "SHORT": 1, "LOG": log},
    )
    scan = results[1][0]["scan"]
    assert (scan["errors"], scan["appended"], scan["rebuilt"]) == ([], 1, 0)
    assert scan["bytes_read"] == len(grown_bytes)
    assert_same_export(results[1], grown)
    counts = fault_counts(log)
    assert counts["eintr"] > 10 and counts["short"] > 100, counts


@pytest.mark.parametrize("host_mtime", ["stat", "zero"])
def test_read_errors_are_listed_and_nothing_is_lost(tmp_path, tmp_path_factory, logs, host_mtime):
    """A read that fails half-way keeps the lines before the failure and is
    taken up again by the next refresh, even from a host that sends
    mtime_ns 0 for every file."""
    messages, events = logs
    override = {"mtime_ns": 0} if host_mtime == "zero" else {}
    manifest = [entry(messages, **override), entry(events, source=1, **override)]
    switch = tmp_path / "eio-on"
    switch.touch()
    log = tmp_path / "counts"
    steps = [
        (manifest, False, []),
        (manifest, False, []),
        (manifest, False, [("remove", str(switch))]),
        (manifest, False, []),
    ]
    results = run_steps(
        steps,
        injector=injector(tmp_path_factory),
        faults={"MATCH": "watched-", "EIO": switch, "EIO_AT": 1500, "LOG": log},
    )
    for failed in results[:2]:
        scan = failed[0]["scan"]
        assert sorted(scan["errors"]) == sorted(f"{e['path']}: Input/output error (os error 5)" for e in manifest)
        assert scan["pending_files"] == 2
    assert 0 < results[0][0]["rows"] < fresh_result(manifest)[0]["rows"]

    recovered = results[2]
    assert recovered[0]["scan"]["errors"] == []
    scan = recovered[0]["scan"]
    # Rebuilt when the host's time says the file may have changed, else
    # continued after the lines read before the error.
    assert (scan["appended"], scan["rebuilt"]) == ((2, 0) if host_mtime == "zero" else (0, 2))
    assert_same_export(recovered, manifest)
    assert results[3][1] is None  # and then nothing is pending any more
    assert fault_counts(log)["eio"] >= 4


def test_open_errors_are_listed_and_nothing_is_lost(tmp_path, tmp_path_factory, logs):
    messages, events = logs
    manifest = [entry(messages), entry(events, source=1)]
    switch = tmp_path / "emfile-on"
    script = """
        engine = Engine()
        def refresh(manifest):
            text, rows = engine.refresh(json.dumps(manifest), 2)
            print(json.dumps([json.loads(text), None if rows is None else rows.hex()]))
        first, grown = json.loads(os.environ["MANIFESTS"])
        refresh(first)                      # read whole
        with open(os.environ["GROW"], "ab") as f:
            f.write(bytes.fromhex(os.environ["MORE"]))
        open(os.environ["SWITCH"], "w").close()
        refresh(grown)                      # cannot open: states handed back
        os.remove(os.environ["SWITCH"])
        refresh(grown)                      # opened again
    """
    more = b"".join(message_line(f"late{i}") for i in range(3))
    size = messages.stat().st_size + len(more)
    grown = [dict(manifest[0], size=size, mtime_ns=manifest[0]["mtime_ns"] + 1), manifest[1]]
    out = run_child(
        script,
        injector=injector(tmp_path_factory),
        faults={"MATCH": "watched-messages", "EMFILE": switch},
        env={
            "MANIFESTS": json.dumps([manifest, grown]),
            "SWITCH": str(switch),
            "GROW": str(messages),
            "MORE": more.hex(),
        },
    )
    assert out.returncode == 0, out.stdout + out.stderr
    results = [json.loads(line) for line in out.stdout.splitlines()]
    failed = results[1][0]["scan"]
    assert failed["errors"] == [f"{messages}: Too many open files (os error 24)"]
    assert results[1][0]["rows"] == results[0][0]["rows"]  # earlier rows kept
    assert results[2][0]["scan"]["appended"] == 1
    assert_same_export(results[2], [entry(messages), entry(events, source=1)])


def test_files_that_are_not_regular_are_reported_not_waited_for(tmp_path):
    fifo = tmp_path / "pipe.jsonl"
    os.mkfifo(fifo)
    folder = tmp_path / "folder.jsonl"
    folder.mkdir()
    sock_path = tmp_path / "sock.jsonl"
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(sock_path))
    log = tmp_path / "log.jsonl"
    log.write_bytes(message_line("k1"))

    def odd(path, size):
        return {
            "path": str(path),
            "size": size,
            "identity": "1:2",
            "mtime_ns": 1,
            "source": 0,
            "project": "proj",
            "sub": False,
        }

    manifest = [odd(fifo, 0), odd(fifo, 100), odd(folder, 10), odd(sock_path, 5), odd("/dev/null", 7), entry(log)]
    # A child, so that a refresh that blocks cannot hang the suite.
    script = """
        manifest = os.environ["MANIFEST"]
        engine = Engine()
        for _ in range(2):
            text, rows = engine.refresh(manifest, 1)
            print(text)
    """
    try:
        out = run_child(script, env={"MANIFEST": json.dumps(manifest)}, timeout=30)
    finally:
        sock.close()
    assert out.returncode == 0, out.stdout + out.stderr
    for line in out.stdout.splitlines():
        report = json.loads(line)
        assert sorted(report["scan"]["errors"]) == sorted(
            [
                f"{fifo}: not a regular file (named pipe)",
                f"{fifo}: not a regular file (named pipe)",
                f"{folder}: Is a directory (os error 21)",
                f"{sock_path}: No such device or address (os error 6)",
                "/dev/null: not a regular file (character device)",
            ]
        )
        # Nothing is stored for them: each refresh tries them again.
        assert report["scan"]["pending_files"] == 0
    first, second = (json.loads(line) for line in out.stdout.splitlines())
    assert (first["scan"]["changed"], first["rows"]) == (6, 1)
    assert second["scan"]["changed"] == 5
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)  # the pipe itself was left alone
