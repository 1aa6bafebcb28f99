"""Finding logs: which sources, which files, which dialect, and what the
engine is told about each file."""

import json
import os

import pytest

from ledgerly.damage import damaged_lines
from ledgerly.layout import KIND_EVENT, KIND_MESSAGE
from ledgerly.ledger import Ledger
from ledgerly.sniffing import SNIFF_FIRST, SNIFF_MAX, SniffCache, sniff
from ledgerly.sources import Source, SourceError, discover, resolve_sources
from ledgerly.walk import list_files

from conftest import deep_folder, event_log, line, message_line, user_line, write

EVENT = event_log("s-1", "/w/a", "model-x", [("2025-03-01T10:00:00Z", 10, 0, 5, 0)])
MESSAGE = user_line("2025-03-01T10:00:00Z") + message_line("2025-03-01T10:00:05Z", "m1", "alpha-4", inp=3, out=4)
LONG = "x" * (3 * SNIFF_FIRST)


@pytest.mark.parametrize(
    "head, whole, expected",
    [
        (EVENT, True, KIND_EVENT),
        (MESSAGE, True, KIND_MESSAGE),
        # Lines that decide nothing come first: a summary, blank lines, junk.
        (line({"type": "summary", "summary": "s"}) + "\n\nnot json\n" + MESSAGE, True, KIND_MESSAGE),
        # A response_item line alone is enough for the event dialect.
        (
            line({"timestamp": "t", "type": "response_item", "payload": {"type": "message", "role": "user"}}),
            True,
            KIND_EVENT,
        ),
        # Shapes of the other dialect's keys do not count: a user line without a
        # message object, a payload with an unknown type, a nested "type".
        (line({"type": "user", "content": "hi"}), True, None),
        (line({"type": "progress", "payload": {"type": "x"}}), True, None),
        (line({"message": {"type": "assistant"}, "payload": {"type": "event_msg"}}), True, None),
        # Both shapes in one line, one nested in the other: the top level decides.
        (
            line(
                {
                    "type": "assistant",
                    "message": {"content": [{"type": "tool_use", "input": {"type": "event_msg", "payload": {}}}]},
                }
            ),
            True,
            KIND_MESSAGE,
        ),
        ("", True, None),
        # A first line too long for the window is judged by its keys.
        ('{"timestamp":"t","type":"session_meta","payload":{"instructions":"' + LONG, False, KIND_EVENT),
        ('{"cwd":"/w","message":{"role":"user","content":"' + LONG, False, None),  # no type seen yet
        ('{"cwd":"/w","type":"user","message":{"role":"user","content":"' + LONG, False, KIND_MESSAGE),
        # ... but a key inside a string is no key.
        ('{"type":"note","text":"\\"type\\":\\"event_msg\\",\\"payload\\":{' + LONG, False, None),
    ],
)
def test_sniff(head, whole, expected):
    assert sniff(head.encode(), whole) == expected


def test_listing_tells_the_engine_about_each_file(tmp_path):
    root = tmp_path / "logs"
    write(root, "proj-a/one.jsonl", EVENT)
    write(root, "proj-a/two.jsonl", MESSAGE)
    write(root, "proj-a/s1/subagents/agent-1.jsonl", MESSAGE)  # project: the folder above subagents
    write(root, "proj-b/agent-2.jsonl", EVENT)  # subagent by its name
    write(root, "proj-b/notes.txt", MESSAGE)  # not *.jsonl
    write(root, "proj-b/empty.jsonl", "")
    write(root, "proj-b/other.jsonl", line({"hello": "world"}))
    os.mkfifo(str(root / "proj-b" / "pipe.jsonl"))  # would block a reader
    with open(os.path.join(os.fsencode(str(root)), b"proj-b", b"bad-\xff.jsonl"), "wb") as f:
        f.write(MESSAGE.encode())
    os.symlink(str(root / "proj-a" / "one.jsonl"), str(root / "proj-b" / "link.jsonl"))

    listing = list_files([Source(str(root))])
    got = {os.path.relpath(f.path, str(root)): (f.kind, f.project, f.sub) for f in listing.files}
    assert got == {
        "proj-a/one.jsonl": (KIND_EVENT, "proj-a", False),
        "proj-a/two.jsonl": (KIND_MESSAGE, "proj-a", False),
        "proj-a/s1/subagents/agent-1.jsonl": (KIND_MESSAGE, "s1", True),
        "proj-b/agent-2.jsonl": (KIND_EVENT, "proj-b", True),
    }
    skipped = {os.path.basename(s.path): s.reason for s in listing.skipped}
    assert skipped == {
        "empty.jsonl": "empty",
        "other.jsonl": "not a recognised session log",
        "pipe.jsonl": "not a regular file",
        "bad-\ufffd.jsonl": "name is not UTF-8",
        "link.jsonl": "same file as %s" % (root / "proj-a" / "one.jsonl"),
    }
    assert listing.errors == ()
    one = next(f for f in listing.files if f.path.endswith("one.jsonl"))
    st = os.stat(one.path)
    assert (one.size, one.identity, one.mtime_ns) == (st.st_size, "%d:%d" % (st.st_dev, st.st_ino), st.st_mtime_ns)

    # The manifest is the compact array form, in the engine's field order.
    manifest = json.loads(listing.manifest())
    assert manifest[0] == [one.path, one.size, one.identity, one.mtime_ns, KIND_EVENT, "proj-a", False]
    summary = listing.summaries()[0]
    assert (summary.message_files, summary.event_files, summary.skipped) == (2, 2, 5)
    assert summary.bytes == sum(f.size for f in listing.files)


def test_folders_are_walked_files_first_in_name_order_at_any_depth(tmp_path):
    root = tmp_path / "logs"
    for name in ("b/x.jsonl", "c.jsonl", "a/z/y.jsonl", "a/y.jsonl", "a.jsonl", "a/b/x.jsonl"):
        write(root, name, MESSAGE)
    # Deeper than the interpreter's recursion limit.
    with deep_folder(root / "e", 1200) as bottom:
        deep = write(bottom, "deep.jsonl", MESSAGE)
        listing = list_files([Source(str(root))])
    assert [os.path.relpath(f.path, str(root)) for f in listing.files] == [
        "a.jsonl",
        "c.jsonl",
        "a/y.jsonl",
        "a/b/x.jsonl",
        "a/z/y.jsonl",
        "b/x.jsonl",
        os.path.relpath(deep, str(root)),
    ]
    assert listing.errors == ()


def test_forced_dialect_and_overlapping_sources(tmp_path):
    root = tmp_path / "logs"
    path = write(root, "deep/x.jsonl", line({"hello": 1}))  # recognisable by nothing
    listing = list_files([Source(str(root / "deep"), "message"), Source(str(root))])
    assert [(f.path, f.kind) for f in listing.files] == [(path, KIND_MESSAGE)]
    assert listing.origins == (0,) and listing.skipped == ()


def test_what_cannot_be_read_is_an_error(tmp_path):
    root = tmp_path / "logs"
    write(root, "a/x.jsonl", MESSAGE)
    os.symlink(str(root / "gone.jsonl"), str(root / "a" / "dangling.jsonl"))
    listing = list_files([Source(str(root)), Source(str(tmp_path / "removed-since"))])
    assert [f.path for f in listing.files] == [str(root / "a" / "x.jsonl")]
    assert [e.split(": ")[0] for e in listing.errors] == [
        str(root / "a" / "dangling.jsonl"),
        str(tmp_path / "removed-since"),
    ]


def test_sniffing_is_kept_until_the_file_changes(tmp_path):
    path = write(tmp_path, "x.jsonl", line({"type": "summary", "summary": "s"}))
    cache = SniffCache()
    sources = [Source(str(tmp_path))]

    assert list_files(sources, cache).files == ()  # too short to tell yet
    assert cache.reads == 1
    list_files(sources, cache)
    assert cache.reads == 1  # unchanged: not read again

    with open(path, "a") as f:
        f.write(message_line("2025-03-01T10:00:05Z", "m1", "alpha-4", inp=1, out=1))
    assert [f.kind for f in list_files(sources, cache).files] == [KIND_MESSAGE]
    assert cache.reads == 2  # grown: read again

    # A large file rewritten in place with the other dialect at the same
    # size (as a new file that reuses a removed one's inode would be) is
    # judged again: its modification time changed.
    os.remove(path)
    padding = line({"type": "event_msg", "payload": {"text": "x" * SNIFF_MAX}})
    big = write(tmp_path, "y.jsonl", EVENT + padding)
    assert [f.kind for f in list_files(sources, cache).files] == [KIND_EVENT]
    before = os.stat(big)
    with open(big, "r+b") as f:
        f.write(MESSAGE.encode() + b" " * (before.st_size - len(MESSAGE) - 1) + b"\n")
    os.utime(big, ns=(before.st_atime_ns, before.st_mtime_ns + 1000))
    assert os.stat(big).st_ino == before.st_ino and os.stat(big).st_size == before.st_size
    assert [f.kind for f in list_files(sources, cache).files] == [KIND_MESSAGE]


def test_source_precedence(tmp_path):
    a, b, c = (str(tmp_path / n) for n in "abc")
    for p in (a, b, c):
        os.makedirs(p)
    env = {"LEDGERLY_SOURCES": os.pathsep.join([b, ""])}
    config = [Source(c, "event", "config")]
    home = str(tmp_path / "home")
    write(home, ".tool/sessions/2025/x.jsonl", EVENT)

    def paths(*args):
        return [(s.path, s.origin) for s in resolve_sources(*args)]

    assert paths([a], env, config, home) == [(a, "option")]
    assert paths([], env, config, home) == [(b, "environment")]
    assert paths([], {}, config, home) == [(c, "config")]
    assert resolve_sources([], {}, config, home)[0].dialect == "event"
    assert paths([], {"LEDGERLY_SOURCES": " "}, [], home) == [(os.path.join(home, ".tool", "sessions"), "discovered")]
    with pytest.raises(SourceError, match="does not exist"):
        resolve_sources([str(tmp_path / "missing")], {}, [], home)


def test_discovery_looks_for_the_shape_only(tmp_path):
    home = str(tmp_path)
    write(home, ".one/projects/-w-a/s.jsonl", MESSAGE)
    write(home, ".two/sessions/2025/03/01/s.jsonl", EVENT)
    write(home, ".three/projects/readme.txt", "no logs")  # no .jsonl below
    write(home, ".four/logs/s.jsonl", EVENT)  # neither projects nor sessions
    write(home, "visible/projects/s.jsonl", EVENT)  # not hidden
    write(home, ".five/projects/a/b/c/d/e/s.jsonl", EVENT)  # deeper than logs ever sit
    found = [os.path.relpath(s.path, home) for s in discover(home)]
    assert found == [os.path.join(".one", "projects"), os.path.join(".two", "sessions")]
    assert discover(str(tmp_path / "nowhere")) == []


def test_damaged_lines_are_counted_per_source(tmp_path):
    cut_off = '{"type":"assistant","message":{"usage":\n'  # a line cut off mid-write: malformed
    negative = message_line("2025-03-15T11:00:00Z", "bad", "beta-3", inp=-5, out=1)  # invalid usage
    write(tmp_path, "clean/a.jsonl", MESSAGE)
    write(tmp_path, "damaged/b.jsonl", cut_off + negative + message_line("2025-03-15T12:00:00Z", "ok", "beta-3", inp=1))
    write(tmp_path, "damaged/c.jsonl", MESSAGE + cut_off)
    (tmp_path / "empty").mkdir()
    sources = [Source(str(tmp_path / name)) for name in ("clean", "damaged", "empty")]
    found = damaged_lines(list_files(sources))
    assert found.per_source == [
        {"malformed": 0, "invalid_usage": 0},
        {"malformed": 2, "invalid_usage": 1},
        {"malformed": 0, "invalid_usage": 0},
    ]
    assert found.errors == []
    # One ledger over both sources sums their counts; each source's engine keeps them apart.
    assert Ledger(sources).refresh().scan["malformed"] == 2
