"""Pricing each event as billed: the entry in force at its time (globs
first, then the imported version), its long-context band and its service
tier; and matching the models of the logs to the keys of a price map."""

import hashlib
import os
import random
import tempfile

import numpy as np
import pytest

from ledgerly.prices import PriceTable, load_prices
from ledgerly.prices.classes import classify, priced_parts
from ledgerly.prices.matching import KeyIndex
from ledgerly.prices.price_map import PriceMapError, decode_map, fingerprint
from ledgerly.prices.rates import TIER_OF_CODE
from ledgerly.prices.versions import Version, version_at
from ledgerly.reports import report
from ledgerly.tomlfile import ConfigError

from conftest import ms, record, snapshot_of

FIXTURE = os.path.join(os.path.dirname(__file__), "fixtures", "price-map.json")
MODELS = ("alpha-4-5", "beta-3", "mini-5-pro", "model-x", "omega-1", "delta-1")
MESSAGE, EVENT = 0, 1


def fixture_bytes():
    with open(FIXTURE, "rb") as f:
        return f.read()


def version(number=1, start=None, entries=None):
    data = fixture_bytes()
    return Version(number, FIXTURE, 0, hashlib.sha256(data).hexdigest(), start, entries or decode_map(data))


def cost(table, rec, models=MODELS):
    """The cost of one event (None when some of it has no price) and the
    report's unpriced models."""
    result = report(snapshot_of([rec], models), by=(), tz="UTC", prices=table)
    return result.totals.cost, dict(result.unpriced)


def tokens(inp=0, cached=0, out=0, write_5m=0, write_1h=0, read=0):
    return (inp, cached, out, 0, write_5m, write_1h, read)


MAPPED = PriceTable(versions=(version(),), currency="USD")


@pytest.mark.parametrize(
    "model, kind, usage, per_million",
    [
        # alpha-4-5 (message dialect): the prompt is input + cache writes + cache reads; above 200k
        # the band's input, output and cache-read rates, the base rates for the cache writes.
        (0, MESSAGE, tokens(100_000, 0, 1000, 50_000, 20_000, 30_000), (3, 15, 3.75, 6, 0.3)),
        (0, MESSAGE, tokens(100_001, 0, 1000, 50_000, 20_000, 30_000), (6, 22.5, 3.75, 6, 0.6)),
        # model-x (event dialect): the prompt is the input, cached input included; band above 272k.
        (3, EVENT, tokens(272_000, 200_000, 1000), (1.25, 10, None, None, 0.125)),
        (3, EVENT, tokens(272_001, 200_000, 1000), (2.5, 15, None, None, 0.125)),
    ],
)
def test_a_band_applies_to_the_whole_event_above_its_threshold(model, kind, usage, per_million):
    inp, cached, out, _, w5, w1, read = usage
    rate_in, rate_out, rate_w5, rate_w1, rate_read = per_million
    expected = (inp - cached) * rate_in + out * rate_out + (w5 * (rate_w5 or 0)) + (w1 * (rate_w1 or 0))
    expected += (read + cached) * rate_read
    got, unpriced = cost(MAPPED, record(1, model=model, tokens=usage, kind=kind))
    assert got == pytest.approx(expected / 1e6) and not unpriced


def test_a_prompt_between_two_bands_takes_the_larger_band_below_it():
    # delta-1: input 1 below 128k, 2 above 128k, 4 above 256k; output 8 above 256k only
    # (a kind without a rate in its band keeps the base rate, 2).
    for prompt, rate_in, rate_out in ((128_000, 1, 2), (128_001, 2, 2), (256_000, 2, 2), (256_001, 4, 8)):
        got, _ = cost(MAPPED, record(1, model=5, tokens=tokens(prompt, 0, 1000)))
        assert got == pytest.approx((prompt * rate_in + 1000 * rate_out) / 1e6), prompt


@pytest.mark.parametrize(
    "model, tier, usage, per_million, lacks",
    [
        (0, 0, tokens(1000, out=100), (3, 15), ()),  # unknown tier: the standard rates
        (0, 1, tokens(1000, out=100), (3, 15), ()),  # standard
        (0, 3, tokens(1000, out=100), (5, 25), ()),  # priority
        (0, 2, tokens(1000, out=100), None, ("fast.input", "fast.output")),  # no fast rates: no price at all
        (0, 4, tokens(1000, out=100), None, ("flex.input", "flex.output")),
        (3, 2, tokens(1000, out=100), (2.5, 20), ()),  # fast
        (3, 4, tokens(1000, out=100), (0.625, 5), ()),  # flex
        (3, 3, tokens(1000, out=100), None, ("priority.input", "priority.output")),
        # Priority in alpha-4-5's 200k band: the band's priority input rate, the tier's output rate.
        (0, 3, tokens(300_000, out=100), (10, 25), ()),
        # A kind the tier leaves without a rate is unpriced, never charged at the standard rate.
        (0, 3, tokens(1000, out=100, write_5m=10), None, ("priority.cache_write_5m",)),
    ],
)
def test_each_tier_uses_its_own_rates_or_none(model, tier, usage, per_million, lacks):
    got, unpriced = cost(MAPPED, record(1, model=model, tokens=usage, kind=MESSAGE, tier=tier))
    if per_million is None:
        assert got is None and unpriced == {MODELS[model]: lacks}
    else:
        assert got == pytest.approx((usage[0] * per_million[0] + usage[2] * per_million[1]) / 1e6)
        assert unpriced == {}


def test_an_event_is_priced_by_the_version_in_force_at_its_time():
    boundary = ms("2025-06-01T00:00:00Z")
    cut = {k: dict(v) for k, v in decode_map(fixture_bytes()).items()}
    cut["alpha-4-5"]["input_cost_per_token"] = 2e-06
    lower = {k: dict(v) for k, v in cut.items()}
    lower["alpha-4-5"]["input_cost_per_token"] = 1e-06
    old, new = version(1), version(2, boundary, cut)
    usage = tokens(100_000)  # below the 200k band
    for when, rate in ((boundary - 1, 3), (boundary, 2), (0, 3), (boundary + 10**9, 2)):
        got, _ = cost(PriceTable(versions=(new, old)), record(when, tokens=usage))
        assert got == pytest.approx(rate / 10), when
    # The same start twice: the later import wins; the earliest version covers all history before it.
    tie = version(3, boundary, lower)
    assert cost(PriceTable(versions=(tie, old, new)), record(boundary, tokens=usage))[0] == pytest.approx(0.1)
    only_later = PriceTable(versions=(new,))
    assert cost(only_later, record(0, tokens=usage))[0] == pytest.approx(0.2)
    assert version_at(PriceTable(versions=(old, new)).versions, boundary - 1) is old


def test_the_config_globs_rank_above_the_imported_map():
    globs = load_prices_text("[prices.'alpha-*']\ninput = 9.0\noutput = 1.0\n")
    table = globs.with_versions((version(),), "USD")
    usage = tokens(1_000_000, out=1_000_000)
    assert cost(table, record(1, model=0, tokens=usage))[0] == pytest.approx(10.0)
    # The glob prices alpha-4-5 wholly: the map's priority rates are not consulted for it.
    assert cost(table, record(1, model=0, tokens=usage, tier=3))[0] is None
    assert cost(table, record(1, model=1, tokens=tokens(1_000_000)))[0] == pytest.approx(0.8)


def load_prices_text(text):
    with tempfile.NamedTemporaryFile("w", suffix=".toml", delete=False) as f:
        f.write(text)
    try:
        return load_prices(f.name)
    finally:
        os.unlink(f.name)


@pytest.mark.parametrize(
    "model, key, how",
    [
        ("alpha-4-5", "alpha-4-5", "exact"),
        ("model-x", "Model-X", "folded"),  # another case
        ("beta-3", "beta-3-20250101", "folded"),  # a date suffix
        ("mini-5-pro", "vendorx/mini-5-pro", "provider"),  # both providers' keys agree
        ("omega-1", None, "provider"),  # the providers' keys disagree: no price
        ("alpha-4-5-turbo", None, None),  # never a prefix
        ("alpha", None, None),
        ("gamma-voice", None, None),  # no per-token rate: not an entry
        ("about_this_map", None, None),  # a description of the format
    ],
)
def test_models_match_keys_conservatively(model, key, how):
    found = version().match(model)
    assert (found.key, found.how) == (key, how)
    assert (found.note is not None) == (model == "omega-1")


def test_undated_keys_come_before_dated_ones_and_disagreeing_dates_price_nothing():
    rates = {"Beta-3": 1.0, "beta-3-20250101": 2.0, "beta-3-20250601": 2.0, "eta-20250101": 1.0, "eta-20250601": 3.0}
    index = KeyIndex(list(rates), lambda k: rates[k])
    assert index.match("beta-3").key == "Beta-3"
    assert index.match("eta").key is None and "2 keys" in index.match("eta").note


@pytest.mark.parametrize(
    "data, message",
    [
        (b"[1, 2]", "a JSON object of models is expected, not an array"),
        (b'{"a": {"input_cost_per_token": -1e-06}}', '"a": input_cost_per_token: a rate must be a finite number'),
        (b'{"a": {"output_cost_per_token": 1e400}}', '"a": output_cost_per_token: a rate must be a finite number'),
        (b'{"a": {"output_cost_per_token": NaN}}', "a rate must be a finite number"),
        (b'{"a": {"input_cost_per_token": 2000000}}', '"a": input_cost_per_token: a rate must be at most 1e+06'),
        (
            b'{"a": {"input_cost_per_token": 1e-06, "output_cost_per_token": "0.000003"}}',
            '"a": output_cost_per_token: a rate must be a number, not a string',
        ),
        (b'{"a": {"input_cost_per_token_above_0k_tokens": 1e-06}}', "a band must be above"),
        (b'{"a": {"input_cost_per_token": 1e-06}', "malformed or truncated price map"),
        (b'{"a": "\xff"}', "not UTF-8"),
    ],
)
def test_a_bad_map_is_refused_naming_the_key_and_field(data, message):
    with pytest.raises(PriceMapError) as error:
        decode_map(data)
    assert message in str(error.value)


def test_the_map_keeps_only_per_token_rates():
    whole = decode_map(fixture_bytes())
    assert "about_this_map" not in whole and "gamma-voice" not in whole
    assert "input_cost_per_token_batches" not in whole["alpha-4-5"] and "mode" not in whole["alpha-4-5"]
    truncated = fixture_bytes()[: len(fixture_bytes()) // 2]
    with pytest.raises(PriceMapError, match="truncated"):
        decode_map(truncated)
    assert fingerprint(whole["vendorx/mini-5-pro"]) == fingerprint(whole["vendory/mini-5-pro"])


def test_the_price_table_form_has_bands_and_tiers():
    table = load_prices_text(
        '[prices]\ncurrency = "EUR"\n'
        '[prices."alpha-*"]\ninput = 3.0\noutput = 15.0\n'
        '[prices."alpha-*".above_200k]\ninput = 6.0\n'
        '[prices."alpha-*".priority]\ninput = 5.0\noutput = 25.0\n'
        '[prices."alpha-*".above_200k.priority]\ninput = 10.0\n'
    )
    assert table.currency == "EUR"
    at = {
        (200_000, 1): 200_000 * 3 + 100 * 15,
        (200_001, 1): 200_001 * 6 + 100 * 15,
        (200_000, 3): 200_000 * 5 + 100 * 25,
        (200_001, 3): 200_001 * 10 + 100 * 25,
    }
    for (prompt, tier), expected in at.items():
        got, _ = cost(table, record(1, model=0, tokens=tokens(prompt, out=100), tier=tier))
        assert got == pytest.approx(expected / 1e6), (prompt, tier)
    assert cost(table, record(1, model=0, tokens=tokens(10), tier=4))[0] is None
    # Currency shows once at the top of the JSON, and in the CSV header.
    result = report(snapshot_of([record(1, tokens=tokens(10))], MODELS), by=("day",), tz="UTC", prices=table)
    assert result.to_dict()["currency"] == "EUR"
    assert result.to_csv().splitlines()[0].endswith(",total_tokens,cost_eur,priced_cost_eur")


@pytest.mark.parametrize(
    "text, message",
    [
        (
            '[prices."a"]\ninput = 1\n[prices."a".above_200k]\ninptu = 1\n',
            "prices.a.above_200k.inptu: unknown price key",
        ),
        ('[prices."a"]\ninput = 1\n[prices."a".above_0k]\ninput = 1\n', "a band must be above 1k"),
        ('[prices."a"]\ninput = 1\n[prices."a".priority]\n', "prices.a.priority: gives no price"),
        ('[prices."a"]\ninput = 1\n[prices."a".priority.above_200k]\ninput = 1\n', "priority.above_200k"),
        ('[prices."a"]\ninput = 1\n[prices."a".turbo]\ninput = 1\n', "or a table fast, priority, flex or above_<N>k"),
        ('[prices]\ncurrency = "dollars"\n', "prices.currency: must be a currency code"),
    ],
)
def test_bad_bands_and_tiers_in_the_price_table(text, message):
    with pytest.raises(ConfigError) as error:
        load_prices_text(text)
    assert message in str(error.value)


def reference_cost(table, rec, models):
    """One event priced the slow way: the entry in force at its time, the
    number of thresholds below its prompt, its tier's rates."""
    ts, model, _project, _kind, _sub, tier, *counts = rec
    starts = [v.effective_from for v in table.versions]
    period = 0
    for i, start in enumerate(starts):
        if start is None or start <= ts:
            period = i
    found = table.resolve(models[model])[period]
    parts = priced_parts(np.array([counts]))[0]
    if found.rates is None:
        return 0.0, bool(parts.any())
    prompt = counts[0] + counts[4] + counts[5] + counts[6]
    band = sum(1 for t in found.rates.thresholds if prompt > t)
    rates = found.rates.resolve(band, TIER_OF_CODE[min(tier, 4)])
    paid = sum(p * r for p, r in zip(parts, rates) if p and r is not None) / 1e6
    return paid, any(p and r is None for p, r in zip(parts, rates))


@pytest.mark.parametrize("seed", range(4))
def test_grouped_pricing_equals_pricing_each_event(seed):
    rng = random.Random(seed)
    base = ms("2025-01-01T00:00:00Z")
    bump = {k: {f: r * 2 for f, r in v.items()} for k, v in decode_map(fixture_bytes()).items()}
    versions = (version(1, base + 10 * 86_400_000), version(2, base + 20 * 86_400_000, bump), version(3))
    globs = load_prices_text('[prices."delta-*"]\ninput = 1.0\n[prices."delta-*".above_1k]\ninput = 2.0\n')
    table = globs.with_versions(versions, "USD")
    records = []
    for _ in range(3000):
        counts = [rng.choice((0, rng.randrange(0, 400_000))) for _ in range(7)]
        counts[1] = min(counts[1], counts[0])
        counts[3] = min(counts[3], counts[2])
        when = base + rng.randrange(40 * 86_400_000)
        records.append(record(when, rng.randrange(len(MODELS)), 0, tuple(counts), tier=rng.randrange(6)))
    snap = snapshot_of(records, MODELS)
    result = report(snap, by=("day", "model"), tz="UTC", prices=table)
    expected = {}
    for rec in records:
        key = (rec[0] // 86_400_000, MODELS[rec[1]])
        paid, missing = reference_cost(table, rec, MODELS)
        old = expected.get(key, (0.0, False))
        expected[key] = (old[0] + paid, old[1] or missing)
    got = {(ms(g.key["day"] + "T00:00:00Z") // 86_400_000, g.key["model"]): g for g in result.rows}
    assert set(got) == set(expected)
    for key, (paid, missing) in expected.items():
        assert got[key].priced_cost == pytest.approx(paid, rel=1e-12, abs=1e-12), key
        assert (got[key].cost is None) == missing, key
    # A class is the same number whatever else the selection holds.
    whole = classify(table, snap.rows, snap.models)
    part = classify(table, snap.rows[::7], snap.models)
    assert whole.class_ids(whole.row_codes())[::7].tolist() == part.class_ids(part.row_codes()).tolist()


def test_unpriced_with_a_map_names_each_model():
    _, unpriced = cost(MAPPED, record(1, model=4, tokens=tokens(10, out=1)))
    assert unpriced == {"omega-1": ("input", "output")}


def test_huge_counts_keep_exact_sums_and_their_band():
    # Counts this large cannot be summed exactly in floating point, and their prompt overflows 64 bits.
    huge = 2**62
    rows = [record(1, model=0, tokens=tokens(huge, 0, 1, 0, huge, huge), tier=1) for _ in range(2)]
    rows.append(record(2, model=0, tokens=tokens(1000, out=10)))
    result = report(snapshot_of(rows, MODELS), by=("model",), tz="UTC", prices=MAPPED)
    alpha = result.rows[0]
    assert alpha["input"] == 2 * huge + 1000 and alpha["cache_read"] == 2 * huge
    # Both huge events are above the 200k band (input 6, cache writes 6 for 1 h, cache reads 0.6); the small one is not.
    expected = (2 * huge * (6 + 6 + 0.6) + 2 * 22.5 + 1000 * 3 + 10 * 15) / 1e6
    assert alpha.cost == pytest.approx(expected, rel=1e-9)
