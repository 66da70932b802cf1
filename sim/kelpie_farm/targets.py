"""The devices of a farm, found by asking every server once, and whether one is still there."""

import collections
import fnmatch

DEFAULT_SERVER = "127.0.0.1:8710"


class Target(collections.namedtuple("Target", "serial server label")):
    """A device of the farm: its identifier, its server ("HOST:PORT"), and the name tests show
    for it: the serial, or serial@server where two servers hold devices of the same serial."""

    __slots__ = ()

    def describe(self):
        return "device %s on %s" % (self.serial, self.server)


def discover(servers, patterns=()):
    """(targets, problems): the devices of every server whose serial matches one of the
    shell-style patterns (all of them without patterns), server by server in the order
    given, and one text for each server that could not be asked."""
    import kelpie

    found, problems = [], []
    for server in dict.fromkeys(servers):
        try:
            serials = kelpie.HdcClient(server).list_targets()
        except RuntimeError as e:
            problems.append("HDC server %s is unreachable: %s" % (server, e))
            continue
        found += [(s, server) for s in serials if not patterns or any(fnmatch.fnmatchcase(s, p) for p in patterns)]
    shared = collections.Counter(serial for serial, _ in found)
    return [Target(s, srv, s if shared[s] == 1 else "%s@%s" % (s, srv)) for s, srv in found], problems


def whereabouts(target):
    """None while the device is attached; otherwise why it is lost."""
    import kelpie

    try:
        serials = kelpie.HdcClient(target.server).list_targets()
    except RuntimeError as e:
        return "its server is unreachable (%s)" % e
    return None if target.serial in serials else "it is gone from list_targets"
