"""The deadline of every test, kept by the controlling process.

A worker cannot bound its own kelpie calls: a call holds the interpreter lock until it
returns, so no thread of the worker runs while one waits on a hung server. The controller
makes no kelpie call at all, so a thread of its own can: it is told when each worker starts
and ends a test (through the link, link.py), and kills a worker whose test is past its
deadline. xdist then reports the test as crashed (the plugin names the deadline, the device
and its server) and starts a new worker in its place.
"""

import os
import signal
import threading
import time

TICK = 0.05     # seconds between two looks at the deadlines


class Watchdog:
    def __init__(self, timeout):
        self.timeout = timeout
        self._lock = threading.Lock()
        self._running = {}        # worker id -> (nodeid, deadline, process)
        self.expired = {}         # worker id -> nodeid of the test that ran past its deadline
        self.own = {}             # test id -> seconds: the tests with a deadline of their own
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="kelpie-farm-watchdog", daemon=True)
        self._thread.start()

    def started(self, worker, nodeid, process):
        with self._lock:
            self._running[worker] = (nodeid, time.monotonic() + self.own.get(nodeid, self.timeout), process)

    def deadline_of(self, nodeid):
        """(seconds, where they come from) of the test's deadline."""
        if nodeid in self.own:
            return self.own[nodeid], "@pytest.mark.hdc_timeout"
        return self.timeout, "--hdc-timeout"

    def extend(self, worker, seconds):
        """Moves the deadline of `worker`'s test by `seconds`: the time the controller itself
        took to answer it (a spare looked for) is not the test's."""
        with self._lock:
            entry = self._running.get(worker)
            if entry is not None:
                self._running[worker] = (entry[0], entry[1] + seconds, entry[2])

    def finished(self, worker):
        with self._lock:
            self._running.pop(worker, None)

    def _watch(self):
        while not self._stop.wait(TICK):
            now = time.monotonic()
            with self._lock:
                late = [(w, entry) for w, entry in self._running.items() if entry[1] <= now]
                for worker, (nodeid, _, _) in late:
                    del self._running[worker]
                    self.expired[worker] = nodeid
            for _, (_, _, process) in late:
                kill(process)

    def stop(self):
        self._stop.set()


def kill(process):
    """Ends a worker's process (for a worker on another host: the transport to it)."""
    if process is None:
        return
    try:
        os.kill(process.pid, signal.SIGKILL)
    except OSError:
        pass

