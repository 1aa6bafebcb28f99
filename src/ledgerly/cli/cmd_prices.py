"""The `prices` subcommand: a price table to fill in, and what a table covers.

    ledgerly prices init [FILE]     a skeleton: one commented entry per model seen, the most tokens first
    ledgerly prices check           which models the table prices, which it does not, which globs price nothing

ledgerly ships no prices: `init` writes the models of the user's own logs,
with the keys each one's usage needs and its token counts as comments, and
no figure. An entry left commented out prices nothing; one uncommented but
not filled in is a TOML error that names its line, never a price of 0.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from ledgerly.cli.errors import FOUND, PARTIAL, CommandError
from ledgerly.cli.options import load_context, source_options, summarise_errors

if TYPE_CHECKING:
    from ledgerly.cli.options import Context
    from ledgerly.prices import PriceTable

# What each price key prices, for the comments of a skeleton.
KEY_TEXT = {
    "input": "fresh input",
    "cached_input": "cached input",
    "output": "output",
    "cache_write_5m": "5-minute cache writes",
    "cache_write_1h": "1-hour cache writes",
    "cache_read": "cache reads",
}
HEADER = """\
# A price table for ledgerly, made from the models in your logs: one entry per
# model, the most tokens first. Prices are per million tokens, in one currency
# of your choice. To price a model, remove the "# " before its entry's lines and
# write a number after each "="; an entry left commented out prices nothing (its
# usage is shown without a cost). The first glob that matches a model gives its
# prices, so one glob such as "alpha-4*" may price several models.
# Use the file with --prices FILE, or copy its entries into the config file.
#
# Keys: input (fresh input), cached_input (the cached part of the input),
# output (reasoning included), cache_write_5m, cache_write_1h, cache_read.
# Each entry lists the keys that its model's usage needs.

[prices]
"""


@dataclass(frozen=True)
class Seen:
    """A model in the logs: its name, total tokens, and the priced
    quantities of its usage per price key (only the keys it used)."""

    model: str
    total_tokens: int
    parts: Dict[str, int]


def register(commands: argparse._SubParsersAction[Any]) -> None:
    parser = commands.add_parser(
        "prices",
        help="write a price table to fill in, or check what a price table covers",
        description="ledgerly ships no prices. 'prices init' writes a price table with one entry per model in "
        "your logs, ready to fill in; 'prices check' says which models a price table covers and which globs "
        "price nothing.",
    )
    actions = parser.add_subparsers(dest="action", metavar="ACTION", required=True)
    init = actions.add_parser(
        "init",
        parents=[source_options(paths=False)],
        help="write a price table skeleton: one commented entry per model seen, the most tokens first",
        description="Write a price table skeleton to FILE (or print it): one commented entry per model seen in "
        "the logs, the most tokens first, with the keys its usage needs and its token counts. An existing FILE "
        "is never replaced without --force.",
    )
    init.add_argument("file", nargs="?", metavar="FILE", help="where to write it (default: print it)")
    init.add_argument("--force", action="store_true", help="replace FILE if it exists")
    init.add_argument("--json", action="store_true", help="print the models and the keys they need as JSON")
    init.set_defaults(run=run_init)
    check = actions.add_parser(
        "check",
        parents=[source_options(paths=False)],
        help="which models the price table covers, and which globs price nothing",
        description="Check the price table (--prices FILE, or the config's) against the models in the logs: "
        "which are priced and by which glob, which lack a price (or some keys), and which globs price no model. "
        "Exits %d when some usage has no price." % FOUND,
    )
    check.add_argument("--prices", metavar="FILE", help="price table file (a [prices] table; replaces the config's)")
    check.add_argument("--json", action="store_true", help="print JSON")
    check.set_defaults(run=run_check)


def models_seen(ctx: Context) -> Tuple[List[Seen], Any]:
    """Every model in the logs, the most tokens first (ties by name), and
    the snapshot they were read from."""
    import numpy as np

    from ledgerly.cli.progress import run_refresh
    from ledgerly.cli.saved import open_ledger
    from ledgerly.params import make_query
    from ledgerly.prices import PRICE_KEYS
    from ledgerly.prices.classes import priced_parts
    from ledgerly.reports import report_for

    ledger = open_ledger(ctx)
    snapshot = run_refresh(ledger, ledger.list_files())
    report = report_for(snapshot, make_query(("model",), tz="UTC"), None)
    seen = []
    for group in report.rows:
        parts = priced_parts(np.asarray([group.tokens], dtype=np.int64))[0].tolist()
        used = {key: int(part) for key, part in zip(PRICE_KEYS, parts) if part}
        seen.append(Seen(str(group.key["model"]), group.total_tokens, used))
    seen.sort(key=lambda s: (-s.total_tokens, s.model))
    return seen, snapshot


# ---------------------------------------------------------------------------
# init


def toml_key(text: str) -> str:
    """`text` as a quoted TOML key (a basic string)."""
    out = []
    for c in text:
        if c in '"\\':
            out.append("\\" + c)
        elif ord(c) < 0x20 or ord(c) == 0x7F:
            out.append("\\u%04x" % ord(c))
        else:
            out.append(c)
    return '"%s"' % "".join(out)


def glob_for(model: str) -> str:
    """A glob that matches exactly `model` (glob characters in brackets)."""
    return "".join("[%s]" % c if c in "*?[" else c for c in model)


def skeleton(seen: Sequence[Seen]) -> str:
    """The price table text: a loadable, empty [prices] table, then one
    commented entry per model."""
    from ledgerly.cli.figures import plain_number

    lines = [HEADER]
    for s in seen:
        lines.append("# %s: %s tokens" % (toml_key(s.model), plain_number(s.total_tokens)))
        lines.append("# [prices.%s]" % toml_key(glob_for(s.model)))
        for key, count in s.parts.items():
            lines.append("# %-16s # %s tokens of %s" % (key + " =", plain_number(count), KEY_TEXT[key]))
        lines.append("")
    return "\n".join(lines)


def write_new(path: str, text: str, force: bool) -> None:
    """Writes `text` to `path`: only when nothing is there, or (`force`)
    through a temporary file renamed over it, so that a failed write leaves
    the old file whole. Raises CommandError."""
    try:
        if not force:
            with open(path, "x", encoding="utf-8") as f:
                f.write(text)
            return
        folder = os.path.dirname(os.path.abspath(path))
        fd, temporary = tempfile.mkstemp(prefix=".prices-", suffix=".toml", dir=folder)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
    except FileExistsError:
        raise CommandError("%s exists; 'ledgerly prices init --force %s' replaces it" % (path, path)) from None
    except IsADirectoryError:
        raise CommandError("%s is a folder; name a file" % path) from None
    except OSError as exc:
        raise CommandError("writing %s failed: %s" % (path, exc.strerror or exc), PARTIAL) from None


def run_init(args: argparse.Namespace) -> int:
    ctx = load_context(args)
    seen, snapshot = models_seen(ctx)
    text = skeleton(seen)
    if args.file:
        write_new(args.file, text, args.force)
    if args.json:
        data = {
            "models": [
                {"model": s.model, "glob": glob_for(s.model), "total_tokens": s.total_tokens, "keys": s.parts}
                for s in seen
            ],
            "file": os.path.abspath(args.file) if args.file else None,
        }
        sys.stdout.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    elif args.file:
        sys.stdout.write(
            "Wrote %d model%s to %s: write their prices, then use --prices %s\n"
            % (len(seen), "" if len(seen) == 1 else "s", args.file, args.file)
        )
    else:
        sys.stdout.write(text)
    sys.stdout.flush()
    summarise_errors(snapshot.errors, args.verbose)
    return 1 if snapshot.errors else 0


# ---------------------------------------------------------------------------
# check


@dataclass(frozen=True)
class Coverage:
    """What a price table does for the models seen: per model the glob that
    prices it (None: none matches) and the keys its usage needs that the
    entry lacks; the globs that price no model, with why."""

    models: List[Tuple[Seen, Optional[str], List[str]]]
    unused: List[Tuple[str, str]]

    @property
    def complete(self) -> bool:
        return all(glob is not None and not missing for _s, glob, missing in self.models)


def coverage(seen: Sequence[Seen], prices: PriceTable) -> Coverage:
    from ledgerly.prices import PRICE_KEYS

    models: List[Tuple[Seen, Optional[str], List[str]]] = []
    pricing = set()
    for s in seen:
        entry = prices.price_for(s.model)
        if entry is None:
            models.append((s, None, list(s.parts)))
            continue
        pricing.add(entry.glob)
        given = dict(zip(PRICE_KEYS, entry.per_million))
        models.append((s, entry.glob, [key for key in s.parts if given[key] is None]))
    unused = []
    for entry in prices.entries:
        if entry.glob in pricing:
            continue
        matched = any(entry.matches(s.model) for s in seen)
        unused.append(
            (entry.glob, "every model it matches is priced by an earlier glob" if matched else "matches no model seen")
        )
    return Coverage(models, unused)


def run_check(args: argparse.Namespace) -> int:
    ctx = load_context(args)
    if ctx.prices is None:
        raise CommandError(
            "no price table: give --prices FILE or a [prices] table in the config "
            "('ledgerly prices init FILE' writes one to fill in)"
        )
    origin = os.path.abspath(args.prices) if args.prices else ctx.config.path
    seen, snapshot = models_seen(ctx)
    found = coverage(seen, ctx.prices)
    if args.json:
        data = {
            "prices": origin,
            "models": [
                {"model": s.model, "total_tokens": s.total_tokens, "glob": glob, "missing": missing}
                for s, glob, missing in found.models
            ],
            "unused_globs": [{"glob": glob, "reason": reason} for glob, reason in found.unused],
            "complete": found.complete,
        }
        sys.stdout.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    else:
        draw_check(found, origin)
    sys.stdout.flush()
    summarise_errors(snapshot.errors, args.verbose)
    if snapshot.errors:
        return 1
    return 0 if found.complete else FOUND


def draw_check(found: Coverage, origin: Optional[str]) -> None:
    from ledgerly.cli import cells
    from ledgerly.cli.figures import plain_number
    from ledgerly.cli.render import console_for, show, titled_table

    console = console_for(sys.stdout)
    priced = sum(1 for _s, glob, missing in found.models if glob is not None and not missing)
    table = titled_table("Prices of the models in the logs")
    # Names are cut at the end when the terminal is narrow; the figures never.
    room = max(12, (console.width - 30) // 3)
    table.add_column("Model", no_wrap=True)
    table.add_column("Tokens", justify="right", no_wrap=True)
    table.add_column("Priced by", no_wrap=True)
    table.add_column("Lacks", no_wrap=True)
    for s, glob, missing in found.models:
        lacks = "a price" if glob is None else ", ".join(missing) if missing else "–"
        table.add_row(
            cells.cut_end(s.model, room),
            plain_number(s.total_tokens),
            "–" if glob is None else cells.cut_end(glob, room),
            cells.cut_end(lacks, room),
        )
    show(console, table)
    where = " by %s" % cells.printable(cells.with_tilde(origin)) if origin else ""
    show(console, "%d of %d models fully priced%s." % (priced, len(found.models), where))
    for glob, reason in found.unused:
        show(console, "Glob %s prices no model: %s." % (toml_key(glob), reason))
