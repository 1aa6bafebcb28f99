#!/usr/bin/env python3
"""Benchmark of the live server: a tick against the engine's own refresh,
and `ledgerly status` asked of the server against a one-shot status.

    python3 bench/live_bench.py [--files 40000] [--size BYTES] [--rounds 15] [--runs 7]

The corpus is bench/gen_corpus.py's, in a lean variant (every filler text
cut to a 64th of its length), so that 40,000 files hold about a million
stored rows in 1.6 GiB; it is written once to
bench/corpus/live-<files>-<size>/. Then, side by side on one machine:

- engine: one `Engine` holding the corpus; per round, one new usage line
  is appended to each of 10 message-dialect files, and the time of
  `Engine.refresh` on the full manifest with those 10 entries updated (the
  manifest text is made beforehand, outside the timing) is taken;
- server: `ledgerly serve` over the same corpus (its own copy of the
  state, in its own process); per round, the same kind of append to 10
  other files, and the tick's own time as the server reports it in
  /api/v1/scan (from the notification's arrival to the new snapshot, and
  the ledger's refresh within it, so that the tick's overhead is also
  compared with a refresh made at the same moment in the same process),
  the first status answer after it (computed afresh), and the wall time
  from the appends until the server answers with the new generation
  (which includes the notifier's 200 ms debounce);
- status: `ledgerly status` (a new interpreter each run) answered by the
  server, against `ledgerly status --no-server` reading the corpus itself,
  with `python -c pass` as the interpreter's floor, interleaved;
- the server's resident memory (VmRSS) after the rounds.

Figures are medians. The machine is shared: run it when it is quiet, or
compare ratios, which are measured side by side.
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import gen_corpus  # noqa: E402

LEAN = 64  # filler texts are cut to 1/LEAN of their length


def lean_corpus(out, files, size, seed=7):
    """Writes the lean corpus unless it is there already."""
    done = os.path.join(out, ".complete")
    if os.path.exists(done):
        return
    prose, code = gen_corpus.Text.prose_of, gen_corpus.Text.code_of
    gen_corpus.Text.prose_of = lambda self, rng, n: prose(self, rng, max(8, n // LEAN))
    gen_corpus.Text.code_of = lambda self, rng, n: code(self, rng, max(8, n // LEAN))
    try:
        started = time.monotonic()
        corpus = gen_corpus.Corpus(out, seed, size, files)
        corpus.run()
        print(
            "corpus: %d files, %.0f MiB written in %.0f s"
            % (files, corpus.written / 2**20, time.monotonic() - started),
            flush=True,
        )
    finally:
        gen_corpus.Text.prose_of, gen_corpus.Text.code_of = prose, code
    with open(done, "w") as f:
        f.write("ok\n")


def usage_line(key, when_ms, cwd):
    usage = {
        "input_tokens": 12,
        "output_tokens": 345,
        "cache_read_input_tokens": 6789,
        "cache_creation_input_tokens": 100,
        "cache_creation": {"ephemeral_5m_input_tokens": 100, "ephemeral_1h_input_tokens": 0},
    }
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(when_ms / 1000)) + ".000Z"
    return (
        json.dumps(
            {
                "type": "assistant",
                "timestamp": stamp,
                "requestId": "req-" + key,
                "cwd": cwd,
                "message": {"id": key, "role": "assistant", "model": "alpha-4-5", "usage": usage},
            },
            separators=(",", ":"),
        )
        + "\n"
    )


def append_round(paths, label):
    now = int(time.time() * 1000)
    for i, path in enumerate(paths):
        with open(path, "a") as f:
            f.write(usage_line("%s-%d-%d" % (label, i, now), now, "/bench/live"))


def median(values):
    return statistics.median(values)


def get(url, path):
    with urllib.request.urlopen(url + path.lstrip("/"), timeout=60) as response:
        return json.loads(response.read()), int(response.headers.get("X-Ledgerly-Generation", "-1"))


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def run_command(args, env):
    started = time.perf_counter()
    done = subprocess.run(args, capture_output=True, text=True, env=env)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit("%s failed: %s" % (" ".join(args), done.stderr))
    return elapsed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=40_000)
    parser.add_argument(
        "--size", type=int, default=1600 << 20, help="approximate corpus bytes (1.6 GiB: about a million rows)"
    )
    parser.add_argument("--rounds", type=int, default=15, help="rounds of 10 appended files")
    parser.add_argument("--runs", type=int, default=7, help="runs of each status command")
    args = parser.parse_args(argv)

    from ledgerly import Engine
    from ledgerly.ledger import default_workers
    from ledgerly.sources import Source
    from ledgerly.walk import list_files

    corpus = os.path.join(HERE, "corpus", "live-%d-%d" % (args.files, args.size))
    lean_corpus(corpus, args.files, args.size)
    listing = list_files([Source(corpus)])
    entries = list(listing.files)
    messages = [i for i, f in enumerate(entries) if f.kind == 0 and not f.sub]
    engine_files, server_files = messages[: 10 * args.rounds], messages[-10 * args.rounds :]
    workers = default_workers()

    # The engine alone.
    engine = Engine()
    started = time.perf_counter()
    _text, rows = engine.refresh(listing.manifest(), workers)
    print(
        "engine: %d files, %d rows stored, first read %.2f s"
        % (len(entries), len(rows) // 104, time.perf_counter() - started),
        flush=True,
    )

    env = {k: v for k, v in os.environ.items() if not k.startswith("LEDGERLY_")}
    runtime = os.path.join(HERE, "out", "live-runtime")
    os.makedirs(runtime, exist_ok=True)
    env["LEDGERLY_RUNTIME_DIR"] = runtime
    server = subprocess.Popen(
        [sys.executable, "-m", "ledgerly", "serve", "--source", corpus, "--port", "0"],
        env=env,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        banner = server.stderr.readline()
        if "serving " not in banner:
            raise SystemExit("the server did not start: " + banner + server.stderr.read())
        url = banner.split("serving ", 1)[1].split()[0]
        print("server: " + banner.split("serving ", 1)[1].strip(), flush=True)
        engine_times, ticks, inner, answers, walls = [], [], [], [], []
        for r in range(args.rounds):
            # Engine: the manifest with the 10 grown entries, made before the timing.
            chosen = engine_files[10 * r : 10 * r + 10]
            append_round([entries[i].path for i in chosen], "e%d" % r)
            for i in chosen:
                st = os.stat(entries[i].path)
                entries[i] = entries[i]._replace(size=st.st_size, mtime_ns=st.st_mtime_ns)
            manifest = json.dumps(entries, separators=(",", ":"), ensure_ascii=False)
            started = time.perf_counter()
            engine.refresh(manifest, workers)
            engine_times.append(time.perf_counter() - started)

            # Server: 10 other files; wait for the new generation.
            _scan, generation = get(url, "/api/v1/scan")
            chosen = server_files[10 * r : 10 * r + 10]
            started = time.perf_counter()
            append_round([entries[i].path for i in chosen], "s%d" % r)
            while True:
                scan, now_generation = get(url, "/api/v1/scan")
                if now_generation > generation:
                    break
                time.sleep(0.02)
            asked = time.perf_counter()
            get(url, "/api/v1/status")
            answered = time.perf_counter()
            walls.append(answered - started)
            answers.append(answered - asked)
            ticks.append(scan["last_tick"]["seconds"])
            inner.append(scan["last_tick"]["refresh_seconds"])
            if scan["last_tick"]["kind"] != "update" or scan["last_tick"]["paths"] < 1:
                print(
                    "  (round %d: the tick was a %s of %d paths)"
                    % (r, scan["last_tick"]["kind"], scan["last_tick"]["paths"])
                )
            time.sleep(0.5)
        rss = rss_mib(server.pid)

        status_env = dict(env)
        served, alone, floor = [], [], []
        for _ in range(args.runs):
            floor.append(run_command([sys.executable, "-c", "pass"], status_env))
            served.append(run_command([sys.executable, "-m", "ledgerly", "status"], status_env))
            alone.append(
                run_command([sys.executable, "-m", "ledgerly", "status", "--no-server", "--source", corpus], status_env)
            )
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(timeout=60)

    e, t = median(engine_times), median(ticks)
    print()
    print("| measure | median | compared with |")
    print("|---|---|---|")
    print(
        "| engine refresh of 10 grown files (%d files, %d rows) | %.1f ms | |"
        % (len(entries), len(rows) // 104, e * 1000)
    )
    i = median([a / b for a, b in zip(ticks, inner)])
    print(
        "| server tick: notification to new snapshot | %.1f ms | %.2f× the engine refresh above; %.2f× the "
        "refresh inside the same tick |" % (t * 1000, t / e, i)
    )
    print("| first status answer after the tick | %.1f ms | |" % (median(answers) * 1000))
    print(
        "| appends to answer with the new generation (200 ms debounce included) | %.0f ms | |" % (median(walls) * 1000)
    )
    print(
        "| `ledgerly status` answered by the server | %.0f ms | 1/%.0f of the one-shot; interpreter start alone "
        "%.0f ms |" % (median(served) * 1000, median(alone) / median(served), median(floor) * 1000)
    )
    print("| `ledgerly status --no-server` (one-shot scan) | %.0f ms | |" % (median(alone) * 1000))
    print("| server resident memory | %.0f MiB | %.0f bytes per stored row |" % (rss, rss * 2**20 / (len(rows) / 104)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
