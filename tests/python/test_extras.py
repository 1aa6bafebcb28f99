"""Hints to install an optional extra say it the way ledgerly was
installed: from the registry, from a clone's folder, from a file or a
repository, and both ways when that is not known."""

import json
import os
import shutil
import subprocess
import sys
from urllib.parse import quote

import pytest

import ledgerly

HINT = "from ledgerly.extras import install_hint; print(install_hint('serve'))"


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """A folder holding a copy of the package, as an install puts it."""
    folder = tmp_path_factory.mktemp("site")
    shutil.copytree(os.path.dirname(ledgerly.__file__), str(folder / "ledgerly"))
    return folder


def installed(site, origin, record=("ledgerly/extras.py",)):
    """Records an install of the copy in `site`: pip's `direct_url.json`
    (`origin`; None for an install from the registry, which has none)."""
    info = site / "ledgerly-0.dist-info"
    shutil.rmtree(str(info), ignore_errors=True)
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: ledgerly\nVersion: 0\n")
    (info / "RECORD").write_text("".join("%s,,\n" % f for f in record))
    if origin is not None:
        (info / "direct_url.json").write_text(json.dumps(origin))


def hint(site):
    env = dict(os.environ, PYTHONPATH=str(site))
    done = subprocess.run([sys.executable, "-c", HINT], capture_output=True, text=True, env=env, cwd=str(site))
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


BOTH = "pip install '.[serve]' in a clone of ledgerly, or pip install 'ledgerly[serve]' from the registry"


@pytest.mark.parametrize(
    "origin, expected",
    [
        (None, "pip install 'ledgerly[serve]'"),  # from the registry
        ({"url": "file://{clone}", "dir_info": {}}, "pip install '{clone}[serve]'"),
        ({"url": "file://{clone}", "dir_info": {"editable": True}}, "pip install '{clone}[serve]'"),
        ({"url": "file:///nowhere/ledgerly", "dir_info": {}}, BOTH),  # a clone since moved or removed
        (
            {"url": "file:///tmp/ledgerly-0-cp39-abi3-linux_x86_64.whl", "archive_info": {}},
            "pip install 'ledgerly[serve] @ file:///tmp/ledgerly-0-cp39-abi3-linux_x86_64.whl'",
        ),
        (
            {"url": "https://example.org/me/ledgerly.git", "vcs_info": {"vcs": "git", "commit_id": "0" * 40}},
            "pip install 'ledgerly[serve] @ git+https://example.org/me/ledgerly.git'",
        ),
        ("not json", BOTH),
    ],
)
def test_the_hint_follows_how_ledgerly_was_installed(site, tmp_path, origin, expected):
    clone = tmp_path / "my clone"
    clone.mkdir()
    (clone / "pyproject.toml").write_text("")
    if isinstance(origin, dict):
        origin = json.loads(json.dumps(origin).replace("{clone}", quote(str(clone))))  # as pip writes URLs
    installed(site, origin)
    if origin == "not json":
        (site / "ledgerly-0.dist-info" / "direct_url.json").write_text("{")
    assert hint(site) == expected.replace("{clone}", str(clone))


def test_a_record_of_another_copy_is_not_taken_for_this_one(site):
    # Another ledgerly installed elsewhere on the path says nothing of the copy that runs.
    installed(site, None, record=("elsewhere/ledgerly/extras.py",))
    assert hint(site) == BOTH
    shutil.rmtree(str(site / "ledgerly-0.dist-info"))
    assert hint(site) == BOTH  # not installed at all: run from a source tree


def test_serve_help_names_the_hint(cli):
    # The hint of the ledgerly under test: both ways from a source tree, the
    # wheel's own file when the suite runs against an installed wheel.
    from ledgerly.extras import install_hint

    done = cli("serve", "--help")
    assert done.returncode == 0 and install_hint("serve") in " ".join(done.stdout.split())
