"""The `watch` subcommand: a full-screen view that refreshes every few seconds.

One `Ledger` is refreshed every --interval seconds (the engine reads only
what changed since the previous tick), and the screen shows today's usage,
the current 5-hour block (time left, the total it heads for at the current
pace), the burn rate over the last hour, today's usage per model, and a
footer saying what the last tick read and how long it took. The layout
adapts to the terminal: panels side by side when wide, stacked lines when
narrow, and only as many model rows as fit. Ctrl-C leaves the alternate
screen, restoring the terminal, and exits 0.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from ledgerly.cli import limitview
from ledgerly.cli.errors import CommandError
from ledgerly.cli.figures import byte_size, cost_text, plain_number
from ledgerly.cli.options import (
    add_glob_options,
    add_limit_option,
    add_prices_option,
    add_zone_option,
    load_context,
    seconds,
    source_options,
)
from ledgerly.cli.statusline import duration, short_tokens

WIDE = 96  # columns from which the three panels sit side by side


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "watch",
        parents=[source_options()],
        help="a live full-screen view: today, the current block, the burn rate",
        description="Refresh every few seconds and show today's tokens and cost, the current 5-hour block (time "
        "left, projected total), the burn rate over the last hour and today's usage per model. Ctrl-C quits.",
    )
    group = parser.add_argument_group("watch")
    group.add_argument(
        "--interval",
        type=seconds(0.1, 3600),
        default=2.0,
        metavar="SECONDS",
        help="seconds between refreshes (default 2)",
    )
    add_zone_option(group)
    add_glob_options(group)
    add_prices_option(group)
    add_limit_option(group)
    parser.set_defaults(run=run_watch)


class LastRefresh:
    """What the footer says about the latest refresh."""

    def __init__(self) -> None:
        self.at = 0.0
        self.seconds = 0.0
        self.files = 0
        self.changed = 0
        self.bytes_read = 0
        self.errors = 0


def run_watch(args: argparse.Namespace) -> int:
    if not sys.stdout.isatty():
        raise CommandError("watch draws on a terminal; for a one-time answer use 'ledgerly status' or a report")
    from ledgerly.params import make_query

    ctx = load_context(args)
    query = make_query((), None, None, ctx.zone, args.model, args.project)
    limits = ctx.limits

    from rich.console import Console
    from rich.live import Live
    from rich.text import Text

    from ledgerly.cli.progress import Refresh
    from ledgerly.cli.saved import open_ledger
    from ledgerly.live.ticks import SAVE_EVERY

    console = Console()
    ledger = open_ledger(ctx)
    info = LastRefresh()
    job: Optional[Refresh] = None
    saved_at = float("-inf")
    try:
        with Live(
            Text("ledgerly watch: reading logs..."), console=console, screen=True, auto_refresh=False, transient=True
        ) as live:
            live.refresh()
            while True:
                started = time.perf_counter()
                listing = ledger.list_files()
                # The state is saved now and then (after the refresh, on its thread) and on leaving.
                save = ledger.state is not None and time.monotonic() - saved_at >= SAVE_EVERY
                if save:
                    saved_at = time.monotonic()
                job = Refresh(ledger, listing, save=save).start()
                while not job.wait(0.1):
                    pass
                snapshot = job.outcome()
                job = None
                info.at, info.seconds = time.time(), time.perf_counter() - started
                info.files, info.changed = listing.file_count, int(snapshot.scan.get("changed", 0))
                info.bytes_read, info.errors = int(snapshot.scan.get("bytes_read", 0)), len(snapshot.errors)
                from ledgerly.block_reports import now_ms
                from ledgerly.limits import with_largest_block
                from ledgerly.live.status import status_for

                now = now_ms()
                if info.changed or not limits.fresh(now):  # --limit max: find the largest block again
                    limits = with_largest_block(ctx.limits, snapshot, query, ctx.prices, now)
                status = status_for(snapshot, query, ctx.prices, now, limits)
                live.update(screen(status, info, args.interval, console.size.width, console.size.height), refresh=True)
                time.sleep(max(0.0, args.interval - (time.perf_counter() - started)))
    except KeyboardInterrupt:
        pass
    if job is not None and job.thread.is_alive():
        # A refresh cannot be stopped from Python: leave without waiting for it.
        sys.stdout.flush()
        os._exit(0)
    try:
        ledger.save()
    except OSError as exc:
        if args.verbose:
            from ledgerly.cli.saved import note_save_error

            note_save_error(ledger, exc)
    return 0


# ---------------------------------------------------------------------------
# Drawing


def _tokens(value: Optional[float], width: int) -> str:
    if value is None:
        return "-"
    return plain_number(int(value)) if width >= 60 else short_tokens(value)


def cost(
    usage: Dict[str, Any], field: str = "cost", priced_field: str = "priced_cost", currency: Optional[str] = None
) -> str:
    """A cost, or its priced part marked + when some usage has no price."""
    return cost_text(usage[field], usage.get(priced_field) or 0.0, grouped=False, currency=currency)


def _lines(status: Dict[str, Any], width: int) -> Dict[str, List[str]]:
    """The text of each panel."""
    priced = status["priced"]
    money = status.get("currency")
    today = status["today"]
    today_lines = ["%s tokens" % _tokens(today["total_tokens"], width)]
    if priced:
        today_lines.append("cost %s" % cost(today, currency=money))
    block = status["block"]
    if block:
        block_lines = [
            "%s-%s, %s left" % (block["start"][11:16], block["end"][11:16], duration(block["seconds_left"])),
            "%s tokens%s"
            % (_tokens(block["total_tokens"], width), (", cost %s" % cost(block, currency=money)) if priced else ""),
            "at this pace: %s%s"
            % (
                _tokens(block["projected_tokens"], width),
                (", cost %s" % cost(block, "projected_cost", "projected_priced_cost", money)) if priced else "",
            ),
        ]
    else:
        block_lines = ["no block open", "(the next event opens one)"]
    burn = status["burn"]
    burn_lines = ["%s tokens/min" % short_tokens(burn["tokens_per_minute"])]
    if priced:
        if burn["cost_per_hour"] is None and not burn.get("priced_cost_per_hour"):
            burn_lines.append("cost unknown (usage without a price)")
        else:
            burn_lines.append("cost %s/h" % cost(burn, "cost_per_hour", "priced_cost_per_hour", money))
    return {"Today " + today["day"]: today_lines, "Current block": block_lines, "Burn rate, last hour": burn_lines}


def screen(status: Dict[str, Any], info: LastRefresh, interval: float, width: int, height: int) -> Any:
    """The whole screen for a terminal of `width` × `height`."""
    from rich import box
    from rich.console import Group
    from rich.panel import Panel
    from rich.table import Table
    from rich.text import Text

    parts: List[Any] = []
    header = Text("ledgerly watch  %s %s" % (status["now"][:10], status["now"][11:19]), style="bold")
    header.append("  (%s)" % status["timezone"], style="dim")
    header.truncate(width, overflow="ellipsis")
    footer = Text(footer_text(info, interval), style="dim")
    footer.truncate(width, overflow="ellipsis")
    panels = _lines(status, width)
    room = height - 2  # header and footer

    if width >= WIDE and room >= 6:
        grid = Table.grid(expand=True, padding=(0, 1))
        for _ in panels:
            grid.add_column(ratio=1)
        grid.add_row(
            *[
                Panel("\n".join(lines), title=title, title_align="left", box=box.ROUNDED, height=5)
                for title, lines in panels.items()
            ]
        )
        parts.append(grid)
        room -= 5
    else:
        for title, lines in panels.items():
            for i, line in enumerate([title + ": " + lines[0]] + ["  " + rest for rest in lines[1:]]):
                if room <= 0:
                    break
                text = Text(line, style="bold" if i == 0 else "")
                text.truncate(width, overflow="ellipsis")
                parts.append(text)
                room -= 1

    # Each limit on a line of its own: name, bar, percentage, use, when the pace reaches it.
    limits = status.get("limits") or []
    if limits and room >= 2:
        parts.append(Text("Limits", style="bold"))
        for line in limitview.lines(limits, status["now"], width, currency=status.get("currency"))[: room - 1]:
            text = Text(line)
            text.truncate(width, overflow="ellipsis")
            parts.append(text)
        room -= 1 + min(len(limits), room - 1)

    models = status["today_models"]
    if models and room >= 3:
        parts.append(model_table(models, status["priced"], width, room - 2, status.get("currency")))
    return Group(header, *parts, footer)


def model_table(
    models: List[Dict[str, Any]], priced: bool, width: int, rows: int, currency: Optional[str] = None
) -> Any:
    from rich import box
    from rich.table import Table

    table = Table(box=box.SIMPLE_HEAD, show_edge=False, padding=(0, 1))
    table.add_column("Model today", overflow="ellipsis", no_wrap=True, max_width=max(8, width // 3))
    columns: List[Tuple[str, Callable[[Dict[str, Any]], int]]] = [
        ("Fresh in", lambda m: int(m["input"]) - int(m["cached_input"])),
        ("Output", lambda m: int(m["output"])),
        (
            "Cache",
            lambda m: (
                int(m["cache_write_5m"]) + int(m["cache_write_1h"]) + int(m["cache_read"]) + int(m["cached_input"])
            ),
        ),
        ("Total", lambda m: int(m["total_tokens"])),
    ]
    if width < 70:
        columns = columns[-1:]
    for name, _f in columns:
        table.add_column(name, justify="right", no_wrap=True)
    if priced:
        table.add_column("Cost", justify="right", no_wrap=True)
    ordered = sorted(models, key=lambda m: (-m["total_tokens"], m["model"]))
    shown, hidden = ordered, ordered[:0]
    if len(ordered) > rows:  # the last line says how many more there are
        shown, hidden = (ordered[: rows - 1], ordered[rows - 1 :]) if rows > 1 else (ordered[:1], [])
    for m in shown:
        cells = [_tokens(f(m), width) for _n, f in columns]
        table.add_row(m["model"], *cells, *([cost(m, currency=currency)] if priced else []))
    if hidden:
        table.add_row("(%d more)" % len(hidden), *[""] * (len(columns) + (1 if priced else 0)), style="dim")
    return table


def footer_text(info: LastRefresh, interval: float) -> str:
    stamp = time.strftime("%H:%M:%S", time.localtime(info.at))
    text = "last tick %s: %s file%s, %d changed, %s read in %d ms; every %gs; Ctrl-C quits" % (
        stamp,
        plain_number(info.files),
        "" if info.files == 1 else "s",
        info.changed,
        byte_size(info.bytes_read),
        round(info.seconds * 1000),
        interval,
    )
    if info.errors:
        text = "%d unreadable; " % info.errors + text
    return text
