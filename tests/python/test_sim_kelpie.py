"""Every HdcClient method end to end against the simulator, run as a separate process.

The `client` fixture (conftest.py) ends each test by listing the targets: a reply left unread by
any earlier call would come back instead, so every test also proves that the
client and the simulator agree on where each operation's output ends. Each call
is timed: a collection that fell back on the client's silence limits would take
seconds instead of milliseconds.
"""

import os
import sys
import time

import pytest

import kelpie

SIM_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "python")
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

from kelpie_sim.launcher import SimProcess  # noqa: E402
from support.loopback import echo_through, free_port  # noqa: E402

DEVICE = "kelpie-sim-1"
QUICK = 1.5   # seconds; far below the client's 5-second silence limit


def quick(fn, *args, **kwargs):
    started = time.monotonic()
    result = fn(*args, **kwargs)
    took = time.monotonic() - started
    assert took < QUICK, "%s took %.2f s" % (fn.__name__, took)
    return result


@pytest.mark.parametrize("command, expected", [
    ("echo hi", "hi\n"),
    ("echo -n partial", "partial"),
    ("", ""),
    ("echo 'ünïcödé ✓'; echo second", "ünïcödé ✓\nsecond\n"),
    ("nosuch", "/bin/sh: nosuch: inaccessible or not found\n"),
    ("param get const.product.model", "KSIM-AL00\n"),
])
def test_shell(client, command, expected):
    assert quick(client.shell, command) == expected


def test_shell_output_larger_than_a_packet(client, sim):
    big = "".join("%05d 温度 ✓\n" % i for i in range(40000))
    with open(os.path.join(sim.device_dir, "data/local/tmp/big.txt"), "w", encoding="utf-8") as f:
        f.write(big)
    assert quick(client.shell, "cat /data/local/tmp/big.txt") == big


def test_hilog_joins_characters_cut_across_replies_and_filters(client):
    log = quick(client.hilog, "-x")
    assert "温度 23.5℃" in log and "🔔 新消息" in log and "Größe" in log
    weather = quick(client.hilog, "-x -T Weather")
    assert len(weather.splitlines()) == 3 and all("/Weather: " in ln for ln in weather.splitlines())
    assert quick(client.hilog, "-x -T NoSuchTag") == ""


def test_file_round_trip_with_flags(client, sim, tmp_path):
    local = tmp_path / "data.bin"
    local.write_bytes(os.urandom(2 * 1024 * 1024 + 3))   # large enough for progress replies
    os.chmod(str(local), 0o640)
    os.utime(str(local), (1_500_000_000, 1_500_000_000))
    sent = quick(client.file_send, str(local), "/data/local/tmp/sub/data.bin", hold_timestamp=True, mode_sync=True)
    assert "[Progress]" in sent and "FileTransfer finish, Size:2097155, File count = 1" in sent
    on_device = os.path.join(sim.device_dir, "data/local/tmp/sub/data.bin")
    assert os.stat(on_device).st_mtime == 1_500_000_000 and os.stat(on_device).st_mode & 0o777 == 0o640
    assert quick(client.shell, "echo more >> /data/local/tmp/sub/data.bin") == ""
    back = tmp_path / "back.bin"
    assert "FileTransfer finish" in quick(client.file_recv, "/data/local/tmp/sub/data.bin", str(back))
    assert back.read_bytes() == local.read_bytes() + b"more\n"
    skipped = quick(client.file_send, str(local), "/data/local/tmp/sub/data.bin", sync_mode=True)
    assert "File count = 0" in skipped, "the device copy is newer"
    assert quick(client.file_recv, "/data/none", str(back)).startswith("[Fail]")
    assert quick(client.file_send, str(tmp_path / "none"), "/data/x").startswith("[Fail]")


def test_install_list_uninstall(client, sim, tmp_path):
    hap = tmp_path / "com.example.tour.hap"
    hap.write_bytes(b"PK")
    assert "install bundle successfully" in quick(client.install, [str(hap)])
    assert "\tcom.example.tour\n" in client.shell("bm dump -a")
    assert quick(client.install, (str(hap),)).startswith("[Fail]")
    assert "successfully" in quick(client.install, [str(hap)], replace=True)
    assert "successfully" in quick(client.uninstall, "com.example.tour", keep_data=True)
    assert "com.example.tour" not in client.shell("bm dump -a")
    assert client.shell("ls /data/app/el2/100/base") == "com.example.tour\n"
    assert quick(client.uninstall, "com.example.tour").startswith("[Fail]")
    assert quick(client.install, [str(tmp_path / "notes.txt")]).startswith("[Fail]")
    assert quick(client.install, []).startswith("[Fail]")


def test_forward_reverse_and_remove(client):
    a, b = free_port(), free_port()
    assert quick(client.fport, "tcp:%d" % a, "tcp:7") == "Forwardport result:OK"
    assert echo_through(a, b"echo me" * 1000) == b"echo me" * 1000
    assert quick(client.rport, "tcp:9200", "tcp:%d" % a) == "Forwardport result:OK"
    assert quick(client.fport, "tcp:%d" % b, "tcp:9200") == "Forwardport result:OK"
    assert echo_through(b, b"round trip") == b"round trip"
    assert quick(client.fport, "tcp:%d" % a, "tcp:7").startswith("[Fail]")
    for task in ("tcp:%d tcp:7" % a, "tcp:9200 tcp:%d" % a, "tcp:%d tcp:9200" % b):
        assert quick(client.fport_remove, task).startswith("Remove forward ruler success")
    with pytest.raises(RuntimeError, match=r"^Protocol error: \[Fail\]Remove forward ruler failed"):
        client.fport_remove("tcp:%d tcp:7" % a)
    with pytest.raises(OSError):
        echo_through(a, b"x")


@pytest.mark.parametrize("prefix", ["../../../../../../../..", "", "/data/../../.."])
def test_device_paths_stay_in_the_device_folder(client, sim, tmp_path, prefix):
    secret = tmp_path / "secret.txt"
    secret.write_text("host only")
    path = prefix + str(secret)
    fetched = tmp_path / "fetched.txt"
    assert quick(client.file_recv, path, str(fetched)).startswith("[Fail]") and not fetched.exists()
    assert "host only" not in quick(client.shell, "cat " + path)
    marker = tmp_path / "marker.txt"
    marker.write_text("from the host")
    assert quick(client.file_send, str(marker), path).startswith("[Fail]Error opening file: permission denied")
    inside = prefix + "/data/local/tmp" + str(secret)     # climbs to the device root, then down
    assert "FileTransfer finish" in quick(client.file_send, str(marker), inside)
    assert secret.read_text() == "host only"
    assert open(sim.device_dir + "/data/local/tmp" + str(secret)).read() == "from the host"
    assert quick(client.shell, "cat " + inside) == "from the host"


def test_wait_for_a_device_attached_later():
    with SimProcess(["--devices", "0", "--attach-after", "0.4", "--max-seconds", "30"]) as sim:
        c = kelpie.HdcClient(sim.addr)
        assert c.list_targets() == []
        started = time.monotonic()
        assert c.wait_for_device() == DEVICE
        assert 0.1 < time.monotonic() - started < 5
        assert c.list_targets() == [DEVICE]
        assert quick(c.shell, "echo attached") == "attached\n"


def test_connect_device_binds_the_connection(tmp_path):
    with SimProcess(["--devices", "2", "--root", str(tmp_path), "--max-seconds", "30"]) as sim:
        c = kelpie.HdcClient(sim.addr)
        assert c.list_targets() == ["kelpie-sim-1", "kelpie-sim-2"]
        assert quick(c.shell, "pwd").startswith("[Fail]More than one device")
        assert c.connect_device("kelpie-sim-2") is None
        assert quick(c.shell, "touch /data/local/tmp/here && param get ro.serialno") == "kelpie-sim-2\n"
        here = "data/local/tmp/here"
        assert (tmp_path / "kelpie-sim-2" / here).exists() and not (tmp_path / "kelpie-sim-1" / here).exists()
        c.connect_device("kelpie-sim-9")
        assert quick(c.shell, "pwd") == "[Fail]device not found: kelpie-sim-9"
        assert quick(c.hilog, None) == "[Fail]device not found: kelpie-sim-9"
        assert c.list_targets() == ["kelpie-sim-1", "kelpie-sim-2"]
