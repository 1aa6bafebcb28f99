"""Which events a refresh counts across real log files: forked sessions that
repeat their parent's opening events, responses logged more than once, the
output order and string tables, and how later refreshes change the export."""

import json
import os
import random
from datetime import datetime, timedelta, timezone

import pytest

from ledgerly._native import Engine
from ledgerly.layout import RECORD_SIZE, view_rows

EPOCH = datetime(2025, 1, 1, tzinfo=timezone.utc)
T0 = 1735689600000  # EPOCH in Unix milliseconds


def stamp(ms):
    """RFC 3339 text for EPOCH plus `ms` milliseconds."""
    return (EPOCH + timedelta(milliseconds=ms)).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


def line(obj):
    return json.dumps(obj, separators=(",", ":")) + "\n"


# Event dialect ---------------------------------------------------------------


def meta(sid, started=None, forked=None, cwd=None):
    payload = {"id": sid}
    if started is not None:
        payload["timestamp"] = stamp(started)
    if forked:
        payload["forked_from_id"] = forked
    if cwd:
        payload["cwd"] = cwd
    return line({"type": "session_meta", "payload": payload})


def turn(model, cwd):
    return line({"type": "turn_context", "payload": {"model": model, "cwd": cwd}})


def event(t, f, totals=True):
    """A token_count line whose fingerprint is determined by `f`."""
    info = {
        "last_token_usage": {
            "input_tokens": 10 * f,
            "cached_input_tokens": f,
            "output_tokens": f + 1,
            "reasoning_output_tokens": 1,
        }
    }
    if totals:
        info["total_token_usage"] = {"input_tokens": 100 * f, "output_tokens": 10 * f, "total_tokens": 110 * f}
    return line({"type": "event_msg", "timestamp": stamp(t), "payload": {"type": "token_count", "info": info}})


def event_rec(t, f, model, project, kind=1, sub=0):
    return (T0 + t, model, project, kind, sub, 0, 10 * f, f, f + 1, 1, 0, 0, 0)


# Message dialect -------------------------------------------------------------


def msg(key, out, t, model, cwd=None, inp=3, read=0):
    m = {
        "model": model,
        "usage": {
            "input_tokens": inp,
            "output_tokens": out,
            "cache_read_input_tokens": read,
            "cache_creation_input_tokens": 7,
            "cache_creation": {"ephemeral_1h_input_tokens": 2},
        },
    }
    if key is not None:
        m["id"] = key
    obj = {"type": "assistant", "timestamp": stamp(t), "message": m}
    if cwd:
        obj["cwd"] = cwd
    return line(obj)


def msg_rec(t, out, model, project, inp=3, read=0, sub=0):
    return (T0 + t, model, project, 0, sub, 0, inp, 0, out, 0, 5, 2, read)


# Manifest and refresh --------------------------------------------------------


def write(root, name, text):
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def entry(path, source, project="proj", sub=False):
    st = os.stat(path)
    return {
        "path": str(path),
        "size": st.st_size,
        "identity": f"{st.st_dev}:{st.st_ino}",
        "mtime_ns": st.st_mtime_ns,
        "source": source,
        "project": project,
        "sub": sub,
    }


def refresh(engine, entries, workers=2, force=False):
    """Returns (report, records, raw text, raw buffer)."""
    text, buffer = engine.refresh(json.dumps(entries), workers, force)
    report = json.loads(text)
    assert len(buffer) == report["rows"] * RECORD_SIZE
    return report, view_rows(buffer).tolist(), text, buffer


def check(report, records, expected, models, projects, inherited, unresolved):
    assert records == expected
    assert (report["models"], report["projects"]) == (models, projects)
    assert (report["scan"]["inherited_events"], report["scan"]["unresolved_forks"]) == (inherited, unresolved)


# Forks -----------------------------------------------------------------------

PARENT_ROWS = [(10, 1), (20, 2), (30, 3)]
CHILD_ROWS = [(40, 1), (50, 2), (60, 4), (70, 1)]  # c1, c2 repeat p1, p2; c4 repeats p1 late


def parent_text(sid, totals=True):
    return (
        meta(sid, started=0) + turn("Alpha-4-20250101", "/w/p") + "".join(event(t, f, totals) for t, f in PARENT_ROWS)
    )


def child_text(parents, started):
    head = meta("B", started=started, forked=parents[0])
    head += "".join(meta(sid) for sid in parents[1:])  # later headers add parents
    return head + turn("beta-2", "/w/c") + "".join(event(t, f) for t, f in CHILD_ROWS)


@pytest.mark.parametrize(
    "parent_sid, parent_totals, parents, started, child_source, kept, inherited, unresolved",
    [
        ("A", True, ["A"], 25, 1, [2, 3], 2, 0),  # c1, c2 inherited; c3 ends the run
        ("A", True, ["A"], 15, 1, [1, 2, 3], 1, 0),  # p2's time 20 is not below 15
        ("A", True, ["A"], 20, 1, [1, 2, 3], 1, 0),  # nor below 20
        ("A", True, ["A"], None, 1, [2, 3], 2, 0),  # no start time: any match counts
        ("Z", True, ["X", "Y"], 25, 1, [0, 1, 2, 3], 0, 1),  # counted once
        ("A", True, ["X", "A"], 25, 1, [2, 3], 2, 0),  # one of two parents stored
        ("A", False, ["A"], 25, 1, [0, 1, 2, 3], 0, 0),  # parent without totals
        ("A", True, ["A"], 25, 2, [0, 1, 2, 3], 0, 0),  # other event source
    ],
)
def test_fork_inheritance(
    tmp_path, parent_sid, parent_totals, parents, started, child_source, kept, inherited, unresolved
):
    p = write(tmp_path, "a-parent.jsonl", parent_text(parent_sid, parent_totals))
    c = write(tmp_path, "b-child.jsonl", child_text(parents, started))
    report, records, _, _ = refresh(Engine(), [entry(c, child_source), entry(p, 1)])
    expected = [event_rec(t, f, 0, 0) for t, f in PARENT_ROWS]
    expected += [event_rec(*CHILD_ROWS[i], 1, 1, kind=child_source) for i in kept]
    check(report, records, expected, ["alpha-4", "beta-2"], ["/w/p", "/w/c"], inherited, unresolved)


def test_removing_the_parent_releases_the_inherited_rows(tmp_path):
    p = write(tmp_path, "a-parent.jsonl", parent_text("A"))
    c = write(tmp_path, "b-child.jsonl", child_text(["A"], 25))
    engine = Engine()
    report, records, _, _ = refresh(engine, [entry(p, 1), entry(c, 1)])
    assert (len(records), report["scan"]["inherited_events"]) == (5, 2)

    report, records, _, _ = refresh(engine, [entry(c, 1)])
    assert report["scan"]["removed"] == 1
    check(report, records, [event_rec(t, f, 0, 0) for t, f in CHILD_ROWS], ["beta-2"], ["/w/c"], 0, 1)


# Repeated responses ----------------------------------------------------------


def test_key_contests_across_files(tmp_path):
    files = [
        write(
            tmp_path,
            "a.jsonl",
            msg("k", 5, 100, "alpha-4", cwd="/w/a")
            + msg("", 1, 110, "beta-2")  # empty id: never deduplicated
            + msg("e", 3, 120, "gamma-1", inp=4),
        ),
        write(
            tmp_path,
            "b.jsonl",
            msg("k", 9, 200, "beta-2", cwd="/w/b")
            + msg(None, 1, 110, "beta-2")  # no id at all: empty key too
            + msg("e", 3, 120, "zeta-9", inp=8),
        ),  # equal output and time: first stays
        write(tmp_path, "c.jsonl", msg("k", 9, 300, "Delta-3[1m]", cwd="/w/c", read=11)),
    ]
    report, records, _, _ = refresh(Engine(), [entry(f, 0) for f in files])
    expected = [
        msg_rec(300, 9, 0, 0, read=11),  # c's content in a's place
        msg_rec(110, 1, 1, 1),
        msg_rec(120, 3, 2, 1, inp=4),
        msg_rec(110, 1, 1, 2),
    ]
    check(report, records, expected, ["delta-3", "beta-2", "gamma-1"], ["/w/c", "/w/a", "/w/b"], 0, 0)
    assert report["rows"] == 4


def test_path_order_beats_time_order(tmp_path):
    late = write(tmp_path, "a/y.jsonl", msg("k1", 2, 900, "model-x", cwd="/late"))
    early = write(tmp_path, "b/x.jsonl", msg("k2", 3, 100, "model-y", cwd="/early"))
    report, records, _, _ = refresh(Engine(), [entry(early, 0, sub=True), entry(late, 0)])
    check(
        report,
        records,
        [msg_rec(900, 2, 0, 0), msg_rec(100, 3, 1, 1, sub=1)],
        ["model-x", "model-y"],
        ["/late", "/early"],
        0,
        0,
    )


def test_appended_winner_replaces_the_record_in_place(tmp_path):
    a = write(tmp_path, "a.jsonl", msg("k", 5, 100, "alpha-4", cwd="/w/a") + msg("m", 2, 110, "alpha-4"))
    b = write(tmp_path, "b.jsonl", msg("n", 4, 50, "beta-2", cwd="/w/b"))
    engine = Engine()
    report, records, _, _ = refresh(engine, [entry(a, 0), entry(b, 0)])
    check(
        report,
        records,
        [msg_rec(100, 5, 0, 0), msg_rec(110, 2, 0, 0), msg_rec(50, 4, 1, 1)],
        ["alpha-4", "beta-2"],
        ["/w/a", "/w/b"],
        0,
        0,
    )

    with open(b, "a") as f:
        f.write(msg("k", 6, 60, "gamma-1", inp=9))
    report, records, _, _ = refresh(engine, [entry(a, 0), entry(b, 0)])
    assert (report["scan"]["appended"], report["scan"]["rebuilt"]) == (1, 0)
    check(
        report,
        records,
        [msg_rec(60, 6, 0, 0, inp=9), msg_rec(110, 2, 1, 1), msg_rec(50, 4, 2, 0)],
        ["gamma-1", "alpha-4", "beta-2"],
        ["/w/b", "/w/a"],
        0,
        0,
    )


# Determinism -----------------------------------------------------------------


def test_same_files_give_identical_output_whatever_the_order_and_workers(tmp_path):
    entries = [
        entry(write(tmp_path, "fork/a-parent.jsonl", parent_text("A")), 1),
        entry(write(tmp_path, "fork/b-child.jsonl", child_text(["A", "Q"], 25)), 1),
        entry(write(tmp_path, "fork/c-orphan.jsonl", child_text(["Q"], 5)), 2),
    ]
    for i in range(6):
        keys = [f"k{(i * 7 + j) % 5}" if j % 3 else None for j in range(8)]
        body = "".join(msg(key, j % 4, 1000 - 10 * j, f"m-{j % 3}", cwd=f"/p{i % 2}") for j, key in enumerate(keys))
        entries.append(entry(write(tmp_path, f"msg/{5 - i}/s{i}.jsonl", body), 0, sub=i % 2 == 0))

    outputs = []
    for seed, workers in [(None, 1), (1, 2), (2, 7)]:
        order = list(entries)
        if seed is not None:
            random.Random(seed).shuffle(order)
        report, _, text, buffer = refresh(Engine(), order, workers)
        outputs.append((text, buffer))
    assert outputs[0] == outputs[1] == outputs[2]
    # Both mechanisms took part: forks resolved and not, keys repeated.
    assert (report["scan"]["inherited_events"], report["scan"]["unresolved_forks"]) == (2, 1)
    assert report["rows"] < 9 + 48
