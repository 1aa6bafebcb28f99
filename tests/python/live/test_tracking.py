"""The incremental listing: after any series of changes to a tree, told the
paths that changed, it lists what a full walk lists, and it stats only the
changed paths to get there."""

import json
import os
import shutil

from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from ledgerly.live.tracking import Tracker
from ledgerly.sources import Source
from ledgerly.walk import list_files

from conftest import message_line, write

LOG = message_line("2025-03-15T10:00:00Z", "m1", "alpha-4-5", inp=10, out=100)
NOT_A_LOG = json.dumps({"note": "not a session log"}) + "\n"
NAMES = ("a.jsonl", "b.jsonl", "agent-1.jsonl", "notes.txt")
FOLDERS = ("p", "p/q", "r", "r/subagents")


def as_sets(listing):
    # Each file with its origin and its stat record (the status the change test compares).
    records = [listing.stats[i * 40 : (i + 1) * 40] for i in range(len(listing.files))]
    return (sorted(zip(listing.files, listing.origins, records)), sorted(listing.skipped), sorted(listing.errors))


def assert_same(tracker, listing):
    assert as_sets(listing) == as_sets(list_files(tracker.sources))
    assert sorted(json.loads(listing.manifest())) == sorted(json.loads(json.dumps(listing.files)))


# One step: (operation, folder, name). Each returns the paths a notifier reports.
def apply(root, op, folder, name, other):
    base = os.path.join(root, folder)
    path = os.path.join(base, name)
    if op == "write":
        write(root, os.path.join(folder, name), LOG)
        return [path]
    if op == "append" and os.path.isfile(path):
        with open(path, "a") as f:
            f.write(LOG.replace("m1", "m%d" % os.path.getsize(path)))
        return [path]
    if op == "empty":
        write(root, os.path.join(folder, name), "")
        return [path]
    if op == "garbage":
        write(root, os.path.join(folder, name), NOT_A_LOG)
        return [path]
    if op == "remove" and os.path.lexists(path):
        os.unlink(path)
        return [path]
    if op == "rmdir" and os.path.isdir(base):
        shutil.rmtree(base)
        return [base]  # a notifier may name only the folder
    if op == "move" and os.path.isdir(base):
        target = os.path.join(root, other)
        if not os.path.exists(target) and not target.startswith(base + os.sep):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.rename(base, target)
            return [base, target]  # only the two folders, not the files inside
    if op == "link" and name.endswith(".jsonl") and os.path.isfile(path):
        # (A change made through a name that is no log, such as a hard link
        # named notes.txt, is not seen until the next full rescan.)
        os.makedirs(os.path.join(root, other), exist_ok=True)
        alias = os.path.join(root, other, "alias.jsonl")
        if not os.path.lexists(alias):
            os.link(path, alias)  # the same file by a second path
            return [alias]
    return []


steps = st.lists(
    st.tuples(
        st.sampled_from(("write", "append", "empty", "garbage", "remove", "rmdir", "move", "link")),
        st.sampled_from(FOLDERS),
        st.sampled_from(NAMES),
        st.sampled_from(FOLDERS),
    ),
    min_size=1,
    max_size=12,
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=steps)
# An empty log hard-linked into a folder that then moves: the walk of the
# moved folder must see the second path as the same file, not as empty.
@example(
    steps=[
        ("write", "p", "a.jsonl", "r"),
        ("empty", "p", "a.jsonl", "r"),
        ("link", "p", "a.jsonl", "r"),
        ("move", "r", "x", "p/q"),
    ]
)
def test_updates_equal_a_full_walk(tmp_path_factory, steps):
    """Each listing equals the full walk made at its time, even when it is
    first read after later updates (a listing shares what did not change
    since with the tracker)."""
    root = str(tmp_path_factory.mktemp("tree"))
    write(root, "p/start.jsonl", LOG)
    tracker = Tracker([Source(root)])
    tracker.rescan()
    made = []
    for op, folder, name, other in steps:
        changed = apply(root, op, folder, name, other)
        made.append((tracker.update(changed), as_sets(list_files(tracker.sources))))
    for listing, walked in made:
        assert as_sets(listing) == walked
        assert sorted(json.loads(listing.manifest())) == sorted(json.loads(json.dumps(listing.files)))


def test_update_stats_only_what_changed(tmp_path):
    for i in range(200):
        write(tmp_path, "proj-%d/s.jsonl" % (i % 20) if i < 20 else "proj-%d/s%d.jsonl" % (i % 20, i), LOG)
    tracker = Tracker([Source(str(tmp_path))])
    tracker.rescan()
    assert tracker.looked_at == 200
    grown = os.path.join(str(tmp_path), "proj-3", "s.jsonl")
    with open(grown, "a") as f:
        f.write(LOG.replace("m1", "m2"))
    listing = tracker.update([grown])
    assert tracker.looked_at <= 3  # the file and its folder, not the tree
    assert {f.path: f.size for f in listing.files}[grown] == 2 * len(LOG)
    assert_same(tracker, listing)


def test_overlapping_sources_and_unreachable_paths(tmp_path):
    """Files under two sources belong to the first; a folder reached only
    through a symbolic link is not walked, as in a full listing."""
    outer, inner = tmp_path / "outer", tmp_path / "outer" / "inner"
    write(inner, "a.jsonl", LOG)
    write(tmp_path, "elsewhere/b.jsonl", LOG)
    os.symlink(tmp_path / "elsewhere", outer / "linked")
    tracker = Tracker([Source(str(inner)), Source(str(outer))])
    tracker.rescan()
    new = write(inner, "c.jsonl", LOG)
    via_link = write(tmp_path, "elsewhere/d.jsonl", LOG)
    listing = tracker.update([new, str(outer / "linked" / "d.jsonl"), via_link])
    assert_same(tracker, listing)
    assert dict(zip((f.path for f in listing.files), listing.origins))[new] == 0
