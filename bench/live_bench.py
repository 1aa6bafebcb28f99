#!/usr/bin/env python3
"""Benchmark of the live server and the warm one-shot command, side by side.

    python3 bench/live_bench.py [--corpora DIR] [--rounds 15] [--warm-runs 5]
                                [--build NAME=PYTHONPATH ...] [--smoke]

Two lean corpora (bench/gen_corpus.py's, every filler text cut to a 64th of
its length) are written once to DIR (default bench/corpus): a large one,
about 43,000 files and 800,000 stored rows, and a small one, about 4,800
files and 150,000 rows. Then, for each build (by default the package this
script imports), in one run:

- server CPU per change: `ledgerly serve` over each corpus, both running at
  once; per round, one usage line is appended to each of 10 message-dialect
  files of one corpus, and once the server shows the new generation it is
  asked for one status and one per-model report. The CPU time of the
  server's process (every thread, from /proc/PID/task/*/schedstat) from
  just before the appends to the second answer is one change's cost. The
  rounds alternate between the corpora, so load from elsewhere falls on
  both; the figure is the ratio of the medians (goal: at most 1.5);
- server memory: its resident size (VmRSS) after the rounds, per row the
  large server holds (goal: at most 250 bytes);
- warm one-shot `daily --json` over the large corpus: after one command has
  saved the state, each further run's peak resident size (ru_maxrss) and
  wall time, runs of every build interleaved (goal: peak 160 MiB or less,
  time no worse than the build named first);
- answers: every server's status (its clock-bound fields aside), per-model
  and daily reports equal what `--no-cache` one-shot commands say over the
  same files at the end, and the warm command's JSON equals the cold one's.

Each server has its own cache and runtime folders (mode 0700) under the
corpus folder. `--smoke` runs the whole thing on two tiny corpora with two
rounds, for CI: it checks that the benchmark works and the answers agree,
not the figures. The machine is shared: compare ratios, which are
measured side by side.
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import gen_corpus  # noqa: E402

LEAN = 64  # filler texts are cut to 1/LEAN of their length
LARGE = (43_000, 1300 << 20)  # files, bytes asked for: about 850,000 stored rows
SMALL = (4_800, 240 << 20)  # about 156,000 rows
TINY = ((60, 2 << 20), (20, 1 << 20))
CHANGED_FILES = 10


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
            "corpus %s: %d files, %.0f MiB written in %.0f s"
            % (out, files, corpus.written / 2**20, time.monotonic() - started),
            flush=True,
        )
    finally:
        gen_corpus.Text.prose_of, gen_corpus.Text.code_of = prose, code
    with open(done, "w") as f:
        f.write("ok\n")


def private_folder(path):
    """A folder only this user may use (the server refuses any other)."""
    os.makedirs(path, mode=0o700, exist_ok=True)
    os.chmod(path, 0o700)
    return path


def usage_line(key, when_ms, cwd):
    usage = {
        "input_tokens": 12,
        "output_tokens": 345,
        "cache_read_input_tokens": 6789,
        "cache_creation_input_tokens": 100,
        "cache_creation": {"ephemeral_5m_input_tokens": 100, "ephemeral_1h_input_tokens": 0},
    }
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(when_ms / 1000)) + ".000Z"
    line = {
        "type": "assistant",
        "timestamp": stamp,
        "requestId": "req-" + key,
        "cwd": cwd,
        "message": {"id": key, "role": "assistant", "model": "alpha-4-5", "usage": usage},
    }
    return json.dumps(line, separators=(",", ":")) + "\n"


def message_logs(corpus):
    """The message-dialect session logs of a corpus (not subagents'), sorted."""
    found = []
    for folder, dirs, names in os.walk(os.path.join(corpus, "messages")):
        dirs.sort()
        if os.path.basename(folder) == "subagents":
            continue
        found.extend(os.path.join(folder, n) for n in sorted(names) if n.endswith(".jsonl"))
    return found


def cpu_ns(pid):
    """CPU time of every thread of process `pid`, in nanoseconds."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def get(url, path):
    with urllib.request.urlopen(url + path.lstrip("/"), timeout=300) as response:
        return json.loads(response.read()), int(response.headers.get("X-Ledgerly-Generation", "-1"))


def environment(pythonpath, home):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LEDGERLY_")}
    env["PYTHONPATH"] = pythonpath
    env["LEDGERLY_CACHE_DIR"] = private_folder(os.path.join(home, "cache"))
    env["LEDGERLY_RUNTIME_DIR"] = private_folder(os.path.join(home, "runtime"))
    env["TZ"] = "UTC"
    return env


class Server:
    """`ledgerly serve` over one corpus, in a process of its own."""

    def __init__(self, corpus, pythonpath, home):
        self.corpus = corpus
        self.env = environment(pythonpath, home)
        self.process = subprocess.Popen(
            [sys.executable, "-m", "ledgerly", "serve", "--source", corpus, "--port", "0", "--no-socket"],
            env=self.env,
            stderr=subprocess.PIPE,
            text=True,
        )
        banner = self.process.stderr.readline()
        if "serving " not in banner:
            self.process.kill()
            raise SystemExit("the server did not start: " + banner + self.process.stderr.read())
        self.url = banner.split("serving ", 1)[1].split()[0]
        self.logs = message_logs(corpus)[-CHANGED_FILES * 64 :]
        self.cursor = 0
        self.generation = get(self.url, "/api/v1/scan")[1]

    def change(self, label):
        """Appends one usage line to each of 10 logs, waits for the new
        generation, asks one status and one per-model report; returns the
        server's CPU seconds for all of it."""
        before = cpu_ns(self.process.pid)
        now = int(time.time() * 1000)
        for i in range(CHANGED_FILES):
            path = self.logs[self.cursor % len(self.logs)]
            self.cursor += 1
            with open(path, "a") as f:
                f.write(usage_line("%s-%d-%d" % (label, i, now), now, "/bench/live"))
        deadline = time.monotonic() + 120
        time.sleep(0.5)  # the notifier's debounce and the tick, without polling the server meanwhile
        while True:
            _scan, generation = get(self.url, "/api/v1/scan")
            if generation > self.generation:
                break
            if time.monotonic() > deadline:
                raise SystemExit("the server over %s never showed the change" % self.corpus)
            time.sleep(0.1)
        self.generation = generation
        get(self.url, "/api/v1/status")
        get(self.url, "/api/v1/report?group=model")
        return (cpu_ns(self.process.pid) - before) / 1e9

    def answers(self):
        """The status (without its clock-bound fields) and two reports."""
        return {
            "status": get(self.url, "/api/v1/status")[0],
            "models": get(self.url, "/api/v1/report?group=model")[0],
            "daily": get(self.url, "/api/v1/report?group=day")[0],
            "rows": get(self.url, "/api/v1/scan")[0]["rows"],
        }

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=120)
        except subprocess.TimeoutExpired:
            self.process.kill()


def one_shot(args, env):
    """The output of `python -m ledgerly ARGS`."""
    done = subprocess.run([sys.executable, "-m", "ledgerly", *args], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit("ledgerly %s failed: %s" % (" ".join(args), done.stderr))
    return done.stdout


def peak_of(args, env):
    """Runs `python -m ledgerly ARGS` under a helper process of its own (so
    that the children's peak resident size is this command's alone);
    returns its output, wall seconds and peak resident MiB."""
    code = (
        "import json,resource,subprocess,sys,time;t=time.perf_counter();"
        "p=subprocess.run(sys.argv[1:],capture_output=True);e=time.perf_counter()-t;"
        "sys.stdout.write(json.dumps([p.returncode,p.stdout.decode(),p.stderr.decode(),e,"
        "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss/1024]))"
    )
    done = subprocess.run(
        [sys.executable, "-c", code, sys.executable, "-m", "ledgerly", *args], env=env, capture_output=True, text=True
    )
    status, out, err, elapsed, peak = json.loads(done.stdout)
    if status != 0:
        raise SystemExit("ledgerly %s failed: %s" % (" ".join(args), err))
    return out, elapsed, peak


# Fields of a status that move with the clock, or say where it came from.
MOVING = ("now", "refreshed_at", "generation", "block", "burn", "limits", "source")


def comparable(status):
    return {k: v for k, v in status.items() if k not in MOVING}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpora", default=os.path.join(HERE, "corpus"), help="where the corpora are written once")
    parser.add_argument("--rounds", type=int, default=15, help="changes per corpus and build")
    parser.add_argument("--warm-runs", type=int, default=5, help="runs of the warm one-shot command per build")
    parser.add_argument(
        "--build",
        action="append",
        default=[],
        metavar="NAME=PYTHONPATH",
        help="a build of the package to measure (repeatable; default: the one this script imports)",
    )
    parser.add_argument("--smoke", action="store_true", help="tiny corpora and two rounds: a check that it all works")
    args = parser.parse_args(argv)

    builds = [b.split("=", 1) for b in args.build] or [["this", os.pathsep.join(p for p in sys.path if p)]]
    sizes = TINY if args.smoke else (LARGE, SMALL)
    rounds = 2 if args.smoke else args.rounds
    warm_runs = 1 if args.smoke else args.warm_runs
    corpora = []
    for files, size in sizes:
        path = os.path.join(args.corpora, "live-%d-%d" % (files, size))
        lean_corpus(path, files, size)
        corpora.append(path)
    large, small = corpora
    print("load average before: %.2f %.2f %.2f" % os.getloadavg(), flush=True)

    work = tempfile.mkdtemp(prefix="live-bench-", dir=private_folder(os.path.join(args.corpora, "runs")))
    results = {}
    try:
        for name, pythonpath in builds:
            # Each build reads its own copy of the logs it changes: the
            # appends of one build must not reach the other's answers.
            copies = {}
            for corpus in corpora:
                copy = os.path.join(work, name, os.path.basename(corpus))
                shutil.copytree(corpus, copy, copy_function=os.link)
                for path in message_logs(copy)[-CHANGED_FILES * 64 :]:
                    shutil.copyfile(path, path + ".copy")
                    os.replace(path + ".copy", path)
                copies[corpus] = copy
            servers = {}
            try:
                for corpus in corpora:
                    servers[corpus] = Server(
                        copies[corpus], pythonpath, os.path.join(work, name, "home-" + os.path.basename(corpus))
                    )
                costs = {corpus: [] for corpus in corpora}
                for r in range(rounds):
                    for corpus in corpora if r % 2 == 0 else corpora[::-1]:
                        costs[corpus].append(servers[corpus].change("%s-%d" % (name, r)))
                rss = rss_mib(servers[large].process.pid)
                answers = {corpus: servers[corpus].answers() for corpus in corpora}
            finally:
                for server in servers.values():
                    server.stop()
            # The answers against one-shot commands reading the same files cold.
            for corpus in corpora:
                env = environment(pythonpath, os.path.join(work, name, "cold"))
                cold = {
                    "status": comparable(
                        json.loads(
                            one_shot(["status", "--json", "--no-server", "--no-cache", "--source", copies[corpus]], env)
                        )
                    ),
                    "models": json.loads(one_shot(["models", "--json", "--no-cache", "--source", copies[corpus]], env)),
                    "daily": json.loads(one_shot(["daily", "--json", "--no-cache", "--source", copies[corpus]], env)),
                }
                served = dict(answers[corpus])
                served.pop("rows")
                served["status"] = comparable(served["status"])
                for what in cold:
                    if served[what] != cold[what]:
                        raise SystemExit(
                            "build %s: over %s, the server's %s differs from the one-shot command's:\n%s\n%s"
                            % (name, corpus, what, json.dumps(served[what])[:2000], json.dumps(cold[what])[:2000])
                        )
            results[name] = {
                "cpu": {corpus: statistics.median(costs[corpus]) for corpus in corpora},
                "rss": rss,
                "rows": answers[large]["rows"],
                "rows_small": answers[small]["rows"],
                "copies": copies,
                "pythonpath": pythonpath,
            }

        # Warm one-shot daily --json over the large corpus, builds interleaved.
        warm = {name: {"time": [], "peak": []} for name, _ in builds}
        envs = {}
        for name, pythonpath in builds:
            env = environment(pythonpath, os.path.join(work, name, "warm"))
            target = results[name]["copies"][large]
            cold_json = one_shot(["daily", "--json", "--no-cache", "--source", target], env)
            one_shot(["daily", "--json", "--source", target], env)  # saves the state
            envs[name] = (env, target, cold_json)
        for _ in range(warm_runs):
            for name, _ in builds:
                env, target, cold_json = envs[name]
                out, elapsed, peak = peak_of(["daily", "--json", "--source", target], env)
                if json.loads(out) != json.loads(cold_json):
                    raise SystemExit("build %s: the warm daily --json differs from the cold one" % name)
                warm[name]["time"].append(elapsed)
                warm[name]["peak"].append(peak)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    print()
    print(
        "| build | CPU per change, large | small | ratio (goal ≤ 1.5) | server RSS | per stored row (goal ≤ 250 B) "
        "| warm daily --json peak (goal ≤ 160 MiB) | its time |"
    )
    print("|---|---|---|---|---|---|---|---|")
    first = builds[0][0]
    for name, _ in builds:
        r = results[name]
        big, little = r["cpu"][large], r["cpu"][small]
        peak, seconds = statistics.median(warm[name]["peak"]), statistics.median(warm[name]["time"])
        versus = "" if name == first else " (%.2f× %s)" % (seconds / statistics.median(warm[first]["time"]), first)
        print(
            "| %s | %.1f ms (%d rows) | %.1f ms (%d rows) | %.2f | %.0f MiB | %.0f B | %.0f MiB | %.2f s%s |"
            % (
                name,
                big * 1000,
                r["rows"],
                little * 1000,
                r["rows_small"],
                big / little,
                r["rss"],
                r["rss"] * 2**20 / max(1, r["rows"]),
                peak,
                seconds,
                versus,
            )
        )
    print(
        "\nanswers: every server's status, per-model and daily reports equal the --no-cache commands'; "
        "every warm daily --json equals the cold one"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
