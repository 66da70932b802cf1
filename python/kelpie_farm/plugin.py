"""pytest plugin: a device test suite across a farm of HDC devices, pytest-xdist spreading
the tests so that each worker drives a device of its own.

    pytest -n auto --hdc-server 10.0.0.5:8710 --hdc-server 10.0.0.6:8710
    pytest -n auto --hdc-sim 6              # a simulated farm of 6 devices, for CI

    def test_api_level(hdc_device):
        assert hdc_device.client.shell("param get const.ohos.apiversion") == "11\\n"

The controlling process finds the devices once and hands each worker its device through
xdist's own channel (workerinput), so workers on other hosts need nothing else. The plugin
stays idle until a farm is named (--hdc-server, --hdc-device, --hdc-sim, the ini options,
or $KELPIE_HDC_SERVER): installed with kelpie, it must not touch the network in the runs
of projects that never asked for it. Without xdist, an unnamed farm is the default server.
"""

import os

import pytest

from .device import HdcDevice
from .devicelog import LogMark, read_log
from .farm import Farm
from .pools import Requirement, ask_params, describe, matches, requirements
from .simfarm import SimFarm
from .station import Station
from .targets import DEFAULT_SERVER, Target, discover

ENV_SERVER = "KELPIE_HDC_SERVER"
MARKER = "hdc_every_device"
REQUIRE = "hdc_require"         # the marker: only on devices with these properties
PARAM = "_hdc_every_device"     # the parameter an every-device test is spread over
RUNBOOK = "kelpie-farm-runbook"
FARM = pytest.StashKey()        # the controlling process's Farm (or the FarmError it met)
SIMS = pytest.StashKey()        # the simulated farm, starting from the beginning of the run
STATION = pytest.StashKey()     # the test-running process's Station
USE = pytest.StashKey()         # an item's (Target, LogMark) while it holds its device
LOST = pytest.StashKey()        # an item's (label, message) when it found its device gone
NOT_RUN = pytest.StashKey()     # an item's label when it did not run for want of its device
MOVE = pytest.StashKey()        # an item's devices when it came to a worker whose device it may not use


class FarmError(Exception):
    pass


def pytest_addoption(parser):
    group = parser.getgroup("hdc", "HDC device farm (kelpie)")
    group.addoption("--hdc-server", action="append", dest="hdc_server", metavar="HOST:PORT",
                    help="an HDC host server whose devices the suite runs on; repeatable. Also the ini option "
                         "hdc_server and $%s (comma-separated); default %s" % (ENV_SERVER, DEFAULT_SERVER))
    group.addoption("--hdc-device", action="append", dest="hdc_device", metavar="PATTERN",
                    help="only the devices whose serial matches this shell-style pattern; repeatable")
    group.addoption("--hdc-sim", type=int, dest="hdc_sim", metavar="N",
                    help="run on a simulated farm of N devices over several simulator processes, "
                         "stopped at the end of the run")
    group.addoption("--hdc-retries", type=int, dest="hdc_retries", metavar="N",
                    help="run a failing test again, up to N times, each time on a device it has not failed "
                         "on; also the ini option hdc_retries (default 0)")
    group.addoption("--hdc-order", choices=("longest", "none"), dest="hdc_order",
                    help="longest: start the tests that took longest last time first (the default); "
                         "none: in the order collected")
    group.addoption("--hdc-report", dest="hdc_report", metavar="PATH.html",
                    help="write the run's timeline, a lane per device, to this HTML file")
    group.addoption("--hdc-require", action="append", dest="hdc_require", metavar="NAME=VALUE",
                    help="only the devices whose `param get NAME` answers VALUE; repeatable; "
                         "also the ini option hdc_require")
    parser.addini("hdc_server", type="linelist", help="HDC host servers (HOST:PORT) of the device farm")
    parser.addini("hdc_retries", default="0", help="times a failing test runs again, on other devices")
    parser.addini("hdc_require", type="linelist", help="NAME=VALUE: only the devices with these properties")
    parser.addini("hdc_device", type="linelist", help="shell-style patterns: only the devices they match")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "%s: run the test once on every device of the farm, the device's serial in its id" % MARKER)
    config.addinivalue_line(
        "markers", "%s(\"NAME=VALUE\", ...): run the test only on devices whose property NAME is VALUE" % REQUIRE)
    if hasattr(config, "workerinput"):
        data = config.workerinput.get("hdc_farm")
        if data is not None:
            own = config.workerinput.get("hdc_target")
            station = config.stash[STATION] = Station(Target(*own) if own else None, [Target(*t) for t in data],
                                                      config.workerinput["workerid"])
            station.params = config.workerinput.get("hdc_params", {})
    else:
        check_options(config)
        config.pluginmanager.register(Bookkeeper(config), "kelpie-farm-bookkeeper")
        if farm_named(config) and SIMS not in config.stash:
            controller_farm(config)     # errors before the first test; a simulated farm is still starting
        if farm_named(config):
            from .runbook import RunBook

            config.pluginmanager.register(RunBook(config, retries_of(config), config.getoption("hdc_report"),
                                                  lambda: config.stash.get(FARM, None)), RUNBOOK)


# A simulated farm starts as soon as the options are known, in the controlling process: the
# simulators start while pytest and its workers do. An xdist worker has its environment
# variable before its options are read, and its workerinput after.

@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config, parser, args):
    if "PYTEST_XDIST_WORKER" not in os.environ:
        start_sims(early_config, early_config.known_args_namespace)


@pytest.hookimpl(hookwrapper=True)
def pytest_cmdline_main(config):
    if not hasattr(config, "workerinput"):
        start_sims(config, config.option)
    yield


def start_sims(config, options):
    count = getattr(options, "hdc_sim", None)
    if count is None or SIMS in config.stash:
        return
    if count < 1:
        raise pytest.UsageError("--hdc-sim needs at least one device, not %d" % count)
    if getattr(options, "hdc_server", None):
        raise pytest.UsageError("--hdc-sim starts servers of its own: leave out --hdc-server")
    sims = config.stash[SIMS] = SimFarm(count, python=sim_python(config))
    config.add_cleanup(sims.stop)   # also after a failing or interrupted run


@pytest.hookimpl(tryfirst=True)
def pytest_sessionfinish(session):
    """Every test has ended: the simulators stop while pytest reports."""
    sims = session.config.stash.get(SIMS, None)
    if sims is not None and not hasattr(session.config, "workerinput"):
        sims.stop_soon()


def sim_python(config):
    """The interpreter for the simulators: the simulator plugin's ini option where it has one."""
    try:
        return config.getini("hdc_sim_python") or None
    except ValueError:
        return None


# --- where the devices are ----------------------------------------------------------------

def servers_named(config):
    """The servers the command line names, or else the environment, or else the ini file."""
    env = os.environ.get(ENV_SERVER, "").replace(",", " ").split()
    return config.getoption("hdc_server") or env or config.getini("hdc_server")


def patterns(config):
    return config.getoption("hdc_device") or config.getini("hdc_device")


def pool_of(config):
    return requirements(config.getoption("hdc_require") or config.getini("hdc_require"))


def retries_of(config):
    value = config.getoption("hdc_retries")
    return int(value if value is not None else config.getini("hdc_retries") or 0)


def check_options(config):
    try:
        pool_of(config)
        retries = retries_of(config)
    except ValueError as e:
        raise pytest.UsageError(str(e))
    if retries < 0:
        raise pytest.UsageError("--hdc-retries takes 0 or more, not %d" % retries)


def farm_named(config):
    return bool(servers_named(config) or patterns(config) or config.getoption("hdc_sim") is not None)


def controller_farm(config, default=False):
    """The farm, found (and for --hdc-sim started) on first need, once: None when none is
    named, unless `default` asks for the default server. A farm with no device at all is a
    UsageError before the run and a FarmError from a fixture."""
    farm = config.stash.get(FARM, None)
    if farm is None:
        if not (default or farm_named(config)):
            return None
        try:
            farm = start_farm(config)
        except FarmError as e:
            farm = e
        config.stash[FARM] = farm
    if isinstance(farm, FarmError):
        if default:
            raise farm
        raise pytest.UsageError(str(farm))
    return farm


def start_farm(config):
    sims = config.stash.get(SIMS, None)
    if sims is not None:
        try:
            servers = sims.wait()
        except Exception as e:
            raise FarmError("the simulated farm did not start: %s" % e)
    else:
        servers = servers_named(config) or [DEFAULT_SERVER]
    targets, problems = discover(servers, patterns(config))
    params, asked = ask_params(targets) if targets else ({}, [])
    pool = pool_of(config)
    if pool:
        problems += asked
        kept = [t for t in targets if matches(params.get(t.label), pool)]
        if targets and not kept:
            problems.append("no device has %s" % describe(pool))
        targets = kept
    if not targets:
        if sims is not None:
            sims.stop()
        why = problems + ["no device matches %s" % ", ".join(patterns(config))] if patterns(config) else problems
        raise FarmError("no HDC device to run on (servers: %s)%s" % (
            ", ".join(servers), "".join("; " + w for w in why)))
    farm = Farm(targets, problems, sims)
    farm.params = {t.label: params.get(t.label, {}) for t in targets}
    farm.pool = pool
    return farm


def station_of(config):
    """This process's Station; outside xdist, the first device of the farm is its own."""
    station = config.stash.get(STATION, None)
    if station is None:
        if hasattr(config, "workerinput"):
            raise FarmError("this xdist worker was given no device: name the farm (--hdc-server, "
                            "$%s, the ini option hdc_server, or --hdc-sim)" % ENV_SERVER)
        farm = controller_farm(config, default=True)
        station = config.stash[STATION] = Station(farm.targets[0], farm.targets)
        station.params = farm.params
    return station


# --- xdist: one worker a device -------------------------------------------------------------

@pytest.hookimpl(tryfirst=True, optionalhook=True)
def pytest_xdist_auto_num_workers(config):
    if SIMS in config.stash and not patterns(config):
        return config.getoption("hdc_sim")      # known without waiting for the simulators
    farm = controller_farm(config)
    return len(farm.targets) if farm is not None else None


@pytest.hookimpl(optionalhook=True)
def pytest_configure_node(node):
    farm = controller_farm(node.config)
    if farm is None:
        return
    own = farm.lease(node.gateway.id)
    farm.template = node
    node.workerinput["hdc_farm"] = [list(t) for t in farm.targets]
    node.workerinput["hdc_target"] = list(own) if own else None
    node.workerinput["hdc_params"] = farm.params


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error):
    farm = node.config.stash.get(FARM, None)
    if isinstance(farm, Farm):
        farm.release(node.gateway.id)


@pytest.hookimpl(optionalhook=True)
def pytest_xdist_make_scheduler(config, log):
    farm = controller_farm(config)
    if farm is None or config.getvalue("dist") != "load":
        return None
    from .scheduling import DeviceScheduling

    order = None
    cache = getattr(config, "cache", None)
    if (config.getoption("hdc_order") or "longest") == "longest" and cache is not None:
        order = config.pluginmanager.getplugin(RUNBOOK).durations.longest_first
    return DeviceScheduling(config, log, [t.label for t in farm.targets],
                            lambda nodeid, label, why: report_not_run(config, nodeid, label, why),
                            order=order, start_worker=lambda label: start_worker(config, farm, label))


def start_worker(config, farm, label):
    """A new worker for the device `label` (xdist's own way of replacing a crashed one); False
    when this xdist cannot."""
    dsession = config.pluginmanager.getplugin("dsession")
    clone = getattr(dsession, "_clone_node", None)
    template = getattr(farm, "template", None)
    if clone is None or template is None or getattr(dsession, "shuttingdown", False):
        return False
    farm.wanted = label
    clone(template)
    return True


def report_not_run(config, nodeid, label, why):
    """Reports a test the controller will not hand to any worker, as skipped, saying why."""
    from _pytest.reports import TestReport

    path = nodeid.split("::")[0]
    report = TestReport(nodeid, (path, None, nodeid), {}, "skipped", (path, None, "Skipped: not run: " + why),
                        "setup", hdc_not_run=label)
    config.hook.pytest_runtest_logreport(report=report)


# --- every-device tests -------------------------------------------------------------------

def pytest_generate_tests(metafunc):
    if metafunc.definition.get_closest_marker(MARKER) is None:
        return
    try:
        station = station_of(metafunc.config)
    except FarmError as e:
        pytest.fail("%s needs the farm's devices: %s" % (MARKER, e), pytrace=False)
    metafunc.fixturenames.append(PARAM)
    pool = required(metafunc.definition)
    targets = [t for t in station.targets if matches(station.params.get(t.label), pool)]
    if not targets:
        metafunc.parametrize(PARAM, [pytest.param(None, marks=pytest.mark.skip(reason=no_device(pool)))],
                             ids=["no-device"])
        return
    metafunc.parametrize(PARAM, targets, ids=[t.label for t in targets])


def required(node):
    """The Requirements of every hdc_require marker of a test."""
    try:
        return [r for mark in node.iter_markers(REQUIRE) for r in requirements(mark.args)]
    except ValueError as e:
        pytest.fail("%s: %s" % (REQUIRE, e), pytrace=False)


def no_device(pool):
    return "no device of the farm has %s" % describe(pool)


# --- fixtures -----------------------------------------------------------------------------

@pytest.fixture
def hdc_device(request):
    """This worker's device (an every-device test: the device of its parameter), with a
    kelpie.HdcClient of the test's own bound to it: `client`, `serial`, `server`."""
    import kelpie

    try:
        station = station_of(request.config)
    except FarmError as e:
        pytest.fail(str(e), pytrace=False)
    item = request.node
    target = device_for(item, station)
    if target.label in station.lost:
        item.stash[NOT_RUN] = target.label
        pytest.skip("not run: " + station.lost[target.label])
    # The look after the last test vouches for the device; one that has gone since shows
    # here as an error, or after this test.
    try:
        client = kelpie.HdcClient(target.server)
        client.connect_device(target.serial)
        mark = LogMark(client.hilog(None))
    except RuntimeError:
        why = station.lookout.whereabouts(target)
        if why is None:
            raise
        lose(item, station, target, why)
        pytest.fail(station.lost[target.label], pytrace=False)
    item.stash[USE] = (target, mark)
    return HdcDevice(client, target.serial, target.server)


@pytest.fixture
def hdc_client(hdc_device):
    """The client of `hdc_device` alone: a kelpie.HdcClient bound to this worker's device."""
    return hdc_device.client


def device_for(item, station):
    callspec = getattr(item, "callspec", None)
    target = callspec.params.get(PARAM) if callspec is not None else None
    pool = required(item)
    if target is None and pool:
        return device_in_pool(item, station, pool)
    if target is None:
        if station.own is None:
            pytest.fail("worker %s has no device of its own: the farm has %d devices and more workers were "
                        "started (-n auto starts one worker a device)" % (station.worker, len(station.targets)),
                        pytrace=False)
        return station.own
    if station.worker is not None and target != station.own:
        # Only xdist's load scheduling (-n, --dist load) keeps these tests with their device's worker.
        pytest.fail("the test for %s came to worker %s, which holds %s: run every-device tests with "
                    "--dist load" % (target.label, station.worker, station.own.label if station.own else "none"),
                    pytrace=False)
    return target


def device_in_pool(item, station, pool):
    """The device for a test that asks for certain properties: this worker's when it has them;
    otherwise the test goes back to the controller for a device that has (without xdist: the
    first such device)."""
    fit = [t for t in station.targets if matches(station.params.get(t.label), pool) and t.label not in station.lost]
    if not fit:
        pytest.skip(no_device(pool))
    if station.worker is None:
        return fit[0]
    if station.own in fit:
        return station.own
    item.stash[MOVE] = [t.label for t in fit]
    pytest.skip("moved to a device with %s" % describe(pool))


def lose(item, station, target, why):
    message = "%s was lost: %s" % (target.describe(), why)
    station.lost.setdefault(target.label, message)
    item.stash[LOST] = (target.label, message)


# --- reports ------------------------------------------------------------------------------

@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if STATION in item.config.stash or USE in item.stash:
        report.hdc_start, report.hdc_stop = call.start, call.stop     # for the timeline
    if NOT_RUN in item.stash and report.skipped:
        report.hdc_not_run = item.stash[NOT_RUN]
    if MOVE in item.stash:
        report.hdc_move = item.stash[MOVE]
    use = item.stash.get(USE, None)
    if use is not None:
        report.hdc_device = use[0].label
    if use is None:
        if LOST in item.stash and report.failed:
            name_device(item, report, item.stash[LOST][0])
            report.hdc_lost = list(item.stash[LOST])
        return
    target, mark = use
    station = item.config.stash[STATION]
    if call.when == "call" and target.label not in station.lost:
        why = station.lookout.whereabouts(target)
        if why is not None:    # the test ran while its device went away: it fails, saying so
            lose(item, station, target, why)
            earlier = "\n\n" + str(report.longrepr) if report.failed else ""
            report.outcome = "failed"
            report.longrepr = item.stash[LOST][1] + earlier
    if not report.failed:
        return
    name_device(item, report, target.serial)
    if LOST in item.stash:
        report.hdc_lost = list(item.stash[LOST])
        return
    try:
        lines = mark.since(read_log(target))
        text = "".join(line + "\n" for line in lines) or "(the device logged nothing while the test ran)\n"
    except RuntimeError as e:
        text = "(the device log could not be read: %s)\n" % e
    report.sections.append(("device log %s (%s)" % (target.serial, target.server), text))


def name_device(item, report, serial):
    """The serial as a property of the failing test. JUnit XML takes a test's properties from
    its teardown report, which copies the item's when it is made."""
    prop = ("hdc_serial", serial)
    for props in (item.user_properties, report.user_properties):
        if prop not in props:
            props.append(prop)


class Bookkeeper:
    """In the controlling process (or the only one): the devices lost and the tests not run
    for want of them, from the reports of every worker."""

    def __init__(self, config):
        self.config = config

    def pytest_runtest_logreport(self, report):
        farm = self.config.stash.get(FARM, None)
        if not isinstance(farm, Farm):
            return
        lost = getattr(report, "hdc_lost", None)
        if lost and lost[0] not in farm.lost:
            farm.lose(*lost)
            sched = getattr(self.config.pluginmanager.getplugin("dsession"), "sched", None)
            if hasattr(sched, "lose"):
                sched.lose(*lost)
        label = getattr(report, "hdc_not_run", None)
        if label and report.skipped:
            farm.not_run[label] += 1


def pytest_report_header(config):
    farm = config.stash.get(FARM, None)
    if farm is None and SIMS in config.stash:
        pool = pool_of(config)
        return ["hdc farm: %d simulated devices%s" % (config.getoption("hdc_sim"),
                                                       "; pool: " + describe(pool) if pool else "")]
    if isinstance(farm, Farm) and not hasattr(config, "workerinput"):
        return ["hdc farm: " + farm.describe()] + [
            "ERROR: %s; the run goes on with the other servers" % problem for problem in farm.problems]
    return None


def pytest_terminal_summary(terminalreporter, config):
    farm = config.stash.get(FARM, None)
    if isinstance(farm, Farm) and not hasattr(config, "workerinput"):
        runbook = config.pluginmanager.getplugin(RUNBOOK)
        lines = farm.summary() + (runbook.summary() if runbook is not None else [])
        if lines:
            terminalreporter.write_sep("=", "hdc farm")
            for line in lines:
                terminalreporter.write_line(line)
