"""Starting the simulator as a child process and stopping it again.

    with SimProcess(["--devices", "1"]) as sim:
        client = kelpie.HdcClient(sim.addr)

The child runs this very copy of the package (from a kelpie checkout or an
installation alike), under this interpreter unless told otherwise.
"""

import os
import select
import signal
import subprocess
import sys
import time

PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The child is isolated (-I): neither the working folder nor PYTHONPATH nor the package's own
# folder (site-packages, once installed) comes before the standard library, so a stray module
# named like a standard one cannot break it. Only kelpie_sim itself is taken from that folder.
BOOT = """import importlib.machinery, importlib.util, sys
found = importlib.machinery.PathFinder.find_spec("kelpie_sim", [sys.argv.pop(1)])
package = sys.modules["kelpie_sim"] = importlib.util.module_from_spec(found)
found.loader.exec_module(package)
from kelpie_sim.cli import main
sys.exit(main())
"""
PREFIX = "listening on "


def command(args, python=None):
    """The command line that runs this copy of the simulator with `args`."""
    flags = ["-I"] + (["-B"] if sys.flags.dont_write_bytecode else [])
    return [python or sys.executable] + flags + ["-c", BOOT, PACKAGE_PARENT] + list(args)


def end_process(proc, grace=5.0):
    """Ends the process (SIGTERM, then SIGKILL), reaps it and closes our ends of its pipes;
    returns its exit code. Never raises for a child that is gone already."""
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGTERM)
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    for pipe in (proc.stdin, proc.stdout, proc.stderr):
        if pipe is not None:
            try:
                pipe.close()
            except OSError:   # a buffered write the dead child never read: nothing left to deliver
                pass
    return proc.returncode


class SimProcess:
    def __init__(self, args=(), python=None, stderr=None, startup_timeout=20.0, stdin=None):
        self._unread = bytearray()
        self._proc = subprocess.Popen(
            command(args, python),
            stdin=subprocess.DEVNULL if stdin is None else stdin, stdout=subprocess.PIPE,
            stderr=stderr if stderr is not None else subprocess.DEVNULL)
        self.pid = self._proc.pid
        try:
            line = self.read_line(startup_timeout)
            if not line.startswith(PREFIX):
                raise RuntimeError("simulator did not start: %r" % line)
            self.addr = line[len(PREFIX):].strip()
            self.port = int(self.addr.rsplit(":", 1)[1])
        except BaseException:
            self.stop()
            raise

    def read_line(self, timeout):
        """The next line of the simulator's standard output ('' or a partial line if none came in time)."""
        deadline = time.monotonic() + timeout
        fd = self._proc.stdout.fileno()
        while b"\n" not in self._unread:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            self._unread += chunk
        end = self._unread.find(b"\n") + 1 or len(self._unread)
        line = bytes(self._unread[:end])
        del self._unread[:end]
        return line.decode(errors="replace")

    def write_line(self, text):
        """Sends a line to the simulator's standard input (started with stdin=subprocess.PIPE)."""
        self._proc.stdin.write(text.encode() + b"\n")
        self._proc.stdin.flush()

    def running(self):
        return self._proc.poll() is None

    def stop(self, grace=5.0):
        """Ends the process (SIGTERM, then SIGKILL) and reaps it; returns its exit code."""
        return end_process(self._proc, grace)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
