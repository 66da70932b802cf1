"""Per-test deadlines: `@pytest.mark.hdc_timeout(SECONDS)` gives one test a deadline of its
own in place of --hdc-timeout. The controller's watchdog keeps it as it keeps the global
one (watchdog.py): a worker whose test is past it is ended and replaced, and the test fails
naming the deadline and its device.

The marks are read once, when the tests are collected, in the process that collects them;
under xdist the worker sends the controller the tests that have one, before its first test.
A mark whose value is no number of seconds above 0 fails its test, saying so.
"""

import pytest

from .options import TIMEOUT, farm_named

DEADLINES = pytest.StashKey()     # {test id: seconds} of the marked tests of this process


def deadline_of(item):
    """(seconds or None, error or None) of the test's hdc_timeout mark."""
    mark = item.get_closest_marker(TIMEOUT)
    if mark is None:
        return None, None
    value = mark.args[0] if mark.args else mark.kwargs.get("seconds")
    try:
        seconds = float(value)
    except (TypeError, ValueError):
        seconds = None
    if seconds is None or not seconds > 0 or isinstance(value, bool):
        return None, "%s takes a number of seconds above 0, not %r" % (TIMEOUT, value)
    return seconds, None


class MarkErrors:
    """Fails the tests whose hdc_timeout mark is wrong; registered only when one is."""

    def __init__(self, errors):
        self.errors = errors

    def pytest_runtest_setup(self, item):
        error = self.errors.get(item.nodeid)
        if error is not None:
            pytest.fail(error, pytrace=False)


@pytest.hookimpl(tryfirst=True)
def pytest_collection_finish(session):
    config = session.config
    workerinput = getattr(config, "workerinput", None)
    if not (farm_named(config) if workerinput is None else "hdc_farm" in workerinput):
        return      # no farm: the marks wait for one (the plugin stays idle)
    deadlines, errors = {}, {}
    for item in session.items:
        seconds, error = deadline_of(item)
        if seconds is not None:
            deadlines[item.nodeid] = seconds
        elif error is not None:
            errors[item.nodeid] = error
    session.config.stash[DEADLINES] = deadlines
    if errors:
        session.config.pluginmanager.register(MarkErrors(errors), "kelpie-farm-deadline-marks")
    if deadlines:
        from .worker import DEVICES

        devices = session.config.stash.get(DEVICES, None)
        link = getattr(devices, "link", None)
        if link is not None:
            link.send("deadlines", deadlines)
