"""The private interfaces of pytest, pytest-xdist and execnet that the farm still uses, each
named here and used nowhere else. Each is looked for before use; where a release lacks one,
the farm goes on without what it gave and says so once, with a warning.

| interface | what the farm does with it | without it |
|---|---|---|
| xdist `DSession._clone_node`, `.shuttingdown` | starts a worker for a test to run again on a device no worker holds | no test runs again (`--hdc-retries`) |
| xdist `LoadScheduling._send_tests`, `.pending`, `.node2pending`, `.collection` | which pending test goes to which worker, by device | xdist's own load scheduling, blind to devices |
| xdist `workermanage.make_reltoroot` | a worker on another host gets the run's paths it can use (remote.py) | xdist's own: any path outside `--rsyncdir` stops the run |
| execnet `gateway._io.popen` | the worker's process, ended at a test's deadline and after Ctrl-C | a hung test is not ended |
| pytest `Session._setupstate.teardown_exact` | a worker that lost its device passes a test by, its fixtures torn down | such a worker reports its queued tests as not run |
| pytest junitxml `LogXML.node_reporter`, `.node_reporters`, `.node_reporters_ordered` | drops a rerun attempt's test case; a system-out naming the files brought back from a failing test's device | JUnit lists every attempt; the files are named in the report only |
| pytest terminal `TerminalReporter._progress_nodeids_reported` | a test run again counts once toward the progress percentage, at its last attempt | a retried test counts twice; the line passes 100% |
"""

import pytest

_warned = set()


def warn(config, what):
    """Says once in the run that the farm goes without something."""
    if what not in _warned:
        _warned.add(what)
        config.issue_config_time_warning(pytest.PytestWarning("kelpie farm: " + what), stacklevel=2)


# --- pytest-xdist and execnet -----------------------------------------------------------------

def _dsession(config):
    return config.pluginmanager.getplugin("dsession")


def can_start_workers(config):
    from xdist.dsession import DSession

    if callable(getattr(DSession, "_clone_node", None)):
        return True
    warn(config, "this pytest-xdist has no DSession._clone_node: --hdc-retries runs no test again")
    return False


def clone_worker(config, template):
    """Starts a worker as xdist starts one in place of a crashed one; False when it cannot."""
    session = _dsession(config)
    clone = getattr(session, "_clone_node", None)
    if clone is None or template is None or getattr(session, "shuttingdown", False):
        return False
    clone(template)
    return True


def can_place_tests(config):
    """Whether the farm's scheduler can place tests by device on this pytest-xdist."""
    from xdist.scheduler import LoadScheduling

    if callable(getattr(LoadScheduling, "_send_tests", None)):
        return True
    warn(config, "this pytest-xdist's LoadScheduling has no _send_tests: tests are spread by xdist's "
                 "load scheduling alone, and every-device and hdc_require tests fail on a worker "
                 "without their device")
    return False


def scheduler_state_ok(config, sched):
    """Whether a LoadScheduling just made keeps the state the farm's scheduler works on."""
    if all(hasattr(sched, name) for name in ("pending", "node2pending", "collection", "nodes")):
        return True
    warn(config, "this pytest-xdist's LoadScheduling keeps no pending, node2pending or collection: "
                 "tests are spread by xdist's load scheduling alone")
    return False


def worker_process(config, node):
    """The local process behind an xdist worker (for a worker on another host, the ssh
    process that carries it), or None when there is none to end."""
    process = getattr(getattr(node.gateway, "_io", None), "popen", None)
    if process is None or not hasattr(process, "pid"):
        warn(config, "execnet gives no process for worker %s: a test past --hdc-timeout is reported "
                     "but its worker cannot be ended" % node.gateway.id)
        return None
    return process


def rewrite_worker_args(config, rewrite, remote):
    """Has xdist pass a worker on another host (or one with a folder of its own) the
    arguments `rewrite(roots, args, xdist_rewrite)` gives, where xdist would give
    `xdist_rewrite(roots, args)`: its own raises ValueError for any existing path that is
    not under a folder it copies over. Undone at the end of the run. `remote`: whether the
    run has such a worker (only then is a missing interface worth a warning)."""
    from xdist import workermanage

    original = getattr(workermanage, "make_reltoroot", None)
    if not callable(original):
        if remote:
            warn(config, "this pytest-xdist has no workermanage.make_reltoroot: a worker on another host "
                         "is given the run's paths as xdist gives them")
        return
    workermanage.make_reltoroot = lambda roots, args: rewrite(roots, args, original)
    config.add_cleanup(lambda: setattr(workermanage, "make_reltoroot", original))


# --- pytest ----------------------------------------------------------------------------------

def can_tear_down_before(session):
    """Whether a test can be passed by with its fixtures torn down (teardown_before)."""
    if callable(getattr(getattr(session, "_setupstate", None), "teardown_exact", None)):
        return True
    warn(session.config, "this pytest's Session has no _setupstate.teardown_exact: a worker that lost "
                         "its device reports its queued tests as not run instead of giving them back")
    return False


def teardown_before(item, nextitem):
    """Tears down the fixtures `item` kept for `nextitem` that `nextitem` does not share."""
    item.session._setupstate.teardown_exact(nextitem)


def progress_hold(config, held, nodeid):
    """The terminal's progress (its percentage) counts a test of `held`, a set the caller
    keeps, as done only once it has left it: a test that runs again is not done when its
    first attempt is, and the line gets one 100%. Adds `nodeid` to `held`."""
    held.add(nodeid)
    reporter = config.pluginmanager.getplugin("terminalreporter")
    if reporter is None:
        return
    reported = getattr(reporter, "_progress_nodeids_reported", None)
    if not isinstance(reported, set):
        warn(config, "this pytest's terminal reporter keeps no _progress_nodeids_reported set: "
                     "a test run again counts twice toward the progress percentage")
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


def _junit_xml(config):
    try:
        from _pytest.junitxml import xml_key
    except ImportError:
        return None
    return config.stash.get(xml_key, None)


def check_junit(config):
    """When JUnit XML is written: whether its writer has what the farm uses."""
    if not getattr(config.option, "xmlpath", None):
        return True
    try:
        from _pytest.junitxml import LogXML
    except ImportError:
        LogXML = None
    if LogXML is not None and callable(getattr(LogXML, "node_reporter", None)):
        return True
    warn(config, "this pytest's JUnit XML writer is not the one the farm knows: a test run again is "
                 "listed once for each attempt, and the files brought back from a failing test's device "
                 "are named in its report only")
    return False


def junit_writing(config):
    """Whether pytest writes JUnit XML in this run (--junitxml)."""
    return _junit_xml(config) is not None


def junit_system_out(config, report, text):
    """Adds a system-out of its own to the report's JUnit test case (pytest writes one only
    with junit_logging)."""
    import xml.etree.ElementTree as ET

    node_reporter = getattr(_junit_xml(config), "node_reporter", None)
    reporter = node_reporter(report) if callable(node_reporter) else None
    if callable(getattr(reporter, "append", None)):
        element = ET.Element("system-out")
        element.text = text
        reporter.append(element)


def junit_test_case(config, report):
    """The JUnit test case the report went to, or None."""
    reporters = getattr(_junit_xml(config), "node_reporters", None)
    if not isinstance(reporters, dict):
        return None
    return reporters.get((report.nodeid, getattr(report, "node", None)))


def junit_drop_test_cases(config, dropped):
    """Leaves these test cases (junit_test_case) out of the JUnit file."""
    ordered = getattr(_junit_xml(config), "node_reporters_ordered", None)
    if isinstance(ordered, list) and dropped:
        ordered[:] = [r for r in ordered if not any(r is d for d in dropped)]

