"""Evidence from a failing test's device: a screenshot (--hdc-on-failure screenshot, the ini
option hdc_on_failure) and device files or folders (@pytest.mark.hdc_pull(PATH, ...),
--hdc-pull PATH), brought back after the test's first failing phase into a folder of its
own for each test and attempt under --hdc-artifacts DIR.

Where they show: a report section naming the files (the terminal shows it with the
failure), the report's `hdc_artifacts` (the timeline's thumbnails and links, the JSON's
attempts), and JUnit system-out lines `[[ATTACHMENT|/abs/path]]`, which Jenkins and GitLab
read.

Every device call is bounded by what is left of the test's deadline, less a margin for the
report (device_files.py): a device or server that cannot answer costs a note in the
section, never the run. The test-running side does the gathering, and only when the run
asks for evidence; the controlling process (or the only one) writes the JUnit lines.
"""

import hashlib
import os
import re
import time
import uuid

import pytest

from . import internals
from .options import PULL, farm_named

SECTION = "hdc artifacts"
TMP = "/data/local/tmp"
MARGIN = 2.0        # seconds of the deadline kept for the report, at most (a tenth of a short one)
LEAST = 0.2         # seconds a device call needs at least to be worth starting
FILES_LISTED = 100  # files of a pulled folder named at most
ARTIFACTS_INPUT = "hdc_artifacts"   # the folder, in a worker's workerinput
DEFAULT_FOLDER = "hdc-artifacts"


def artifacts_folder(config):
    """The absolute folder of the run's artifacts: --hdc-artifacts, else hdc-artifacts/ beside
    the JUnit file, else in the folder pytest was started in."""
    workerinput = getattr(config, "workerinput", None)
    if workerinput is not None and workerinput.get(ARTIFACTS_INPUT):
        return workerinput[ARTIFACTS_INPUT]
    start = str(config.invocation_params.dir)
    named = config.getoption("hdc_artifacts")
    if named:
        return os.path.normpath(os.path.join(start, named))
    junit = getattr(config.option, "xmlpath", None)
    if junit:
        return os.path.join(os.path.dirname(os.path.normpath(os.path.join(start, junit))), DEFAULT_FOLDER)
    return os.path.join(start, DEFAULT_FOLDER)


def on_failure(config):
    """What the run brings back from every failing test's device: {"screenshot"} or nothing."""
    value = config.getoption("hdc_on_failure") or config.getini("hdc_on_failure") or "none"
    if value not in ("screenshot", "none"):
        raise pytest.UsageError("hdc_on_failure takes screenshot or none, not %r" % value)
    return {value} - {"none"}


def safe_name(text, limit=100):
    """A file name for `text`: its letters, digits and . _ - kept, the rest one _; a long
    one cut, with a hash of the whole so that two stay apart."""
    name = re.sub(r"[^A-Za-z0-9._-]+", "_", text).strip("._") or "_"
    if len(name) > limit:
        name = name[:limit - 9] + "-" + hashlib.sha1(text.encode("utf-8")).hexdigest()[:8]
    return name


def attempt_folder(root, nodeid):
    """A new folder for this attempt of the test: ROOT/<test>/attempt-N, N from 1."""
    test = os.path.join(root, safe_name(nodeid))
    os.makedirs(test, exist_ok=True)
    n = 1
    while True:
        folder = os.path.join(test, "attempt-%d" % n)
        try:
            os.mkdir(folder)
            return folder
        except FileExistsError:
            n += 1


class Gathering:
    """What one failing attempt brought back: files, and notes of what it could not."""

    def __init__(self, target, folder, deadline):
        self.target = target
        self.folder = folder
        self.deadline = deadline
        self.files = []
        self.notes = []

    def time_left(self, what):
        if self.deadline - time.monotonic() < LEAST:
            self.notes.append("%s: not taken, no time left before the test's deadline" % what)
            return False
        return True

    def screenshot(self):
        from .device_files import ProbeError, failed, recv_file, shell_to_end

        if not self.time_left("screenshot"):
            return
        target = self.target
        remote = "%s/kelpie-farm-%s.png" % (TMP, uuid.uuid4().hex[:12])
        local = os.path.join(self.folder, "screenshot.png")
        try:
            said = shell_to_end(target.server, target.serial, "snapshot_display -f " + remote, self.deadline)
            text = recv_file(target.server, target.serial, remote, local, self.deadline)
        except ProbeError as e:
            self.notes.append("screenshot: %s did not answer: %s" % (target.describe(), e))
            return
        try:
            shell_to_end(target.server, target.serial, "rm -f " + remote, self.deadline)
        except ProbeError:
            pass        # a file left in /data/local/tmp costs the run nothing
        if failed(text) or not os.path.isfile(local):
            self.notes.append("screenshot: none came back (%s)" % " ".join((said.strip() + " " + text).split())[:300])
            return
        with open(local, "rb") as f:
            if f.read(2) == b"\xff\xd8":     # the device wrote a JPEG after all
                os.replace(local, local[:-len(".png")] + ".jpeg")
                local = local[:-len(".png")] + ".jpeg"
        self.files.append(local)

    def pull(self, remote):
        from .device_files import ProbeError, failed, recv_file

        what = "pull %s" % remote
        if not self.time_left(what):
            return
        local = os.path.join(self.folder, safe_name(remote.strip("/")))
        try:
            text = recv_file(self.target.server, self.target.serial, remote, local, self.deadline)
        except ProbeError as e:
            self.notes.append("%s: %s did not answer: %s" % (what, self.target.describe(), e))
            return
        if failed(text) or not os.path.exists(local):
            self.notes.append("%s: nothing came back (%s)" % (what, " ".join(text.split())[:300]))
        elif os.path.isdir(local):
            found = sorted(os.path.join(here, name) for here, _, names in os.walk(local) for name in names)
            self.files += found[:FILES_LISTED]
            if len(found) > FILES_LISTED:
                self.notes.append("%s: %d more files in %s" % (what, len(found) - FILES_LISTED, local))
            if not found:
                self.notes.append("%s: an empty folder" % what)
        else:
            self.files.append(local)

    def section(self):
        return "".join(line + "\n" for line in self.files + self.notes)


class EvidenceGatherer:
    """On the test-running side: after a test's first failing phase, what the run asks for
    from its device. Registered only when something is asked for."""

    def __init__(self, config, kinds, pulls, folder, timeout):
        self.config = config
        self.kinds = kinds
        self.pulls = list(pulls)
        self.folder = folder
        self.timeout = timeout
        self._started = None
        self._gathered = None       # the item whose attempt has its evidence

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_protocol(self, item, nextitem):
        self._started = time.monotonic()
        self._gathered = None
        yield

    def deadline(self, item):
        from .deadlines import DEADLINES

        seconds = self.config.stash.get(DEADLINES, {}).get(item.nodeid, self.timeout)
        return (self._started or time.monotonic()) + seconds - min(MARGIN, seconds / 10)

    def pulls_of(self, item):
        marked = [str(path) for mark in item.iter_markers(PULL) for path in mark.args]
        return list(dict.fromkeys(marked + self.pulls))

    # After the farm's own wrapper (reporting.py) has said whether the device was lost.
    @pytest.hookimpl(hookwrapper=True, tryfirst=True)
    def pytest_runtest_makereport(self, item, call):
        outcome = yield
        report = outcome.get_result()
        if not report.failed or self._gathered is item:
            return
        from .worker import LOST, USE

        use = item.stash.get(USE, None)
        pulls = self.pulls_of(item)
        if use is None or not (self.kinds or pulls):
            return      # no device to ask (a test without one, or one that failed before it had one)
        self._gathered = item
        target = use[0]
        gathering = Gathering(target, attempt_folder(self.folder, item.nodeid), self.deadline(item))
        if LOST in item.stash:
            gathering.notes.append("nothing brought back: %s" % item.stash[LOST][1])
        else:
            if "screenshot" in self.kinds:
                gathering.screenshot()
            for remote in pulls:
                gathering.pull(remote)
        report.hdc_artifacts = list(gathering.files)
        report.sections.append((SECTION, gathering.section()))


def start_gathering(session):
    """Registers the EvidenceGatherer where the run asks for evidence: the options, or a
    test with hdc_pull."""
    config = session.config
    kinds = on_failure(config)
    pulls = config.getoption("hdc_pull") or []
    if not (kinds or pulls or any(item.get_closest_marker(PULL) is not None for item in session.items)):
        return
    from .options import deadline

    config.pluginmanager.register(EvidenceGatherer(config, kinds, pulls, artifacts_folder(config), deadline(config)),
                                  "kelpie-farm-evidence")


@pytest.hookimpl(trylast=True)
def pytest_collection_finish(session):
    config = session.config
    workerinput = getattr(config, "workerinput", None)
    if (farm_named(config) if workerinput is None else "hdc_farm" in workerinput):
        start_gathering(session)


@pytest.hookimpl(optionalhook=True)
def pytest_configure_node(node):
    """Every worker puts its artifacts in the controller's folder."""
    node.workerinput[ARTIFACTS_INPUT] = artifacts_folder(node.config)


# --- the controlling process (or the only one): JUnit ---------------------------------------------

class JunitAttachments:
    """Each attempt's files as `[[ATTACHMENT|/abs/path]]` lines in its JUnit test case's
    system-out: with junit_logging writing system-out, a section of the report pytest writes
    it from (as the device log goes, reporting.py); without, a system-out of their own."""

    def __init__(self, config):
        self.config = config
        self._waiting = {}      # (test id, worker) -> the lines, until its teardown report

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_logreport(self, report):
        files = getattr(report, "hdc_artifacts", None)
        key = (report.nodeid, getattr(report, "node", None))
        if report.when == "teardown" and key in self._waiting:
            report.sections.append(("Captured stdout " + SECTION, self._waiting.pop(key)))
            return
        if not files or not internals.junit_writing(self.config):
            return
        lines = "".join("[[ATTACHMENT|%s]]\n" % path for path in files)
        if self.config.getini("junit_logging") not in ("system-out", "out-err", "all"):
            internals.junit_system_out(self.config, report, lines)
        elif not self.config.getini("junit_log_passing_tests") or report.when == "teardown":
            report.sections.append(("Captured stdout " + SECTION, lines))
        else:
            self._waiting[key] = lines
