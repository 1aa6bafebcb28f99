"""`ledgerly status` with the JSON object an agent hands a status-line
command on standard input: the named session's usage is added; without
input, or with a terminal or a silent pipe on standard input, the status
is as before and never waits; bad input is one warning, and the status is
still printed."""

import contextlib
import json
import os
import subprocess
import sys

import pytest

from ledgerly.cli import cmd_status
from ledgerly.cli.cmd_status import session_of

from conftest import message_line, write


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "logs"
    write(root, "p/a1b2-session.jsonl", message_line("2025-03-14T10:00:00Z", "m1", "alpha-4-5", inp=10, out=90))
    write(root, "p/a1b2-session/subagents/agent-1.jsonl", message_line("2025-03-14T10:01:00Z", "s1", "beta-3", inp=5))
    write(root, "p/other.jsonl", message_line("2025-03-14T11:00:00Z", "m2", "alpha-4-5", inp=1000))
    return root


def status(home, tree, *args, stdin=subprocess.DEVNULL, data=None, cwd=None):
    environ = {k: v for k, v in os.environ.items() if not k.startswith("LEDGERLY_")}
    environ.update(HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"), NO_COLOR="1", TZ="UTC")
    command = [sys.executable, "-m", "ledgerly", "status", "--no-server", "--source", str(tree), *args]
    if data is not None:
        stdin = subprocess.PIPE
    return subprocess.run(
        command,
        input=data,
        stdin=None if data is not None else stdin,
        capture_output=True,
        env=environ,
        cwd=cwd,
        timeout=120,
    )


@pytest.mark.parametrize(
    "text, named, warning",
    [
        (b'{"session_id": "a1b2-session", "model": {"id": "x"}, "cwd": "/w"}', "a1b2-session", None),
        (b'{"transcript_path": "p/x.jsonl", "session_id": "ignored"}', "{cwd}/p/x.jsonl", None),  # made absolute
        (b"", None, None),  # nothing written: no session, no warning
        (b"  \n", None, None),
        (b"{}", None, "no session_id or transcript_path"),
        (b'{"session_id": 7}', None, "session_id must be a non-empty string"),
        (b'{"session_id": ""}', None, "session_id must be a non-empty string"),
        (b'["a1b2-session"]', None, "is not a JSON object"),
        (b'{"session_id": "a1b2', None, "is not a JSON object"),
        (b'\xff{"session_id": "x"}', None, "is not a JSON object"),
        (b'\xef\xbb\xbf{"session_id": "a1b2-session"}', "a1b2-session", None),  # a byte-order mark
        (b'{"session_id": "a1b2", "s": "[[[[{{{{"}', "a1b2", None),  # brackets in a string are text
        (b'{"session_id": "a1b2", "x": %s}' % (b"[" * 64 + b"]" * 64), None, "nests more than 64 levels"),
    ],
)
def test_what_the_input_names(text, named, warning, capsys, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    assert session_of(text) == (named if named is None else named.format(cwd=tmp_path))
    err = capsys.readouterr().err
    assert (err == "") if warning is None else (warning in err and err.count("\n") == 1)


def test_the_session_named_on_stdin_is_added(home, tree, tmp_path):
    alone = json.loads(status(home, tree, "--json").stdout)
    assert "session" not in alone
    given = status(home, tree, "--json", data=b'{"session_id": "a1b2-session", "hook_event_name": "Status"}')
    assert given.returncode == 0 and given.stderr == b""
    data = json.loads(given.stdout)
    session = data["session"]
    assert (session["id"], session["total_tokens"], session["subagent_tokens"]) == ("a1b2-session", 105, 5)
    assert {k: data[k] for k in alone if k not in ("now", "refreshed_at")} == {
        k: alone[k] for k in alone if k not in ("now", "refreshed_at")
    }
    # By its log's path, relative to the folder the status line runs in.
    by_path = status(
        home,
        tree,
        "--format",
        "{session_id} {session_tokens_exact}",
        cwd=tree,
        data=b'{"transcript_path": "p/other.jsonl"}',
    )
    assert by_path.stdout == b"other 1000\n"
    line = status(home, tree, data=b'{"session_id": "a1b2-session"}').stdout.decode()
    assert line.startswith("session 105 | 0 today")


@pytest.mark.parametrize(
    "data, warning",
    [
        (b"not json", "ledgerly: warning: standard input is not a JSON object"),
        (b'{"session_id": "nope"}', "ledgerly: warning: session: no session has the id 'nope'"),
        (b'{"session_id": "x", "pad": "%s"}' % (b"y" * 70_000), "ledgerly: warning: standard input: more than 64 KiB"),
        # Nested deeper than the JSON reader can recurse, within the size cap.
        (b"[" * 30_000 + b"]" * 30_000, "ledgerly: warning: standard input: the JSON nests more than 64 levels"),
        (b'{"session_id": "a1b2-session", "x": %s}' % (b"[" * 30_000 + b"]" * 30_000), "nests more"),
    ],
    ids=["not-json", "unknown-session", "too-large", "deep", "deep-beside-a-session"],
)
def test_bad_input_is_a_warning_and_the_status_is_still_printed(home, tree, data, warning):
    done = status(home, tree, data=data)
    assert done.returncode == 0 and done.stdout.decode().startswith("0 today")
    assert warning in done.stderr.decode() and done.stderr.startswith(b"ledgerly: warning: ")
    assert done.stderr.count(b"\n") == 1


def test_a_terminal_or_a_silent_pipe_on_stdin_is_not_waited_for(home, tree):
    expected = status(home, tree).stdout
    # A terminal: never read.
    pty = pytest.importorskip("pty")  # POSIX
    main, terminal = pty.openpty()
    try:
        assert status(home, tree, stdin=terminal).stdout == expected
    finally:
        os.close(main)
        os.close(terminal)
    # A pipe whose writer neither writes nor closes it: given up on at once.
    read_end, write_end = os.pipe()
    try:
        assert status(home, tree, stdin=read_end).stdout == expected
    finally:
        os.close(read_end)
        os.close(write_end)


@pytest.mark.parametrize("select_works", [True, False], ids=["select", "reader-thread"])
def test_only_what_is_there_at_once_is_read(select_works, monkeypatch, capsys):
    """Both ways of waiting on standard input (select, or a reader thread
    where select cannot wait on it): a whole object, a silent pipe, and an
    object that begins but never ends."""
    monkeypatch.setattr(cmd_status, "SELECT_ON_STDIN", select_works)
    pipes = [os.pipe() for _ in range(3)]
    try:
        whole, silent, unfinished = pipes
        os.write(whole[1], b'{"session_id": "abc"}')
        os.close(whole[1])
        assert cmd_status.session_from_stdin(whole[0]) == "abc"
        assert cmd_status.session_from_stdin(silent[0]) is None and capsys.readouterr().err == ""
        os.write(unfinished[1], b'{"session_id": ')
        assert cmd_status.session_from_stdin(unfinished[0]) is None
        assert "did not end within" in capsys.readouterr().err
    finally:
        for read_end, write_end in pipes:
            for fd in (read_end, write_end):
                with contextlib.suppress(OSError):  # closed above
                    os.close(fd)
