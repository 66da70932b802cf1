"""The device commands automation uses, through kelpie against the simulator: their
texts as a device prints them, the state they share (bundles, processes, power), and
the files they write, brought back with file_recv."""

import json
import os
import re
import struct
import sys
import zlib

import pytest

import kelpie

SIM_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "python")
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

from kelpie_sim.simulator import Simulator  # noqa: E402
from support.device_files import put  # noqa: E402

DEVICE = "kelpie-sim-1"
ABILITY = "-" * 31 + "[ability]" + "-" * 31
SIM_ARGS = ["--param", "const.ohos.apiversion=12", "--param", "farm.pool=blue"]   # for conftest's `sim`


@pytest.mark.parametrize("command, expected", [
    ("nosuchtool -x", "/bin/sh: nosuchtool: inaccessible or not found\n"),
    ("echo -n a; echo -e 'b\\tc\\x41\\0101'; echo -ne 'd\\n'; echo -e 'e\\cf'; echo -E 'g\\n'", "ab\tcAA\nd\neg\\n\n"),
    ("uname -sr; uname -rs; uname -m -n", "Linux 5.10.184\nLinux 5.10.184\nlocalhost aarch64\n"),
    ("sleep 0.01s && sleep 0.0005m && echo slept", "slept\n"),
    ("sleep 2x || echo refused", "sleep: invalid number '2x'\nrefused\n"),
    ("date -u -d @86400 +%Y-%m-%d_%H:%M:%S.%N; date -u -d @0", "1970-01-02_00:00:00.000000000\nThu Jan  1 00:00:00 UTC 1970\n"),
    ("param get const.ohos.apiversion; param get farm.pool", "12\nblue\n"),
    ("aa start -a EntryAbility -b com.example.absent",
     "error: failed to start ability.\nError Code:10104001  Error Message:The specified ability does not exist.\n"),
    ("aa start -a EntryAbility || echo status",
     "error: failed to start ability.\nError Code:10103101  Error Message:Failed to find a matching application "
     "for implicit launch.\nstatus\n"),
    ("aa force-stop com.example.absent", "error: failed to force stop process.\n"),
    ("bm uninstall -n com.example.absent",
     "error: failed to uninstall bundle.\ncode:9568386\nerror: uninstall missing installed bundle.\n"),
    ("bm install -p /data/local/tmp/absent.hap",
     "error: failed to install bundle.\ncode:9568269\nerror: install file path invalid.\n"),
    ("bm dump -n com.example.absent", "error: failed to get information and the parameters may be wrong.\n"),
    ("bm dump -n com.ohos.settings | grep -E 'appProvisionType|versionName'",
     '    "appProvisionType": "release",\n    "versionName": "4.1.0.0"\n'),
    ("pidof com.example.absent || echo none; pidof hdcd | grep -q . && echo hdcd runs", "none\nhdcd runs\n"),
    ("power-shell setmode 602; power-shell timeout -o 60000; power-shell suspend; power-shell wakeup",
     "Set Mode: 602\nSet Mode Success!\nOverride screen off time to 60000\nSuspendDevice is called\n"
     "WakeupDevice is called\n"),
    ("power-shell setmode 7", "power-shell: setmode needs one of 600, 601, 602, 603\n"),
    ("power-shell suspend > /data/local/tmp/p; aa start -a MainAbility -b com.ohos.settings; power-shell wakeup | grep -c called",
     "error: failed to start ability.\nError Code:10106102  Error Message:The device screen is locked during the "
     "application launch.\n1\n"),
    ("power-shell setmode 601 | grep -c Success; power-shell timeout -o 45000 | grep -c 45000; hidumper -s 3301 -a '-a'",
     "1\n1\n\n%s\n\n\n%s\nPOWER STATE DUMP:\nCurrent State: AWAKE\nPower Mode: 601 (power saving)\n"
     "Screen Off Time: 45000 ms\n" % (ABILITY, "-" * 34 + "PowerManagerService" + "-" * 34)),
    ("uitest uiInput click 540 1200 && uitest uiInput swipe 100 900 100 300 600 && uitest uiInput keyEvent Back "
     "&& uitest uiInput inputText 100 200 'héllo 世界' && echo accepted", "accepted\n"),
    ("uitest uiInput doubleClick 321 654; hilog -x -T UiTestKit | grep -c 'uiInput doubleClick 321 654$'", "1\n"),
    ("uitest uiInput click 540", "uitest: click needs X Y\n"),
    ("uitest uiInput swipe 1 2 3 4 50", "uitest: invalid speed (200-40000 px/s): 50\n"),
    ("uitest dumpLayout -p /data/layout.json", "uitest: the file must be under /data/local/tmp/, not /data/layout.json\n"),
])
def test_command_texts(client, command, expected):
    assert client.shell(command) == expected


def test_udid_and_hidumper_listings(client):
    udid = client.shell("bm get -u").split("\n")
    assert udid[0] == "udid of current device is:" and re.fullmatch(r"[0-9A-F]{64}", udid[1]) and udid[2:] == [""]
    listing = client.shell("hidumper -ls").splitlines()
    assert listing[0] == "System ability list:"
    names = [n for line in listing[1:] for n in line.split()]
    assert {"AbilityManagerService", "BundleMgr", "PowerManagerService"} <= set(names)
    columns = [[line[i:i + 33].strip() for i in range(0, len(line), 33)] for line in listing[1:]]
    assert [c for c in columns if len(c) != 3] == columns[-1:] and [n for c in columns for n in c] == names
    processes = client.shell("hidumper -p").splitlines()
    assert processes[:3] == ["-" * 31 + "[processes]" + "-" * 31, "cmd is: ps -efT",
                             "UID            PID   TID  PPID TCNT STIME TTY          TIME CMD"]
    assert any(line.endswith(" /system/bin/hdcd") for line in processes)
    memory = client.shell("hidumper --mem").splitlines()
    assert memory[:2] == ["-" * 31 + "[memory]" + "-" * 31, "Total Memory Usage by PID:"]


@pytest.mark.parametrize("command, expected", [
    ("cat /data/g/words | grep -i APPLE", "apple pie\nApple tart\n"),
    ("grep -v -i apple /data/g/words", "banana split\ncherry\n"),
    ("grep -c an /data/g/words", "1\n"),
    ("grep -E '^(apple|cherry)' /data/g/words", "apple pie\ncherry\n"),
    ("grep 'a\\(pp\\|n\\)' /data/g/words", "apple pie\nbanana split\n"),
    ("grep '[[:upper:]]' /data/g/words /data/g/more", "/data/g/words:Apple tart\n/data/g/more:温度 OK\n"),
    ("grep -q cherry /data/g/words && echo found; grep -q durian /data/g/words || echo missing", "found\nmissing\n"),
    ("grep -c zzz /data/g/words; grep zzz /data/g/words || echo none", "0\nnone\n"),
    ("grep x /data/g/absent || echo two", "grep: /data/g/absent: No such file or directory\ntwo\n"),
    ("grep -n -w pie /data/g/words", "1:apple pie\n"),
    ("grep -rc -i apple /data/g; grep -m1 -e an -e ch /data/g/words", "/data/g/more:0\n/data/g/words:2\nbanana split\n"),
    ("grep '温度' /data/g/more", "温度 OK\n"),
    ("grep -E 'a(' /data/g/words || echo bad", "grep: bad regex 'a(': "),
])
def test_grep(client, sim, command, expected):
    put(sim, "/data/g/words", "apple pie\nbanana split\nApple tart\ncherry\n")
    put(sim, "/data/g/more", "温度 OK\nsmall\n")
    out = client.shell(command)
    if expected.endswith(": "):   # an error whose reason is the regex library's
        assert out.startswith(expected) and out.endswith("\nbad\n")
    else:
        assert out == expected


def test_ability_lifecycle_through_processes_and_bundles(client, sim, tmp_path):
    hap = tmp_path / "com.example.life.hap"
    hap.write_bytes(b"PK\x03\x04 not really a zip")
    assert "install bundle successfully" in client.install([str(hap)])
    assert client.shell("aa start -a EntryAbility -b com.example.life -m entry") == "start ability successfully.\n"
    pid = client.shell("pidof com.example.life").strip()
    assert pid.isdigit()
    ps = client.shell("ps -ef").splitlines()
    assert ps[0].split() == ["UID", "PID", "PPID", "C", "STIME", "TTY", "TIME", "CMD"]
    assert any(line.split()[-1] == "/system/bin/hdcd" for line in ps[1:])
    assert [line.split()[1] for line in ps if line.endswith(" com.example.life")] == [pid]
    assert client.shell("aa start -a EntryAbility -b com.example.life; pidof com.example.life") == (
        "start ability successfully.\n%s\n" % pid), "a running application keeps its process"
    assert "bundle name [com.example.life]" in client.shell("hidumper -s AbilityManagerService")
    assert client.shell("aa force-stop com.example.life; pidof com.example.life || echo stopped") == (
        "force stop process successfully.\nstopped\n")
    client.shell("aa start -a EntryAbility -b com.example.life")
    assert "successfully" in client.uninstall("com.example.life")
    assert client.shell("pidof com.example.life || ps -ef | grep -c com.example.life") == "1\n", "the grep only"

    put(sim, "/data/local/tmp/com.example.ondevice.hap", b"PK\x03\x04")
    assert client.shell("bm install -p /data/local/tmp/com.example.ondevice.hap") == "install bundle successfully.\n"
    info = json.loads(client.shell("bm dump -n com.example.ondevice"))
    assert (info["bundleName"], info["versionName"], info["appProvisionType"]) == ("com.example.ondevice", "1.0.0", "debug")
    assert client.shell("aa start -a EntryAbility -b com.example.ondevice && bm uninstall -n com.example.ondevice"
                        " && pidof com.example.ondevice || bm dump -a | grep -c ondevice") == (
        "start ability successfully.\nuninstall bundle successfully.\n0\n")


def _png_pixels(data):
    """(width, height, rows of RGB bytes) of an 8-bit RGB PNG without filters."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(data):
        (n,), kind = struct.unpack(">I", data[pos:pos + 4]), data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + n]
        assert struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])[0] == zlib.crc32(kind + body) & 0xFFFFFFFF
        chunks[kind] = chunks.get(kind, b"") + body
        pos += 12 + n
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, colour) == (8, 2) and b"IEND" in chunks
    raw = zlib.decompress(chunks[b"IDAT"])
    assert len(raw) == height * (1 + 3 * width)
    return width, height, [raw[i * (1 + 3 * width) + 1:(i + 1) * (1 + 3 * width)] for i in (0, height // 2)]


def _jpeg_size(data):
    assert data[:3] == b"\xff\xd8\xff" and data[-2:] == b"\xff\xd9"
    sof = data.index(b"\xff\xc0")
    height, width = struct.unpack(">HH", data[sof + 5:sof + 9])
    return width, height


def test_screen_files_come_back_with_file_recv(client, tmp_path):
    saved = client.shell("uitest dumpLayout")
    where = re.fullmatch(r"DumpLayout saved to:(/data/local/tmp/\S+\.json)\n", saved).group(1)
    client.file_recv(where, str(tmp_path / "layout.json"))
    layout = json.loads((tmp_path / "layout.json").read_text(encoding="utf-8"))
    assert layout["attributes"]["bounds"] == "[0,0][1260,2720]" and layout["children"]

    assert client.shell("uitest screenCap -p /data/local/tmp/cap.png") == "ScreenCap saved to:/data/local/tmp/cap.png\n"
    client.file_recv("/data/local/tmp/cap.png", str(tmp_path / "cap.png"))
    width, height, (top, middle) = _png_pixels((tmp_path / "cap.png").read_bytes())
    assert (width, height) == (1260, 2720) and top != middle

    said = client.shell("snapshot_display -f /data/local/tmp/shot.jpeg").splitlines()
    assert said[-1] == "success: snapshot display 0 , write to /data/local/tmp/shot.jpeg as jpeg, width 1260, height 2720"
    client.file_recv("/data/local/tmp/shot.jpeg", str(tmp_path / "shot.jpeg"))
    assert _jpeg_size((tmp_path / "shot.jpeg").read_bytes()) == (1260, 2720)
    default = re.search(r"write to (\S+\.jpeg) as jpeg", client.shell("snapshot_display -w 320 -h 640")).group(1)
    client.file_recv(default, str(tmp_path / "small.jpeg"))
    assert _jpeg_size((tmp_path / "small.jpeg").read_bytes()) == (320, 640)


def test_the_screen_follows_the_foreground_ability(client, tmp_path, sim):
    put(sim, "/data/local/tmp/com.example.screen.hap", b"PK\x03\x04")
    client.shell("bm install -p /data/local/tmp/com.example.screen.hap")
    layouts = []
    for line in ("uitest uiInput keyEvent Home", "aa start -a EntryAbility -b com.example.screen"):
        client.shell(line + "; uitest dumpLayout -p /data/local/tmp/now.json")
        client.file_recv("/data/local/tmp/now.json", str(tmp_path / "now.json"))
        layouts.append((tmp_path / "now.json").read_text(encoding="utf-8"))
    assert '"com.example.screen"' in layouts[0] and '"text": "com.example.screen"' in layouts[0], "the launcher shows it"
    assert '"abilityName": "EntryAbility"' in layouts[1] and '"abilityName": "MainAbility"' not in layouts[1]
    client.shell("bm uninstall -n com.example.screen")


def test_params_for_every_device_and_for_one():
    with Simulator(devices=2, params={"const.product.model": "LAB-1"},
                   device_params={"kelpie-sim-2": {"const.ohos.apiversion": "12"},
                                  "kelpie-sim-3": {"const.ohos.apiversion": "13"}}) as sim:
        sim.attach()
        answers = []
        for device in ("kelpie-sim-1", "kelpie-sim-2", "kelpie-sim-3"):
            c = kelpie.HdcClient(sim.addr)
            c.connect_device(device)
            answers.append(c.shell("param get const.ohos.apiversion; param get const.product.model"))
        assert answers == ["11\nLAB-1\n", "12\nLAB-1\n", "13\nLAB-1\n"]
    with pytest.raises(ValueError, match="param name"):
        Simulator(params={"bad name": "x"})
