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


class Lookout:
    """Whether devices are still there. A client per server is kept between looks, so that a
    look is one list_targets on a connection already made; a connection that fails is made
    again once before the server counts as unreachable (it may have restarted)."""

    def __init__(self):
        self._clients = {}

    def whereabouts(self, target):
        """None while the device is attached; otherwise why it is lost."""
        import kelpie

        for _ in range(2):
            try:
                client = self._clients.get(target.server)
                if client is None:
                    client = self._clients[target.server] = kelpie.HdcClient(target.server)
                serials = client.list_targets()
                break
            except RuntimeError as e:
                self._clients.pop(target.server, None)
                error = e
        else:
            return "its server is unreachable (%s)" % error
        return None if target.serial in serials else "it is gone from list_targets"
