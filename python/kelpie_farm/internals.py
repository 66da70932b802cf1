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


def junit_xml(config):
    """pytest's JUnit XML writer (--junitxml), or None."""
    try:
        from _pytest.junitxml import xml_key
    except ImportError:
        return None
    return config.stash.get(xml_key, None)


def junit_add_properties(config, report):
    """Adds the report's user properties to its JUnit test case directly."""
    try:
        xml = junit_xml(config)
        if xml is not None:
            reporter = xml.node_reporter(report)
            for name, value in report.user_properties:
                reporter.add_property(name, str(value))
    except AttributeError:     # another pytest: the message still names the device
        pass


def junit_system_out(config, report, text):
    """Adds a system-out of its own to the report's JUnit test case (pytest writes one only
    with junit_logging)."""
    import xml.etree.ElementTree as ET

    xml = junit_xml(config)
    try:
        if xml is not None:
            element = ET.Element("system-out")
            element.text = text
            xml.node_reporter(report).append(element)
    except AttributeError:     # another pytest: the report's section still names the files
        _warn_once("JUnit system-out", "the files brought back are named in the report only")


_warned = set()


def _warn_once(what, consequence):
    import warnings

    if what not in _warned:
        _warned.add(what)
        warnings.warn("kelpie_farm: this pytest has no %s interface the farm knows: %s" % (what, consequence))


def junit_test_case(config, report):
    """The JUnit test case the report went to, or None."""
    xml = junit_xml(config)
    return getattr(xml, "node_reporters", {}).get((report.nodeid, getattr(report, "node", None)))


def junit_drop_test_cases(config, dropped):
    """Leaves these test cases (junit_test_case) out of the JUnit file."""
    ordered = getattr(junit_xml(config), "node_reporters_ordered", None)
    if isinstance(ordered, list) and dropped:
        ordered[:] = [r for r in ordered if not any(r is d for d in dropped)]
