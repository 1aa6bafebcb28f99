"""Faults of the warm state found by hostile probing: a cache folder that
others may write, a link or a crafted state swapped in at the moment a
command saves or loads, a log rewritten in place with the same size and
modification time, a rows file that cannot be written. Each test runs the
fault as it happens (real commands where the fault needs them) and holds
the promise docs/reliability.md makes for it."""

import json
import os
import shutil
import stat
import time

import pytest

import ledgerly.saved.state_file as state_file
from ledgerly.ledger import Ledger
from ledgerly.saved import state_path
from ledgerly.sources import Source

from conftest import message_line, shared_folder, user_line, write


def conversation(tokens, key="m1"):
    """A one-response log whose input is `tokens` (same width, same size)."""
    return user_line("2025-03-15T09:59:00Z", cwd="/w/alpha") + message_line(
        "2025-03-15T10:00:00Z", key, "alpha-4", inp=tokens, out=100, cwd="/w/alpha"
    )


@pytest.fixture
def logs(tmp_path):
    root = tmp_path / "logs"
    write(root, "alpha/s-1.jsonl", conversation(111))
    write(root, "beta/s-2.jsonl", conversation(222, "m2"))
    return root


def daily(cli, logs, folder, *extra):
    return cli("daily", "--json", "--tz", "UTC", str(logs), *extra, env={"LEDGERLY_CACHE_DIR": str(folder)})


@pytest.mark.parametrize(
    "mode, owner, reason",
    [
        (0o777, None, "others may write it (mode 777)"),
        (0o1777, None, "others may write it (mode 1777)"),
        (0o770, None, "others may write it (mode 770)"),
        (0o700, 12345, "it belongs to another user"),
    ],
)
def test_a_cache_folder_others_may_write_is_refused_and_left_alone(cli, logs, tmp_path, mode, owner, reason):
    """Nothing is loaded from such a folder and nothing saved to it: the
    answer is a cold one, and --verbose says why in one line (before: the
    state was saved there, where another user could swap a link in)."""
    folder = shared_folder(tmp_path / "shared", mode, owner)
    cold = daily(cli, logs, folder, "--no-cache")
    for verbose in (False, True):
        done = daily(cli, logs, folder, *(["--verbose"] if verbose else []))
        assert (done.returncode, done.stdout) == (0, cold.stdout)
        if verbose:
            assert done.stderr.count("\n") == 1, done.stderr
            assert "cache folder %s is not used (%s)" % (folder, reason) in done.stderr
        else:
            assert done.stderr == ""
        assert os.listdir(folder) == [] and stat.S_IMODE(os.stat(folder).st_mode) == mode
    # A state put there by someone else is not read either.
    private = tmp_path / "private"
    daily(cli, logs, private)
    for name in os.listdir(private):
        shutil.copy(str(private / name), str(folder / name))
    told = daily(cli, logs, folder, "--verbose")
    assert (told.stdout, told.stderr.count("\n")) == (cold.stdout, 1), told.stderr
    listed = json.loads(cli("cache", "--json", env={"LEDGERLY_CACHE_DIR": str(folder)}).stdout)
    assert [s["problem"] for s in listed["states"]] == ["its folder is not used: %s" % reason]


def test_a_save_never_writes_through_a_link_swapped_in(logs, tmp_path, monkeypatch):
    """Another user who swaps a link in at the temporary file's name the
    moment it is made gets nothing written through it: the state is
    written through the descriptor the name was made with, and a name
    that no longer holds that file is never renamed into place (before:
    the engine opened the name again, truncating the link's target)."""
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    folder = tmp_path / "cache"
    sources = [Source(str(logs))]
    path = state_path(sources, str(folder))
    real_open = os.open

    def swapping_open(name, flags, *args, **kwargs):
        fd = real_open(name, flags, *args, **kwargs)
        if str(name).startswith(str(folder)) and str(name).endswith(".tmp"):
            os.symlink(str(victim), str(name) + ".link")
            os.replace(str(name) + ".link", str(name))
        return fd

    ledger = Ledger(sources, 1, state=path)
    ledger.refresh()
    monkeypatch.setattr(os, "open", swapping_open)
    with pytest.raises(OSError, match="temporary file was replaced"):
        ledger.save()
    monkeypatch.undo()
    assert victim.read_bytes() == b"precious"
    assert os.listdir(folder) == []  # neither the link nor a state in its place
    assert ledger.save() and os.path.isfile(path) and not os.path.islink(path)


def test_a_load_reads_the_file_its_checks_were_made_on(logs, tmp_path, monkeypatch):
    """A crafted state (here: one that claims other figures for the same
    unchanged logs) swapped in after the saved state's owner and mode were
    checked is never loaded: the load reads the descriptor that was
    checked (before: the engine opened the path again)."""
    from ledgerly import _ledger
    from ledgerly.private_files import NewFile
    from ledgerly.sniffing import SniffCache
    from ledgerly.walk import list_files

    folder = tmp_path / "cache"
    sources = [Source(str(logs))]
    path = state_path(sources, str(folder))
    truth = Ledger(sources, 1, state=path)
    expected = truth.refresh().rows["input"].sum()
    assert truth.save()
    os.unlink(path[: -len(".state")] + ".rows")  # the answer must come from the loaded engine

    # The crafted state: figures read from fake content of the same size
    # at the same path, claiming the logs exactly as they are now.
    log = logs / "alpha" / "s-1.jsonl"
    real, st = log.read_bytes(), log.stat()
    with open(log, "r+b") as f:
        f.write(conversation(999).encode())
    os.utime(log, ns=(st.st_atime_ns, st.st_mtime_ns))
    forged = _ledger.Engine()
    forged.refresh(list_files(sources).manifest(), 1)
    with open(log, "r+b") as f:
        f.write(real)
    os.utime(log, ns=(st.st_atime_ns, st.st_mtime_ns))
    sniffs = SniffCache()
    listing = list_files(sources, sniffs)
    crafted = tmp_path / "crafted.state"
    with NewFile(str(crafted)) as new:
        forged.save(new.fd, state_file.encode_host(sources, sniffs, listing.manifest(), listing.stats))

    checked = state_file.check_host

    def swap_after_the_check(*args):
        checked(*args)
        if crafted.exists():
            os.replace(str(crafted), path)

    monkeypatch.setattr(state_file, "check_host", swap_after_the_check)
    warm = Ledger(sources, 1, state=path)
    assert warm.refresh().rows["input"].sum() == expected and warm.refused is None
    assert not crafted.exists()  # it was swapped in, and not read


def rewrite_in_place(log, tokens):
    """Writes the same-size conversation with `tokens` over `log`, keeping
    its inode, size and modification time (as a backup restored over it,
    or `touch -d` back, would); returns once its ctime moved."""
    st = log.stat()
    with open(log, "r+b") as f:
        f.write(conversation(tokens).encode())
    os.utime(log, ns=(st.st_atime_ns, st.st_mtime_ns))
    while log.stat().st_ctime_ns == st.st_ctime_ns:  # a coarse clock: wait for it to tick
        time.sleep(0.005)
        os.utime(log, ns=(st.st_atime_ns, st.st_mtime_ns))
    now = log.stat()
    assert (now.st_ino, now.st_size, now.st_mtime_ns) == (st.st_ino, st.st_size, st.st_mtime_ns)


def test_a_log_rewritten_in_place_is_read_again_by_every_command(cli, logs, tmp_path):
    """Same inode, size and modification time: the ctime moved, so the
    file is read again from the start, whether the command answers from
    the loaded engine or would have from the rows file (before: the old
    figures for good, 111 where --no-cache gave 999)."""
    folder = tmp_path / "cache"
    first = daily(cli, logs, folder)
    assert json.loads(first.stdout)["totals"]["input"] == 111 + 222
    log = logs / "alpha" / "s-1.jsonl"
    rewrite_in_place(log, 999)
    cold = daily(cli, logs, folder, "--no-cache")
    assert json.loads(cold.stdout)["totals"]["input"] == 999 + 222
    for _ in range(2):  # and the state saved after it holds the new figures
        warm = daily(cli, logs, folder, "--verbose")
        assert (warm.returncode, warm.stdout, warm.stderr) == (0, cold.stdout, "")
    rewrite_in_place(log, 555)  # once more, now that a rows file is there for the last state
    assert daily(cli, logs, folder).stdout == daily(cli, logs, folder, "--no-cache").stdout


def test_a_ledger_and_a_server_read_a_log_rewritten_in_place_again(logs, tmp_path):
    """The same in a ledger that stays (a live view) and in the server's
    ticks, which are told of the write by the file system."""
    from served import Served

    ledger = Ledger([Source(str(logs))], 1)
    assert ledger.refresh().rows["input"].sum() == 111 + 222
    log = logs / "alpha" / "s-1.jsonl"
    rewrite_in_place(log, 999)
    again = ledger.refresh()
    assert again.rows["input"].sum() == 999 + 222 and again.changed
    assert not ledger.refresh().changed  # read once, not on every refresh

    with Served(logs, tmp_path, "--rescan", "3600") as server:
        server.wait_for("/api/v1/report?group=model", lambda d: d["totals"]["input"] == 999 + 222)
        rewrite_in_place(log, 444)
        server.wait_for("/api/v1/report?group=model", lambda d: d["totals"]["input"] == 444 + 222)


def test_a_rows_file_that_cannot_be_written_is_named_under_verbose(cli, logs, tmp_path):
    """The state fits but its rows file cannot be written (a full disk, or
    here a folder in its place): the answer stands, and --verbose says
    so in one line (before: nothing was said)."""
    from ledgerly.saved.rows_file import rows_path

    folder = tmp_path / "cache"
    state = state_path([Source(str(logs))], str(folder))
    rows = rows_path(state)
    os.makedirs(rows)
    cold = daily(cli, logs, folder, "--no-cache")
    assert daily(cli, logs, folder).stderr == ""
    os.unlink(state)
    told = daily(cli, logs, folder, "--verbose")
    assert (told.returncode, told.stdout) == (0, cold.stdout) and os.path.isfile(state)
    assert told.stderr.count("\n") == 1, told.stderr
    assert "the rows file could not be saved to %s: Is a directory" % rows in told.stderr
