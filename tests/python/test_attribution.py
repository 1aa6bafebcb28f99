"""ledgerly._ledger: the same engine as ledgerly._native, whose export also
names the log file of every record. Its records and report are those of
`_native`; the file of a record is the file of the row selected for it."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ledgerly
from ledgerly import _ledger, _native
from ledgerly.layout import RECORD_DTYPE, RECORD_SIZE
from ledgerly.sources import Source
from ledgerly.walk import list_files

from conftest import event_log, message_line, write

EXAMPLES = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "examples"))


def refresh_both(root):
    """The manifest of `root`, refreshed by a fresh engine of each module."""
    manifest = list_files([Source(str(root))]).manifest()
    return _native.Engine().refresh(manifest, 2), _ledger.Engine().refresh(manifest, 2)


def attributed(text, buffer):
    """(report, records, the file path of each record)."""
    report = json.loads(text)
    n = report["rows"]
    rows = np.frombuffer(buffer, dtype=RECORD_DTYPE, count=n)
    index = np.frombuffer(buffer, dtype="<u4", count=n, offset=n * RECORD_SIZE)
    return report, rows, [report["files"][i] for i in index.tolist()]


def test_face():
    Engine = _ledger.Engine
    assert (Engine.__name__, Engine.__module__) == ("Engine", "ledgerly._ledger")
    assert Engine.refresh.__text_signature__ == "($self, manifest, workers, force=False)"
    assert Engine.delta.__text_signature__ == "($self, manifest, workers, since, removed=None)"
    assert sorted(name for name in vars(_ledger) if not name.startswith("__")) == [
        "Engine",
        "LOG_SUFFIX",
        "SUBAGENT_FOLDER",
        "SUBAGENT_PREFIX",
        "list_sources",
        "map_large_blocks",
        "moved_in_place",
        "read_state_head",
        "release_free_heap",
    ]
    assert _ledger.release_free_heap() is None
    with pytest.raises(TypeError):
        type("Sub", (Engine,), {})
    with pytest.raises(TypeError, match="argument 'manifest': 'bytes' object cannot be cast as 'str'"):
        Engine().refresh(b"[]", 1)
    text, buffer = Engine().refresh("[]", 1)
    assert json.loads(text)["files"] == [] and buffer == b""


def test_same_records_and_report_as_native():
    (native_text, native_buffer), (text, buffer) = refresh_both(EXAMPLES)
    report = json.loads(text)
    plain = json.loads(native_text)
    assert {k: v for k, v in report.items() if k != "files"} == plain
    assert buffer[: len(native_buffer)] == native_buffer
    assert len(buffer) == report["rows"] * (RECORD_SIZE + 4)
    # The table names each file that owns a record once, in order of first use.
    index = np.frombuffer(buffer, dtype="<u4", offset=len(native_buffer))
    _, first = np.unique(index, return_index=True)
    assert index[np.sort(first)].tolist() == list(range(len(report["files"])))


def test_each_record_belongs_to_the_file_of_its_selected_row():
    """Worked out from examples/README.md: msg-103 is logged in conv-1 (12
    output tokens) and again in conv-2 (388): the record keeps conv-1's
    place and belongs to conv-2. The fork harbor-2-fork repeats two of
    harbor-1's events (with times before its start): those stay harbor-1's,
    and the fork owns only its own two."""
    _native_result, (text, buffer) = refresh_both(EXAMPLES)
    _report, rows, files = attributed(text, buffer)
    names = [os.path.relpath(f, EXAMPLES) for f in files]
    count = {n: names.count(n) for n in names}
    assert count == {
        "harbor/conv-1.jsonl": 2,
        "harbor/conv-2.jsonl": 2,
        "harbor/harbor-1.jsonl": 3,
        "harbor/harbor-2-fork.jsonl": 2,
        "harbor/harbor-3-review.jsonl": 2,
        "harbor/subagents/agent-7.jsonl": 2,
        "lantern/conv-9.jsonl": 2,
        "lantern/lantern-1.jsonl": 2,
    }
    output = rows["output"].tolist()
    assert names[2] == "harbor/conv-2.jsonl" and output[2] == 388  # conv-1's third place
    # Output tokens per event: the fork also logs the parent's 350 and 260.
    assert [o for n, o in zip(names, output) if n == "harbor/harbor-1.jsonl"] == [350, 260, 400]
    assert [o for n, o in zip(names, output) if n == "harbor/harbor-2-fork.jsonl"] == [290, 150]


def test_a_fork_owns_only_what_it_did_not_inherit(tmp_path):
    """The fork logs its parent's two opening events again after its own
    start (same running totals and usage, so they are the parent's), then
    one of its own."""
    turns = [("2025-03-14T09:10:00Z", 1000, 400, 200, 50), ("2025-03-14T09:20:00Z", 2000, 1000, 300, 100)]
    write(tmp_path, "b-parent.jsonl", event_log("e-1", "/w/p", "model-x", turns))
    again = [("2025-03-14T11:00:0%dZ" % k,) + t[1:] for k, t in enumerate(turns, 1)]
    fork = event_log(
        "e-2", "/w/p", "model-x", again + [("2025-03-14T12:00:00Z", 500, 0, 70, 0)], started="2025-03-14T11:00:00Z"
    )
    write(tmp_path, "a-fork.jsonl", fork.replace('"id":"e-2",', '"id":"e-2","forked_from_id":"e-1",', 1))
    _native_result, (text, buffer) = refresh_both(tmp_path)
    report, rows, files = attributed(text, buffer)
    assert report["scan"]["inherited_events"] == 2
    owners = [os.path.basename(f) for f in files]
    assert list(zip(owners, rows["output"].tolist())) == [
        ("a-fork.jsonl", 70),
        ("b-parent.jsonl", 200),
        ("b-parent.jsonl", 300),
    ]


def test_a_repeated_response_belongs_to_the_winning_file(tmp_path):
    """Key "same" is a full tie (same output, same time): the first
    occurrence stays, with its file. Key "later" ties on output, and the
    later timestamp wins; key "more" is won by more output tokens."""
    write(
        tmp_path,
        "a.jsonl",
        message_line("2025-03-01T10:00:00Z", "same", "beta-3", inp=1, out=9)
        + message_line("2025-03-01T10:00:00Z", "later", "beta-3", inp=2, out=9)
        + message_line("2025-03-01T10:00:00Z", "more", "beta-3", inp=3, out=20),
    )
    write(
        tmp_path,
        "b.jsonl",
        message_line("2025-03-01T10:00:00Z", "same", "beta-3", inp=1, out=9)
        + message_line("2025-03-01T10:00:01Z", "later", "beta-3", inp=2, out=9)
        + message_line("2025-03-01T09:00:00Z", "more", "beta-3", inp=3, out=5)
        + message_line("2025-03-01T11:00:00Z", "own", "beta-3", inp=4, out=1),
    )
    _native_result, (text, buffer) = refresh_both(tmp_path)
    report, rows, files = attributed(text, buffer)
    assert [os.path.basename(f) for f in files] == ["a.jsonl", "b.jsonl", "a.jsonl", "b.jsonl"]
    assert rows["input"].tolist() == [1, 2, 3, 4]
    assert [os.path.basename(f) for f in report["files"]] == ["a.jsonl", "b.jsonl"]


def test_both_modules_raise_the_one_panic_class():
    """A refresh whose worker thread cannot start is fatal; the exception is
    ledgerly.PanicException whichever module's engine raised it."""
    script = textwrap.dedent("""
        import resource
        import ledgerly
        before = ledgerly.PanicException
        from ledgerly._ledger import Engine
        print(ledgerly.PanicException is before)
        engine = Engine()
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (3 << 20), resource.RLIM_INFINITY))
        try:
            engine.refresh("[]", 32)
            print("returned")
        except ledgerly.PanicException as error:
            print(error.args[0].split(":")[0])
    """)
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=os.environ.copy(), timeout=60
    )
    assert out.stdout.splitlines() == ["True", "failed to spawn thread"], out.stdout + out.stderr
    assert ledgerly.PanicException.__bases__ == (BaseException,)
