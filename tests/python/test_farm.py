"""The farm plugin, end to end: pytest, in a process of its own and with pytest-xdist, runs
a small device suite on simulated farms; the suite's tests record where they ran. Each run
proves several things at once, because a run of six PyPy workers takes seconds to start.
The simulated shell's part (its sleep, its log of command lines) is tested here too."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import pytest

import kelpie
from kelpie_farm.devicelog import LogMark
from kelpie_farm.scheduling import DeviceScheduling, pin_of
from kelpie_sim import Simulator

# Every test writes where and when it ran; the sleep keeps workers busy side by side.
SUITE = '''
import json, os, time
import pytest

def record(device, request):
    start = time.time()
    device.client.shell("sleep 0.1")
    name = os.path.join(os.environ["FARM_RECORDS"], "%d-%s.json" % (os.getpid(), time.monotonic_ns()))
    with open(name, "w") as f:
        json.dump(dict(test=request.node.nodeid, worker=os.environ.get("PYTEST_XDIST_WORKER"),
                       serial=device.serial, server=device.server, start=start, end=time.time()), f)

@pytest.mark.parametrize("i", range(12))
def test_sharded(hdc_device, request, i):
    record(hdc_device, request)

@pytest.mark.hdc_every_device
def test_every(hdc_device, request):
    record(hdc_device, request)

def test_fails(hdc_client):
    hdc_client.shell("echo mine-1")
    hdc_client.shell("echo mine-2")
    assert False
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


def start_suite(folder, text, *args, env=None):
    with open(os.path.join(folder, "test_suite.py"), "w") as f:
        f.write(text)
    records = os.path.join(folder, "records")
    os.makedirs(records, exist_ok=True)
    env = dict(os.environ, FARM_RECORDS=records, **(env or {}))
    # Ctrl-C must reach pytest as KeyboardInterrupt, even when this suite runs with it ignored.
    return subprocess.Popen([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-rs",
                             "--junitxml", os.path.join(folder, "junit.xml")] + list(args),
                            cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def finish(run):
    out = run.communicate(timeout=240)[0]
    return run.returncode, out


def records(folder):
    found = []
    for name in os.listdir(os.path.join(folder, "records")):
        if name.endswith(".json"):
            with open(os.path.join(folder, "records", name)) as f:
                found.append(json.load(f))
    return found


def junit_cases(folder):
    """{test name: (outcome, {property: value}, message)}"""
    cases = {}
    for case in ET.parse(os.path.join(folder, "junit.xml")).iter("testcase"):
        outcome, message = "passed", ""
        for kind in ("failure", "error", "skipped"):
            node = case.find(kind)
            if node is not None:
                outcome, message = kind, node.get("message", "")
        props = {p.get("name"): p.get("value") for p in case.iter("property")}
        assert case.get("name") not in cases, "reported twice: " + case.get("name")
        cases[case.get("name")] = (outcome, props, message)
    return cases


def section(out, title_start):
    """The lines of the report section whose title starts with `title_start`."""
    m = re.search(r"^-+ %s[^\n]*-+\n(.*?)(?=^[=_-]+ )" % re.escape(title_start), out, re.M | re.S)
    assert m, out
    return m.group(1).splitlines()


def free_address():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return "127.0.0.1:%d" % s.getsockname()[1]


def test_a_farm_run_gives_each_worker_a_device_and_a_failing_test_its_own_log(tmp_path):
    folder = str(tmp_path)
    status, out = finish(start_suite(folder, SUITE, "-n", "auto", "--hdc-sim", "6"))
    assert status == 1 and re.search(r"1 failed, 18 passed in ", out), out
    ran = records(folder)
    serials = ["kelpie-sim-%d" % n for n in range(1, 7)]

    # Every test ran exactly once; the every-device test once on each device, named in its id.
    assert sorted(r["test"] for r in ran) == sorted(
        ["test_suite.py::test_sharded[%d]" % i for i in range(12)] +
        ["test_suite.py::test_every[%s]" % s for s in serials])
    assert all(r["test"].endswith("[%s]" % r["serial"]) for r in ran if "test_every" in r["test"])
    # One worker a device (-n auto), no device shared, over three servers.
    workers_of = {s: {r["worker"] for r in ran if r["serial"] == s} for s in serials}
    assert all(len(w) == 1 for w in workers_of.values()), workers_of
    assert len(set.union(*workers_of.values())) == 6
    assert len({r["server"] for r in ran}) == 3
    for s in serials:
        spans = sorted((r["start"], r["end"]) for r in ran if r["serial"] == s)
        assert all(a[1] <= b[0] for a, b in zip(spans, spans[1:])), "two tests at once on " + s

    # The failing test: its device's lines from its own time, its serial in the JUnit XML.
    cases = junit_cases(folder)
    outcome, props, _ = cases["test_fails"]
    assert outcome == "failure" and props["hdc_serial"] in serials
    log = section(out, "device log %s (" % props["hdc_serial"])
    assert [line.split(": ", 1)[1] for line in log] == ["shell command: echo mine-1", "shell command: echo mine-2"]
    assert [name for name, (_, p, _) in cases.items() if p] == ["test_fails"], "passing tests add nothing"

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
    not_run = [name for name, (outcome, _, message) in cases.items() if outcome == "skipped"]
    assert all(cases[n][2] == "not run: " + lost for n in not_run), cases
    assert [name for name, (outcome, _, _) in cases.items() if outcome == "failure"] == ["test_victim[kelpie-sim-2]"]
    summary = out.split("= hdc farm =", 1)[1]
    assert "LOST: %s; %d test%s not run" % (lost, len(not_run), "" if len(not_run) == 1 else "s") in summary


def test_without_xdist_every_test_runs_on_the_first_device(tmp_path):
    folder = str(tmp_path)
    status, out = finish(start_suite(folder, SUITE, "--hdc-sim", "2"))
    assert status == 1 and re.search(r"1 failed, 14 passed in ", out), out
    ran = records(folder)
    assert {r["serial"] for r in ran if "sharded" in r["test"]} == {"kelpie-sim-1"}
    assert sorted(r["serial"] for r in ran if "every" in r["test"]) == ["kelpie-sim-1", "kelpie-sim-2"]


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


@pytest.mark.parametrize("before, now, since", [
    (["a", "b"], ["a", "b", "c", "d"], ["c", "d"]),
    ([], ["a"], ["a"]),
    (["a", "b", "c"], ["b", "c", "x"], ["x"]),              # a full ring buffer: its oldest lines went
    (["a", "b"], ["x", "y", "z"], ["x", "y", "z"]),         # the start itself was pushed out
])
def test_log_mark_keeps_only_the_lines_after_it(before, now, since):
    mark = LogMark("".join(line + "\n" for line in before))
    assert mark.since("".join(line + "\n" for line in now)) == since


@pytest.mark.parametrize("nodeid, pin", [
    ("t.py::test_x[dev-1]", "dev-1"),
    ("t.py::test_x[dev-12]", "dev-12"),                      # the longer label wins
    ("t.py::test_x[3-dev-1]", "dev-1"),                      # beside other parameters
    ("t.py::test_x[dev-1-3]", "dev-1"),
    ("t.py::test_x[a-dev-12-b]", "dev-12"),
    ("t.py::test_x[dev-2]", None),
    ("t.py::test_x", None),
])
def test_every_device_tests_are_pinned_by_the_label_in_their_id(nodeid, pin):
    assert pin_of(nodeid, ["dev-12", "dev-1"]) == pin


class FakeNode:
    """What xdist's scheduling sees of a worker."""

    def __init__(self, name, label):
        self.gateway = type("Gateway", (), {"id": name})()
        self.workerinput = {"hdc_target": ["serial", "server", label]}
        self.sent, self.shutting_down = [], False

    def send_runtest_some(self, indices):
        self.sent += indices

    def shutdown(self):
        self.shutting_down = True


def test_pinned_tests_go_to_their_device_and_none_wait_for_a_device_without_worker():
    config = type("Config", (), {"getvalue": lambda self, name: ["popen", "popen"]})()
    not_run = []
    sched = DeviceScheduling(config, None, ["dev-1", "dev-2", "dev-3"], lambda *a: not_run.append(a[:2]))
    one, two = FakeNode("gw0", "dev-1"), FakeNode("gw1", "dev-2")
    tests = ["t.py::test_e[dev-3]", "t.py::test_e[dev-2]", "t.py::test_e[dev-1]"] + ["t.py::test_s[%d]" % i
                                                                                      for i in range(9)]
    for node in (one, two):
        sched.add_node(node)
        sched.add_node_collection(node, tests)
    sched.schedule()
    assert not_run == [("t.py::test_e[dev-3]", "dev-3")]
    assert 1 not in one.sent and 2 not in two.sent and 0 not in one.sent + two.sent
    while sched.pending or any(sched.node2pending.values()):
        for node in (one, two):
            if sched.node2pending[node]:
                sched.mark_test_complete(node, sched.node2pending[node][0], duration=0.5)
    assert sorted(one.sent + two.sent) == list(range(1, 12)) and one.shutting_down and two.shutting_down


def test_the_simulated_shell_sleeps_and_logs_each_command_line(hdc_sim):
    client = kelpie.HdcClient(hdc_sim.addr)
    assert client.shell("echo a; sleep 0.05; echo b") == "a\nb\n"
    assert client.shell("sleep soon") == "sleep: invalid number 'soon'\n"
    assert client.shell("sleep 1 2") == "sleep: Needs 1 argument\n"
    log = client.hilog("-x -T hdcd").splitlines()[-3:]
    assert [line.split(" I C015A0/hdcd: ")[1] for line in log] == [
        "shell command: echo a; sleep 0.05; echo b", "shell command: sleep soon", "shell command: sleep 1 2"]
