"""Saving an engine's state to a file and loading it back, through
ledgerly._ledger directly: what a loaded engine answers, the files and
paths it refuses (each with its reason, the engine left as it was), bad
arguments, threads, faults while reading the file, and a forked child."""

from __future__ import annotations

import errno
import json
import os
import stat
import struct
import textwrap
import threading
from pathlib import Path

import pytest

from ledgerly import _ledger, _native
from test_engine_lock import HOLD, stall_env

from conftest import event_log, message_line, write
from faults import entry, fault_counts, injector, run_child

HEADER = struct.Struct("<8sIIQQ")  # magic, format, layout, files, rows


@pytest.fixture
def logs(tmp_path):
    """A manifest of three logs of both dialects, one of them a fork."""
    folder = tmp_path / "logs"
    paths = [
        (
            write(
                folder,
                "m.jsonl",
                message_line("2025-03-01T10:00:00Z", "m1", "alpha-4", inp=3, out=5, cwd="/w/m")
                + message_line("2025-03-01T10:05:00Z", "m2", "beta-3", inp=1, out=2),
            ),
            0,
        ),
        (
            write(
                folder,
                "e.jsonl",
                event_log(
                    "s-1",
                    "/w/e",
                    "model-x",
                    [("2025-03-01T09:00:00Z", 10, 2, 4, 1), ("2025-03-01T09:10:00Z", 5, 0, 3, 0)],
                ),
            ),
            1,
        ),
        (
            write(
                folder,
                "f.jsonl",
                event_log(
                    "s-2", "/w/e", "model-x", [("2025-03-01T09:00:00Z", 10, 2, 4, 1)], started="2025-03-01T09:30:00Z"
                ),
            ),
            1,
        ),
    ]
    return json.dumps([entry(path, source) for path, source in paths])


def test_a_loaded_engine_answers_as_the_saved_one(tmp_path, logs):
    engine = _ledger.Engine()
    engine.refresh(logs, 2)
    state = tmp_path / "state"
    saved = engine.save(state, b"host data")
    assert saved == {"bytes": state.stat().st_size, "files": 3, "rows": 4}
    assert stat.S_IMODE(state.stat().st_mode) == 0o600
    magic, form, layout, files, rows = HEADER.unpack_from(state.read_bytes())
    assert (magic, form, files, rows) == (b"\x89LST\r\n\x1a\n", 1, 3, 4) and layout >= 1

    # str, bytes and path-like paths alike; the extra bytes come back.
    for path in (state, str(state), os.fsencode(state)):
        loaded = _ledger.Engine()
        assert loaded.load(path) == dict(saved, extra=b"host data")
        # Nothing changed: no export, as from the engine that saved; forced: the same rows.
        assert loaded.refresh(logs, 2) == engine.refresh(logs, 2)
        assert loaded.refresh(logs, 2, True) == engine.refresh(logs, 2, True)
    again = tmp_path / "again"
    loaded.save(again, extra=b"host data")
    assert again.read_bytes() == state.read_bytes()
    # Loading replaces whatever the engine held.
    engine.load(tmp_path / "again")
    assert engine.refresh("[]", 1)[0] == loaded.refresh("[]", 1)[0]
    # The records-only module keeps its one method.
    assert not hasattr(_native.Engine, "save") and not hasattr(_native.Engine, "load")


def corrupt(data: bytes) -> bytes:
    middle = bytearray(data)
    middle[len(data) // 2] ^= 0x10
    return bytes(middle)


def other_format(data: bytes) -> bytes:
    return data[:8] + struct.pack("<I", 7) + data[12:]


def other_layout(data: bytes) -> bytes:
    return data[:12] + struct.pack("<I", 0) + data[16:]


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda p, d: None, FileNotFoundError, "No such file or directory"),
        (lambda p, d: p.mkdir(), IsADirectoryError, "Is a directory"),
        (lambda p, d: os.mkfifo(p), ValueError, r"^the path is not a regular file \(named pipe\)$"),
        (lambda p, d: p.write_bytes(b""), ValueError, r"^the state file is empty$"),
        (lambda p, d: p.write_bytes(b"[1, 2, 3]\n" * 10), ValueError, r"^not a state file$"),
        (lambda p, d: p.write_bytes(d[:-1]), ValueError, r"^the state file is truncated \(its end mark is missing\)$"),
        (lambda p, d: p.write_bytes(d[:20]), ValueError, r"^the state file is truncated \(20 bytes\)$"),
        (lambda p, d: p.write_bytes(corrupt(d)), ValueError, r"^the state file is corrupt \(checksum mismatch\)$"),
        (
            lambda p, d: p.write_bytes(other_format(d)),
            ValueError,
            r"^the state file has format 7; this build reads format 1$",
        ),
        (lambda p, d: p.write_bytes(other_layout(d)), ValueError, r"^the state file has record layout 0; this build"),
    ],
    ids=["missing", "directory", "fifo", "empty", "foreign", "cut", "short", "flipped", "format", "layout"],
)
def test_refused_files_leave_the_engine_as_it_was(tmp_path, logs, make, error, message):
    source = _ledger.Engine()
    source.refresh(logs, 1)
    good = tmp_path / "good"
    source.save(good)
    path = tmp_path / "bad"
    make(path, good.read_bytes())

    fresh, used = _ledger.Engine(), _ledger.Engine()
    used.refresh(logs, 1)
    before = used.refresh(logs, 1, True)
    for engine in (fresh, used):
        with pytest.raises(error, match=message) as raised:
            engine.load(path)
        if isinstance(raised.value, OSError):
            assert raised.value.filename == path
        assert "\n" not in str(raised.value)
    # The new engine is still empty and usable; the other holds its state.
    fresh.save(tmp_path / "empty")
    assert HEADER.unpack_from((tmp_path / "empty").read_bytes())[3:] == (0, 0)
    assert used.refresh(logs, 1, True) == before
    assert fresh.refresh(logs, 1, True)[1] == before[1]


def test_save_refuses_what_is_no_regular_file(tmp_path):
    engine = _ledger.Engine()
    with pytest.raises(IsADirectoryError) as raised:
        engine.save(tmp_path)
    assert raised.value.errno == errno.EISDIR and raised.value.filename == tmp_path
    with pytest.raises(FileNotFoundError):
        engine.save(tmp_path / "no" / "state")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        with pytest.raises(ValueError, match=r"^the path is not a regular file \(named pipe\)$"):
            engine.save(fifo)
    finally:
        os.close(reader)


def test_a_state_goes_through_the_file_the_caller_opened(tmp_path, logs):
    """Save and load take a descriptor or an open file and never open the
    path again: a file renamed in at the name after the caller opened it
    is neither written nor read."""
    engine = _ledger.Engine()
    engine.refresh(logs, 2)
    by_path = tmp_path / "by-path"
    saved = engine.save(by_path, b"ours")

    victim = tmp_path / "victim"
    victim.write_bytes(b"not a state")
    path = tmp_path / "state"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o640)
    try:
        path.unlink()
        os.symlink(victim, path)  # swapped in after the open
        assert engine.save(fd, b"ours") == saved
        written = os.fstat(fd)
        assert (written.st_size, stat.S_IMODE(written.st_mode)) == (saved["bytes"], 0o640)
        with pytest.raises(OSError) as raised:
            engine.save(fd + 1000)
        assert raised.value.errno == errno.EBADF and raised.value.filename is None
    finally:
        os.close(fd)
    assert victim.read_bytes() == b"not a state"

    other = _ledger.Engine()
    other.refresh("[]", 1)
    crafted = tmp_path / "crafted"
    other.save(crafted, b"theirs")
    with open(by_path, "rb") as f:
        f.seek(0, os.SEEK_END)  # read whole from the start, wherever the position is
        os.replace(crafted, by_path)  # swapped in after the open
        head = _ledger.read_state_head(f)
        loaded = _ledger.Engine()
        assert loaded.load(f)["extra"] == b"ours"
    assert head == {
        "files": 3,
        "rows": 4,
        "extra_offset": HEADER.size + 8,
        "extra_size": 4,
        "bytes": saved["bytes"],
    }
    assert loaded.refresh(logs, 2, True) == engine.refresh(logs, 2, True)
    assert _ledger.read_state_head(str(by_path))["extra_size"] == len(b"theirs")

    reader, writer = os.pipe()
    try:
        for call in (lambda: loaded.load(reader), lambda: loaded.save(writer), lambda: _ledger.read_state_head(reader)):
            with pytest.raises(ValueError, match=r"^the open file is not a regular file \(named pipe\)$"):
                call()
    finally:
        os.close(reader)
        os.close(writer)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda e: e.save(), TypeError),
        (lambda e: e.save(4.2), TypeError),
        (lambda e: e.save(True), TypeError),
        (lambda e: e.save(-1), ValueError),
        (lambda e: e.save("a\0b"), ValueError),
        (lambda e: e.save("s", "text"), TypeError),
        (lambda e: e.save("s", extra=bytearray(b"x")), TypeError),
        (lambda e: e.save("s", b"", 1), TypeError),
        (lambda e: e.load(), TypeError),
        (lambda e: e.load("s", b""), TypeError),
        (lambda e: e.load(path=None), TypeError),
        (lambda e: _ledger.Engine.load(object(), "s"), TypeError),
    ],
)
def test_bad_arguments_raise_before_anything_happens(tmp_path, monkeypatch, call, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error):
        call(_ledger.Engine())
    assert not (tmp_path / "s").exists()


def test_saves_and_loads_beside_refreshes_from_other_threads(tmp_path):
    """Saves and loads wait for the refresh before them and never see half a
    state: every file saved meanwhile loads, and saves to the same bytes."""
    folder = tmp_path / "logs"
    log = write(folder, "live.jsonl", "")
    engine = _ledger.Engine()
    stop = threading.Event()

    def refresher():
        k = 0
        while not stop.is_set():
            k += 1
            with open(log, "a") as f:
                f.write(message_line("2025-03-01T10:00:00Z", f"r{k}", "alpha-4", inp=k, out=1))
            engine.refresh(json.dumps([entry(log)]), 2)

    thread = threading.Thread(target=refresher)
    thread.start()
    try:
        saved = []
        for k in range(20):
            path = tmp_path / f"state-{k}"
            saved.append((path, engine.save(path)))
            engine.load(saved[k // 2][0])  # an older state, loaded while the refreshes go on
    finally:
        stop.set()
        thread.join()
    for path, summary in saved:
        loaded = _ledger.Engine()
        assert loaded.load(path)["rows"] == summary["rows"]
        loaded.save(tmp_path / "copy")
        assert (tmp_path / "copy").read_bytes() == path.read_bytes()


LEDGER = "from ledgerly._ledger import Engine as Ledger\n"


def test_interrupted_short_and_failing_reads_of_the_state_file(tmp_path, tmp_path_factory, logs):
    engine = _ledger.Engine()
    engine.refresh(logs, 1)
    state = tmp_path / "watched-state"
    engine.save(state)
    expected = engine.refresh(logs, 1, True)[0]
    script = LEDGER + textwrap.dedent("""
        engine = Ledger()
        try:
            engine.load(os.environ["STATE"])
            print("loaded", engine.refresh(os.environ["LOGS"], 1, True)[0] == os.environ["EXPECTED"])
        except OSError as error:
            print("refused", error.errno, engine.refresh("[]", 1, True)[0].count('"rows":0'))
    """)
    env = {"STATE": str(state), "LOGS": logs, "EXPECTED": expected}
    lib = injector(tmp_path_factory)
    for kind, faults, out in [
        ("eintr", {"EINTR": 1}, "loaded True"),
        ("short", {"SHORT": 1}, "loaded True"),
        ("eio", {"EIO": tmp_path / "eio-on", "EIO_AT": 100}, f"refused {errno.EIO} 1"),
    ]:
        log = tmp_path / f"{kind}.log"
        faults.update(MATCH="watched-state", LOG=log)
        if "EIO" in faults:
            Path(faults["EIO"]).touch()
        done = run_child(script, injector=lib, faults=faults, env=env, timeout=60)
        assert done.stdout.strip() == out, done.stdout + done.stderr
        assert fault_counts(log)[kind] > 0


def test_a_forked_child_of_a_busy_engine_refuses_save_and_load(tmp_path, tmp_path_factory):
    faults, env = stall_env(tmp_path)
    env["STATE"] = str(tmp_path / "state")
    script = (
        LEDGER
        + HOLD
        + textwrap.dedent("""
        Ledger().save(os.environ["STATE"])
        busy = Ledger()
        results = []
        thread = hold(busy, results)
        pid = os.fork()
        if pid == 0:
            for call in (lambda: busy.save(os.environ["STATE"] + ".child"), lambda: busy.load(os.environ["STATE"])):
                try:
                    call()
                    print("child: returned", flush=True)
                except ledgerly.PanicException as error:
                    print("child:", error.args[0], flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        release()
        thread.join()
        busy.save(os.environ["STATE"] + ".parent")
        print("parent saved", flush=True)
    """)
    )
    out = run_child(script, injector=injector(tmp_path_factory), faults=faults, env=env, timeout=60)
    busy_text = "engine lock poisoned: the engine was in use by another thread when this process was forked"
    assert out.stdout.splitlines() == [f"child: {busy_text}", f"child: {busy_text}", "parent saved"], (
        out.stdout + out.stderr
    )
    assert not (tmp_path / "state.child").exists()
