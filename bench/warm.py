#!/usr/bin/env python3
"""Times one-shot commands that start from the saved state, side by side
with the same commands reading cold, on the scale corpus.

    PYTHONPATH=build/dev/python python3 bench/warm.py [--corpus DIR] [--mirror DIR] [--runs N] [--grow N]

The commands run on a mirror of the corpus (--mirror, default DIR-mirror
beside it): every file hard-linked, except the --grow files that the
rounds append to, which are copies; the mirror is made once and its grown
files are cut back to their first sizes when the runner starts, so the
corpus itself is never written and every run starts from the same tree.
The states go to a cache folder of the runner's own (the mirror's name
with -cache).

In each round, interleaved, each a fresh `python -m ledgerly` process,
each timed command started right after the state was saved with every
file as it is (by a ledger in this interpreter, untimed):

- `daily --json`, N files grown since the state was saved (20 lines
  each), against the same command with --no-cache on the same tree (its
  JSON must be the same);
- `daily --json` with nothing changed since the state was saved;
- `status --no-server`, N files grown since the state was saved, against
  `python -c "import ledgerly, numpy"`.

Then, in this interpreter, the listing of the mirror on its own,
interleaved: the native walk with the dialects kept in the saved state,
the same walk in Python with the same dialects, and the native walk with
none (every file opened to recognise its dialect, as a cold listing does).

Prints medians, the ratios against the goals, the saved state's size and
its rows file's, the machine and the load average before and after. The
package is compiled to bytecode first, as an install leaves it.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from run import loadavg, machine  # noqa: E402

GOALS = {"grown": 0.15, "unchanged": 0.12, "status": 3.0}


# ---------------------------------------------------------------------------
# The mirror


def choose(corpus, count):
    """`count` logs of 64 KiB to 1 MiB spread over the corpus, both dialects
    in turn: the sessions a person is working in."""
    from ledgerly.sources import Source
    from ledgerly.walk import list_files

    listing = list_files([Source(corpus)])
    middling = [f for f in listing.files if 64 << 10 <= f.size <= 1 << 20]
    by_kind = {0: [f for f in middling if f.kind == 0], 1: [f for f in middling if f.kind != 0]}
    chosen = []
    for i in range(count):
        pool = by_kind[i % 2] or middling
        chosen.append(pool[(i // 2 + 1) * len(pool) // (count // 2 + 2)])
    return [(os.path.relpath(f.path, corpus), f.size, f.kind) for f in chosen]


def make_mirror(corpus, mirror, count):
    """The mirror (made when missing or made for another corpus), with its
    grown files cut back to their first sizes. Returns the grown files:
    (path, first size, dialect code)."""
    marker = os.path.join(mirror, ".mirror.json")
    try:
        with open(marker) as f:
            made = json.load(f)
    except (OSError, ValueError):
        made = None
    if made is None or made["corpus"] != corpus or len(made["grown"]) != count:
        if os.path.exists(mirror):
            shutil.rmtree(mirror)
        grown = choose(corpus, count)
        copies = {rel for rel, _size, _kind in grown}
        began = time.perf_counter()
        for folder, _dirs, names in os.walk(corpus):
            target = os.path.join(mirror, os.path.relpath(folder, corpus))
            os.makedirs(target, exist_ok=True)
            for name in names:
                source = os.path.join(folder, name)
                rel = os.path.relpath(source, corpus)
                if rel in copies:
                    shutil.copyfile(source, os.path.join(target, name))
                else:
                    os.link(source, os.path.join(target, name))
        made = {"corpus": corpus, "grown": grown}
        with open(marker, "w") as f:
            json.dump(made, f)
        print("made the mirror %s in %.1f s" % (mirror, time.perf_counter() - began), file=sys.stderr)
    out = []
    for rel, size, kind in made["grown"]:
        path = os.path.join(mirror, rel)
        if os.stat(path).st_nlink != 1:  # never write through a link into the corpus
            sys.exit("%s is not a copy of its own" % path)
        os.truncate(path, size)
        out.append((path, size, kind))
    return out


def grow(files, tag, lines=20):
    """Appends `lines` usage lines of the file's dialect to each file."""
    now = time.time()
    for index, (path, _size, kind) in enumerate(files):
        text = []
        for i in range(lines):
            when = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now - 60 + i))
            if kind == 0:
                text.append(
                    {
                        "type": "assistant",
                        "timestamp": when,
                        "message": {
                            "id": "grow-%s-%d-%d" % (tag, index, i),
                            "role": "assistant",
                            "model": "model-x",
                            "usage": {"input_tokens": 100 + i, "output_tokens": 20, "cache_read_input_tokens": 900},
                        },
                    }
                )
            else:
                total = 10**12 + int(now) * 100 + i  # above any running total in the file
                usage = {"input_tokens": 100, "cached_input_tokens": 0, "output_tokens": 20, "total_tokens": 120}
                text.append(
                    {
                        "timestamp": when,
                        "type": "event_msg",
                        "payload": {
                            "type": "token_count",
                            "info": {
                                "total_token_usage": {**usage, "input_tokens": total, "total_tokens": total + 20},
                                "last_token_usage": usage,
                            },
                        },
                    }
                )
        with open(path, "a") as f:
            f.write("".join(json.dumps(o, separators=(",", ":")) + "\n" for o in text))


# ---------------------------------------------------------------------------
# Timing


def timed(command, env):
    began = time.perf_counter()
    done = subprocess.run(command, env=env, capture_output=True, check=False)
    seconds = time.perf_counter() - began
    if done.returncode != 0:
        sys.exit("%s failed (%d): %s" % (" ".join(command), done.returncode, done.stderr.decode()[-2000:]))
    return seconds, done.stdout


def save_state_now(mirror, cache):
    """Saves the mirror's state with every file as it is now."""
    from ledgerly.ledger import Ledger
    from ledgerly.saved import state_path
    from ledgerly.sources import Source

    sources = [Source(mirror)]
    ledger = Ledger(sources, 2, state=state_path(sources, cache))
    ledger.refresh()
    ledger.save()


def listing_measures(mirror, state, runs):
    """Median seconds of listing the mirror natively with the dialects kept
    in `state` (saved with every file as it is), of the same walk in
    Python with the same dialects, and of the native walk with none (every
    file opened to recognise it); and the file count."""
    from ledgerly.saved.state_file import restore_dialects
    from ledgerly.sniffing import SniffCache
    from ledgerly.sources import Source
    from ledgerly.walk import list_files, walk_files

    sources = [Source(mirror)]
    times = {"native": [], "python": [], "cold": []}
    files = 0
    for _ in range(runs):
        for key, walk in (("native", list_files), ("python", walk_files)):
            sniffs = SniffCache()
            began = time.perf_counter()
            usable, refused = restore_dialects(state, sources, sniffs)
            files = walk(sources, sniffs).file_count
            times[key].append(time.perf_counter() - began)
            if not usable or sniffs.reads:
                sys.exit("the saved dialects were not used (%s, %d files opened)" % (refused, sniffs.reads))
        began = time.perf_counter()
        list_files(sources, SniffCache())
        times["cold"].append(time.perf_counter() - began)
    return {key: statistics.median(values) for key, values in times.items()}, files


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", default=os.path.join(HERE, "corpus-scale"), help="the scale corpus (read only)")
    parser.add_argument("--mirror", help="the mirror tree (default: CORPUS-mirror)")
    parser.add_argument("--runs", type=int, default=5, help="rounds (default 5)")
    parser.add_argument("--grow", type=int, default=10, help="files grown before the timed commands (default 10)")
    args = parser.parse_args(argv)
    corpus = os.path.abspath(args.corpus)
    if not os.path.isdir(corpus):
        sys.exit("no corpus at %s (bench/gen_corpus.py %s --scale writes one)" % (corpus, corpus))
    mirror = os.path.abspath(args.mirror or corpus.rstrip(os.sep) + "-mirror")
    load_before = loadavg()
    files = make_mirror(corpus, mirror, args.grow)

    cache = mirror.rstrip(os.sep) + "-cache"
    shutil.rmtree(cache, ignore_errors=True)
    # The package as an install leaves it: compiled to bytecode once (a
    # build folder run with PYTHONDONTWRITEBYTECODE would compile it again
    # in every process).
    import compileall

    import ledgerly as package

    compileall.compile_dir(os.path.dirname(package.__file__), quiet=1)
    env = dict(os.environ, LEDGERLY_CACHE_DIR=cache, TZ="UTC", NO_COLOR="1")
    env.pop("LEDGERLY_NO_CACHE", None)
    ledgerly = [sys.executable, "-m", "ledgerly"]
    daily = ledgerly + ["daily", "--json", "--workers", "2", "--tz", "UTC", "--source", mirror]
    status = ledgerly + ["status", "--no-server", "--workers", "2", "--tz", "UTC", "--source", mirror]
    baseline = [sys.executable, "-c", "import ledgerly, numpy"]

    timed(daily, env)  # the first state, and a warm page cache
    times = {key: [] for key in ("grown", "cold", "unchanged", "status", "import")}
    for round_ in range(args.runs):
        save_state_now(mirror, cache)
        grow(files, "d%d" % round_)
        seconds, warm_out = timed(daily, env)
        times["grown"].append(seconds)
        save_state_now(mirror, cache)
        seconds, unchanged_out = timed(daily, env)
        times["unchanged"].append(seconds)
        seconds, cold_out = timed(daily + ["--no-cache"], env)
        times["cold"].append(seconds)
        if not warm_out == unchanged_out == cold_out:
            sys.exit("round %d: the JSON differs with and without the saved state" % round_)
        save_state_now(mirror, cache)
        grow(files, "s%d" % round_)
        times["status"].append(timed(status, env)[0])
        times["import"].append(timed(baseline, env)[0])
    med = {key: statistics.median(values) for key, values in times.items()}

    from ledgerly.saved import list_states

    states, _temporary = list_states(cache)
    if len(states) != 1:
        sys.exit("expected one saved state in %s, found %d" % (cache, len(states)))
    state = states[0]
    save_state_now(mirror, cache)
    listing, listed = listing_measures(mirror, state.path, args.runs)
    for path, size, _kind in files:  # the mirror as it was made
        os.truncate(path, size)

    rows = [
        (
            "daily --json, state saved, %d files grown" % args.grow,
            med["grown"],
            "%.3fx the same with --no-cache (goal <= %.2fx)" % (med["grown"] / med["cold"], GOALS["grown"]),
        ),
        (
            "daily --json, state saved, nothing changed",
            med["unchanged"],
            "%.3fx (goal <= %.2fx)" % (med["unchanged"] / med["cold"], GOALS["unchanged"]),
        ),
        ("daily --json --no-cache", med["cold"], "same JSON as both above in every round"),
        (
            "status, state saved, no server, %d files grown" % args.grow,
            med["status"],
            "%.2fx python -c 'import ledgerly, numpy' (goal <= %.1fx)"
            % (med["status"] / med["import"], GOALS["status"]),
        ),
        ("python -c 'import ledgerly, numpy'", med["import"], ""),
        (
            "listing %d files natively, dialects kept in the state" % listed,
            listing["native"],
            "%.2fx the same walk in Python (%.3f s)" % (listing["native"] / listing["python"], listing["python"]),
        ),
        (
            "listing them natively, every dialect recognised",
            listing["cold"],
            "",
        ),
    ]
    width = max(len(r[0]) for r in rows)
    print()
    for label, seconds, note in rows:
        print("%s  %7.3f s  %s" % (label.ljust(width), seconds, note))
    print()
    print(
        "saved state: %.1f MiB, %d files, %d stored rows; its rows file %.1f MiB"
        % (
            (state.bytes - state.rows_file_bytes) / (1 << 20),
            state.files or 0,
            state.rows or 0,
            state.rows_file_bytes / (1 << 20),
        )
    )
    print("machine: " + machine())
    print(
        "median of %d rounds, each command a fresh process, interleaved; load average %s before, %s after"
        % (args.runs, load_before, loadavg())
    )


if __name__ == "__main__":
    main()
