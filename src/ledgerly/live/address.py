"""Where a running server can be found: its address file, its socket, and
the lock that tells whether one runs.

`ledgerly serve` writes ``server.json`` into the user's runtime folder and
listens, besides its TCP port, on the Unix socket ``server.sock`` beside
it. The folder is private (mode 0700) and the socket 0600, so only the
same user can connect: requests over the socket need no token.
`ledgerly status` reads the file and asks the server with
`ledgerly.live.client`.

The runtime folder: ``$LEDGERLY_RUNTIME_DIR`` when set; otherwise
``$XDG_RUNTIME_DIR/ledgerly`` when that variable is set (Linux sessions);
otherwise the user state folder that platformdirs names for ledgerly
(``~/.local/state/ledgerly`` on Linux). A folder that exists is used only
when it is private (the user's own, and nobody else may use it); its mode
is never changed, and the address file in a folder that is not private is
not trusted.

A server holds an exclusive lock on ``server.lock`` there for its whole
life, so a second server knows that one runs even when it does not answer
(paused, say); the lock goes with the process, so the files of a server
that was killed are replaced by the next one.
"""

from __future__ import annotations

import contextlib
import json
import os
import socket
from typing import Any, Dict, Optional

from ledgerly.locks import try_lock
from ledgerly.private_files import NewFile, folder_problem

ENV_RUNTIME = "LEDGERLY_RUNTIME_DIR"
SERVER_FILE = "server.json"
SOCKET_FILE = "server.sock"
LOCK_FILE = "server.lock"
MAX_SOCKET_PATH = 100  # AF_UNIX paths are limited to about 104-108 bytes
# Whether this platform has Unix sockets (Windows has none): without them,
# `status` asks over loopback TCP with the token from the address file.
UNIX_SOCKETS = hasattr(socket, "AF_UNIX")


class RuntimeFolderError(Exception):
    """The runtime folder cannot be made, or is not private."""


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


def not_private(folder: str) -> Optional[str]:
    """Why `folder` may not hold the server's files, or None when it may:
    it must be a folder of the user's own that nobody else may use."""
    try:
        st = os.stat(folder)
    except OSError as exc:
        return exc.strerror or str(exc)
    # Others may not even read it: the address file holds the server's token.
    return folder_problem(st, mask=0o077)


def make_runtime_dir() -> str:
    """The runtime folder, made (mode 0700) when it does not exist. Raises
    RuntimeFolderError when it cannot be made or is not private; an
    existing folder's mode is never changed."""
    folder = runtime_dir()
    if not os.path.isdir(folder):
        try:
            os.makedirs(os.path.dirname(folder), exist_ok=True)
            with contextlib.suppress(FileExistsError):
                os.mkdir(folder, 0o700)
        except OSError as exc:
            raise RuntimeFolderError("runtime folder %s: %s" % (folder, exc.strerror or exc)) from None
    reason = not_private(folder)
    if reason is not None:
        raise RuntimeFolderError(
            "runtime folder %s: %s; set %s to a folder of your own that only you may use"
            % (folder, reason, ENV_RUNTIME)
        )
    return folder


def lock_server(folder: str) -> Optional[int]:
    """Takes the lock that a running server holds; returns its descriptor
    (keep it open while the server runs), or None when another process
    holds it."""
    return try_lock(os.path.join(folder, LOCK_FILE))


def server_file() -> str:
    return os.path.join(runtime_dir(), SERVER_FILE)


def socket_path() -> Optional[str]:
    """The server socket's path, or None where Unix sockets cannot be used
    (no AF_UNIX, or a folder path too long for one)."""
    path = os.path.join(runtime_dir(), SOCKET_FILE)
    if not UNIX_SOCKETS or len(os.fsencode(path)) > MAX_SOCKET_PATH:
        return None
    return path


def read_server_info() -> Optional[Dict[str, Any]]:
    """What the running server wrote about itself, or None (also when the
    runtime folder is not private: anyone could have written the file)."""
    if not_private(runtime_dir()) is not None:
        return None
    try:
        with open(server_file(), encoding="utf-8") as f:
            info = json.load(f)
    except (OSError, ValueError):
        return None
    return info if isinstance(info, dict) else None


def write_server_info(info: Dict[str, Any]) -> str:
    """Writes the address file atomically (mode 0600) into the runtime
    folder; returns its path. Raises RuntimeFolderError."""
    folder = make_runtime_dir()
    path = os.path.join(folder, SERVER_FILE)
    with NewFile(path) as new:
        new.write(json.dumps(info).encode("utf-8"))
    return path
