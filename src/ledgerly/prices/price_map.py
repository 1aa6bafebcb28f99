"""Price maps in the common per-token JSON format.

Several open-source LLM gateways publish and keep current one JSON object
whose keys are model names (some with a ``provider/`` prefix, some with an
8-digit date suffix) and whose values are objects of facts about each
model, among them its rates in US dollars per token:

- ``input_cost_per_token``: fresh input;
- ``cache_read_input_token_cost``: cached input and cache reads;
- ``output_cost_per_token``: output, reasoning included;
- ``cache_creation_input_token_cost``: 5-minute cache writes;
- ``cache_creation_input_token_cost_above_1hr``: 1-hour cache writes;
- each of these ``_above_<N>k_tokens`` (prompts of more than N thousand
  tokens), ``_fast``, ``_priority`` or ``_flex`` (a service tier), or both
  (``input_cost_per_token_above_200k_tokens_priority``).

Everything else (capabilities, context sizes, per-image, per-second or
batch costs, metadata entries) is ignored, and an entry without any
per-token rate is skipped. `parse_map` keeps the rates alone (the map as
it is stored); `rates_of` turns one entry's into `Rates`.
"""

from __future__ import annotations

import json
import math
import re
from functools import lru_cache
from typing import Any, Dict, List, Mapping, Optional, Tuple

from ledgerly.prices.rates import KINDS, MAX_BANDS, TIERS, Band, PerKind, Rates

# The highest rate per token: the price table's bound per million tokens.
MAX_RATE = 1e6
# A band above more than a billion tokens is no band any prompt reaches.
MAX_BAND_THOUSANDS = 10**6

# Each base field and the kinds it prices.
BASE_FIELDS: Dict[str, Tuple[str, ...]] = {
    "input_cost_per_token": ("input",),
    "cache_read_input_token_cost": ("cached_input", "cache_read"),
    "output_cost_per_token": ("output",),
    "cache_creation_input_token_cost_above_1hr": ("cache_write_1h",),
    "cache_creation_input_token_cost": ("cache_write_5m",),
}
# The 1-hour field comes before its prefix, the 5-minute one.
_FIELD_RE = re.compile(r"(%s)(?:_above_([0-9]{1,9})k_tokens)?(?:_(fast|priority|flex))?" % "|".join(BASE_FIELDS))

PriceMap = Dict[str, Dict[str, float]]


class PriceMapError(ValueError):
    """A price map that cannot be used; the message names the key and
    field when one is at fault."""


@lru_cache(maxsize=4096)
def _field(name: str) -> Optional[Tuple[str, Optional[int], Optional[str]]]:
    """A rate member's base, band (thousands of tokens) and tier; None for
    any other member. Maps repeat a few dozen names thousands of times."""
    match = _FIELD_RE.fullmatch(name)
    if match is None:
        return None
    return match.group(1), None if match.group(2) is None else int(match.group(2)), match.group(3)


def is_rate_field(name: str) -> bool:
    return _field(name) is not None


def decode_map(data: bytes) -> PriceMap:
    """The rates of a price map's bytes (UTF-8 JSON). Raises PriceMapError
    for bytes that are not a whole JSON object, or a bad rate."""
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise PriceMapError("not a price map: the bytes are not UTF-8 (at byte %d)" % exc.start) from None
    try:
        value = json.loads(text)
    except RecursionError:
        raise PriceMapError("not a price map: nested too deeply") from None
    except ValueError as exc:
        raise PriceMapError("malformed or truncated price map: %s" % exc) from None
    return parse_map(value)


def parse_map(value: Any) -> PriceMap:
    """The per-token rates of each entry of a decoded map (entries without
    any left out). Raises PriceMapError naming the key and field of a
    rate that is not a number, negative, not finite or absurd."""
    if not isinstance(value, dict):
        raise PriceMapError("not a price map: a JSON object of models is expected, not %s" % _kind(value))
    out: PriceMap = {}
    for key, entry in value.items():
        if not isinstance(entry, dict):
            continue  # metadata
        rates: Dict[str, float] = {}
        wrong: Optional[Tuple[str, Any]] = None
        banded = False
        for name, rate in entry.items():
            if rate is None:
                continue
            field = _field(name)
            if field is None:
                continue
            if type(rate) is float and 0.0 <= rate <= MAX_RATE:  # the common case, checked at once
                rates[name] = rate
            elif isinstance(rate, bool) or not isinstance(rate, (int, float)):
                wrong = wrong or (name, rate)
                continue
            else:
                rates[name] = _checked(key, name, rate)
            banded = banded or field[1] is not None
        if not rates:
            continue  # no per-token rate: an entry of something else, or a description of the format
        if wrong is not None:
            raise PriceMapError("%s: %s: a rate must be a number, not %s" % (_show(key), wrong[0], _kind(wrong[1])))
        if banded:
            _bands(key, rates)
        out[key] = rates
    return out


def _checked(key: str, name: str, rate: float) -> float:
    if not math.isfinite(rate) or rate < 0:
        raise PriceMapError("%s: %s: a rate must be a finite number of at least 0, not %r" % (_show(key), name, rate))
    if rate > MAX_RATE:
        raise PriceMapError("%s: %s: a rate must be at most %g per token, not %g" % (_show(key), name, MAX_RATE, rate))
    return float(rate)


def _bands(key: str, rates: Mapping[str, float]) -> List[int]:
    """The entry's band thresholds in thousands of tokens, ascending;
    raises PriceMapError for too many or for a band of 0."""
    found = set()
    for name in rates:
        field = _field(name)
        assert field is not None
        thousands = field[1]
        if thousands is not None:
            if not 1 <= thousands <= MAX_BAND_THOUSANDS:
                raise PriceMapError(
                    "%s: %s: a band must be above 1 to %d thousand tokens" % (_show(key), name, MAX_BAND_THOUSANDS)
                )
            found.add(thousands)
    if len(found) >= MAX_BANDS:
        raise PriceMapError("%s: more than %d long-context bands" % (_show(key), MAX_BANDS - 1))
    return sorted(found)


def rates_of(fields: Mapping[str, float]) -> Rates:
    """One entry's rates (per token) as `Rates` (per million tokens)."""
    thresholds = _bands("", fields)
    base: List[Optional[float]] = [None] * len(KINDS)
    tiers: List[Optional[List[Optional[float]]]] = [None] * (len(TIERS) - 1)
    band_rates: Dict[int, List[Optional[float]]] = {n: [None] * len(KINDS) for n in thresholds}
    band_tiers: Dict[int, List[Any]] = {n: [None] * (len(TIERS) - 1) for n in thresholds}
    for name, rate in fields.items():
        field = _field(name)
        assert field is not None
        base_name, band, tier = field
        target: List[Optional[float]]
        if tier is None:
            target = base if band is None else band_rates[int(band)]
        else:
            t = TIERS.index(tier) - 1
            holder: List[Any] = tiers if band is None else band_tiers[int(band)]
            if holder[t] is None:
                holder[t] = [None] * len(KINDS)
            target = holder[t]
        for kind in BASE_FIELDS[base_name]:
            target[KINDS.index(kind)] = rate * 1e6
    return Rates(
        tuple(base),
        tuple(
            Band(n * 1000, tuple(band_rates[n]), tuple(None if r is None else tuple(r) for r in band_tiers[n]))
            for n in thresholds
        ),
        tuple(None if r is None else tuple(r) for r in tiers),
    )


def fingerprint(fields: Mapping[str, float]) -> Tuple[Tuple[str, float], ...]:
    """A hashable form of one entry's rates: equal for equal rates."""
    return tuple(sorted(fields.items()))


def _show(key: str) -> str:
    return json.dumps(key[:200], ensure_ascii=False)


def _kind(value: Any) -> str:
    return {dict: "an object", list: "an array", str: "a string", bool: "a boolean", type(None): "null"}.get(
        type(value), "a number"
    )


__all__ = ["PerKind", "PriceMap", "PriceMapError", "decode_map", "fingerprint", "parse_map", "rates_of"]
