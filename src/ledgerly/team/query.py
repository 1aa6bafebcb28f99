"""Reports over an exported Parquet tree, computed by DuckDB.

    report = query_report("team-usage", by=("month", "machine"), since="2025-01-01")
    print(report.to_json())

The tree is what `ledgerly.team.export` writes, from one machine or many copied
side by side: ``DIR/machine=NAME/day=YYYY-MM-DD/*.parquet``. DuckDB sums the
events per key and model; the result goes through the same assembly as
every other report (`ledgerly.reports.assemble`), so that its rows, totals,
JSON and CSV forms are those of `ledgerly daily` and the others.

Days, weeks and months are UTC (the tree's partitions are UTC days: a team
whose members live in several zones needs one calendar). Costs are the ones
written at export time; a group holding any event without a cost (unpriced
usage, or a machine that exported without a price table) has no cost, as
in the other reports. `connect` opens the tree as a DuckDB view for SQL of
one's own.
"""

from __future__ import annotations

import fnmatch
import os
import re
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ledgerly import localtime
from ledgerly.grouping import INT64_MAX
from ledgerly.layout import TOKEN_FIELDS
from ledgerly.params import TREE_GROUPS, Globs, Query, make_query
from ledgerly.reports import FineGroups, Report, assemble
from ledgerly.team import require
from ledgerly.timezones import DAY_MS, Bound

VIEW = "usage"
_MACHINE_DIR = re.compile(r"machine=(.+)\Z")
_DAY_DIR = re.compile(r"day=(\d{4}-\d{2}-\d{2})\Z")
PathArg = Union[str, "os.PathLike[str]"]

# The exported day of an event, from its timestamp (floor division, exact).
_MS = 'epoch_ms("timestamp")'
_DAY = "((%s - ((%s %% %d) + %d) %% %d) // %d)" % (_MS, _MS, DAY_MS, DAY_MS, DAY_MS, DAY_MS)
_DATE = "(DATE '1970-01-01' + CAST(%s AS INTEGER))" % _DAY
_KEYS = {
    "day": _DAY,
    "week": "(%s - (((%s + 3) %% 7) + 7) %% 7)" % (_DAY, _DAY),
    "month": "((year(%s) - 1970) * 12 + month(%s) - 1)" % (_DATE, _DATE),
    "machine": "machine",
    "model": "model",
    "project": "project",
    "tier": "tier",
    "subagent": "subagent",
    "dialect": "dialect",
}


class QueryError(ValueError):
    """A tree that cannot be queried: missing, empty or unreadable."""


class ReadError(QueryError):
    """DuckDB could not read the tree (a damaged or foreign file)."""


def require_duckdb() -> Any:
    """The `duckdb` module, or MissingExtra saying what to install."""
    return require("duckdb", "querying Parquet", "query")


def partition_files(directory: PathArg) -> List[Tuple[str, str, str]]:
    """(machine, day, path) of every data file in the tree, sorted. Hidden
    files (an export's temporary files, its lock) are not data."""
    directory = os.fspath(directory)
    if not os.path.isdir(directory):
        raise QueryError("%s is not a folder" % directory)
    found: List[Tuple[str, str, str]] = []
    for machine_entry in sorted(os.scandir(directory), key=lambda e: e.name):
        machine = _MACHINE_DIR.match(machine_entry.name)
        if not machine or not machine_entry.is_dir():
            continue
        for day_entry in sorted(os.scandir(machine_entry.path), key=lambda e: e.name):
            day = _DAY_DIR.match(day_entry.name)
            if not day or not day_entry.is_dir():
                continue
            for entry in sorted(os.scandir(day_entry.path), key=lambda e: e.name):
                if entry.name.endswith(".parquet") and not entry.name.startswith((".", "_")) and entry.is_file():
                    found.append((machine.group(1), day.group(1), entry.path))
    return found


# The files of a tree, given as the first parameter, with the partition
# columns typed (a machine named 2024 stays text).
_SOURCE = "read_parquet(?, hive_partitioning = true, hive_types = {'machine': 'VARCHAR', 'day': 'DATE'})"


def connect(directory: PathArg) -> Any:
    """A DuckDB connection with the view `usage` over every data file of
    the tree (machine and day as columns)."""
    duckdb = require_duckdb()
    files = [path for _m, _d, path in partition_files(directory)]
    if not files:
        raise QueryError(_empty(directory))
    con = duckdb.connect()
    # A view cannot hold parameters: the file list goes in as a literal.
    listed = "[%s]" % ", ".join("'%s'" % f.replace("'", "''") for f in files)
    con.execute("CREATE VIEW %s AS SELECT * FROM %s" % (VIEW, _SOURCE.replace("?", listed, 1)))
    return con


def _empty(directory: PathArg) -> str:
    return "no exported usage in %s (expected machine=NAME/day=YYYY-MM-DD/*.parquet inside)" % directory


def _label(name: str, value: Any) -> Any:
    if name == "day":
        return localtime.day_label(value)
    if name == "week":
        return localtime.week_label(value)
    if name == "month":
        return localtime.month_label(value)
    if name == "subagent":
        return bool(value)
    return value


@dataclass(frozen=True)
class QueryResult:
    """A report over a tree, and the fingerprints of the price tables its
    costs come from (more than one when machines exported with different
    tables: their costs do not add up to one currency or price list)."""

    report: Report
    price_tables: Tuple[str, ...]


def query_report(
    directory: PathArg,
    by: Union[str, Sequence[str]] = ("day",),
    since: Bound = None,
    until: Bound = None,
    model: Globs = None,
    project: Globs = None,
    machine: Globs = None,
    breakdown: bool = False,
) -> Report:
    """The report of `run_query` with the parameters as keywords: groups the
    events of an exported tree by `by` (any of `TREE_GROUPS`, in the order
    given; times are UTC).

    - `since`, `until`: inclusive bounds, each a UTC date (whole day), an
      RFC 3339 time, a datetime or Unix milliseconds;
    - `model`, `project`, `machine`: globs (one or several) the events
      must match (models in lower case, as in the other reports);
    - `breakdown`: a per-model list inside every row.

    Raises ReportError for a bad argument, QueryError for a tree that cannot
    be read, MissingExtra without DuckDB."""
    query = make_query(by, since, until, "UTC", model, project, breakdown, groups=TREE_GROUPS, machine=machine)
    return run_query(directory, query).report


def run_query(directory: PathArg, query: Query) -> QueryResult:
    """Groups the events of an exported tree as `query` says (its zone is
    taken to be UTC: the tree's days are UTC days), with the fingerprints
    of the price tables the costs come from.

    The report has a cost column when the queried events were exported
    with a price table. Raises QueryError for a tree that cannot be read,
    MissingExtra without DuckDB."""
    low, high = query.low, query.high
    duckdb = require_duckdb()
    everything = partition_files(directory)
    if not everything:
        raise QueryError(_empty(directory))

    # Files outside the days or machines asked for are not opened at all.
    first = None if low is None else localtime.day_label(low // DAY_MS)
    last = None if high is None else localtime.day_label((high - 1) // DAY_MS)
    files = [
        path
        for m, d, path in everything
        if (first is None or d >= first)
        and (last is None or d <= last)
        and (not query.machine or any(fnmatch.fnmatchcase(m, g) for g in query.machine))
    ]
    con = duckdb.connect()
    try:
        return _run(con, files, query.by, low, high, query.model, query.project, query.breakdown)
    except duckdb.Error as exc:
        raise ReadError("reading %s failed: %s" % (directory, str(exc).splitlines()[0])) from None
    finally:
        con.close()


def _run(
    con: Any,
    files: List[str],
    names: Tuple[str, ...],
    low: Optional[int],
    high: Optional[int],
    models: Tuple[str, ...],
    projects: Tuple[str, ...],
    breakdown: bool,
) -> QueryResult:
    where: List[str] = []
    params: List[Any] = [files]
    if low is not None:
        where.append("%s >= ?" % _MS)
        params.append(low)
    if high is not None:
        where.append("%s < ?" % _MS)
        params.append(high)
    for column, globs, fold in (("model", models, True), ("project", projects, False)):
        if globs and files:
            values = [
                row[0] for row in con.execute("SELECT DISTINCT %s FROM %s" % (column, _SOURCE), [files]).fetchall()
            ]
            chosen = [v for v in values if any(fnmatch.fnmatchcase(v, g.lower() if fold else g) for g in globs)]
            where.append("%s IN (SELECT unnest(?::VARCHAR[]))" % column)
            params.append(chosen)

    model_in_key = "model" in names
    keys = [_KEYS[n] for n in names] + ([] if model_in_key else ["model"])
    sums = ", ".join("sum(%s)" % name for name in TOKEN_FIELDS)
    sql = (
        "SELECT %s, %s, sum(cost), bool_or(cost IS NULL), "
        "list(DISTINCT price_table) FILTER (WHERE price_table IS NOT NULL) FROM %s %s GROUP BY ALL ORDER BY ALL"
        % (", ".join(keys), sums, _SOURCE, ("WHERE " + " AND ".join(where)) if where else "")
    )
    result = con.execute(sql, params).fetchall() if files else []

    k = len(keys)
    model_col = names.index("model") if model_in_key else k - 1
    tables = sorted({t for row in result for t in (row[k + 9] or ())})
    priced = bool(tables)
    model_names = sorted({row[model_col] for row in result})
    rank = {name: i for i, name in enumerate(model_names)}

    # Consecutive groups with the same key fields make one report row.
    group_keys: List[Tuple[Any, ...]] = []
    key_ids: List[int] = []
    for row in result:
        key = tuple(row[: len(names)])
        if not group_keys or group_keys[-1] != key:
            group_keys.append(key)
        key_ids.append(len(group_keys) - 1)
    token_sums = [row[k : k + 7] for row in result]
    wide = any(abs(v) > INT64_MAX for sums_row in token_sums for v in sums_row)
    sums_array = np.array(token_sums, dtype=object if wide else np.int64).reshape(len(result), len(TOKEN_FIELDS))
    model_of = np.array([rank[row[model_col]] for row in result], dtype=np.int64)
    missing = np.array([bool(row[k + 8]) for row in result], dtype=bool) & priced
    fine = FineGroups(
        outer=[np.array(key_ids, dtype=np.int64)],
        model_of=model_of,
        model_rank=model_of,
        sums=sums_array,
        paid=np.array([row[k + 7] or 0.0 for row in result], dtype=np.float64),
        missing=missing,
    )
    labels: Dict[int, Dict[str, Any]] = {}

    def key_of(digits: Tuple[int, ...]) -> Dict[str, Any]:
        index = digits[0]
        if index not in labels:
            labels[index] = {n: _label(n, v) for n, v in zip(names, group_keys[index])}
        return labels[index]

    unpriced = {model_names[m]: () for m in sorted(set(model_of[missing].tolist()))}
    return QueryResult(assemble(fine, key_of, model_names, names, "UTC", priced, breakdown, unpriced), tuple(tables))
