"""The engine's deltas: after every refresh, the rows held by applying each
delta equal a full export of the same logs, row for row.

Random logs of both dialects are appended to, rewritten, truncated and
removed: message logs that repeat each other's response ids (often with
more output, so that the copy in a later file wins), event logs whose
sessions fork from each other's (so that opening events are inherited, and
stop being when a parent goes). After every step the held rows, ordered by
their place, must be the records and files of a forced export of the same
manifest by another engine, and the fork counts must agree."""

from __future__ import annotations

import dataclasses
import json
import os
import tempfile
import time
from datetime import datetime, timezone
from types import MappingProxyType
from typing import Any, Dict, List, Tuple
from unittest import mock

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ledgerly import _ledger
from ledgerly.layout import RECORD_WORDS, view_attributed, view_delta

PROFILE = settings(max_examples=150, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow])

KEYS = ["", "m1", "m2", "m3"]
SESSIONS = ["s1", "s2", "s3"]
# Minutes from BASE, a day before the current hour: rows of the last hours
# (which a live ledger keeps at hand), of yesterday, and of days before;
# from 600 on, hours close enough that blocks chain up to the last.
MINUTES = [-4000, 0, 45, 90, 600, 840, 1020, 1140, 1320, 1500]
HOUR_MS = 3_600_000
BASE_MS = (int(time.time() * 1000) // HOUR_MS - 26) * HOUR_MS


def dump(obj) -> bytes:
    return json.dumps(obj, separators=(",", ":")).encode() + b"\n"


def stamp(minute: int) -> str:
    return datetime.fromtimestamp(BASE_MS / 1000 + minute * 60, timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


message_line = st.builds(
    lambda key, out, minute, model, cwd, read: dump(
        {
            "type": "assistant",
            "timestamp": stamp(minute),
            **({"cwd": cwd} if cwd else {}),
            "message": {
                **({"id": key} if key else {}),
                "model": model,
                "usage": {"input_tokens": 2, "output_tokens": out, "cache_read_input_tokens": read},
            },
        }
    ),
    st.sampled_from(KEYS),
    st.integers(0, 4),
    st.sampled_from(MINUTES),
    st.sampled_from(["alpha-4", "beta-2"]),
    st.sampled_from(["", "/w/a", "/w/b"]),
    st.sampled_from([5, 2500]),  # a prompt below and above the price table's band
)


def session_line(sid: str, minute: int, parent: str) -> bytes:
    payload = {"id": sid, "timestamp": stamp(minute), "cwd": "/w/e"}
    if parent:
        payload["forked_from_id"] = parent
    return dump({"type": "session_meta", "timestamp": stamp(minute), "payload": payload})


def count_line(f: int, minute: int) -> bytes:
    """A token count whose fingerprint is set by `f` (equal f, equal print)."""
    info = {
        "last_token_usage": {"input_tokens": 10 * f, "cached_input_tokens": f, "output_tokens": f + 1},
        "total_token_usage": {"input_tokens": 100 * f, "output_tokens": 10 * f, "total_tokens": 110 * f},
    }
    return dump({"type": "event_msg", "timestamp": stamp(minute), "payload": {"type": "token_count", "info": info}})


# Few distinct prints and early parents, so that forks often inherit.
event_line = st.one_of(
    st.builds(count_line, st.integers(1, 2), st.sampled_from(MINUTES)),
    st.builds(count_line, st.integers(1, 2), st.sampled_from(MINUTES)),
    st.builds(count_line, st.integers(1, 2), st.sampled_from(MINUTES)),
    st.builds(session_line, st.sampled_from(SESSIONS), st.sampled_from(MINUTES), st.sampled_from(["", *SESSIONS])),
)
# e1 opens session s1 at minute 0, e2 a fork of it later on, e3 anything.
OPENINGS = {
    "e1.jsonl": st.just(session_line("s1", 0, "")),
    "e2.jsonl": st.builds(session_line, st.just("s2"), st.sampled_from(MINUTES[1:]), st.just("s1")),
    "e3.jsonl": st.builds(
        session_line, st.sampled_from(SESSIONS), st.sampled_from(MINUTES), st.sampled_from(["", *SESSIONS])
    ),
}

# Three message logs (one in a subagents folder) and three event logs.
FILES = [("a.jsonl", 0), ("b.jsonl", 0), ("a/subagents/x.jsonl", 0), ("e1.jsonl", 1), ("e2.jsonl", 1), ("e3.jsonl", 1)]


def lines(log: Log, opening: bool):
    if log.dialect == 0:
        return st.lists(message_line, min_size=1, max_size=4).map(b"".join)
    body = st.lists(event_line, min_size=1, max_size=4).map(b"".join)
    return st.tuples(OPENINGS[os.path.basename(log.path)], body).map(b"".join) if opening else body


class Log:
    clock = 0

    def __init__(self, folder: str, index: int) -> None:
        name, self.dialect = FILES[index]
        self.index = index
        self.path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.content = b""
        self.generation = 0
        self.present = False
        self.mtime_ns = 0

    def write(self) -> None:
        Log.clock += 1
        self.mtime_ns = Log.clock
        with open(self.path, "wb") as f:
            f.write(self.content)

    def entry(self) -> list:
        return [
            self.path,
            len(self.content),
            "%d:%d" % (self.index, self.generation),
            self.mtime_ns,
            self.dialect,
            "proj%d" % self.index,
            "subagents" in self.path,
        ]


def apply(log: Log, action: str, data) -> None:
    if action == "append":
        if not log.present:
            log.present, log.generation, log.content = True, log.generation + 1, b""
        log.content += data.draw(lines(log, not log.content))
        log.write()
    elif action == "rewrite":
        log.present, log.generation = True, log.generation + 1
        log.content = data.draw(lines(log, True))
        log.write()
    elif action == "truncate" and log.present:
        kept = log.content.split(b"\n")[:-1]
        log.content = b"".join(line + b"\n" for line in kept[: len(kept) // 2])
        log.write()
    elif action == "remove":
        log.present = False
    elif action == "partial" and log.present:
        log.content += data.draw(lines(log, False))[:17]  # finished by a later append
        log.write()


Row = Tuple[object, ...]


class Holder:
    """What a caller holds: rows by id, and the generation of the last delta."""

    def __init__(self) -> None:
        self.generation = 0
        self.rows: Dict[int, Tuple[Tuple[object, ...], Row]] = {}

    def apply(self, text: str, buffer: bytes) -> dict:
        report = json.loads(text)
        withdrawn, columns = view_delta(buffer, report["added"], report["withdrawn"])
        if report["reset"]:
            self.rows.clear()
        for i in withdrawn.tolist():
            del self.rows[i]  # a KeyError is a withdrawal of a row never held
        files, models, projects = report["files"], report["models"], report["projects"]
        values = {name: columns[name].tolist() for name in columns}
        for k, i in enumerate(values["id"]):
            record = tuple(
                models[values["model"][k]]
                if name == "model"
                else projects[values["project"][k]]
                if name == "project"
                else values[name][k]
                for name in RECORD_WORDS
            )
            place = (files[values["place"][k]], values["seq"][k])
            assert i not in self.rows
            self.rows[i] = (place, record + (files[values["file"][k]],))
        assert len(self.rows) == report["rows"]
        self.generation = report["generation"]
        return report

    def ordered(self) -> List[Row]:
        return [row for _place, row in sorted(self.rows.values())]


def full_export(manifest: str) -> Tuple[List[Row], dict]:
    """The rows of a forced export of `manifest` by a new engine, with their
    files, and its report."""
    text, buffer = _ledger.Engine().refresh(manifest, 1, True)
    report = json.loads(text)
    rows, index = view_attributed(buffer, report["rows"])
    out = []
    for k, record in enumerate(rows.tolist()):
        named = list(record)
        named[1] = report["models"][named[1]]
        named[2] = report["projects"][named[2]]
        out.append(tuple(named) + (report["files"][int(index[k])],))
    return out, report


STATE_SUMS = ("inherited_events", "unresolved_forks", "malformed", "duplicate_snapshots", "pending_files")

step = st.tuples(
    st.sampled_from(["append", "append", "append", "rewrite", "truncate", "remove", "partial"]),
    # The fork family (e1, e2) more often than the rest.
    st.sampled_from([0, 1, 2, 3, 3, 3, 4, 4, 4, 5]),
    st.integers(0, 9),  # 0: the caller lost track of its generation
    st.data(),
)


@pytest.mark.parametrize("workers", [1, 4])
@PROFILE
@given(steps=st.lists(step, min_size=1, max_size=12))
def test_every_delta_brings_the_held_rows_to_the_full_export(workers, steps):
    with tempfile.TemporaryDirectory() as folder:
        logs = [Log(folder, i) for i in range(len(FILES))]
        engine = _ledger.Engine()
        held = Holder()
        for action, index, lost, data in steps:
            apply(logs[index], action, data)
            manifest = json.dumps([log.entry() for log in logs if log.present])
            since = held.generation + 1 if lost == 0 else held.generation
            had_rows = bool(held.rows)
            report = held.apply(*engine.delta(manifest, workers, since))
            # A caller that lost track gets the whole selection; one that did
            # not, only when it held nothing (an engine that had no file).
            assert report["reset"] or lost != 0
            assert not (report["reset"] and lost != 0 and had_rows)
            expected, full = full_export(manifest)
            assert held.ordered() == expected
            assert {k: report["scan"][k] for k in STATE_SUMS} == {k: full["scan"][k] for k in STATE_SUMS}


@PROFILE
@given(steps=st.lists(st.tuples(step, st.booleans()), min_size=1, max_size=8))
def test_a_loaded_state_goes_on_from_the_rows_saved_with_it(steps):
    """A caller that saves the state with its rows (in export order) and
    loads it into a new engine goes on with deltas at the loaded
    generation, as if nothing had happened."""
    with tempfile.TemporaryDirectory() as folder:
        logs = [Log(folder, i) for i in range(len(FILES))]
        engine = _ledger.Engine()
        held = Holder()
        state = os.path.join(folder, "state")
        for (action, index, _lost, data), reload in steps:
            apply(logs[index], action, data)
            if reload:
                engine.save(state)
                engine = _ledger.Engine()
                engine.load(state)
                # The rows as saved: in export order, numbered from 1.
                kept = sorted(held.rows.values())
                held.rows = {i + 1: row for i, row in enumerate(kept)}
                held.generation = 1
            manifest = json.dumps([log.entry() for log in logs if log.present])
            had_rows = bool(held.rows)
            report = held.apply(*engine.delta(manifest, 2, held.generation))
            assert not (report["reset"] and had_rows)
            assert held.ordered() == full_export(manifest)[0]


def test_refresh_between_deltas_gives_the_next_delta_whole(tmp_path):
    """A refresh() that changes the state moves the generation on, so a delta
    caller never misses what it changed; the _native face has no deltas."""
    from ledgerly import _native

    log = tmp_path / "a.jsonl"

    def manifest(mtime_ns: int) -> str:
        size = log.stat().st_size if log.exists() else 0
        return json.dumps([[str(log), size, "1:1", mtime_ns, 0, "p", False]])

    log.write_bytes(b"")
    engine = _ledger.Engine()
    generation = json.loads(engine.delta(manifest(1), 1, 0)[0])["generation"]
    log.write_bytes(
        dump(
            {
                "type": "assistant",
                "timestamp": stamp(0),
                "message": {"id": "k", "model": "m", "usage": {"output_tokens": 2}},
            }
        )
    )
    engine.refresh(manifest(2), 1)
    report = json.loads(engine.delta(manifest(2), 1, generation)[0])
    assert report["reset"] and report["added"] == 1 and report["generation"] > generation
    assert not hasattr(_native.Engine(), "delta")


# The host over deltas ------------------------------------------------------

PRICE_TEXT = """
[prices."alpha-*"]
input = 3.0
output = 15.0
cache_read = 0.3
[prices."alpha-*".above_2k]
cache_read = 0.6
[prices.model-x]
input = 1.25
cached_input = 0.125
output = 10.0
"""


def host_snapshot(rows: Any, models: Any, projects: Any, files: Any, in_order: bool, store: Any = None) -> Any:
    from ledgerly.listing import Listing
    from ledgerly.snapshot import Snapshot

    empty = Listing((), (), (), (), ())
    return Snapshot(rows, models, projects, MappingProxyType({}), (), True, 0.0, empty, files, in_order, store)


def exported_snapshot(manifest: str) -> Any:
    """The snapshot of a full export of `manifest` by a new engine."""
    from ledgerly.columns import Rows
    from ledgerly.sources import project_label

    text, buffer = _ledger.Engine().refresh(manifest, 1, True)
    report = json.loads(text)
    records, index = view_attributed(buffer, report["rows"])
    projects = tuple(project_label(p) for p in report["projects"])
    return host_snapshot(
        Rows.from_records(records, index), tuple(report["models"]), projects, tuple(report["files"]), True
    )


def queries() -> List[Any]:
    from ledgerly.params import BLOCK, make_query, make_session_query

    day = stamp(0)[:10]
    return [
        ("report", make_query(("day",), tz="UTC")),
        ("report", make_query(("model",), tz="UTC", breakdown=True)),
        ("report", make_query(("project", "tier"), tz="Europe/Berlin")),
        ("report", make_query(("week", "dialect", "subagent"), tz="America/Sao_Paulo")),
        ("report", make_query(("day", "model"), since=day, until=day, tz="UTC")),  # whole hours
        ("report", make_query(("model",), since="20h", tz="UTC")),  # inside an hour
        ("report", make_query((), since=stamp(50), until=stamp(700), tz="Asia/Kolkata")),
        ("report", make_query(("model",), model="alpha-*", project="b", tz="UTC")),
        ("blocks", make_query(BLOCK, tz="UTC")),
        ("status", make_query((), tz="UTC")),
        ("status", make_query((), tz="Asia/Kathmandu", model="beta-*")),
        ("sessions", make_session_query(tz="UTC")),
    ]


def answers(snapshot: Any, prices: Any, now: int) -> List[Any]:
    from ledgerly.block_reports import blocks_for
    from ledgerly.live.status import status_for
    from ledgerly.reports import report_for
    from ledgerly.sessions import sessions_for

    out: List[Any] = []
    for kind, query in queries():
        if kind == "report":
            out.append(report_for(snapshot, query, prices).to_dict())
        elif kind == "blocks":
            out.append(blocks_for(snapshot, query, prices, now).to_dict())
        elif kind == "status":
            out.append(status_for(snapshot, query, prices, now))
        else:
            out.append(sessions_for(snapshot, query, prices).to_dict())
    return out


@PROFILE
@given(steps=st.lists(step, min_size=1, max_size=8), priced=st.booleans(), fold=st.booleans())
def test_answers_from_deltas_and_sums_equal_those_of_a_full_export(steps, priced, fold):
    """The rows a store keeps from the engine's deltas, and every answer
    computed from them (from its sums per hour and its recent rows where
    those answer, from the rows otherwise), equal those of a full export
    of the same logs, after every step. With `fold`, the sums of the hours
    behind the clock move to their own part at once, so that changes reach
    both parts."""
    from ledgerly import aggregates
    from ledgerly.prices import load_prices
    from ledgerly.rowstore import RowStore

    from conftest import canonical

    with tempfile.TemporaryDirectory() as folder, mock.patch.object(aggregates, "_FOLD_GROUPS", 1 if fold else 4096):
        prices = None
        if priced:
            path = os.path.join(folder, "prices.toml")
            with open(path, "w") as f:
                f.write(PRICE_TEXT)
            prices = load_prices(path)
        logs = [Log(folder, i) for i in range(len(FILES))]
        engine = _ledger.Engine()
        store = RowStore()
        store.keep(prices, True)
        now = BASE_MS + 1600 * 60_000
        for action, index, lost, data in steps:
            apply(logs[index], action, data)
            manifest = json.dumps([log.entry() for log in logs if log.present])
            since = store.generation + 1 if lost == 0 else store.generation
            text, buffer = engine.delta(manifest, 2, since)
            store.apply(json.loads(text), buffer)
            view = store.view()
            kept = host_snapshot(view.live, view.models, view.projects, view.files, view.in_order, view)
            full = exported_snapshot(manifest)
            assert canonical(kept) == canonical(full)
            expected = answers(full, prices, now)
            assert answers(kept, prices, now) == expected
            assert answers(dataclasses.replace(kept, store=None), prices, now) == expected
