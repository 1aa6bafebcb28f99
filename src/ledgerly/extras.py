"""How to install an optional extra of ledgerly, said the way ledgerly
itself was installed: from a folder (a clone), from a file or a repository,
or from the package registry.

pip records where an installed distribution came from in its
``direct_url.json`` (absent for an install from the registry). A hint that
names the registry's package to someone who installed from a clone would
fetch another ledgerly, or none; one that names ``.`` only works from the
clone. When nothing is known (the package run from a source tree), the
hint says both. No numpy; imported only to write a hint.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, Optional
from urllib.parse import unquote, urlsplit

DISTRIBUTION = "ledgerly"


def _origin() -> Optional[Dict[str, Any]]:
    """The installed distribution's ``direct_url.json`` ({} when installed
    from the registry), or None when ledgerly is not installed (run from a
    source tree) or the record cannot be read."""
    from importlib import metadata

    try:
        dist = metadata.distribution(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return None
    # The distribution found must be the one whose code runs, not another copy on the path.
    files = dist.files or []
    here = os.path.dirname(os.path.abspath(__file__))
    if not any(os.path.abspath(str(dist.locate_file(f))).startswith(here + os.sep) for f in files):
        return None
    text = dist.read_text("direct_url.json")
    if text is None:
        return {}
    try:
        data = json.loads(text)
    except ValueError:
        return None
    return data if isinstance(data, dict) else None


def _folder(url: str) -> Optional[str]:
    """The local folder a ``file:`` URL names, when it is still a source tree."""
    parts = urlsplit(url)
    if parts.scheme != "file":
        return None
    path = unquote(parts.path)
    if os.name == "nt" and path[:1] == "/" and path[2:3] == ":":
        path = path[1:]
    return path if os.path.isfile(os.path.join(path, "pyproject.toml")) else None


def install_hint(extra: str) -> str:
    """The command that installs `extra` into this ledgerly, e.g.
    ``pip install 'ledgerly[serve]'`` after an install from the registry,
    ``pip install '/home/me/ledgerly[serve]'`` after one from a clone, or
    both forms when it is not known."""
    origin = _origin()
    registry = "pip install 'ledgerly[%s]'" % extra
    if origin == {}:
        return registry
    url = origin.get("url") if origin is not None else None
    if origin is not None and isinstance(url, str):
        if "dir_info" in origin:
            folder = _folder(url)
            if folder is not None:
                return "pip install '%s[%s]'" % (folder, extra)
        elif "vcs_info" in origin or "archive_info" in origin:
            vcs = origin.get("vcs_info")
            prefix = "%s+" % vcs["vcs"] if isinstance(vcs, dict) and isinstance(vcs.get("vcs"), str) else ""
            return "pip install 'ledgerly[%s] @ %s%s'" % (extra, prefix, url)
    return "pip install '.[%s]' in a clone of ledgerly, or %s from the registry" % (extra, registry)
