"""The farm runner, end to end: retries on another device, device pools, the HTML timeline
rendered in a real browser, and the longest-first order. pytest runs a small suite in a
process of its own with pytest-xdist on simulated farms; each run proves several things."""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

import pytest

from kelpie_farm.order import Durations
from kelpie_farm.pools import ask_params
from kelpie_farm.retries import RetryBook
from kelpie_farm.targets import Target
from kelpie_farm.timeline import Timeline
from kelpie_sim import Simulator

# test_flaky fails on the first device it meets and passes on any other; test_always fails
# everywhere. Every attempt writes where it ran.
RETRY_SUITE = '''
import json, os, time
import pytest

def record(device, name):
    path = os.path.join(os.environ["FARM_RECORDS"], "%s-%d-%d.json" % (name, os.getpid(), time.monotonic_ns()))
    with open(path, "w") as f:
        json.dump({"test": name, "serial": device.serial}, f)

def test_flaky(hdc_device):
    record(hdc_device, "flaky")
    first = os.path.join(os.environ["FARM_RECORDS"], "flaky-first")
    try:
        fd = os.open(first, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        os.write(fd, hdc_device.serial.encode())
        os.close(fd)
    except FileExistsError:
        pass
    with open(first) as f:
        bad = f.read()
    hdc_device.client.shell("echo flaky-on-" + hdc_device.serial)
    assert hdc_device.serial != bad, "fails on " + bad

def test_always(hdc_device):
    record(hdc_device, "always")
    hdc_device.client.shell("echo always-on-" + hdc_device.serial)
    assert False, "never passes"

@pytest.mark.parametrize("i", range(6))
def test_plain(hdc_device, i):
    hdc_device.client.shell("sleep 0.05")
'''

# Devices 1 and 3 are in the pool (kind=a), 2 is not; only device 3 is fast.
POOL_SUITE = '''
import json, os, time
import pytest

def record(device, name):
    path = os.path.join(os.environ["FARM_RECORDS"], "%d-%d.json" % (os.getpid(), time.monotonic_ns()))
    with open(path, "w") as f:
        json.dump({"test": name, "serial": device.serial}, f)

@pytest.mark.parametrize("i", range(4))
def test_any(hdc_device, i):
    record(hdc_device, "any")

@pytest.mark.hdc_require("test.speed=fast")
@pytest.mark.parametrize("i", range(3))
def test_fast_only(hdc_device, i):
    record(hdc_device, "fast")

@pytest.mark.hdc_every_device
@pytest.mark.hdc_require("test.kind=a")
def test_every_in_pool(hdc_device):
    record(hdc_device, "every")

@pytest.mark.hdc_require("test.speed=warp")
def test_nowhere(hdc_device):
    pass

@pytest.mark.hdc_every_device
@pytest.mark.hdc_require("test.speed=warp")
def test_every_nowhere(hdc_device):
    pass
'''

# test_victim's first attempt waits until the harness detaches its device; its second fails;
# its third passes. test_plain keeps the other workers busy meanwhile.
LOST_SUITE = '''
import json, os, time
import kelpie
import pytest

def test_victim(hdc_device):
    records = os.environ["FARM_RECORDS"]
    before = len([n for n in os.listdir(records) if n.endswith(".json")])
    with open(os.path.join(records, "victim-%d-%d.json" % (os.getpid(), time.monotonic_ns())), "w") as f:
        json.dump({"test": "victim", "serial": hdc_device.serial}, f)
    if before == 0:
        with open(os.path.join(records, "ready.tmp"), "w") as f:
            f.write(hdc_device.serial)
        os.rename(os.path.join(records, "ready.tmp"), os.path.join(records, "ready"))
        lister = kelpie.HdcClient(hdc_device.server)
        deadline = time.monotonic() + 30
        while hdc_device.serial in lister.list_targets() and time.monotonic() < deadline:
            time.sleep(0.05)
    assert before != 1, "fails once more on another device"

@pytest.mark.parametrize("i", range(4))
def test_plain(hdc_device, i):
    hdc_device.client.shell("sleep 0.2")
'''

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def start_suite(folder, text, *args):
    with open(os.path.join(folder, "test_suite.py"), "w") as f:
        f.write(text)
    records = os.path.join(folder, "records")
    os.makedirs(records, exist_ok=True)
    env = dict(os.environ, FARM_RECORDS=records, XDG_CACHE_HOME=os.path.join(folder, "cache"))
    command = [sys.executable, "-m", "pytest", "-rs", "-p", "no:cacheprovider", "--junitxml",
               os.path.join(folder, "junit.xml")]
    return subprocess.Popen(command + list(args), cwd=folder, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, universal_newlines=True)


def run_suite(folder, text, *args):
    run = start_suite(folder, text, *args)
    out = run.communicate(timeout=240)[0]
    return run.returncode, out


def records(folder):
    """What the tests wrote, in the order they wrote it (the monotonic clock in each name)."""
    found = []
    names = [n for n in os.listdir(os.path.join(folder, "records")) if n.endswith(".json")]
    for name in sorted(names, key=lambda n: int(n[:-len(".json")].rsplit("-", 1)[1])):
        if name.endswith(".json"):
            with open(os.path.join(folder, "records", name)) as f:
                found.append(json.load(f))
    return found


def junit_cases(folder):
    """{test name: (outcome, {property: value})}, each test once."""
    cases = {}
    for case in ET.parse(os.path.join(folder, "junit.xml")).iter("testcase"):
        outcome = next((kind for kind in ("failure", "error", "skipped") if case.find(kind) is not None), "passed")
        assert case.get("name") not in cases, "reported twice: " + case.get("name")
        cases[case.get("name")] = (outcome, {p.get("name"): p.get("value") for p in case.iter("property")})
    return cases


def chromium():
    found = shutil.which("chromium")
    if found is None:
        if os.environ.get("CI"):
            pytest.fail("chromium is missing: scripts/setup.sh installs it")
        pytest.skip("chromium is not installed (scripts/setup.sh installs it)")
    return found


def rendered_body(page):
    """The <body> tag of the page as headless Chromium has drawn it (the script marks it)."""
    with tempfile.TemporaryDirectory(prefix="kelpie-chromium-") as profile:
        run = subprocess.run([chromium()] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile, "--dump-dom",
                                                             "file://" + os.path.abspath(page)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True, timeout=120)
    return run.stdout


def test_a_failing_test_runs_again_elsewhere_a_flaky_one_passes_and_the_timeline_shows_every_attempt(tmp_path):
    folder = str(tmp_path)
    report = os.path.join(folder, "report", "run.html")
    status, out = run_suite(folder, RETRY_SUITE, "-n", "3", "--hdc-sim", "3", "--hdc-retries", "2",
                            "--hdc-report", report)
    assert status == 1, out
    # Two reruns of test_always and one of test_flaky, counted as pytest-rerunfailures counts them.
    assert re.search(r"^=+ 1 failed, 7 passed, 3 rerun in ", out, re.M), out
    assert out.count("%]") == 1 and "[100%]" in out, "one progress line, one percentage: " + out
    ran = records(folder)
    always = [r["serial"] for r in ran if r["test"] == "always"]
    flaky = [r["serial"] for r in ran if r["test"] == "flaky"]
    assert len(always) == 3 and len(set(always)) == 3, "each attempt on a device not failed on yet"
    assert len(flaky) == 2 and flaky[0] != flaky[1]
    story = "failed on %s, passed on %s" % tuple(flaky)
    assert "flaky: test_suite.py::test_flaky " + story in out.split("= hdc farm =", 1)[1]
    assert re.search(r"- hdc attempts -+\nfailed on %s, %s and %s\n" % tuple(always), out), out

    cases = junit_cases(folder)
    assert len(cases) == 8
    assert cases["test_flaky"][0] == "passed"
    assert cases["test_flaky"][1]["hdc_flaky"] == story and cases["test_flaky"][1]["hdc_serial"] == flaky[1]
    assert cases["test_always"][0] == "failure"
    assert cases["test_always"][1]["hdc_attempts"] == "failed on %s, %s and %s" % tuple(always)

    # The timeline: a lane per device, a bar per attempt (8 tests, 3 of them again), drawn by
    # the page's own script in a real browser without an error.
    dom = rendered_body(report)
    body = re.search(r"<body[^>]*>", dom).group(0)
    assert 'data-rendered="ok"' in body and "data-error" not in body, body
    assert 'data-lanes="3"' in body and 'data-bars="11"' in body and 'data-status="complete"' in body, body
    assert re.search(r'<div id="failed">.*?test_suite.py::test_always</a><span class="devices"> on %s, %s, %s</span>'
                     % tuple(always), dom), dom
    with open(report, encoding="utf-8") as f:
        page = f.read()
    assert "http:" not in page and "https:" not in page and "<link" not in page
    data = json.loads(re.search(r'<script type="application/json" id="data">(.*?)</script>', page, re.S).group(1))
    assert data["totals"] == dict(data["totals"], devices=3, tests=8, passed=7, failed=1, flaky=1, **{"not run": 0})
    assert data["flaky"] == {"test_suite.py::test_flaky": story}
    assert data["failed"] == {"test_suite.py::test_always": always}
    assert data["startup"] == min(a["start"] for a in data["attempts"]) > 0
    attempts = [a for a in data["attempts"] if a["test"] == "test_suite.py::test_always"]
    assert [a["device"] for a in attempts] == always
    assert [a["outcome"] for a in attempts] == ["rerun", "rerun", "failed"] and [a["retry"] for a in attempts] == [
        False, True, True]
    assert all(a["log"].rstrip().endswith("shell command: echo always-on-" + a["device"]) for a in attempts)


def phases(nodeid, worker, start, stop, outcome="passed", when="call", message=None, **extra):
    """An attempt's reports as a worker sends them: set-up, call (unless the set-up ended it),
    teardown; `outcome` in the phase `when`."""
    node = type("Node", (), {"gateway": type("Gateway", (), {"id": worker})()})()
    reports = []
    for phase in ("setup", "call", "teardown") if when == "call" else ("setup", "teardown"):
        failing = phase == when
        report = pytest.TestReport(nodeid, ("t.py", 1, nodeid), {}, outcome if failing else "passed",
                                   message if failing else None, phase, hdc_start=start, hdc_stop=stop, **extra)
        report.node = node
        reports.append(report)
    return reports


@pytest.mark.parametrize("status", ["complete", "interrupted"])
def test_the_report_leads_with_its_status_failures_and_tiles_that_add_up_on_an_axis_from_the_first_test(
        tmp_path, status):
    devices = [("a1", "kelpie-sim-a1", "127.0.0.1:1"), ("a2", "kelpie-sim-a2", "127.0.0.1:2")]
    timeline = Timeline(devices, started=1000.0)
    runs = [("t.py::test_ok", "a1", "gw0", 1004.0, 1005.0, "passed", "call"),
            ("t.py::test_bad", "a2", "gw1", 1004.5, 1006.0, "failed", "call"),
            ("t.py::test_flaky", "a1", "gw0", 1005.0, 1005.5, "rerun", "call"),
            ("t.py::test_skip", "a1", "gw0", 1005.5, 1005.6, "skipped", "setup"),
            ("t.py::test_flaky", "a2", "gw2", 1006.0, 1007.0, "passed", "call"),
            ("t.py::test_broken", "a1", "gw0", 1007.0, 1007.5, "failed", "setup")]
    for nodeid, device, worker, start, stop, outcome, when in runs:
        message = ("skipped", 1, "Skipped: no") if outcome == "skipped" else "E  assert False"
        for report in phases(nodeid, worker, start, stop, outcome, when, message):
            timeline.add_report(report, device)
    timeline.mark_flaky("t.py::test_flaky", "failed on a1, passed on a2")
    never = pytest.TestReport("t.py::test_never", ("t.py", 1, "test_never"), {}, "skipped",
                              ("t.py", None, "Skipped: not run: device a3 was lost"), "setup", hdc_not_run="a3")
    timeline.add_report(never, None)
    timeline.status = status
    timeline.finished = 1010.0
    page = str(tmp_path / "run.html")
    timeline.write(page)

    dom = rendered_body(page)
    body = re.search(r"<body[^>]*>", dom).group(0)
    assert 'data-rendered="ok"' in body and "data-error" not in body and 'data-status="%s"' % status in body, body
    assert re.search(r'<span id="status" class="status %s">%s</span>' % (status, status), dom), dom
    assert ('id="statusnote">The run was interrupted' in dom) == (status == "interrupted")
    tiles = {name: value for name, value in re.findall(r'data-total="([^"]+)"><b>([^<]+)</b>', dom)}
    assert tiles == dict(tiles, tests="6", passed="2", failed="2", skipped="1", flaky="1", **{"not run": "1"}), tiles
    assert sum(int(tiles[k]) for k in ("passed", "failed", "skipped", "not run", "interrupted") if k in tiles) == 6
    # The failed tests, each with the devices it failed on, beside the flaky ones.
    failed = re.search(r'<div id="failed">(.*?)</ul></div>', dom, re.S).group(1)
    assert re.findall(r'<li><a[^>]*>(t\.py::\w+)</a><span class="devices"> on (\w+)</span></li>', failed) == [
        ("t.py::test_bad", "a2"), ("t.py::test_broken", "a1")], failed
    assert "failed on a1, passed on a2" in re.search(r'<div id="flaky">(.*?)</div>', dom, re.S).group(1)
    # The axis starts at the first test, 4 s after the run's start: that is a band of its own.
    assert '>start-up 4.00 s</div>' in dom and '<span class="tick" style="left: 0%; ' \
        'transform: none;">0.00 s</span>' in dom and ">+6.00 s</span>" in dom, dom
    assert re.search(r'<div class="bar passed"[^>]*data-test="t.py::test_ok" style="left: 0%; width: 16\.66\d*%;"', dom), dom


def test_a_pool_keeps_the_matching_devices_and_the_marker_picks_among_them(tmp_path):
    folder = str(tmp_path)
    params = {"kelpie-sim-1": {"test.kind": "a", "test.speed": "slow"}, "kelpie-sim-2": {"test.kind": "b"},
              "kelpie-sim-3": {"test.kind": "a"}}
    with Simulator(devices=3, params={"test.speed": "fast"}, device_params=params) as sim:
        status, out = run_suite(folder, POOL_SUITE, "-n", "2", "--hdc-server", sim.addr,
                                "--hdc-require", "test.kind=a", "--hdc-require", "const.ohos.apiversion=11")
    assert status == 0, out
    assert "hdc farm: 2 devices on 1 server; pool: test.kind=a, const.ohos.apiversion=11" in out
    ran = records(folder)
    assert {r["serial"] for r in ran if r["test"] == "any"} <= {"kelpie-sim-1", "kelpie-sim-3"}
    assert [r["serial"] for r in ran if r["test"] == "fast"] == ["kelpie-sim-3"] * 3
    assert sorted(r["serial"] for r in ran if r["test"] == "every") == ["kelpie-sim-1", "kelpie-sim-3"]
    assert re.search(r"SKIPPED \[1\] .*no device of the farm has test.speed=warp", out), out
    cases = junit_cases(folder)
    assert sorted(cases) == sorted(["test_any[%d]" % i for i in range(4)] + ["test_fast_only[%d]" % i for i in range(3)]
                                   + ["test_every_in_pool[kelpie-sim-1]", "test_every_in_pool[kelpie-sim-3]",
                                      "test_nowhere", "test_every_nowhere[no-device]"])
    assert sorted(n for n, (outcome, _) in cases.items() if outcome == "skipped") == [
        "test_every_nowhere[no-device]", "test_nowhere"]


def test_a_test_whose_device_is_lost_runs_again_elsewhere_without_spending_a_retry(tmp_path):
    folder = str(tmp_path)
    with Simulator(devices=3) as sim:
        run = start_suite(folder, LOST_SUITE, "-n", "2", "--hdc-server", sim.addr, "--hdc-retries", "1")
        ready = os.path.join(folder, "records", "ready")
        deadline = time.monotonic() + 120
        while run.poll() is None and not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(ready) as f:
            victim = f.read()
        sim.detach(victim)
        out = run.communicate(timeout=240)[0]
    assert run.returncode == 0, out
    assert re.search(r"^=+ 5 passed, 2 rerun in ", out, re.M), out
    devices = [r["serial"] for r in records(folder)]
    assert len(devices) == 3 and len(set(devices)) == 3 and devices[0] == victim, devices
    story = "lost %s, failed on %s, passed on %s" % tuple(devices)
    assert "flaky: test_suite.py::test_victim " + story in out, out
    assert junit_cases(folder)["test_victim"][1]["hdc_flaky"] == story


def test_no_device_in_the_pool_is_one_clear_error(tmp_path):
    status, out = run_suite(str(tmp_path), "def test_x(hdc_device): pass\n", "-n", "2", "--hdc-sim", "2",
                            "--hdc-require", "const.ohos.apiversion=99")
    assert status == 4 and "no device has const.ohos.apiversion=99" in out, out


def test_properties_are_asked_side_by_side_and_a_silent_server_costs_only_the_deadline():
    params = {"kelpie-sim-2": {"const.ohos.apiversion": "12", "test.note": "a = b"}}
    with Simulator(devices=2, device_params=params) as sim, socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(4)            # accepts connections, never says a word
        mute = "127.0.0.1:%d" % silent.getsockname()[1]
        targets = [Target("kelpie-sim-1", sim.addr, "kelpie-sim-1"), Target("kelpie-sim-2", sim.addr, "kelpie-sim-2"),
                   Target("HX1", mute, "HX1"), Target("kelpie-sim-9", sim.addr, "kelpie-sim-9")]
        start = time.monotonic()
        found, problems = ask_params(targets, timeout=1.0)
        took = time.monotonic() - start
    assert found["kelpie-sim-1"]["const.ohos.apiversion"] == "11"
    assert found["kelpie-sim-2"]["const.ohos.apiversion"] == "12" and found["kelpie-sim-2"]["test.note"] == "a = b"
    assert found["kelpie-sim-9"] == {}, "a device gone since: its server's refusal has no property"
    assert problems[0] == "device HX1 on %s did not answer param get: no answer within the deadline" % mute
    assert 1.0 <= took < 3.0


def test_retries_prefer_devices_not_failed_on_and_a_lost_device_costs_no_retry():
    book = RetryBook(1)
    assert book.failed("t", "A", lost=True, retry_possible=True)       # lost: free of charge
    assert book.failed("t", "B", lost=False, retry_possible=True)      # the one retry
    assert not book.failed("t", "C", lost=False, retry_possible=True)
    assert book.failed_on("t") == {"A", "B", "C"}
    assert book.story("t") == "lost A, failed on B and C"
    assert not book.failed("u", "A", lost=False, retry_possible=False)  # no device left for it
    book.failed("v", "A", lost=False, retry_possible=True)
    book.ended("v", "B", "passed")
    assert book.flaky == {"v": "failed on A, passed on B"}


class Cache(dict):
    def get(self, key, default):
        return dict.get(self, key, default)

    def set(self, key, value):
        self[key] = value


def test_the_longest_tests_start_first_and_unseen_tests_count_as_the_median():
    cache = Cache({"kelpie_farm/durations": {"a": 1.0, "b": 6.0, "c": 0.5, "d": 2.0}})
    durations = Durations(cache)
    # e is new: the median, 1.5 s; ties keep the collection order.
    assert durations.longest_first(["a", "b", "c", "d", "e", "f"]) == [1, 3, 4, 5, 0, 2]
    report = type("Report", (), {"nodeid": "e", "when": "call", "duration": 3.0})()
    durations.add_report(report, "gw0")
    report.when, report.duration = "teardown", 0.25
    durations.add_report(report, "gw0")
    durations.save()
    assert cache["kelpie_farm/durations"]["e"] == 3.25 and cache["kelpie_farm/durations"]["b"] == 6.0
