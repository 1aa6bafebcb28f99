"""The `report` subcommand: the dashboard's views of a range as one HTML
file that needs no server and loads nothing (`ledgerly.live.report_page`).

    ledgerly report --html usage.html --since last-month --until last-month
    ledgerly report --html - > usage.html      the page on stdout
    ledgerly report --json                     the figures the page holds

An existing FILE is replaced only with --force; the page is written to a
temporary file beside it and renamed into place, so a failed write leaves
nothing half written.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from dataclasses import dataclass
from typing import Any, Dict, Tuple

from ledgerly.cli.errors import PARTIAL, CommandError
from ledgerly.cli.options import (
    add_limit_option,
    add_selection_options,
    finish_result,
    load_context,
    no_usage,
    source_options,
    warn,
)


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "report",
        parents=[source_options()],
        help="the dashboard's views of a range as one HTML file to share (no server needed)",
        description="Writes the dashboard's views of a range (cards, limits, daily chart, models, projects, "
        "sessions, insights) as one self-contained HTML file: style, script and figures inline, charts in SVG, "
        "nothing loaded from the network. It opens offline, prints, and can be sent by e-mail.",
    )
    group = parser.add_argument_group("report")
    add_selection_options(group)
    add_limit_option(group)
    group.add_argument("--html", metavar="FILE", help="write the page to FILE ('-': to stdout)")
    group.add_argument("--force", action="store_true", help="replace FILE if it exists")
    group.add_argument("--json", action="store_true", help="print the figures the page holds as JSON")
    parser.set_defaults(run=run_report_file, csv=False, idle_gap=None)


def run_report_file(args: argparse.Namespace) -> int:
    if not args.html and not args.json:
        raise CommandError("name the page to write with --html FILE (or '-' for stdout), or give --json")
    if args.html == "-" and args.json:
        raise CommandError("--html - and --json would both write to stdout; give one of them")
    from ledgerly.cli.progress import run_refresh
    from ledgerly.cli.saved import open_ledger
    from ledgerly.params import make_insights_query

    ctx = load_context(args)
    query = make_insights_query(args.since, args.until, ctx.zone, args.model, args.project)
    if args.html not in (None, "-"):
        _check_target(args.html, args.force)
    ledger = open_ledger(ctx)
    listing = ledger.list_files()
    snapshot = run_refresh(ledger, listing, meanwhile=_load)
    from ledgerly.block_reports import now_ms
    from ledgerly.live.report_page import report_data, report_html

    data = report_data(snapshot, query, ctx.prices, ctx.limits, now_ms())
    if args.html == "-":
        sys.stdout.write(report_html(data))
    elif args.html:
        write_page(args.html, report_html(data).encode("utf-8"), args.force)
    if args.json:
        import json

        sys.stdout.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    sys.stdout.flush()
    daily = next(a for k, a in data["answers"].items() if "group=day" in k.split("?", 1)[1].split("&"))
    empty = None if daily["rows"] else no_usage(snapshot, ctx.zone)
    if empty is not None and not args.json:
        warn(empty.text[0].lower() + empty.text[1:])
    return finish_result(_Pricing.of(data), ctx, snapshot, empty)


@dataclass(frozen=True)
class _Pricing:
    """What `finish_result` reads of a result: whether it was priced, and
    the models with usage that has no price in any of the page's views."""

    priced: bool
    unpriced: Dict[str, Tuple[str, ...]]

    @staticmethod
    def of(data: Dict[str, Any]) -> _Pricing:
        answers = [a for a in data["answers"].values() if "unpriced" in a]
        return _Pricing(bool(answers), {name: () for a in answers for name in a["unpriced"]})


def _check_target(path: str, force: bool) -> None:
    """Refuses, before any log is read, a FILE that is a folder, or one that
    exists without --force (a dangling link counts as existing)."""
    if os.path.isdir(path):
        raise CommandError("%s is a folder; name a file" % path)
    if os.path.lexists(path) and not force:
        raise CommandError("%s exists; 'ledgerly report --force --html %s' replaces it" % (path, path))
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise CommandError("%s: no such folder" % folder)


def write_page(path: str, page: bytes, force: bool) -> None:
    """Writes `page` to `path` in one step: into a temporary file beside it
    (readable as the umask allows: a report is for sharing), renamed over
    it. Without `force` the name is first claimed with O_EXCL, so that a
    file made there meanwhile is never replaced. Raises CommandError."""
    from ledgerly.private_files import NewFile

    claimed = False
    try:
        if not force:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), 0o666))
            claimed = True
        with NewFile(path, mode=0o666) as new:
            new.write(page)
    except FileExistsError:
        raise CommandError("%s exists; 'ledgerly report --force --html %s' replaces it" % (path, path)) from None
    except IsADirectoryError:
        raise CommandError("%s is a folder; name a file" % path) from None
    except OSError as exc:
        if claimed:
            with contextlib.suppress(OSError):
                os.unlink(path)
        raise CommandError("writing %s failed: %s" % (path, exc.strerror or exc), PARTIAL) from None


def _load() -> None:
    """Imports the report code (numpy with it) while the engine reads."""
    import ledgerly.insights
    import ledgerly.live.report_page  # noqa: F401
