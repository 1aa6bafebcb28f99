"""Refreshes over real log files: what is read again, what is skipped, the
scan statistics, I/O errors, and worker threads that cannot start."""

import json
import os
import subprocess
import sys
import textwrap

from ledgerly._native import Engine
from ledgerly.layout import RECORD_SIZE


def row_line(key, tokens=5):
    return (
        json.dumps(
            {
                "type": "assistant",
                "timestamp": "2025-03-01T10:00:00Z",
                "message": {"id": key, "model": "alpha-4", "usage": {"input_tokens": 3, "output_tokens": tokens}},
            },
            separators=(",", ":"),
        )
        + "\n"
    ).encode()


BROKEN = b'{"usage":\n'  # passes the prefilter, fails to decode: one malformed line


def entry(path, project="proj", **override):
    """The manifest entry a host builds from os.stat (absent file: size 0)."""
    try:
        st = os.stat(path)
        stat = {"size": st.st_size, "identity": f"{st.st_dev}:{st.st_ino}", "mtime_ns": st.st_mtime_ns}
    except FileNotFoundError:
        stat = {"size": 0, "identity": "", "mtime_ns": 0}
    e = {"path": str(path), **stat, "source": 0, "project": project, "sub": False}
    e.update(override)
    return e


def refresh(engine, entries, workers=2, force=False):
    text, buffer = engine.refresh(json.dumps(entries), workers, force)
    report = json.loads(text)
    if buffer is not None:
        assert len(buffer) == report["rows"] * RECORD_SIZE
    return report["scan"], buffer, report


def test_a_file_through_its_life(tmp_path):
    log = tmp_path / "session.jsonl"
    engine = Engine()

    log.write_bytes(row_line("a1") + BROKEN + b'{"type":"assist')
    scan, buffer, report = refresh(engine, [entry(log)])
    assert (scan["changed"], scan["rebuilt"], scan["appended"]) == (1, 1, 0)
    assert scan["bytes_read"] == log.stat().st_size
    assert scan["pending_files"] == 1 and scan["malformed"] == 1
    assert report["rows"] == 1

    # Unchanged: not read, no export, whole-state sums still reported.
    scan, buffer, _ = refresh(engine, [entry(log)])
    assert buffer is None
    assert (scan["changed"], scan["bytes_read"], scan["updated"]) == (0, 0, False)
    assert (scan["malformed"], scan["pending_files"]) == (1, 1)

    # The pending line completed plus one more: an append of exactly the new bytes.
    before = log.stat().st_size
    with open(log, "ab") as f:
        f.write(row_line("a2")[len(b'{"type":"assist') :] + row_line("a3"))
    scan, buffer, report = refresh(engine, [entry(log)])
    assert (scan["appended"], scan["rebuilt"]) == (1, 0)
    assert scan["bytes_read"] == log.stat().st_size - before + len(b'{"type":"assist')
    assert scan["pending_files"] == 0 and scan["malformed"] == 1
    assert report["rows"] == 3

    # A new project label alone is no change.
    scan, _, _ = refresh(engine, [entry(log, project="other")])
    assert scan["changed"] == 0

    # Rewritten in place, same size, new time: read again from the start.
    size = log.stat().st_size
    log.write_bytes(log.read_bytes().replace(BROKEN, b'{"x":1}  \n'))
    assert log.stat().st_size == size
    os.utime(log, ns=(1, log.stat().st_mtime_ns + 1_000_000))
    scan, _, report = refresh(engine, [entry(log)])
    assert (scan["rebuilt"], scan["bytes_read"], scan["malformed"]) == (1, size, 0)
    assert report["rows"] == 3

    # Truncated: rebuilt, and the rows went with the old content.
    log.write_bytes(row_line("b1"))
    scan, _, report = refresh(engine, [entry(log)])
    assert scan["rebuilt"] == 1 and report["rows"] == 1

    # Replaced by a new file (new identity) that happens to be longer.
    fresh = tmp_path / "fresh.jsonl"
    fresh.write_bytes(row_line("c1") + row_line("c2"))
    os.replace(fresh, log)
    scan, _, report = refresh(engine, [entry(log)])
    assert scan["rebuilt"] == 1 and report["rows"] == 2

    # Grown, but the bytes before the old offset changed: rebuilt too.
    log.write_bytes(row_line("c1") + row_line("c2", tokens=6) + row_line("c3"))
    scan, _, report = refresh(engine, [entry(log)])
    assert (scan["rebuilt"], scan["appended"]) == (1, 0) and report["rows"] == 3


def test_manifest_size_bounds_the_read(tmp_path):
    log = tmp_path / "session.jsonl"
    log.write_bytes(row_line("a1") + row_line("a2"))
    cut = len(row_line("a1")) + 7
    engine = Engine()
    scan, _, report = refresh(engine, [entry(log, size=cut)])
    assert (scan["bytes_read"], scan["pending_files"], report["rows"]) == (cut, 1, 1)
    scan, _, report = refresh(engine, [entry(log)])
    assert (scan["appended"], scan["bytes_read"]) == (1, len(row_line("a2")))
    assert report["rows"] == 2


def test_removal_duplicates_and_worker_counts(tmp_path):
    paths = []
    for name in "abc":
        paths.append(tmp_path / f"{name}.jsonl")
        paths[-1].write_bytes(row_line(name) + BROKEN)
    engine = Engine()
    for workers in (0, 1, 1000, 2**64 - 1):
        scan, _, _ = refresh(engine, [entry(p) for p in paths], workers=workers)
    assert scan["malformed"] == 3

    # Listed twice: scanned twice, stored (and summed) once.
    scan, _, _ = refresh(engine, [entry(paths[0]), entry(paths[0])])
    assert (scan["scanned"], scan["changed"], scan["removed"], scan["malformed"]) == (2, 0, 2, 1)
    with open(paths[0], "ab") as f:
        f.write(row_line("a2"))
    scan, _, report = refresh(engine, [entry(paths[0]), entry(paths[0])])
    assert (scan["changed"], scan["rebuilt"], scan["appended"]) == (2, 1, 1)
    assert scan["malformed"] == 1 and report["rows"] == 2

    scan, buffer, report = refresh(engine, [])
    assert (scan["removed"], scan["updated"], scan["malformed"]) == (1, True, 0)
    assert report["rows"] == 0 and buffer == b""


def test_io_errors_are_listed_and_retried(tmp_path):
    missing = tmp_path / "gone\tnow.jsonl"
    folder = tmp_path / "folder"
    folder.mkdir()
    nul = str(tmp_path / "a") + "\0b"
    manifest = [
        entry(missing),
        entry(folder, size=100),
        {"path": nul, "size": 1, "identity": "x", "mtime_ns": 1, "source": 0, "project": "proj", "sub": False},
    ]
    engine = Engine()
    for _ in range(2):  # nothing is stored for them, so each refresh tries again
        scan, _, _ = refresh(engine, manifest, workers=1)
        assert scan["changed"] == 3 and scan["updated"] is True
        assert scan["errors"] == [  # one worker: most pending bytes first
            f"{folder}: Is a directory (os error 21)",
            f"{nul}: file name contained an unexpected NUL byte",
            f"{missing}: No such file or directory (os error 2)",
        ]


SPAWN_FAILURE = textwrap.dedent(
    """
    import resource
    import ledgerly
    from ledgerly._native import Engine

    engine = Engine()
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
    # Room for small allocations, none for a thread stack.
    resource.setrlimit(resource.RLIMIT_AS, (vm + (3 << 20), resource.RLIM_INFINITY))
    for _ in range(2):
        try:
            engine.refresh("[]", 32)
            print("returned")
        except ledgerly.PanicException as error:
            print(error.args[0])
    """
)


def test_a_worker_thread_that_cannot_start_is_fatal():
    out = subprocess.run(
        [sys.executable, "-c", SPAWN_FAILURE], capture_output=True, text=True, env=os.environ.copy(), timeout=60
    )
    lines = out.stdout.splitlines()
    assert len(lines) == 2, out.stdout + out.stderr
    # No room for a stack: the thread library reports EAGAIN.
    assert lines[0] == (
        'failed to spawn thread: Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }'
    )
    assert lines[1] == "engine lock poisoned: PoisonError { .. }"
