#!/usr/bin/env python3
"""Times the engine side by side with its floor and its peers.

    PYTHONPATH=build-dev/python python3 bench/run.py [--corpus DIR] [--size BYTES] [--files N] [--runs N]
    PYTHONPATH=build-dev/python python3 bench/run.py --scale [--corpus DIR] [--runs N] [--build NAME=DIR ...]

Writes the corpus with gen_corpus.py when DIR holds none, builds io_floor.c
with cc, and prints one table. Every figure is the median of --runs runs with
the page cache warm (a full read precedes the first timed run).

- cold refresh: a new Engine reads the whole corpus with 1 and 2 workers,
  against the I/O floor (one thread reading every byte) and the two peers;
- no-op refresh: 10,000 unchanged files, against json.loads of the manifest;
- one-line append: a refresh after one line is added to a state of about
  1M stored rows (the export rebuilds the whole row buffer), against one
  copy of that buffer;
- memory: resident-set growth per stored row;
- attribution (also alone with --attribution-only, which needs no corpus): a
  forced refresh of about 1M stored rows by ledgerly._ledger (records and
  the file of each) against ledgerly._native (records), and the session
  list of those rows against grouping them by day and model;
- Parquet export (needs pyarrow): exporting every row of the corpus into a
  fresh tree, and again over the unchanged tree, against a forced refresh
  of the same state; bytes per event, at the corpus's density and at a
  third of it.

With --scale the runner measures a corpus shaped like the largest real trees
(gen_corpus.py --scale, written into bench/corpus-scale by default) instead,
and prints one column per module build (--build NAME=DIR puts DIR, a folder
holding the ledgerly package, first on the path; without it the module on
the current path is used). Each build runs in fresh interpreters, one per
round, and the rounds alternate between builds, so a busy machine weighs on
all columns alike:

- cold refresh: a new Engine reads the corpus with 2 workers, against a
  2-thread I/O floor (io_floor -t 2 over the files largest first, the order
  in which the engine's workers take them);
- no-op refresh: the same manifest again;
- forced re-export: a refresh with force=True on the unchanged state,
  against one copy of the row buffer it returns (bytearray(buffer));
- stored state: the heap bytes (glibc mallinfo2, or the resident size where
  that is missing) freed by dropping the engine after the cold refresh,
  split into a per-file part (an engine holding every file with no bytes
  read: the same manifest with every size 0) and the rest per exported row;
- peak resident size (VmHWM) of the interpreter right after its one cold
  refresh;
- the saved state (ledgerly._ledger, after its own cold refresh): the
  file's size against the heap the state holds, and, interleaved, save
  against writing the same bytes once to a new file (of the state as
  loaded, and as the cold refresh left it) and load against reading the
  file's bytes once into a new bytes object.

Timed figures also come as CPU time (all threads of the process), which a
busy machine inflates far less than wall-clock time.
"""

import argparse
import ctypes
import functools
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from ledgerly._native import Engine  # noqa: E402
from ledgerly.layout import TOKEN_FIELDS, view_rows, words  # noqa: E402
from ledgerly.sources import Source  # noqa: E402
from ledgerly.walk import list_files  # noqa: E402

import peers  # noqa: E402


def list_logs(folder):
    """The manifest entries (array form) of the logs under `folder`."""
    return list(list_files([Source(os.path.abspath(folder))]).files)


def model_totals(report, buffer):
    """{model: {"rows": n, token field: sum}} of a refresh's rows."""
    rows = view_rows(buffer)
    out = {}
    for index, name in enumerate(report["models"]):
        mine = words(rows)[rows["model"] == index][:, 6:]
        out[name] = dict(zip(("rows",) + TOKEN_FIELDS, [len(mine)] + [int(v) for v in mine.sum(axis=0)]))
    return out


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        began = time.perf_counter()
        fn()
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def machine():
    model = platform.processor() or "unknown cpu"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return "%s, %d CPUs, %s %s, Python %s" % (
        model,
        os.cpu_count() or 0,
        platform.system(),
        platform.release(),
        platform.python_version(),
    )


def build_floor(out):
    exe = os.path.join(out, "io_floor")
    subprocess.run(["cc", "-O2", "-pthread", "-o", exe, os.path.join(HERE, "io_floor.c")], check=True)
    return exe


def many_small_files(folder, count):
    """`count` one-response message logs (created once)."""
    if os.path.isdir(folder) and len(os.listdir(folder)):
        return
    for i in range(count):
        sub = os.path.join(folder, "messages", "p%02d" % (i % 100))
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, "s%05d.jsonl" % i), "w") as f:
            f.write(
                '{"type":"assistant","timestamp":"2025-02-01T10:00:00Z","message":{"id":"m%d","model":"alpha-4",'
                '"usage":{"input_tokens":3,"output_tokens":5}}}\n' % i
            )


def many_rows(folder, files, rows_per_file):
    """Message logs holding files * rows_per_file short responses (created once)."""
    if os.path.isdir(folder) and len(os.listdir(folder)):
        return
    sub = os.path.join(folder, "messages", "bulk")
    os.makedirs(sub, exist_ok=True)
    line = (
        '{"type":"assistant","timestamp":"2025-02-01T10:%02d:%02dZ","message":{"id":"f%d-%d","model":"beta-%d",'
        '"usage":{"input_tokens":%d,"output_tokens":7}}}\n'
    )
    for i in range(files):
        with open(os.path.join(sub, "b%03d.jsonl" % i), "w") as f:
            f.write("".join(line % ((r // 60) % 60, r % 60, i, r, r % 3, r % 100) for r in range(rows_per_file)))


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


class Heap:
    """Bytes in use on the C heap, from glibc's mallinfo2; the resident size
    where that is missing."""

    class _Info(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t)
            for name in (
                "arena",
                "ordblks",
                "smblks",
                "hblks",
                "hblkhd",
                "usmblks",
                "fsmblks",
                "uordblks",
                "fordblks",
                "keepcost",
            )
        ]

    def __init__(self):
        self.libc = None
        try:
            libc = ctypes.CDLL(None)
            libc.mallinfo2.restype = Heap._Info
            libc.malloc_trim.argtypes = [ctypes.c_size_t]
            self.libc = libc
        except (OSError, AttributeError):
            pass
        self.source = "mallinfo2" if self.libc else "VmRSS"

    def used(self):
        gc.collect()
        if self.libc is None:
            return status_bytes("VmRSS")
        info = self.libc.mallinfo2()
        return info.uordblks + info.hblkhd

    def trim(self):
        if self.libc is not None:
            self.libc.malloc_trim(0)


def scale_child(manifest_path, runs):
    """One round for one build, in a fresh interpreter: prints JSON figures."""
    with open(manifest_path) as f:
        text = f.read()
    heap = Heap()
    out = {}
    engine = Engine()
    began, cpu = time.perf_counter(), time.process_time()
    report, buf = engine.refresh(text, 2)
    out["cold"] = time.perf_counter() - began
    out["cold_cpu"] = time.process_time() - cpu
    out["peak_rss"] = status_bytes("VmHWM")
    body = json.loads(report)
    out["rows"] = body["rows"]
    out["scan"] = body["scan"]
    out["buffer_bytes"] = len(buf)
    del report, buf, body

    times, cpus = [], []
    for _ in range(runs):
        began, cpu = time.perf_counter(), time.process_time()
        engine.refresh(text, 2)
        times.append(time.perf_counter() - began)
        cpus.append(time.process_time() - cpu)
    out["noop"] = statistics.median(times)
    out["noop_cpu"] = statistics.median(cpus)

    times, copies, cpus, copy_cpus = [], [], [], []
    for _ in range(runs):
        began, cpu = time.perf_counter(), time.process_time()
        _, buf = engine.refresh(text, 2, True)
        times.append(time.perf_counter() - began)
        cpus.append(time.process_time() - cpu)
        began, cpu = time.perf_counter(), time.process_time()
        copy = bytearray(buf)
        copies.append(time.perf_counter() - began)
        copy_cpus.append(time.process_time() - cpu)
        del buf, copy
    out["export"] = statistics.median(times)
    out["copy"] = statistics.median(copies)
    out["export_cpu"] = statistics.median(cpus)
    out["copy_cpu"] = statistics.median(copy_cpus)

    with_state = heap.used()
    del engine
    heap.trim()
    out["state"] = with_state - heap.used()

    # The same files with nothing read: what the state costs per file alone.
    empty = json.dumps([entry[:1] + [0] + entry[2:] for entry in json.loads(text)], separators=(",", ":"))
    before = heap.used()
    engine = Engine()
    engine.refresh(empty, 2)
    out["files_state"] = heap.used() - before
    out["heap_source"] = heap.source
    del engine
    heap.trim()
    out.update(state_file_measures(text, heap, runs, os.path.join(os.path.dirname(manifest_path), "state-bench")))
    print(json.dumps(out))


def state_file_measures(text, heap, runs, folder):
    """The saved state of ledgerly._ledger (the face that saves) after a
    cold refresh: the file's size against the heap the state holds, and,
    interleaved, save against writing the same bytes once to a new file and
    load against reading the file's bytes once (into a new bytes object, as
    the state's memory is new to the process too: the heap is trimmed
    before each). Save is timed twice: of the state a cold refresh made, and
    of the state as loaded, refreshed with force=True first (what a command
    that found a saved state does before it saves again)."""
    from ledgerly import _ledger

    os.makedirs(folder, exist_ok=True)
    state, again, copy = (os.path.join(folder, name) for name in ("state", "again", "copy"))
    before = heap.used()
    engine = _ledger.Engine()
    engine.refresh(text, 2)
    out = {"state_heap": heap.used() - before}
    keys = ("save", "save_loaded", "write", "read", "load")
    times = {key + suffix: [] for key in keys for suffix in ("", "_cpu")}

    def timed(key, fn, made=None):
        if made is not None and os.path.exists(made):
            os.remove(made)  # a new file each time, as a host's temporary file
        heap.trim()
        began, cpu = time.perf_counter(), time.process_time()
        result = fn()
        times[key].append(time.perf_counter() - began)
        times[key + "_cpu"].append(time.process_time() - cpu)
        return result

    def write_once(data):
        with open(copy, "wb") as f:
            f.write(data)

    def read_once():
        with open(state, "rb") as f:
            return f.read()

    for _ in range(runs):
        out["state_file"] = timed("save", functools.partial(engine.save, state), state)["bytes"]
        data = read_once()
        timed("write", functools.partial(write_once, data), copy)
        del data
        data = timed("read", read_once)
        del data
        loaded = _ledger.Engine()
        timed("load", functools.partial(loaded.load, state))
        loaded.refresh(text, 2, True)
        timed("save_loaded", functools.partial(loaded.save, again), again)
        del loaded
    out.update({key: statistics.median(values) for key, values in times.items()})
    for path in (state, again, copy):
        os.remove(path)
    return out


def loadavg():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def scale_main(args):
    corpus = args.corpus if args.corpus != os.path.join(HERE, "corpus") else os.path.join(HERE, "corpus-scale")
    os.makedirs(args.out, exist_ok=True)
    if not os.path.isdir(corpus) or not os.listdir(corpus):
        import gen_corpus

        gen_corpus.main([corpus, "--scale", "--seed", str(args.seed)])
    builds = []
    for given in args.build or ["current=" + os.environ.get("PYTHONPATH", "")]:
        name, sep, folder = given.partition("=")
        if not sep or not name:
            sys.exit("--build takes NAME=DIR")
        builds.append((name, os.pathsep.join(os.path.abspath(p) for p in folder.split(os.pathsep) if p)))

    found = list_files([Source(os.path.abspath(corpus))])
    manifest = found.files
    corpus_bytes = found.total_bytes
    manifest_path = os.path.join(args.out, "scale-manifest.json")
    with open(manifest_path, "w") as f:
        f.write(found.manifest())
    listing = os.path.join(args.out, "scale-files.txt")
    with open(listing, "w") as f:
        f.write("".join(e.path + "\n" for e in sorted(manifest, key=lambda e: -e.size)))
    floor_exe = build_floor(args.out)

    floor_cpus = []

    def floor():
        out = subprocess.run(
            [floor_exe, "-t", "2", "-l", listing], check=True, capture_output=True, text=True
        ).stdout.split()
        floor_cpus.append(float(out[out.index("cpu") + 1]))
        return float(out[out.index("seconds") + 1])

    load_before = loadavg()
    floor()  # warms the page cache
    del floor_cpus[:]
    floors = []
    rounds = {name: [] for name, _ in builds}
    for _ in range(args.runs):
        floors.append(floor())
        for name, folder in builds:
            env = dict(os.environ, PYTHONPATH=folder)
            done = subprocess.run(
                [
                    sys.executable,
                    os.path.abspath(__file__),
                    "--scale-child",
                    manifest_path,
                    "--runs",
                    str(max(args.runs, 5)),
                ],
                check=True,
                capture_output=True,
                text=True,
                env=env,
            )
            rounds[name].append(json.loads(done.stdout))
    floor_s = statistics.median(floors)
    floor_cpu = statistics.median(floor_cpus)

    def med(name, key):
        return statistics.median(r[key] for r in rounds[name])

    mib = 1 << 20
    lines = []  # (measure, {build: text})
    first = rounds[builds[0][0]][0]
    rows = first["rows"]
    for name, _ in builds:
        if any(r["rows"] != rows or r["buffer_bytes"] != first["buffer_bytes"] for r in rounds[name]):
            print("warning: build %s exported a different number of rows" % name)

    def row(label, fn):
        lines.append((label, {name: fn(name) for name, _ in builds}))

    row("cold refresh, 2 workers", lambda b: "%.3f s = %.2fx floor" % (med(b, "cold"), med(b, "cold") / floor_s))
    row(
        "  CPU time, both threads",
        lambda b: "%.3f s = %.2fx floor's" % (med(b, "cold_cpu"), med(b, "cold_cpu") / floor_cpu),
    )
    row(
        "no-op refresh (same manifest)",
        lambda b: "%.1f ms = %.2f us/file" % (med(b, "noop") * 1e3, med(b, "noop") * 1e6 / len(manifest)),
    )
    row("  CPU time", lambda b: "%.1f ms" % (med(b, "noop_cpu") * 1e3))
    row(
        "forced re-export",
        lambda b: "%.1f ms = %.2fx copy" % (med(b, "export") * 1e3, med(b, "export") / med(b, "copy")),
    )
    row(
        "  one copy of the row buffer",
        lambda b: "%.1f ms (%.0f MB)" % (med(b, "copy") * 1e3, first["buffer_bytes"] / 1e6),
    )
    row(
        "  CPU time, re-export / copy",
        lambda b: (
            "%.1f / %.1f ms = %.2fx"
            % (med(b, "export_cpu") * 1e3, med(b, "copy_cpu") * 1e3, med(b, "export_cpu") / med(b, "copy_cpu"))
        ),
    )
    row("stored state", lambda b: "%.1f MiB" % (med(b, "state") / mib))
    row("  per file (no rows)", lambda b: "%.0f B" % (med(b, "files_state") / len(manifest)))
    row("  per exported row (rest)", lambda b: "%.0f B" % ((med(b, "state") - med(b, "files_state")) / rows))
    row("peak RSS, fresh interpreter", lambda b: "%.1f MiB" % (med(b, "peak_rss") / mib))
    row(
        "saved state (ledgerly._ledger)",
        lambda b: (
            "%.1f MiB = %.2fx its heap (%.1f MiB)"
            % (med(b, "state_file") / mib, med(b, "state_file") / med(b, "state_heap"), med(b, "state_heap") / mib)
        ),
    )
    row(
        "  load",
        lambda b: (
            "%.1f ms = %.2fx reading its bytes once (%.1f ms)"
            % (med(b, "load") * 1e3, med(b, "load") / med(b, "read"), med(b, "read") * 1e3)
        ),
    )
    row("  CPU time, load / read", lambda b: "%.1f / %.1f ms" % (med(b, "load_cpu") * 1e3, med(b, "read_cpu") * 1e3))
    row(
        "  save, as loaded",
        lambda b: (
            "%.1f ms = %.2fx writing its bytes once (%.1f ms)"
            % (med(b, "save_loaded") * 1e3, med(b, "save_loaded") / med(b, "write"), med(b, "write") * 1e3)
        ),
    )
    row(
        "  save, as a cold refresh left it",
        lambda b: "%.1f ms = %.2fx writing its bytes once" % (med(b, "save") * 1e3, med(b, "save") / med(b, "write")),
    )
    row(
        "  CPU time, save as loaded / write",
        lambda b: "%.1f / %.1f ms" % (med(b, "save_loaded_cpu") * 1e3, med(b, "write_cpu") * 1e3),
    )

    print()
    print("machine: " + machine())
    print(
        "corpus: %s, %.2f GiB in %d files, %d exported rows; 2-thread I/O floor %.3f s (%.0f MiB/s), "
        "%.3f s CPU"
        % (corpus, corpus_bytes / (1 << 30), len(manifest), rows, floor_s, corpus_bytes / floor_s / mib, floor_cpu)
    )
    print(
        "median of %d rounds (fresh interpreter per build and round; no-op and re-export: median of %d calls "
        "each); heap from %s; load average %s before, %s after"
        % (args.runs, max(args.runs, 5), first["heap_source"], load_before, loadavg())
    )
    width = max(len(label) for label, _ in lines)
    cols = [max(len(name), max(len(v[name]) for _, v in lines)) for name, _ in builds]
    print("%s  %s" % ("".ljust(width), "  ".join(name.ljust(c) for (name, _), c in zip(builds, cols))))
    for label, values in lines:
        print("%s  %s" % (label.ljust(width), "  ".join(values[name].ljust(c) for (name, _), c in zip(builds, cols))))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", default=os.path.join(HERE, "corpus"))
    parser.add_argument("--out", default=os.path.join(HERE, "out"))
    parser.add_argument("--size", type=int, default=1 << 30)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--host-only", action="store_true", help="only the command-line and report measures")
    parser.add_argument("--export-only", action="store_true", help="only the Parquet export measures")
    parser.add_argument("--scale", action="store_true", help="measure the scale corpus (see above)")
    parser.add_argument(
        "--build", action="append", metavar="NAME=DIR", help="with --scale: a module build to measure (repeatable)"
    )
    parser.add_argument("--scale-child", metavar="MANIFEST", help=argparse.SUPPRESS)
    parser.add_argument(
        "--attribution-only",
        action="store_true",
        help="only the measures of the export with each record's file and of the session list",
    )
    args = parser.parse_args(argv)
    if args.scale_child:
        scale_child(args.scale_child, args.runs)
        return 0
    if args.scale:
        return scale_main(args)
    os.makedirs(args.out, exist_ok=True)
    if args.attribution_only:
        table = []
        attribution_measures(args, table)
        return print_table(args, table)
    if not os.path.isdir(args.corpus) or not os.listdir(args.corpus):
        import gen_corpus

        gen_corpus.main([args.corpus, "--seed", str(args.seed), "--size", str(args.size), "--files", str(args.files)])
    table = []  # (measure, seconds or figure, comparison)
    if args.host_only:
        host_measures(args, table)
        return print_table(args, table)
    if args.export_only:
        export_measures(args, table)
        return print_table(args, table)

    # Cold refresh against the floor and the peers.
    manifest = list_logs(args.corpus)
    text = json.dumps(manifest)
    corpus_bytes = sum(e.size for e in manifest)
    listing = os.path.join(args.out, "files.txt")
    with open(listing, "w") as f:
        f.write("".join(e.path + "\n" for e in manifest))
    floor_exe = build_floor(args.out)

    def floor():
        out = subprocess.run([floor_exe, "-l", listing], check=True, capture_output=True, text=True).stdout.split()
        return float(out[out.index("seconds") + 1])

    floor()  # warms the page cache
    floor_s = statistics.median(floor() for _ in range(args.runs))
    cold = {}
    result = None
    for workers in (1, 2):

        def refresh():
            nonlocal result
            result = Engine().refresh(text, workers)

        cold[workers] = median_time(refresh, args.runs)
    report = json.loads(result[0])
    engine_totals = model_totals(report, result[1])
    logs = peers.list_logs([args.corpus])
    peer_s, peer_match = {}, {}
    for name in ("json", "orjson"):
        loads = peers.decoder(name)
        found = {}

        def peer():
            found.update(peers.Peer(loads).run(logs))

        peer_s[name] = median_time(peer, args.runs)
        peer_match[name] = found == engine_totals
    del result
    gib = corpus_bytes / (1 << 30)
    table.append(
        (
            "cold refresh, 1 worker (%.2f GiB, %d files, %d rows)" % (gib, len(manifest), report["rows"]),
            cold[1],
            "%.2fx the I/O floor, %.0f MiB/s" % (cold[1] / floor_s, corpus_bytes / cold[1] / 2**20),
        )
    )
    table.append(
        (
            "cold refresh, 2 workers",
            cold[2],
            "%.2fx the I/O floor; speedup %.2fx over 1 worker" % (cold[2] / floor_s, cold[1] / cold[2]),
        )
    )
    table.append(("I/O floor (read + count lines, 1 thread)", floor_s, "%.0f MiB/s" % (corpus_bytes / floor_s / 2**20)))
    for name in ("json", "orjson"):
        table.append(
            (
                "peer with %s" % name,
                peer_s[name],
                "%.1fx the 2-worker refresh (%.1fx 1 worker); totals %s"
                % (peer_s[name] / cold[2], peer_s[name] / cold[1], "match" if peer_match[name] else "DIFFER"),
            )
        )

    # No-op refresh over 10,000 unchanged files.
    small = os.path.join(args.out, "small")
    many_small_files(small, 10_000)
    small_text = json.dumps(list_logs(small))
    engine = Engine()
    engine.refresh(small_text, 2)
    noop = median_time(lambda: engine.refresh(small_text, 2), max(args.runs, 5))
    loads = median_time(lambda: json.loads(small_text), max(args.runs, 5))
    table.append(
        (
            "no-op refresh, 10,000 unchanged files",
            noop,
            "%.2fx json.loads of its manifest (%.4f s)" % (noop / loads, loads),
        )
    )
    del engine
    gc.collect()

    # One-line append to a state of ~1M rows, and memory per stored row.
    bulk = os.path.join(args.out, "bulk")
    many_rows(bulk, 100, 10_000)
    bulk_manifest = list_logs(bulk)
    before = rss_bytes()
    engine = Engine()
    text_b, buf = engine.refresh(json.dumps(bulk_manifest), 2)
    stored = json.loads(text_b)["rows"]
    del text_b, buf
    gc.collect()
    per_row = (rss_bytes() - before) / max(1, stored)
    target = bulk_manifest[0].path
    times, copies = [], []
    for i in range(max(args.runs, 5)):
        with open(target, "a") as f:
            f.write(
                '{"type":"assistant","timestamp":"2025-02-02T10:00:00Z","message":{"id":"extra-%d",'
                '"model":"beta-0","usage":{"input_tokens":1,"output_tokens":1}}}\n' % i
            )
        bulk_manifest[0] = list_logs(target)[0]
        text_b = json.dumps(bulk_manifest)
        began = time.perf_counter()
        _, buf = engine.refresh(text_b, 2)
        times.append(time.perf_counter() - began)
        began = time.perf_counter()
        bytearray(buf)
        copies.append(time.perf_counter() - began)
        del buf
    append_s, copy_s = statistics.median(times), statistics.median(copies)
    table.append(
        (
            "one-line append, %d rows stored" % stored,
            append_s,
            "%.1fx one copy of the row buffer (%.4f s)" % (append_s / copy_s, copy_s),
        )
    )
    table.append(("resident memory per stored row", per_row, "bytes (RSS growth / rows)"))
    # The appended lines make the file grow; leave the bulk set as it was made.
    with open(target, "r+") as f:
        data = f.read()
        f.seek(0)
        keep = data[: data.index('{"type":"assistant","timestamp":"2025-02-02')]
        f.write(keep)
        f.truncate()

    host_measures(args, table)
    export_measures(args, table)
    print()
    print("machine: " + machine())
    print("median of %d runs, page cache warm; peers skip strict decoding and parent matching of forks" % args.runs)
    width = max(len(row[0]) for row in table)
    for name, value, note in table:
        figure = "%10.4f s" % value if "memory" not in name and "bytes" not in name else "%10.1f  " % value
        print("%s  %s  %s" % (name.ljust(width), figure, note))
    return 0


# ---------------------------------------------------------------------------
# The command line and the reports


def spread_rows(folder, files, rows_per_file, days=365):
    """Message logs of files * rows_per_file responses spread over `days`
    days of 2025 and five models (created once)."""
    if os.path.isdir(folder) and len(os.listdir(folder)):
        return
    os.makedirs(folder, exist_ok=True)
    line = (
        '{"type":"assistant","timestamp":"%s","message":{"id":"s%d-%d","model":"model-%d",'
        '"usage":{"input_tokens":%d,"output_tokens":%d,"cache_read_input_tokens":%d}}}\n'
    )
    start = 1735689600  # 2025-01-01T00:00:00Z
    step = days * 86400 // rows_per_file
    for i in range(files):
        with open(os.path.join(folder, "s%03d.jsonl" % i), "w") as f:
            f.write(
                "".join(
                    line
                    % (
                        time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(start + r * step + i * 37)),
                        i,
                        r,
                        (r + i) % 5,
                        r % 1000,
                        r % 300,
                        r % 5000,
                    )
                    for r in range(rows_per_file)
                )
            )


def alternate(fns, runs):
    """Median seconds of each function, the runs interleaved so that a noisy
    neighbour slows all of them alike."""
    times = [[] for _ in fns]
    for _ in range(runs):
        for i, fn in enumerate(fns):
            began = time.perf_counter()
            fn()
            times[i].append(time.perf_counter() - began)
    return [statistics.median(t) for t in times]


def host_measures(args, table):
    import io

    from ledgerly import reports
    from ledgerly.cli.progress import run_refresh
    from ledgerly.ledger import Ledger
    from ledgerly.sniffing import SniffCache

    runs = max(args.runs, 5)
    corpus = os.path.abspath(args.corpus)

    # `ledgerly daily --json` against its own parts: listing + one refresh.
    command = [sys.executable, "-m", "ledgerly", "daily", "--json", "--tz", "UTC", "--workers", "2", corpus]

    def cli():
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)

    def parts():
        listing = list_files([Source(corpus)], SniffCache())
        Engine().refresh(listing.manifest(), 2)

    def listing_only():
        list_files([Source(corpus)], SniffCache())

    def in_process():
        from ledgerly import cli as entry

        with open(os.devnull, "w") as sink:
            saved, sys.stdout = sys.stdout, sink
            try:
                entry.main(command[3:])
            finally:
                sys.stdout = saved

    def start_up():  # the interpreter with the modules the command loads, doing nothing
        subprocess.run(
            [
                sys.executable,
                "-c",
                "import ledgerly.cli, ledgerly.cli.cmd_reports, ledgerly.reports, ledgerly.block_reports",
            ],
            check=True,
        )

    cli()  # warms the page cache and the byte-code cache
    cli_s, parts_s, list_s, main_s, start_s = alternate([cli, parts, listing_only, in_process, start_up], runs)
    table.append(
        (
            "ledgerly daily --json, end to end",
            cli_s,
            "%.2fx its parts: listing %.3f s + one refresh %.3f s" % (cli_s / parts_s, list_s, parts_s - list_s),
        )
    )
    table.append(("  the same command run in-process (cli.main)", main_s, "%.2fx its parts" % (main_s / parts_s)))
    table.append(("  interpreter start + importing its modules", start_s, "the rest of the end-to-end time"))

    # The first scan with a progress bar against one plain refresh.
    listing = Ledger([corpus], 2).list_files()

    def plain():
        Ledger([corpus], 2).refresh(listing=listing)

    def with_bar():
        run_refresh(Ledger([corpus], 2), listing, stream=io.StringIO(), show=True, show_after=0.0)

    plain_s, bar_s = alternate([plain, with_bar], runs)
    table.append(
        ("first scan with a progress bar", bar_s, "%.2fx one plain refresh (%.3f s)" % (bar_s / plain_s, plain_s))
    )

    # Grouping a million rows by day and model against the forced refresh that exported them.
    spread = os.path.join(args.out, "spread")
    spread_rows(spread, 100, 10_000)
    ledger = Ledger([spread], 2)
    snapshot = ledger.refresh()

    def forced():
        ledger.refresh(force=True)

    def group():
        reports.report(snapshot, by=("day", "model"), tz="Europe/Berlin")

    forced_s, group_s = alternate([forced, group], runs)
    table.append(
        (
            "group %d rows by day and model (Europe/Berlin)" % len(snapshot),
            group_s,
            "%.2fx the forced refresh that exported them (%.3f s)" % (group_s / forced_s, forced_s),
        )
    )
    attribution_measures(args, table)


def attribution_measures(args, table):
    """The export with each record's file against the plain export, and the
    session list against a grouped report, on about 1M stored rows."""
    from ledgerly import _ledger, reports
    from ledgerly.ledger import Ledger
    from ledgerly.sessions import list_sessions

    runs = max(args.runs, 5)
    spread = os.path.join(args.out, "spread")
    spread_rows(spread, 100, 10_000)
    ledger = Ledger([spread], 2)
    snapshot = ledger.refresh()
    manifest = snapshot.listing.manifest()
    plain, attributed = Engine(), _ledger.Engine()
    plain_bytes = len(plain.refresh(manifest, 2)[1])
    attributed_bytes = len(attributed.refresh(manifest, 2)[1])

    plain_s, attributed_s = alternate(
        [lambda: plain.refresh(manifest, 2, True), lambda: attributed.refresh(manifest, 2, True)], runs
    )
    table.append(
        (
            "forced refresh of %d rows with each record's file (_ledger)" % len(snapshot),
            attributed_s,
            "%.3fx the same without (_native, %.3f s); %.0f vs %.0f bytes per record"
            % (attributed_s / plain_s, plain_s, attributed_bytes / len(snapshot), plain_bytes / len(snapshot)),
        )
    )

    def group():
        reports.report(snapshot, by=("day", "model"), tz="Europe/Berlin")

    def sessions():
        list_sessions(snapshot, tz="Europe/Berlin")

    def insights():
        from ledgerly.insights import insights as weekday_hours

        weekday_hours(snapshot, tz="Europe/Berlin", now=1767225600000)  # 2026-01-01: the periods hold no rows

    group_s, sessions_s, insights_s = alternate([group, sessions, insights], runs)
    table.append(
        (
            "session list of %d rows (%d sessions)" % (len(snapshot), len(snapshot.files)),
            sessions_s,
            "%.2fx grouping them by day and model (%.3f s)" % (sessions_s / group_s, group_s),
        )
    )
    table.append(
        (
            "insights of the same rows (weekday and hour, active time, cache; no prices)",
            insights_s,
            "%.2fx grouping them by day and model" % (insights_s / group_s),
        )
    )


# ---------------------------------------------------------------------------
# The Parquet export


def tree_bytes(folder):
    return sum(
        os.path.getsize(os.path.join(d, f)) for d, _, names in os.walk(folder) for f in names if f.endswith(".parquet")
    )


def export_measures(args, table):
    import shutil

    from ledgerly.ledger import Ledger
    from ledgerly.snapshot import Snapshot
    from ledgerly.team.export import export_parquet

    ledger = Ledger([os.path.abspath(args.corpus)], 2)
    snapshot = ledger.refresh()
    out = os.path.join(args.out, "parquet")
    export_parquet(snapshot, out, machine="bench")  # imports pyarrow once, outside the timings
    import pyarrow
    import pyarrow.parquet as pq

    from ledgerly.team import export

    whole = export._table(pyarrow, export._events(snapshot, None, None, None), None)
    single = os.path.join(args.out, "one-file.parquet")
    forced_t, fresh_t, again_t, single_t = [], [], [], []
    for _ in range(max(args.runs, 5)):
        began = time.perf_counter()
        pq.write_table(whole, single, **export._OPTIONS)
        single_t.append(time.perf_counter() - began)
        shutil.rmtree(out, ignore_errors=True)
        began = time.perf_counter()
        ledger.refresh(force=True)
        forced_t.append(time.perf_counter() - began)
        began = time.perf_counter()
        result = export_parquet(snapshot, out, machine="bench")
        fresh_t.append(time.perf_counter() - began)
        began = time.perf_counter()
        export_parquet(snapshot, out, machine="bench")
        again_t.append(time.perf_counter() - began)
    forced_s, fresh_s, again_s, single_s = (statistics.median(t) for t in (forced_t, fresh_t, again_t, single_t))
    events = len(snapshot)
    table.append(
        (
            "export %d rows to Parquet (%d day partitions written)" % (events, len(result.written)),
            fresh_s,
            "%.2fx the forced refresh of the same state (%.3f s)" % (fresh_s / forced_s, forced_s),
        )
    )
    table.append(
        ("  the same export again (nothing changed)", again_s, "%.2fx the forced refresh" % (again_s / forced_s))
    )
    table.append(
        ("  writing the same rows as one Parquet file", single_s, "%.2fx the forced refresh" % (single_s / forced_s))
    )
    os.remove(single)
    try:
        from ledgerly import reports
        from ledgerly.team import query

        query.require_duckdb()
    except ImportError:
        query = None
    if query is not None:
        query.query_report(out, by=("day", "model"))  # imports duckdb once, outside the timings
        query_s, report_s = alternate(
            [
                lambda: query.query_report(out, by=("day", "model")),
                lambda: reports.report(snapshot, by=("day", "model"), tz="UTC"),
            ],
            max(args.runs, 5),
        )
        table.append(
            (
                "ledgerly query: day x model over the tree (%d files)" % result.days,
                query_s,
                "%.2fx the same report from the rows in memory (%.3f s)" % (query_s / report_s, report_s),
            )
        )
    size = tree_bytes(out)
    ts = snapshot.rows["timestamp"]
    hours = (int(ts.max()) - int(ts.min())) / 3.6e6
    table.append(
        (
            "Parquet bytes per event (%d events per daily file)" % (events // result.days),
            size / events,
            "bytes; %d bytes in %d files; the corpus spans %.0f hours, %.0f events per hour"
            % (size, result.days, hours, events / hours),
        )
    )
    # A third of the events (every third row): smaller daily files, as for one person's working day.
    thin = Snapshot(
        snapshot.rows[::3],
        snapshot.models,
        snapshot.projects,
        snapshot.scan,
        (),
        True,
        0.0,
        snapshot.listing,
        snapshot.file_names,
        snapshot.in_order,
    )
    shutil.rmtree(out, ignore_errors=True)
    export_parquet(thin, out, machine="bench")
    table.append(
        (
            "Parquet bytes per event (%d events per daily file)" % (len(thin) // result.days),
            tree_bytes(out) / len(thin),
            "bytes",
        )
    )
    shutil.rmtree(out, ignore_errors=True)


def print_table(args, table):
    print()
    print("machine: " + machine())
    print("median of %d runs, page cache warm" % max(args.runs, 5))
    width = max(len(row[0]) for row in table)
    for name, value, note in table:
        figure = "%10.4f s" % value if not name.startswith("Parquet bytes") else "%10.1f  " % value
        print("%s  %s  %s" % (name.ljust(width), figure, note))
    return 0


if __name__ == "__main__":
    sys.exit(main())
