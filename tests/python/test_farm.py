"""The farm plugin, end to end: pytest, in a process of its own and with pytest-xdist, runs
a small device suite on simulated farms; the suite's tests record where they ran. Each run
proves several things at once, because a run of six PyPy workers takes seconds to start.
The simulated shell's part (its sleep, its log of command lines) is tested here too."""

import collections
import json
import queue
import threading
import os
import re
import signal
import socket
import subprocess
import sys
import time
import types
import xml.etree.ElementTree as ET

import pytest

import kelpie
from kelpie_farm.devicelog import LogMark
from kelpie_farm import link
from kelpie_farm.controller import CONTROLLER
from kelpie_farm.discovery import FARM
from kelpie_farm.farm import Farm
from kelpie_farm.reporting import FarmReporter
from kelpie_farm.scheduling import DeviceScheduling
from kelpie_farm.targets import Target
from kelpie_sim import Simulator
from kelpie_sim.launcher import SimProcess

# Every test writes where and when it ran; the sleep keeps workers busy side by side. The
# conftest's once-per-device hook writes a record of its own.
SUITE = '''
import json, os, time
import pytest

def record(device, request, **more):
    start = time.time()
    if device is not None:
        device.client.shell("sleep 0.1")
    name = os.path.join(os.environ["FARM_RECORDS"], "%d-%s.json" % (os.getpid(), time.monotonic_ns()))
    with open(name, "w") as f:
        json.dump(dict(test=request.node.nodeid, worker=os.environ.get("PYTEST_XDIST_WORKER"), pid=os.getpid(),
                       serial=device and device.serial, server=device and device.server, start=start,
                       end=time.time(), **more), f)

@pytest.mark.parametrize("i", range(12))
def test_sharded(hdc_device, request, i):
    record(hdc_device, request)

@pytest.mark.hdc_every_device
def test_every(hdc_device, request):
    assert "com.example.app" in hdc_device.client.shell("bm dump -a")
    record(hdc_device, request)

@pytest.mark.parametrize("name", ["kelpie-sim-a2", "plain"])
def test_no_device(request, name):
    record(None, request)

def test_fails(hdc_client):
    hdc_client.shell("echo mine-1")
    hdc_client.shell("echo mine-2")
    assert False

def test_crashes(hdc_device, request):
    record(hdc_device, request)
    if os.environ.get("PYTEST_XDIST_WORKER"):
        os._exit(3)
'''

# The once-per-device set-up: a record for each call, and a bundle a test can look for.
CONFTEST = '''
import json, os, time

def pytest_hdc_device_ready(device):
    package = os.path.join(os.environ["FARM_RECORDS"], "com.example.app.hap")
    open(package, "a").close()
    assert "successfully" in device.client.install([package], replace=True)
    name = os.path.join(os.environ["FARM_RECORDS"], "ready-%d-%s.json" % (os.getpid(), time.monotonic_ns()))
    with open(name, "w") as f:
        json.dump(dict(ready=device.serial, worker=os.environ.get("PYTEST_XDIST_WORKER")), f)
'''

# The test for VICTIM waits until the harness detaches its device, then goes on as if
# nothing happened: the plugin has to notice.
LOSING_SUITE = '''
import os, time
import pytest
import kelpie

@pytest.mark.hdc_every_device
def test_victim(hdc_device):
    if hdc_device.serial == os.environ["VICTIM"]:
        open(os.path.join(os.environ["FARM_RECORDS"], "ready"), "w").close()
        lister = kelpie.HdcClient(hdc_device.server)
        deadline = time.monotonic() + 20
        while hdc_device.serial in lister.list_targets() and time.monotonic() < deadline:
            time.sleep(0.05)
    hdc_device.client.shell("echo still here")

@pytest.mark.parametrize("i", range(12))
def test_sharded(hdc_device, i):
    hdc_device.client.shell("sleep 0.2")

@pytest.mark.hdc_every_device
def test_every(hdc_device):
    pass
'''


# Its test says which server it is on, then waits to be interrupted.
WAITING_SUITE = '''
import os, time

def test_waits(hdc_device):
    with open(os.path.join(os.environ["FARM_RECORDS"], "server.tmp"), "w") as f:
        f.write(hdc_device.server)
    os.rename(os.path.join(os.environ["FARM_RECORDS"], "server.tmp"),
              os.path.join(os.environ["FARM_RECORDS"], "server"))
    time.sleep(60)
'''


# A lab where servers die: the test for the device a-1 kills its server (SIGKILL), the one
# for b-1 stops its server (SIGSTOP, never resumed) and then asks its device for more.
DYING_SUITE = '''
import json, os, signal, time
import pytest

def record(request, serial=None):
    name = os.path.join(os.environ["FARM_RECORDS"], "%d-%s.json" % (os.getpid(), time.monotonic_ns()))
    with open(name, "w") as f:
        json.dump(dict(test=request.node.nodeid, worker=os.environ.get("PYTEST_XDIST_WORKER"), pid=os.getpid(),
                       serial=serial), f)

@pytest.mark.hdc_every_device
def test_sabotage(hdc_device, request):
    record(request, hdc_device.serial)
    pids = json.loads(os.environ["SIM_PIDS"])
    if hdc_device.serial == "a-1":
        os.kill(pids["a-"], signal.SIGKILL)
    elif hdc_device.serial in ("b-1", "d-1"):
        os.kill(pids[hdc_device.serial[:2]], signal.SIGSTOP)
        hdc_device.client.shell("echo never answered")

@pytest.mark.parametrize("i", range(12))
def test_sharded(hdc_device, request, i):
    hdc_device.client.shell("sleep 0.2")
    record(request, hdc_device.serial)

@pytest.mark.parametrize("i", range(6))
def test_no_device(request, i):
    time.sleep(0.1)
    record(request)
'''


def start_suite(folder, text, *args, env=None, conftest=None, cache=False):
    with open(os.path.join(folder, "test_suite.py"), "w") as f:
        f.write(text)
    if conftest is not None:
        with open(os.path.join(folder, "conftest.py"), "w") as f:
            f.write(conftest)
    records = os.path.join(folder, "records")
    os.makedirs(records, exist_ok=True)
    # The device locks of a run go to a cache folder of its own unless the test shares one.
    env = dict(dict(os.environ, FARM_RECORDS=records, XDG_CACHE_HOME=os.path.join(folder, "cache")), **(env or {}))
    # Ctrl-C must reach pytest as KeyboardInterrupt, even when this suite runs with it ignored.
    return subprocess.Popen([sys.executable, "-m", "pytest"] + ([] if cache else ["-p", "no:cacheprovider"]) + [
                             "-rs", "--junitxml", os.path.join(folder, "junit.xml")] + list(args),
                            cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True, errors="backslashreplace", preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def finish(run):
    out = run.communicate(timeout=240)[0]
    return run.returncode, out


def records(folder, prefix=None):
    """The tests' records, or those whose file name starts with `prefix`."""
    found = []
    for name in os.listdir(os.path.join(folder, "records")):
        if name.endswith(".json") and (name.startswith(prefix) if prefix else name[0].isdigit()):
            with open(os.path.join(folder, "records", name)) as f:
                found.append(json.load(f))
    return found


def junit_cases(folder):
    """{test name: (outcome, {property: value}, message, system-out)}"""
    cases = {}
    for case in ET.parse(os.path.join(folder, "junit.xml")).iter("testcase"):
        outcome, message = "passed", ""
        for kind in ("failure", "error", "skipped"):
            node = case.find(kind)
            if node is not None:
                outcome, message = kind, node.get("message", "")
        props = {p.get("name"): p.get("value") for p in case.iter("property")}
        out = "".join(node.text or "" for node in case.iter("system-out"))
        assert case.get("name") not in cases, "reported twice: " + case.get("name")
        cases[case.get("name")] = (outcome, props, message, out)
    return cases


def reported_once(out, cases):
    """Every test of the JUnit XML has exactly one outcome line in the terminal's progress (-v)."""
    assert "INTERNALERROR" not in out, out
    outcome = "(?:PASSED|FAILED|SKIPPED|ERROR)"
    names = collections.Counter(re.findall(r"^(?:\[gw\d+\] \[ *\d+%%\] %s test_suite\.py::(\S+)|test_suite\.py::(\S+) %s)"
                                           % (outcome, outcome), out, re.M))
    names = collections.Counter({a or b: n for (a, b), n in names.items()})
    assert names == collections.Counter(list(cases)), out


def section(out, title_start):
    """The lines of the report section whose title starts with `title_start`."""
    m = re.search(r"^-+ %s[^\n]*-+\n(.*?)(?=^[=_-]+ )" % re.escape(title_start), out, re.M | re.S)
    assert m, out
    return m.group(1).splitlines()


def free_address():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return "127.0.0.1:%d" % s.getsockname()[1]


def gone(pids):
    """The processes of `pids` that are no longer running."""
    def running(pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().split(") ", 1)[1][0] != "Z"
        except OSError:
            return False
    return {pid for pid in pids if not running(pid)}


def test_a_farm_run_gives_each_worker_a_device_and_a_failing_test_its_own_log(tmp_path):
    folder = str(tmp_path)
    status, out = finish(start_suite(folder, SUITE, "-n", "auto", "--hdc-sim", "6", "-v",
                                     "-o", "junit_logging=system-out", conftest=CONFTEST))
    assert status == 1 and re.search(r"2 failed, 20 passed in ", out), out
    ran = records(folder)
    serials = ["kelpie-sim-%s%d" % (s, n) for s in "abc" for n in (1, 2)]
    # A crashed worker's test names its device; a new worker takes the device and readies it again.
    crashed = [r for r in ran if "crashes" in r["test"]]
    outcome, _, _, system_out = junit_cases(folder)["test_crashes"]
    assert outcome == "failure" and "shell command: sleep 0.1" in system_out, (outcome, system_out)
    assert len(crashed) == 1 and re.search(
        r"worker gw\d+ crashed while running test_suite.py::test_crashes on device %s on %s$"
        % (crashed[0]["serial"], crashed[0]["server"]), out, re.M), out
    ran = [r for r in ran if r not in crashed]

    # Every test ran exactly once; the every-device test once on each device, named in its id;
    # a plain test whose id holds a serial is no every-device test.
    assert sorted(r["test"] for r in ran) == sorted(
        ["test_suite.py::test_sharded[%d]" % i for i in range(12)] +
        ["test_suite.py::test_every[%s]" % s for s in serials] +
        ["test_suite.py::test_no_device[kelpie-sim-a2]", "test_suite.py::test_no_device[plain]"])
    ran = [r for r in ran if r["serial"]]
    assert all(r["test"].endswith("[%s]" % r["serial"]) for r in ran if "test_every" in r["test"])
    # One worker a device (-n auto), a device a worker, over three servers.
    devices_of = {w: {r["serial"] for r in ran if r["worker"] == w} for w in {r["worker"] for r in ran}}
    assert all(len(d) == 1 for d in devices_of.values()) and len(devices_of) >= 6, devices_of
    assert len({r["server"] for r in ran}) == 3
    for s in serials:
        spans = sorted((r["start"], r["end"]) for r in ran if r["serial"] == s)
        assert all(a[1] <= b[0] for a, b in zip(spans, spans[1:])), "two tests at once on " + s
    # The once-per-device hook ran once in each worker on its device, before its tests there.
    ready = [(r["ready"], r["worker"]) for r in records(folder, "ready-")]
    assert len(set(ready)) == len(ready) and {(r["serial"], r["worker"]) for r in ran} <= set(ready), ready

    # Reports: every test once; the device and its server as properties of every test that
    # used one; the failing test's own lines of its device's log, in the terminal and in JUnit.
    cases = junit_cases(folder)
    reported_once(out, cases)
    for name, (outcome, props, _, _) in cases.items():
        if "no_device" in name:
            assert props == {}
        else:
            assert props["hdc_serial"] in serials and props["hdc_server"].startswith("127.0.0.1:"), name
    outcome, props, _, system_out = cases["test_fails"]
    assert outcome == "failure"
    log = section(out, "device log %s (%s)" % (props["hdc_serial"], props["hdc_server"]))
    assert [line.split(": ", 1)[1] for line in log] == ["shell command: echo mine-1", "shell command: echo mine-2"]
    assert "\n".join(log) in system_out

    # The simulated farm is gone with the run.
    for server in {r["server"] for r in ran}:
        with pytest.raises(RuntimeError, match="Connection refused"):
            kelpie.HdcClient(server)


def test_a_device_lost_mid_run_fails_its_test_and_loses_no_test(tmp_path):
    folder = str(tmp_path)
    dead = free_address()
    with Simulator(devices=2) as one, Simulator(devices=1) as other:
        run = start_suite(folder, LOSING_SUITE, "-n", "auto", "--hdc-server", one.addr, "--hdc-server", dead,
                          "--hdc-server", other.addr, env={"VICTIM": "kelpie-sim-2"})
        ready = os.path.join(folder, "records", "ready")
        deadline = time.monotonic() + 120
        while run.poll() is None and not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.05)
        one.detach("kelpie-sim-2")
        status, out = finish(run)
    lost = "device kelpie-sim-2 on %s was lost: it is gone from list_targets" % one.addr
    assert status == 1, out
    # A server down at the start is named, and the run goes on with the others; the two
    # servers' devices of the same serial are told apart by their server.
    assert "ERROR: HDC server %s is unreachable: " % dead in out
    labels = ["kelpie-sim-1@" + one.addr, "kelpie-sim-2", "kelpie-sim-1@" + other.addr]
    cases = junit_cases(folder)
    expected = (["test_victim[%s]" % s for s in labels] + ["test_sharded[%d]" % i for i in range(12)] +
                ["test_every[%s]" % s for s in labels])
    assert sorted(cases) == sorted(expected), "every test is reported, once"
    assert cases["test_victim[kelpie-sim-2]"][0] == "failure"
    assert lost in out.split("test_victim[kelpie-sim-2]", 1)[1]
    assert cases["test_every[kelpie-sim-2]"][0] == "skipped"
    not_run = [name for name, case in cases.items() if case[0] == "skipped"]
    assert all(cases[n][2] == "not run: " + lost for n in not_run), cases
    assert [name for name, case in cases.items() if case[0] == "failure"] == ["test_victim[kelpie-sim-2]"]
    summary = out.split("= hdc farm =", 1)[1]
    assert "LOST: %s; %d test%s not run" % (lost, len(not_run), "" if len(not_run) == 1 else "s") in summary


def run_dying(folder, *args, sims, servers):
    """Runs DYING_SUITE on `sims` ({prefix: Simulator}) named as `servers`: (status, out,
    JUnit cases, the tests' records, seconds taken)."""
    env = {"SIM_PIDS": json.dumps({prefix: sim.pid for prefix, sim in sims.items()})}
    named = [arg for server in servers for arg in ("--hdc-server", server)]
    start = time.monotonic()
    status, out = finish(start_suite(folder, DYING_SUITE, "-v", *(named + list(args)), env=env))
    took = time.monotonic() - start
    cases = junit_cases(folder)
    reported_once(out, cases)
    assert sorted(cases) == sorted(["test_sabotage[%s]" % s for sim_prefix in sims for s in servers_serials(
        sims, sim_prefix)] + ["test_sharded[%d]" % i for i in range(12)] + ["test_no_device[%d]" % i for i in range(6)])
    return status, out, cases, records(folder), took


def servers_serials(sims, prefix):
    return ["%s%d" % (prefix, n) for n in range(1, sims[prefix].devices_at_start + 1)]


def lab(**devices):
    """Simulators started by hand, as a lab would have them: {prefix: Simulator}."""
    sims = {}
    for prefix, count in devices.items():
        sims[prefix + "-"] = Simulator(devices=count, serial_prefix=prefix + "-")
        sims[prefix + "-"].devices_at_start = count
    return sims


def test_servers_killed_and_stopped_cost_their_devices_and_deadlines_not_the_run(tmp_path):
    folder = str(tmp_path)
    sims = lab(a=2, b=2, c=1)
    try:
        a, b, c = sims["a-"], sims["b-"], sims["c-"]
        # Five devices, one server named twice; three workers, two spares. The test for a-1
        # kills a's server; the one for b-1 stops b's and hangs there.
        status, out, cases, ran, took = run_dying(folder, "-n", "3", "--hdc-timeout", "3", "--hdc-report",
                                                  os.path.join(folder, "run.html"), sims=sims, servers=[
            a.addr, "localhost:%d" % a.port, b.addr, c.addr])
    finally:
        for sim in sims.values():
            sim.stop()
    assert status == 1 and "hdc farm: 5 devices on 3 servers" in out, out
    # The hung test ends at its deadline, naming its device; its worker was ended and replaced.
    outcome, _, message, _ = cases["test_sabotage[b-1]"]
    told = ("test_suite.py::test_sabotage[b-1] ran past its deadline of 3 s (--hdc-timeout) on device b-1 on %s; "
            "worker gw" % b.addr)
    assert outcome == "failure" and told in message and told in out, cases["test_sabotage[b-1]"]
    hung = [r["pid"] for r in ran if r["test"].endswith("test_sabotage[b-1]")]
    assert hung and gone(hung) == set(hung)
    # Lost: both of the killed server's devices and the stopped server's; the tests went on
    # on the spare c-1, and only tests pinned to devices without a worker did not run.
    summary = out.split("= hdc farm =", 1)[1]
    with open(os.path.join(folder, "run.html"), encoding="utf-8") as f:
        lanes = json.loads(re.search(r'<script type="application/json" id="data">(.*?)</script>', f.read(),
                                     re.S).group(1))["devices"]
    for serial, server in (("a-1", a.addr), ("a-2", a.addr), ("b-1", b.addr)):
        lost = "device %s on %s was lost: its server is unreachable (" % (serial, server)
        assert "LOST: " + lost in summary
        # The timeline marks it LOST with that reason, also when no test was on it (a-2).
        assert [d["lost"] for d in lanes if d["label"] == serial][0].startswith(lost), lanes
    assert {r["serial"] for r in ran if "sharded" in r["test"]} & {"c-1"}, ran
    for name, (outcome, _, message, _) in cases.items():
        if "no_device" in name:
            assert outcome == "passed", (name, outcome, message)
        elif "sharded" in name:     # one may have been running on a-2 or b-2 when its server went
            went = ("device a-2 on %s" % a.addr, "device b-2 on %s" % b.addr)
            assert outcome == "passed" or any(d in message for d in went), (name, outcome, message, out)
        elif outcome == "skipped":
            assert message.startswith("not run: device "), message
    assert took < 60, "the run waited past its deadlines"


def test_every_leased_device_lost_with_no_spare_leaves_only_tests_without_a_device(tmp_path):
    folder = str(tmp_path)
    sims = lab(d=2)
    try:
        d = sims["d-"]
        # One server named twice: two devices, not four; -n 4 leaves two workers without one.
        # The test for d-1 stops the server and hangs; d-2 is found gone by the next look.
        status, out, cases, ran, took = run_dying(folder, "-n", "4", "--hdc-timeout", "3", sims=sims,
                                                  servers=[d.addr, "localhost:%d" % d.port])
    finally:
        d.stop()
    assert status == 1 and "hdc farm: 2 devices on 1 server" in out, out
    assert "ran past its deadline of 3 s (--hdc-timeout) on device d-1 on %s" % d.addr in cases["test_sabotage[d-1]"][2]
    summary = out.split("= hdc farm =", 1)[1]
    assert "LOST: device d-1 on %s was lost: its server is unreachable (no answer within 1 s)" % d.addr in summary
    # Workers without a device ran only tests without one; those all ran; every device test
    # either ran on a device, or is reported as not run, or was running on d-2 when the
    # server stopped and says so.
    assert all(r["serial"] is None for r in ran if r["worker"] in ("gw2", "gw3")), ran
    for name, (outcome, _, message, _) in cases.items():
        if "no_device" in name:
            assert outcome == "passed", (name, outcome, message)
        elif "sharded" in name:
            assert (outcome == "passed" or (outcome == "skipped" and message.startswith("not run: "))
                    or "device d-2 on %s" % d.addr in message), (name, outcome, message)
    assert any(case[0] == "skipped" for name, case in cases.items() if "sharded" in name), cases
    assert took < 60, "the run waited past its deadlines"


# The test says where it runs, stops its server (SIGSTOP) and waits on it for ever.
HUNG_SUITE = '''
import json, os, signal

def test_hangs(hdc_device):
    with open(os.path.join(os.environ["FARM_RECORDS"], "hung.tmp"), "w") as f:
        json.dump(dict(pid=os.getpid(), server=hdc_device.server), f)
    os.rename(os.path.join(os.environ["FARM_RECORDS"], "hung.tmp"), os.path.join(os.environ["FARM_RECORDS"], "hung"))
    os.kill(int(os.environ["SIM_PID"]), signal.SIGSTOP)
    hdc_device.client.shell("echo never answered")
'''


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_ctrl_c_and_sigterm_leave_no_worker_behind_on_a_hung_server(tmp_path, signum):
    folder = str(tmp_path)
    with Simulator(devices=1) as sim:
        run = start_suite(folder, HUNG_SUITE, "-n", "1", "--hdc-server", sim.addr, "--hdc-timeout", "120",
                          env={"SIM_PID": str(sim.pid)})
        told = os.path.join(folder, "records", "hung")
        deadline = time.monotonic() + 60
        while run.poll() is None and not os.path.exists(told) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.3)
        start = time.monotonic()
        run.send_signal(signum)         # to pytest alone, not to its workers
        status, out = finish(run)
        took = time.monotonic() - start
    with open(told) as f:
        worker = json.load(f)["pid"]
    assert status == 2 and "KeyboardInterrupt" in out, out
    assert gone([worker]) == {worker} and took < 10, (took, out)


# The fourth test ends its worker, and xdist starts no other (--max-worker-restart 0).
CRASH_SUITE = '''
import os, pytest

@pytest.mark.parametrize("i", range(16))
def test_sharded(hdc_device, i):
    hdc_device.client.shell("sleep 0.1")
    if i == 3 and os.environ.get("PYTEST_XDIST_WORKER"):
        os._exit(3)
'''


def test_in_the_cached_order_a_run_whose_worker_is_gone_reports_each_test_not_run_once(tmp_path):
    folder = str(tmp_path)
    for _ in range(2):      # the second run starts in the order of the durations the first kept
        status, out = finish(start_suite(folder, CRASH_SUITE, "-n", "2", "--hdc-sim", "2", "--max-worker-restart", "0",
                                         cache=True))
        assert status == 1 and "INTERNALERROR" not in out, out
    cases = junit_cases(folder)
    count = len([name for name, case in cases.items() if case[2].startswith("not run: ")])
    assert len(cases) == 16 and count, out
    assert "%d test%s not run: no device was left for them" % (count, "" if count == 1 else "s") in out, out


@pytest.mark.parametrize("args, error", [
    (["--hdc-strict", "--hdc-server", "{live}", "--hdc-server", "{dead}"],
     "ERROR: --hdc-strict: HDC server {dead} is unreachable: Connection refused"),
    (["-o", "hdc_strict=true", "--hdc-server", "{dead}", "--hdc-server", "{live}"],
     "ERROR: --hdc-strict: HDC server {dead} is unreachable: Connection refused"),
    (["--hdc-min-devices", "3", "--hdc-server", "{live}", "--hdc-server", "{dead}"],
     "ERROR: --hdc-min-devices 3: 2 found (kelpie-sim-1, kelpie-sim-2); HDC server {dead} is unreachable: "
     "Connection refused"),
])
def test_a_lab_short_of_what_the_run_asks_for_stops_before_the_first_test(tmp_path, args, error):
    dead = free_address()
    with Simulator(devices=2) as sim:
        args = [a.format(live=sim.addr, dead=dead) for a in args]
        status, out = finish(start_suite(str(tmp_path), SUITE, *args))
        assert sim.received() == ["list targets"], "the farm was looked at, not used"
    assert status == 4 and error.format(dead=dead) in out.splitlines(), out


def test_a_test_not_run_fails_the_run_even_when_none_failed(tmp_path):
    suite = "import pytest\n\n@pytest.mark.hdc_every_device\ndef test_every(hdc_device):\n    pass\n"
    with Simulator(devices=2) as sim:
        status, out = finish(start_suite(str(tmp_path), suite, "-n", "1", "--hdc-server", sim.addr))
    # One worker, two devices: kelpie-sim-2 is a spare, and its every-device test has no worker.
    assert status == 1 and re.search(r"^=+ 1 passed, 1 skipped in ", out, re.M), out
    assert ("SKIPPED [1] test_suite.py: not run: device kelpie-sim-2 has no worker "
            "(-n auto starts one worker a device)") in out
    assert "1 test for device kelpie-sim-2 not run: no worker held it" in out.split("= hdc farm =", 1)[1]


def test_a_simulator_started_by_hand_names_its_devices_and_loses_them_on_a_signal():
    with SimProcess(["--devices", "2", "--serial-prefix", "lab-"]) as sim:
        lister = kelpie.HdcClient(sim.addr)
        assert lister.list_targets() == ["lab-1", "lab-2"]
        seen = []
        for signum in (signal.SIGUSR1, signal.SIGUSR1, signal.SIGUSR2, signal.SIGUSR2, signal.SIGUSR2):
            os.kill(sim.pid, signum)
            before = seen[-1] if seen else None
            deadline = time.monotonic() + 10
            while lister.list_targets() == (before or ["lab-1", "lab-2"]) and time.monotonic() < deadline:
                time.sleep(0.02)
            seen.append(lister.list_targets())
    # Pulled last first; plugged back in the order they went; then a new one.
    assert seen == [["lab-1"], [], ["lab-2"], ["lab-2", "lab-1"], ["lab-2", "lab-1", "lab-3"]]


def test_without_xdist_every_test_runs_on_the_first_device(tmp_path):
    folder = str(tmp_path)
    status, out = finish(start_suite(folder, SUITE, "--hdc-sim", "2", conftest=CONFTEST))
    assert status == 1 and re.search(r"1 failed, 17 passed in ", out), out
    ran = records(folder)
    assert {r["serial"] for r in ran if "sharded" in r["test"]} == {"kelpie-sim-a1"}
    assert sorted(r["serial"] for r in ran if "every" in r["test"]) == ["kelpie-sim-a1", "kelpie-sim-b1"]
    assert sorted(r["ready"] for r in records(folder, "ready-")) == ["kelpie-sim-a1", "kelpie-sim-b1"]


def test_ctrl_c_stops_the_simulated_farm(tmp_path):
    folder = str(tmp_path)
    run = start_suite(folder, WAITING_SUITE, "--hdc-sim", "2")
    told = os.path.join(folder, "records", "server")
    deadline = time.monotonic() + 60
    while run.poll() is None and not os.path.exists(told) and time.monotonic() < deadline:
        time.sleep(0.05)
    run.send_signal(signal.SIGINT)
    status, out = finish(run)
    assert status == 2 and "KeyboardInterrupt" in out, out
    with open(told) as f:
        with pytest.raises(RuntimeError, match="Connection refused"):
            kelpie.HdcClient(f.read())


def test_a_farm_without_any_device_is_one_clear_error(tmp_path):
    dead = free_address()
    status, out = finish(start_suite(str(tmp_path), SUITE, "--hdc-server", dead))
    assert status == 4, out
    assert re.search(r"^ERROR: no HDC device to run on \(servers: %s\); HDC server %s is unreachable: .*refused"
                     % (dead, dead), out, re.M), out


@pytest.mark.parametrize("tail, now, since", [
    ("b\n", ["a", "b", "c", "d"], ["c", "d"]),
    ("", ["a"], ["a"]),                                       # an empty log at the start
    ("b\n", ["b", "c", "b", "x"], ["x"]),                    # the mark's last occurrence counts
    ("b\n", ["x", "y", "z"], ["x", "y", "z"]),               # the mark was pushed out of the ring buffer
])
def test_log_mark_keeps_only_the_lines_after_it(tail, now, since):
    assert LogMark(tail).since("".join(line + "\n" for line in now)) == since


class FakeNode:
    """What xdist's scheduling sees of a worker."""

    def __init__(self, name):
        self.gateway = type("Gateway", (), {"id": name})()
        self.sent, self.shutting_down = [], False

    def send_runtest_some(self, indices):
        self.sent += indices

    def shutdown(self):
        self.shutting_down = True


class FakeConfig:
    """What xdist's scheduling reads of the options: the workers, --maxschedchunk unset."""

    def __init__(self, workers):
        self.workers = workers

    def getvalue(self, name):
        return ["popen"] * self.workers

    def getoption(self, name, default=None):
        return default


def run_out(sched, nodes):
    """Completes every test as the workers would, first queued first; the tests each ran."""
    while sched.pending or any(sched.node2pending.values()):
        for node in nodes:
            if sched.node2pending[node]:
                sched.mark_test_complete(node, sched.node2pending[node][0], duration=0.5)


def test_the_longest_tests_are_dealt_round_the_workers_within_xdists_own_first_distribution():
    targets = [Target("dev-%d" % n, free_address(), "dev-%d" % n) for n in (1, 2, 3)]
    farm = Farm(targets)
    farm._holders.update(gw0=targets[0], gw1=targets[1], gw2=targets[2])
    tests = ["t.py::test_s[%d]" % i for i in range(24)]
    sched = DeviceScheduling(FakeConfig(3), None, farm, lambda: [""] * 24, None,
                             order=lambda collection: list(range(len(collection)))[::-1])
    nodes = [FakeNode("gw%d" % n) for n in range(3)]
    for node in nodes:
        sched.add_node(node)
        sched.add_node_collection(node, tests)
    sched.schedule()
    # xdist gave each worker two tests to start with; the longest go first, one a worker.
    assert [node.sent for node in nodes] == [[23, 20], [22, 19], [21, 18]]
    assert getattr(sched, "maxschedchunk", 24) == 24, "xdist's own set-up ran"
    run_out(sched, nodes)
    assert sorted(sum((node.sent for node in nodes), [])) == list(range(24))


def test_tests_go_only_where_they_can_run_and_none_waits_for_a_worker_that_will_not_come():
    targets = [Target("dev-%d" % n, free_address(), "dev-%d" % n) for n in (1, 2, 3)]
    farm = Farm(targets)
    farm._holders.update(gw0=targets[0], gw1=targets[1])        # dev-3 is a spare; gw2 holds none
    config = FakeConfig(3)
    # The pinned tests, then tests using the worker's device, then tests using none.
    tests = ["t.py::test_e[dev-3]", "t.py::test_e[dev-2]", "t.py::test_e[dev-1]"] + [
        "t.py::test_s[%d]" % i for i in range(6)] + ["t.py::test_n[%d]" % i for i in range(3)]
    needs = ["dev-3", "dev-2", "dev-1"] + [""] * 6 + [None] * 3
    not_run = []
    sched = DeviceScheduling(config, None, farm, lambda: needs, lambda *a: not_run.append(a[:2]))
    one, two, none = FakeNode("gw0"), FakeNode("gw1"), FakeNode("gw2")
    for node in (one, two, none):
        sched.add_node(node)
        sched.add_node_collection(node, tests)
    sched.schedule()
    assert not_run == [("t.py::test_e[dev-3]", "dev-3")]
    assert 1 not in one.sent and 2 not in two.sent and set(none.sent) <= {9, 10, 11}

    # gw1 loses its device with no spare: the device tests queued on it go to gw0, and its
    # pinned test does not run.
    farm.fail_over("gw1", "dev-2", "device dev-2 on h:1 was lost")
    queued = list(sched.node2pending[two])
    sched.lose(two, "dev-2", None, True)
    back = [i for i in queued[1:] if needs[i] == ""]
    assert back and all(i in sched.pending or i in one.sent for i in back)
    run_out(sched, (one, two, none))
    ran = collections.Counter(one.sent + none.sent + [i for i in two.sent if i not in back])
    assert sorted(ran) == list(range(1, 12)) and set(ran.values()) == {1}
    assert set(none.sent) <= {9, 10, 11}
    assert one.shutting_down and two.shutting_down and none.shutting_down


@pytest.mark.parametrize("spare", [True, False], ids=["a-free-device", "once-a-worker-finishes"])
def test_tests_handed_back_after_the_other_workers_were_told_to_finish_wait_for_a_new_worker(spare):
    targets = [Target("dev-%d" % n, free_address(), "dev-%d" % n) for n in (1, 2, 3)[:3 if spare else 2]]
    farm = Farm(targets)
    farm._holders.update(gw0=targets[0], gw1=targets[1])
    needs = [""] * 6
    not_run, started = [], []
    sched = DeviceScheduling(FakeConfig(2), None, farm, lambda: needs, lambda *a: not_run.append(a[:2]),
                             start_worker=lambda label: started.append(label) or True)
    one, two = FakeNode("gw0"), FakeNode("gw1")
    for node in (one, two):
        sched.add_node(node)
        sched.add_node_collection(node, ["t.py::test_%d" % i for i in range(6)])
    sched.schedule()
    while len(sched.node2pending[one]) > 1:
        sched.mark_test_complete(one, sched.node2pending[one][0])
    assert not sched.pending and one.shutting_down and len(sched.node2pending[two]) > 1
    # gw1 finds its device lost between two tests, with no spare: its queued tests come back
    # when the only other worker has been told to finish. They wait for a worker of their own.
    farm.lose("dev-2", "device dev-2 on h:1 was lost")
    del farm._holders["gw1"]
    back = list(sched.node2pending[two])
    sched.post_loss(two, "dev-2", None, False)
    sched.mark_test_complete(one, sched.node2pending[one][0])
    if not spare:
        assert not started and not not_run     # dev-1 is still gw0's
        del farm._holders["gw0"]
        sched.remove_node(one)
    assert started == ["dev-3" if spare else "dev-1"] and not not_run and sorted(sched.pending) == sorted(back)
    new = FakeNode("gw2")
    farm._holders["gw2"] = targets[2 if spare else 0]
    sched.add_node(new)
    sched.add_node_collection(new, ["t.py::test_%d" % i for i in range(6)])
    sched.schedule()
    for index in list(sched.node2pending[two]):
        sched.mark_test_complete(two, index)
    run_out(sched, [new])
    assert sorted(new.sent) == sorted(back) and not not_run and sched.tests_finished


def test_the_simulated_shell_sleeps_and_logs_each_command_line(hdc_sim):
    client = kelpie.HdcClient(hdc_sim.addr)
    assert client.shell("echo a; sleep 0.05; echo b") == "a\nb\n"
    assert client.shell("sleep soon") == "sleep: invalid number 'soon'\n"
    assert client.shell("sleep 1 2") == "sleep: Needs 1 argument\n"
    log = client.hilog("-x -T hdcd").splitlines()[-3:]
    assert [line.split(" I C015A0/hdcd: ")[1] for line in log] == [
        "shell command: echo a; sleep 0.05; echo b", "shell command: sleep soon", "shell command: sleep 1 2"]


@pytest.mark.parametrize("spare", [None, "dev-4"])
def test_a_worker_whose_device_cannot_serve_its_tests_for_a_list_of_devices_gives_them_back(spare):
    targets = [Target("dev-%d" % n, free_address(), "dev-%d" % n) for n in (1, 2, 3, 4)]
    farm = Farm(targets)
    farm._holders.update(gw0=targets[0], gw1=targets[1], gw2=targets[2])
    # Two tests for any device, twelve for dev-2 or dev-3 (an hdc_require test).
    needs = ["", ""] + [["dev-2", "dev-3"]] * 12
    not_run = []
    sched = DeviceScheduling(FakeConfig(3), None, farm, lambda: needs, lambda *a: not_run.append(a[:2]))
    nodes = [FakeNode("gw%d" % n) for n in range(3)]
    for node in nodes:
        sched.add_node(node)
        sched.add_node_collection(node, ["t.py::test_%d" % i for i in range(len(needs))])
    sched.schedule()
    queued = list(sched.node2pending[nodes[1]])
    assert queued and all(isinstance(needs[i], list) for i in queued)
    # gw1 loses dev-2 between two tests, with no spare or one its queued tests may not use:
    # it passes them by.
    farm.lose("dev-2", "device dev-2 on h:1 was lost")
    del farm._holders["gw1"]
    if spare:
        farm._holders["gw1"] = targets[3]
    sched.post_loss(nodes[1], "dev-2", farm.held_by("gw1"), False)
    run_out(sched, nodes)
    ran = nodes[0].sent + nodes[2].sent + [i for i in nodes[1].sent if i not in queued]
    assert sorted(ran) == list(range(len(needs))) and not not_run
    assert set(queued) <= set(nodes[2].sent), "only gw2 holds a device they may use"


class LinkEnds:
    """The two ends of a farm link, joined in this process: what the worker sends is
    received on its sending thread, as execnet's one receiving thread would."""

    def __init__(self, farm):
        self.to_worker = queue.Queue()
        self.told = []      # what the scheduler is told: (label, spare, during)
        ends = self

        class Channel:
            def setcallback(self, callback, endmarker=None):
                ends.receive = callback

            def send(self, message):
                ends.to_worker.put(message)

            def receive(self, timeout):
                try:
                    return ends.to_worker.get(timeout=timeout)
                except queue.Empty:
                    raise TimeoutError("no answer") from None

        gateway = type("Gateway", (), {"id": "gw0", "newchannel": lambda self: Channel()})()
        node = type("Node", (), {"gateway": gateway})()
        watchdog = type("Watchdog", (), {"extend": lambda *a: None, "started": lambda *a: None,
                                         "finished": lambda *a: None})()
        self.controller = link.ControllerLink(node, farm, watchdog, None, None,
                                              lambda node, label, spare, during: self.told.append((label, spare, during)))
        worker = link.WorkerLink(Channel())
        worker.channel.send = lambda message: ends.receive(message)
        self.worker = worker


class SlowFarm:
    """A farm whose search for a spare ends when the test says."""

    def __init__(self, spares):
        self.spares, self.found, self.released = list(spares), threading.Event(), []

    def lose(self, label, message):
        pass

    def fail_over(self, worker, label, message, deadline=None):
        self.found.wait(10)
        return self.spares.pop(0)

    def release_spare(self, worker, spare):
        self.released.append(spare)


def test_a_spare_searched_for_too_long_is_given_back_and_never_taken_for_a_later_answer(monkeypatch):
    monkeypatch.setattr(link, "ANSWER_WAIT", 0.3)
    spare, later = Target("dev-2", "h:1", "dev-2"), Target("dev-3", "h:1", "dev-3")
    farm = SlowFarm([spare, later])
    ends = LinkEnds(farm)
    answers = []
    asking = threading.Thread(target=lambda: answers.append(ends.worker.spare_for("dev-1", "lost", False)))
    asking.start()
    asking.join(5)
    # The search holds up neither the receiving thread nor the worker past its wait.
    assert not asking.is_alive() and answers == [None]
    assert ends.told == [("dev-1", None, False)], "the scheduler hears the worker has no device"
    farm.found.set()            # the spare is found after the worker gave up: it is free again
    deadline = time.monotonic() + 5
    while not farm.released and time.monotonic() < deadline:
        time.sleep(0.01)
    assert farm.released == [spare] and ends.told == [("dev-1", None, False)]
    # An answer to the first request, however late, is not the second's.
    ends.to_worker.put(("spare", 1, list(spare)))
    assert ends.worker.spare_for("dev-1", "lost", False) == later
    assert ends.told[-1] == ("dev-1", later, False)


def test_a_test_no_worker_took_is_reported_at_the_end_and_counted_once():
    config = types.SimpleNamespace(stash=pytest.Stash(), getini=lambda name: None)
    reporter = FarmReporter(config)
    config.hook = types.SimpleNamespace(pytest_runtest_logreport=reporter.pytest_runtest_logreport)
    farm = config.stash[FARM] = Farm([])
    config.stash[CONTROLLER] = types.SimpleNamespace(
        sched=types.SimpleNamespace(collection=["t.py::test_a", "t.py::test_b"]), processes={},
        watchdog=types.SimpleNamespace(stop=lambda: None))
    reporter.reported.add("t.py::test_a")
    session = types.SimpleNamespace(exitstatus=pytest.ExitCode.OK)
    reporter.pytest_sessionfinish(session, pytest.ExitCode.OK)
    assert reporter.reported == {"t.py::test_a", "t.py::test_b"} and farm.not_run[None] == 1
    assert session.exitstatus == pytest.ExitCode.TESTS_FAILED
