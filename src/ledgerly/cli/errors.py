"""How a command fails: one error type, and the one place where the way a
command ended becomes output and an exit status.

A command returns its exit status, or raises `CommandError` with the
message to show and the status to leave with. A bad report parameter
(`ParameterError`) is shown as the option it came from ("--since: ...").
`finish` runs a command and turns every ending into output and a status:

    0    done (and every file was read)
    1    done in part: some log, file or folder could not be read (the rest
         is reported), or a tree could not be written or read
    2    a usage error: a bad option, source, config, price file, date,
         zone or glob, a missing extra; one line on stderr, nothing done
    3    a check found something: `check`, a limit passed; `prices check`,
         usage without a price (the answer, not a failure of the command)
    130  interrupted (Ctrl-C)
    141  the output was closed early (``ledgerly ... | head``): quietly

With ``--quiet-errors`` (the status line) every failure prints a marker on
stdout instead and the status is 0. docs/cli-json.md lists the statuses.
"""

from __future__ import annotations

import os
import sys
from typing import Callable

DONE = 0
PARTIAL = 1
USAGE = 2
FOUND = 3
INTERRUPTED = 130
CLOSED_OUTPUT = 141
# What a status bar shows when the status line fails (`ledgerly status --quiet-errors`).
ERROR_MARKER = "ledgerly?"


class CommandError(Exception):
    """A command that cannot do what it was asked: `message` is the line
    shown on stderr, `status` the exit status (a usage error by default)."""

    def __init__(self, message: str, status: int = USAGE) -> None:
        super().__init__(message)
        self.message = message
        self.status = status


def finish(command: Callable[[], int], quiet: bool = False) -> int:
    """Runs `command` and returns its exit status, turning an error, Ctrl-C
    or a closed output into the output and status above; with `quiet`, any
    failure is the marker on stdout and status 0."""
    try:
        try:
            return command()
        except CommandError as exc:
            return _failed(exc.message, exc.status, quiet)
        except ValueError as exc:
            from ledgerly.params import ParameterError  # loaded only when something failed

            if not isinstance(exc, ParameterError):
                raise
            return _failed("--%s: %s" % (exc.parameter, exc.message), USAGE, quiet)
        except KeyboardInterrupt:
            return _failed("", INTERRUPTED, quiet)
    except BrokenPipeError:
        # The reader went away: stop quietly (and let nothing more reach the closed pipe).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return CLOSED_OUTPUT


def _failed(message: str, status: int, quiet: bool) -> int:
    if quiet:
        sys.stdout.write(ERROR_MARKER + "\n")
        sys.stdout.flush()
        return DONE
    if status == INTERRUPTED:
        return _interrupted()
    print("ledgerly: error: %s" % message, file=sys.stderr)
    return status


def _interrupted() -> int:
    from ledgerly.cli.progress import any_running

    sys.stderr.write("\n")
    if any_running():
        # A refresh cannot be stopped from Python; leave without waiting for it.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(INTERRUPTED)
    return INTERRUPTED
