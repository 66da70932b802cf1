"""Workers on other hosts (xdist's `--tx ssh=...`), in the controlling process: the
arguments such a worker is given, the worker a retry's worker is started like, and the
workers whose process was left running there.

A worker on another host runs in a folder of its own there (`//chdir=`): the suite's
checkout, or the folder xdist copies `--rsyncdir` folders into. xdist rewrites the run's
paths for that folder, and stops the run (a ValueError) at any existing path outside the
folders it copies, the run's own relative paths and the values of options such as
`--hdc-report PATH` included. Here a path xdist cannot place is given as the run knows it
relative to the folder it started in, which on the other host is the same checkout.
"""

import os

# xdist warns of --rsyncdir in every process that reads it, each worker too: once, in the
# controlling process, is enough.
QUIET_RSYNC = ["-W", "ignore:The --rsyncdir command line argument:DeprecationWarning"]


def worker_args(config):
    """rewrite(roots, args, xdist_rewrite) -> the arguments a worker with a folder of its own
    is given."""
    start = str(config.invocation_params.dir)
    try:
        rsync = bool(config.getoption("rsyncdir", None) or config.getini("rsyncdirs"))
    except ValueError:
        rsync = False

    def rewrite(roots, args, xdist_rewrite):
        return (QUIET_RSYNC if rsync else []) + [worker_arg(roots, arg, start, xdist_rewrite) for arg in args]

    return rewrite


def worker_arg(roots, arg, start, xdist_rewrite):
    """`arg` for a worker: under a folder xdist copies over, as xdist puts it; else a path
    under `start` relative to it; anything else as it is."""
    path, sep, rest = arg.partition("::")
    full = os.path.join(start, path)
    for candidate in (arg, full + sep + rest):
        try:
            return xdist_rewrite(roots, [candidate])[0]
        except ValueError:
            pass
    relative = os.path.relpath(full, start)
    if os.path.isabs(path) and relative != os.pardir and not relative.startswith(os.pardir + os.sep):
        return relative + sep + rest
    return arg


def is_remote(node):
    spec = node.gateway.spec
    return not getattr(spec, "popen", False)


def where(node):
    """The worker's host as its --tx names it."""
    spec = node.gateway.spec
    for key in ("ssh", "socket", "vagrant_ssh"):
        value = getattr(spec, key, None)
        if value:
            return "%s=%s" % (key, value)
    return "another host"


class WorkerHosts:
    """Which worker to start a retry's worker like: one that has run a test on a device of
    the same server (its host reaches that server), else a local one (the controlling
    process found every server from this host), else the last one configured."""

    def __init__(self, farm):
        self.farm = farm
        self.by_server = {}     # server -> a node whose worker ran a test on one of its devices
        self.nodes = {}         # worker id -> its node
        self.under_way = {}     # worker id -> the test it reported a set-up or call of, and no teardown yet
        self.local = None
        self.last = None
        self.left_behind = []   # lines for the summary

    def configured(self, node):
        self.last = node
        self.nodes[node.gateway.id] = node
        if not is_remote(node):
            self.local = node

    def reached(self, node, server):
        self.by_server[server] = node

    def pytest_runtest_logreport(self, report):
        """Which test each worker is in; a worker whose test got through its set-up on a
        device reaches that device's server."""
        node = getattr(report, "node", None)
        if node is None:
            return
        if report.when in ("setup", "call"):
            self.under_way[node.gateway.id] = report.nodeid
        else:
            self.under_way.pop(node.gateway.id, None)
        label = getattr(report, "hdc_label", None)
        if label is None or report.when != "setup" or not report.passed:
            return
        target = next((t for t in self.farm.targets if t.label == label), None)
        if target is not None:
            self.reached(node, target.server)

    def template_for(self, server):
        return self.by_server.get(server) or self.local or self.last

    def cut_off(self, node, why):
        """A worker on another host whose connection was ended while it ran a test: its
        process there goes on until the call it is in returns."""
        self.under_way.pop(node.gateway.id, None)
        if is_remote(node):
            self.left_behind.append(
                "LEFT BEHIND: worker %s on %s %s; its connection was ended, and its process there runs "
                "until the kelpie call it is in returns" % (node.gateway.id, where(node), why))

    def interrupted(self):
        """The run was interrupted: a worker on another host in a test is cut off there."""
        for worker, nodeid in list(self.under_way.items()):
            if worker in self.nodes:
                self.cut_off(self.nodes[worker], "was in %s when the run was interrupted" % nodeid)
