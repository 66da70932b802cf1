"""The hdc_sim fixtures, as pytest offers them from the installed kelpie, and what a test
scripts through them, seen through kelpie. The guide's chapter on testing without a device
runs its own examples as tests too (attach and detach, logs, files, received commands);
these are the cases it does not show, or not as strictly."""

import os
import re
import time

import pytest

import kelpie
from kelpie_sim import SimulatorError

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
    assert one.shell("hidumper -s 10 -a") == "sh: hidumper: inaccessible or not found\n"
    assert one.shell("echo built in") == "built in\n"


@pytest.mark.parametrize("arm, call, message", [
    ("close_before_next_reply", lambda c: c.shell("echo hi"), "I/O error: early eof"),
    ("close_during_next_reply", lambda c: c.shell("echo hi"), "I/O error: early eof"),
    ("close_during_next_reply", lambda c: c.file_recv("/data/local/tmp/none", "/tmp/none"), "I/O error: early eof"),
    # The one wait for a client limit: hilog gives up after 5 seconds without a reply.
    ("withhold_next_reply", lambda c: c.hilog("-t Weather"), "Operation timed out"),
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
