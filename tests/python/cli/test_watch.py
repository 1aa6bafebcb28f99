"""`ledgerly watch` under a pseudo-terminal: it draws, picks up an appended
line on a later tick, fits small terminals, and leaves on Ctrl-C with
status 0 and the terminal restored."""

import io
import subprocess
import sys

import pytest

from conftest import message_line, write
from served import environment, recent

pexpect = pytest.importorskip("pexpect")

ENTER_SCREEN, LEAVE_SCREEN, SHOW_CURSOR = "\x1b[?1049h", "\x1b[?1049l", "\x1b[?25h"


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "logs"
    write(
        root,
        "live/now.jsonl",
        recent(20, "n1", inp=100, out=2000, read=3000) + recent(10, "n2", model="beta-3", inp=1, out=9),
    )
    write(root, "old/s.jsonl", message_line("2025-03-15T10:00:00Z", "m1", "alpha-4-5", inp=10, out=100))
    return root


def spawn(tree, tmp_path, rows, columns, *args):
    env = environment(tmp_path / "home", tmp_path / "run", {"TERM": "xterm-256color"})
    for name in ("COLUMNS", "LINES"):  # the terminal's own size must count
        env.pop(name, None)
    (tmp_path / "home" / ".config").mkdir(parents=True, exist_ok=True)
    child = pexpect.spawn(
        sys.executable,
        ["-m", "ledgerly", "watch", "--source", str(tree), "--tz", "UTC", "--interval", "0.3", *args],
        env=env,
        dimensions=(rows, columns),
        encoding="utf-8",
        timeout=30,
    )
    child.logfile_read = io.StringIO()
    return child


def quit_with_ctrl_c(child):
    child.sendintr()
    child.expect(pexpect.EOF)
    child.close()
    output = child.logfile_read.getvalue()
    assert child.exitstatus == 0 and "Traceback" not in output
    assert ENTER_SCREEN in output
    tail = output[output.rindex(ENTER_SCREEN) :]
    assert LEAVE_SCREEN in tail and SHOW_CURSOR in tail  # back on the normal screen, cursor shown
    return output


def test_watch_draws_follows_a_log_and_quits(tree, tmp_path):
    child = spawn(tree, tmp_path, 30, 120)
    child.expect("5,110 tokens")  # today: 2,100 + 3,000 + 10 (beta-3)
    child.expect("last tick")
    child.expect("alpha-4-5")
    with open(tree / "live" / "now.jsonl", "a") as f:
        f.write(recent(1, "n3", inp=5, out=995))
    child.expect("6,110 tokens")
    child.expect(r"1 changed")
    quit_with_ctrl_c(child)


@pytest.mark.parametrize(
    "rows, columns, shown",
    [
        (24, 80, "Model today"),  # stacked panels and the model table
        (10, 50, "Today "),
        (4, 30, "ledgerly watch"),  # a terminal too small for anything but the header
    ],
)
def test_watch_fits_small_terminals(tree, tmp_path, rows, columns, shown):
    child = spawn(tree, tmp_path, rows, columns)
    child.expect(shown)
    child.expect("last tick")
    quit_with_ctrl_c(child)


def test_watch_needs_a_terminal(tree, tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "ledgerly", "watch", "--source", str(tree)],
        capture_output=True,
        text=True,
        env=environment(tmp_path / "home", tmp_path / "run"),
        timeout=60,
    )
    assert done.returncode == 2 and "watch draws on a terminal" in done.stderr and done.stdout == ""
