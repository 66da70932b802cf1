"""The controlling process under xdist: a device for each worker as xdist starts it, the
farm's channel to it, the deadlines, the scheduler with the farm's rules, the workers
started for retries, crashed workers' tests named with their device, the tests never run,
and SIGTERM ending the run as Ctrl-C does."""

import signal
import time

import pytest

from . import internals
from .discovery import SIMS, controller_farm, found_farm
from .options import longest_first, patterns
from .probe import ProbeError, seconds
from .remote import WorkerHosts, worker_args

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
        self.hosts = WorkerHosts(farm)  # the workers' hosts: which to start another like, which were left behind
        self.sched = None       # the DeviceScheduling, once xdist has asked for a scheduler
        self.crashes = 0        # workers that went down with an error
        self.give_back = True   # whether workers give back the tests they cannot run
        self.last_report = {}   # worker id -> (nodeid, phase, outcome, stop) of its last report

    def link_of(self, worker):
        return next((link for link in self.links if link.worker == worker), None)

    def set_needs(self, needs, give_back=True):
        """What each collected test needs, as the first worker to collect says; and whether
        that worker can give back tests it cannot run (worker.py)."""
        if self.needs is None:
            self.needs = needs
            self.give_back = give_back
            if self.sched is not None:
                self.sched.give_back = give_back

    # A loss comes through a link, from another thread than xdist's main loop, whose alone
    # the scheduler is: the scheduler takes it at its next call there (scheduling.py).
    def post_lost(self, node, label, spare, during):
        if self.sched is not None:
            self.sched.post_loss(node, label, spare, during)

    def replaces_crashed_worker(self):
        """Whether xdist starts a worker in place of the one that just went down with an error:
        its --max-worker-restart, by default four times the number of workers (-n)."""
        limit = self.config.getoption("maxworkerrestart", None)
        if limit is not None:
            limit = int(limit)
        elif self.config.getoption("numprocesses", None):
            limit = self.config.getoption("numprocesses") * 4
        return limit is None or self.crashes <= limit


def controller_of(config):
    controller = config.stash.get(CONTROLLER, None)
    if controller is None:
        farm = controller_farm(config)
        if farm is None:
            return None
        controller = config.stash[CONTROLLER] = Controller(config, farm)
        config.pluginmanager.register(controller.hosts, "kelpie-farm-worker-hosts")
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
    controller.hosts.configured(node)
    process = controller.processes[worker] = internals.worker_process(node.config, node)
    link = ControllerLink(node, farm, controller.watchdog, process, controller.set_needs, controller.post_lost)
    controller.links.append(link)
    node.workerinput["hdc_farm"] = [list(t) for t in farm.targets]
    node.workerinput["hdc_target"] = list(own) if own else None
    node.workerinput["hdc_timeout"] = farm.timeout
    node.workerinput["hdc_link"] = link.channel
    node.workerinput["hdc_params"] = farm.params


@pytest.hookimpl(optionalhook=True)
def pytest_xdist_setupnodes(config, specs):
    """Workers on other hosts are given the run's paths as they can use them (remote.py)."""
    if controller_of(config) is not None:
        remote = any(not getattr(spec, "popen", False) or getattr(spec, "chdir", None) for spec in specs)
        internals.rewrite_worker_args(config, worker_args(config), remote)


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
        if error:
            # The worker xdist starts in its place takes this device if it still answers:
            # the tests pinned to it are waiting for it.
            controller.farm.wanted = held.label
    if error:
        controller.crashes += 1
        if controller.sched is not None and controller.replaces_crashed_worker():
            controller.sched.restarting += 1       # xdist starts a worker in its place


@pytest.hookimpl(optionalhook=True)
def pytest_handlecrashitem(crashitem, report, sched):
    """A crashed or ended worker's test: its error names the device, and the deadline when
    the watchdog ended it. It is reported in the phase it was in (its call, mostly, not
    xdist's "???"), with the time it really took and its device's log; a tear-down report
    follows it (crashed_test_teardown) so that JUnit and the timeline close it as any test."""
    controller = report.node.config.stash.get(CONTROLLER, None) if hasattr(report, "node") else None
    if controller is None:
        return
    worker = report.node.gateway.id
    target = controller.held.get(worker)
    where = " on %s" % target.describe() if target else ""
    if controller.watchdog.expired.pop(worker, None) == crashitem:
        controller.hosts.cut_off(report.node, "ran past its deadline in %s" % crashitem)
        limit, source = controller.watchdog.deadline_of(crashitem)
        report.longrepr = "%s ran past its deadline of %s s (%s)%s; worker %s was ended and replaced" % (
            crashitem, seconds(limit), source, where, worker)
    else:
        report.longrepr = "worker %s crashed while running %s%s" % (worker, crashitem, where)
    report.hdc_crashed = True
    link = controller.link_of(worker)
    began = link.began if link is not None and link.began and link.began[0] == crashitem else None
    now = time.time()
    report.when, start = crashed_phase(controller.last_report.get(worker), crashitem, began)
    if start is not None:
        report.hdc_start, report.hdc_stop = start, now
        report.duration = max(0.0, now - start)
    if target is not None:
        report.user_properties = list(report.user_properties) + [("hdc_serial", target.serial),
                                                                  ("hdc_server", target.server)]
        report.hdc_label = target.label
        mark = link.mark if link is not None and link.mark and link.mark[:2] == (crashitem, target.label) else None
        if mark is not None:
            report.sections.append(device_log_section(controller.farm, target, mark[2]))


def crashed_phase(last, nodeid, began):
    """(phase, start): the phase a test was in when its worker went, from the last report
    the worker sent, and when that phase began (None when unknown)."""
    if last is not None and last[0] == nodeid:
        _, phase, outcome, stop = last
        if phase == "setup" and outcome == "passed":
            return "call", stop
        return "teardown", stop
    return "setup", began[1] if began else None


def device_log_section(farm, target, last):
    """The crashed test's own lines of its device's log, read by the controlling process
    over a plain socket within a look's deadline (a kelpie call could hang it)."""
    from .devicelog import LogMark, read_dump
    from .reporting import log_title
    from .targets import look_deadline

    try:
        lines = LogMark.of_line(last).since(read_dump(target, time.monotonic() + look_deadline(farm.timeout)))
        text = "".join(line + "\n" for line in lines) or "(the device logged nothing while the test ran)\n"
    except ProbeError as e:
        text = "(the device log could not be read: %s)\n" % e
    return log_title(target), text


def pytest_runtest_logreport(report):
    """Notes each worker's last report, for the phase a crash came in."""
    node = getattr(report, "node", None)
    controller = node.config.stash.get(CONTROLLER, None) if node is not None else None
    if controller is not None and not getattr(report, "hdc_crashed", False):
        stop = getattr(report, "hdc_stop", None) or getattr(report, "stop", None) or time.time()
        controller.last_report[node.gateway.id] = (report.nodeid, report.when, report.outcome, stop)


def crashed_test_teardown(report):
    """The tear-down report that closes a crashed test reported in its set-up or call."""
    stop = getattr(report, "hdc_stop", None) or time.time()
    closing = pytest.TestReport(report.nodeid, report.location, report.keywords, "passed", None, "teardown",
                                user_properties=list(report.user_properties), duration=0.0,
                                hdc_start=stop, hdc_stop=stop, hdc_crashed=True)
    closing.node = report.node
    if hasattr(report, "hdc_label"):
        closing.hdc_label = report.hdc_label
    return closing


@pytest.hookimpl(optionalhook=True)
def pytest_xdist_make_scheduler(config, log):
    controller = controller_of(config)
    if controller is None or config.getvalue("dist") != "load" or not internals.can_place_tests(config):
        return None
    from .scheduling import DeviceScheduling

    order = None
    durations = config.pluginmanager.getplugin(ATTEMPTS_PLUGIN).durations
    if longest_first(config) and durations.kept:
        order = durations.longest_first
    starts = internals.can_start_workers(config)
    sched = DeviceScheduling(config, log, controller.farm, lambda: controller.needs,
                             lambda nodeid, label, why: report_not_run(config, nodeid, label, why), order=order,
                             start_worker=(lambda label: start_worker(config, controller, label)) if starts else None)
    if not internals.scheduler_state_ok(config, sched):
        return None
    sched.give_back = controller.give_back
    controller.sched = sched
    return sched


def start_worker(config, controller, label):
    """A new worker for the device `label`, started as xdist starts one in place of a crashed
    worker, on a host that reaches the device's server; False when this xdist cannot."""
    server = next((t.server for t in controller.farm.targets if t.label == label), None)
    template = controller.hosts.template_for(server)
    if template is None:
        return False
    controller.farm.wanted = label
    if not internals.clone_worker(config, template):
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
    xdist never got to (every worker gone, or too many crashed) are reported as not run."""
    controller = config.stash.get(CONTROLLER, None)
    if controller is None:
        return
    if interrupted:
        end_workers(controller)
    else:
        for nodeid in getattr(controller.sched, "collection", None) or ():
            if nodeid not in reported:
                report_not_run(config, nodeid, None, "the run ended before a worker took it")
    controller.watchdog.stop()


def end_workers(controller, grace=1.0):
    """After Ctrl-C or SIGTERM: a worker still in a call to a hung server would keep xdist
    waiting and outlive the run; every worker left is ended."""
    import time

    from .watchdog import kill

    controller.hosts.interrupted()
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
    if hasattr(config, "workerinput") or found_farm(config) is None:
        return
    if CONTROLLER not in config.stash and not xdist_controller(session):
        return
    try:
        previous = signal.signal(signal.SIGTERM, _terminated)
    except ValueError:      # not the main thread: leave signals alone
        return
    config.add_cleanup(lambda: signal.signal(signal.SIGTERM, previous))


def xdist_controller(session):
    try:
        from xdist import is_xdist_controller
    except ImportError:
        return False
    return is_xdist_controller(session)


def _terminated(signum, frame):
    raise KeyboardInterrupt("SIGTERM")
