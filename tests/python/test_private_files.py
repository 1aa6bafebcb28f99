"""Private folders, files replaced in one step, private files opened for
reading: what each refuses, and that a refusal or a failure changes nothing."""

import os
import stat
import time

import pytest

import ledgerly.private_files as pf
from ledgerly.private_files import NewFile, NotPrivate, open_private, private_folder, read_private, remove_stale

from conftest import shared_folder


@pytest.mark.parametrize(
    "mode, owner, reason",
    [
        (0o700, None, None),
        (0o755, None, None),
        (0o775, None, "others may write it (mode 775)"),
        (0o777, None, "others may write it (mode 777)"),
        (0o1777, None, "others may write it (mode 1777)"),
        (0o700, 12345, "it belongs to another user"),
    ],
)
def test_a_folder_others_may_write_is_refused_and_left_alone(tmp_path, mode, owner, reason):
    folder = shared_folder(tmp_path / "shared", mode, owner)
    if reason is None:
        assert private_folder(str(folder)) == str(folder)
    else:
        with pytest.raises(NotPrivate, match="^%s$" % reason.replace("(", r"\(").replace(")", r"\)")):
            private_folder(str(folder))
    assert stat.S_IMODE(os.stat(folder).st_mode) == mode


def test_a_missing_folder_is_made_private_with_its_parents(tmp_path):
    folder = tmp_path / "a" / "b" / "cache"
    assert private_folder(str(folder)) == str(folder)
    assert stat.S_IMODE(os.stat(folder).st_mode) == 0o700
    with pytest.raises(FileNotFoundError):
        private_folder(str(tmp_path / "missing"), make=False)
    (tmp_path / "file").write_text("")
    with pytest.raises(NotPrivate, match="not a folder"):
        private_folder(str(tmp_path / "file"))


def test_a_new_file_never_opens_a_name_someone_put_there(tmp_path, monkeypatch):
    """A link (or file) planted at the temporary name is never written
    through: the name is made in the same step as the file (O_EXCL), so a
    taken name is passed over."""
    target = tmp_path / "victim"
    target.write_bytes(b"precious")
    names = iter(["planted", "fresh"])
    monkeypatch.setattr(pf, "random_part", lambda: next(names))
    os.symlink(str(target), str(tmp_path / ".state.planted.tmp"))
    with NewFile(str(tmp_path / "state")) as new:
        assert new.temporary == str(tmp_path / ".state.fresh.tmp")
        new.write(b"new content")
    assert target.read_bytes() == b"precious"
    assert (tmp_path / "state").read_bytes() == b"new content"
    assert stat.S_IMODE(os.stat(tmp_path / "state").st_mode) == 0o600
    assert sorted(os.listdir(tmp_path)) == [".state.planted.tmp", "state", "victim"]


def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path):
    path = tmp_path / "state"
    path.write_bytes(b"old")
    with pytest.raises(RuntimeError), NewFile(str(path)) as new:
        new.write(b"half of the ")
        raise RuntimeError("disk full")
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["state"]
    # Finished under its temporary name, then renamed by the caller (several at once).
    new = NewFile(str(path), mode=0o644, sync=True)
    os.write(new.fd, b"through the descriptor")
    st = new.close()
    assert path.read_bytes() == b"old" and os.path.getsize(new.temporary) == st.st_size == 22
    pf.replace(new.temporary, str(path))
    assert path.read_bytes() == b"through the descriptor"
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o644


def _fifo(p):
    os.mkfifo(str(p))


@pytest.mark.parametrize(
    "make, reason",
    [
        (lambda p: p.symlink_to(p.parent / "real"), "a symbolic link is in its place"),
        (lambda p: p.mkdir(), "a folder is in its place"),
        (_fifo, "it is not a regular file"),
        (lambda p: (p.write_bytes(b"x"), os.chmod(p, 0o666)), "others may write it (mode 666)"),
        (lambda p: (p.write_bytes(b"x"), os.chown(p, 12345, -1)), "it belongs to another user"),
    ],
)
def test_open_private_refuses_what_others_could_have_put_there(tmp_path, make, reason):
    (tmp_path / "real").write_bytes(b"ours")
    path = tmp_path / "file"
    if "another user" in reason and os.getuid() != 0:
        pytest.skip("giving a file to another user needs root")
    make(path)
    with pytest.raises(NotPrivate, match="^%s" % reason.replace("(", r"\(").replace(")", r"\)")):
        open_private(str(path))  # a named pipe without a writer is not waited for
    with pytest.raises(NotPrivate):
        read_private(str(path), 100)


def test_open_private_reads_the_file_it_checked(tmp_path):
    path = tmp_path / "file"
    path.write_bytes(b"ours")
    os.chmod(path, 0o644)
    fd, st = open_private(str(path))
    try:
        # Replaced after the check: the descriptor still reads what was checked.
        (tmp_path / "other").write_bytes(b"theirs")
        os.replace(str(tmp_path / "other"), str(path))
        assert os.read(fd, 100) == b"ours" and st.st_size == 4
    finally:
        os.close(fd)
    assert read_private(str(path), 6) == b"theirs"
    with pytest.raises(NotPrivate, match="larger than 5 bytes"):
        read_private(str(path), 5)
    with pytest.raises(FileNotFoundError):
        open_private(str(tmp_path / "missing"))


def test_stale_temporaries_of_one_name_are_removed(tmp_path):
    old = time.time() - 2 * pf.STALE_AFTER
    names = [".state.aa.tmp", ".state.bb.tmp", ".rows.aa.tmp", "state", ".state.cc.part"]
    for name in names:
        (tmp_path / name).write_bytes(b"")
        os.utime(str(tmp_path / name), (old, old))
    (tmp_path / ".state.young.tmp").write_bytes(b"")
    assert remove_stale(str(tmp_path), "state") == 2
    assert sorted(os.listdir(tmp_path)) == sorted([".rows.aa.tmp", "state", ".state.cc.part", ".state.young.tmp"])
