"""The run's timeline as one self-contained HTML file (--hdc-report PATH.html): a lane per
device, each attempt of a test a bar from its start to its end, coloured by its outcome.

The controlling process feeds it every test report (`Timeline.add_report`) as they arrive
from the workers; `Timeline.write` renders it at the end of the run. The page is the
template beside this file with the run's data in it as JSON: its script draws the lanes,
so the file needs nothing but a browser, no network, no other file.
"""

import json
import os
import time

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "timeline.html")
MESSAGE_LIMIT = 4000    # characters of a failure's text kept for the page
LOG_LIMIT = 20000       # characters of a failure's device-log section kept (its end)
LOG_SECTION = "device log "


class Attempt:
    """One run of one test on one device, from its setup's start to its teardown's end."""

    __slots__ = ("nodeid", "device", "worker", "start", "end", "outcome", "message", "log", "retry", "lost",
                 "artifacts")

    def __init__(self, nodeid, device, worker, start, retry):
        self.nodeid = nodeid
        self.device = device
        self.worker = worker
        self.start = self.end = start
        self.outcome = "passed"
        self.message = ""
        self.log = ""
        self.retry = retry
        self.lost = False
        self.artifacts = []     # absolute paths of the files brought back from its device

    def record(self, report):
        self.start = min(self.start, moment(report, "start", self.start))
        self.end = max(self.end, moment(report, "stop", self.end))
        outcome = report.outcome
        if outcome == "failed" and report.when != "call":
            outcome = "error"
        if rank(outcome) > rank(self.outcome):
            self.outcome = outcome
            if outcome != "passed":
                self.message = clip(getattr(report, "longreprtext", "") or "", MESSAGE_LIMIT, keep="start")
        for title, text in getattr(report, "sections", ()):
            if title.startswith(LOG_SECTION):
                self.log = clip(text, LOG_LIMIT, keep="end")
        if getattr(report, "hdc_lost", None):
            self.lost = True
        self.artifacts += getattr(report, "hdc_artifacts", None) or []

    def cut_off(self, when):
        """The run ended (Ctrl-C) while this attempt was under way."""
        self.outcome = "interrupted"
        self.end = max(self.end, when)

    def as_json(self, origin):
        return {"test": self.nodeid, "device": self.device, "worker": self.worker,
                "start": round(self.start - origin, 3), "end": round(self.end - origin, 3),
                "outcome": self.outcome, "message": self.message, "log": self.log,
                "retry": self.retry, "lost": self.lost, "artifacts": list(self.artifacts)}


def moment(report, which, default):
    """When a phase started or stopped: the farm's workers note it on the report (pytest 8
    does too)."""
    value = getattr(report, "hdc_" + which, None)
    if value is None:
        value = getattr(report, which, None)
    return value if isinstance(value, (int, float)) and value > 0 else default


OUTCOMES = ("passed", "skipped", "rerun", "failed", "error", "interrupted")


def rank(outcome):
    return OUTCOMES.index(outcome) if outcome in OUTCOMES else len(OUTCOMES)


def clip(text, limit, keep):
    if len(text) <= limit:
        return text
    return text[:limit] + "\n[...]" if keep == "start" else "[...]\n" + text[-limit:]


class Timeline:
    """`devices`: [(label, serial, server)] in the farm's order; `pool`: what the run was
    limited to (the devices' required properties), shown in the header."""

    def __init__(self, devices, pool="", started=None):
        self.devices = [list(d) for d in devices]
        self.pool = pool
        self.started = time.time() if started is None else started
        self.finished = None
        self.status = "complete"  # or "interrupted": the run ended before its tests did (Ctrl-C)
        self.collected = None     # the tests collected, once known
        self.attempts = []
        self._open = {}          # (nodeid, worker) -> the Attempt its reports go to
        self._runs = {}          # nodeid -> attempts so far
        self.final = {}          # nodeid -> the test's outcome in the end
        self.flaky = {}          # nodeid -> "failed on A, passed on B"
        self.not_run = {}        # nodeid -> why
        self.lost = {}           # label -> message

    def add_report(self, report, device):
        """A report of a test that ran on `device` (a label; None without one). A report of a
        test that did not run for want of a device carries `hdc_not_run`."""
        nodeid = report.nodeid
        if hasattr(report, "hdc_not_run") and report.skipped:
            self.not_run[nodeid] = str(report.longrepr[2] if isinstance(report.longrepr, tuple) else report.longrepr)
            self.final[nodeid] = "not run"
            return
        worker = getattr(getattr(report, "node", None), "gateway", None)
        worker = worker.id if worker is not None else None
        key = (nodeid, worker)
        attempt = self._open.get(key)
        if attempt is None:
            runs = self._runs.get(nodeid, 0)
            self._runs[nodeid] = runs + 1
            attempt = self._open[key] = Attempt(nodeid, device, worker, moment(report, "start", time.time()),
                                                runs > 0)
            self.attempts.append(attempt)
        attempt.record(report)
        lost = getattr(report, "hdc_lost", None)
        if lost:        # [label, what the test was told]
            self.lose(lost[0], lost[1])
        if report.when not in ("setup", "call"):    # teardown, or "???": a crashed worker's test
            del self._open[key]
            if attempt.outcome != "rerun":
                self.final[nodeid] = "failed" if attempt.outcome == "error" else attempt.outcome

    def mark_flaky(self, nodeid, text):
        self.flaky[nodeid] = text

    def lose(self, label, message):
        """The device `label` was lost; `message` says why (the first reason found stays)."""
        self.lost.setdefault(label, message)

    def end(self, status, collected=None, when=None):
        """The run has ended, "complete" or "interrupted", with `collected` tests: an attempt
        still under way was cut off, and is drawn so up to the end."""
        self.finished = time.time() if when is None else when
        self.status = status
        self.collected = collected
        for attempt in self._open.values():
            attempt.cut_off(self.finished)
            self.final.setdefault(attempt.nodeid, "interrupted")
        self._open.clear()

    def totals(self):
        """The tests by their outcome in the end; they add up to the tests collected: a test
        the run never reached counts as not run, one cut off mid-run as interrupted."""
        finals = list(self.final.values())
        tests = max(self.collected or 0, len(self.final))
        return {"devices": len(self.devices), "tests": tests,
                "passed": finals.count("passed"), "failed": finals.count("failed"),
                "skipped": finals.count("skipped"), "flaky": len(self.flaky),
                "not run": finals.count("not run") + tests - len(self.final),
                "interrupted": finals.count("interrupted"),
                "wall time": round((self.finished or time.time()) - self.started, 3)}

    def data(self, title, folder=None):
        finished = self.finished or time.time()
        wall = max(finished - self.started, 1e-6)
        busy = {}
        for a in self.attempts:
            busy[a.device] = busy.get(a.device, 0.0) + max(0.0, a.end - a.start)
        return {
            "title": title, "pool": self.pool, "status": self.status, "totals": self.totals(),
            "devices": [{"label": label, "serial": serial, "server": server,
                         "busy": round(min(1.0, busy.get(label, 0.0) / wall), 4),
                         "lost": self.lost.get(label, "")} for label, serial, server in self.devices],
            "attempts": [linked(a.as_json(self.started), folder) for a in self.attempts],
            "flaky": self.flaky, "notRun": self.not_run, "failed": self.failed_on(),
            "startup": round(min((a.start for a in self.attempts), default=finished) - self.started, 3),
        }

    def failed_on(self):
        """{test: [the devices it failed on, in order]} of the tests that failed in the end."""
        failed = {nodeid: [] for nodeid, final in self.final.items() if final == "failed"}
        for a in self.attempts:
            devices = failed.get(a.nodeid)
            if devices is not None and a.outcome in ("failed", "error", "rerun") and a.device not in devices:
                devices.append(a.device)
        return failed

    def render(self, title="kelpie farm run", folder=None):
        with open(TEMPLATE, encoding="utf-8") as f:
            page = f.read()
        # In a script element only "</" can end it early: JSON lets "<" be written as \u003c.
        data = json.dumps(self.data(title, folder), ensure_ascii=False).replace("<", "\\u003c")
        return page.replace("/*DATA*/null", data, 1).replace("<!--TITLE-->", escape(title), 1)

    def write(self, path, title="kelpie farm run"):
        if self.finished is None:
            self.end(self.status, self.collected)
        folder = os.path.dirname(os.path.abspath(path))
        page = self.render(title, folder)
        os.makedirs(folder, exist_ok=True)
        temporary = path + ".tmp"
        # Text that is not UTF-8 (a lone surrogate from a file name) is written escaped.
        with open(temporary, "w", encoding="utf-8", errors="backslashreplace") as f:
            f.write(page)
        os.replace(temporary, path)


def linked(attempt, folder):
    """The attempt's files as addresses relative to the page's folder (the page and the
    artifacts travel together, as CI keeps them)."""
    if folder is not None and attempt["artifacts"]:
        attempt["artifacts"] = [os.path.relpath(path, folder).replace(os.sep, "/") for path in attempt["artifacts"]]
    return attempt


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
