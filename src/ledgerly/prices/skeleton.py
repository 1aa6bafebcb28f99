"""A price table to fill in: one commented entry per model seen.

ledgerly ships no prices: the skeleton holds the models of the user's own
logs, with the keys each one's usage needs and its token counts as
comments, and no figure. As written it loads as an empty ``[prices]``
table; an entry uncommented but not filled in is a TOML error that names
its line, never a price of 0.
"""

from __future__ import annotations

from typing import Sequence

from ledgerly.prices.seen import Seen

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
    lines = [HEADER]
    for s in seen:
        lines.append("# %s: %s tokens" % (toml_key(s.model), f"{s.total_tokens:,}"))
        lines.append("# [prices.%s]" % toml_key(glob_for(s.model)))
        for key, count in s.parts.items():
            lines.append("# %-16s # %s tokens of %s" % (key + " =", f"{count:,}", KEY_TEXT[key]))
        lines.append("")
    return "\n".join(lines)
