"""The dashboard as one file: `ledgerly report --html FILE`.

The page is the dashboard itself (`static/index.html`) with its style
sheet and scripts inlined, and with the answers its script would ask the
server for written into it as JSON (`<script type="application/json"
id="ledgerly-report">`). Its script finds them there instead of asking
(`api` in app.js looks an answer up by the same path and parameters it
would have sent), so the one renderer draws both. The page loads nothing:
a Content-Security-Policy in it refuses every request (and the event
stream is never opened), the charts are SVG it draws itself.

What it holds, for the range of one query: the cards, the limits, the
daily chart, the models, the projects, the first sessions and the
insights, each the JSON the server's API answers for the same parameters.
The status (the day, the 5-hour block, the pace and the limits) is taken
at the range's end when that lies in the past, else when the report is
made. Its size grows with the days, models, projects and sessions shown,
never with the events.
"""

from __future__ import annotations

import importlib.resources
import json
from dataclasses import replace
from typing import Any, Dict, Optional, Sequence, Tuple

from ledgerly.insights import insights_for, reference_instant
from ledgerly.ledger import Snapshot
from ledgerly.limits import Limits
from ledgerly.live.status import status_for
from ledgerly.params import InsightsQuery, SessionQuery
from ledgerly.prices import PriceTable
from ledgerly.reports import report_for
from ledgerly.sessions import sessions_for
from ledgerly.timezones import format_instant

# The sessions the dashboard lists (SESSIONS_SHOWN in app.js).
SESSIONS_SHOWN = 15
DATA_ID = "ledgerly-report"
# Nothing may be fetched: no connection, image, font, frame or form target.
POLICY = "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:; form-action 'none'"


def answer_key(path: str, parameters: Sequence[Tuple[str, str]]) -> str:
    """The key an answer is found by: the API path and its parameters as
    ``name=value``, sorted, joined by ``&`` (app.js's `answerKey`)."""
    return path + "?" + "&".join(sorted("%s=%s" % pair for pair in parameters))


def local_day(ms: int, query: InsightsQuery) -> str:
    return format_instant(ms, query.rows.zone)[:10]


def report_data(
    snapshot: Snapshot,
    query: InsightsQuery,
    prices: Optional[PriceTable],
    limits: Optional[Limits],
    now: int,
) -> Dict[str, Any]:
    """Everything the page shows, as the JSON the page embeds: the range as
    the page's controls show it (dates in the zone), when the report was
    made and the instant its status is taken at, and the answers by key."""
    rows = query.rows
    zone = rows.zone
    at = reference_instant(query, now)

    def report(group: str, breakdown: bool = False, ranged: bool = True) -> Any:
        one = (
            replace(rows, by=(group,), breakdown=breakdown)
            if ranged
            else replace(rows, by=(group,), low=None, high=None)
        )
        return report_for(snapshot, one, prices).to_dict()

    # The range as the page's date fields show it: its first and last day,
    # or for an open end the first or last day with usage.
    daily = report("day", breakdown=True)
    days = [row["day"] for row in daily["rows"]]
    since = local_day(rows.low, query) if rows.low is not None else (days[0] if days else "")
    until = local_day(rows.high - 1, query) if rows.high is not None else (days[-1] if days else "")
    # The parameters the page sends: the zone, the range's dates, and each view's own.
    common = [("tz", zone.name)] + [(k, v) for k, v in (("since", since), ("until", until)) if v]

    status_query = replace(rows, by=(), low=None, high=None)
    if limits and not limits.fresh(at):
        from ledgerly.limits import with_largest_block

        limits = with_largest_block(limits, snapshot, status_query, prices, at)
    status = status_for(snapshot, status_query, prices, now=at, limits=limits or None)
    status["generation"] = 0
    answers = {
        answer_key("/report", common + [("group", "day"), ("breakdown", "true")]): daily,
        answer_key("/report", common + [("group", "model")]): report("model"),
        answer_key("/report", common + [("group", "project")]): report("project"),
        answer_key("/status", [("tz", zone.name)]): status,
        answer_key("/sessions", common + [("top", str(SESSIONS_SHOWN))]): sessions_for(
            snapshot, SessionQuery(replace(rows, by=()), top=SESSIONS_SHOWN), prices
        ).to_dict(),
        # The colours of the models follow their ranking over all time.
        answer_key("/report", [("group", "model")]): report("model", ranged=False),
        answer_key("/insights", common): insights_for(snapshot, query, prices, now).to_dict(),
    }
    return {
        "timezone": zone.name,
        "since": since,
        "until": until,
        "made": format_instant(now, zone),
        "at": format_instant(at, zone),
        "answers": answers,
    }


def _asset(name: str) -> str:
    return (importlib.resources.files("ledgerly.live") / "static" / name).read_text(encoding="utf-8")


def _inline(text: str, tag: str) -> str:
    """`text` as the content of an inline `tag` element, which it must not end early."""
    if ("</" + tag) in text.lower():
        raise ValueError("the dashboard's %s holds '</%s'" % (tag, tag))
    return "<%s>\n%s</%s>" % (tag, text, tag)


def embedded_json(data: Any) -> str:
    """JSON that is safe as the text of a script element: no ``<``, ``>``
    or ``&`` (a name from the logs holding ``</script>`` stays text), and
    no line or paragraph separators."""
    text = json.dumps(data, ensure_ascii=False, separators=(",", ":"))
    for char, escape in (
        ("<", "\\u003c"),
        (">", "\\u003e"),
        ("&", "\\u0026"),
        ("\u2028", "\\u2028"),
        ("\u2029", "\\u2029"),
    ):
        text = text.replace(char, escape)
    return text


def _swap(page: str, old: str, new: str) -> str:
    if page.count(old) != 1:
        raise ValueError("the dashboard's page has no single %r" % old)
    return page.replace(old, new)


def report_html(data: Dict[str, Any]) -> str:
    """The page: the dashboard's HTML with its style sheet and scripts
    inline and `data` (from `report_data`) embedded."""
    import html

    page = _asset("index.html")
    title = "ledgerly report"
    if data["since"] or data["until"]:
        title += ", %s to %s" % (data["since"] or "the start", data["until"] or data["made"][:10])
    page = _swap(page, "<title>ledgerly</title>", "<title>%s</title>" % html.escape(title))
    policy = '<meta http-equiv="Content-Security-Policy" content="%s">\n' % POLICY
    page = _swap(page, '<meta charset="utf-8">\n', '<meta charset="utf-8">\n' + policy)
    page = _swap(page, '<link rel="stylesheet" href="/static/style.css">', _inline(_asset("style.css"), "style"))
    page = _swap(page, '<script src="/static/insights.js" defer></script>\n', "")
    page = _swap(page, '<script src="/static/app.js" defer></script>\n', "")
    scripts = '<script type="application/json" id="%s">%s</script>\n%s\n%s\n' % (
        DATA_ID,
        embedded_json(data),
        _inline(_asset("insights.js"), "script"),
        _inline(_asset("app.js"), "script"),
    )
    return _swap(page, "</body>", scripts + "</body>")
