"""The ledger over real files: snapshots, their rows as compact columns
kept from the engine's deltas, and refreshes that change nothing."""

import os

import numpy as np
import pytest

from ledgerly import Ledger, list_sessions, report
from ledgerly.layout import RECORD_DTYPE, RECORD_SIZE, RECORD_WORDS, TOKEN_FIELDS, view_attributed, view_rows, words
from ledgerly.sources import project_label

from conftest import event_log, message_line, ms, write


def test_record_layout():
    assert RECORD_SIZE == RECORD_DTYPE.itemsize == 104
    assert RECORD_DTYPE.names == RECORD_WORDS and RECORD_WORDS[6:] == TOKEN_FIELDS
    assert [RECORD_DTYPE[n].str for n in RECORD_WORDS[:6]] == ["<i8", "<u8", "<u8", "<u8", "<u8", "<u8"]
    buffer = bytearray(3 * RECORD_SIZE)
    rows = view_rows(buffer)
    assert not rows.flags.writeable and np.shares_memory(rows, np.frombuffer(buffer, np.uint8))
    with pytest.raises(ValueError, match="whole number"):
        view_rows(bytes(RECORD_SIZE + 1))
    assert words(rows).shape == (3, 13)
    # 27 attributed records fill 2808 = 27 * 104 bytes: the count decides, never the length alone.
    with pytest.raises(ValueError, match="27 attributed records"):
        view_attributed(bytes(27 * RECORD_SIZE), 27)
    rows, index = view_attributed(bytes(26 * RECORD_SIZE + 26 * 4), 26)
    assert len(rows) == len(index) == 26


def test_snapshots_across_refreshes(tmp_path):
    logs = tmp_path / "logs"
    write(
        logs,
        "a/one.jsonl",
        event_log(
            "s-1", "/w/a", "Model-X", [("2025-03-14T10:00:00Z", 100, 40, 20, 5), ("2025-03-14T11:00:00Z", 50, 0, 10, 0)]
        ),
    )
    conv = write(
        logs,
        "b/two.jsonl",
        message_line(
            "2025-03-14T12:00:00Z", "m1", "alpha-4", inp=3, out=7, read=11, write_5m=2, write_1h=1, cwd="/w/b"
        ),
    )
    ledger = Ledger([str(logs)], workers=2)
    first = ledger.refresh()
    assert first.changed and len(first) == 3 and first.errors == ()
    assert first.models == ("model-x", "alpha-4") and first.projects == ("/w/a", "/w/b")
    assert first.rows.tolist() == [
        (ms("2025-03-14T10:00:00Z"), 0, 0, 1, 0, 0, 100, 40, 20, 5, 0, 0, 0),
        (ms("2025-03-14T11:00:00Z"), 0, 0, 1, 0, 0, 50, 0, 10, 0, 0, 0, 0),
        (ms("2025-03-14T12:00:00Z"), 1, 1, 0, 0, 0, 3, 0, 7, 0, 2, 1, 11),
    ]
    for name in ("input", "model", "timestamp"):
        with pytest.raises(ValueError):
            first.rows.column(name)[0] = 1  # snapshots are read-only
    # Each row's log file.
    one, two = str(logs / "a" / "one.jsonl"), str(logs / "b" / "two.jsonl")
    assert first.files == (one, two) and first.file_index.dtype == np.dtype("<u4")
    assert [first.files[i] for i in first.file_index] == [one, one, two]
    assert not first.file_index.flags.writeable

    again = ledger.refresh()
    assert not again.changed and again.rows is first.rows and again.scan["bytes_read"] == 0
    assert again.files == first.files

    # A response logged again with more output replaces its row in place
    # (withdrawn and added anew); a new one is added.
    with open(conv, "a") as f:
        f.write(message_line("2025-03-14T12:00:01Z", "m1", "alpha-4", inp=3, out=9, read=11, write_5m=2, write_1h=1))
        f.write(message_line("2025-03-14T12:05:00Z", "m2", "alpha-4", inp=1, out=1))
    grown = ledger.refresh()
    assert grown.changed and len(grown) == 4 and len(first) == 3  # the old snapshot is untouched
    assert first.rows.tolist()[2][8] == 7
    assert report(grown, by=("model",), tz="UTC").totals.tokens == (154, 40, 40, 5, 2, 1, 11)
    assert [grown.files[i] for i in grown.file_index] == [one, one, two, two]

    os.remove(conv)
    assert len(ledger.refresh()) == 2
    assert ledger.last is not None and len(ledger.last) == 2


def test_an_empty_ledger_still_reports(tmp_path):
    snap = Ledger([str(tmp_path)]).refresh()
    assert len(snap) == 0 and snap.models == ()
    result = report(snap, by=("day", "model"), tz="UTC")
    assert result.rows == () and result.totals.tokens == (0,) * 7


@pytest.mark.parametrize(
    "label, expected",
    [
        ("C:/Users/x/p", "C:\\Users\\x\\p"),
        ("c:\\Users\\x\\p", "C:\\Users\\x\\p"),
        ("c:/Users\\x/p", "C:\\Users\\x\\p"),
        ("d:/", "D:\\"),
        # Only the drive letter's case and the slashes: the rest is left as written.
        ("c:/users/X/p", "C:\\users\\X\\p"),
        # Anything else is not a drive path, and stays as it is.
        ("/home/x/p", "/home/x/p"),
        ("/home/X/p", "/home/X/p"),
        ("/c:/x", "/c:/x"),
        ("c:relative", "c:relative"),
        ("\\\\server\\share\\p", "\\\\server\\share\\p"),
        ("proj-a", "proj-a"),
        ("", ""),
    ],
)
def test_project_labels_of_a_windows_folder_are_written_one_way(label, expected):
    assert project_label(label) == expected


def test_a_windows_project_written_two_ways_is_one_project(tmp_path):
    cwds = ["C:/Users/x/p", "c:\\Users\\x\\p", "/home/x/p", "/home/X/p"]
    for i, cwd in enumerate(cwds):
        write(
            tmp_path,
            "logs/s%d.jsonl" % i,
            message_line("2025-03-01T10:00:00Z", "m%d" % i, "alpha-4", inp=2**i, cwd=cwd),
        )
    snap = Ledger([str(tmp_path / "logs")]).refresh()
    rows = report(snap, by=("project",), tz="UTC").to_dict()["rows"]
    assert [(r["project"], r["input"]) for r in rows] == [("/home/X/p", 8), ("/home/x/p", 4), ("C:\\Users\\x\\p", 3)]
    sessions = list_sessions(snap, tz="UTC").to_dict()["rows"]
    assert sorted(s["project"] for s in sessions) == ["/home/X/p", "/home/x/p", "C:\\Users\\x\\p", "C:\\Users\\x\\p"]
    # A glob for the project, written either way, selects it.
    for glob in ("c:/Users/*", "C:\\Users\\*"):
        assert report(snap, by=(), tz="UTC", project=glob).to_dict()["totals"]["input"] == 3
