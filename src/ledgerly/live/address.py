"""Where a running server can be found: its address file and socket.

`ledgerly serve` writes ``server.json`` into the user's runtime folder and
listens, besides its TCP port, on the Unix socket ``server.sock`` beside
it. The folder is private (mode 0700) and the socket 0600, so only the
same user can connect: requests over the socket need no token.
`ledgerly status` reads the file and asks the server with
`ledgerly.live.client`.

The runtime folder: ``$LEDGERLY_RUNTIME_DIR`` when set; otherwise
``$XDG_RUNTIME_DIR/ledgerly`` when that variable is set (Linux sessions);
otherwise the user state folder that platformdirs names for ledgerly
(``~/.local/state/ledgerly`` on Linux).
"""

from __future__ import annotations

import json
import os
import socket
from typing import Any, Dict, Optional

ENV_RUNTIME = "LEDGERLY_RUNTIME_DIR"
SERVER_FILE = "server.json"
SOCKET_FILE = "server.sock"
MAX_SOCKET_PATH = 100  # AF_UNIX paths are limited to about 104-108 bytes


def runtime_dir() -> str:
    """The folder for the server's address file and socket (not created)."""
    explicit = os.environ.get(ENV_RUNTIME)
    if explicit:
        return os.path.abspath(os.path.expanduser(explicit))
    xdg = os.environ.get("XDG_RUNTIME_DIR")
    if xdg and os.path.isabs(xdg):
        return os.path.join(xdg, "ledgerly")
    from platformdirs import user_state_dir

    return user_state_dir("ledgerly", appauthor=False)


def make_runtime_dir() -> str:
    """Creates the runtime folder (mode 0700) and returns it."""
    folder = runtime_dir()
    os.makedirs(folder, mode=0o700, exist_ok=True)
    os.chmod(folder, 0o700)
    return folder


def server_file() -> str:
    return os.path.join(runtime_dir(), SERVER_FILE)


def socket_path() -> Optional[str]:
    """The server socket's path, or None where Unix sockets cannot be used
    (no AF_UNIX, or a folder path too long for one)."""
    path = os.path.join(runtime_dir(), SOCKET_FILE)
    if not hasattr(socket, "AF_UNIX") or len(os.fsencode(path)) > MAX_SOCKET_PATH:
        return None
    return path


def read_server_info() -> Optional[Dict[str, Any]]:
    """What the running server wrote about itself, or None."""
    try:
        with open(server_file(), encoding="utf-8") as f:
            info = json.load(f)
    except (OSError, ValueError):
        return None
    return info if isinstance(info, dict) else None


def write_server_info(info: Dict[str, Any]) -> str:
    """Writes the address file atomically (mode 0600); returns its path."""
    folder = make_runtime_dir()
    path = os.path.join(folder, SERVER_FILE)
    temporary = path + ".%d.tmp" % os.getpid()
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(info, f)
    os.replace(temporary, path)
    return path
