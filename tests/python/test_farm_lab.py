"""The farm in a lab, end to end on simulated farms: what a run reports of a test ended at its
deadline, of an interrupted run, of text that is not UTF-8, and two runs against one farm
(each device one run's at a time). Helpers as in test_farm.py."""

import gc
import json
import os
import re
import signal
import socket
import time
import warnings
import xml.etree.ElementTree as ET

import pytest

from kelpie_farm.device_locks import lock_path
from kelpie_farm.farm import Farm
from kelpie_farm.probe import Prober, _probe_error
from kelpie_farm.targets import Target, discover
from test_farm import finish, junit_cases, records, start_suite


def timeline_data(path):
    with open(path, encoding="utf-8") as f:
        page = f.read()
    return json.loads(re.search(r'<script type="application/json" id="data">(.*?)</script>', page, re.S).group(1))


def wait_for(path, run, seconds=120):
    deadline = time.monotonic() + seconds
    while run.poll() is None and not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert os.path.exists(path), run.communicate(timeout=60)[0] if run.poll() is not None else path


# The test for kelpie-sim-b1 hangs past the deadline after a shell command; the device is
# healthy, and its every-device test after that waits for it.
DEADLINE_SUITE = '''
import os, time
import pytest

@pytest.mark.hdc_every_device
def test_hangs(hdc_device):
    hdc_device.client.shell("echo before the hang")
    if hdc_device.serial == "kelpie-sim-b1":
        time.sleep(60)

@pytest.mark.hdc_every_device
def test_after(hdc_device):
    hdc_device.client.shell("echo after")
'''


def test_a_test_ended_at_its_deadline_fails_in_its_call_with_its_time_and_log_and_its_device_goes_on(tmp_path):
    folder = str(tmp_path)
    report = os.path.join(folder, "run.html")
    status, out = finish(start_suite(folder, DEADLINE_SUITE, "-n", "auto", "--hdc-sim", "2", "--hdc-timeout", "3",
                                     "--hdc-report", report, "-o", "junit_logging=system-out"))
    assert "INTERNALERROR" not in out, out
    # The new worker took the late test's device, which answers: its other test ran there.
    assert status == 1 and re.search(r"^=+ 1 failed, 3 passed in ", out, re.M), out
    hung = "test_hangs[kelpie-sim-b1]"
    cases = junit_cases(folder)
    outcome, props, message, system_out = cases[hung]
    assert outcome == "failure" and "ran past its deadline of 3 s (--hdc-timeout) on device kelpie-sim-b1" in message
    assert props["hdc_serial"] == "kelpie-sim-b1" and cases["test_after[kelpie-sim-b1]"][0] == "passed"
    assert "shell command: echo before the hang" in system_out, system_out
    took = {c.get("name"): float(c.get("time")) for c in ET.parse(os.path.join(folder, "junit.xml")).iter("testcase")}
    assert 2.5 <= took[hung] < 10, took      # the deadline counts from when the controller heard of the start
    attempt = [a for a in timeline_data(report)["attempts"] if a["test"].endswith(hung)]
    assert len(attempt) == 1 and attempt[0]["outcome"] == "failed", attempt
    assert 2.5 <= attempt[0]["end"] - attempt[0]["start"] < 10 and "echo before the hang" in attempt[0]["log"]


# Both workers wait in their test until the run is interrupted; the other tests never start.
WAITING_SUITE = '''
import os, time
import pytest

@pytest.mark.hdc_every_device
def test_waits(hdc_device):
    open(os.path.join(os.environ["FARM_RECORDS"], "waiting-" + hdc_device.serial), "w").close()
    time.sleep(60)

@pytest.mark.parametrize("i", range(4))
def test_later(hdc_device, i):
    pass
'''


def test_an_interrupted_run_is_recorded_so_and_its_tests_cut_off_are_not_passed(tmp_path):
    folder = str(tmp_path)
    report = os.path.join(folder, "run.html")
    run = start_suite(folder, WAITING_SUITE, "-n", "2", "--hdc-sim", "2", "--hdc-report", report)
    for serial in ("kelpie-sim-a1", "kelpie-sim-b1"):
        wait_for(os.path.join(folder, "records", "waiting-" + serial), run)
    time.sleep(0.3)
    run.send_signal(signal.SIGINT)
    status, out = finish(run)
    assert status == 2 and "INTERNALERROR" not in out, out
    data = timeline_data(report)
    assert data["status"] == "interrupted"
    waits = [a for a in data["attempts"] if "test_waits" in a["test"]]
    assert [a["outcome"] for a in waits] == ["interrupted"] * 2, waits
    assert data["totals"] == dict(data["totals"], tests=6, passed=0, failed=0, interrupted=2, **{"not run": 4})


# A failure message with a lone surrogate, as os.fsdecode makes of a file name's stray byte.
NOT_UTF8_SUITE = '''
import os

def test_names_a_file(hdc_device):
    assert False, "no such file: " + os.fsdecode(b"photo-\\xff.jpg")

def test_passes(hdc_device):
    pass
'''


@pytest.mark.parametrize("args", [["-n", "2", "--hdc-sim", "2"], ["--hdc-sim", "1"]], ids=["xdist", "one-process"])
def test_a_failure_text_that_is_not_utf8_is_reported_escaped(tmp_path, args):
    folder = str(tmp_path)
    report = os.path.join(folder, "run.html")
    status, out = finish(start_suite(folder, NOT_UTF8_SUITE, "--hdc-report", report, *args))
    assert status == 1 and "INTERNALERROR" not in out and re.search(r"^=+ 1 failed, 1 passed in ", out, re.M), out
    outcome, _, message, _ = junit_cases(folder)["test_names_a_file"]
    assert outcome == "failure" and "no such file: photo-" in message, message
    attempt = [a for a in timeline_data(report)["attempts"] if a["test"].endswith("test_names_a_file")][0]
    assert re.search(r"no such file: photo-(\\udcff|\udcff)\.jpg", attempt["message"]), attempt


# The first run holds kelpie-sim-1 until the harness lets it go.
HOLDING_SUITE = '''
import json, os, time

def test_holds(hdc_device):
    shared = os.environ["SHARED"]
    open(os.path.join(shared, "holding"), "w").close()
    deadline = time.monotonic() + 60
    while not os.path.exists(os.path.join(shared, "release")) and time.monotonic() < deadline:
        time.sleep(0.05)
    with open(os.path.join(shared, "released"), "w") as f:
        f.write(repr(time.time()))
'''

RECORDING_SUITE = '''
import json, os, time
import pytest

@pytest.mark.parametrize("i", range(4))
def test_records(hdc_device, i):
    with open(os.path.join(os.environ["FARM_RECORDS"], "%d-%d.json" % (os.getpid(), time.monotonic_ns())), "w") as f:
        json.dump(dict(test="records", serial=hdc_device.serial, start=time.time()), f)
'''


def holds_open(pid, path):
    """Whether the process has the file open (a run waiting for a device tries its lock file)."""
    try:
        return any(os.readlink("/proc/%d/fd/%s" % (pid, fd)) == path for fd in os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return False


def test_two_runs_never_share_a_device_the_second_takes_the_free_ones_or_waits(tmp_path, monkeypatch):
    from kelpie_sim import Simulator

    shared = str(tmp_path / "shared")
    os.makedirs(shared)
    env = {"SHARED": shared, "XDG_CACHE_HOME": str(tmp_path / "cache"), "PYTHONWARNINGS": "always::ResourceWarning"}
    folders = [str(tmp_path / name) for name in ("first", "second", "late", "waiting")]
    for folder in folders:
        os.makedirs(folder)
    with Simulator(devices=2) as sim:
        first = start_suite(folders[0], HOLDING_SUITE, "--hdc-server", sim.addr, "--hdc-device", "kelpie-sim-1",
                            env=env)
        wait_for(os.path.join(shared, "holding"), first)
        # The second run takes the device left; its header names the one in use.
        status, out = finish(start_suite(folders[1], RECORDING_SUITE, "-n", "auto", "--hdc-server", sim.addr,
                                         env=env))
        assert status == 0, out
        assert "hdc farm: left out, in use by another run: kelpie-sim-1 (%s)" % sim.addr in out, out
        assert {r["serial"] for r in records(folders[1])} == {"kelpie-sim-2"}
        assert "ResourceWarning: unclosed <socket" not in out, out
        # With every device it may use held, a run waits up to its deadline...
        status, out = finish(start_suite(folders[2], RECORDING_SUITE, "--hdc-server", sim.addr, "--hdc-device",
                                         "kelpie-sim-1", "--hdc-timeout", "1", env=env))
        assert status == 4 and "every device is in use by another run: kelpie-sim-1 (waited 1 s" in out, out
        # ... and takes the device once the other run has let it go.
        waiting = start_suite(folders[3], RECORDING_SUITE, "--hdc-server", sim.addr, "--hdc-device", "kelpie-sim-1",
                              "--hdc-timeout", "60", env=env)
        monkeypatch.setenv("XDG_CACHE_HOME", env["XDG_CACHE_HOME"])
        lock = lock_path(Target("kelpie-sim-1", sim.addr, "kelpie-sim-1"))
        deadline = time.monotonic() + 60
        while not holds_open(waiting.pid, lock) and waiting.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)
        open(os.path.join(shared, "release"), "w").close()
        status, out = finish(waiting)
        assert status == 0 and re.search(r"^hdc farm: waited \d+(\.\d)? s for a device another run held$", out, re.M), out
        assert "hdc farm: in use by another run: kelpie-sim-1; waiting up to 60 s (--hdc-timeout)" in out, out
        assert finish(first)[0] == 0
    with open(os.path.join(shared, "released")) as f:
        released = float(f.read())
    ran = records(folders[3])
    assert len(ran) == 4 and {r["serial"] for r in ran} == {"kelpie-sim-1"} and min(r["start"] for r in ran) > released


def test_looks_at_a_server_leave_no_socket_open(hdc_sim):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        assert discover([hdc_sim.addr], timeout=5)[0]
        prober = Prober(hdc_sim.addr)
        with prober._lock:      # a second caller while a look is under way looks on its own
            assert prober.list_targets(5) == ["kelpie-sim-1"]
        del prober
        for _ in range(3):
            gc.collect()
    unclosed = [str(w.message) for w in seen if issubclass(w.category, ResourceWarning) and "socket" in str(w.message)]
    assert not unclosed, unclosed


def test_the_summary_and_the_looks_read_plainly():
    farm = Farm([])
    farm.lose("HX1", "device HX1 on h:1 was lost: it is gone from list_targets")
    assert farm.summary() == ["LOST: device HX1 on h:1 was lost: it is gone from list_targets"]
    assert [str(_probe_error(socket.timeout(), t)) for t in (10 / 3, 1.0, 0.5)] == [
        "no answer within 3.3 s", "no answer within 1 s", "no answer within 0.5 s"]
