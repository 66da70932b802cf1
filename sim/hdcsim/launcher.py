"""Starting the simulator as a child process and stopping it again, for tests and the tour.

    with SimProcess(["--devices", "1"]) as sim:
        client = kelpie.HdcClient(sim.addr)
"""

import os
import select
import signal
import subprocess
import sys
import time

SIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "hdc_sim.py")
PREFIX = "listening on "


class SimProcess:
    def __init__(self, args=(), python=None, stderr=None, startup_timeout=20.0):
        python = python or os.environ.get("KELPIE_TEST_PYTHON") or sys.executable
        self._proc = subprocess.Popen(
            [python, SIM] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=stderr if stderr is not None else subprocess.DEVNULL)
        try:
            line = self._first_line(startup_timeout)
            if not line.startswith(PREFIX):
                raise RuntimeError("simulator did not start: %r" % line)
            self.addr = line[len(PREFIX):].strip()
            self.port = int(self.addr.rsplit(":", 1)[1])
        except BaseException:
            self.stop()
            raise

    def _first_line(self, timeout):
        deadline = time.monotonic() + timeout
        buf = b""
        fd = self._proc.stdout.fileno()
        while not buf.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return buf.decode(errors="replace")
            chunk = os.read(fd, 1)
            if not chunk:
                return buf.decode(errors="replace")
            buf += chunk
        return buf.decode()

    def running(self):
        return self._proc.poll() is None

    def stop(self, grace=5.0):
        """Ends the process (SIGTERM, then SIGKILL) and reaps it; returns its exit code."""
        if self._proc.poll() is None:
            self._proc.send_signal(signal.SIGTERM)
            try:
                self._proc.wait(grace)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
        self._proc.stdout.close()
        return self._proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
