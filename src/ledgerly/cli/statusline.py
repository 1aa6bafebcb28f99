"""The one line of `ledgerly status`: fields and templates.

A template is text with fields in braces, ``{today_tokens} today``;
``{{`` and ``}}`` stand for literal braces. `FIELDS` lists every field with
what it shows. The values come from the status data (ledgerly.live.status,
or a server's ``/api/v1/status``) and are formatted for a narrow status
bar: tokens as 12.3K / 4.5M, durations as 1h05m, costs with two decimals.
A figure that is not known (a cost without a price, the block of a quiet
hour) shows as ``-``.

Kept free of numpy and rich: `status` imports this on every call.
"""

from __future__ import annotations

import re
from typing import Any, Callable, Dict, Mapping, Optional, Tuple

from ledgerly.cli import figures
from ledgerly.cli.figures import short_number

UNKNOWN = "-"


class TemplateError(ValueError):
    """A template with an unknown field or an unmatched brace."""


def short_tokens(value: Optional[float]) -> str:
    return UNKNOWN if value is None else short_number(value)


def money(value: Optional[float]) -> str:
    return UNKNOWN if value is None else figures.money(value, grouped=False)


def duration(seconds: Optional[int]) -> str:
    if seconds is None:
        return UNKNOWN
    minutes = max(0, int(seconds)) // 60
    return "%dh%02dm" % (minutes // 60, minutes % 60) if minutes >= 60 else "%dm" % minutes


def _block(key: str, fmt: Callable[[Any], str]) -> Callable[[Mapping[str, Any]], str]:
    return lambda s: fmt(s["block"][key]) if s.get("block") else UNKNOWN


Field = Tuple[str, Callable[[Mapping[str, Any]], str]]
FIELDS: Dict[str, Field] = {  # name -> (what it shows, how it is computed from the status data)
    "today_tokens": ("tokens used today (12.3K)", lambda s: short_tokens(s["today"]["total_tokens"])),
    "today_tokens_exact": ("tokens used today, every digit", lambda s: str(s["today"]["total_tokens"])),
    "today_cost": ("cost of today's usage", lambda s: money(s["today"]["cost"])),
    "block_tokens": ("tokens in the current 5-hour block", _block("total_tokens", short_tokens)),
    "block_cost": ("cost of the current block", _block("cost", money)),
    "block_left": ("time left in the current block (1h05m)", _block("seconds_left", duration)),
    "block_end": ("when the current block ends (HH:MM)", _block("end", lambda t: t[11:16])),
    "projected_tokens": ("tokens the block reaches at the current pace", _block("projected_tokens", short_tokens)),
    "projected_cost": ("cost the block reaches at the current pace", _block("projected_cost", money)),
    "burn_rate": ("tokens per minute over the last hour", lambda s: short_tokens(s["burn"]["tokens_per_minute"])),
    "burn_cost": ("cost per hour over the last hour", lambda s: money(s["burn"]["cost_per_hour"])),
    "day": ("today's date (YYYY-MM-DD)", lambda s: s["today"]["day"]),
    "time": ("the time of the answer (HH:MM)", lambda s: s["now"][11:16]),
}

_FIELD_RE = re.compile(r"\{\{|\}\}|\{([a-z_]*)\}|[{}]")


def check(template: str) -> None:
    """Raises TemplateError when `template` names an unknown field or has
    an unmatched brace."""
    for match in _FIELD_RE.finditer(template):
        token = match.group(0)
        if token in ("{{", "}}"):
            continue
        name = match.group(1)
        if name is None:
            raise TemplateError("unmatched %r in the template (write {{ or }} for a brace)" % token)
        if name not in FIELDS:
            raise TemplateError("unknown field {%s} (fields: %s)" % (name, ", ".join(FIELDS)))


def render(template: str, status: Mapping[str, Any]) -> str:
    """The template with its fields filled in from `status`."""
    check(template)

    def fill(match: re.Match[str]) -> str:
        token = match.group(0)
        if token in ("{{", "}}"):
            return token[0]
        return str(FIELDS[match.group(1)][1](status))

    return _FIELD_RE.sub(fill, template)


def default_line(status: Mapping[str, Any]) -> str:
    """The line shown without --format: today's tokens (and cost when
    prices are known), the block's time left when one is open, the pace."""
    priced = bool(status.get("priced"))
    parts = [render("{today_tokens} today" + (" {today_cost}" if priced else ""), status)]
    if status.get("block"):
        parts.append(render("block {block_left} left", status))
    parts.append(render("{burn_rate}/min" + (" {burn_cost}/h" if priced else ""), status))
    return " | ".join(parts)
