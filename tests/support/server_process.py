"""The test side of script_server.py: start it, learn its port, collect what it received."""

import dataclasses
import itertools
import json
import os
import select
import signal
import subprocess
import sys
import time

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "script_server.py")
_ids = itertools.count()


def server_python():
    """The interpreter that runs the server: $KELPIE_TEST_PYTHON, else this one."""
    return os.environ.get("KELPIE_TEST_PYTHON") or sys.executable


@dataclasses.dataclass(frozen=True)
class ConnectionRecord:
    """What one accepted connection saw, as the server reported it."""

    received: bytes      # every byte the client sent, in order
    eof: bool            # the client closed the connection
    reset: bool          # the client reset the connection
    steps_done: int      # how many steps of the script completed
    finished: bool       # the connection's script ran to its end and the socket is closed
    error: object        # text of a script failure (e.g. an `expect` mismatch), or None
    accepted_at: float   # seconds since the server started
    closed_at: object    # seconds since the server started, or None while open


class ScriptServer:
    """One script_server.py process serving `script` (see that file for the format).

    `addr` is "HOST:PORT" ready for `kelpie.HdcClient`, with brackets for IPv6.
    `results()` waits for the server to finish its script and returns one
    ConnectionRecord per accepted connection; `received(i)` is the bytes of
    connection i. `close()` ends the process, whatever its state.
    """

    def __init__(self, script, workdir, host="127.0.0.1", startup_timeout=20.0):
        n = next(_ids)
        script_path = os.path.join(workdir, "server-%d.json" % n)
        self._out = os.path.join(workdir, "server-%d.out.json" % n)
        self._err_path = os.path.join(workdir, "server-%d.stderr" % n)
        with open(script_path, "w") as f:
            json.dump(script, f)
        self._records = None
        self.reason = None  # "done", "lifetime" or "stopped", once results() has run
        self.host = host
        with open(self._err_path, "wb") as err:
            self._proc = subprocess.Popen(
                [server_python(), SERVER, "--script", script_path, "--out", self._out, "--host", host],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        try:
            self.port = self._read_port(startup_timeout)
        except BaseException:
            self.close()
            raise
        self.addr = "%s:%d" % ("[%s]" % host if ":" in host else host, self.port)

    def _read_port(self, timeout):
        line = b""
        deadline = time.monotonic() + timeout
        fd = self._proc.stdout.fileno()
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise RuntimeError("script server did not report its port: " + self._stderr())
            chunk = os.read(fd, 64)
            if not chunk:
                raise RuntimeError("script server exited early: " + self._stderr())
            line += chunk
        return int(line)

    def _stderr(self):
        with open(self._err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def results(self, timeout=15.0):
        """Wait up to `timeout` s for the script to finish, then ask the server to stop; the records."""
        if self._records is None:
            try:
                self._proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self._proc.send_signal(signal.SIGTERM)
                self._proc.wait(10)
            if not os.path.exists(self._out):
                raise RuntimeError("script server wrote no results: " + self._stderr())
            with open(self._out) as f:
                data = json.load(f)
            self.reason = data["reason"]
            self._records = [
                ConnectionRecord(**dict(c, received=bytes.fromhex(c["received"]))) for c in data["connections"]]
        return self._records

    def stop(self):
        """End the script now (stalled connections included) and return the records."""
        if self._proc.poll() is None:
            self._proc.send_signal(signal.SIGTERM)
        return self.results()

    def connection(self, i, timeout=15.0):
        records = self.results(timeout)
        if i >= len(records):
            raise AssertionError("the server accepted %d connection(s), not %d" % (len(records), i + 1))
        return records[i]

    def received(self, i=0, timeout=15.0):
        """The bytes the client sent on connection i, once the server has finished."""
        return self.connection(i, timeout).received

    def close(self):
        if self._proc.poll() is None:
            self._proc.kill()
        self._proc.wait()
        self._proc.stdout.close()
