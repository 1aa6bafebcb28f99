"""Waiting for an engine: refreshes are served first come, first served, with
the interpreter lock released; a forked child does not wait for a refresh
that only its parent was running; and a refresh that cannot hand its result
over (Ctrl-C pending when it ends) leaves the export for the next one.

Each scenario holds one refresh inside the engine by stalling the open of a
watched file (the preloaded fault injector), and runs in a child
interpreter with a timeout, so that a hang fails the test instead of the
suite."""

from __future__ import annotations

import json
import textwrap

from faults import injector, message_line, run_child

# In the child: `stalled` is a manifest whose one file opens only once the
# switch file is removed; `hold()` starts a thread refreshing it and returns
# once the refresh is inside the engine.
HOLD = textwrap.dedent("""
    switch = os.environ["LEDGERLY_FAULT_STALL"]
    stalled = os.environ["STALLED"]
    def hold(engine, results):
        open(switch, "w").close()
        thread = threading.Thread(target=lambda: results.append(engine.refresh(stalled, 1)))
        thread.start()
        wait_for(switch + ".reached")
        return thread
    def release():
        os.remove(switch)
""")


def stall_env(tmp_path, files=1):
    """Fault settings and a manifest of `files` watched logs whose opens stall."""
    entries = []
    for k in range(files):
        log = tmp_path / f"stalled-{k}.jsonl"
        log.write_bytes(message_line(f"s{k}"))
        entries.append(
            {
                "path": str(log),
                "size": log.stat().st_size,
                "identity": f"s{k}",
                "mtime_ns": 1,
                "source": 0,
                "project": "p",
                "sub": False,
            }
        )
    faults = {"MATCH": "stalled-", "STALL": tmp_path / "stall-on"}
    return faults, {"STALLED": json.dumps(entries)}


def other_manifest(tmp_path, name, count):
    """A manifest of `count` fresh logs, distinct from every other one."""
    entries = []
    for k in range(count):
        log = tmp_path / f"{name}-{k}.jsonl"
        log.write_bytes(message_line(f"{name}{k}"))
        entries.append(
            {
                "path": str(log),
                "size": log.stat().st_size,
                "identity": log.name,
                "mtime_ns": 1,
                "source": 0,
                "project": "p",
                "sub": False,
            }
        )
    return json.dumps(entries)


def test_waiting_releases_the_interpreter_lock(tmp_path, tmp_path_factory):
    faults, env = stall_env(tmp_path)
    script = HOLD + textwrap.dedent("""
        engine = Engine()
        results = []
        first = hold(engine, results)
        # Each refresh's answer in a list of its own: the threads may take
        # the interpreter lock back in either order once both have returned.
        later = []
        second = threading.Thread(target=lambda: later.append(engine.refresh("[]", 1)))
        second.start()
        ticks = 0
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            ticks += 1
            time.sleep(0.001)
        print(ticks > 5 and not results and not later)  # ran while one refresh worked and one waited
        release()
        first.join(); second.join()
        print([json.loads(text)["scan"]["changed"] for text, _ in results + later])
    """)
    out = run_child(script, injector=injector(tmp_path_factory), faults=faults, env=env, timeout=60)
    assert out.stdout.splitlines() == ["True", "[1, 0]"], out.stdout + out.stderr


def test_waiters_are_served_in_arrival_order_despite_signals(tmp_path, tmp_path_factory):
    """B, D and C arrive in that order while A holds the engine; D keeps
    being interrupted by signals (as a sampling profiler's are) while it
    waits.  Each refresh names a different number of files, so the
    `removed` count of each tells which refresh ran just before it."""
    faults, env = stall_env(tmp_path)
    env.update(
        B=other_manifest(tmp_path, "b", 2), D=other_manifest(tmp_path, "d", 3), C=other_manifest(tmp_path, "c", 4)
    )
    script = HOLD + textwrap.dedent("""
        import signal
        signal.signal(signal.SIGUSR1, lambda *args: None)
        engine = Engine()
        results = []
        removed = {}
        def waiter(name):
            text, _ = engine.refresh(os.environ[name], 1)
            removed[name] = json.loads(text)["scan"]["removed"]
        first = hold(engine, results)
        threads = {}
        for name in "BDC":
            threads[name] = threading.Thread(target=waiter, args=(name,))
            threads[name].start()
            time.sleep(0.3)  # let it reach the engine and wait there
        for _ in range(50):
            signal.pthread_kill(threads["D"].ident, signal.SIGUSR1)
            time.sleep(0.002)
        release()
        for thread in [first, *threads.values()]:
            thread.join()
        print(json.dumps(removed, sort_keys=True))
    """)
    out = run_child(script, injector=injector(tmp_path_factory), faults=faults, env=env, timeout=60)
    assert out.returncode == 0, out.stdout + out.stderr
    # A (1 file), then B (2 files), then D (3 files), then C.
    assert json.loads(out.stdout) == {"B": 1, "C": 3, "D": 2}


def test_forked_child_of_a_busy_engine_fails_instead_of_hanging(tmp_path, tmp_path_factory):
    faults, env = stall_env(tmp_path)
    env["IDLE"] = other_manifest(tmp_path, "idle", 2)
    script = HOLD + textwrap.dedent("""
        busy, idle = Engine(), Engine()
        idle.refresh(os.environ["IDLE"], 1)
        results = []
        thread = hold(busy, results)
        pid = os.fork()
        if pid == 0:
            try:
                busy.refresh("[]", 1)
                print("child: busy engine returned", flush=True)
            except ledgerly.PanicException as error:
                print("child:", error.args[0], flush=True)
            try:
                busy.refresh("[]", 1)
            except ledgerly.PanicException as error:
                print("child again:", error.args[0], flush=True)
            text, rows = idle.refresh(os.environ["IDLE"], 2, True)
            print("child idle rows:", json.loads(text)["rows"], flush=True)
            del busy  # dropping it must not touch its half-made state
            os._exit(0)
        end = time.monotonic() + 20
        while os.waitpid(pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > end:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                print("child hung")
                break
            time.sleep(0.01)
        release()
        thread.join()
        print("parent:", json.loads(results[0][0])["scan"]["changed"],
              json.loads(busy.refresh("[]", 1)[0])["scan"]["removed"])
    """)
    out = run_child(script, injector=injector(tmp_path_factory), faults=faults, env=env, timeout=60)
    lines = out.stdout.splitlines()
    busy_text = "engine lock poisoned: the engine was in use by another thread when this process was forked"
    assert lines == [f"child: {busy_text}", f"child again: {busy_text}", "child idle rows: 2", "parent: 1 1"], (
        out.stdout + out.stderr
    )


def test_ctrl_c_at_the_end_of_a_refresh_leaves_the_export_for_the_next(tmp_path, tmp_path_factory):
    faults, env = stall_env(tmp_path, files=3)
    script = HOLD + textwrap.dedent("""
        import signal
        engine = Engine()
        open(switch, "w").close()
        def interrupt():
            wait_for(switch + ".reached")
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.1)
            release()
        threading.Thread(target=interrupt).start()
        result = None
        try:
            result = engine.refresh(stalled, 1)
            for _ in range(10000):  # give a late KeyboardInterrupt a place to land
                pass
        except KeyboardInterrupt:
            print("interrupted, result delivered:", result is not None)
        text, rows = engine.refresh(stalled, 1)
        print("next rows:", None if rows is None else len(rows) // 104)
        text, rows = engine.refresh(stalled, 1)
        print("then:", rows)
    """)
    out = run_child(script, injector=injector(tmp_path_factory), faults=faults, env=env, timeout=60)
    assert out.stdout.splitlines() == ["interrupted, result delivered: False", "next rows: 3", "then: None"], (
        out.stdout + out.stderr
    )
