"""Pricing as billed against flat pricing, side by side, on 1,000,000 rows.

Three ways to price the same report (by day and model, Europe/Berlin):

- flat: the pricing before price classes: rows grouped by day and model,
  each group priced by its model's one row of six prices (glob per model);
- classes, flat table: the same globs through the price classes (what the
  classes cost when no band, tier or version is in play);
- classes, as billed: three imported versions whose entries have
  long-context bands and tier rates, the rows spread over all of them,
  with every tier and prompts on both sides of the thresholds.

The runs are interleaved (a noisy neighbour slows all three alike) and
each figure is the median. The rows are made in memory (20 models, 100
"files" of increasing times over a year), so no corpus is needed:

    PYTHONPATH=build/dev/python python3 bench/prices_bench.py --runs 9
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from types import MappingProxyType

import numpy as np

from ledgerly import localtime, reports
from ledgerly.columns import Rows
from ledgerly.grouping import aggregate, ranked
from ledgerly.layout import RECORD_DTYPE
from ledgerly.listing import Listing
from ledgerly.params import make_query
from ledgerly.prices import ModelPrice, PriceTable
from ledgerly.prices.classes import priced_parts
from ledgerly.prices.versions import Version
from ledgerly.snapshot import Snapshot

MODELS = tuple("model-%02d" % i for i in range(20))
YEAR_MS = 365 * 86_400_000
START_MS = 1_735_689_600_000  # 2025-01-01T00:00:00Z


def make_snapshot(count: int, seed: int) -> Snapshot:
    rng = np.random.default_rng(seed)
    rows = np.zeros(count, dtype=RECORD_DTYPE)
    files = 100
    per = count // files
    # Rows come in file order, each file's times increasing, one or two models per file.
    ts = np.sort(rng.integers(0, YEAR_MS, size=(files, per)), axis=1).reshape(-1)
    rows["timestamp"][: files * per] = START_MS + ts
    first = rng.integers(0, len(MODELS), size=files)
    second = rng.integers(0, len(MODELS), size=files)
    pick = rng.random(files * per) < 0.2
    rows["model"][: files * per] = np.where(pick, np.repeat(second, per), np.repeat(first, per))
    rows["kind"] = 0
    rows["tier"] = rng.choice(5, size=count, p=[0.2, 0.7, 0.02, 0.05, 0.03])
    fresh = rng.lognormal(9.5, 1.6, size=count).astype(np.int64) % 400_000
    rows["input"] = fresh
    rows["output"] = rng.integers(0, 4000, size=count)
    rows["cache_read"] = rng.lognormal(10.5, 1.2, size=count).astype(np.int64) % 300_000
    rows["cache_write_5m"] = rng.integers(0, 5000, size=count) * (rng.random(count) < 0.3)
    rows["cache_write_1h"] = rng.integers(0, 5000, size=count) * (rng.random(count) < 0.1)
    columns = Rows.from_records(rows)
    return Snapshot(columns, MODELS, ("p",), MappingProxyType({}), (), True, 0.0, Listing((), (), (), (), ()))


def flat_table() -> PriceTable:
    """One glob per model; every tier at the standard rates (flat pricing
    knows no tiers, so both ways give the same costs)."""
    entries = []
    for i, model in enumerate(MODELS):
        base = 1.0 + i / 10
        rates = (base, base / 10, base * 5, base * 1.25, base * 2, base / 10)
        entries.append(ModelPrice(model, rates, tiers=(rates, rates, rates)))
    return PriceTable(tuple(entries))


def mapped_table() -> PriceTable:
    """Three versions; half the models have a 200k band, all have priority
    rates, a third fast and flex rates; keys exact, dated or behind a provider."""
    versions = []
    for v in range(3):
        entries = {}
        for i, model in enumerate(MODELS):
            base = (1.0 + i / 10 + v / 5) / 1e6
            rates = {
                "input_cost_per_token": base,
                "output_cost_per_token": base * 5,
                "cache_read_input_token_cost": base / 10,
                "cache_creation_input_token_cost": base * 1.25,
                "cache_creation_input_token_cost_above_1hr": base * 2,
                "input_cost_per_token_priority": base * 1.8,
                "output_cost_per_token_priority": base * 9,
                "cache_read_input_token_cost_priority": base / 5,
                "cache_creation_input_token_cost_priority": base * 2.25,
                "cache_creation_input_token_cost_above_1hr_priority": base * 3.6,
            }
            if i % 2 == 0:
                rates.update(
                    {
                        "input_cost_per_token_above_200k_tokens": base * 2,
                        "output_cost_per_token_above_200k_tokens": base * 7.5,
                        "cache_read_input_token_cost_above_200k_tokens": base / 5,
                    }
                )
            if i % 3 == 0:
                for tier, factor in (("fast", 2.0), ("flex", 0.5)):
                    for name in ("input_cost_per_token", "output_cost_per_token", "cache_read_input_token_cost"):
                        rates["%s_%s" % (name, tier)] = rates[name] * factor
            key = (model, model + "-20250101", "vendorx/" + model)[i % 3]
            entries[key] = rates
            entries["other-%d" % i] = dict(rates)
        start = None if v == 0 else START_MS + v * YEAR_MS // 3
        versions.append(Version(v + 1, "bench", 0, "sha-%d" % v, start, entries))
    return PriceTable(versions=tuple(versions), currency="USD")


def flat_report(snapshot: Snapshot, query, table: PriceTable):
    """The report as it was priced before price classes: grouped by the
    query's dimensions and the model, each group priced by its model's row
    of six prices."""
    sel = reports.select(snapshot, query)
    local_days = localtime.local_days(sel.timestamps, sel.zone)
    dims = [reports._dimension(name, sel, local_days) for name in query.by]
    if "model" in query.by:  # the model is a key already
        model_codes = dims[query.by.index("model")]
        fine = aggregate(dims, sel.tokens)
        digits = fine.digits[query.by.index("model")]
        outer = fine.digits
    else:
        model_codes = ranked(sel.rows["model"], sel.models)
        fine = aggregate(dims + [model_codes], sel.tokens)
        digits = fine.digits[-1]
        outer = fine.digits[:-1]
    model_of = model_codes.values[digits]
    matrix = np.full((len(sel.models), 6), np.nan)
    for i, model in enumerate(sel.models):
        entry = table.price_for(model)
        if entry is not None:
            matrix[i] = [np.nan if p is None else p for p in entry.per_million]
    parts = priced_parts(fine.sums.astype(np.float64))
    prices = matrix[model_of.astype(np.intp)]
    missing = (np.isnan(prices) & (parts != 0)).any(axis=1)
    paid = np.where(parts != 0, parts * np.nan_to_num(prices), 0.0).sum(axis=1) / 1e6
    names = query.by

    def key_of(codes):
        return {n: reports._label(n, dims[i].value(d), sel) for i, (n, d) in enumerate(zip(names, codes))}

    groups = reports.FineGroups(outer, model_of, digits, fine.sums, paid, missing)
    return reports.assemble(groups, key_of, sel.models, names, sel.zone.name, True, False, {})


def alternate(fns, runs):
    """Median wall-clock and CPU seconds of each function, the runs
    interleaved (CPU time is steadier on a shared machine)."""
    wall = [[] for _ in fns]
    cpu = [[] for _ in fns]
    for _ in range(runs):
        for i, fn in enumerate(fns):
            began, used = time.perf_counter(), time.process_time()
            fn()
            wall[i].append(time.perf_counter() - began)
            cpu[i].append(time.process_time() - used)
    return [(statistics.median(w), statistics.median(c)) for w, c in zip(wall, cpu)]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    snapshot = make_snapshot(args.rows, args.seed)
    query = make_query(("day", "model"), tz="Europe/Berlin")
    flat, mapped = flat_table(), mapped_table()

    # The three agree where they should: the flat table's costs are the same either way.
    old, new = flat_report(snapshot, query, flat), reports.report_for(snapshot, query, flat)
    assert abs(old.totals.priced_cost - new.totals.priced_cost) <= 1e-9 * max(1.0, old.totals.priced_cost)
    billed = reports.report_for(snapshot, query, mapped)
    assert billed.totals.total_tokens == old.totals.total_tokens

    flat_s, classes_s, billed_s = alternate(
        [
            lambda: flat_report(snapshot, query, flat),
            lambda: reports.report_for(snapshot, query, flat),
            lambda: reports.report_for(snapshot, query, mapped),
        ],
        args.runs,
    )
    print("%d rows by day and model (Europe/Berlin), median of %d interleaved runs" % (len(snapshot), args.runs))
    print("                                              wall clock          CPU")
    for label, (wall, cpu) in (
        ("flat pricing (one price row per model)", flat_s),
        ("price classes, the same flat table", classes_s),
        ("price classes, versions x bands x tiers", billed_s),
    ):
        print("  %-42s %.3f s  %.2fx   %.3f s  %.2fx" % (label, wall, wall / flat_s[0], cpu, cpu / flat_s[1]))
    print(
        "  (%d groups; %d of the billed report's models have usage without a price)"
        % (len(billed.rows), len(billed.unpriced))
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
