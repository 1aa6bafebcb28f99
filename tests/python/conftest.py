"""Helpers shared by the test files: writing log lines of both dialects,
building snapshots from plain records, and running the command line in a
clean environment."""

import contextlib
import json
import os
import signal
import subprocess
import sys
from datetime import datetime, timezone
from types import MappingProxyType

import numpy as np
import pytest
from hypothesis import settings

from ledgerly.columns import Rows
from ledgerly.layout import RECORD_DTYPE
from ledgerly.listing import Listing
from ledgerly.snapshot import Snapshot

# A runner started in the background by a shell without job control ignores
# Ctrl-C, and its children inherit that: interpreters started by the tests
# would then never raise KeyboardInterrupt, and the tests of Ctrl-C would
# hang. Catching the signal here (an exec resets a caught signal to its
# default) gives every child the disposition a terminal would.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# The repository's root, its sample logs, and the files the tests read.
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLES = os.path.join(ROOT, "examples")
FIXTURES = os.path.join(ROOT, "tests", "python", "fixtures")

# A price table for two of the sample models (the others stay unpriced).
PRICES = """\
[prices."alpha-4*"]
input = 3.0
output = 15.0
cache_write_5m = 3.75
cache_write_1h = 6.0
cache_read = 0.3

[prices.model-x]
input = 1.25
cached_input = 0.125
output = 10.0
"""
# The token fields of a JSON report's totals, in their order.
TOKENS = (
    "input",
    "cached_input",
    "output",
    "reasoning_output",
    "cache_write_5m",
    "cache_write_1h",
    "cache_read",
    "total_tokens",
)

# Property tests draw the same examples on every run, so a red build always
# means a change broke something; LEDGERLY_HYPOTHESIS=explore draws new ones.
settings.register_profile("repeatable", derandomize=True, database=None)
settings.register_profile("explore")
settings.load_profile("explore" if os.environ.get("LEDGERLY_HYPOTHESIS") == "explore" else "repeatable")


def line(obj):
    """One compact JSON line."""
    return json.dumps(obj, separators=(",", ":")) + "\n"


def ms(text):
    """Unix milliseconds of an RFC 3339 UTC time such as 2025-03-14T09:00:00Z."""
    return int(datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc).timestamp() * 1000)


def event_log(session, cwd, model, turns, started=None, subagent=False):
    """An event-dialect log: a session header, a turn context, then one
    running-total token event per turn. `turns` holds (time, input, cached,
    output, reasoning) with the time as RFC 3339 text."""
    first = turns[0][0] if turns else "2025-01-01T00:00:00Z"
    meta = {
        "id": session,
        "timestamp": started or first,
        "cwd": cwd,
        "thread_source": "subagent" if subagent else "user",
    }
    text = line({"timestamp": started or first, "type": "session_meta", "payload": meta})
    text += line({"timestamp": started or first, "type": "turn_context", "payload": {"cwd": cwd, "model": model}})
    total = [0, 0, 0, 0]
    for when, inp, cached, out, reasoning in turns:
        last = [inp, cached, out, reasoning]
        total = [a + b for a, b in zip(total, last)]
        names = ("input_tokens", "cached_input_tokens", "output_tokens", "reasoning_output_tokens")
        info = {
            "total_token_usage": dict(zip(names, total), total_tokens=total[0] + total[2]),
            "last_token_usage": dict(zip(names, last), total_tokens=inp + out),
        }
        text += line({"timestamp": when, "type": "event_msg", "payload": {"type": "token_count", "info": info}})
    return text


def message_line(when, key, model, inp=0, out=0, read=0, write_5m=0, write_1h=0, cwd=None, tier=None):
    """One message-dialect response line."""
    usage = {
        "input_tokens": inp,
        "output_tokens": out,
        "cache_read_input_tokens": read,
        "cache_creation_input_tokens": write_5m + write_1h,
        "cache_creation": {"ephemeral_5m_input_tokens": write_5m, "ephemeral_1h_input_tokens": write_1h},
    }
    if tier:
        usage["service_tier"] = tier
    obj = {
        "type": "assistant",
        "timestamp": when,
        "requestId": "r-" + key,
        "message": {"id": key, "role": "assistant", "model": model, "usage": usage},
    }
    if cwd is not None:
        obj["cwd"] = cwd
    return line(obj)


def user_line(when, text="hello", cwd=None):
    obj = {"type": "user", "timestamp": when, "message": {"role": "user", "content": text}}
    if cwd is not None:
        obj["cwd"] = cwd
    return line(obj)


def write(root, relative, text):
    path = os.path.join(str(root), relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


@contextlib.contextmanager
def deep_folder(root, depth):
    """A chain of `depth` nested folders named ``d`` under `root`; yields
    the innermost. Made and removed one folder at a time (a recursive
    make or removal would exhaust the interpreter's stack)."""
    os.makedirs(str(root), exist_ok=True)
    folders = [os.path.join(str(root), *["d"] * (i + 1)) for i in range(depth)]
    for folder in folders:  # one by one: os.makedirs recurses
        os.mkdir(folder)
    try:
        yield folders[-1]
    finally:
        for folder in reversed(folders):
            for name in os.listdir(folder):
                path = os.path.join(folder, name)
                if not os.path.isdir(path) or os.path.islink(path):
                    os.unlink(path)
            os.rmdir(folder)


def shared_folder(path, mode, owner=None):
    """A folder at `path` with `mode`, given to the user `owner` when one
    is named (the test is skipped where that needs root)."""
    path.mkdir()
    os.chmod(path, mode)
    if owner is not None:
        if os.getuid() != 0:
            pytest.skip("giving a folder to another user needs root")
        os.chown(path, owner, -1)
    return path


def record(when, model=0, project=0, tokens=(0,) * 7, kind=1, sub=0, tier=0):
    """One record as a tuple in RECORD_DTYPE order; `when` is text or ms."""
    ts = ms(when) if isinstance(when, str) else when
    return (ts, model, project, kind, sub, tier, *tokens)


def snapshot_of(records, models=("m",), projects=("p",)):
    """A Snapshot over hand-made records, without the engine."""
    rows = Rows.from_records(np.array([tuple(r) for r in records], dtype=RECORD_DTYPE))
    return Snapshot(
        rows, tuple(models), tuple(projects), MappingProxyType({}), (), True, 0.0, Listing((), (), (), (), ())
    )


def kept(snapshot, prices=None):
    """`snapshot` with what a live ledger keeps beside its rows: the sums
    per hour (for reports priced by `prices`) and the recent rows."""
    import dataclasses

    from ledgerly.rowstore import RowStore
    from ledgerly.saved.rows_file import SavedRows

    store = RowStore()
    store.keep(prices, True)
    files = snapshot.file_names if snapshot.file_names is not None else ("log",)
    store.load(SavedRows("", snapshot.models, snapshot.projects, files, {}, snapshot.rows))
    return dataclasses.replace(snapshot, store=store.view())


def canonical(snapshot):
    """A snapshot's rows as tuples of their record (names for indexes) and
    their log file, in export order: what any path to the same state must
    give, whatever order its tables and columns are kept in."""
    rows = snapshot.rows[snapshot.export_order()]
    files = [snapshot.files[i] for i in snapshot.file_rank[rows.column("file")]] if snapshot.file_names else []
    assert (snapshot.file_names is None) == (snapshot.file_index is None)
    out = []
    for k, record in enumerate(rows.tolist()):
        named = list(record)
        named[1], named[2] = snapshot.models[named[1]], snapshot.projects[named[2]]
        out.append(tuple(named) + ((files[k],) if files else ()))
    return out


@pytest.fixture(autouse=True, scope="session")
def _private_cache(tmp_path_factory):
    """Commands run by the tests (and ledgers they open) keep their saved
    states in a folder of the test session, never in the user's cache."""
    os.environ["LEDGERLY_CACHE_DIR"] = str(tmp_path_factory.mktemp("cache"))
    # Nor do they read or write the prices imported into the user's data folder.
    os.environ["LEDGERLY_DATA_DIR"] = str(tmp_path_factory.mktemp("data"))
    yield
    del os.environ["LEDGERLY_CACHE_DIR"]
    del os.environ["LEDGERLY_DATA_DIR"]


@pytest.fixture
def home(tmp_path):
    """An empty home and config folder for a command run."""
    path = tmp_path / "home"
    (path / ".config").mkdir(parents=True, exist_ok=True)
    return path


@pytest.fixture
def cli(home):
    """Runs `python -m ledgerly ARGS` with `home` as HOME and no config, no
    colour and a wide terminal; returns the completed process."""

    def run(*args, env=None, cwd=None, timeout=120):
        environ = {k: v for k, v in os.environ.items() if not k.startswith("LEDGERLY_")}
        environ.update(
            HOME=str(home),
            XDG_CONFIG_HOME=str(home / ".config"),
            XDG_CACHE_HOME=str(home / ".cache"),
            XDG_DATA_HOME=str(home / ".local" / "share"),
            NO_COLOR="1",
            COLUMNS="150",
            TZ="UTC",
        )
        environ.update(env or {})
        return subprocess.run(
            [sys.executable, "-m", "ledgerly", *map(str, args)],
            capture_output=True,
            text=True,
            env=environ,
            cwd=cwd,
            timeout=timeout,
        )

    return run
