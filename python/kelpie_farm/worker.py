"""The side that runs tests: an xdist worker, or pytest's own process without xdist. Its
devices (worker_devices.py), what each collected test needs, the look at a test's device
before the test starts, the every-device tests' parameters, and the messages that tell the
controller when each test starts and ends."""

import time

import pytest

from . import internals
from .discovery import FarmError, controller_farm
from .options import ENV_SERVER, EVERY_DEVICE, REQUIRE
from .pools import describe, matches, requirements
from .targets import Target
from .worker_devices import WorkerDevices

PARAM = "_hdc_every_device"     # the parameter an every-device test is spread over
DEVICE_FIXTURES = ("hdc_device", "hdc_client")
DEVICES = pytest.StashKey()     # the test-running process's WorkerDevices
USE = pytest.StashKey()         # an item's (Target, LogMark) while it holds its device
LOST = pytest.StashKey()        # an item's (label, message) when it found its device gone
NOT_RUN = pytest.StashKey()     # an item's label when it did not run for want of its device


def configure_worker(config):
    """In an xdist worker of a farm run: its devices and its end of the farm's channel, as
    the controller put them in its workerinput."""
    data = config.workerinput.get("hdc_farm")
    if data is None:
        return
    from .link import WorkerLink

    own = config.workerinput.get("hdc_target")
    link = WorkerLink(config.workerinput["hdc_link"])
    devices = config.stash[DEVICES] = WorkerDevices(
        Target(*own) if own else None, [Target(*t) for t in data], config.workerinput["workerid"],
        config.workerinput["hdc_timeout"], link.spare_for)
    devices.link = link
    devices.params = config.workerinput.get("hdc_params", {})
    config.pluginmanager.register(TestProgressSender(link), "kelpie-farm-test-progress")


def devices_of(config):
    """This process's WorkerDevices; outside xdist, the first device of the farm is its own."""
    devices = config.stash.get(DEVICES, None)
    if devices is None:
        if hasattr(config, "workerinput"):
            raise FarmError("this xdist worker was given no device: name the farm (--hdc-server, "
                            "$%s, the ini option hdc_server, or --hdc-sim)" % ENV_SERVER)
        farm = controller_farm(config, default=True)
        own = farm.lease("main")
        devices = config.stash[DEVICES] = WorkerDevices(
            own, farm.targets, None, farm.timeout,
            lambda label, message, during: farm.fail_over("main", label, message))
        if own is None:
            devices.no_device_left = True
        devices.params = farm.params
    return devices


class TestProgressSender:
    """In a worker: tells the controller when each test starts and ends, for its deadline."""

    def __init__(self, link):
        self.link = link

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_protocol(self, item, nextitem):
        self.link.send("start", item.nodeid, time.time())
        yield
        self.link.send("end")


@pytest.hookimpl(hookwrapper=True)
def pytest_report_to_serializable(config, report):
    """In a farm's worker, a report goes to the controller as text execnet can send: UTF-8.
    Text that is not (a lone surrogate, as os.fsdecode makes of a file name's stray byte)
    is sent escaped (\\udcff) rather than ending the worker with an internal error."""
    outcome = yield
    if DEVICES in config.stash and hasattr(config, "workerinput"):
        data = outcome.get_result()
        if data is not None:
            outcome.force_result(sendable(data))


def sendable(value):
    """`value` (str, or dicts, lists and tuples of them) with every str encodable as UTF-8."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
            return value
        except UnicodeEncodeError:
            return value.encode("utf-8", "backslashreplace").decode("utf-8")
    if isinstance(value, dict):
        return {sendable(k): sendable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(sendable(v) for v in value)
    return value


# --- what each test needs -----------------------------------------------------------------

def placement_of(item, devices):
    """What the scheduler needs to know of a test: what need_of says, or for a test that asks
    for devices of certain properties, the list of those devices."""
    need = need_of(item)
    pool = required(item)
    if need == "" and pool:
        fit = [t.label for t in devices.targets if matches(devices.params.get(t.label), pool)]
        return fit or None          # none: it is skipped wherever it goes
    return need


def need_of(item):
    """What a test needs: None for no device, "" for the worker's, or the label it is pinned to."""
    callspec = getattr(item, "callspec", None)
    if callspec is not None and PARAM in callspec.params:
        target = callspec.params[PARAM]
        return target.label if target is not None else None     # None: no device has what it asks
    fixtures = getattr(item, "fixturenames", ())
    return "" if any(name in fixtures for name in DEVICE_FIXTURES) else None


def required(node):
    """The Requirements of every hdc_require marker of a test."""
    try:
        return [r for mark in node.iter_markers(REQUIRE) for r in requirements(mark.args)]
    except ValueError as e:
        pytest.fail("%s: %s" % (REQUIRE, e), pytrace=False)


def passed_by(item, devices):
    """Whether this worker gives the test back, as the scheduler expects: it lost its
    device and has none left, or took a spare that the test may not use."""
    placement = placement_of(item, devices)
    if placement == "":
        return devices.no_device_left
    if isinstance(placement, list):
        return devices.no_device_left or (devices.own is not None and devices.own.label not in placement)
    return False        # no device has what it asks: it is skipped wherever it goes


def no_device(pool):
    return "no device of the farm has %s" % describe(pool)


def lose(item, devices, target, why):
    """A test found its device gone: it fails saying so (reported with hdc_lost)."""
    item.stash[LOST] = (target.label, devices.lose(target, why, during=True))


# --- hooks ------------------------------------------------------------------------------------

@pytest.hookimpl(tryfirst=True)
def pytest_collection_finish(session):
    devices = session.config.stash.get(DEVICES, None)
    if devices is not None and getattr(devices, "link", None) is not None:
        # Before xdist's own report of the collection, which the scheduler waits for.
        devices.can_pass_by = internals.can_tear_down_before(session)
        devices.link.send("needs", [placement_of(item, devices) for item in session.items], devices.can_pass_by)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    """The device is looked at before the test starts, so that a device found gone costs
    no test: a spare takes its place, or, with none left or a spare the test may not use,
    the test is given back for another worker to run (it has no report here)."""
    devices = item.config.stash.get(DEVICES, None)
    if devices is not None:
        for key in (USE, LOST, NOT_RUN):    # a test run again here (a retry) starts afresh
            if key in item.stash:
                del item.stash[key]
        item.user_properties[:] = [p for p in item.user_properties if p[0] not in ("hdc_serial", "hdc_server")]
    need = need_of(item) if devices is not None else None
    if need is None:
        return None
    target = devices.own if need == "" else devices.target(need)
    if target is not None and target.label not in devices.lost:
        why = devices.look(target)
        if why is not None:
            devices.lose(target, why, during=False)
    if need == "" and devices.link is not None and devices.can_pass_by and passed_by(item, devices):
        # The fixtures the earlier test kept for this one go now, as its tear-down would have
        # done them, or the next test's set-up would find them in its way.
        internals.teardown_before(item, nextitem)
        return True
    return None


def pytest_generate_tests(metafunc):
    """An every-device test is parametrized over the farm's devices (those it requires)."""
    if metafunc.definition.get_closest_marker(EVERY_DEVICE) is None:
        return
    try:
        devices = devices_of(metafunc.config)
    except FarmError as e:
        pytest.fail("%s needs the farm's devices: %s" % (EVERY_DEVICE, e), pytrace=False)
    metafunc.fixturenames.append(PARAM)
    pool = required(metafunc.definition)
    targets = [t for t in devices.targets if matches(devices.params.get(t.label), pool)]
    if not targets:
        metafunc.parametrize(PARAM, [pytest.param(None, marks=pytest.mark.skip(reason=no_device(pool)))],
                             ids=["no-device"])
        return
    metafunc.parametrize(PARAM, targets, ids=[t.label for t in targets])
