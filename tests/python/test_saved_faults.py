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

import pytest

from ledgerly.ledger import Ledger
from ledgerly.saved import state_path
from ledgerly.sources import Source

from conftest import message_line, user_line, write


def conversation(tokens):
    """A one-response log whose input is `tokens` (same width, same size)."""
    return user_line("2025-03-15T09:59:00Z", cwd="/w/alpha") + message_line(
        "2025-03-15T10:00:00Z", "m1", "alpha-4", inp=tokens, out=100, cwd="/w/alpha"
    )


@pytest.fixture
def logs(tmp_path):
    root = tmp_path / "logs"
    write(root, "alpha/s-1.jsonl", conversation(111))
    write(root, "beta/s-2.jsonl", conversation(222))
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
    folder = tmp_path / "shared"
    folder.mkdir()
    os.chmod(folder, mode)
    if owner is not None:
        if os.getuid() != 0:
            pytest.skip("giving a folder to another user needs root")
        os.chown(folder, owner, -1)
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
