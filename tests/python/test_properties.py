"""Incremental refreshes agree with reading everything afresh.

Random logs of both dialects are revealed to one engine over several
refreshes, at random cut points (often in the middle of a line), while files
grow, are truncated, replaced by new files, and leave the manifest.  After
the last step, that engine's export (string tables, rows, row buffer and the
whole-state statistics) must equal a new engine's over the final files; the
rows held from the deltas of the same steps equal a new engine's export
after every step; and an engine saved and loaded at any step answers as
one never saved."""

from __future__ import annotations

import json
import os
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ledgerly import _ledger as ledger
from ledgerly._native import Engine
from test_delta import Holder, full_export

# Deterministic and bounded, so that the suite takes seconds.
PROFILE = settings(max_examples=60, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow])

SESSIONS = ["s1", "s2", "s3"]
TIMES = [
    "2025-03-01T09:00:00Z",
    "2025-03-01T10:00:00Z",
    "2025-03-01T10:00:00.5Z",
    "2025-03-02T08:30:00+02:00",
    "not a time",
]
MODELS = ["alpha-4", "Alpha-4", "beta-3-20250101", "<synthetic>", "mini-5-pro"]


def dump(obj) -> bytes:
    return json.dumps(obj, separators=(",", ":")).encode() + b"\n"


counts = st.integers(min_value=-1, max_value=40)

message_line = st.one_of(
    st.builds(
        lambda t, key, model, i, o, read, five, hour, cwd: dump(
            {
                "type": "assistant",
                "timestamp": t,
                **({"cwd": cwd} if cwd else {}),
                "message": {
                    **({"id": key} if key else {}),
                    "model": model,
                    "usage": {
                        "input_tokens": i,
                        "output_tokens": o,
                        "cache_read_input_tokens": read,
                        "cache_creation": {"ephemeral_5m_input_tokens": five, "ephemeral_1h_input_tokens": hour},
                    },
                },
            }
        ),
        st.sampled_from(TIMES),
        st.sampled_from(["", "m1", "m2", "m3"]),
        st.sampled_from(MODELS),
        counts,
        counts,
        counts,
        counts,
        counts,
        st.sampled_from(["", "/w/a", "/w/b"]),
    ),
    st.just(b'{"type":"user","message":{"content":"hello"}}\n'),
    st.just(b'{"usage":\n'),
)

event_line = st.one_of(
    st.builds(
        lambda sid, parent, t: dump(
            {
                "type": "session_meta",
                "timestamp": t,
                "payload": {"id": sid, "timestamp": t, "cwd": "/w/e", **({"forked_from_id": parent} if parent else {})},
            }
        ),
        st.sampled_from(SESSIONS),
        st.sampled_from(["", *SESSIONS]),
        st.sampled_from(TIMES),
    ),
    st.builds(lambda model: dump({"type": "turn_context", "payload": {"model": model}}), st.sampled_from(MODELS)),
    st.builds(
        lambda t, i, c, o, r, total: dump(
            {
                "type": "event_msg",
                "timestamp": t,
                "payload": {
                    "type": "token_count",
                    "info": {
                        "last_token_usage": {
                            "input_tokens": i,
                            "cached_input_tokens": c,
                            "output_tokens": o,
                            "reasoning_output_tokens": r,
                        },
                        **(
                            {
                                "total_token_usage": {
                                    "input_tokens": total,
                                    "output_tokens": total,
                                    "total_tokens": 2 * total,
                                }
                            }
                            if total >= 0
                            else {}
                        ),
                    },
                },
            }
        ),
        st.sampled_from(TIMES),
        counts,
        counts,
        counts,
        counts,
        st.integers(-1, 6),
    ),
    st.just(b'{"type":"event_msg","payload":{"type":"token_count"\n'),
)


def content(dialect):
    line = message_line if dialect == 0 else event_line
    return st.lists(line, max_size=8).map(b"".join)


FILES = [("a.jsonl", 0), ("b.jsonl", 1), ("c.jsonl", 1)]

step = st.tuples(
    st.sampled_from(["grow", "grow", "truncate", "replace", "remove"]),
    st.integers(0, len(FILES) - 1),
    st.floats(0, 1),
    st.data(),
)


class LogFile:
    """One log as the test writes it: `content` is revealed up to `cut`.
    Each write gives it a new modification time, unique across files."""

    clock = 0

    def __init__(self, folder, index):
        name, self.dialect = FILES[index]
        self.index = index
        self.path = os.path.join(folder, name)
        self.content = b""
        self.cut = 0
        self.generation = 0
        self.present = False
        self.mtime_ns = 0

    def write(self, replace=False):
        LogFile.clock += 1
        self.mtime_ns = LogFile.clock
        if replace:
            fresh = self.path + ".new"
            with open(fresh, "wb") as f:
                f.write(self.content[: self.cut])
            os.replace(fresh, self.path)
        else:
            with open(self.path, "wb") as f:
                f.write(self.content[: self.cut])

    def entry(self):
        return {
            "path": self.path,
            "size": self.cut,
            "identity": f"{self.index}:{self.generation}",
            "mtime_ns": self.mtime_ns,
            "source": self.dialect,
            "project": f"proj{self.index}",
            "sub": self.index == 2,
        }


def apply(log, action, fraction, data):
    if action == "grow":
        more = data.draw(content(log.dialect))
        if not log.present:
            log.present, log.generation, log.content, log.cut = True, log.generation + 1, b"", 0
        log.content += more
        log.cut += round(fraction * (len(log.content) - log.cut))
        log.write()
    elif action == "truncate" and log.present:
        log.cut = int(fraction * log.cut)
        log.write()
    elif action == "replace":
        log.present, log.generation = True, log.generation + 1
        log.content = data.draw(content(log.dialect))
        log.cut = round(fraction * len(log.content))
        log.write(replace=True)
    elif action == "remove" and log.present:
        log.present = False
        os.remove(log.path)


STATE_SUMS = (
    "malformed",
    "invalid_usage",
    "duplicate_snapshots",
    "inherited_events",
    "cumulative_resets",
    "pending_files",
    "unresolved_forks",
)


def exported(engine, manifest, workers):
    text, rows = engine.refresh(json.dumps(manifest), workers, True)
    report = json.loads(text)
    assert report["scan"]["errors"] == []
    return (
        {key: report[key] for key in ("models", "projects", "rows")},
        {key: report["scan"][key] for key in STATE_SUMS},
        rows,
    )


@pytest.mark.parametrize("workers", [1, 8])
@PROFILE
@given(steps=st.lists(step, min_size=1, max_size=7))
def test_incremental_refreshes_equal_a_fresh_read(workers, steps):
    with tempfile.TemporaryDirectory() as folder:
        logs = [LogFile(folder, i) for i in range(len(FILES))]
        engine = Engine()
        manifest = []
        for action, index, fraction, data in steps:
            apply(logs[index], action, fraction, data)
            manifest = [log.entry() for log in logs if log.present]
            text, _rows = engine.refresh(json.dumps(manifest), workers)
            assert json.loads(text)["scan"]["errors"] == []
        assert exported(engine, manifest, workers) == exported(Engine(), manifest, 1)


@pytest.mark.parametrize("workers", [1, 8])
@PROFILE
@given(steps=st.lists(step, min_size=1, max_size=7))
def test_deltas_over_the_same_steps_hold_a_fresh_read(workers, steps):
    """The same steps (lines cut anywhere, files truncated, replaced and
    removed) told to the delta face: after every step, the rows held by
    applying each delta are a fresh engine's forced export, row for row."""
    with tempfile.TemporaryDirectory() as folder:
        logs = [LogFile(folder, i) for i in range(len(FILES))]
        engine, held = ledger.Engine(), Holder()
        for action, index, fraction, data in steps:
            apply(logs[index], action, fraction, data)
            manifest = json.dumps([log.entry() for log in logs if log.present])
            held.apply(*engine.delta(manifest, workers, held.generation))
            assert held.ordered() == full_export(manifest)[0]


@PROFILE
@given(steps=st.lists(st.tuples(step, st.booleans(), st.booleans()), min_size=1, max_size=7))
def test_a_saved_and_loaded_state_answers_as_the_engine_never_saved(steps):
    """Two engines see the same refreshes; one of them is saved and loaded
    into a new engine at random points. Every refresh after that, forced or
    not, gives both the same report text and row buffer, and a loaded state
    saves to the very bytes it was loaded from."""
    with tempfile.TemporaryDirectory() as folder:
        logs = [LogFile(folder, i) for i in range(len(FILES))]
        kept, moved = ledger.Engine(), ledger.Engine()
        state = os.path.join(folder, "state")
        for (action, index, fraction, data), save_here, force in steps:
            apply(logs[index], action, fraction, data)
            if save_here:
                moved.save(state, b"x")
                moved = ledger.Engine()
                assert moved.load(state)["extra"] == b"x"
                saved = Path(state).read_bytes()
                moved.save(state, b"x")
                assert Path(state).read_bytes() == saved
            manifest = json.dumps([log.entry() for log in logs if log.present])
            assert kept.refresh(manifest, 2, force) == moved.refresh(manifest, 2, force)
        assert kept.refresh(manifest, 1, True) == moved.refresh(manifest, 1, True)
