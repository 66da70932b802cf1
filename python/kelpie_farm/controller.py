"""The controlling process under xdist: a device for each worker as xdist starts it, the
farm's channel to it, the deadlines, the scheduler with the farm's rules, the workers
started for retries, crashed workers' tests named with their device, the tests never run,
and SIGTERM ending the run as Ctrl-C does."""

import signal

import pytest

from . import internals
from .discovery import SIMS, controller_farm, found_farm
from .options import longest_first, patterns

CONTROLLER = pytest.StashKey()  # the controlling process's Controller
ATTEMPTS_PLUGIN = "kelpie-farm-attempts"    # the name the AttemptRecorder is registered under


class Controller:
    """The controlling process's part under xdist: the deadlines, the links to the workers,
    what each collected test needs, and which device each worker held when it went down."""

    def __init__(self, config, farm):
        from .watchdog import Watchdog

        self.config = config
        self.farm = farm
        self.watchdog = Watchdog(farm.timeout)
        self.processes = {}     # worker id -> its local process
        self.needs = None       # per collected test: None, "" (any device) or the label it is pinned to
        self.held = {}          # worker id -> the Target it held when it went down
        self.links = []
        self.template = None    # a worker's node, for starting another like it

    def set_needs(self, needs):
        if self.needs is None:
            self.needs = needs

    # A loss comes through a link, in execnet's thread; the scheduler is xdist's main loop's
    # alone, so it hears of it through that loop's queue, in order with the worker's events.
    def post_lost(self, node, label, spare, during):
        internals.post_event(node.config, "hdc_lost", node=node, label=label, spare=spare, during=during)

    def lost_in_main(self, node, label, spare, during):
        sched = internals.scheduler(node.config)
        if hasattr(sched, "lose"):
            sched.lose(node, label, spare, during)


def controller_of(config):
    controller = config.stash.get(CONTROLLER, None)
    if controller is None:
        farm = controller_farm(config)
        if farm is None:
            return None
        controller = config.stash[CONTROLLER] = Controller(config, farm)
        internals.handle_event(config, "hdc_lost", controller.lost_in_main)
    return controller


@pytest.hookimpl(tryfirst=True, optionalhook=True)
def pytest_xdist_auto_num_workers(config):
    if SIMS in config.stash and not patterns(config):
        return config.getoption("hdc_sim")      # known without waiting for the simulators
    farm = controller_farm(config)
    return len(farm.targets) if farm is not None else None


@pytest.hookimpl(optionalhook=True)
def pytest_configure_node(node):
    controller = controller_of(node.config)
    if controller is None:
        return
    from .link import ControllerLink

    farm = controller.farm
    worker = node.gateway.id
    own = farm.lease(worker)
    controller.template = node
    process = controller.processes[worker] = internals.worker_process(node)
    link = ControllerLink(node, farm, controller.watchdog, process, controller.set_needs, controller.post_lost)
    controller.links.append(link)
    node.workerinput["hdc_farm"] = [list(t) for t in farm.targets]
    node.workerinput["hdc_target"] = list(own) if own else None
    node.workerinput["hdc_timeout"] = farm.timeout
    node.workerinput["hdc_link"] = link.channel
    node.workerinput["hdc_params"] = farm.params


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error):
    controller = node.config.stash.get(CONTROLLER, None)
    if controller is None:
        return
    worker = node.gateway.id
    controller.watchdog.finished(worker)
    held = controller.farm.release(worker)
    if held is not None:
        controller.held[worker] = held
    sched = internals.scheduler(node.config)
    if error and hasattr(sched, "restarting") and internals.worker_replaced(node.config):
        sched.restarting += 1       # xdist starts a worker in its place


@pytest.hookimpl(optionalhook=True)
def pytest_handlecrashitem(crashitem, report, sched):
    """A crashed or ended worker's test: its error names the device, and the deadline when
    the watchdog ended it."""
    controller = report.node.config.stash.get(CONTROLLER, None) if hasattr(report, "node") else None
    if controller is None:
        return
    worker = report.node.gateway.id
    target = controller.held.get(worker)
    where = " on %s" % target.describe() if target else ""
    if controller.watchdog.expired.pop(worker, None) == crashitem:
        seconds, source = controller.watchdog.deadline_of(crashitem)
        report.longrepr = "%s ran past its deadline of %g s (%s)%s; worker %s was ended and replaced" % (
            crashitem, seconds, source, where, worker)
    else:
        report.longrepr = "worker %s crashed while running %s%s" % (worker, crashitem, where)
    if target is not None:
        report.user_properties = list(report.user_properties) + [("hdc_serial", target.serial),
                                                                  ("hdc_server", target.server)]
        report.hdc_label = target.label


@pytest.hookimpl(optionalhook=True)
def pytest_xdist_make_scheduler(config, log):
    controller = controller_of(config)
    if controller is None or config.getvalue("dist") != "load":
        return None
    from .scheduling import DeviceScheduling

    order = None
    durations = config.pluginmanager.getplugin(ATTEMPTS_PLUGIN).durations
    if longest_first(config) and durations.kept:
        order = durations.longest_first
    return DeviceScheduling(config, log, controller.farm, lambda: controller.needs,
                            lambda nodeid, label, why: report_not_run(config, nodeid, label, why),
                            order=order, start_worker=lambda label: start_worker(config, controller, label))


def start_worker(config, controller, label):
    """A new worker for the device `label`, started as xdist starts one in place of a crashed
    worker; False when this xdist cannot."""
    if controller.template is None:
        return False
    controller.farm.wanted = label
    if not internals.clone_worker(config, controller.template):
        controller.farm.wanted = None
        return False
    return True


@pytest.hookimpl(hookwrapper=True)
def pytest_runtestloop(session):
    """xdist gives up when every worker is gone with tests left ("Unexpectedly no active
    workers available"): those tests are reported as not run at the end instead."""
    outcome = yield
    if CONTROLLER in session.config.stash:
        try:
            outcome.get_result()
        except RuntimeError as e:
            if "no active workers" not in str(e):
                raise
            outcome.force_result(True)


def report_not_run(config, nodeid, label, why):
    """Reports a test that will not run, as skipped, saying why."""
    path, _, name = nodeid.partition("::")
    report = pytest.TestReport(nodeid, (path, None, name), {}, "skipped", (path, None, "Skipped: not run: " + why),
                               "setup", hdc_not_run=label)
    config.hook.pytest_runtest_logreport(report=report)


def finish(config, reported, interrupted):
    """At the end of the session: after Ctrl-C every worker left is ended; otherwise the tests
    xdist never got to (every worker gone, or too many crashed) are reported as not run.
    The number of those."""
    controller = config.stash.get(CONTROLLER, None)
    if controller is None:
        return 0
    not_run = 0
    if interrupted:
        end_workers(controller)
    else:
        sched = internals.scheduler(config)
        for nodeid in getattr(sched, "collection", None) or ():
            if nodeid not in reported:
                report_not_run(config, nodeid, None, "the run ended before a worker took it")
                not_run += 1
    controller.watchdog.stop()
    return not_run


def end_workers(controller, grace=1.0):
    """After Ctrl-C or SIGTERM: a worker still in a call to a hung server would keep xdist
    waiting and outlive the run; every worker left is ended."""
    import time

    from .watchdog import kill

    until = time.monotonic() + grace
    for process in controller.processes.values():
        if process is None:
            continue
        try:
            process.wait(max(0.0, until - time.monotonic()))
        except Exception:
            kill(process)


def pytest_sessionstart(session):
    """Under xdist, the controlling process makes no kelpie call, so a signal's Python handler
    always runs at once there: SIGTERM ends the run as Ctrl-C does, workers and simulators
    included. A process that runs tests itself keeps SIGTERM's default (a handler would wait
    for a kelpie call to return, perhaps for ever)."""
    config = session.config
    if CONTROLLER not in config.stash and internals.dsession(config) is None:
        return
    if hasattr(config, "workerinput") or found_farm(config) is None:
        return
    try:
        previous = signal.signal(signal.SIGTERM, _terminated)
    except ValueError:      # not the main thread: leave signals alone
        return
    config.add_cleanup(lambda: signal.signal(signal.SIGTERM, previous))


def _terminated(signum, frame):
    raise KeyboardInterrupt("SIGTERM")
