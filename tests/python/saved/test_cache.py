"""The saved state between commands: what a ledger loads and saves, what
every command does with it, and that no damage to it changes an answer."""

import json
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ledgerly.saved.state as policy
import ledgerly.saved.state_file as state_file
from ledgerly.ledger import Ledger
from ledgerly.live.ticks import LiveLedger
from ledgerly.saved import clear_states, list_states, state_path
from ledgerly.saved.rows_file import RowsRefused, read_rows, rows_path, write_rows
from ledgerly.saved.state import REDO_PER_FILE
from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source
from ledgerly.walk import list_files

from conftest import PRICES, canonical, event_log, line, message_line, user_line, write
from faults import injector, preloading

EVENTS = event_log(
    "e-1",
    "/w/alpha",
    "model-x",
    [("2025-03-14T09:10:00Z", 1000, 400, 200, 50), ("2025-03-14T23:30:00Z", 2000, 1000, 300, 100)],
)
CONVERSATION = user_line("2025-03-15T09:59:00Z", cwd="/w/alpha") + message_line(
    "2025-03-15T10:00:00Z", "m1", "alpha-4-5", inp=10, out=100, read=500, write_5m=300, cwd="/w/alpha"
)


def more(key, when="2025-03-16T12:00:00Z"):
    return message_line(when, key, "alpha-4-5", inp=7, out=11, cwd="/w/alpha")


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "logs"
    write(root, "alpha/e-1.jsonl", EVENTS)
    write(root, "alpha/s-1.jsonl", CONVERSATION)
    write(root, "alpha/s-1/subagents/agent-a.jsonl", more("sub-1", "2025-03-15T11:00:00Z"))
    write(root, "beta/s-2.jsonl", user_line("2025-03-17T08:00:00Z") + more("m2", "2025-03-17T08:00:05Z"))
    write(root, "beta/notes.jsonl", line({"hello": "not a log"}))
    return root


@pytest.fixture
def cached(cli, tmp_path):
    """Runs the command line with a cache folder of its own; returns
    (run, folder)."""
    folder = tmp_path / "cache"

    def run(*args, env=None, **kwargs):
        return cli(*args, env={"LEDGERLY_CACHE_DIR": str(folder), **(env or {})}, **kwargs)

    return run, folder


def the_state(folder):
    states = the_states(folder)
    assert len(states) == 1, states
    return states[0]


def refusing_opens(tmp_path_factory, tree):
    """The environment under which every open of a file in `tree` fails:
    a command that opens no log answers as before."""
    switch = tree.parent / "no-opens"
    switch.write_text("")
    return {
        "LD_PRELOAD": preloading(injector(tmp_path_factory)),
        "LEDGERLY_FAULT_MATCH": str(tree),
        "LEDGERLY_FAULT_EMFILE": str(switch),
    }


# ---------------------------------------------------------------------------
# The library


def test_kept_dialects_travel_as_bytes(tree):
    sources = [Source(str(tree))]
    first = SniffCache()
    listing = list_files(sources, first)
    again = SniffCache()
    again.restore(first.dump())
    assert list_files(sources, again) == listing and again.reads == 0

    data = first.dump()
    count, length = struct.unpack_from("<QQ", data)
    damaged = {
        "truncated": data[:-1],
        "too short": data[:10],
        "count": struct.pack("<QQ", count + 1, length) + data[16:],
        "dialect": data[:-1] + b"\x07",
    }
    for name, bad in damaged.items():
        kept = SniffCache()
        kept.restore(data)
        with pytest.raises(ValueError):
            kept.restore(bad)
        assert list_files(sources, kept) == listing and kept.reads == 0, name


def test_a_ledger_starts_where_the_saved_one_stopped(tree, tmp_path):
    """After every kind of change, a ledger that loaded the previous one's
    state holds the same rows, row for row, as a cold one."""
    sources = [Source(str(tree))]
    folder = tmp_path / "cache"
    path = state_path(sources, str(folder))

    def changes():
        yield "first"
        with open(tree / "alpha/s-1.jsonl", "a") as f:
            f.write(more("m3"))
        yield "appended"
        write(tree, "alpha/e-1.jsonl", event_log("e-1", "/w/gamma", "model-x", [("2025-03-18T10:00:00Z", 5, 0, 5, 0)]))
        yield "rewritten shorter"
        with open(tree / "beta/s-2.jsonl", "r+") as f:
            f.truncate(len(user_line("2025-03-17T08:00:00Z")))
        yield "truncated"
        os.remove(tree / "alpha/s-1/subagents/agent-a.jsonl")
        write(tree, "gamma/s-3.jsonl", more("m4", "2025-03-19T10:00:00Z"))
        yield "removed and added"
        write(tree, "alpha/e-1.jsonl.new", EVENTS)
        os.replace(tree / "alpha/e-1.jsonl.new", tree / "alpha/e-1.jsonl")
        yield "replaced"
        yield "unchanged"

    for step in changes():
        ledger = Ledger(sources, 2, state=path)
        warm = ledger.refresh()
        cold = Ledger(sources, 2).refresh()
        assert canonical(warm) == canonical(cold) and warm.files == cold.files, step
        assert warm.listing == cold.listing and warm.changed, step
        assert ledger.refused is None, step
        saved = ledger.save()
        assert saved == (step != "unchanged"), step
        if step == "first":
            assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
            assert stat.S_IMODE(os.stat(folder).st_mode) == 0o700
        if step == "unchanged":
            assert ledger.sniffs.reads == 0  # no file was opened to recognise it
            # The rows came from the rows file, without loading the engine;
            # the next refresh loads it.
            assert ledger.from_saved_rows and not ledger.loaded
            assert canonical(ledger.refresh()) == canonical(cold) and ledger.loaded and not ledger.save()
    assert sorted(os.listdir(folder)) == sorted([os.path.basename(path), os.path.basename(rows_path(path))])


def test_a_one_shot_save_waits_until_reading_again_would_cost_enough(tmp_path):
    root = tmp_path / "logs"
    big = write(root, "p/big.jsonl", "".join(more("b%d" % i) for i in range(12_000)))
    sources = [Source(str(root))]
    path = state_path(sources, str(tmp_path / "cache"))
    first = Ledger(sources, 2, state=path)
    first.refresh()
    assert first.save(economical=True)  # a cold read is always kept
    size = os.path.getsize(path)

    appended = 0
    while True:
        with open(big, "a") as f:
            f.write("".join(more("n%d-%d" % (appended, i)) for i in range(20)))
        appended += 1
        ledger = Ledger(sources, 2, state=path)
        assert canonical(ledger.refresh()) == canonical(Ledger(sources, 2).refresh())
        redo = ledger.last.scan["bytes_read"] + REDO_PER_FILE  # the grown file is judged again
        if ledger.save(economical=True):
            break
        assert redo * policy.SAVE_FRACTION < size and os.path.getsize(path) == size
    assert redo * policy.SAVE_FRACTION >= size and appended > 1
    assert Ledger(sources, 2, state=path).refresh().scan["bytes_read"] == 0

    # A state saved a while ago is saved again after any change.
    with open(big, "a") as f:
        f.write(more("late"))
    young = Ledger(sources, 2, state=path)
    young.refresh()
    assert not young.save(economical=True)
    saved = os.stat(path)
    os.utime(path, (saved.st_atime, saved.st_mtime - policy.RESAVE_AFTER))
    late = Ledger(sources, 2, state=path)
    late.refresh()
    assert late.save(economical=True)


def test_the_key_is_the_sources_with_their_dialects(tree):
    a, b = str(tree / "alpha"), str(tree / "beta")
    paths = {
        state_path([Source(a), Source(b)]),
        state_path([Source(b), Source(a)]),
        state_path([Source(a, "message"), Source(b)]),
        state_path([Source(a)]),
    }
    assert len(paths) == 4
    assert state_path([Source(a, None, "config")]) == state_path([Source(a, None, "option")])


def test_a_live_ledger_saves_now_and_then_and_starts_from_it(tree, tmp_path):
    sources = [Source(str(tree))]
    path = state_path(sources, str(tmp_path / "cache"))
    live = LiveLedger(sources, 2, path, save_every=3600)
    live.tick()
    assert os.path.exists(path)  # the first tick that read something saves at once
    saved = os.stat(path).st_mtime_ns
    with open(tree / "alpha/s-1.jsonl", "a") as f:
        f.write(more("m5"))
    live.tick([str(tree / "alpha/s-1.jsonl")])
    assert os.stat(path).st_mtime_ns == saved  # not yet
    assert live.save() and not live.save()

    again = LiveLedger(sources, 2, path)
    again.tick()
    assert again.ledger.refused is None and again.ledger.sniffs.reads == 0
    assert canonical(again.snapshot) == canonical(Ledger(sources, 2).refresh())


# ---------------------------------------------------------------------------
# The command line

COMMANDS = {
    "daily": ["daily", "--json"],
    "weekly": ["weekly", "--json", "--breakdown"],
    "monthly": ["monthly", "--csv"],
    "models": ["models", "--json"],
    "projects": ["projects", "--json"],
    "blocks": ["blocks", "--json"],
    "sessions": ["sessions", "--json"],
    "session": ["sessions", "--json", "--id", "s-1"],
    "status": ["status", "--json", "--no-server"],
    "export": ["export", "--json", "--parquet", "{tmp}/tree", "--machine", "m1"],
    "sources": ["sources", "--json"],
    "prices": ["prices", "init", "--json"],
    "check": ["check", "--json", "--no-server", "--limit", "max"],
}
# The commands that take no --prices.
UNPRICED = ("sources", "prices")


def answer(name, done):
    """What a command's answer must not differ in."""
    assert done.returncode == 0, done.stderr
    if name in ("status", "check"):
        data = json.loads(done.stdout)
        data.pop("now")
        data.pop("refreshed_at", None)
        return data
    if name == "export":
        data = json.loads(done.stdout)
        return data["events"], data["days"]
    return done.stdout


@pytest.mark.parametrize("name", sorted(COMMANDS))
def test_every_command_starts_from_the_saved_state_and_saves_it(name, cached, tree, tmp_path, tmp_path_factory):
    if name == "export":
        pytest.importorskip("pyarrow")
    run, folder = cached
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES)
    args = [a.replace("{tmp}", str(tmp_path)) for a in COMMANDS[name]]
    args += ["--source", str(tree)] + ([] if name in UNPRICED else ["--prices", str(prices)])
    first = run(*args)
    expected = answer(name, first)
    state = the_state(folder)
    saved = os.stat(state)

    # Nothing changed: no log is opened (the command cannot open any), the answer stands, nothing is written.
    again = run(*args, env=refusing_opens(tmp_path_factory, tree))
    assert answer(name, again) == expected and again.stderr == ""
    assert os.stat(state).st_mtime_ns == saved.st_mtime_ns

    with open(tree / "alpha/s-1.jsonl", "a") as f:
        f.write(more("m6"))
    grown = run(*args)
    assert answer(name, grown) == answer(name, run(*args, "--no-cache"))
    assert os.stat(state).st_ino != saved.st_ino  # saved again, renamed into place


def test_no_cache_neither_loads_nor_saves(cached, tree, tmp_path_factory):
    run, folder = cached
    cold = run("daily", "--json", str(tree), "--no-cache")
    assert cold.returncode == 0 and not os.path.exists(folder)
    assert run("daily", "--json", str(tree), env={"LEDGERLY_NO_CACHE": "1"}).stdout == cold.stdout
    assert not os.path.exists(folder)
    assert run("daily", "--json", str(tree), env={"LEDGERLY_NO_CACHE": "0"}).stdout == cold.stdout
    state = the_state(folder)
    with open(state, "r+b") as f:
        f.truncate(100)
    quiet = run("daily", "--json", str(tree), "--no-cache", "--verbose")
    assert (quiet.stdout, quiet.stderr) == (cold.stdout, "")
    assert os.path.getsize(state) == 100
    # The saved state is what --no-cache refuses to open: every log is opened again.
    refused = run("daily", "--json", str(tree), "--no-cache", env=refusing_opens(tmp_path_factory, tree))
    assert refused.returncode == 1


def flip(path, offsets):
    with open(path, "r+b") as f:
        for offset in offsets:
            f.seek(offset)
            byte = f.read(1)
            f.seek(offset)
            f.write(bytes([byte[0] ^ 0x40]))


def overwrite(path, data):
    with open(path, "wb") as f:
        f.write(data)


def patch(path, offset, fmt, value):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(struct.pack(fmt, value))


def other_build(tree, path, monkeypatch):
    """A state saved by another version of the package."""
    import ledgerly.version

    monkeypatch.setattr(ledgerly.version, "__version__", "0.0.1")
    monkeypatch.setattr(state_file, "build_stamp", lambda: "0.0.1 1:1")
    ledger = Ledger([Source(str(tree))], 2, state=path)
    ledger.refresh()
    assert ledger.save()
    monkeypatch.undo()


DAMAGE = {
    "empty": ("the state file is empty", lambda path, size, rng: overwrite(path, b"")),
    "truncated": ("truncated", lambda path, size, rng: os.truncate(path, rng.randrange(1, size))),
    "flipped": ("", lambda path, size, rng: flip(path, [rng.randrange(size) for _ in range(rng.randint(1, 3))])),
    "foreign": ("not a state file", lambda path, size, rng: overwrite(path, rng.randbytes(size))),
    "format": ("format 2", lambda path, size, rng: patch(path, 8, "<I", 2)),
    "layout": ("record layout 99", lambda path, size, rng: patch(path, 12, "<I", 99)),
}


def damage(case, state, rng, tree, monkeypatch):
    """Damages the state file at `state` as `case` says; returns what the
    reason for refusing it must contain."""
    if case == "folder":
        os.remove(state)
        os.mkdir(state)
        return "a folder is in its place"
    if case == "other build":
        os.remove(state)
        other_build(tree, state, monkeypatch)
        return "saved by ledgerly 0.0.1"
    reason, apply = DAMAGE[case]
    apply(state, os.path.getsize(state), rng)
    return reason


@pytest.mark.parametrize("case", sorted(DAMAGE) + ["folder", "other build"])
def test_a_damaged_state_changes_nothing_but_the_time(case, cached, tree, monkeypatch):
    run, folder = cached
    args = ["daily", "--json", "--breakdown", str(tree)]
    expected = run(*args, "--no-cache").stdout
    rng = random.Random(case)
    for attempt in range(4 if case in ("truncated", "flipped") else 1):
        run(*args)  # a whole state
        damage(case, the_state(folder), rng, tree, monkeypatch)
        quiet = run(*args)
        assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, expected, ""), (case, attempt)
        if case != "folder":  # the damaged file was replaced by a whole state
            again = run(*args, "--verbose")
            assert (again.stdout, again.stderr) == (expected, ""), (case, attempt)
    # Under --verbose the refused file is mentioned, once, with the reason.
    reason = "a folder is in its place" if case == "folder" else damage(case, the_state(folder), rng, tree, monkeypatch)
    told = run(*args, "--verbose")
    assert (told.returncode, told.stdout) == (0, expected)
    lines = told.stderr.splitlines()
    assert "was not used" in lines[0] and reason in lines[0], told.stderr
    if case == "folder":  # nor can a state be saved there
        assert len(lines) == 2 and "could not be saved" in lines[1], told.stderr
    else:
        assert len(lines) == 1, told.stderr


def rewrite_rows(rows, state, sources=None, **changes):
    """Writes at `rows`, for the state file `state`, a whole rows file whose
    snapshot `changes` alter (or made for other `sources`)."""
    import dataclasses

    logs = [Source(str(rows.parent.parent / "logs"))]
    ledger = Ledger(logs, 2)
    snapshot = dataclasses.replace(ledger.refresh(), **changes)
    identity = state_file.file_identity(os.stat(state))
    write_rows(
        str(rows),
        snapshot,
        ledger.list_files().manifest(),
        state_file.build_stamp(),
        state_file.source_list(sources or logs),
        identity,
    )


def replace_with_copy(path):
    shutil.copy(path, path + ".copy")
    os.replace(path + ".copy", path)


ROWS_DAMAGE = {
    "empty": lambda rows, state, rng: overwrite(rows, b""),
    "truncated": lambda rows, state, rng: os.truncate(rows, rng.randrange(1, os.path.getsize(rows))),
    "grown": lambda rows, state, rng: overwrite(rows, rows.read_bytes() + bytes(8)),
    "flipped": lambda rows, state, rng: flip(
        rows, [rng.randrange(os.path.getsize(rows)) for _ in range(rng.randint(1, 3))]
    ),
    "foreign": lambda rows, state, rng: overwrite(rows, rng.randbytes(os.path.getsize(rows))),
    "folder": lambda rows, state, rng: (os.remove(rows), os.mkdir(rows)),
    "fifo": lambda rows, state, rng: (os.remove(rows), os.mkfifo(rows)),
    "an index beyond its table": lambda rows, state, rng: rewrite_rows(rows, state, models=("only-one",)),
    "other sources": lambda rows, state, rng: rewrite_rows(rows, state, sources=[Source("/elsewhere")]),
    "state written since": lambda rows, state, rng: os.utime(state, ns=(0, os.stat(state).st_mtime_ns + 1)),
    "state replaced": lambda rows, state, rng: replace_with_copy(state),
}


def same_rows(a, b):
    return canonical(a) == canonical(b) and a.files == b.files


def test_the_rows_file_answers_as_the_loaded_engine_would(tree, tmp_path):
    sources = [Source(str(tree))]
    state = state_path(sources, str(tmp_path / "cache"))
    first = Ledger(sources, 2, state=state)
    cold = first.refresh()
    assert first.save()
    rows = Path(rows_path(state))
    assert stat.S_IMODE(rows.stat().st_mode) == 0o600

    fast = Ledger(sources, 2, state=state)
    mapped = fast.refresh()
    rows.rename(str(rows) + ".aside")  # without it, the loaded engine's export answers
    slow = Ledger(sources, 2, state=state)
    loaded = slow.refresh()
    assert fast.from_saved_rows and not fast.loaded and slow.loaded and not slow.from_saved_rows
    assert same_rows(mapped, cold) and same_rows(loaded, cold)
    assert (dict(mapped.scan), mapped.errors, mapped.changed) == (dict(loaded.scan), loaded.errors, loaded.changed)
    assert (mapped.rows.tolist(), mapped.file_index.tolist()) == (cold.rows.tolist(), cold.file_index.tolist())

    # Later refreshes of the ledger that started from the rows file take
    # the loaded engine, and see what changed since.
    with open(tree / "alpha/s-1.jsonl", "a") as f:
        f.write(more("m7"))
    grown = fast.refresh()
    assert same_rows(grown, Ledger(sources, 2).refresh()) and grown.changed and fast.loaded
    assert fast.save() and rows.exists()
    after = Ledger(sources, 2, state=state)
    assert same_rows(after.refresh(), grown) and after.from_saved_rows

    # A file that had to be recognised (not a log: the manifest is the
    # same) makes a ledger that answered from the rows file save its state;
    # the rows are written again beside that new state file.
    write(tree, "beta/more-notes.jsonl", line({"hello": "still not a log"}))
    ledger = Ledger(sources, 2, state=state)
    ledger.refresh()
    assert ledger.from_saved_rows and ledger.sniffs.reads == 1
    assert ledger.save()
    after = Ledger(sources, 2, state=state)
    after.refresh()
    assert after.from_saved_rows


@pytest.mark.parametrize("case", sorted(ROWS_DAMAGE))
def test_a_rows_file_is_used_only_whole_and_only_beside_its_state(case, tree, tmp_path):
    """A rows file that is damaged, made for anything else, or lies beside
    another state file than its own gives way to the loaded engine: the
    same answer, nothing refused; then it is written again."""
    sources = [Source(str(tree))]
    state = state_path(sources, str(tmp_path / "cache"))
    first = Ledger(sources, 2, state=state)
    cold = first.refresh()
    assert first.save()
    rows = Path(rows_path(state))
    whole = rows.read_bytes()
    rng = random.Random(case)
    for attempt in range(6 if case in ("truncated", "flipped") else 1):
        ROWS_DAMAGE[case](rows, state, rng)
        with pytest.raises((RowsRefused, OSError)):
            read_rows(
                str(rows),
                state_file.build_stamp(),
                state_file.source_list(sources),
                state_file.file_identity(os.stat(state)),
            )
        ledger = Ledger(sources, 2, state=state)
        warm = ledger.refresh()
        assert not ledger.from_saved_rows and same_rows(warm, cold), (case, attempt)
        # Nothing changed, so the state is not saved again; the rows file
        # is written anew where it can be, and the next command maps it.
        assert ledger.refused is None and not ledger.save(), (case, attempt)
        next_one = Ledger(sources, 2, state=state)
        again = next_one.refresh()
        assert next_one.from_saved_rows == (case != "folder") and same_rows(again, cold), (case, attempt)
        if rows.is_dir():
            rows.rmdir()
        elif rows.is_fifo():
            rows.unlink()
        rows.write_bytes(whole)


EDITS = st.one_of(
    st.tuples(st.just("cut"), st.integers(0, 1 << 20)),
    st.tuples(st.just("write"), st.integers(0, 1 << 20), st.binary(min_size=1, max_size=8)),
    st.tuples(st.just("append"), st.binary(min_size=1, max_size=64)),
)


@settings(
    max_examples=150, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(edit=EDITS)
def test_any_edit_of_a_rows_file_is_refused_or_changes_nothing(tree, tmp_path, edit):
    sources = [Source(str(tree))]
    state = state_path(sources, str(tmp_path / "cache"))
    if not os.path.exists(state):
        ledger = Ledger(sources, 2, state=state)
        ledger.refresh()
        assert ledger.save()
    rows = Path(rows_path(state))
    whole = Path(str(rows) + ".whole")
    if not whole.exists():
        whole.write_bytes(rows.read_bytes())
    data = bytearray(whole.read_bytes())
    if edit[0] == "cut":
        del data[edit[1] % len(data) :]
    elif edit[0] == "write":
        at = edit[1] % len(data)
        data[at : at + len(edit[2])] = edit[2]
    else:
        data += edit[1]
    rows.write_bytes(bytes(data))
    args = (state_file.build_stamp(), state_file.source_list(sources), state_file.file_identity(os.stat(state)))
    original = read_rows(str(whole), *args)
    try:
        edited = read_rows(str(rows), *args)
    except (RowsRefused, OSError):
        return
    assert bytes(data) == whole.read_bytes()  # only an edit that changed no byte is taken
    assert (edited.manifest, edited.models, edited.projects, edited.files, dict(edited.scan)) == (
        original.manifest,
        original.models,
        original.projects,
        original.files,
        dict(original.scan),
    )
    assert edited.rows.tolist() == original.rows.tolist()
    assert all(np.array_equal(edited.rows.column(n), original.rows.column(n)) for n in ("file", "place", "seq"))


def test_an_unwritable_cache_folder_changes_nothing_but_the_time(cli, tree, tmp_path):
    blocked = tmp_path / "a-file"
    blocked.write_text("")
    env = {"LEDGERLY_CACHE_DIR": str(blocked / "cache")}
    expected = cli("daily", "--json", str(tree), "--no-cache").stdout
    quiet = cli("daily", "--json", str(tree), env=env)
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, expected, "")
    told = cli("daily", "--json", str(tree), "-v", env=env)
    assert told.stdout == expected and "could not be saved" in told.stderr


def test_commands_at_the_same_time_all_answer_and_leave_a_valid_state(cached, tree, home):
    run, folder = cached
    for number in range(40):
        write(tree, "many/s-%02d.jsonl" % number, more("x-%d" % number, "2025-03-%02dT10:00:00Z" % (number % 28 + 1)))
    commands = [["daily", "--json"], ["sessions", "--json"], ["models", "--json"], ["daily", "--json"]]
    env = {k: v for k, v in os.environ.items() if not k.startswith("LEDGERLY_")}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"), TZ="UTC", LEDGERLY_CACHE_DIR=str(folder))

    for round_ in range(3):
        expected = [run(*c, str(tree), "--no-cache").stdout for c in commands]
        processes = [
            subprocess.Popen(
                [sys.executable, "-m", "ledgerly", *c, str(tree)],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
                env=env,
            )
            for c in commands
        ]
        outputs = [p.communicate(timeout=120) for p in processes]
        assert [p.returncode for p in processes] == [0] * len(commands)
        assert [out for out, _err in outputs] == expected, round_
        assert [err for _out, err in outputs] == [""] * len(commands)
        state = the_state(folder)
        assert sorted(os.listdir(folder)) == sorted(os.path.basename(p) for p in (state, rows_path(state)))
        check = run("daily", "--json", str(tree), "--verbose")
        assert (check.stdout, check.stderr) == (expected[0], "")  # the state left behind loads
        with open(tree / ("many/s-%02d.jsonl" % round_), "a") as f:
            f.write(more("y-%d" % round_))


def test_the_cache_command_shows_and_clears_the_states(cached, tree, tmp_path):
    run, folder = cached
    run("daily", str(tree))
    run("daily", "--source", str(tree / "alpha"), "--source", str(tree / "beta"))
    (folder / "notes.txt").write_text("not ours")
    leftover = folder / ("." + os.path.basename(the_states(folder)[0]) + ".x1.tmp")
    leftover.write_text("")

    shown = run("cache", "--json")
    data = json.loads(shown.stdout)
    assert data["folder"] == str(folder) and data["temporary_files"] == 1
    by_sources = {tuple(s["path"] for s in state["sources"]): state for state in data["states"]}
    assert set(by_sources) == {(str(tree),), (str(tree / "alpha"), str(tree / "beta"))}
    whole = by_sources[(str(tree),)]
    assert (whole["files"], whole["problem"], whole["version"]) == (4, None, __import__("ledgerly").__version__)
    rows_file = os.path.getsize(rows_path(whole["path"]))
    assert whole["rows"] >= 4 and whole["rows_file_bytes"] == rows_file
    assert whole["bytes"] == os.path.getsize(whole["path"]) + rows_file
    assert data["bytes"] == sum(s["bytes"] for s in data["states"])
    table = run("cache")
    assert table.returncode == 0 and str(tree / "alpha") in table.stdout and "Saved states in" in table.stdout

    cleared = run("cache", "clear", "--json")
    assert json.loads(cleared.stdout)["removed"] == 5  # two states, their rows files, the leftover
    assert sorted(os.listdir(folder)) == ["notes.txt"]
    assert json.loads(run("cache", "--json").stdout)["states"] == []
    assert clear_states(str(folder)) == (0, 0) and list_states(str(tmp_path / "nowhere")) == ([], 0)


def the_states(folder):
    return sorted(os.path.join(folder, p) for p in os.listdir(folder) if p.endswith(".state"))


def test_no_state_is_kept_for_sources_that_held_no_log(cached, tmp_path):
    """A look at some file that is no log (such as /etc/passwd) leaves
    nothing in the cache folder."""
    run, folder = cached
    notes = tmp_path / "notes.txt"
    notes.write_text("not a session log\n")
    empty = tmp_path / "empty"
    empty.mkdir()
    for args in (["daily", "--json", str(notes)], ["sessions", str(empty)]):
        done = run(*args)
        assert done.returncode in (0, 1) and "Traceback" not in done.stderr, done.stderr
    assert not folder.exists() or os.listdir(folder) == []


def test_states_unused_for_thirty_days_are_dropped_when_saving(cached, tmp_path):
    """A save removes the states that no command has loaded or saved for 30
    days, with their rows files; a state loaded since stays, however old
    its save."""
    run, folder = cached
    day = 86400
    now = time.time()
    trees = {}
    for name in ("gone", "loaded", "young", "new"):
        trees[name] = tmp_path / name
        write(trees[name], "p/s.jsonl", CONVERSATION)
    for name in ("gone", "loaded", "young"):
        run("daily", str(trees[name]))
    state = {name: state_path([Source(str(tree))], str(folder)) for name, tree in trees.items()}
    ages = {"gone": 31, "loaded": 40, "young": 29}
    for name, days in ages.items():
        os.utime(state[name], (now - days * day, now - days * day))
    orphan = folder / ("0" * 32 + ".rows")
    orphan.write_bytes(b"")
    os.utime(str(orphan), (now - 31 * day, now - 31 * day))

    run("daily", str(trees["loaded"]))  # loaded, not saved (nothing changed)
    assert os.stat(state["loaded"]).st_mtime < now - 39 * day
    assert os.path.exists(rows_path(state["gone"]))
    run("daily", str(trees["new"]))  # a save: the sweep
    left = sorted(os.listdir(folder))
    expected = []
    for name in ("loaded", "young", "new"):
        expected += [os.path.basename(state[name]), os.path.basename(rows_path(state[name]))]
    assert left == sorted(expected)
