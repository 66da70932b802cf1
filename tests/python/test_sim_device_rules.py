"""What a device allows and how its tools fail, through kelpie against the simulator: the shell
user's write rules, params set once, processes that log under their pids, /proc and the tools
that agree with it, hilog's settings, and hostile input that must get the tool's own error."""

import os
import re
import sys

import pytest

import kelpie

SIM_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "python")
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

from kelpie_sim import posix_regex, regex_automaton  # noqa: E402
from support.device_files import put  # noqa: E402

TMP = "/data/local/tmp"
BUNDLE_DIR = "/data/app/el1/bundle/public"


@pytest.mark.parametrize("command, expected", [
    ("mkdir /data/demo", "mkdir: /data/demo: Permission denied\n"),
    ("mkdir /nosuch/d; touch /system/nosuch/f", "mkdir: /nosuch/d: No such file or directory\n"
                                              "touch: /system/nosuch/f: No such file or directory\n"),
    ("mkdir -p /data/a/b/c || ls /data", "mkdir: /data/a/b/c: Permission denied\napp\nlocal\n"),
    ("echo x > /system/f; ls /system", "/bin/sh: can't create /system/f: Read-only file system\nbin\netc\n"),
    ("echo x >> /vendor/etc/f && echo written", "/bin/sh: can't create /vendor/etc/f: Read-only file system\n"),
    ("touch /newfile; touch /system/etc", "touch: /newfile: Read-only file system\n"
                                          "touch: /system/etc: Read-only file system\n"),
    ("rm -rf /data/app/el1; rm /proc/uptime; ls /data/app", "rm: /data/app/el1: Permission denied\n"
                                                             "rm: /proc/uptime: Permission denied\nel1\nel2\n"),
    ("echo x > /data/local/tmp/sys/f", "/bin/sh: can't create /data/local/tmp/sys/f: Read-only file system\n"),   # a link to /system
    ("mkdir /data/local/tmp; rm -r /data/local/tmp; ls -a /data/local/tmp | grep -c tmp",
     "mkdir: /data/local/tmp: File exists\nrm: /data/local/tmp: Permission denied\n0\n"),
    ("mkdir -p /data/local/tmp/d/e && echo hi > /data/local/tmp/d/e/f && cat /data/local/tmp/d/e/f"
     " && rm -r /data/local/tmp/d && echo gone", "hi\ngone\n"),
    ("echo n > /storage/media/100/local/files/Docs/n.txt && cat /storage/media/100/local/files/Docs/n.txt", "n\n"),
    ("param set const.product.model X; param get const.product.model",
     "Set parameter const.product.model X fail! errNum is:107!\nKSIM-AL00\n"),
    ("param set const.lab.first a; param set const.lab.first b || param get const.lab.first",
     "Set parameter const.lab.first a success\nSet parameter const.lab.first b fail! errNum is:107!\na\n"),
    ("param get no.such.param || echo missing", 'Get parameter "no.such.param" fail! errNum is:106!\nmissing\n'),
    ("param set persist.lab.x 1 && param set persist.lab.x 2 && param get persist.lab.x",
     "Set parameter persist.lab.x 1 success\nSet parameter persist.lab.x 2 success\n2\n"),
])
def test_the_shell_user_writes_only_where_a_device_lets_it(client, sim, command, expected):
    link = os.path.join(sim.device_dir, "data/local/tmp/sys")
    if not os.path.lexists(link):
        os.symlink("/system", link)
    assert client.shell(command) == expected
    assert not any(os.path.exists(os.path.join(sim.device_dir, p)) for p in ("data/demo", "data/a", "system/f",
                                                                                "vendor/etc/f", "newfile"))


def test_file_send_where_the_shell_user_may_not_write(client, sim, tmp_path):
    local = tmp_path / "report.txt"
    local.write_text("passed")
    assert client.file_send(str(local), "/system/etc/report.txt") == (
        "[Fail]Error opening file: read-only file system, path:/system/etc/report.txt")
    assert client.file_send(str(local), "/data/new/report.txt") == (
        "[Fail]Error opening file: permission denied, path:/data/new/report.txt")
    assert not os.path.exists(os.path.join(sim.device_dir, "data/new"))
    assert client.file_send(str(local), TMP + "/new/sub/").startswith("FileTransfer finish, Size:6, File count = 1,")
    assert client.shell("cat %s/new/sub/report.txt" % TMP) == "passed"


def test_file_recv_of_a_folder(client, sim, tmp_path):
    put(sim, TMP + "/tree/a.txt", "aa")
    put(sim, TMP + "/tree/sub/b.txt", "温度")
    os.symlink("/system", os.path.join(sim.device_dir, "data/local/tmp/tree/sys"))
    said = client.file_recv(TMP + "/tree", str(tmp_path))
    assert said.startswith("FileTransfer finish, Size:8, File count = 2,")
    assert (tmp_path / "tree/a.txt").read_text() == "aa" and (tmp_path / "tree/sub/b.txt").read_text() == "温度"
    assert not (tmp_path / "tree/sys").exists()


@pytest.mark.parametrize("command, expected", [
    ("uitest screenCap -p /data/local/tmp/missing/x.png",
     "uitest: ScreenCap failed: /data/local/tmp/missing/x.png: No such file or directory\n"),
    ("mkdir -p /data/local/tmp/adir; uitest dumpLayout -p /data/local/tmp/adir",
     "uitest: DumpLayout failed: /data/local/tmp/adir: Is a directory\n"),
    ("snapshot_display -f /system/x.jpeg", "process: set filename to /system/x.jpeg\n"
     "error: snapshot display 0 , write to /system/x.jpeg as jpeg failed: Read-only file system\n"),
    ("snapshot_display -f /data/local/tmp/ | grep -c failed", "1\n"),
    ("date -d @nan; date -d @1e300; date -u -d @inf || date -u -d @-86400 +%F",
     "date: bad date '@nan'\ndate: bad date '@1e300'\ndate: bad date '@inf'\n1969-12-31\n"),
    ("uitest uiInput click ² 5; uitest uiInput click ١٢ 5", "uitest: invalid coordinate: ²\n"
                                                           "uitest: invalid coordinate: ١٢\n"),
    ("power-shell setmode ６００", "power-shell: setmode needs one of 600, 601, 602, 603\n"),
    ("echo x | grep -m ² x; echo a | grep '['; echo a | grep '[[:foo:]]'",
     "grep: -m needs a number, not '²'\ngrep: bad regex '[': Missing ']'\n"
     "grep: bad regex '[[:foo:]]': Unknown character class name\n"),
    ("hidumper --mem ²; hidumper -p 99999999999999999999999", "hidumper: no such process: ²\n"
                                                               "hidumper: no such process: 99999999999999999999999\n"),
    ("kill ²; top -n ²", "kill: bad pid '²'\ntop: bad -n '²'\n"),
    ("hilog -x -D ２d00; hilog -x -P 1,²", "hilog: invalid domain '２d00'\nhilog: invalid pid '²'\n"),
    ("hilog -z %s" % ("7" * 5000), "hilog: invalid number of lines '%s...' for option -z\n" % ("7" * 40)),
    ("du -d ² /data/local/tmp; echo a | sed -n '1~²p'; echo a | xargs -n ١ echo; echo a | cut -c ²",
     "du: not integer: ²\nsed: bad pattern '1~²p' @ 3\nxargs: -n needs a number above 0, not '١'\n"
     "cut: bad list '²'\n"),
    ("N=%s; du -d $N / 2>&1 | cut -c1-17; printf '%%d\\n' $N 2>&1 | cut -c1-17; echo a | cut -c $N 2>&1 | cut -c1-11"
     % ("7" * 5000), "du: not integer: \nprintf: invalid n\n0\ncut: bad li\n"),
])
def test_bad_input_gets_the_tools_error(client, sim, command, expected):
    out = client.shell(command)
    assert out == expected
    assert sim.device_dir not in out


def test_bm_install_from_the_bundles_own_folder_keeps_it(client, sim):
    put(sim, TMP + "/com.example.self.hap", b"PK\x03\x04 self")
    installed = BUNDLE_DIR + "/com.example.self"
    assert client.shell("bm install -p %s/com.example.self.hap && bm install -p %s && bm install -p %s/%s"
                        " && bm dump -a | grep -c com.example.self" % (TMP, installed, installed,
                                                                      "com.example.self.hap")) == (
        "install bundle successfully.\n" * 3 + "1\n")
    with open(os.path.join(sim.device_dir, installed.lstrip("/"), "com.example.self.hap"), "rb") as f:
        assert f.read() == b"PK\x03\x04 self"


def _pid_column(log):
    return {line.split()[2] for line in log.splitlines()}


def test_processes_log_under_their_own_pids(client, sim):
    put(sim, TMP + "/com.example.logs.hap", b"PK\x03\x04")
    assert client.shell("bm install -p %s/com.example.logs.hap && aa start -a EntryAbility -b com.example.logs"
                        % TMP) == "install bundle successfully.\nstart ability successfully.\n"
    pid = client.shell("pidof com.example.logs").strip()
    own = client.hilog("-x -P " + pid)
    assert "A00000/testTag: Ability onCreate" in own and _pid_column(own) == {pid}
    assert _pid_column(client.hilog("-x -T hdcd")) == {client.shell("pidof hdcd").strip()}
    assert client.shell("aa force-stop com.example.logs; bm uninstall -n com.example.logs") == (
        "force stop process successfully.\nuninstall bundle successfully.\n")


def test_a_test_logs_under_a_pid_and_sets_the_level_kept(hdc_sim, hdc_sim_client):
    hdc_sim.log("MyApp", "as the app", pid=4242)
    hdc_sim.log("MyApp", "dropped", level="D")
    assert hdc_sim_client.hilog("-x -P 4242").endswith(" 4242  4242 I A00000/MyApp: as the app\n")
    assert hdc_sim_client.shell("hilog -b D -T MyApp; hilog -b F -D 0x1") == (
        "Set tag MyApp log level to D successfully\nSet domain 0x1 log level to F successfully\n")
    hdc_sim.log("MyApp", "kept", level="D")
    assert [line.split(": ", 1)[1] for line in hdc_sim_client.hilog("-x -T MyApp -L D").splitlines()] == ["kept"]
    with pytest.raises(Exception, match="pid"):
        hdc_sim.log("MyApp", "x", pid="12")


@pytest.mark.parametrize("command, expected", [
    ("hilog -g -t app,core; hilog -G 16M -t app; hilog -g -t app",
     "Log type app buffer size is 256.0K\nLog type core buffer size is 256.0K\n"
     "Set log type app buffer size to 16.0M successfully\nLog type app buffer size is 16.0M\n"),
    ("hilog -p on; hilog -k off; hilog -Q pidon; hilog -S",
     "Set hilog privacy format on successfully\nSet hilogd storing kmsg log off successfully\n"
     "Set flow control by process to enabled successfully\nStatistic info clear successfully\n"),
    ("hilog -w query; hilog -w start -n 1000; hilog -w stop",
     "Persist task query failed\nNo running persistent task [CODE: -63]\n"
     "Persist task [jobid:1][fileNum:1000][fileSize:4194304] start successfully\n"
     "Persist task [jobid:1] stop successfully\n"),
    ("hilog -b V; hilog -G 99G; hilog -b D -G 1M; hilog -n 3",
     "hilog: invalid log level 'V' (one of D, I, W, E, F)\nhilog: invalid buffer size '99G': from 64K to 16M\n"
     "hilog: options -b -G cannot be used together\nhilog: option -n needs -w\n"),
])
def test_hilog_settings(client, command, expected):
    assert client.shell(command) == expected


@pytest.mark.parametrize("formats, stamp", [
    ("year", r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"),
    ("epoch,usec", r"\d{10}\.\d{6}"),
    ("monotonic -v nsec", r"\d{1,3}\.\d{9}"),
    ("time,zone", r"\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4}"),
    ("color,wrap", "\x1b\\[31m" + r"\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"),
])
def test_hilog_formats(client, formats, stamp):
    out = client.hilog("-x -T NetManager -v " + formats)
    assert re.fullmatch(stamp + r" +\d+ +\d+ E C03F00/NetManager: DNS lookup for ota.example.com failed: no network"
                        "(\x1b\\[0m)?\n", out), out


def _fields(text):
    return dict(re.findall(r"^(\w+):\s+(\d+)", text, re.M))


def test_proc_agrees_with_the_tools(client):
    pid = client.shell("pidof hdcd").strip()
    status = client.shell("cat /proc/%s/status" % pid)
    assert status.startswith("Name:\thdcd\n") and "\nPid:\t%s\n" % pid in status and "\nUid:\t0\t0\t0\t0\n" in status
    assert pid in client.shell("ls /proc").split() and client.shell("cat /proc/1/status | grep Name") == "Name:\tinit\n"
    meminfo = _fields(client.shell("cat /proc/meminfo"))
    free = client.shell("free -k").splitlines()
    assert free[1].split()[1:3] == [meminfo["MemTotal"], str(int(meminfo["MemTotal"]) - int(meminfo["MemFree"]))]
    top = client.shell("top -n 1")
    assert "  Mem: %9sK total" % meminfo["MemTotal"] in top and " /system/bin/hdcd\n" in top
    rss = _fields(client.shell("cat /proc/%s/status" % pid))["VmRSS"]
    assert re.search(r"^%s .* kB\s+\d+ kB\s+%s kB" % (pid, rss), client.shell("hidumper --mem"), re.M)
    assert float(client.shell("cat /proc/uptime").split()[0]) >= 60
    assert client.shell("uname -r") .strip() in client.shell("cat /proc/version")
    assert client.shell("mount | grep ' on / '") == "/dev/root on / type ext4 (ro,seclabel,relatime)\n"
    assert client.shell("id; whoami; id -un; ps -ef | grep -c '^shell '") == (
        "uid=2000(shell) gid=2000(shell) groups=2000(shell),1007(log),1009(mount),3009(readproc)"
        " context=u:r:sh:s0\nshell\nshell\n2\n")   # ps and the grep
    assert client.shell("kill %s; kill -9 999999; kill -l 9; echo x > /proc/meminfo" % pid) == (
        "kill: bad pid '%s': Operation not permitted\nkill: bad pid '999999': No such process\nKILL\n"
        "/bin/sh: can't create /proc/meminfo: Permission denied\n" % pid)


@pytest.mark.parametrize("command, expected", [
    ("aa -h | grep -c force-stop; uitest --version; uitest help | grep -c screenCap", "1\n4.1.4.7\n1\n"),
    ("power-shell help | grep -c setmode; hidumper -h | grep -c cpuusage", "1\n1\n"),
    ("hidumper --cpuusage 1 | grep -c /init; hidumper -p 1 | grep -c '^root '", "1\n1\n"),
    ("hidumper --mem 1 | grep -c 'Process: /init (pid 1)'; hidumper --bogus",
     "1\nhidumper: option '--bogus' is not known; hidumper -h lists them\n"),
])
def test_tool_help_and_per_process_views(client, command, expected):
    assert client.shell(command) == expected


@pytest.mark.hdc_sim(devices=2)
def test_a_backtracking_pattern_holds_up_no_device(hdc_sim):
    # Python's re would take years on this line; the automaton reads it once.
    hdc_sim.log("Long", "a" * 20000 + "b", device="kelpie-sim-1")
    first, second = kelpie.HdcClient(hdc_sim.addr), kelpie.HdcClient(hdc_sim.addr)
    first.connect_device("kelpie-sim-1")
    second.connect_device("kelpie-sim-2")
    assert first.hilog("-x -T Long -e '(a|aa)+$'") == ""
    assert first.shell("hilog -x -T Long -e '^(a|aa)+b$' | grep -c .") == "1\n"
    assert first.shell("hilog -x -T Long | grep -cE '(a|aa)+$'; hilog -x -T Long | grep -ciE '(A|AA)+B$'") == "0\n1\n"
    assert (first.shell("echo in step"), second.shell("echo other")) == ("in step\n", "other\n")


@pytest.mark.parametrize("pattern, text, found", [
    ("(a|aa)+$", "aaab", False), ("(a|aa)+b$", "aaab", True), ("^ab", "xab", False), ("b$", "ab\n", False),
    ("\\bfoo\\b", "a foo.", True), ("\\bfoo\\b", "foobar", False), ("\\Bo", "foo", True),
    ("\\<fo", "a foo", True), ("o\\>", "foox", False),
    ("a{2,3}c", "aac", True), ("^a{2}$", "aaa", False), ("[[:upper:]][[:digit:]]+", "xA12", True),
    ("[^a-c]", "abc", False), ("\\d+\\.\\d", "v1.2", True), ("温度|Größe", "Größe 12", True),
    ("(?:ab)*?c", "ababc", True), ("\\x41[]x]", "A]", True), ("", "", True),
    ("error|fail", "it failed", True), ("x(ab|cd)+y", "xcdaby", True), ("x(ab|cd)+y", "xy ab cd", False),
])
def test_the_automaton_and_re_agree_on_whether_a_line_matches(pattern, text, found):
    regex = posix_regex.compile_posix(pattern, extended=True, escapes=True)
    assert regex.matches(text) is found
    assert regex_automaton.LineMatcher(regex.tree, False).search(text, [10 ** 6]) is found


@pytest.mark.parametrize("pattern, message", [
    ("(a", "Missing ')'"), ("[b-a]", "Invalid character range"), ("a{1001}", "Invalid contents of {}"),
    ("((a{1000}){1000})", "Invalid contents of {}"), ("[[:foo:]]", "Unknown character class name"),
    ("a\\", "Trailing backslash"),
])
def test_hilog_refuses_a_bad_pattern_with_its_reason(client, pattern, message):
    assert client.shell("hilog -x -e '%s'" % pattern) == (
        "hilog: invalid regular expression '%s': %s\n" % (pattern, message))


def test_a_pattern_past_its_budget_gets_an_error_not_a_stall():
    regex = posix_regex.compile_posix("\\(a*\\)*\\1b")       # a back-reference on a long line
    with pytest.raises(posix_regex.RegexBudget):
        regex.matches("a" * 2000)
