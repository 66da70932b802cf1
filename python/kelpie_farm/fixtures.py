"""The fixtures a test uses its device through: `hdc_device` and `hdc_client`, and the
suite's once-per-device set-up (pytest_hdc_device_ready) before a device's first test."""

import pytest

from .device import HdcDevice
from .discovery import FarmError
from .pools import describe, matches
from .worker import NOT_RUN, PARAM, USE, devices_of, lose, no_device, required


@pytest.fixture
def hdc_device(request):
    """This worker's device (an every-device test: the device of its parameter), with a
    kelpie.HdcClient of the test's own bound to it: `client`, `serial`, `server`."""
    import kelpie

    try:
        devices = devices_of(request.config)
    except FarmError as e:
        pytest.fail(str(e), pytrace=False)
    item = request.node
    target = device_for(item, devices)
    if target.label in devices.lost:
        item.stash[NOT_RUN] = target.label
        pytest.skip("not run: " + devices.lost[target.label])
    item.user_properties.extend([("hdc_serial", target.serial), ("hdc_server", target.server)])
    # The look before the test (pytest_runtest_protocol) vouches for the device; if it went
    # since, the first kelpie call fails here and another look says why.
    try:
        if target.label not in devices.ready:
            ready(item.config, target)
            devices.ready.add(target.label)
        client = kelpie.HdcClient(target.server)
        client.connect_device(target.serial)
        mark = devices.reader(target).mark()
    except RuntimeError:
        why = devices.look(target)
        if why is None:
            raise
        lose(item, devices, target, why)
        pytest.fail(devices.lost[target.label], pytrace=False)
    item.stash[USE] = (target, mark)
    if devices.link is not None:    # for the log of this test should its worker be ended
        devices.link.send("mark", item.nodeid, target.label, mark.last)
    return HdcDevice(client, target.serial, target.server)


@pytest.fixture
def hdc_client(hdc_device):
    """The client of `hdc_device` alone: a kelpie.HdcClient bound to this worker's device."""
    return hdc_device.client


def ready(config, target):
    """The suite's once-per-device set-up, with a client of its own."""
    import kelpie

    client = kelpie.HdcClient(target.server)
    client.connect_device(target.serial)
    config.hook.pytest_hdc_device_ready(device=HdcDevice(client, target.serial, target.server))


def device_for(item, devices):
    callspec = getattr(item, "callspec", None)
    target = callspec.params.get(PARAM) if callspec is not None else None
    pool = required(item)
    if target is None and pool:
        return device_in_pool(devices, pool)
    if target is None:
        if devices.own is None:
            if devices.no_device_left:
                item.stash[NOT_RUN] = None
                pytest.skip("not run: no device was left to run it on")
            pytest.fail("worker %s has no device of its own: the farm has %d devices and more workers were "
                        "started than it had devices for" % (devices.worker, len(devices.targets)),
                        pytrace=False)
        return devices.own
    if devices.worker is not None and target != devices.own and target.label not in devices.lost:
        # Only xdist's load scheduling (-n, --dist load) keeps these tests with their device's worker.
        pytest.fail("the test for %s came to worker %s, which holds %s: run every-device tests with "
                    "--dist load" % (target.label, devices.worker, devices.own.label if devices.own else "none"),
                    pytrace=False)
    return target


def device_in_pool(devices, pool):
    """The device for a test that asks for certain properties: this process's own, which the
    scheduler chose for having them; without xdist, the first such device."""
    fit = [t for t in devices.targets if matches(devices.params.get(t.label), pool) and t.label not in devices.lost]
    if not fit:
        pytest.skip(no_device(pool))
    if devices.worker is None:
        return fit[0]
    if devices.own not in fit:
        pytest.fail("the test for a device with %s came to worker %s, which holds %s: run it with --dist load" % (
            describe(pool), devices.worker, devices.own.label if devices.own else "none"), pytrace=False)
    return devices.own
