"""The hdc_sim fixtures, as pytest offers them from the installed kelpie, and what a test
scripts through them, seen through kelpie. The guide's chapter on testing without a device
runs its own examples as tests too (attach and detach, logs, files, received commands);
these are the cases it does not show, or not as strictly."""

import io
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import kelpie
import kelpie_sim.launcher
import kelpie_sim.simulator
from kelpie_sim import Simulator, SimulatorError

ONE, TWO = "kelpie-sim-1", "kelpie-sim-2"


def bound(sim, device):
    client = kelpie.HdcClient(sim.addr)
    client.connect_device(device)
    return client


@pytest.mark.hdc_sim(devices=2)
def test_canned_answers_by_text_or_pattern_for_one_device_or_all(hdc_sim):
    long = "温度 23.5℃ ✓ line\n" * 60000            # about 1.4 MB: several packets
    hdc_sim.answer("aa start -a EntryAbility -b com.example.app", "start ability successfully.\n")
    hdc_sim.answer(re.compile(r"hidumper -s \d+"), "for all\n")
    hdc_sim.answer(re.compile(r"hidumper -s \d+"), "for two\n", device=TWO)
    hdc_sim.answer("snapshot_display -f /data/local/tmp/s.jpeg", long)
    hdc_sim.answer("uitest dumpLayout", "界面 🌿 layout\nsaved\n", packet_size=3)
    one, two = bound(hdc_sim, ONE), bound(hdc_sim, TWO)
    for client in (one, two):
        assert client.shell("aa start -a EntryAbility -b com.example.app") == "start ability successfully.\n"
        assert client.shell("snapshot_display -f /data/local/tmp/s.jpeg") == long
        assert client.shell("uitest dumpLayout") == "界面 🌿 layout\nsaved\n"
    assert (one.shell("hidumper -s 10"), two.shell("hidumper -s 10")) == ("for all\n", "for two\n")
    # A pattern must match the whole line; what no answer covers goes to the built-in shell.
    assert "-" * 34 + "RenderService" + "-" * 34 + "\n" in one.shell("hidumper -s 10 -a")
    assert one.shell("echo built in") == "built in\n"


@pytest.mark.parametrize("arm, call, message", [
    ("close_before_next_reply", lambda c: c.shell("echo hi"), "I/O error: early eof"),
    ("close_during_next_reply", lambda c: c.shell("echo hi"), "I/O error: early eof"),
    ("close_during_next_reply", lambda c: c.file_recv("/data/local/tmp/none", "/tmp/none"), "I/O error: early eof"),
    # The one wait for a client limit: hilog gives up after 5 seconds without a reply.
    ("withhold_next_reply", lambda c: c.hilog("-x -T Weather"), "Operation timed out"),
])
def test_faults_surface_as_the_errors_a_real_server_would_cause(hdc_sim, arm, call, message):
    getattr(hdc_sim, arm)()
    with pytest.raises(RuntimeError) as failed:
        call(kelpie.HdcClient(hdc_sim.addr))
    assert str(failed.value) == message
    assert kelpie.HdcClient(hdc_sim.addr).list_targets() == [ONE], "a fault is spent on one command"


@pytest.mark.hdc_sim(devices=2)
def test_a_delay_or_a_fault_for_one_device_spares_the_other(hdc_sim):
    one, two = bound(hdc_sim, ONE), bound(hdc_sim, TWO)
    hdc_sim.delay_next_reply(0.3, device=ONE)
    hdc_sim.close_during_next_reply(device=TWO)
    started = time.monotonic()
    assert one.shell("echo late") == "late\n"
    assert time.monotonic() - started >= 0.3
    with pytest.raises(RuntimeError, match="early eof"):
        two.shell("echo cut")


@pytest.mark.hdc_sim(devices=2)
@pytest.mark.parametrize("request_, message", [
    (lambda s: s.detach("kelpie-sim-9"), "device kelpie-sim-9 is not attached"),
    (lambda s: s.folder(), "2 devices attached; name one"),
    (lambda s: s.log("My App", "x", device=ONE), "a log tag is one word"),
    (lambda s: s.answer("x", "y", device="phone"), "no device phone"),
])
def test_a_refused_request_raises_and_the_simulator_carries_on(hdc_sim, request_, message):
    with pytest.raises(SimulatorError, match=re.escape(message)):
        request_(hdc_sim)
    assert hdc_sim.devices == [ONE, TWO]


def test_the_factory_starts_independent_simulators_and_stop_leaves_nothing(hdc_sim_factory):
    first, second = hdc_sim_factory(), hdc_sim_factory(devices=0)
    assert first.addr != second.addr
    assert kelpie.HdcClient(second.addr).list_targets() == []
    folder = first.folder()
    first.stop()
    assert not first.running() and not os.path.exists(str(folder))
    with pytest.raises(SimulatorError, match="not running"):
        first.attach()
    assert kelpie.HdcClient(second.addr).list_targets() == []


@pytest.mark.hdc_sim(host_shell=True)
def test_a_command_that_fails_in_the_simulator_says_so_in_its_own_reply(hdc_sim, hdc_sim_client):
    shutil.rmtree(str(hdc_sim.folder()))     # the host shell has no folder to start in
    assert hdc_sim_client.shell("echo lost").startswith("[Fail]simulator error: ")
    assert hdc_sim_client.list_targets() == [ONE], "the next command gets its own reply"


@pytest.mark.parametrize("size", [1.5, 0, True, "3"])
def test_packet_size_must_be_a_positive_whole_number(hdc_sim, size):
    with pytest.raises(SimulatorError, match="packet_size"):
        hdc_sim.answer("ls", "a.txt\n", packet_size=size)


def test_stop_after_the_simulator_died(hdc_sim_factory):
    sim = hdc_sim_factory()
    folder = sim.folder()
    os.kill(sim.pid, signal.SIGKILL)
    while sim.running():
        time.sleep(0.01)
    with pytest.raises(SimulatorError, match="^the simulator is not running$"):
        sim.attach()
    sim.stop()
    assert not os.path.exists(str(folder))


def test_a_stray_standard_module_beside_the_package_does_not_break_the_simulator(tmp_path, monkeypatch):
    site = tmp_path / "site-packages"
    shutil.copytree(os.path.dirname(kelpie_sim.__file__), str(site / "kelpie_sim"))
    (site / "asyncio").mkdir()
    (site / "asyncio" / "__init__.py").write_text("raise ImportError('an old asyncio from a registry')\n")
    monkeypatch.setattr(kelpie_sim.launcher, "PACKAGE_PARENT", str(site))
    monkeypatch.chdir(str(site))
    with Simulator() as sim:
        assert kelpie.HdcClient(sim.addr).shell("echo started") == "started\n"


def test_what_the_simulator_prints_is_no_answer_and_a_late_answer_pairs_with_nothing(monkeypatch):
    messages = io.StringIO()                 # no file descriptor, as pytest's capsys
    with Simulator(stderr=messages) as sim:
        sim.answer(re.compile("a+b", re.DEBUG), "x\n")     # re.DEBUG prints on the simulator's stdout
        assert sim.devices == [ONE]
        monkeypatch.setattr(kelpie_sim.simulator, "CONTROL_WAIT", 0.3)
        os.kill(sim.pid, signal.SIGSTOP)
        try:
            with pytest.raises(SimulatorError, match="did not answer 'attach'"):
                sim.attach()
        finally:
            os.kill(sim.pid, signal.SIGCONT)
        assert sim.devices == [ONE, TWO]
    assert "('b')" in messages.getvalue() and "listening on 127.0.0.1:" in messages.getvalue()


def test_canned_answers_inside_compound_lines(hdc_sim, hdc_sim_client):
    hdc_sim.answer("aa start -a EntryAbility -b com.example.app", "start ability successfully.\n")
    hdc_sim.answer(re.compile(r"hidumper -s \d+"), "ok\n")
    hdc_sim.answer("hidumper -s 1; echo whole", "the whole line's own\n")
    line = "aa start -a EntryAbility -b com.example.app && echo done; hidumper -s 7 | cat > /data/local/tmp/d.txt; nosuch"
    assert hdc_sim_client.shell(line) == "start ability successfully.\ndone\n/bin/sh: nosuch: inaccessible or not found\n"
    assert (hdc_sim.folder() / "data/local/tmp/d.txt").read_text() == "ok\n"
    assert hdc_sim_client.shell("hidumper -s 1; echo whole") == "the whole line's own\n"
    assert hdc_sim.received() == ["shell " + line, "shell hidumper -s 1; echo whole"]


# A user's suite with ini defaults: every simulator runs under the other interpreter of
# this machine, with two devices unless marked. One test fails, to show its report section;
# one fails at teardown, where the factory still stops its other simulators.
USER_INI = """[pytest]
hdc_sim_devices = 2
hdc_sim_python = %s
"""
USER_SUITE = """
import os

import pytest

import kelpie


def test_the_ini_defaults_and_the_client(hdc_sim, hdc_sim_client, hdc_sim_factory):
    assert hdc_sim_client.list_targets() == ["kelpie-sim-1", "kelpie-sim-2"]
    for sim in (hdc_sim, hdc_sim_factory()):
        assert os.path.realpath("/proc/%%d/exe" %% sim.pid) == %r


@pytest.mark.hdc_sim(devices=1)
def test_the_marker_wins(hdc_sim):
    assert hdc_sim.devices == ["kelpie-sim-1"]


def test_fails_showing_what_each_device_received(hdc_sim, hdc_sim_client):
    hdc_sim_client.connect_device("kelpie-sim-2")
    hdc_sim_client.shell("echo to two")
    kelpie.HdcClient(hdc_sim.addr).list_targets()
    assert False, "on purpose"


def test_the_factory_stops_the_others_when_one_stop_fails(hdc_sim_factory):
    first, second = hdc_sim_factory(), hdc_sim_factory()
    first.stop = lambda: 1 / 0
    with open("second.pid", "w") as f:
        f.write(str(second.pid))
"""


def test_plugin_features_in_a_users_suite(tmp_path):
    other = os.path.realpath("/usr/bin/python3" if sys.implementation.name == "pypy" else shutil.which("pypy3"))
    (tmp_path / "pytest.ini").write_text(USER_INI % other)
    (tmp_path / "test_user.py").write_text(USER_SUITE % other)
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider"], cwd=str(tmp_path),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=120)
    assert run.stdout.splitlines()[-1].startswith("1 failed, 3 passed, 1 error"), run.stdout
    assert re.search(r"-+ hdc_sim received -+\nkelpie-sim-2:\n    shell echo to two\n"
                     r"\(no single device\):\n    list targets\n", run.stdout), run.stdout
    assert "ZeroDivisionError" in run.stdout
    with pytest.raises(ProcessLookupError):
        os.kill(int((tmp_path / "second.pid").read_text()), 0)


# --- the device log as hilog reads it ---------------------------------------------------------------------


def test_hilog_clears_the_buffer_of_the_types_named(hdc_sim, hdc_sim_client):
    hdc_sim.log("MyApp", "one")
    client = hdc_sim_client
    assert client.hilog("-r -t app") == "Log type app buffer clear successfully\n"
    assert client.hilog("-x -T MyApp") == "" and client.hilog("-x -T Weather").count("\n") == 3
    assert client.hilog("--type=init -r -x") == "Log type init buffer clear successfully\n"
    assert client.hilog("-r") == "Log type core,app,only_prerelease buffer clear successfully\n"
    assert client.hilog("-x") == "" and client.hilog("-x -t init") == ""


def test_hilog_without_x_follows_so_a_later_line_is_the_next_calls_reply(hdc_sim, hdc_sim_client):
    hdc_sim.log("MyApp", "before")
    assert hdc_sim_client.hilog("-T MyApp").endswith(" I A00000/MyApp: before\n")   # after 5 s of silence
    hdc_sim.log("MyApp", "after", level="W", domain="C0D003")
    assert hdc_sim_client.shell("echo next").endswith(" W C0D003/MyApp: after\nnext\n")
    assert hdc_sim_client.shell("echo in step") == "in step\n"


@pytest.mark.parametrize("prefix", ["", "shell "], ids=["command", "shell"])
def test_following_ends_when_the_device_detaches(hdc_sim, prefix):
    from test_sim_protocol import RawClient
    client = RawClient(hdc_sim.addr)
    client.send(prefix + "hilog -T Weather")
    got = b""
    while got.count(b"\n") < 3:
        got += client.packet()[2:]
    hdc_sim.detach(ONE)
    while client.packet() != b"\x05\x00":
        pass
    client.close()


@pytest.mark.hdc_sim(log_rate=1000)
def test_a_busy_device_logs_and_a_follower_gets_every_matching_line_in_order(hdc_sim, hdc_sim_client):
    from test_sim_protocol import RawClient
    follower = RawClient(hdc_sim.addr)
    follower.send("hilog -T Weather,Notify -L I")
    data = b""
    stop = time.monotonic() + 1.0
    while time.monotonic() < stop or not data.endswith(b"\n"):
        data += follower.packet()[2:]
    follower.close()
    followed = data.decode().splitlines()
    dump = hdc_sim_client.hilog("-x -T Weather,Notify -L I").splitlines()
    assert len(followed) > 100 and all(re.search(r" I \w{6}/(Weather|Notify): ", ln) for ln in followed)
    start = dump.index(followed[0])
    assert dump[start:start + len(followed)] == followed
    assert re.search("[^\\x00-\\x7f]", "".join(followed))
    everything = hdc_sim_client.hilog("-x -t app,core,init,kmsg,only_prerelease").splitlines()
    assert {ln.split("/")[0][-6] for ln in everything} == set("ACIKP") and {ln[31] for ln in everything} >= set("IWEF")


def test_the_log_buffer_keeps_the_newest_lines_and_a_slow_follower_skips_what_it_lost():
    from kelpie_sim.logbuffer import DeviceLog
    log = DeviceLog("seed", capacity=4)
    for n in range(6):
        log.add("I", "A00001", "T", "line %d" % n)
    assert [ln.message for ln in log.lines()] == ["line 2", "line 3", "line 4", "line 5"]
    lines, cursor = log.since(1)
    assert [ln.message for ln in lines] == ["line 2", "line 3", "line 4", "line 5"] and cursor == 6


def test_output_before_a_sleep_goes_out_before_it(hdc_sim_client):
    # The call ends after 5 s of silence with what came before the sleep; the rest is the next call's.
    assert hdc_sim_client.shell("echo start; sleep 5.5; echo done") == "start\n"
    assert hdc_sim_client.shell("echo next") == "done\n"


def test_two_threads_share_one_simulator(hdc_sim):
    failures = []

    def ask(request, expected):
        for _ in range(300):
            try:
                answer = request()
            except Exception as e:  # every failure is counted, not only the first
                answer = e
            if answer != expected:
                failures.append(answer)

    threads = [threading.Thread(target=ask, args=(lambda: hdc_sim.devices, [ONE])),
               threading.Thread(target=ask, args=(lambda: str(hdc_sim.folder()), str(hdc_sim.folder())))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
