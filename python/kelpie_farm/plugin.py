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

Nothing here waits on a device or server without a deadline: the plugin looks at servers
with a probe that has one (probe.py) before its kelpie calls, and the controlling process,
which makes no kelpie call, ends a worker whose test is past --hdc-timeout (watchdog.py).
"""

import os
import signal

import pytest

from . import hooks
from .device import HdcDevice
from .farm import Farm
from .pools import ask_params, describe, matches, requirements
from .simfarm import SimFarm
from .station import Station
from .targets import DEFAULT_SERVER, DEFAULT_TIMEOUT, Target, discover, look_deadline

ENV_SERVER = "KELPIE_HDC_SERVER"
MARKER = "hdc_every_device"
REQUIRE = "hdc_require"         # the marker: only on devices with these properties
RUNBOOK = "kelpie-farm-runbook"
PARAM = "_hdc_every_device"     # the parameter an every-device test is spread over
DEVICE_FIXTURES = ("hdc_device", "hdc_client")
FARM = pytest.StashKey()        # the controlling process's Farm (or the FarmError it met)
SIMS = pytest.StashKey()        # the simulated farm, starting from the beginning of the run
STATION = pytest.StashKey()     # the test-running process's Station
CONTROL = pytest.StashKey()     # the controlling process's Control
USE = pytest.StashKey()         # an item's (Target, LogMark) while it holds its device
LOST = pytest.StashKey()        # an item's (label, message, spare) when it found its device gone
NOT_RUN = pytest.StashKey()     # an item's label when it did not run for want of its device


class FarmError(Exception):
    pass


def pytest_addhooks(pluginmanager):
    pluginmanager.add_hookspecs(hooks)


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
    group.addoption("--hdc-timeout", type=float, dest="hdc_timeout", metavar="SECONDS",
                    help="a test's deadline: past it, the test fails naming its device and its worker is "
                         "ended and replaced; also the longest a server may take to answer a look "
                         "(at most 10 s). Ini option hdc_timeout; default %g" % DEFAULT_TIMEOUT)
    group.addoption("--hdc-strict", action="store_true", default=None, dest="hdc_strict",
                    help="stop before the first test when a named server does not answer (ini hdc_strict)")
    group.addoption("--hdc-min-devices", type=int, dest="hdc_min_devices", metavar="N",
                    help="stop before the first test when fewer than N devices are found")
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
    parser.addini("hdc_timeout", help="a test's deadline in seconds (--hdc-timeout)")
    parser.addini("hdc_strict", type="bool", default=False,
                  help="stop before the first test when a named server does not answer (--hdc-strict)")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "%s: run the test once on every device of the farm, the device's serial in its id" % MARKER)
    config.addinivalue_line(
        "markers", "%s(\"NAME=VALUE\", ...): run the test only on devices whose property NAME is VALUE" % REQUIRE)
    if hasattr(config, "workerinput"):
        data = config.workerinput.get("hdc_farm")
        if data is not None:
            from .link import WorkerLink

            own = config.workerinput.get("hdc_target")
            link = WorkerLink(config.workerinput["hdc_link"])
            config.stash[STATION] = Station(Target(*own) if own else None, [Target(*t) for t in data],
                                            config.workerinput["workerid"], config.workerinput["hdc_timeout"],
                                            link.spare_for)
            config.stash[STATION].link = link
            config.stash[STATION].params = config.workerinput.get("hdc_params", {})
            config.pluginmanager.register(Timekeeper(link), "kelpie-farm-timekeeper")
    else:
        check_options(config)
        config.pluginmanager.register(Bookkeeper(config), "kelpie-farm-bookkeeper")
        if farm_named(config) and SIMS not in config.stash:
            controller_farm(config)     # errors before the first test; a simulated farm is still starting
        if farm_named(config):
            from .runbook import RunBook

            config.pluginmanager.register(RunBook(config, retries_of(config), config.getoption("hdc_report"),
                                                  lambda: config.stash.get(FARM, None)), RUNBOOK)


def pytest_unconfigure(config):
    from .targets import close_probers

    close_probers()


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


def deadline(config):
    value = config.getoption("hdc_timeout")
    if value is None:
        text = config.getini("hdc_timeout")
        try:
            value = float(text) if text else DEFAULT_TIMEOUT
        except ValueError:
            raise pytest.UsageError("hdc_timeout is a number of seconds, not %r" % text)
    if not value > 0:
        raise pytest.UsageError("--hdc-timeout must be more than 0 seconds, not %g" % value)
    return value


def strict(config):
    return config.getoption("hdc_strict") or config.getini("hdc_strict")


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
    timeout = deadline(config)
    sims = config.stash.get(SIMS, None)
    if sims is not None:
        try:
            servers = sims.wait()
        except Exception as e:
            raise FarmError("the simulated farm did not start: %s" % e)
    else:
        servers = servers_named(config) or [DEFAULT_SERVER]
    targets, problems = discover(servers, patterns(config), look_deadline(timeout))
    why = verdict(config, servers, targets, problems)
    pool = pool_of(config)
    params = {}
    if why is None:
        # Each device's properties, for the pool and the hdc_require marker: asked once the
        # lab has passed the checks above, so that a run stopped by them only looked.
        params, unasked = ask_params(targets, look_deadline(timeout))
        if pool:
            problems += unasked
            targets = [t for t in targets if matches(params.get(t.label), pool)]
            why = verdict(config, servers, targets, problems + ([] if targets else ["no device has %s" % describe(pool)]))
    if why is not None:
        if sims is not None:
            sims.stop()
        raise FarmError(why)
    farm = Farm(targets, problems, sims, timeout)
    farm.params = {t.label: params.get(t.label, {}) for t in targets}
    farm.pool = pool
    return farm


def verdict(config, servers, targets, problems):
    """Why the run cannot start with these devices, or None."""
    minimum = config.getoption("hdc_min_devices")
    if not targets:
        why = problems + ["no device matches %s" % ", ".join(patterns(config))] if patterns(config) else problems
        return "no HDC device to run on (servers: %s)%s" % (", ".join(servers), "".join("; " + w for w in why))
    if problems and strict(config):
        return "--hdc-strict: %s" % "; ".join(problems)
    if minimum is not None and len(targets) < minimum:
        return "--hdc-min-devices %d: %d found (%s)%s" % (minimum, len(targets), ", ".join(t.label for t in targets),
                                                          "".join("; " + p for p in problems))
    return None


def station_of(config):
    """This process's Station; outside xdist, the first device of the farm is its own."""
    station = config.stash.get(STATION, None)
    if station is None:
        if hasattr(config, "workerinput"):
            raise FarmError("this xdist worker was given no device: name the farm (--hdc-server, "
                            "$%s, the ini option hdc_server, or --hdc-sim)" % ENV_SERVER)
        farm = controller_farm(config, default=True)
        own = farm.lease("main")
        station = config.stash[STATION] = Station(own, farm.targets, None, farm.timeout,
                                                  lambda label, message, during: farm.fail_over("main", label,
                                                                                                  message))
        if own is None:
            station.bereft = True
        station.params = farm.params
    return station


# --- xdist: one worker a device, deadlines, spares ----------------------------------------------

class Control:
    """The controlling process's part under xdist: the deadlines, the links to the workers,
    what each collected test needs, and which device each worker held when it went down."""

    def __init__(self, farm):
        from .watchdog import Watchdog

        self.farm = farm
        self.watchdog = Watchdog(farm.timeout)
        self.processes = {}     # worker id -> its local process
        self.needs = None       # per collected test: None, "" (any device) or the label it is pinned to
        self.held = {}          # worker id -> the Target it held when it went down
        self.links = []

    def set_needs(self, needs):
        if self.needs is None:
            self.needs = needs

    # A loss comes through a link, in execnet's thread; the scheduler is xdist's main loop's
    # alone, so it hears of it through that loop's queue, in order with the worker's events.
    def post_lost(self, node, label, spare, during):
        session = dsession(node.config)
        if session is not None:
            session.queue.put(("hdc_lost", dict(node=node, label=label, spare=spare, during=during)))

    def lost_in_main(self, node, label, spare, during):
        sched = getattr(dsession(node.config), "sched", None)
        if hasattr(sched, "lose"):
            sched.lose(node, label, spare, during)


def control_of(config):
    control = config.stash.get(CONTROL, None)
    if control is None:
        farm = controller_farm(config)
        if farm is None:
            return None
        control = config.stash[CONTROL] = Control(farm)
        session = dsession(config)
        if session is not None:
            session.worker_hdc_lost = control.lost_in_main     # xdist's loop calls worker_<event>
    return control


def dsession(config):
    return config.pluginmanager.getplugin("dsession")


@pytest.hookimpl(tryfirst=True, optionalhook=True)
def pytest_xdist_auto_num_workers(config):
    if SIMS in config.stash and not patterns(config):
        return config.getoption("hdc_sim")      # known without waiting for the simulators
    farm = controller_farm(config)
    return len(farm.targets) if farm is not None else None


@pytest.hookimpl(optionalhook=True)
def pytest_configure_node(node):
    control = control_of(node.config)
    if control is None:
        return
    from .link import ControllerLink
    from .watchdog import worker_process

    farm = control.farm
    worker = node.gateway.id
    own = farm.lease(worker)
    control.template = node
    process = control.processes[worker] = worker_process(node)
    link = ControllerLink(node, farm, control.watchdog, process, control.set_needs, control.post_lost)
    control.links.append(link)
    node.workerinput["hdc_farm"] = [list(t) for t in farm.targets]
    node.workerinput["hdc_target"] = list(own) if own else None
    node.workerinput["hdc_timeout"] = farm.timeout
    node.workerinput["hdc_link"] = link.channel
    node.workerinput["hdc_params"] = farm.params


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error):
    control = node.config.stash.get(CONTROL, None)
    if control is None:
        return
    worker = node.gateway.id
    control.watchdog.finished(worker)
    held = control.farm.release(worker)
    if held is not None:
        control.held[worker] = held
    session = dsession(node.config)
    sched = getattr(session, "sched", None)
    if error and hasattr(sched, "restarting"):
        limit = getattr(session, "_max_worker_restart", None)
        if limit is None or getattr(session, "_failed_nodes_count", 0) + 1 <= limit:
            sched.restarting += 1       # xdist starts a worker in its place


@pytest.hookimpl(optionalhook=True)
def pytest_handlecrashitem(crashitem, report, sched):
    """A crashed or ended worker's test: its error names the device, and the deadline when
    the watchdog ended it."""
    control = report.node.config.stash.get(CONTROL, None) if hasattr(report, "node") else None
    if control is None:
        return
    worker = report.node.gateway.id
    target = control.held.get(worker)
    where = " on %s" % target.describe() if target else ""
    if control.watchdog.expired.pop(worker, None) == crashitem:
        report.longrepr = "%s ran past its deadline of %g s (--hdc-timeout)%s; worker %s was ended and replaced" % (
            crashitem, control.farm.timeout, where, worker)
    else:
        report.longrepr = "worker %s crashed while running %s%s" % (worker, crashitem, where)
    if target is not None:
        report.user_properties = list(report.user_properties) + [("hdc_serial", target.serial),
                                                                  ("hdc_server", target.server)]
        report.hdc_label = target.label


@pytest.hookimpl(optionalhook=True)
def pytest_xdist_make_scheduler(config, log):
    control = control_of(config)
    if control is None or config.getvalue("dist") != "load":
        return None
    from .scheduling import DeviceScheduling

    order = None
    if (config.getoption("hdc_order") or "longest") == "longest" and getattr(config, "cache", None) is not None:
        order = config.pluginmanager.getplugin(RUNBOOK).durations.longest_first
    return DeviceScheduling(config, log, control.farm, lambda: control.needs,
                            lambda nodeid, label, why: report_not_run(config, nodeid, label, why),
                            order=order, start_worker=lambda label: start_worker(config, control, label))


def start_worker(config, control, label):
    """A new worker for the device `label`, started as xdist starts one in place of a crashed
    worker; False when this xdist cannot."""
    session = dsession(config)
    clone = getattr(session, "_clone_node", None)
    template = getattr(control, "template", None)
    if clone is None or template is None or getattr(session, "shuttingdown", False):
        return False
    control.farm.wanted = label
    clone(template)
    return True


@pytest.hookimpl(hookwrapper=True)
def pytest_runtestloop(session):
    """xdist gives up when every worker is gone with tests left ("Unexpectedly no active
    workers available"): those tests are reported as not run at the end instead."""
    outcome = yield
    if CONTROL in session.config.stash:
        try:
            outcome.get_result()
        except RuntimeError as e:
            if "no active workers" not in str(e):
                raise
            outcome.force_result(True)


def report_not_run(config, nodeid, label, why):
    """Reports a test that will not run, as skipped, saying why."""
    from _pytest.reports import TestReport

    path, _, name = nodeid.partition("::")
    report = TestReport(nodeid, (path, None, name), {}, "skipped", (path, None, "Skipped: not run: " + why),
                        "setup", hdc_not_run=label)
    config.hook.pytest_runtest_logreport(report=report)


# --- the worker's side ----------------------------------------------------------------------

def placement_of(item, station):
    """What the scheduler needs to know of a test: what need_of says, or for a test that asks
    for devices of certain properties, the list of those devices."""
    need = need_of(item)
    pool = required(item)
    if need == "" and pool:
        fit = [t.label for t in station.targets if matches(station.params.get(t.label), pool)]
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


@pytest.hookimpl(tryfirst=True)
def pytest_collection_finish(session):
    station = session.config.stash.get(STATION, None)
    if station is not None and getattr(station, "link", None) is not None:
        # Before xdist's own report of the collection, which the scheduler waits for.
        station.link.send("needs", [placement_of(item, station) for item in session.items])


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    """The device is looked at before the test starts, so that a device found gone costs
    no test: a spare takes its place, or, with none left, the test is given back for another
    worker to run (it has no report here)."""
    station = item.config.stash.get(STATION, None)
    if station is not None:
        for key in (USE, LOST, NOT_RUN):    # a test run again here (a retry) starts afresh
            if key in item.stash:
                del item.stash[key]
        item.user_properties[:] = [p for p in item.user_properties if p[0] not in ("hdc_serial", "hdc_server")]
    need = need_of(item) if station is not None else None
    if need is None:
        return None
    target = station.own if need == "" else station.target(need)
    if target is not None and target.label not in station.lost:
        why = station.look(target)
        if why is not None:
            station.lose(target, why, during=False)
    if need == "" and station.bereft and station.link is not None:
        # The fixtures the earlier test kept for this one go now, as its tear-down would have
        # done them, or the next test's set-up would find them in its way.
        item.session._setupstate.teardown_exact(nextitem)
        return True
    return None


class Timekeeper:
    """In a worker: tells the controller when each test starts and ends, for its deadline."""

    def __init__(self, link):
        self.link = link

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_protocol(self, item, nextitem):
        self.link.send("start", item.nodeid)
        yield
        self.link.send("end")


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
    item.user_properties.extend([("hdc_serial", target.serial), ("hdc_server", target.server)])
    # The look before the test (pytest_runtest_protocol) vouches for the device; if it went
    # since, the first kelpie call fails here and another look says why.
    try:
        if target.label not in station.ready:
            ready(item.config, target)
            station.ready.add(target.label)
        client = kelpie.HdcClient(target.server)
        client.connect_device(target.serial)
        mark = station.reader(target).mark()
    except RuntimeError:
        why = station.look(target)
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


def ready(config, target):
    """The suite's once-per-device set-up, with a client of its own."""
    import kelpie

    client = kelpie.HdcClient(target.server)
    client.connect_device(target.serial)
    config.hook.pytest_hdc_device_ready(device=HdcDevice(client, target.serial, target.server))


def device_for(item, station):
    callspec = getattr(item, "callspec", None)
    target = callspec.params.get(PARAM) if callspec is not None else None
    pool = required(item)
    if target is None and pool:
        return device_in_pool(station, pool)
    if target is None:
        if station.own is None:
            if station.bereft:
                item.stash[NOT_RUN] = None
                pytest.skip("not run: no device was left to run it on")
            pytest.fail("worker %s has no device of its own: the farm has %d devices and more workers were "
                        "started than it had devices for" % (station.worker, len(station.targets)),
                        pytrace=False)
        return station.own
    if station.worker is not None and target != station.own and target.label not in station.lost:
        # Only xdist's load scheduling (-n, --dist load) keeps these tests with their device's worker.
        pytest.fail("the test for %s came to worker %s, which holds %s: run every-device tests with "
                    "--dist load" % (target.label, station.worker, station.own.label if station.own else "none"),
                    pytrace=False)
    return target


def device_in_pool(station, pool):
    """The device for a test that asks for certain properties: this process's own, which the
    scheduler chose for having them; without xdist, the first such device."""
    fit = [t for t in station.targets if matches(station.params.get(t.label), pool) and t.label not in station.lost]
    if not fit:
        pytest.skip(no_device(pool))
    if station.worker is None:
        return fit[0]
    if station.own not in fit:
        pytest.fail("the test for a device with %s came to worker %s, which holds %s: run it with --dist load" % (
            describe(pool), station.worker, station.own.label if station.own else "none"), pytrace=False)
    return station.own


def lose(item, station, target, why):
    """A test found its device gone: it fails saying so (reported with hdc_lost)."""
    item.stash[LOST] = (target.label, station.lose(target, why, during=True))


# --- reports ------------------------------------------------------------------------------

@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if STATION in item.config.stash or USE in item.stash:
        report.hdc_start, report.hdc_stop = call.start, call.stop     # for the timeline
    if NOT_RUN in item.stash and report.skipped:
        report.hdc_not_run = item.stash[NOT_RUN]
    use = item.stash.get(USE, None)
    if use is None:
        if LOST in item.stash and report.failed:
            report.hdc_lost = list(item.stash[LOST])
        return
    target, mark = use
    report.hdc_label = target.label
    station = item.config.stash[STATION]
    if call.when == "call" and target.label not in station.lost:
        why = station.look(target)
        if why is not None:    # the test ran while its device went away: it fails, saying so
            lose(item, station, target, why)
            earlier = "\n\n" + str(report.longrepr) if report.failed else ""
            report.outcome = "failed"
            report.longrepr = item.stash[LOST][1] + earlier
    if LOST in item.stash:
        if report.failed:
            report.hdc_lost = list(item.stash[LOST])
        return
    if not report.failed:
        return
    why = station.look(target) if call.when != "call" else None
    if why is not None:
        text = "(the device log could not be read: %s)\n" % why
    else:
        try:
            lines = station.reader(target).since(mark)
            text = "".join(line + "\n" for line in lines) or "(the device logged nothing while the test ran)\n"
        except RuntimeError as e:
            text = "(the device log could not be read: %s)\n" % e
    report.sections.append((log_title(target), text))


def log_title(target):
    return "device log %s (%s)" % (target.serial, target.server)


class Bookkeeper:
    """In the controlling process (or the only one): the devices lost, the tests not run for
    want of them, what each device ran, and every test reported once."""

    def __init__(self, config):
        self.config = config
        self.reported = set()
        self.logs = {}      # nodeid -> (title, text) of a failing test's device log, for JUnit

    def farm(self):
        farm = self.config.stash.get(FARM, None)
        return farm if isinstance(farm, Farm) else None

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_logreport(self, report):
        farm = self.farm()
        if farm is None:
            return
        self.reported.add(report.nodeid)
        lost = getattr(report, "hdc_lost", None)
        if lost:
            farm.lose(*lost)
        label = getattr(report, "hdc_not_run", False)
        if label is not False and report.skipped:
            farm.not_run[label] += 1
        label = getattr(report, "hdc_label", None)
        if label is not None and (report.when == "call" or report.failed or report.when == "???"):
            farm.record(label, report.nodeid, report.outcome)
        self.junit_log(report)
        if report.when == "???" and report.user_properties:
            self.junit_properties(report)

    def junit_properties(self, report):
        """A crashed worker's test has no teardown report, from which JUnit takes a test's
        properties: they go to its test case directly."""
        try:
            from _pytest.junitxml import xml_key

            xml = self.config.stash.get(xml_key, None)
            if xml is not None:
                reporter = xml.node_reporter(report)
                for name, value in report.user_properties:
                    reporter.add_property(name, str(value))
        except (ImportError, AttributeError):     # another pytest: the message still names the device
            pass

    def junit_log(self, report):
        """A failing test's device log goes to JUnit's system-out when junit_logging asks for
        it, as its captured output does: pytest writes system-out from the teardown report,
        or from the failing one when junit_log_passing_tests is off."""
        if report.when == "call" and report.failed:
            for i, (title, text) in enumerate(report.sections):
                if title.startswith("device log "):
                    if self.config.getini("junit_logging") not in ("system-out", "out-err", "all"):
                        return
                    if not self.config.getini("junit_log_passing_tests"):
                        report.sections[i] = ("Captured stdout " + title, text)
                    else:
                        self.logs[report.nodeid] = ("Captured stdout " + title, text)
        elif report.when == "teardown" and report.nodeid in self.logs:
            report.sections.append(self.logs.pop(report.nodeid))

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session, exitstatus):
        farm = self.farm()
        if farm is None:
            return
        control = self.config.stash.get(CONTROL, None)
        if exitstatus == pytest.ExitCode.INTERRUPTED:
            end_workers(control)
        elif control is not None:
            # Tests xdist never got to (every worker gone, or too many crashed ones).
            sched = getattr(dsession(self.config), "sched", None)
            for nodeid in getattr(sched, "collection", None) or ():
                if nodeid not in self.reported:
                    report_not_run(self.config, nodeid, None, "the run ended before a worker took it")
                    farm.not_run[None] += 1
        if control is not None:
            control.watchdog.stop()
        if sum(farm.not_run.values()) and session.exitstatus == pytest.ExitCode.OK:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED
        if farm.sims is not None:
            farm.sims.stop_soon()       # every test has ended: the simulators stop while pytest reports


def end_workers(control, grace=1.0):
    """After Ctrl-C or SIGTERM: a worker still in a call to a hung server would keep xdist
    waiting and outlive the run; every worker left is ended."""
    if control is None:
        return
    import time

    from .watchdog import kill

    until = time.monotonic() + grace
    for process in control.processes.values():
        if process is None:
            continue
        try:
            process.wait(max(0.0, until - time.monotonic()))
        except Exception:
            kill(process)


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


# --- SIGTERM ends a run as Ctrl-C does ---------------------------------------------------------

def pytest_sessionstart(session):
    """Under xdist, the controlling process makes no kelpie call, so a signal's Python handler
    always runs at once there: SIGTERM ends the run as Ctrl-C does, workers and simulators
    included. A process that runs tests itself keeps SIGTERM's default (a handler would wait
    for a kelpie call to return, perhaps for ever)."""
    config = session.config
    if CONTROL not in config.stash and dsession(config) is None:
        return
    if hasattr(config, "workerinput") or not isinstance(config.stash.get(FARM, None), Farm):
        return
    try:
        previous = signal.signal(signal.SIGTERM, _terminated)
    except ValueError:      # not the main thread: leave signals alone
        return
    config.add_cleanup(lambda: signal.signal(signal.SIGTERM, previous))


def _terminated(signum, frame):
    raise KeyboardInterrupt("SIGTERM")
