"""The devices of a farm, found by asking every server once, and whether one is still there.
Every look is a probe with a deadline (probe.py), never a kelpie call: a hung server must
cost a deadline, not the run."""

import collections
import fnmatch

import threading

from .probe import Prober, ProbeError, canonical, list_targets

DEFAULT_SERVER = "127.0.0.1:8710"
DEFAULT_TIMEOUT = 300.0      # seconds a test may take (--hdc-timeout)
LOOK = 10.0                  # seconds a server has to answer a look, at most


def look_deadline(timeout):
    """A look's deadline under a test's: a third of it, so that a test whose look finds
    a hung server fails saying so before the test itself runs out of time."""
    return min(LOOK, timeout / 3)


class Target(collections.namedtuple("Target", "serial server label")):
    """A device of the farm: its identifier, its server ("HOST:PORT"), and the name tests show
    for it: the serial, or serial@server where two servers hold devices of the same serial."""

    __slots__ = ()

    def describe(self):
        return "device %s on %s" % (self.serial, self.server)


def distinct(servers):
    """The servers, each once: two names of one address and port (127.0.0.1:P and
    localhost:P) are one server, known by the first name given."""
    seen = {}
    for server in servers:
        seen.setdefault(canonical(server), server)
    return list(seen.values())


def discover(servers, patterns=(), timeout=LOOK):
    """(targets, problems): the devices of every server whose serial matches one of the
    shell-style patterns (all of them without patterns), server by server in the order
    given, and one text for each server that did not answer within `timeout` seconds."""
    found, problems = [], []
    for server in distinct(servers):
        try:
            serials = list_targets(server, timeout)
        except ProbeError as e:
            problems.append("HDC server %s is unreachable: %s" % (server, e))
            continue
        found += [(s, server) for s in serials if not patterns or any(fnmatch.fnmatchcase(s, p) for p in patterns)]
    shared = collections.Counter(serial for serial, _ in found)
    return [Target(s, srv, s if shared[s] == 1 else "%s@%s" % (s, srv)) for s, srv in found], problems


_probers = {}
_probers_lock = threading.Lock()


def prober(server):
    """The process's Prober for `server`, kept for the whole run."""
    with _probers_lock:
        found = _probers.get(server)
        if found is None:
            found = _probers[server] = Prober(server)
        return found


def close_probers():
    with _probers_lock:
        for found in _probers.values():
            found.close()
        _probers.clear()


def lost_reason(target, timeout):
    """None while the device is listed by its server; otherwise why it is lost."""
    try:
        serials = prober(target.server).list_targets(timeout)
    except ProbeError as e:
        return "its server is unreachable (%s)" % e
    return None if target.serial in serials else "it is gone from list_targets"
