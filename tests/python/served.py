"""A `ledgerly serve` process on an ephemeral loopback port, for tests.

with Served(tree, tmp_path) as server:
    status, headers, data = server.get("/api/v1/report?group=model")
"""

import http.client
import json
import os
import select
import signal
import socket
import subprocess
import sys
import time
from datetime import datetime, timedelta, timezone
from urllib.parse import urlsplit

import pytest

from conftest import message_line

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
pytest.importorskip("watchfiles")


def stamp(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def recent(minutes_ago, key, model="alpha-4-5", **tokens):
    """A message line from `minutes_ago` minutes ago, but not before today's
    midnight (UTC), so that "today" holds it whenever the test runs."""
    now = datetime.now(timezone.utc).replace(microsecond=0)
    when = max(now - timedelta(minutes=minutes_ago), now.replace(hour=0, minute=0, second=0))
    return message_line(stamp(when), key, model, cwd="/w/live", **tokens)


def environment(home, runtime, extra=None):
    """The environment of a ledgerly process: its own home, config and
    runtime folder, no colour, UTC."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("LEDGERLY_") and k != "XDG_RUNTIME_DIR"}
    env.update(
        HOME=str(home),
        XDG_CONFIG_HOME=str(home / ".config"),
        XDG_CACHE_HOME=str(home / ".cache"),
        XDG_DATA_HOME=str(home / ".local" / "share"),
        NO_COLOR="1",
        COLUMNS="150",
        TZ="UTC",
        LEDGERLY_RUNTIME_DIR=str(runtime),
    )
    env.update(extra or {})
    return env


def ledgerly_command(unix_sockets=True, prelude=""):
    """The command that runs ledgerly; with `unix_sockets=False`, as on a
    platform that has none (Windows), by switching them off first; with a
    `prelude`, after running that code (to inject a fault, say)."""
    if unix_sockets and not prelude:
        return [sys.executable, "-m", "ledgerly"]
    code = "import sys, ledgerly.live.address as a\na.UNIX_SOCKETS = %r\n%s\n" % (unix_sockets, prelude)
    code += "from ledgerly.cli import main\nsys.exit(main(sys.argv[1:]))\n"
    return [sys.executable, "-c", code]


class Served:
    def __init__(self, tree, tmp_path, *args, env=None, open_files=None, unix_sockets=True, prelude=""):
        """`open_files`: a limit on the server process's open files
        (RLIMIT_NOFILE); `unix_sockets=False` runs it as on a platform
        without Unix sockets; `prelude` is code it runs first."""
        self.home = tmp_path / "home"
        (self.home / ".config").mkdir(parents=True, exist_ok=True)
        self.runtime = tmp_path / "run"
        self.env = environment(self.home, self.runtime, env)
        self.args = ["serve", "--source", str(tree), "--port", "0", *map(str, args)]
        self.process = None
        self.url = None
        self.port = None
        self.banner = ""
        self.open_files = open_files
        self.command = ledgerly_command(unix_sockets, prelude)

    def __enter__(self):
        self.process = subprocess.Popen(
            [*self.command, *self.args],
            env=self.env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            preexec_fn=None if self.open_files is None else self._limit_files,
        )
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stderr], [], [], 0.5)
            if ready:
                line = self.process.stderr.readline()
                self.banner += line
                if "serving http://" in line:
                    self.url = line.split("serving ", 1)[1].split()[0]
                    self.port = int(self.url.rstrip("/").rsplit(":", 1)[1])
                    self.address = urlsplit(self.url).hostname
                    return self
            if self.process.poll() is not None:
                break
        self.process.kill()
        raise AssertionError("the server did not start: %s%s" % (self.banner, self.process.stderr.read()))

    def _limit_files(self):
        import resource

        resource.setrlimit(resource.RLIMIT_NOFILE, (self.open_files, self.open_files))

    def __exit__(self, *exc):
        self.stop()

    def stop(self, sig=signal.SIGINT):
        """Stops the server with `sig` (Ctrl-C by default); returns its exit
        status and stderr."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            _out, err = self.process.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise AssertionError("the server did not stop on %s" % signal.Signals(sig).name) from None
        return self.process.returncode, self.banner + err

    def request(self, method, target, headers=None, host=None):
        connection = http.client.HTTPConnection(self.address, self.port, timeout=30)
        try:
            sent = dict(headers or {})
            if host is not None:
                connection.putrequest(method, target, skip_host=True)
                connection.putheader("Host", host)
                for k, v in sent.items():
                    connection.putheader(k, v)
                connection.endheaders()
            else:
                connection.request(method, target, headers=sent)
            response = connection.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            connection.close()

    def get(self, target, headers=None, host=None):
        """GET `target`; returns status, headers and the decoded JSON body."""
        status, head, body = self.request("GET", target, headers, host)
        data = json.loads(body) if head.get("content-type", "").startswith("application/json") else body
        return status, head, data

    def wait_for(self, target, predicate, timeout=20.0):
        """GETs `target` until `predicate(data)` holds; returns the data."""
        deadline = time.monotonic() + timeout
        while True:
            status, _head, data = self.get(target)
            assert status == 200, data
            if predicate(data):
                return data
            if time.monotonic() > deadline:
                raise AssertionError("no answer to %s met the condition in %g s: %r" % (target, timeout, data))
            time.sleep(0.1)


class Stream:
    """A raw connection to the server's event stream, sent at once and read
    later, so that many can be opened before the server answers any."""

    def __init__(self, port, target="/api/v1/events"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.sock.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (target.encode(), port))
        self.reader = self.sock.makefile("rb")
        self._status = None

    @property
    def status(self):
        """The status code of the answer (read on first use)."""
        if self._status is None:
            self._status = int(self.reader.readline().split()[1])
            while self.reader.readline() not in (b"\r\n", b""):
                pass  # the rest of the head
        return self._status

    def next_update(self):
        """The data of the next `update` event."""
        assert self.status == 200
        fields = {}
        while True:
            raw = self.reader.readline().decode()
            if raw == "":
                raise AssertionError("the stream ended")
            if raw.strip() == "" and "event" in fields:
                return json.loads(fields["data"])
            if ":" in raw and not raw.startswith(":"):
                name, value = raw.rstrip("\r\n").split(":", 1)
                fields[name] = value.strip()

    def close(self):
        self.reader.close()
        self.sock.close()
