#!/usr/bin/env python3
"""Two pure-Python peers of the engine, as a host author would write them.

    python3 bench/peers.py FOLDER [FOLDER ...] [--decoder json|orjson]

Each peer reads every *.jsonl file under the folders whole, keeps the lines
that hold one of the usage-line markers (the same byte substrings the engine
looks for), decodes them with the standard json module or with orjson, and
sums the usage per model:

- event logs (any file not under a folder named "messages"): the model comes
  from the latest turn_context line; each token_count event adds its
  last_token_usage; an event whose running total equals the previous one is a
  repeated snapshot and is skipped; events dated before the session's start
  (history copied into a forked session) are skipped;
- message logs: each assistant line with usage is one response; responses
  sharing a message id (or request id) count once, the one with the most
  output tokens winning, then the later one.

What the peers leave out, on purpose: strict decoding (repeated keys, floats
for counts and the like are accepted here), the usage sanity checks, matching
a forked session's opening events against its parent's rows (only the
dated-before-start rule above is applied), file identities and incremental
reading. On logs that need none of these they give the engine's totals.
"""

import argparse
import datetime
import json
import os
import sys
import time

EVENT_MARKERS = (b'"token_count"', b'"turn_context"', b'"session_meta"')
MESSAGE_MARKER = b'"usage"'
FIELDS = ("input", "cached_input", "output", "reasoning_output", "cache_write_5m", "cache_write_1h", "cache_read")
SNAPSHOT_KEYS = ("input_tokens", "cached_input_tokens", "output_tokens", "reasoning_output_tokens", "total_tokens")
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
MS = datetime.timedelta(milliseconds=1)


def list_logs(folders):
    """(path, is_message_log) for every *.jsonl file under `folders`, sorted."""
    logs = []
    for folder in folders:
        for root, dirs, files in os.walk(os.path.abspath(folder)):
            dirs.sort()
            message = "messages" in root.split(os.sep)
            logs.extend((os.path.join(root, f), message) for f in sorted(files) if f.endswith(".jsonl"))
    return logs


def normalize(model):
    name = model.lower()
    if name.endswith("[1m]"):
        name = name[:-4]
    head, dash, tail = name.rpartition("-")
    if dash and len(tail) == 8 and tail.isascii() and tail.isdigit():
        name = head
    return name or "unknown"


def millis(text):
    if not isinstance(text, str):
        return None
    try:
        when = datetime.datetime.fromisoformat(text.replace("Z", "+00:00").replace("z", "+00:00"))
    except ValueError:
        return None
    if when.tzinfo is None:
        return None
    return (when - EPOCH) // MS


def _complete_lines(path):
    with open(path, "rb") as f:
        data = f.read()
    # A last line without its newline is still being written: leave it.
    return data[: data.rfind(b"\n") + 1].split(b"\n")


def _count(i, name):
    value = i.get(name) if i else None
    return value if isinstance(value, int) else 0


class Peer:
    def __init__(self, loads):
        self.loads = loads
        self.totals = {}  # model -> [rows] + seven sums
        self.responses = {}  # message key -> (output, timestamp, model, counts)

    def add(self, model, counts):
        sums = self.totals.get(model)
        if sums is None:
            sums = self.totals[model] = [0] * (1 + len(FIELDS))
        sums[0] += 1
        for i, value in enumerate(counts, 1):
            sums[i] += value

    def decode(self, line):
        try:
            value = self.loads(line)
        except ValueError:
            return None
        return value if isinstance(value, dict) else None

    def event_log(self, path):
        model, snapshot, started, has_session = "unknown", None, None, False
        for line in _complete_lines(path):
            if not any(marker in line for marker in EVENT_MARKERS):
                continue
            entry = self.decode(line)
            if entry is None:
                continue
            kind = entry.get("type")
            payload = entry.get("payload") or {}
            if kind == "turn_context":
                if isinstance(payload.get("model"), str):
                    model = normalize(payload["model"])
            elif kind == "session_meta":
                if not has_session:
                    has_session = True
                    stamp = payload.get("timestamp")
                    started = millis(stamp if stamp is not None else entry.get("timestamp"))
            elif kind == "event_msg" and payload.get("type") == "token_count" and payload.get("info"):
                info = payload["info"]
                last = info.get("last_token_usage") or {}
                when = millis(entry.get("timestamp"))
                if when is None:
                    continue
                total = info.get("total_token_usage")
                if total is not None:
                    snap = tuple(_count(total, k) for k in SNAPSHOT_KEYS)
                    if snap == snapshot:
                        continue
                    snapshot = snap
                counts = (
                    _count(last, "input_tokens"),
                    _count(last, "cached_input_tokens"),
                    _count(last, "output_tokens"),
                    _count(last, "reasoning_output_tokens"),
                    0,
                    0,
                    0,
                )
                if counts[0] == 0 and counts[2] == 0:
                    continue
                if started is not None and when < started:
                    continue
                self.add(model, counts)

    def message_log(self, path):
        for line in _complete_lines(path):
            if MESSAGE_MARKER not in line:
                continue
            entry = self.decode(line)
            if entry is None or entry.get("type") != "assistant":
                continue
            message = entry.get("message")
            usage = message.get("usage") if isinstance(message, dict) else None
            if not usage:
                continue
            model = normalize(message.get("model") or "unknown")
            if model in ("unknown", "<synthetic>"):
                continue
            split = usage.get("cache_creation") or {}
            five, hour = _count(split, "ephemeral_5m_input_tokens"), _count(split, "ephemeral_1h_input_tokens")
            five += max(0, _count(usage, "cache_creation_input_tokens") - (five + hour))
            counts = (
                _count(usage, "input_tokens"),
                0,
                _count(usage, "output_tokens"),
                0,
                five,
                hour,
                _count(usage, "cache_read_input_tokens"),
            )
            when = millis(entry.get("timestamp"))
            if when is None:
                continue
            key = message.get("id")
            if key is None:
                key = entry.get("requestId") or ""
            if not key:
                self.add(model, counts)
                continue
            best = self.responses.get(key)
            if best is None or counts[2] > best[0] or (counts[2] == best[0] and when > best[1]):
                self.responses[key] = (counts[2], when, model, counts)

    def run(self, logs):
        for path, message in logs:
            if message:
                self.message_log(path)
            else:
                self.event_log(path)
        for _, _, model, counts in self.responses.values():
            self.add(model, counts)
        return {model: dict(zip(("rows",) + FIELDS, sums)) for model, sums in self.totals.items()}


def decoder(name):
    if name == "json":
        return json.loads
    import orjson

    return orjson.loads


def main(argv=None):
    parser = argparse.ArgumentParser(description="Sum token usage per model with a pure-Python peer.")
    parser.add_argument("folders", nargs="+", metavar="FOLDER")
    parser.add_argument("--decoder", choices=("json", "orjson"), default="json")
    args = parser.parse_args(argv)
    began = time.perf_counter()
    totals = Peer(decoder(args.decoder)).run(list_logs(args.folders))
    elapsed = time.perf_counter() - began
    print(
        json.dumps(
            {
                "decoder": args.decoder,
                "seconds": round(elapsed, 3),
                "rows": sum(t["rows"] for t in totals.values()),
                "models": totals,
            },
            indent=2,
            sort_keys=True,
        )
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
