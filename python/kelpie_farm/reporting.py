"""What the farm adds to pytest's reports. Where tests run: the device and its server on
every test's report, a failing test's own lines of its device's log, and a test that found
its device gone failing saying so. In the controlling process (or the only one): the
devices lost and the tests not run for want of them, the device log in JUnit, the run's
exit status, the header and the summary at the end."""

import pytest

from .controller import ATTEMPTS_PLUGIN, CONTROLLER, finish
from .discovery import FARM, SIMS, found_farm
from .options import pool_of
from .pools import describe
from .probe import seconds
from .worker import DEVICES, LOST, NOT_RUN, USE, lose


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if DEVICES in item.config.stash or USE in item.stash:
        report.hdc_start, report.hdc_stop = call.start, call.stop     # for the timeline
    if NOT_RUN in item.stash and report.skipped:
        report.hdc_not_run = item.stash[NOT_RUN]
    use = item.stash.get(USE, None)
    if use is None:
        if LOST in item.stash and report.failed:     # lost in its set-up: the lost device's test
            report.hdc_lost = list(item.stash[LOST])
            report.hdc_label = item.stash[LOST][0]
        return
    target, mark = use
    report.hdc_label = target.label
    devices = item.config.stash[DEVICES]
    if call.when == "call" and target.label not in devices.lost:
        why = devices.look(target)
        if why is not None:    # the test ran while its device went away: it fails, saying so
            lose(item, devices, target, why)
            earlier = "\n\n" + str(report.longrepr) if report.failed else ""
            report.outcome = "failed"
            report.longrepr = item.stash[LOST][1] + earlier
    if LOST in item.stash:
        if report.failed:
            report.hdc_lost = list(item.stash[LOST])
        return
    if not report.failed:
        return
    why = devices.look(target) if call.when != "call" else None
    if why is not None:
        text = "(the device log could not be read: %s)\n" % why
    else:
        try:
            lines = devices.reader(target).since(mark)
            text = "".join(line + "\n" for line in lines) or "(the device logged nothing while the test ran)\n"
        except RuntimeError as e:
            text = "(the device log could not be read: %s)\n" % e
    report.sections.append((log_title(target), text))


def log_title(target):
    return "device log %s (%s)" % (target.serial, target.server)


class FarmReporter:
    """In the controlling process (or the only one): the devices lost, the tests not run for
    want of them, and every test reported once."""

    def __init__(self, config):
        self.config = config
        self.reported = set()
        self.logs = {}      # nodeid -> (title, text) of a failing test's device log, for JUnit

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_logreport(self, report):
        farm = found_farm(self.config)
        if farm is None:
            return
        self.reported.add(report.nodeid)
        lost = getattr(report, "hdc_lost", None)
        if lost:
            farm.lose(*lost)
        label = getattr(report, "hdc_not_run", False)
        if label is not False and report.skipped:
            farm.not_run[label] += 1
        self.junit_log(report)

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
        farm = found_farm(self.config)
        if farm is None:
            return
        # The tests no worker took are reported here, and counted as their reports come.
        finish(self.config, self.reported, exitstatus == pytest.ExitCode.INTERRUPTED)
        if sum(farm.not_run.values()) and session.exitstatus == pytest.ExitCode.OK:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED
        if farm.sims is not None:
            farm.sims.stop_soon()       # every test has ended: the simulators stop while pytest reports


def pytest_report_header(config):
    farm = config.stash.get(FARM, None)
    if farm is None and SIMS in config.stash:
        pool = pool_of(config)
        return ["hdc farm: %d simulated devices%s" % (config.getoption("hdc_sim"),
                                                       "; pool: " + describe(pool) if pool else "")]
    farm = found_farm(config)
    if farm is not None and not hasattr(config, "workerinput"):
        lines = ["hdc farm: " + farm.describe()]
        if farm.taken:
            lines.append("hdc farm: left out, in use by another run: %s" % ", ".join(
                "%s (%s)" % (t.label, t.server) for t in farm.taken))
        if farm.waited:
            lines.append("hdc farm: waited %s s for a device another run held" % seconds(farm.waited))
        return lines + ["ERROR: %s; the run goes on with the other servers" % problem for problem in farm.problems]
    return None


def pytest_terminal_summary(terminalreporter, config):
    farm = found_farm(config)
    if farm is not None and not hasattr(config, "workerinput"):
        attempts = config.pluginmanager.getplugin(ATTEMPTS_PLUGIN)
        lines = farm.summary() + (attempts.summary() if attempts is not None else [])
        controller = config.stash.get(CONTROLLER, None)
        if controller is not None:
            lines += controller.hosts.left_behind
        if lines:
            terminalreporter.write_sep("=", "hdc farm")
            for line in lines:
                terminalreporter.write_line(line)
