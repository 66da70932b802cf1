"""The farm in a lab, end to end on simulated farms: what a run reports of a test ended at its
deadline, of an interrupted run, of text that is not UTF-8, and two runs against one farm
(each device one run's at a time); then what a lab reaches for next: shards across CI jobs,
the durations file that travels between checkouts, the retry budget, per-test deadlines, the
run as JSON, and evidence brought back from a failing test's device. pytest runs a small
suite in a process of its own; its tests record where and when they ran (helpers as in
test_farm.py)."""

import gc
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import warnings
import xml.etree.ElementTree as ET

import pytest

import test_farm
from kelpie_farm.artifacts import Gathering
from kelpie_farm.device_locks import lock_path
from kelpie_farm.durations import DurationsFile
from kelpie_farm.farm import Farm
from kelpie_farm.probe import Prober, _probe_error
from kelpie_farm.retries import RetryBook
from kelpie_farm.shards import split, weights
from kelpie_farm.targets import Target, discover
from test_farm import finish, start_suite


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
LATE_SUITE = '''
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
    status, out = finish(start_suite(folder, LATE_SUITE, "-n", "auto", "--hdc-sim", "2", "--hdc-timeout", "3",
                                     "--hdc-report", report, "-o", "junit_logging=system-out"))
    assert "INTERNALERROR" not in out, out
    # The new worker took the late test's device, which answers: its other test ran there.
    assert status == 1 and re.search(r"^=+ 1 failed, 3 passed in ", out, re.M), out
    hung = "test_hangs[kelpie-sim-b1]"
    cases = test_farm.junit_cases(folder)
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
    outcome, _, message, _ = test_farm.junit_cases(folder)["test_names_a_file"]
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
        assert {r["serial"] for r in test_farm.records(folders[1])} == {"kelpie-sim-2"}
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
    ran = test_farm.records(folders[3])
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


# --- what a lab reaches for next: a suite run to its end in a process of its own -----------

RECORD = '''
import json, os, time

def record(name, serial=None, **more):
    path = os.path.join(os.environ["FARM_RECORDS"], "%d-%d.json" % (os.getpid(), time.monotonic_ns()))
    with open(path, "w") as f:
        json.dump(dict(test=name, serial=serial, start=time.time(), **more), f)
'''

SHARD_SUITE = RECORD + '''
import pytest

@pytest.mark.parametrize("i", range(9))
def test_plain(hdc_device, i):
    record("plain-%d" % i, hdc_device.serial)

@pytest.mark.hdc_every_device
def test_every(hdc_device):
    record("every", hdc_device.serial)

def test_no_device():
    record("no-device")
'''

# Two long tests collected last; the order starts them first once their durations are known.
DURATION_SUITE = RECORD + '''
import pytest

@pytest.mark.parametrize("i", range(4))
def test_short(hdc_device, i):
    record("short-%d" % i, hdc_device.serial)

@pytest.mark.parametrize("i", range(2))
def test_long(hdc_device, i):
    record("long-%d" % i, hdc_device.serial)
    hdc_device.client.shell("sleep 0.6")
'''


def run_suite(folder, text, *args, timeout=240):
    with open(os.path.join(folder, "test_suite.py"), "w") as f:
        f.write(text)
    records = os.path.join(folder, "records")
    shutil.rmtree(records, ignore_errors=True)
    os.makedirs(records)
    command = [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-rs", "--junitxml",
               os.path.join(folder, "junit.xml")] + list(args)
    env = dict(os.environ, FARM_RECORDS=records, XDG_CACHE_HOME=os.path.join(folder, "cache"))
    run = subprocess.run(command, cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, timeout=timeout)
    return run.returncode, run.stdout


def records(folder):
    found = []
    for name in os.listdir(os.path.join(folder, "records")):
        if name.endswith(".json"):
            with open(os.path.join(folder, "records", name)) as f:
                found.append(json.load(f))
    return sorted(found, key=lambda r: r["start"])


def junit_cases(folder):
    """{test name: (outcome, system-out)}"""
    cases = {}
    for case in ET.parse(os.path.join(folder, "junit.xml")).iter("testcase"):
        outcome = next((kind for kind in ("failure", "error", "skipped") if case.find(kind) is not None), "passed")
        cases[case.get("name")] = (outcome, "".join(node.text or "" for node in case.iter("system-out")))
    return cases


# --- shards -------------------------------------------------------------------------------------

@pytest.mark.parametrize("xdist", [["-n", "2"], []], ids=["xdist", "no-xdist"])
def test_two_shards_together_run_every_test_once(tmp_path, xdist):
    ran = []
    for shard in ("1/2", "2/2"):
        folder = str(tmp_path / shard.replace("/", "-of-"))
        os.makedirs(folder)
        status, out = run_suite(folder, SHARD_SUITE, "--hdc-sim", "2", "--hdc-shard", shard, *xdist)
        assert status == 0 and "hdc shard %s: balanced by count (no duration known)" % shard in out, out
        ran.append([r["test"] for r in records(folder)])
    everything = ["plain-%d" % i for i in range(9)] + ["every", "every", "no-device"]
    assert sorted(ran[0] + ran[1]) == sorted(everything), ran
    # The every-device test's two instances stay together; 11 tests split 6 and 5.
    assert ran[0].count("every") in (0, 2) and {len(set(r)) for r in ran} == {5, 6}, ran


@pytest.mark.parametrize("known, count, shards", [
    ({}, 2, [["a", "c"], ["b", "d"]]),                                       # by count, in id order
    ({"a": 5.0, "b": 1.0, "c": 1.0, "d": 3.0}, 2, [["a"], ["b", "c", "d"]]),
    # b, c, d unknown: the median, 4 s; the every-device test x: its longest instance, 9 s.
    ({"a": 4.0, "x[s1]": 1.0, "x[s2]": 9.0}, 2, [["d", "x"], ["a", "b", "c"]]),
    ({"a": 1.0}, 3, [["a", "d"], ["b"], ["c"]]),
])
def test_shards_place_the_longest_first_on_the_lightest_shard(known, count, shards):
    groups = {"a", "b", "c", "d"} | ({"x"} if "x[s1]" in known else set())
    where = split(weights(groups, known), count)
    assert [sorted(g for g in groups if where[g] == s) for s in range(count)] == shards


# --- durations that travel ----------------------------------------------------------------------

def test_a_durations_file_moves_to_a_fresh_folder_and_orders_its_run(tmp_path):
    first, second = str(tmp_path / "first"), str(tmp_path / "second")
    os.makedirs(first)
    os.makedirs(second)
    status, out = run_suite(first, DURATION_SUITE, "-n", "2", "--hdc-sim", "2", "--hdc-durations", "d.json")
    assert status == 0, out
    with open(os.path.join(first, "d.json")) as f:
        kept = json.load(f)
    assert kept["kelpie_farm_durations"] == 1 and len(kept["tests"]) == 6
    longest = max(kept["tests"], key=lambda t: kept["tests"][t]["seconds"])
    assert "test_long" in longest and kept["tests"][longest]["seconds"] >= 0.6
    assert {entry["device_type"] for entry in kept["tests"].values()} == {"KSIM-AL00"}
    # A fresh checkout with only the file (the ini option names it): the long tests start first.
    shutil.copy(os.path.join(first, "d.json"), os.path.join(second, "cached.json"))
    with open(os.path.join(second, "pytest.ini"), "w") as f:
        f.write("[pytest]\nhdc_durations = cached.json\n")
    status, out = run_suite(second, DURATION_SUITE, "-n", "2", "--hdc-sim", "2")
    assert status == 0, out
    assert sorted(r["test"] for r in records(second)[:2]) == ["long-0", "long-1"], records(second)
    with open(os.path.join(second, "cached.json")) as f:
        assert set(json.load(f)["tests"]) == set(kept["tests"])


@pytest.mark.parametrize("text, seconds, kinds", [
    ('{"t::a": 1.5, "t::b": "x", "t::c": true}', {"t::a": 1.5}, {}),          # the flat form
    ('{"kelpie_farm_durations": 1, "tests": {"t::a": {"seconds": 2, "device_type": "M1"}, "t::b": {}}}',
     {"t::a": 2.0}, {"t::a": "M1"}),
    ('[1, 2]', {}, {}),
])
def test_the_durations_file_keeps_what_it_can_read(tmp_path, text, seconds, kinds):
    path = tmp_path / "d.json"
    path.write_text(text)
    found = DurationsFile(str(path))
    assert (found.seconds, found.kinds) == (seconds, kinds)


def test_an_unreadable_durations_file_is_a_usage_error(tmp_path):
    status, out = run_suite(str(tmp_path), DURATION_SUITE, "--hdc-sim", "1", "--hdc-durations", "bad.json")
    assert status == 0, "a missing file is a first run"
    (tmp_path / "bad.json").write_text("{not json")
    status, out = run_suite(str(tmp_path), DURATION_SUITE, "--hdc-sim", "1", "--hdc-durations", "bad.json")
    assert status == 4 and "--hdc-durations %s cannot be read" % (tmp_path / "bad.json") in out, out


# --- the retry budget ---------------------------------------------------------------------------

BROKEN_SUITE = RECORD + '''
import pytest

@pytest.mark.parametrize("i", range(4))
def test_broken(hdc_device, i):
    record("broken-%d" % i, hdc_device.serial)
    assert False, "the build is broken"
'''


def test_the_retry_budget_stops_retries_and_the_summary_says_so(tmp_path):
    folder = str(tmp_path)
    status, out = run_suite(folder, BROKEN_SUITE, "-n", "2", "--hdc-sim", "2", "--hdc-retries", "2",
                            "--hdc-retry-budget", "3")
    assert status == 1 and re.search(r"^=+ 4 failed, 3 rerun in ", out, re.M), out
    assert len(records(folder)) == 7
    assert re.search(r"^retry budget spent: 3 retries of 3; [34] later failures not run again$",
                     out.split("= hdc farm =", 1)[1], re.M), out


def test_a_lost_device_costs_the_budget_nothing():
    book = RetryBook(2, budget=1)
    assert book.failed("t", "A", lost=True, retry_possible=True)
    assert book.failed("t", "B", lost=False, retry_possible=True)
    assert not book.failed("u", "A", lost=False, retry_possible=True)
    assert (book.spent, book.refused) == (1, 1)
    assert book.budget_note() == "retry budget spent: 1 retry of 1; 1 later failure not run again"


# --- per-test deadlines -------------------------------------------------------------------------

DEADLINE_SUITE = RECORD + '''
import time
import pytest

@pytest.mark.hdc_timeout(1)
def test_own_deadline(hdc_device):
    record("own", hdc_device.serial)
    time.sleep(60)

@pytest.mark.hdc_timeout(5)
def test_within_its_deadline(hdc_device):
    time.sleep(1.5)

def test_global_deadline(hdc_device):
    time.sleep(1.5)

@pytest.mark.hdc_timeout("soon")
def test_wrong_mark(hdc_device):
    pass
'''


def test_a_marked_test_ends_at_its_own_deadline(tmp_path):
    folder = str(tmp_path)
    start = time.monotonic()
    status, out = run_suite(folder, DEADLINE_SUITE, "-n", "2", "--hdc-sim", "2", "--hdc-timeout", "30")
    took = time.monotonic() - start
    assert status == 1 and re.search(r"^=+ 1 failed, 2 passed, 1 error in ", out, re.M), out
    serial = records(folder)[0]["serial"]
    assert re.search(r"^E?\s*test_suite.py::test_own_deadline ran past its deadline of 1 s \(@pytest.mark.hdc_timeout\) "
                     r"on device %s on 127.0.0.1:\d+; worker gw\d+ was ended and replaced$" % serial, out, re.M), out
    assert "hdc_timeout takes a number of seconds above 0, not 'soon'" in out
    assert took < 25, "the marked test waited for the global deadline"


# --- results as data ----------------------------------------------------------------------------

GUIDE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "docs", "guide.md")
TYPES = {"string": str, "number": (int, float), "boolean": bool, "null": type(None), "list of strings": list}

RESULTS_SUITE = RECORD + '''
import os
import pytest

def test_flaky(hdc_device):
    first = os.path.join(os.environ["FARM_RECORDS"], "first")
    if not os.path.exists(first):
        open(first, "w").close()
        assert False, "fails the first time"

def test_passes(hdc_device):
    pass

def test_no_device():
    pass

@pytest.mark.hdc_every_device
def test_every(hdc_device):
    pass
'''


def documented_fields():
    """{field path: allowed types} from the guide's table of the document."""
    with open(GUIDE, encoding="utf-8") as f:
        text = f.read().split("### Results as data", 1)[1].split("\n### ", 1)[0]
    fields = {}
    for path, kind in re.findall(r"^\| `([^`]+)` \| ([a-z ]+) \|", text, re.M):
        fields[path] = tuple(TYPES[k] for k in kind.split(" or "))
    return fields


def fields_of(value, path=""):
    """[(field path, value)] of every leaf of a JSON document, lists of objects written as
    [] (an empty one has none)."""
    if isinstance(value, dict):
        return [f for key, v in value.items() for f in fields_of(v, "%s.%s" % (path, key) if path else key)]
    if isinstance(value, list) and all(isinstance(v, dict) for v in value) and (value or path == "tests[].attempts"):
        return [f for v in value for f in fields_of(v, path + "[]")]
    return [(path, value)]


def test_the_run_as_json_holds_every_attempt_as_the_guide_describes_it(tmp_path):
    folder = str(tmp_path)
    status, out = run_suite(folder, RESULTS_SUITE, "-n", "2", "--hdc-sim", "3", "--hdc-retries", "1",
                            "--hdc-json", "out/run.json", "--hdc-shard", "1/1")
    assert status == 1, out      # the third device has no worker: its every-device test does not run
    with open(os.path.join(folder, "out", "run.json"), encoding="utf-8") as f:
        doc = json.load(f)
    documented = documented_fields()
    found = fields_of(doc)
    for path, value in found:
        assert path in documented, "not in the guide: " + path
        assert isinstance(value, documented[path]), (path, value)
    assert set(documented) == {path for path, _ in found}
    assert doc["run"]["status"] == "complete" and doc["run"]["shard"] == "1/1" and doc["run"]["pool"] == []
    assert doc["run"]["start"] < doc["run"]["end"] and doc["run"]["end"].endswith("Z")
    assert [d["serial"] for d in doc["devices"]] == ["kelpie-sim-a1", "kelpie-sim-b1", "kelpie-sim-c1"]
    assert all(0 < d["busy"] <= 1 for d in doc["devices"][:2]) and 0 <= doc["devices"][2]["busy"] < 1
    tests = {t["id"].split("::")[1]: t for t in doc["tests"]}
    flaky = tests["test_flaky"]
    assert flaky["outcome"] == "passed" and flaky["flaky"] and [a["outcome"] for a in flaky["attempts"]] == [
        "failed", "passed"]
    assert "fails the first time" in flaky["attempts"][0]["message"] and not flaky["attempts"][1]["message"]
    servers = {d["label"]: d["server"] for d in doc["devices"]}
    assert all(a["server"] == servers[a["device"]] and re.match(r"gw\d$", a["worker"]) for a in flaky["attempts"])
    assert tests["test_every[kelpie-sim-c1]"]["outcome"] == "not run" and "has no worker" in tests[
        "test_every[kelpie-sim-c1]"]["why"]
    assert len(doc["tests"]) == 6


def test_an_interrupted_run_says_so_in_its_json(tmp_path):
    folder = str(tmp_path)
    suite = RECORD + "import time\n\ndef test_waits(hdc_device):\n    record('waits')\n    time.sleep(60)\n"
    with open(os.path.join(folder, "test_suite.py"), "w") as f:
        f.write(suite)
    os.makedirs(os.path.join(folder, "records"))
    run = subprocess.Popen([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-n", "1", "--hdc-sim", "1",
                            "--hdc-json", "run.json"], cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True, env=dict(os.environ, FARM_RECORDS=os.path.join(folder, "records"),
                                    XDG_CACHE_HOME=os.path.join(folder, "cache")),
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    while run.poll() is None and not os.listdir(os.path.join(folder, "records")) and time.monotonic() < deadline:
        time.sleep(0.05)
    run.send_signal(signal.SIGINT)
    out = run.communicate(timeout=60)[0]
    with open(os.path.join(folder, "run.json")) as f:
        doc = json.load(f)
    assert doc["run"]["status"] == "interrupted" and doc["tests"][0]["outcome"] == "interrupted", out


# --- evidence from the device on failure --------------------------------------------------------

EVIDENCE_SUITE = '''
import pytest

def test_screen_fails(hdc_device):
    hdc_device.client.shell("echo locked > /data/local/tmp/state.txt")
    assert False, "the screen stayed locked"

@pytest.mark.hdc_pull("/data/local/tmp/faults", "/data/local/tmp/none")
def test_app_crashes(hdc_device):
    hdc_device.client.shell("rm -f /data/local/tmp/state.txt")
    hdc_device.client.shell("mkdir -p /data/local/tmp/faults/cppcrash")
    hdc_device.client.shell("echo boom > /data/local/tmp/faults/cppcrash/app.log")
    hdc_device.client.shell("echo ANR > /data/local/tmp/faults/appfreeze.log")
    assert False, "the app crashed"

def test_passes(hdc_device):
    pass

def test_no_device():
    assert False
'''


def chromium_dom(page):
    found = shutil.which("chromium")
    if found is None:
        pytest.skip("chromium is not installed (scripts/setup.sh installs it)")
    profile = tempfile.mkdtemp(prefix="kelpie-chromium-")
    try:
        run = subprocess.run([found, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                              "--disable-background-networking", "--user-data-dir=" + profile,
                              "--allow-file-access-from-files", "--dump-dom", page], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, universal_newlines=True, timeout=120)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    return run.stdout


def test_a_failing_tests_screenshot_and_files_come_back_and_are_attached_where_ci_looks(tmp_path):
    folder = str(tmp_path)
    status, out = run_suite(folder, EVIDENCE_SUITE, "-n", "2", "--hdc-sim", "2", "--hdc-retries", "1",
                            "--hdc-on-failure", "screenshot", "--hdc-pull", "/data/local/tmp/state.txt",
                            "--hdc-report", "report/run.html", "--hdc-json", "run.json")
    assert status == 1, out
    root = os.path.join(folder, "hdc-artifacts")      # beside the JUnit file
    screens = os.path.join(root, "test_suite.py_test_screen_fails")
    assert sorted(os.listdir(screens)) == ["attempt-1", "attempt-2"]      # failed, ran again, failed
    for attempt in ("attempt-1", "attempt-2"):
        with open(os.path.join(screens, attempt, "screenshot.png"), "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"
        with open(os.path.join(screens, attempt, "data_local_tmp_state.txt")) as f:
            assert f.read() == "locked\n"
    crash = os.path.join(root, "test_suite.py_test_app_crashes", "attempt-1")
    pulled = sorted(os.path.relpath(os.path.join(here, n), crash) for here, _, names in os.walk(crash) for n in names)
    assert pulled == ["data_local_tmp_faults/appfreeze.log", "data_local_tmp_faults/cppcrash/app.log", "screenshot.png"]
    assert not os.path.exists(os.path.join(root, "test_suite.py_test_passes"))
    assert not os.path.exists(os.path.join(root, "test_suite.py_test_no_device"))

    # The terminal names the files, and says what did not come back.
    final = os.path.join(screens, "attempt-2")
    assert re.search(r"-+ hdc artifacts -+\n%s\n%s\n" % (re.escape(os.path.join(final, "screenshot.png")),
                     re.escape(os.path.join(final, "data_local_tmp_state.txt"))), out), out
    assert re.search(r"^pull /data/local/tmp/none: nothing came back \(\[Fail\].*no such file", out, re.M), out
    assert "pull /data/local/tmp/state.txt: nothing came back" in out      # test_app_crashes wrote none

    # JUnit: the last attempt's files as attachments, where Jenkins and GitLab read them.
    cases = junit_cases(folder)
    assert cases["test_screen_fails"] == ("failure", "[[ATTACHMENT|%s]]\n[[ATTACHMENT|%s]]\n" % (
        os.path.join(final, "screenshot.png"), os.path.join(final, "data_local_tmp_state.txt")))
    assert cases["test_passes"] == ("passed", "") and cases["test_no_device"] == ("failure", "")

    # The JSON has every attempt's files; the timeline shows the screenshot as a thumbnail.
    with open(os.path.join(folder, "run.json")) as f:
        tests = {t["id"].split("::")[1]: t for t in json.load(f)["tests"]}
    assert [a["artifacts"][0] for a in tests["test_screen_fails"]["attempts"]] == [
        os.path.join(screens, a, "screenshot.png") for a in ("attempt-1", "attempt-2")]
    with open(os.path.join(folder, "report", "run.html"), encoding="utf-8") as f:
        data = json.loads(re.search(r'<script type="application/json" id="data">(.*?)</script>', f.read(), re.S).group(1))
    index = next(i for i, a in enumerate(data["attempts"]) if a["test"].endswith("test_screen_fails"))
    assert data["attempts"][index]["artifacts"][0] == "../hdc-artifacts/test_suite.py_test_screen_fails/attempt-1/" \
                                                      "screenshot.png"
    dom = chromium_dom("file://%s#attempt=%d" % (os.path.join(folder, "report", "run.html"), index))
    assert re.search(r'<a href="\.\./hdc-artifacts/test_suite\.py_test_screen_fails/attempt-1/screenshot\.png"'
                     r'[^>]*><img class="thumb"', dom), dom[-3000:]


def test_with_junit_logging_the_attachments_join_the_captured_output(tmp_path):
    folder = str(tmp_path)
    with open(os.path.join(folder, "pytest.ini"), "w") as f:
        f.write("[pytest]\nhdc_on_failure = screenshot\njunit_logging = system-out\n")
    status, out = run_suite(folder, EVIDENCE_SUITE, "--hdc-sim", "1", "--hdc-artifacts", "evidence", "-k", "screen")
    assert status == 1, out
    shot = os.path.join(folder, "evidence", "test_suite.py_test_screen_fails", "attempt-1", "screenshot.png")
    outcome, system_out = junit_cases(folder)["test_screen_fails"]
    assert outcome == "failure" and system_out.count("[[ATTACHMENT|%s]]\n" % shot) == 1, system_out
    assert "shell command: echo locked" in system_out       # the device log is there too


def test_a_device_that_cannot_answer_costs_a_note_within_the_deadline(tmp_path):
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(4)            # accepts connections, never says a word
        mute = "127.0.0.1:%d" % silent.getsockname()[1]
        gathering = Gathering(Target("HX1", mute, "HX1"), str(tmp_path), time.monotonic() + 1.0)
        start = time.monotonic()
        gathering.screenshot()
        gathering.pull("/data/log/faultlog")
        took = time.monotonic() - start
    assert gathering.files == [] and gathering.notes == [
        "screenshot: device HX1 on %s did not answer: no answer within the deadline" % mute,
        "pull /data/log/faultlog: not taken, no time left before the test's deadline"]
    assert took < 2.0
