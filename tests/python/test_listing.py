"""The native listing against the walk in Python: on trees with every
oddity a log folder can hold, and on random trees, both give the same
listing (files, manifest text, skipped paths, errors, counts) and keep the
same dialects, and both open only the files whose dialect is not kept."""

import json
import os
import shutil

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ledgerly.sniffing import SniffCache
from ledgerly.sources import Source
from ledgerly.walk import list_files, walk_files

from conftest import event_log, line, message_line, user_line, write

MESSAGE = user_line("2025-03-01T10:00:00Z") + message_line("2025-03-01T10:00:05Z", "m1", "alpha-4", inp=3, out=4)
EVENT = event_log("s-1", "/w/a", "model-x", [("2025-03-01T10:00:00Z", 10, 0, 5, 0)])
JUNK = line({"hello": "world"})
POSIX = os.name == "posix"
needs_posix = pytest.mark.skipif(not POSIX, reason="links, pipes and byte names of POSIX systems")


def raw(root, *parts):
    """A path under `root` from byte parts (names that need not be UTF-8)."""
    return os.path.join(os.fsencode(str(root)), *parts)


def write_raw(root, parts, text):
    path = raw(root, *parts)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text.encode())
    return path


def both(sources, native_cache=None, python_cache=None):
    """Lists `sources` both ways and checks that the listings agree
    entirely, as do the dialects kept and the files opened. Returns the
    native listing."""
    native_cache = native_cache if native_cache is not None else SniffCache()
    python_cache = python_cache if python_cache is not None else SniffCache()
    reads = (native_cache.reads, python_cache.reads)
    native = list_files(sources, native_cache)
    python = walk_files(sources, python_cache)
    assert native.encoded is not None  # the native walk made it
    assert native.manifest() == json.dumps(python.files, ensure_ascii=False, separators=(",", ":"))
    assert native.file_count == len(python.files)
    assert native.total_bytes == python.total_bytes
    assert native.summaries() == python.summaries()
    assert native.files == python.files
    assert native.origins == python.origins
    assert native.skipped == python.skipped
    assert native.errors == python.errors
    assert native == python
    # The same status of every file (unless one changed between the walks).
    assert native.stats == python.stats and len(native.stats) == 40 * native.file_count
    assert native_cache.dump() == python_cache.dump()
    assert native_cache.reads - reads[0] == python_cache.reads - reads[1]
    return native


@needs_posix
def test_every_oddity_of_a_tree(tmp_path):
    root = tmp_path / "logs"
    # Order: files before folders, by code point, names beyond ASCII and
    # names that are not UTF-8 among them (a stray byte sorts as U+DC80 +
    # byte: after U+D7FF, before U+E000 and the planes above, which the
    # skipped paths' order shows).
    for name in ("b.jsonl", "a.jsonl", "\u00e9.jsonl", "\u4e2d.jsonl"):
        write(root, "names/" + name, MESSAGE)
    write(root, "names/\ue000.jsonl", JUNK)
    write(root, "names/\U0001f600.jsonl", "")
    write(root, "names/\ud7ff.jsonl", "")
    for parts in ((b"names", b"\xff.jsonl"), (b"names", b"\xed\xa0\x80.jsonl"), (b"names", b"\xc3(.jsonl")):
        write_raw(root, parts, MESSAGE)
    write_raw(root, (b"names", b"\xfe-folder", b"hidden.jsonl"), MESSAGE)  # a folder not walked
    write_raw(root, (b"names", b"\xfe.txt"), MESSAGE)  # neither a log nor a folder: not mentioned
    # Labels: a subagents folder takes the name above it, at any depth.
    write(root, "proj/s1/subagents/agent-1.jsonl", MESSAGE)
    write(root, "proj/subagents/x.jsonl", EVENT)
    write(root, "proj/agent-2.jsonl", EVENT)
    write(root, "proj/sub.jsonl/inner.jsonl", MESSAGE)  # a folder named *.jsonl is walked
    # Skipped: empty, not a log, a pipe, a device, the same file twice.
    write(root, "skip/empty.jsonl", "")
    write(root, "skip/junk.jsonl", JUNK)
    os.mkfifo(str(root / "skip" / "pipe.jsonl"))
    os.symlink("/dev/null", str(root / "skip" / "null.jsonl"))
    os.link(str(root / "proj" / "agent-2.jsonl"), str(root / "skip" / "hard.jsonl"))
    os.symlink(str(root / "proj" / "subagents" / "x.jsonl"), str(root / "skip" / "soft.jsonl"))
    os.symlink(str(root / "proj"), str(root / "skip" / "folder-link"))  # not followed
    os.symlink(str(root / "proj"), str(root / "skip" / "folder-link.jsonl"))  # not a regular file
    # Errors: a dangling link, a loop, a folder and a file whose paths are
    # longer than the system takes (made relative to their folder).
    os.symlink(str(root / "gone.jsonl"), str(root / "dangling.jsonl"))
    os.symlink("loop.jsonl", str(root / "loop.jsonl"))
    deep = str(root / "deep")
    while len(deep) < 3900:
        deep = os.path.join(deep, "d" * 100)
    os.makedirs(deep)
    write(deep, "ok.jsonl", MESSAGE)
    too_long = "x" * (4096 - len(deep) - 1 - len(".jsonl")) + ".jsonl"
    fd = os.open(deep, os.O_RDONLY)
    try:
        os.close(os.open(too_long, os.O_CREAT | os.O_WRONLY, dir_fd=fd))
        os.mkdir(too_long[:-6], dir_fd=fd)
    finally:
        os.close(fd)
    sources = [
        Source(str(root)),
        Source(str(root / "proj")),  # inside the first: every path already listed
        Source(str(root / "proj" / "s1" / "subagents")),  # listed already
        Source(str(tmp_path / "other" / "subagents")),  # a subagents folder as the source
        Source(str(root / "names" / "a.jsonl")),  # a file source, listed already
        Source(str(tmp_path / "loose" / "agent-9.jsonl")),  # a file source of its own
        Source(str(tmp_path / "forced"), "event"),  # a forced dialect: nothing sniffed
        Source(str(tmp_path / "missing")),
    ]
    write(tmp_path, "loose/agent-9.jsonl", EVENT)
    write(tmp_path, "other/subagents/s.jsonl", MESSAGE)
    write(tmp_path, "forced/anything.jsonl", JUNK)
    write(tmp_path, "forced/empty.jsonl", "")

    native_cache, python_cache = SniffCache(), SniffCache()
    listing = both(sources, native_cache, python_cache)
    reasons = {os.path.basename(s.path): s.reason for s in listing.skipped}
    assert reasons["\ufffd.jsonl"] == "name is not UTF-8"
    assert reasons["\ufffd-folder"] == "name is not UTF-8"
    assert reasons["pipe.jsonl"] == reasons["null.jsonl"] == reasons["folder-link.jsonl"] == "not a regular file"
    assert reasons["hard.jsonl"].startswith("same file as ")
    assert {reasons["empty.jsonl"], reasons["junk.jsonl"]} == {"empty", "not a recognised session log"}
    assert any("File name too long" in e for e in listing.errors)
    assert any(e.startswith(str(tmp_path / "missing")) for e in listing.errors)
    assert sum(1 for f in listing.files if f.path.startswith(str(tmp_path / "forced"))) == 2
    labels = {os.path.basename(f.path): (f.project, f.sub) for f in listing.files}
    assert labels["s.jsonl"] == ("other", True)
    assert labels["agent-1.jsonl"] == ("s1", True) and labels["x.jsonl"] == ("proj", True)
    assert labels["agent-9.jsonl"] == ("loose", True) and labels["inner.jsonl"] == ("sub.jsonl", False)

    # Listed again with the dialects kept: nothing opened, the same listing.
    before = native_cache.reads
    both(sources, native_cache, python_cache)
    assert native_cache.reads == before
    # A file grown is recognised again; one replaced keeps its place.
    with open(str(root / "skip" / "empty.jsonl"), "w") as f:
        f.write(EVENT)
    os.remove(str(root / "proj" / "subagents" / "x.jsonl"))
    write(root, "proj/subagents/x.jsonl", MESSAGE)
    before = native_cache.reads
    both(sources, native_cache, python_cache)
    assert native_cache.reads - before == 2


@needs_posix
def test_any_depth_without_recursion(tmp_path):
    from conftest import deep_folder

    with deep_folder(tmp_path / "e", 1500) as bottom:
        write(bottom, "deep.jsonl", MESSAGE)
        listing = both([Source(str(tmp_path))])
    assert [os.path.basename(f.path) for f in listing.files] == ["deep.jsonl"]


def test_a_source_path_the_native_walk_cannot_take_goes_to_the_python_walk(tmp_path):
    write(tmp_path, "a.jsonl", MESSAGE)
    bad = Source(str(tmp_path) + "/\udcff")  # a non-UTF-8 name, as os.fsdecode gives it
    listing = list_files([Source(str(tmp_path)), bad])
    assert listing.encoded is None and [os.path.basename(f.path) for f in listing.files] == ["a.jsonl"]
    assert len(listing.errors) == 1


def test_a_file_that_cannot_be_opened_to_recognise_it_is_an_error_in_walk_order(tmp_path, monkeypatch):
    import ledgerly.sniffing as sniffing

    for name in ("a.jsonl", "b.jsonl", "c.jsonl"):
        write(tmp_path, name, MESSAGE)
    real = sniffing.sniff_file

    def refuse_b(path, size):
        if path.endswith("b.jsonl"):
            raise PermissionError(13, "Permission denied")
        return real(path, size)

    monkeypatch.setattr(sniffing, "sniff_file", refuse_b)
    listing = both([Source(str(tmp_path)), Source(str(tmp_path / "gone"))])
    assert [os.path.basename(f.path) for f in listing.files] == ["a.jsonl", "c.jsonl"]
    assert listing.errors[0] == "%s: Permission denied" % (tmp_path / "b.jsonl")
    assert listing.errors[1].startswith(str(tmp_path / "gone") + ": ")


def test_a_failing_recogniser_propagates(tmp_path, monkeypatch):
    import ledgerly.sniffing as sniffing

    write(tmp_path, "a.jsonl", MESSAGE)
    monkeypatch.setattr(sniffing, "sniff_file", lambda path, size: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        list_files([Source(str(tmp_path))])


@pytest.mark.parametrize(
    "sources, table, sniff, error",
    [
        ("not a list", b"", lambda p, s: 0, TypeError),
        ([("x",)], b"", lambda p, s: 0, TypeError),
        ([("", -1, "", "", False, "", False)], b"", lambda p, s: 0, ValueError),
        ([("/a\0b", -1, "", "", False, "", False)], b"", lambda p, s: 0, ValueError),
        ([("/", 300, "", "", False, "", False)], b"", lambda p, s: 0, ValueError),
        ([], "not bytes", lambda p, s: 0, TypeError),
        ([], b"", "not callable", TypeError),
    ],
)
def test_bad_arguments_are_refused(sources, table, sniff, error):
    from ledgerly._ledger import list_sources

    with pytest.raises(error):
        list_sources(sources, table, sniff)


@pytest.mark.parametrize("verdict, error", [(255, ValueError), (-1, ValueError), (b"x", TypeError), (2.0, TypeError)])
def test_a_bad_verdict_is_refused(tmp_path, verdict, error):
    from ledgerly._ledger import list_sources

    write(tmp_path, "a.jsonl", MESSAGE)
    with pytest.raises(error):
        list_sources([(str(tmp_path), -1, "x", "x", False, "", False)], b"", lambda p, s: verdict)


@pytest.mark.parametrize(
    "table",
    [
        b"",
        b"\x00" * 15,
        b"\x05" + b"\x00" * 15,
        b"\xff" * 16 + b"x" * 40,
        (1).to_bytes(8, "little") + b"\x00" * 8 + b"\x00" * 16 + b"\x07",
    ],
)
def test_a_damaged_dialect_table_knows_nothing(tmp_path, table):
    from ledgerly._ledger import list_sources

    write(tmp_path, "a.jsonl", MESSAGE)
    asked = []
    manifest, _counts, _skipped, _errors, _table, _stats = list_sources(
        [(str(tmp_path), -1, "x", "x", False, "", False)], table, lambda p, s: asked.append(p) or 0
    )
    assert len(asked) == 1 and len(json.loads(manifest)) == 1


# ---------------------------------------------------------------------------
# Random trees

CONTENTS = {"message": MESSAGE, "event": EVENT, "empty": "", "junk": JUNK}
# Names meant to meet in one folder: suffixes, prefixes, code points on
# either side of the byte order's surprises, and bytes that are not UTF-8.
NAMES = st.sampled_from(
    [
        b"a.jsonl",
        b"B.jsonl",
        b"agent-1.jsonl",
        b"subagents",
        b"x.txt",
        b"\xc3\xa9.jsonl",
        b"\xee\x80\x80.jsonl",
        b"\xf0\x9f\x98\x80.jsonl",
        b"\xff.jsonl",
        b"\xed\xa0\x80",
        b"z.jsonl",
        b".jsonl",
    ]
)
FOLDERS = st.lists(st.sampled_from([b"p", b"subagents", b"q.jsonl", b"\xfe", b"\xc3\xa9"]), max_size=3)
ENTRIES = st.lists(
    st.tuples(
        FOLDERS,
        NAMES,
        st.sampled_from(["message", "event", "empty", "junk", "hardlink", "symlink", "dirlink", "dangling"]),
    ),
    min_size=1,
    max_size=14,
)


@needs_posix
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(entries=ENTRIES, forced=st.booleans(), overlap=st.booleans())
def test_random_trees_list_alike(tmp_path_factory, entries, forced, overlap):
    root = str(tmp_path_factory.mktemp("tree"))
    made = []
    for folders, name, what in entries:
        folder = raw(root, *folders)
        path = os.path.join(folder, name)
        if os.path.lexists(path):
            continue
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError:  # a file of an earlier entry in the way
            continue
        if what in CONTENTS:
            with open(path, "wb") as f:
                f.write(CONTENTS[what].encode())
            made.append(path)
        elif what == "hardlink" and made:
            os.link(made[0], path)
        elif what == "symlink" and made:
            os.symlink(made[-1], path)
        elif what == "dirlink":
            os.symlink(folder, path)
        elif what == "dangling":
            os.symlink(os.path.join(folder, b"gone"), path)
    sources = [Source(root, "message" if forced else None)]
    if overlap:
        sources.append(Source(os.path.join(root, "p")))
    native_cache, python_cache = SniffCache(), SniffCache()
    both(sources, native_cache, python_cache)
    both(sources, native_cache, python_cache)  # with the dialects kept
    shutil.rmtree(root)
