"""The private interfaces of pytest and pytest-xdist that the farm uses, each in one place.

Nothing else in the plugin reaches into pytest's or xdist's internals: every use goes
through a function here."""


# --- pytest-xdist's controlling session (xdist.dsession.DSession) ---------------------------

def dsession(config):
    """xdist's controlling session, or None (no xdist, or a worker)."""
    return config.pluginmanager.getplugin("dsession")


def scheduler(config):
    """The scheduler of xdist's controlling session, or None."""
    return getattr(dsession(config), "sched", None)


def handle_event(config, name, handler):
    """Has xdist's main loop call `handler(**kwargs)` for the event `name` posted with
    post_event: the loop calls its own worker_<name>."""
    session = dsession(config)
    if session is not None:
        setattr(session, "worker_" + name, handler)


def post_event(config, name, **kwargs):
    """Queues an event for xdist's main loop, in order with the workers' own events."""
    session = dsession(config)
    if session is not None:
        session.queue.put((name, kwargs))


def worker_replaced(config):
    """Whether xdist starts a worker in place of one that crashed now."""
    session = dsession(config)
    limit = getattr(session, "_max_worker_restart", None)
    return limit is None or getattr(session, "_failed_nodes_count", 0) + 1 <= limit


def clone_worker(config, template):
    """Starts a worker as xdist starts one in place of a crashed one; False when it cannot."""
    session = dsession(config)
    clone = getattr(session, "_clone_node", None)
    if clone is None or template is None or getattr(session, "shuttingdown", False):
        return False
    clone(template)
    return True


def worker_process(node):
    """The local process behind an xdist worker (for a worker on another host, the ssh
    process that carries it), or None when there is none to end."""
    return getattr(getattr(node.gateway, "_io", None), "popen", None)


# --- pytest ----------------------------------------------------------------------------------

def teardown_before(item, nextitem):
    """Tears down the fixtures `item` kept for `nextitem` that `nextitem` does not share."""
    item.session._setupstate.teardown_exact(nextitem)


def progress_hold(config, held, nodeid):
    """The terminal's progress (its percentage) counts a test of `held`, a set the caller
    keeps, as done only once it has left it: a test that runs again is not done when its
    first attempt is, and the line gets one 100%. Adds `nodeid` to `held`."""
    held.add(nodeid)
    reporter = config.pluginmanager.getplugin("terminalreporter")
    reported = getattr(reporter, "_progress_nodeids_reported", None)
    if not isinstance(reported, set):
        return
    if not isinstance(reported, HeldProgress):
        reported = reporter._progress_nodeids_reported = HeldProgress(reported, held)
    reported.discard(nodeid)


class HeldProgress(set):
    """The terminal's set of tests done, which leaves out those held."""

    def __init__(self, items, held):
        super().__init__(items)
        self.held = held

    def add(self, nodeid):
        if nodeid not in self.held:
            super().add(nodeid)


def junit_xml(config):
    """pytest's JUnit XML writer (--junitxml), or None."""
    try:
        from _pytest.junitxml import xml_key
    except ImportError:
        return None
    return config.stash.get(xml_key, None)


def junit_test_case(config, report):
    """The JUnit test case the report went to, or None."""
    xml = junit_xml(config)
    return getattr(xml, "node_reporters", {}).get((report.nodeid, getattr(report, "node", None)))


def junit_drop_test_cases(config, dropped):
    """Leaves these test cases (junit_test_case) out of the JUnit file."""
    ordered = getattr(junit_xml(config), "node_reporters_ordered", None)
    if isinstance(ordered, list) and dropped:
        ordered[:] = [r for r in ordered if not any(r is d for d in dropped)]
