"""Hostile callers and unlucky environments: memory running out while the
arguments are converted, a non-UTF-8 locale, the package imported a second
time, and attempts to change the Engine class."""

from __future__ import annotations

import json
import shutil
import subprocess
import sys

import pytest

from ledgerly.layout import RECORD_SIZE

from faults import entry, fault_counts, injector, message_line, run_child

# Runs `refresh(manifest)` while the NTH allocation of at least 1 MiB fails,
# then a plain refresh; prints what each did.
MEMORY = """
    import pathlib
    engine = Engine()
    setup = os.environ.get("SETUP")
    engine.refresh(setup or "[]", 1)
    manifest = os.environ.get("MANIFEST") or "[" + ",".join(
        '["/nonexistent/%07d",0,"",0,0,"p",false]' % i for i in range(400_000)) + "]"
    switch = pathlib.Path(os.environ["LEDGERLY_FAULT_ALLOC"])
    switch.touch()
    try:
        engine.refresh(manifest, 1, True)
        print("returned")
    except MemoryError:
        print("MemoryError")
    switch.unlink()
    text, rows = engine.refresh(manifest if setup else "[]", 1)
    print("then", json.loads(text)["scan"]["changed"], None if rows is None else len(rows))
"""


def run_out_of_memory(tmp_path, tmp_path_factory, nth, env=None):
    log = tmp_path / "counts"
    out = run_child(
        MEMORY,
        injector=injector(tmp_path_factory),
        env=env,
        timeout=120,
        faults={"ALLOC": tmp_path / "alloc-on", "ALLOC_OVER": 1 << 20, "ALLOC_NTH": nth, "LOG": log},
    )
    assert out.returncode == 0, out.stdout + out.stderr[-3000:]
    if fault_counts(log)["alloc"] == 0:
        pytest.skip("allocations cannot be made to fail here (a sanitizer owns malloc)")
    return out.stdout.splitlines()


@pytest.mark.parametrize("nth", [1, 2, 3, 4])
def test_memory_running_out_during_conversion_raises_and_spares_the_engine(tmp_path, tmp_path_factory, nth):
    """Each of the first large allocations of a refresh with a 400,000-entry
    manifest fails in turn (the UTF-8 text, then the decoded entries): a
    MemoryError that leaves the engine as it was."""
    assert run_out_of_memory(tmp_path, tmp_path_factory, nth) == ["MemoryError", "then 0 None"]


def test_memory_running_out_for_the_row_buffer_leaves_the_export_pending(tmp_path, tmp_path_factory):
    log = tmp_path / "log.jsonl"
    log.write_bytes(b"".join(message_line(f"k{i}") for i in range(20_000)))
    manifest = json.dumps([entry(log)])
    lines = run_out_of_memory(tmp_path, tmp_path_factory, 1, env={"SETUP": manifest, "MANIFEST": manifest})
    # Nothing changed on disk, yet the export that never arrived comes now.
    assert lines == ["MemoryError", f"then 0 {20_000 * RECORD_SIZE}"]


def test_error_texts_do_not_follow_the_locale(tmp_path):
    """Under a KOI8-R locale whose C library messages are translated, the
    I/O errors are still the English texts (and a report can be built)."""
    localedef = shutil.which("localedef")
    if localedef is None:
        pytest.skip("localedef is not installed (Debian package locales)")
    locales = tmp_path / "locales"
    locales.mkdir()
    made = subprocess.run(
        [localedef, "-i", "ru_RU", "-f", "KOI8-R", str(locales / "ru_RU.KOI8-R")],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    if not (locales / "ru_RU.KOI8-R").exists():
        pytest.skip("cannot generate the ru_RU.KOI8-R locale: " + made.stderr.strip())
    folder = tmp_path / "folder"
    folder.mkdir()
    missing = tmp_path / "missing.jsonl"
    manifest = [
        {"path": str(p), "size": 10, "identity": "1:2", "mtime_ns": 1, "source": 0, "project": "p", "sub": False}
        for p in (missing, folder)
    ]
    script = """
        import locale
        locale.setlocale(locale.LC_ALL, "ru_RU.KOI8-R")
        if os.strerror(2) == "No such file or directory":
            print("untranslated")
            raise SystemExit
        engine = Engine()
        for _ in range(2):
            text, rows = engine.refresh(os.environ["MANIFEST"], 1)
            print(json.dumps(sorted(json.loads(text)["scan"]["errors"])))
    """
    out = run_child(script, env={"LOCPATH": str(locales), "MANIFEST": json.dumps(manifest)}, timeout=60)
    assert out.returncode == 0, out.stdout + out.stderr
    if out.stdout.strip() == "untranslated":
        pytest.skip("no translated C library messages for ru (Debian package libc-l10n)")
    want = sorted([f"{missing}: No such file or directory (os error 2)", f"{folder}: Is a directory (os error 21)"])
    assert [json.loads(line) for line in out.stdout.splitlines()] == [want, want]


def test_the_package_can_be_imported_again():
    script = """
        first_panic, first_engine = ledgerly.PanicException, ledgerly.Engine
        del sys.modules["ledgerly"]
        import ledgerly
        print(ledgerly.PanicException is first_panic, ledgerly.Engine is first_engine)
        for name in [n for n in sys.modules if n == "ledgerly" or n.startswith("ledgerly.")]:
            del sys.modules[name]
        import ledgerly
        print(ledgerly.PanicException is first_panic, ledgerly.Engine is first_engine)
        print(ledgerly.Engine().refresh("[]", 1)[1])
    """
    out = run_child(script, timeout=60)
    assert out.stdout.splitlines() == ["True True", "True True", "b''"], out.stdout + out.stderr


MUTATIONS = {
    "set refresh": "Engine.refresh = None",
    "delete refresh": "del Engine.refresh",
    "replace __new__": "Engine.__new__ = staticmethod(lambda cls: object())",
    "add attribute": "Engine.extra = 1",
}


@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
def test_the_engine_class_cannot_be_changed(mutation):
    """Refused from 3.10 on (immutable type).  3.9 cannot refuse them; there
    an engine made before a replaced __new__ keeps working, since refresh
    checks the receiver's own type."""
    script = """
        import ledgerly._native as native
        engine = Engine()
        original_refresh = native.Engine.__dict__["refresh"]
        try:
            exec(os.environ["MUTATION"], {"Engine": native.Engine})
            print("changed")
        except TypeError as error:
            print("refused")
        print(original_refresh(engine, "[]", 1)[1])
    """
    out = run_child(script, env={"MUTATION": MUTATIONS[mutation]}, timeout=60)
    lines = out.stdout.splitlines()
    assert lines[0] == ("refused" if sys.version_info >= (3, 10) else "changed"), out.stderr
    assert lines[1:] == ["b''"], out.stderr


def test_a_file_naming_many_sessions_is_read_without_stalling(tmp_path):
    """300,000 session headers with distinct ids in one file (15 MB).  Each
    new id is checked against the ids seen before; done by a pass over all
    of them this took minutes (quadratic) with the engine locked, so the
    child's timeout, far above the fraction of a second it needs, guards
    against that coming back."""
    log = tmp_path / "many.jsonl"
    with open(log, "w") as f:
        f.write('{"type":"session_meta","payload":{"id":"own"}}\n')
        f.writelines('{"type":"session_meta","payload":{"id":"s%07d"}}\n' % i for i in range(300_000))
    manifest = [
        {
            "path": str(log),
            "size": log.stat().st_size,
            "identity": "1",
            "mtime_ns": 1,
            "source": 1,
            "project": "p",
            "sub": False,
        }
    ]
    script = """
        text, rows = Engine().refresh(os.environ["MANIFEST"], 1)
        print(json.loads(text)["scan"]["unresolved_forks"])
    """
    out = run_child(script, env={"MANIFEST": json.dumps(manifest)}, timeout=60)
    assert out.stdout.split() == ["1"], out.stderr
