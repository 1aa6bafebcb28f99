"""Token-usage accounting for AI coding-agent session logs.

A native engine does the reading: refreshed with a manifest of log files,
it returns the counted usage events as 104-byte records. It comes in two
faces: ``ledgerly._ledger``, which also names the log file of every record
and which the `Ledger` uses, and ``ledgerly._native`` (`Engine` here),
which returns the records alone, for a caller that needs only them.
Around it:

- `Ledger` (ledgerly.ledger): finds the logs, keeps one engine, and returns
  a `Snapshot` whose rows are compact numpy columns read by field name
  (`ledgerly.columns.Rows`), with the log file of each row;
- `report` (ledgerly.reports): token sums and costs grouped by day, week,
  month, model, project, tier, subagent or dialect; `list_sessions` and
  `session_detail` (ledgerly.sessions): the same per session (log file,
  with its subagents' logs), and one session per model and day; `blocks` and
  `block_status` (ledgerly.block_reports): the same per 5-hour block, and
  the state of the current block; `insights` (ledgerly.insights): usage by
  weekday and hour, sessions' active time, what the cache saved, and this
  week and month against the last; each takes its parameters as keywords and
  checks them by making one `ledgerly.params.Query`;
- `PriceTable` and `load_prices` (ledgerly.prices), `load_config`
  (ledgerly.config), `resolve_sources` (ledgerly.sources);
- `export_parquet` (ledgerly.team.export): the events as a Hive-partitioned
  Parquet tree (needs pyarrow); `query_report` (ledgerly.team.query): reports
  over such a tree, one machine's or many merged (needs duckdb).

Those names are imported on first use, so that ``import ledgerly`` stays
cheap for a caller that only needs the engine. The command line
(ledgerly.cli), the live views and the server (ledgerly.live) and the team
export (ledgerly.team) are wings over this library; docs/architecture.md
draws them.
"""

from __future__ import annotations

import importlib
import sys
from typing import TYPE_CHECKING, Any

from ledgerly._native import Engine
from ledgerly.version import __version__ as __version__

if TYPE_CHECKING:
    from ledgerly.block_reports import BlockStatus, block_status, blocks
    from ledgerly.config import Config, ConfigError, load_config
    from ledgerly.insights import Insights, insights
    from ledgerly.layout import RECORD_DTYPE, RECORD_SIZE, RECORD_WORDS, TOKEN_FIELDS, view_rows
    from ledgerly.ledger import Ledger
    from ledgerly.prices import PriceTable, load_prices
    from ledgerly.reports import Group, Report, ReportError, report
    from ledgerly.sessions import SessionDetail, SessionError, SessionReport, list_sessions, session_detail
    from ledgerly.snapshot import Snapshot
    from ledgerly.sources import Source, SourceError, resolve_sources
    from ledgerly.team.export import ExportError, ExportResult, export_parquet
    from ledgerly.team.query import QueryError, query_report

# Initialising the extension publishes its PanicException class on this
# package (the extension module itself keeps Engine as its only attribute).
# When this package is imported again after being dropped from sys.modules
# while the extension stayed loaded, the extension is initialised once more
# (it hands back the same module object) to publish the class here too.
if "PanicException" not in globals():
    del sys.modules["ledgerly._native"]
    importlib.import_module("ledgerly._native")

PanicException = globals()["PanicException"]

_LAZY = {
    "Config": "config",
    "ConfigError": "config",
    "load_config": "config",
    "Insights": "insights",
    "insights": "insights",
    "ExportError": "team.export",
    "ExportResult": "team.export",
    "export_parquet": "team.export",
    "RECORD_DTYPE": "layout",
    "RECORD_SIZE": "layout",
    "RECORD_WORDS": "layout",
    "TOKEN_FIELDS": "layout",
    "view_rows": "layout",
    "Ledger": "ledger",
    "Snapshot": "snapshot",
    "PriceTable": "prices",
    "load_prices": "prices",
    "QueryError": "team.query",
    "query_report": "team.query",
    "Group": "reports",
    "Report": "reports",
    "ReportError": "reports",
    "blocks": "block_reports",
    "block_status": "block_reports",
    "BlockStatus": "block_reports",
    "report": "reports",
    "SessionDetail": "sessions",
    "SessionError": "sessions",
    "SessionReport": "sessions",
    "list_sessions": "sessions",
    "session_detail": "sessions",
    "Source": "sources",
    "SourceError": "sources",
    "resolve_sources": "sources",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module 'ledgerly' has no attribute %r" % name)
    value = getattr(importlib.import_module("ledgerly." + module), name)
    globals()[name] = value
    return value


__all__ = [
    "RECORD_DTYPE",
    "RECORD_SIZE",
    "RECORD_WORDS",
    "TOKEN_FIELDS",
    "BlockStatus",
    "Config",
    "ConfigError",
    "Engine",
    "ExportError",
    "ExportResult",
    "Group",
    "Insights",
    "Ledger",
    "PanicException",
    "PriceTable",
    "QueryError",
    "Report",
    "ReportError",
    "SessionDetail",
    "SessionError",
    "SessionReport",
    "Snapshot",
    "Source",
    "SourceError",
    "block_status",
    "blocks",
    "export_parquet",
    "insights",
    "list_sessions",
    "load_config",
    "load_prices",
    "query_report",
    "report",
    "resolve_sources",
    "session_detail",
    "view_rows",
]
