"""A device is one run's at a time: runs started from one host never drive a device together.

Each device of a run is locked for the whole run: a lock file for its server and serial in
the user's cache folder ($XDG_CACHE_HOME, or ~/.cache, then kelpie-farm/locks/), held with
flock(2) by the process that found the farm. The kernel lets the lock go when that process
ends, however it ends (a crash, SIGKILL), so no lock is ever left behind by a dead run. A
second run takes the devices that are free; with none free, it waits for one, up to its
deadline (--hdc-timeout).

The lock files stay: removing one that another run may be opening would let two runs hold
"the same" lock on two files.
"""

import fcntl
import os
import time
import urllib.parse

POLL = 0.2      # seconds between two tries while waiting for a device to come free


def lock_folder():
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "kelpie-farm", "locks")


def lock_path(target):
    """The lock file of a device: its server and serial, quoted into one file name."""
    name = urllib.parse.quote("%s %s" % (target.server, target.serial), safe="")
    return os.path.join(lock_folder(), name + ".lock")


class DeviceLocks:
    """The locks a run holds, one open file each, until release() or the process ends."""

    def __init__(self):
        self._held = {}         # label -> file descriptor
        self._waiting = {}      # label -> file descriptor of a lock another run holds, tried again

    def try_lock(self, target):
        """Whether the device is now this run's (it was free, or this run holds it already)."""
        if target.label in self._held:
            return True
        fd = self._waiting.pop(target.label, None)
        if fd is None:
            os.makedirs(lock_folder(), exist_ok=True)
            fd = os.open(lock_path(target), os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            self._waiting[target.label] = fd
            return False
        self._held[target.label] = fd
        return True

    def take(self, targets, wanted, timeout, waiting=None):
        """(free, taken): the devices of `targets` now locked for this run, and those another
        run holds. With fewer than `wanted` free, it waits for more, up to `timeout` seconds,
        and takes what it then has; `waiting(taken)` is called once when it starts to wait."""
        deadline = time.monotonic() + timeout
        wanted = min(wanted, len(targets))
        while True:
            free = [t for t in targets if self.try_lock(t)]
            if len(free) >= wanted or time.monotonic() >= deadline:
                self._close(self._waiting)
                return free, [t for t in targets if t not in free]
            if waiting is not None:
                waiting([t for t in targets if t not in free])
                waiting = None
            time.sleep(min(POLL, max(0.0, deadline - time.monotonic())))

    def release(self):
        self._close(self._waiting)
        self._close(self._held)     # closing the only descriptor of an open file unlocks it

    @staticmethod
    def _close(fds):
        for fd in fds.values():
            try:
                os.close(fd)
            except OSError:
                pass
        fds.clear()
