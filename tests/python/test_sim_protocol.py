"""The simulator through a plain socket client that reads replies exactly as kelpie
does; a probe command after each exchange proves that nothing was left unread."""

import os
import re
import select
import socket
import struct
import subprocess
import sys
import time

import pytest

SIM_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "python")
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

from kelpie_sim.launcher import SimProcess  # noqa: E402
from support.loopback import echo_through, free_port  # noqa: E402

FILE_MARKERS = ("FileTransfer finish", "Transfer finish", "[Fail]", "fail")
INSTALL_MARKERS = ("Success", "success", "Fail", "fail")
MAX_PACKET = 523264


class RawClient:
    def __init__(self, addr, key="", record_len=108):
        host, port = addr.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)), timeout=5)
        self.record = self.packet()
        reply = self.record[:12] + key.encode().ljust(32, b"\0")[:32] + self.record[44:108]
        self.send(reply[:record_len])

    def close(self):
        self.sock.close()

    def send(self, data):
        data = data.encode() if isinstance(data, str) else data
        self.sock.sendall(struct.pack(">I", len(data)) + data)

    def _exactly(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise EOFError("closed by the simulator")
            buf += chunk
        return buf

    def packet(self, timeout=5.0):
        self.sock.settimeout(timeout)
        (n,) = struct.unpack(">I", self._exactly(4))
        assert 0 < n <= MAX_PACKET
        return self._exactly(n)

    def reply(self):
        payload = self.packet()
        assert payload[:2] == b"\x05\x00"
        return payload[2:]

    def one(self, command):
        self.send(command)
        return self.reply().decode()

    def shell(self, command):
        """kelpie's shell loop: after a reply ending a line, one packet is taken as text."""
        self.send("shell " + command)
        out = b""
        while True:
            text = self.reply()
            if not text:
                return out.decode()
            out += text
            if out[-1:] in (b"\n", b"\0"):
                try:
                    trailing = self.packet(timeout=0.1)
                except socket.timeout:
                    return out.decode()
                out += trailing if len(trailing) == 1 else trailing[2:]

    def collect(self, command, markers=()):
        """kelpie's loop for hilog, file transfer and install; also returns the reply count."""
        self.send(command)
        texts = []
        while True:
            text = self.reply()
            if not text:
                break
            texts.append(text)
            if any(m in text.decode("utf-8", "replace") for m in markers):
                break
        return b"".join(texts).decode(), texts

    def assert_in_sync(self):
        assert self.one("probe") == "[Fail]Unknown command: probe"


@pytest.fixture(scope="module")
def sim(tmp_path_factory):
    root = tmp_path_factory.mktemp("devices")
    with SimProcess(["--devices", "1", "--root", str(root), "--max-seconds", "300"]) as s:
        s.root = str(root)
        s.device_dir = os.path.join(str(root), "kelpie-sim-1")
        yield s


@pytest.fixture
def client(sim):
    c = RawClient(sim.addr)
    yield c
    c.assert_in_sync()
    c.close()


def test_handshake_record_and_short_reply(sim):
    c = RawClient(sim.addr, record_len=44)
    assert len(c.record) == 108 and c.record[:8] == b"OHOS HDC"
    assert c.record[16:44] == bytes(28) and c.record[44:].rstrip(b"\0").startswith(b"Ver: ")
    assert c.one("list targets") == "kelpie-sim-1\n"
    assert RawClient(sim.addr).record[12:16] != c.record[12:16], "each connection gets its own channel"


@pytest.mark.parametrize("command, expected", [
    ("echo hi", "hi\n"),
    ("echo -n no-newline", "no-newline"),
    ("", ""),
    ("echo a; echo b && nosuch || echo c", "a\nb\n/bin/sh: nosuch: inaccessible or not found\nc\n"),
    ("uname -a", "Linux localhost 5.10.184 #1 SMP PREEMPT Fri Mar 8 10:00:00 CST 2024 aarch64\n"),
    ("param get const.product.model", "KSIM-AL00\n"),
    ("cd /data/local; pwd", "/data/local\n"),
    ("echo 'unterminated", "/bin/sh: no closing quote\n"),
    ("echo a & echo b", "a\nb\n"),
    ("nosuch | cat; echo piped | cat && cd /data | pwd", "/bin/sh: nosuch: inaccessible or not found\npiped\n/\n"),
    ("echo a#b '#c' #d", "a#b #c\n"),
    ("echo a # c\necho b", "a\nb\n"),
    ("echo a\necho b\n\necho c &&\n echo d;\n", "a\nb\nc\nd\n"),
    ("cat /nosuch > /data/local/tmp/err.txt; echo in the file:; cat /data/local/tmp/err.txt",
     "cat: /nosuch: No such file or directory\nin the file:\n"),
])
def test_shell_output_ends_exactly(client, command, expected):
    assert client.shell(command) == expected


def test_shell_file_commands_and_large_output(client, sim):
    big = "".join("line %06d ✓\n" % i for i in range(50000))  # over one packet
    script = "mkdir -p /data/local/tmp/t/sub && cd /data/local/tmp/t && echo x > f && touch g && ls -a"
    assert client.shell(script) == ".\n..\nf\ng\nsub\n"
    with open(os.path.join(sim.device_dir, "data/local/tmp/t/big.txt"), "w") as f:
        f.write(big)
    assert client.shell("cat /data/local/tmp/t/big.txt") == big
    assert client.shell("rm /data/local/tmp/t/sub; rm -r /data/local/tmp/t; ls /data/local/tmp/t") == (
        "rm: /data/local/tmp/t/sub: Is a directory\nls: /data/local/tmp/t: No such file or directory\n")


def test_hilog_cuts_characters_across_replies(client):
    log, texts = client.collect("hilog -x")
    assert "温度" in log and "Größe" in log and "🔔" in log
    cut = [t for t in texts if t.decode("utf-8", "replace") != t.decode("utf-8", "ignore")]
    assert cut, "some reply should end or start inside a character"


W1 = "Weather: 温度 23.5℃，湿度 61%，东南风 2 级"
W2 = "Weather: Größe des Radarbilds: 12 KiB, Übertragung in 34 ms"
W3 = "Weather: Прогноз на завтра: ясно, +19 °C"
NOTE = "Notify: 🔔 新消息：来自 张伟 — 今晚 7 点见 🍜"
SAMGR = ("SAMGR: system ability manager ready, 87 abilities registered", "SAMGR: ability 3301 slow to start: 1204 ms")
PREFIX = re.compile(r"^\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [ \d]{5} [ \d]{5} [DIWEF] [ACIPK][0-9A-F]{5}/")


def hilog_run(client, via, args):
    """What hilog prints, run as the hilog command, in the shell, or in a pipe of the shell."""
    if via == "command":
        return client.collect("hilog " + args)[0]
    return client.shell("hilog " + args + (" | cat" if via == "pipe" else ""))


def tagged(text):
    """TAG: message of each line, after checking the line's shape."""
    assert all(PREFIX.match(ln) for ln in text.splitlines()), text
    return [PREFIX.sub("", ln) for ln in text.splitlines()]


@pytest.mark.parametrize("via", ["command", "shell", "pipe"])
@pytest.mark.parametrize("args, expected", [
    ("-x -T Weather", [W1, W2, W3]),
    ("--exit --tag=Weather,Notify", [W1, W2, NOTE, W3]),
    ("-xTNotify", [NOTE]),
    ("-x -T PowerMgr,SAMGR,NetManager -L W,e", [
        "PowerMgr: thermal level warm: 41.2 °C, limiting CPU big cores",
        "NetManager: DNS lookup for ota.example.com failed: no network", SAMGR[1]]),
    ("-x --level F -T Weather", []),
    ("-x -D 0x1510", list(SAMGR)),
    ("-x --domain d001510 -L W", [SAMGR[1]]),
    ("-x -D 0xD001510,0x2D06 -L W", ["PowerMgr: thermal level warm: 41.2 °C, limiting CPU big cores", SAMGR[1]]),
    ("-x -D 0F001", [NOTE]),
    ("-x -t init", ["HiLog: ========Zeroth log of type: init"]),
    ("-x -t app -T Weather", []),
    ("-x --type core,app -T Weather -e 'Größe|Прогноз'", [W2, W3]),
    ("-T Weather -a 1", [W1]),
    ("-T Weather --tail 2", [W2, W3]),
], ids=lambda v: v if isinstance(v, str) else None)
def test_hilog_options(client, via, args, expected):
    assert tagged(hilog_run(client, via, args)) == expected


@pytest.mark.parametrize("via", ["command", "shell"])
@pytest.mark.parametrize("args, message", [
    ("-q", "hilog: invalid option -- 'q'\n"),
    ("-r --nope", "hilog: unrecognized option '--nope'\n"),
    ("-x -T", "hilog: option requires an argument -- 'T'\n"),
    ("-r -t Weather", "hilog: invalid log type 'Weather' (one of app, core, init, kmsg, only_prerelease)\n"),
    ("-x -L V", "hilog: invalid log level 'V' (one of D, I, W, E, F)\n"),
    ("-x -D 0xZZ", "hilog: invalid domain '0xZZ'\n"),
    ("-z 0", "hilog: invalid number of lines '0' for option -z\n"),
    ("-r -x extra", "hilog: unexpected argument 'extra'\n"),
    ("-x -P ²", "hilog: invalid pid '²'\n"),
    ("-z " + "9" * 5000, "hilog: invalid number of lines '%s...' for option -z\n" % ("9" * 40)),
    ("-x -e '(a|b'", "hilog: invalid regular expression '(a|b': Missing ')'\n"),
    ("-G 1K", "hilog: invalid buffer size '1K': from 64K to 16M\n"),
    ("-p maybe", "hilog: invalid value 'maybe' for option -p (on or off)\n"),
])
def test_hilog_refuses_a_bad_option_and_does_nothing_else(client, via, args, message):
    assert hilog_run(client, via, args) == message
    assert len(hilog_run(client, "command", "-x -T Weather").splitlines()) == 3
    assert hilog_run(client, via, "-x -h -T x").startswith("Usage:\n")


@pytest.mark.parametrize("n, command", [
    (0, "hilog -T hdcd -e 'echo [f]ollow0'"),
    (1, "shell hilog -T hdcd -e 'echo [f]ollow1'"),
    (2, "shell hilog -T hdcd | while read -r l; do case $l in *'echo f'ollow2*) echo \"$l\";; esac; done"),
    (3, "shell hilog -T hdcd | grep 'echo [f]ollow3'"),
], ids=["command", "shell", "pipe", "grep"])
def test_hilog_follows_until_the_next_command(client, sim, n, command):
    """Without -x the buffer is followed by each new line, with no end, in a pipe too; a further
    command on the connection stops it, and what was sent until then comes first in that
    command's output."""
    word = "follow%d" % n     # the pattern does not match the command's own line
    client.send(command)
    other = RawClient(sim.addr)
    for n in (1, 2):
        other.shell("echo %s-%d" % (word, n))
    got = b""
    while got.count(b"\n") < 2:
        got += client.packet()[2:]
    assert [ln.split("hdcd: ")[1] for ln in got.decode().splitlines()] == [
        "shell command: echo %s-1" % word, "shell command: echo %s-2" % word]
    with pytest.raises(socket.timeout):
        client.packet(timeout=0.3)
    other.shell("echo %s-3" % word)
    assert select.select([client.sock], [], [], 5)[0]
    assert client.shell("echo after").endswith("I C015A0/hdcd: shell command: echo %s-3\nafter\n" % word)
    other.shell("echo %s-4" % word)
    assert client.shell("echo quiet") == "quiet\n", "the following stopped"
    other.close()


def test_single_reply_commands(client):
    assert client.one("fport tcp:1 localabstract:x") == "Forwardport result:OK"
    assert client.one("fport tcp:1 localabstract:x").startswith("[Fail]Forward parameter is exist")
    assert "tcp:1 localabstract:x    [Forward]" in client.one("fport ls")
    assert client.one("fport rm tcp:1 localabstract:x") == "Remove forward ruler success, ruler:tcp:1 localabstract:x"
    assert client.one("fport rm tcp:1 localabstract:x").startswith("[Fail]")
    assert client.one("rport tcp:2").startswith("[Fail]Incorrect forward command")
    assert client.one("uninstall com.nobody").startswith("[Fail]uninstall bundle failed")
    assert client.one("wait") == "Connected device is kelpie-sim-1\n"


def test_install_then_uninstall_keeps_data_on_request(client, sim, tmp_path):
    hap = tmp_path / "com.example.demo.hap"
    hap.write_bytes(b"PK\x03\x04 not really a zip")
    text, texts = client.collect("install %s" % hap, INSTALL_MARKERS)
    assert len(texts) == 1 and "install bundle successfully" in text and text.endswith("AppMod finish\n")
    assert "\tcom.example.demo\n" in client.shell("bm dump -a")
    again, _ = client.collect("install %s" % hap, INSTALL_MARKERS)
    assert again.startswith("[Fail]") and "already installed" in again
    assert "successfully" in client.collect("install -r %s" % hap, INSTALL_MARKERS)[0]
    assert "successfully" in client.one("uninstall -k com.example.demo")
    assert "com.example.demo" not in client.shell("bm dump -a")
    assert client.shell("ls /data/app/el2/100/base") == "com.example.demo\n"
    for bad in ("", "%s" % (tmp_path / "missing.hap"), "%s" % tmp_path, "-x a.hap"):
        text, texts = client.collect("install " + bad, INSTALL_MARKERS)
        assert len(texts) == 1 and text.startswith("[Fail]")


def test_file_send_recv_with_flags(client, sim, tmp_path):
    src = tmp_path / "src.bin"
    src.write_bytes(os.urandom(3 * 1024 * 1024 + 7))
    os.chmod(str(src), 0o751)
    os.utime(str(src), (1_600_000_000, 1_600_000_000))
    text, texts = client.collect("file send -a -m %s /data/local/tmp/" % src, FILE_MARKERS)
    assert len(texts) > 1 and all(t.startswith(b"[Progress]") for t in texts[:-1])
    assert texts[-1].decode().startswith("FileTransfer finish, Size:3145735, File count = 1, time:")
    sent = os.path.join(sim.device_dir, "data/local/tmp/src.bin")
    assert os.stat(sent).st_mtime == 1_600_000_000 and os.stat(sent).st_mode & 0o777 == 0o751
    back = tmp_path / "back.bin"
    client.collect("file recv /data/local/tmp/src.bin %s" % back, FILE_MARKERS)
    assert back.read_bytes() == src.read_bytes()
    skipped, _ = client.collect("file recv -sync /data/local/tmp/src.bin %s" % back, FILE_MARKERS)
    assert "File count = 0" in skipped
    spaced = tmp_path / "with space.txt"
    spaced.write_text("spaces survive")
    client.collect("file send %s /data/local/tmp/with space.txt" % spaced, FILE_MARKERS)
    assert client.shell("cat '/data/local/tmp/with space.txt'") == "spaces survive"
    missing, texts = client.collect("file recv /data/nothing %s" % back, FILE_MARKERS)
    assert len(texts) == 1 and missing.startswith("[Fail]Error opening file")


@pytest.fixture
def outside(sim, tmp_path):
    """A secret file outside the device folder, and links to it planted in the folder."""
    secret = tmp_path / "secret.txt"
    secret.write_text("host secret")
    tmp = os.path.join(sim.device_dir, "data/local/tmp")
    for name, target in (("abs_link", str(secret)), ("up_link", "../../../../../../../../" + str(secret)),
                         ("dir_link", str(tmp_path))):
        path = os.path.join(tmp, name)
        if os.path.lexists(path):
            os.unlink(path)
        os.symlink(target, path)
    return secret


@pytest.mark.parametrize("command", [
    "cat /data/local/tmp/abs_link",
    "cat /data/local/tmp/up_link",
    "cat /data/local/tmp/dir_link/secret.txt",
    "cat ../../../../../../../../../..{secret}",
    "cd /data/local/tmp/dir_link; cat secret.txt",
    "ls {dir}",
])
def test_shell_reads_stay_inside(client, outside, command):
    out = client.shell(command.format(secret=outside, dir=outside.parent))
    assert "host secret" not in out and "secret.txt\n" not in out


@pytest.mark.parametrize("command", [
    "echo gone > {secret}",
    "echo gone > ../../../../../../../..{secret}",
    "echo gone > /data/local/tmp/abs_link",
    "echo gone > /data/local/tmp/dir_link/secret.txt",
    "rm -r /data/local/tmp/dir_link/secret.txt",
    "rm -r /data/local/tmp/dir_link",
    "rm -r ../../../../../..{dir}",
    "touch /data/local/tmp/up_link",
])
def test_shell_writes_stay_inside(client, outside, command):
    client.shell(command.format(secret=outside, dir=outside.parent))
    assert outside.read_text() == "host secret"


@pytest.mark.parametrize("command", [
    "file recv /data/local/tmp/abs_link {dest}",
    "file recv ../../../../../../..{secret} {dest}",
    "file recv /data/local/tmp/dir_link/secret.txt {dest}",
])
def test_file_recv_cannot_fetch_outside(client, outside, tmp_path, command):
    dest = tmp_path / "fetched.txt"
    text, _ = client.collect(command.format(secret=outside, dest=dest), FILE_MARKERS)
    assert text.startswith("[Fail]") and not dest.exists()


@pytest.mark.parametrize("remote", ["{secret}", "../../../../../../..{secret}", "/data/local/tmp/abs_link",
                                    "/data/local/tmp/dir_link/secret.txt"])
def test_file_send_cannot_write_outside(client, outside, tmp_path, remote):
    payload = tmp_path / "payload.txt"
    payload.write_text("overwritten")
    text, _ = client.collect("file send %s %s" % (payload, remote.format(secret=outside)), FILE_MARKERS)
    assert text.startswith("[Fail]Error opening file: permission denied, path:")   # outside the shell's folders
    assert outside.read_text() == "host secret"


def test_bundle_names_cannot_reach_outside(client, sim, tmp_path):
    victim = os.path.join(sim.root, "victim")
    os.makedirs(victim, exist_ok=True)
    for name in ("../../../../victim", "..", "/", "com.ohos.settings"):
        assert client.one("uninstall " + name).startswith("[Fail]")
    assert os.path.isdir(victim)
    dots = tmp_path / "..hap"
    dots.write_bytes(b"x")
    assert client.collect("install %s" % dots, INSTALL_MARKERS)[0].startswith("[Fail]")


@pytest.mark.parametrize("garbage", [
    struct.pack(">I", 0),
    struct.pack(">I", MAX_PACKET + 1),
    struct.pack(">I", 10) + b"abc",
])
def test_malformed_packet_closes_only_that_connection(sim, garbage):
    c = RawClient(sim.addr)
    c.sock.sendall(garbage)
    c.sock.shutdown(socket.SHUT_WR)
    with pytest.raises(EOFError):
        c.packet()
    assert RawClient(sim.addr).one("list targets") == "kelpie-sim-1\n"


def test_bad_handshake_reply_is_dropped(sim):
    s = socket.create_connection(("127.0.0.1", sim.port), timeout=5)
    s.recv(112)
    s.sendall(struct.pack(">I", 44) + b"NOT HDC" + bytes(37))
    assert s.recv(10) == b""


def test_unknown_key_answers_every_command_with_fail(sim):
    c = RawClient(sim.addr, key="no-such-device")
    assert c.shell("echo hi") == "[Fail]device not found: no-such-device"
    assert c.collect("hilog -x", ())[0] == "[Fail]device not found: no-such-device"
    assert c.collect("file send /etc/hostname /x", FILE_MARKERS)[0].startswith("[Fail]")
    assert c.one("fport tcp:9 tcp:9").startswith("[Fail]")
    assert c.one("list targets") == "kelpie-sim-1\n"
    c.assert_in_sync()


def test_forward_and_reverse_carry_tcp(client, sim):
    a, b = free_port(), free_port()
    assert client.one("fport tcp:%d tcp:7" % a) == "Forwardport result:OK"
    assert echo_through(a, b"ping" * 10000) == b"ping" * 10000
    # device port 9100 -> host port a -> device echo; reached from the host through port b
    assert client.one("rport tcp:9100 tcp:%d" % a) == "Forwardport result:OK"
    assert client.one("fport tcp:%d tcp:9100" % b) == "Forwardport result:OK"
    assert echo_through(b, "über".encode()) == "über".encode()
    assert client.one("fport tcp:%d tcp:7" % a).startswith("[Fail]")
    for task in ("tcp:%d tcp:7" % a, "tcp:9100 tcp:%d" % a, "tcp:%d tcp:9100" % b):
        assert client.one("fport rm " + task).startswith("Remove forward ruler success")
    with pytest.raises(OSError):
        echo_through(a, b"x")


def test_wait_is_answered_by_a_later_device_and_keys_bind():
    with SimProcess(["--devices", "0", "--attach-after", "0.3", "--max-seconds", "30"]) as sim:
        c = RawClient(sim.addr)
        assert c.one("list targets") == ""
        assert c.shell("echo x") == "[Fail]No device attached"
        started = time.monotonic()
        assert c.one("wait") == "Connected device is kelpie-sim-1\n"
        assert 0.1 < time.monotonic() - started < 5
        assert c.shell("echo x") == "x\n"
        c.assert_in_sync()


def test_several_devices_need_a_key(tmp_path):
    with SimProcess(["--devices", "2", "--root", str(tmp_path), "--max-seconds", "30"]) as sim:
        assert RawClient(sim.addr).shell("pwd").startswith("[Fail]More than one device")
        second = RawClient(sim.addr, key="kelpie-sim-2")
        assert second.shell("touch /data/local/tmp/mine && ls /data/local/tmp") == "mine\n"
        assert os.path.exists(str(tmp_path / "kelpie-sim-2" / "data/local/tmp/mine"))
        assert not os.path.exists(str(tmp_path / "kelpie-sim-1" / "data/local/tmp/mine"))


def test_host_shell_runs_sh_in_the_device_folder(tmp_path):
    with SimProcess(["--host-shell", "--root", str(tmp_path), "--max-seconds", "30"]) as sim:
        c = RawClient(sim.addr)
        assert c.shell("echo $((6*7)); pwd") == "42\n%s\n" % (tmp_path / "kelpie-sim-1")
        assert c.shell("printf 'a\\n'; sleep 0.3; printf 'b\\n'") == "a\nb\n"
        c.assert_in_sync()


def test_stops_by_itself_and_removes_its_temporary_root(tmp_path):
    with open(str(tmp_path / "stderr"), "w+") as err:
        sim = SimProcess(["--max-seconds", "0.5"], stderr=err)
        assert RawClient(sim.addr).shell("pwd") == "/\n"
        deadline = time.monotonic() + 10
        while sim.running() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert sim.stop() == 0
        err.seek(0)
        folder = err.read().split("file system in ")[1].split()[0]
    assert folder.endswith("kelpie-sim-1") and not os.path.exists(os.path.dirname(folder))


def test_a_taken_port_is_reported_before_any_device_attaches():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        run = subprocess.run([sys.executable, os.path.join(SIM_DIR, "hdc_sim.py"), "--port",
                              str(taken.getsockname()[1])], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, timeout=30)
    assert (run.returncode, run.stdout) == (1, "")
    assert run.stderr.startswith("hdc_sim.py: cannot listen on 127.0.0.1:") and "attached" not in run.stderr
