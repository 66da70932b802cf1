"""The controlling process's record of every attempt of every test: each test report as
it arrives from the workers, for the retries (which failures run again, reported as reruns), the durations
kept for the next run's order, and the timeline.

A failing attempt that runs again is reported with pytest's "rerun" outcome, the convention
of pytest-rerunfailures: "R" in the progress line, counted as reruns, neither passed nor
failed for pytest, xdist or JUnit. Its JUnit test case is dropped at the end, so that each
test appears there once, with its last attempt's outcome.
"""

import time

import pytest

from . import internals
from .controller import CONTROLLER, crashed_test_teardown
from .durations import device_type, durations_of
from .retries import RetryBook
from .timeline import Timeline

RERUN = "rerun"
ATTEMPTS = "hdc attempts"     # the section a test that failed every time gets


class AttemptRecorder:
    def __init__(self, config, retries, report_path, farm, budget=None):
        self.config = config
        self.book = RetryBook(retries, budget) if retries > 0 else None
        self.durations = durations_of(config)
        self.timeline = None
        self.report_path = report_path
        self.json_path = config.getoption("hdc_json")
        self._farm = farm           # farm() -> the Farm, once found
        self._started = time.time()
        self._rerunning = set()     # (test id, worker) of attempts reported as reruns
        self._outcome = {}          # (test id, worker) -> the attempt's outcome so far
        self._dropped = []          # JUnit test cases of the reruns
        self._held = set()          # tests to run again, not done for the progress line until their last attempt

    def _sched(self):
        controller = self.config.stash.get(CONTROLLER, None)
        return controller.sched if controller is not None else None

    @pytest.hookimpl(hookwrapper=True, tryfirst=True)
    def pytest_runtest_logreport(self, report):
        node = getattr(report, "node", None)
        worker = node.gateway.id if node is not None else None
        device = getattr(report, "hdc_label", None)
        if device is None and worker is not None:
            held = getattr(self._farm(), "held_by", lambda worker: None)(worker)
            device = held.label if held is not None else None
        key = (report.nodeid, worker)
        closing = report.when == "teardown" and key not in self._rerunning
        if self.book is not None and node is not None and not hasattr(report, "hdc_not_run"):
            self._judge(report, key, device)
        if report.nodeid in self._held and (hasattr(report, "hdc_not_run") or closing or (
                report.outcome != RERUN and (report.when == "call" or not report.passed))):
            self._held.discard(report.nodeid)   # its last attempt: the progress line counts it now
        yield
        kind = None
        if report.when == "teardown" and device and self.durations.kinds is not None:
            kind = device_type(self._farm(), device)
        self.durations.add_report(report, worker, kind)
        if (self.report_path or self.json_path) and self.timeline is None:
            farm = self._farm()
            if farm is not None and hasattr(farm, "targets"):
                self.timeline = Timeline([(t.label, t.serial, t.server) for t in farm.targets],
                                         ", ".join("%s=%s" % r for r in farm.pool), started=self._started)
        if self.timeline is not None:
            self.timeline.add_report(report, device)
            if report.when == "teardown" and self.book is not None and report.nodeid in self.book.flaky:
                self.timeline.mark_flaky(report.nodeid, self.book.flaky[report.nodeid])
        if report.outcome == RERUN:
            self._keep_out_of_junit(report)
        if getattr(report, "hdc_crashed", False) and report.when != "teardown":
            # After every plugin, this one included, has had the crashed test's report.
            self.config.hook.pytest_runtest_logreport(report=crashed_test_teardown(report))

    def _judge(self, report, key, device):
        """Turns a failing attempt that is to run again into a rerun and has it placed; gives
        the last attempt of a test that ran more than once its story."""
        nodeid = report.nodeid
        if key in self._rerunning:
            if report.when == "teardown":
                self._rerunning.discard(key)
            return
        if report.failed and report.when in ("setup", "call"):
            sched = self._sched()
            lost = bool(getattr(report, "hdc_lost", None))
            # A crashed worker's test (no item index) is not retried: xdist reports it once
            # its worker has gone.
            index = getattr(report, "item_index", None)
            possible = index is not None and sched is not None and hasattr(sched, "can_retry") and sched.can_retry(index)
            if self.book.failed(nodeid, device, lost, possible):
                report.outcome = RERUN
                self._rerunning.add(key)
                internals.progress_hold(self.config, self._held, nodeid)
                self._outcome.pop(key, None)
                sched.retry(report.item_index, self.book.failed_on(nodeid))
                return
            if self.book.tried(nodeid):
                report.sections.append((ATTEMPTS, "%s\n" % self.book.story(nodeid)))
        before = self._outcome.get(key, "passed")
        self._outcome[key] = "failed" if report.failed or before == "failed" else \
            "skipped" if report.skipped or before == "skipped" else "passed"
        if report.when == "teardown":
            outcome = self._outcome.pop(key, "passed")
            if not self.book.tried(nodeid):
                return
            self.book.ended(nodeid, device, outcome)
            name = "hdc_flaky" if nodeid in self.book.flaky else "hdc_attempts"
            report.user_properties.append((name, self.book.story(nodeid)))

    def _keep_out_of_junit(self, report):
        reporter = internals.junit_test_case(self.config, report)
        if reporter is not None:
            self._dropped.append(reporter)

    def pytest_report_teststatus(self, report):
        if report.outcome == RERUN:
            return RERUN, "R", ("RERUN", {"yellow": True})
        return None

    def summary(self):
        """Lines for the end of the run: the flaky tests."""
        if self.book is None:
            return []
        note = self.book.budget_note()
        return ["flaky: %s %s" % (nodeid, story) for nodeid, story in self.book.flaky.items()] + ([note] if note else [])

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session, exitstatus):
        """Before JUnit writes its file: the reruns' test cases go; the durations are kept;
        the timeline and the JSON results are written, with how the run ended and every
        device lost (also those lost before a test or while no test of this run was on them)."""
        internals.junit_drop_test_cases(self.config, self._dropped)
        self.durations.save()
        if self.report_path or self.json_path:
            farm = self._farm()
            if self.timeline is None:
                self.timeline = Timeline([(t.label, t.serial, t.server) for t in getattr(farm, "targets", ())],
                                         started=self._started)
            for label, message in dict(getattr(farm, "lost", None) or {}).items():
                self.timeline.lose(label, message)
            status = "interrupted" if exitstatus == pytest.ExitCode.INTERRUPTED else "complete"
            self.timeline.end(status, getattr(session, "testscollected", None))
        if self.report_path:
            self.timeline.write(self.report_path)
        if self.json_path:
            from .results_json import results, write_results

            write_results(self.json_path, results(
                self.timeline, dict(getattr(farm, "lost", {})), ["%s=%s" % r for r in getattr(farm, "pool", ())],
                self.config.getoption("hdc_shard"), exitstatus == pytest.ExitCode.INTERRUPTED))
