"""What a price table covers of the logs' usage, and the versions it holds.

A report over a snapshot (it sums the usage as the reports do), so it sits
above `ledgerly.reports` rather than in `ledgerly.prices`, which the
reports use.

For each model seen: the glob that prices it, or in each imported version
the key that does and how it was matched; the price keys its usage needs
that no rate covers (no entry at all, or a service tier the entry has no
rates for); and its usage per price class (version, key, band, tier). Then
the globs that price no model. The command line (`ledgerly prices`,
`ledgerly prices check`) and the server (``/api/v1/prices``) give the same
JSON from here.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from ledgerly.prices.rates import KINDS, TIERS
from ledgerly.prices.seen import Seen
from ledgerly.prices.table import GLOB, PriceTable
from ledgerly.prices.versions import Version

if TYPE_CHECKING:
    from ledgerly.snapshot import Snapshot


@dataclass(frozen=True)
class KeyMatch:
    """The key of one version that prices a model (None: none does), how
    it was matched, and why keys that fold to the model were not used."""

    version: int
    key: Optional[str]
    how: Optional[str]
    note: Optional[str] = None

    def to_dict(self) -> Dict[str, Any]:
        return {"version": self.version, "key": self.key, "match": self.how, "note": self.note}


@dataclass(frozen=True)
class ClassUsage:
    """A model's usage in one price class: the version (None: a glob's),
    the key or glob, the band (the threshold it is above; None: below
    every one), the tier, its tokens, and whether all of it has a price."""

    version: Optional[int]
    key: Optional[str]
    band: Optional[int]
    tier: str
    total_tokens: int
    priced: bool

    def to_dict(self) -> Dict[str, Any]:
        return {
            "version": self.version,
            "key": self.key,
            "band": self.band,
            "tier": self.tier,
            "total_tokens": self.total_tokens,
            "priced": self.priced,
        }


@dataclass(frozen=True)
class ModelCoverage:
    seen: Seen
    glob: Optional[str]
    keys: Tuple[KeyMatch, ...]
    missing: Tuple[str, ...]
    usage: Tuple[ClassUsage, ...]

    @property
    def priced(self) -> bool:
        return not self.missing

    def to_dict(self) -> Dict[str, Any]:
        return {
            "model": self.seen.model,
            "total_tokens": self.seen.total_tokens,
            "glob": self.glob,
            "missing": list(self.missing),
            "versions": [k.to_dict() for k in self.keys],
            "usage": [u.to_dict() for u in self.usage],
        }


@dataclass(frozen=True)
class Coverage:
    """What `table` does for the models seen (the most tokens first), and
    the globs that price no model, with why."""

    models: Tuple[ModelCoverage, ...]
    unused: Tuple[Tuple[str, str], ...]
    currency: Optional[str]

    @property
    def complete(self) -> bool:
        return all(m.priced for m in self.models)

    def to_dict(self, origin: Optional[str]) -> Dict[str, Any]:
        return {
            "prices": origin,
            "models": [m.to_dict() for m in self.models],
            "unused_globs": [{"glob": glob, "reason": reason} for glob, reason in self.unused],
            "complete": self.complete,
            "currency": self.currency,
        }


def coverage(snapshot: Snapshot, table: PriceTable, seen: Optional[Sequence[Seen]] = None) -> Coverage:
    """The coverage of `table` over the usage of `snapshot`."""
    from ledgerly.params import make_query
    from ledgerly.reports import report_for

    seen = models_seen(snapshot) if seen is None else seen
    missing = report_for(snapshot, make_query(("model",), tz="UTC"), table).unpriced
    usage = class_usage(snapshot, table)
    models: List[ModelCoverage] = []
    pricing = set()
    for s in seen:
        resolved = table.resolve(s.model)
        glob = resolved[0].key if resolved[0].how == GLOB else None
        if glob is not None:
            pricing.add(glob)
        keys = (
            ()
            if glob is not None or not table.versions
            else tuple(KeyMatch(v.id, p.key, p.how, p.note) for v, p in zip(table.versions, resolved))
        )
        models.append(ModelCoverage(s, glob, keys, tuple(missing.get(s.model, ())), tuple(usage.get(s.model, ()))))
    unused = []
    for entry in table.entries:
        if entry.glob in pricing:
            continue
        matched = any(entry.matches(s.model) for s in seen)
        unused.append(
            (entry.glob, "every model it matches is priced by an earlier glob" if matched else "matches no model seen")
        )
    return Coverage(tuple(models), tuple(unused), table.currency)


def models_seen(snapshot: Snapshot) -> List[Seen]:
    """Every model of `snapshot`, the most tokens first (ties by name)."""
    import numpy as np

    from ledgerly.params import make_query
    from ledgerly.prices.classes import priced_parts
    from ledgerly.reports import report_for

    report = report_for(snapshot, make_query(("model",), tz="UTC"), None)
    seen = []
    for group in report.rows:
        parts = priced_parts(np.asarray([group.tokens], dtype=np.int64))[0].tolist()
        used = {key: int(part) for key, part in zip(KINDS, parts) if part}
        seen.append(Seen(str(group.key["model"]), group.total_tokens, used))
    seen.sort(key=lambda s: (-s.total_tokens, s.model))
    return seen


def class_usage(snapshot: Snapshot, table: PriceTable) -> Dict[str, List[ClassUsage]]:
    """Per model: its usage in each price class, in class order."""
    import numpy as np

    from ledgerly.grouping import aggregate
    from ledgerly.layout import TOKEN_FIELDS
    from ledgerly.prices.classes import classify
    from ledgerly.reports import TOTAL_FIELDS

    rows = snapshot.rows
    classes = classify(table, rows, snapshot.models)
    groups = aggregate([classes.codes], rows.token_matrix())
    digits = groups.digits[0]
    _paid, missing = classes.price(groups.sums, digits)
    totals = groups.sums[:, [TOKEN_FIELDS.index(name) for name in TOTAL_FIELDS]].sum(axis=1)
    out: Dict[str, List[ClassUsage]] = {}
    raw = classes.raw(digits)
    for i, code in enumerate(raw.tolist()):
        found, band, tier = classes.describe(code)
        threshold = found.rates.thresholds[band - 1] if band and found.rates is not None else None
        name = snapshot.models[int(classes.model_of(np.array([digits[i]]))[0])]
        out.setdefault(name, []).append(
            ClassUsage(found.version, found.key, threshold, TIERS[tier], int(totals[i]), not bool(missing[i]))
        )
    return out


def version_summary(versions: Sequence[Version], seen: Optional[Sequence[Seen]]) -> List[Dict[str, Any]]:
    """Each stored version as JSON, with how many of the models seen it
    prices (None when the logs were not read)."""
    from ledgerly.timezones import format_instant, resolve_zone

    utc = resolve_zone("UTC")
    out = []
    for version in versions:
        data = version.describe()
        data["fetched_at"] = format_instant(version.fetched_at, utc)
        data["effective_from"] = None if version.effective_from is None else format_instant(version.effective_from, utc)
        data["models"] = None if seen is None else sum(1 for s in seen if version.match(s.model).key is not None)
        out.append(data)
    return out


def overview(
    folder: str,
    versions: Sequence[Version],
    seen: Optional[Sequence[Seen]],
    found: Optional[Coverage],
    origin: Optional[str],
) -> Dict[str, Any]:
    """The JSON of ``ledgerly prices --json`` and of ``/api/v1/prices``:
    the folder of the imports, the versions (with how many of the models
    seen each prices), the number of models seen (None: the logs were not
    read) and the coverage of the prices in use (None without any)."""
    return {
        "folder": folder,
        "versions": version_summary(versions, seen),
        "models": None if seen is None else len(seen),
        "coverage": None if found is None else found.to_dict(origin),
    }


def prices_overview(snapshot: Snapshot, table: Optional[PriceTable], folder: str) -> Dict[str, Any]:
    """`overview` of the versions that `table` holds, over `snapshot`."""
    seen = models_seen(snapshot)
    versions = table.versions if table else ()
    found = coverage(snapshot, table, seen) if table else None
    return overview(folder, versions, seen, found, table.origin if table else None)
