"""The one line of `ledgerly status`: fields and templates.

A template is text with fields in braces, ``{today_tokens} today``;
``{{`` and ``}}`` stand for literal braces. `FIELDS` lists every field with
what it shows. The values come from the status data (ledgerly.live.status,
or a server's ``/api/v1/status``) and are formatted for a narrow status
bar: tokens as 12.3K / 4.5M, durations as 1h05m, costs as bare numbers
with two decimals (the default line writes the prices' currency, as the
tables do; a template writes the sign it wants). A figure that is not
known (a cost without a price, the block of a quiet hour) shows as ``-``.

Kept free of numpy and rich: `status` imports this on every call.
"""

from __future__ import annotations

import re
from typing import Any, Callable, Dict, Mapping, Optional, Tuple

from ledgerly.cli import figures, limitview
from ledgerly.cli.figures import short_number
from ledgerly.codes import LIMIT_NAMES

UNKNOWN = "-"


class TemplateError(ValueError):
    """A template with an unknown field or an unmatched brace."""


def short_tokens(value: Optional[float]) -> str:
    return UNKNOWN if value is None else short_number(value)


def money(value: Optional[float], currency: Optional[str] = None) -> str:
    return UNKNOWN if value is None else figures.money(value, grouped=False, currency=currency)


def partial_money(cost: Optional[float], priced_cost: Optional[float], currency: Optional[str] = None) -> str:
    """A cost; when some of the usage has no price (`cost` None), the cost
    of the part that has one marked +; unknown when none of it has."""
    if cost is not None:
        return money(cost, currency)
    if priced_cost:
        return figures.money(priced_cost, grouped=False, currency=currency) + "+"
    return UNKNOWN


# A cost field: the status data, and the currency to write (None: a bare
# number, as a template's fields are, so that the template writes the sign).
CostField = Callable[[Mapping[str, Any], Optional[str]], str]


def _cost(part: str, cost: str = "cost", priced_cost: str = "priced_cost") -> CostField:
    """The field that shows the cost `cost` of the status's `part` (with
    its priced part `priced_cost` when the cost is unknown)."""

    def show(s: Mapping[str, Any], currency: Optional[str] = None) -> str:
        data = s.get(part)
        return partial_money(data[cost], data.get(priced_cost), currency) if data else UNKNOWN

    return show


COSTS: Dict[str, CostField] = {
    "today_cost": _cost("today"),
    "block_cost": _cost("block"),
    "projected_cost": _cost("block", "projected_cost", "projected_priced_cost"),
    "burn_cost": _cost("burn", "cost_per_hour", "priced_cost_per_hour"),
    "session_cost": _cost("session"),
}


def _bare(name: str) -> Callable[[Mapping[str, Any]], str]:
    return lambda s: COSTS[name](s, None)


def duration(seconds: Optional[int]) -> str:
    if seconds is None:
        return UNKNOWN
    minutes = max(0, int(seconds)) // 60
    return "%dh%02dm" % (minutes // 60, minutes % 60) if minutes >= 60 else "%dm" % minutes


def _block(key: str, fmt: Callable[[Any], str]) -> Callable[[Mapping[str, Any]], str]:
    return lambda s: fmt(s["block"][key]) if s.get("block") else UNKNOWN


def _limit(name: str, fmt: Callable[[Mapping[str, Any], str], str]) -> Callable[[Mapping[str, Any]], str]:
    """The field that shows the limit `name` of the status's `limits`."""

    def show(s: Mapping[str, Any]) -> str:
        for use in s.get("limits") or ():
            if use["name"] == name:
                return fmt(use, s["now"])
        return UNKNOWN

    return show


def _limit_fields() -> Dict[str, Field]:
    fields: Dict[str, Field] = {"limit": ("the limit used the most, e.g. 'block tokens 73%, full at 14:05'", _headline)}
    for name in LIMIT_NAMES:
        words = name.replace("_", " ")
        fields[name + "_use"] = ("use of the %s limit (73%%)" % words, _limit(name, _percent))
        fields[name + "_bar"] = ("the same as a bar", _limit(name, lambda u, now: limitview.bar(u["percent"], 10)))
        fields[name + "_at"] = ("when the current pace reaches the %s limit (HH:MM)" % words, _limit(name, _at))
    return fields


def _headline(s: Mapping[str, Any]) -> str:
    return limitview.headline(s.get("limits") or [], s["now"]) or UNKNOWN


def _percent(use: Mapping[str, Any], now: str) -> str:
    return limitview.percent_text(use["percent"])


def _at(use: Mapping[str, Any], now: str) -> str:
    return limitview.clock(use["reaches_at"], now) if use.get("reaches_at") else UNKNOWN


def _session(key: str, fmt: Callable[[Any], str]) -> Callable[[Mapping[str, Any]], str]:
    return lambda s: fmt(s["session"][key]) if s.get("session") else UNKNOWN


Field = Tuple[str, Callable[[Mapping[str, Any]], str]]
FIELDS: Dict[str, Field] = {  # name -> (what it shows, how it is computed from the status data)
    "today_tokens": ("tokens used today (12.3K)", lambda s: short_tokens(s["today"]["total_tokens"])),
    "today_tokens_exact": ("tokens used today, every digit", lambda s: str(s["today"]["total_tokens"])),
    "today_cost": ("cost of today's usage", _bare("today_cost")),
    "block_tokens": ("tokens in the current 5-hour block", _block("total_tokens", short_tokens)),
    "block_cost": ("cost of the current block", _bare("block_cost")),
    "block_left": ("time left in the current block (1h05m)", _block("seconds_left", duration)),
    "block_end": ("when the current block ends (HH:MM)", _block("end", lambda t: t[11:16])),
    "projected_tokens": ("tokens the block reaches at the current pace", _block("projected_tokens", short_tokens)),
    "projected_cost": ("cost the block reaches at the current pace", _bare("projected_cost")),
    "burn_rate": ("tokens per minute over the last hour", lambda s: short_tokens(s["burn"]["tokens_per_minute"])),
    "burn_cost": ("cost per hour over the last hour", _bare("burn_cost")),
    "day": ("today's date (YYYY-MM-DD)", lambda s: s["today"]["day"]),
    "time": ("the time of the answer (HH:MM)", lambda s: s["now"][11:16]),
    "session_id": ("the session named on standard input", _session("id", str)),
    "session_tokens": ("tokens of that session (12.3K)", _session("total_tokens", short_tokens)),
    "session_tokens_exact": ("the same, every digit", _session("total_tokens", str)),
    "session_cost": ("cost of that session", _bare("session_cost")),
    **_limit_fields(),
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
    """The line shown without --format: the session's tokens when one was
    named, today's tokens (and costs when prices are known), the block's
    time left when one is open, the pace, and the limit used the most."""
    priced = bool(status.get("priced"))
    currency = status.get("currency")

    def cost(name: str, after: str = "") -> str:
        # Costs in the prices' currency, as the tables write them ($0.42).
        return " " + COSTS[name](status, currency) + after if priced else ""

    parts = []
    if status.get("session"):
        parts.append(render("session {session_tokens}", status) + cost("session_cost"))
    parts.append(render("{today_tokens} today", status) + cost("today_cost"))
    if status.get("block"):
        parts.append(render("block {block_left} left", status))
    parts.append(render("{burn_rate}/min", status) + cost("burn_cost", "/h"))
    if status.get("limits"):
        parts.append(render("{limit}", status))
    return " | ".join(parts)
