"""The `check` subcommand: which limits the current block, day and month
have passed, for scripts.

    ledgerly check                 0: no limit passed, 3: some limit passed
    ledgerly check --json          the same as JSON
    ledgerly check --limit max     the current block against the largest so far

The figures are those of `ledgerly status` (a running server answers, or
the logs are read here), so the limits are those of the server's config
when a server answers. Passing a limit is not a failure of the command:
it is the answer, given by the exit status 3; usage errors stay 2.
"""

from __future__ import annotations

import argparse
import json
import shutil
import sys
from typing import Any, Dict, List

from ledgerly.cli import limitview
from ledgerly.cli.cmd_status import add_query_options, from_server, one_shot
from ledgerly.cli.errors import FOUND, CommandError
from ledgerly.cli.options import source_options, warn
from ledgerly.codes import LIMIT_NAMES


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "check",
        parents=[source_options()],
        help="which limits the current block, day and month have passed (exit status %d when any)" % FOUND,
        description="Measure the current 5-hour block, today and this month against the limits of the config's "
        "[limits] table (%s) or, with --limit max, the current block against the largest block so far. Prints "
        "each limit's use and exits with status %d when any limit is passed, 0 when none is."
        % (", ".join(LIMIT_NAMES), FOUND),
    )
    group = parser.add_argument_group("check")
    group.add_argument("--json", action="store_true", help="print the limits as JSON")
    add_query_options(group)
    parser.set_defaults(run=run_check)


def run_check(args: argparse.Namespace) -> int:
    status = from_server(args)
    if status is None:
        status = one_shot(args)
    limits: List[Dict[str, Any]] = status.get("limits") or []
    if not limits and args.limit != "max":
        raise CommandError(
            "no limits to check: set any of %s in the config's [limits] table, or give --limit max"
            % ", ".join(LIMIT_NAMES)
        )
    unmeasured = [use["name"] for use in limits if use["used"] is None]
    if unmeasured:
        raise CommandError("%s: a cost limit needs a price table ([prices] in the config, or --prices)" % unmeasured[0])
    passed = [use["name"] for use in limits if use["passed"]]
    if args.json:
        out = {"now": status["now"], "timezone": status["timezone"], "limits": limits, "passed": passed}
        sys.stdout.write(json.dumps(out, ensure_ascii=False, indent=2) + "\n")
    else:
        sys.stdout.write(text(status, limits, passed))
    sys.stdout.flush()
    if status.get("unreadable"):
        warn("%d log file(s) could not be read; the figures leave them out" % status["unreadable"])
    return FOUND if passed else 0


def text(status: Dict[str, Any], limits: List[Dict[str, Any]], passed: List[str]) -> str:
    now = status["now"]
    head = "Limits at %s %s (%s)" % (now[:10], now[11:16], status["timezone"])
    if not limits:
        return head + "\nNo limit: no block has closed yet, so --limit max has nothing to compare with.\n"
    largest = [use for use in limits if use["source"] != "config"]
    columns = shutil.get_terminal_size().columns
    lines = [head, *limitview.lines(limits, now, columns, currency=status.get("currency"))]
    if largest:
        lines.append("  (block limits: the largest block so far)")
    if passed:
        lines.append("Passed: %s." % ", ".join(name.replace("_", " ") for name in passed))
    else:
        lines.append("No limit passed.")
    return "\n".join(lines) + "\n"
