"""Helpers for tests that run an engine in a child interpreter: the fault
injector (a preloaded library that disturbs reads and opens of chosen files),
log lines of both dialects, and a child runner with a timeout.

The injector is taken from $LEDGERLY_FAULT_INJECTOR (the test scripts build
it with CMake) or compiled here from tests/faults/fault_inject.c."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
INJECTOR_SOURCE = ROOT / "tests" / "faults" / "fault_inject.c"


def message_line(key, tokens=5, model="alpha-4"):
    return (
        json.dumps(
            {
                "type": "assistant",
                "timestamp": "2025-03-01T10:00:00Z",
                "message": {"id": key, "model": model, "usage": {"input_tokens": 3, "output_tokens": tokens}},
            },
            separators=(",", ":"),
        )
        + "\n"
    ).encode()


def event_lines(session, turns):
    """A short event-dialect session: header, context, `turns` token counts."""
    out = [
        {
            "type": "session_meta",
            "timestamp": "2025-03-01T09:00:00Z",
            "payload": {"id": session, "timestamp": "2025-03-01T09:00:00Z", "cwd": "/w/p"},
        },
        {"type": "turn_context", "payload": {"model": "beta-3", "cwd": "/w/p"}},
    ]
    for k in range(1, turns + 1):
        out.append(
            {
                "type": "event_msg",
                "timestamp": f"2025-03-01T10:{k:02d}:00Z",
                "payload": {
                    "type": "token_count",
                    "info": {
                        "last_token_usage": {"input_tokens": 10, "output_tokens": k},
                        "total_token_usage": {"input_tokens": 10 * k, "output_tokens": k * k, "total_tokens": 11 * k},
                    },
                },
            }
        )
    return b"".join(json.dumps(o, separators=(",", ":")).encode() + b"\n" for o in out)


def entry(path, source=0, **override):
    """The manifest entry a host builds from os.stat."""
    st = os.stat(path)
    e = {
        "path": str(path),
        "size": st.st_size,
        "identity": f"{st.st_dev}:{st.st_ino}",
        "mtime_ns": st.st_mtime_ns,
        "source": source,
        "project": "proj",
        "sub": False,
    }
    e.update(override)
    return e


def _compile(out_dir: Path) -> str:
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler to build the fault injector")
    out = out_dir / "libledgerly_faults.so"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(out), str(INJECTOR_SOURCE), "-ldl"],
        check=True,
        capture_output=True,
        timeout=120,
    )
    return str(out)


_built: list[str] = []


def injector(tmp_path_factory) -> str:
    """The path of the fault injector library, built once per test session."""
    if not _built:
        given = os.environ.get("LEDGERLY_FAULT_INJECTOR")
        if given and os.path.exists(given):
            _built.append(given)
        else:
            _built.append(_compile(tmp_path_factory.mktemp("injector")))
    return _built[0]


PRELUDE = textwrap.dedent(
    """
    import json, os, sys, threading, time
    import ledgerly
    from ledgerly._native import Engine

    def wait_for(path, seconds=30):
        end = time.monotonic() + seconds
        while not os.path.exists(path):
            if time.monotonic() > end:
                raise SystemExit("timed out waiting for " + path)
            time.sleep(0.002)
    """
)


def preloading(injector_path: str) -> str:
    """LD_PRELOAD for a child that loads the injector after whatever this
    process preloads (a sanitizer's runtime must stay first)."""
    return (os.environ.get("LD_PRELOAD", "") + " " + injector_path).strip()


def run_child(
    script: str,
    *,
    injector: str | None = None,
    faults: dict | None = None,
    timeout: float = 60,
    env: dict | None = None,
) -> subprocess.CompletedProcess:
    """Runs PRELUDE + `script` in a fresh interpreter that imports the same
    ledgerly as this one, with the injector preloaded when given."""
    child_env = os.environ.copy()
    package_root = str(Path(__import__("ledgerly").__file__).resolve().parents[1])
    child_env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, child_env.get("PYTHONPATH")) if p)
    if injector is not None:
        child_env["LD_PRELOAD"] = preloading(injector)
    for key, value in (faults or {}).items():
        child_env["LEDGERLY_FAULT_" + key] = str(value)
    child_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(script)],
        capture_output=True,
        text=True,
        env=child_env,
        timeout=timeout,
        check=False,
    )


def fault_counts(log: Path) -> dict:
    return {name: int(count) for name, count in (line.split() for line in log.read_text().splitlines())}
