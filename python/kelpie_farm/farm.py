"""The farm as the controlling process sees it: the devices found at the start, which
worker holds which, the devices lost during the run, and the tests that did not run.
Workers ask for devices from xdist's thread (pytest_configure_node) and from the link's
thread (a spare after a loss), so every change is made under one lock."""

import collections
import threading
import time

from .targets import DEFAULT_TIMEOUT, look_deadline, lost_reason


class Farm:
    def __init__(self, targets, problems=(), sims=None, timeout=DEFAULT_TIMEOUT):
        self.targets = list(targets)
        self.problems = list(problems)    # servers that could not be asked at the start
        self.sims = sims                  # the simulated farm, when there is one
        self.timeout = timeout            # a test's deadline (seconds); a look gets at most LOOK of it
        self._lock = threading.Lock()
        self._holders = {}                # worker id -> Target
        self._looking = set()             # labels being looked at before a lease
        self.lost = {}                    # label -> what the test that lost it was told
        self.not_run = collections.Counter()   # label (None: any device) -> tests not run for want of it
        self.params = {}                  # label -> {property: value}, as asked at discovery
        self.pool = []                    # the Requirements every device of the run meets
        self.wanted = None                # the label the next lease is to give, when free
        self.taken = []                   # Targets left out: another run holds them (device_locks.py)
        self.waited = 0.0                 # seconds the run waited for a device another run held

    # --- leases -------------------------------------------------------------------------------

    def lease(self, worker, deadline=None):
        """A device no worker holds and none lost, looked at first (a device that does not
        answer is lost here), now held by `worker`; None if none is left, or none was found
        by `deadline` (time.monotonic())."""
        while True:
            with self._lock:
                busy = set(self._holders.values())
                wanted, self.wanted = self.wanted, None     # a worker started for a retry wants its device
                target = next((t for t in sorted(self.targets, key=lambda t: t.label != wanted)
                               if t not in busy and t.label not in self.lost and t.label not in self._looking), None)
                if target is None:
                    return None
                self._looking.add(target.label)
            look = look_deadline(self.timeout)
            if deadline is not None:
                look = min(look, deadline - time.monotonic())
            why = lost_reason(target, look) if look > 0 else "not looked at"
            with self._lock:
                self._looking.discard(target.label)
                if why is None:
                    self._holders[worker] = target
                    return target
                if deadline is not None and time.monotonic() >= deadline:
                    return None     # a look cut short by the deadline says nothing of the device
                self.lost.setdefault(target.label, "%s was lost: %s" % (target.describe(), why))

    def release(self, worker):
        with self._lock:
            return self._holders.pop(worker, None)

    def held_by(self, worker):
        """The Target `worker` holds, or None."""
        return self._holders.get(worker)

    def holders(self):
        with self._lock:
            return dict(self._holders)

    def fail_over(self, worker, label, message, deadline=None):
        """`worker` lost its device: the device is out of the run, and the worker gets a
        spare (None when none is left, or none was found by `deadline`)."""
        self.lose(label, message)
        with self._lock:
            held = self._holders.get(worker)
            if held is not None and held.label == label:
                del self._holders[worker]
        return self.lease(worker, deadline)

    def release_spare(self, worker, spare):
        """`worker` went on without the spare it was given: the spare is free again."""
        with self._lock:
            if spare is not None and self._holders.get(worker) == spare:
                del self._holders[worker]

    def lose(self, label, message):
        with self._lock:
            self.lost.setdefault(label, message)

    def spares(self):
        with self._lock:
            busy = set(self._holders.values())
            return [t for t in self.targets if t not in busy and t.label not in self.lost]

    # --- reports ------------------------------------------------------------------------------

    def describe(self):
        servers = len({t.server for t in self.targets})
        return "%d device%s on %d server%s%s%s" % (
            len(self.targets), "" if len(self.targets) == 1 else "s", servers, "" if servers == 1 else "s",
            " (simulated)" if self.sims is not None else "",
            "; pool: " + ", ".join("%s=%s" % r for r in self.pool) if self.pool else "")

    def summary(self):
        """Lines for the end of the run: what went missing, and what it cost."""
        lines = ["ERROR: %s; the run went on without it" % p for p in self.problems]
        for label, message in self.lost.items():
            cost = self.not_run[label]
            lines.append("LOST: %s%s" % (message, "; %s not run for want of it" % tests(cost) if cost else ""))
        for label in sorted(set(self.not_run) - set(self.lost) - {None}):
            lines.append("%s for device %s not run: no worker held it" % (tests(self.not_run[label]), label))
        if self.not_run[None]:
            lines.append("%s not run: no device was left for them" % tests(self.not_run[None]))
        return lines


def tests(n):
    return "%d test%s" % (n, "" if n == 1 else "s")
