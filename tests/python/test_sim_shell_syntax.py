"""The simulated device's sh: its grammar, expansions, redirections, control flow and
errors as the device's sh prints them, through kelpie against the simulator; and the
pipelines that stream, run in-process against a device."""

import asyncio
import os
import sys

import pytest

SIM_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "python")
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

from kelpie_sim import shell  # noqa: E402
from kelpie_sim.devices import Device  # noqa: E402
from support.device_files import put  # noqa: E402


@pytest.fixture
def globbed(sim):
    folder = os.path.join(sim.device_dir, "data/local/tmp/gl")
    for name in ("a.txt", "b.txt", "c.log", ".hidden", "sub/d.txt"):
        put(sim, "/data/local/tmp/gl/" + name, name)
    return folder


@pytest.mark.parametrize("command, expected", [
    # parameters and quoting
    ("V=3; echo $V ${V} \"$V\" '$V' \\$V", "3 3 3 $V $V\n"),
    ("false; echo $?; true; echo $?; nosuch 2>/dev/null; echo $?", "1\n0\n127\n"),
    ("export A=1 B; echo $A$B; unset A; echo \"[$A]\" $# $0", "1\n[] 0 /bin/sh\n"),
    ("echo ${U:-def} ${U-x} ${#PATH} ${U:=set} $U ${U:+alt}", "def x 23 set set alt\n"),
    ("x='a  b'; for w in $x; do echo \"<$w>\"; done; echo \"<$x>\"", "<a>\n<b>\n<a  b>\n"),
    ("f=/a/b.c.d; echo ${f#*/} ${f##*/} ${f%.*} ${f%%.*} \"${f##*/}\" ~", "a/b.c.d b.c.d /a/b.c /a/b b.c.d /\n"),
    ("echo a{b,c}d {1,2}{x,y} {a,{b,c}} {a} \"{a,b}\" x{,s}; for f in {p,q}; do echo $f; done",
     "abd acd 1x 1y 2x 2y a b c {a} {a,b} x xs\np\nq\n"),
    ("echo " + "{a,b}" * 20 + "; echo never", "/bin/sh: brace expansion: too many words\n"),
    ("e=; echo [$e] \"[$e]\" $e$e | cat", "[] []\n"),
    ("echo \"a 'b' \\\"c\\\" \\$d\" '温度' \"℃ $((1+1))\"", "a 'b' \"c\" $d 温度 ℃ 2\n"),
    ("echo $$ | grep -c '^[0-9][0-9]*$'", "1\n"),
    # command substitution
    ("x=$(echo hi; echo there); echo \"[$x]\" `echo back` $(echo $(echo $(echo deep)))", "[hi\nthere] back deep\n"),
    ("echo [$(nosuch)]; x=$(false); echo $?", "/bin/sh: nosuch: inaccessible or not found\n[]\n1\n"),
    ("cd /data; x=$(cd /system; pwd); echo $x; pwd", "/system\n/data\n"),
    # arithmetic: mksh's 32-bit integers
    ("echo $((1+2*3)) $(( (1+2)*3 )) $((-7/2)) $((-7%3)) $((1<<4)) $((0x10+010)) $((2#101)) $((3>2&&0||1))",
     "7 9 -3 -1 16 24 5 1\n"),
    ("i=1; i=$((i+1)); echo $((i*=3)) $i $((i++)) $i $((n+1)) $((i>6?10:20))", "6 6 6 7 1 10\n"),
    ("echo $((2147483647+1)) $((-2147483647-1)) $((99999999999999999999999))", "-2147483648 -2147483648 -159383553\n"),
    ("echo $((1/0)); echo never", "/bin/sh: 1/0: zero divisor\n"),
    ("echo $((1+)) ", "/bin/sh: 1+: unexpected end of expression\n"),
    # redirections
    ("echo a > /data/local/tmp/r; echo b >> /data/local/tmp/r; cat < /data/local/tmp/r; cat /data/local/tmp/r | cat",
     "a\nb\na\nb\n"),
    ("cat /nosuch 2>/dev/null; echo $?; cat /nosuch 2>&1 | grep -c No; echo err >&2 | grep -c err",
     "1\n1\nerr\n0\n"),
    ("cat /nosuch 2> /data/local/tmp/e >/dev/null; echo in:; cat /data/local/tmp/e",
     "in:\ncat: /nosuch: No such file or directory\n"),
    ("echo x > /nosuchdir/f; echo $?; cat < /nosuch || echo failed",
     "/bin/sh: can't create /nosuchdir/f: No such file or directory\n1\n"
     "/bin/sh: can't open /nosuch: No such file or directory\nfailed\n"),
    ("V=you; cat <<EOF\nhello $V\n  $((6*7))\nEOF\ncat <<'EOF'\n$V\nEOF", "hello you\n  42\n$V\n"),
    ("echo x >&3; echo $?; { echo out; echo err >&2; } 2>/dev/null", "/bin/sh: 3: bad file descriptor\n1\nout\n"),
    ("for i in 1 2; do echo $i; done > /data/local/tmp/loop; cat /data/local/tmp/loop", "1\n2\n"),
    # control flow
    ("if false; then echo 1; elif [ a = b ]; then echo 2; elif test -d /data; then echo 3; else echo 4; fi", "3\n"),
    ("if [ -f /data ]; then echo file; else echo other; fi; if ! [ -e /nosuch ]; then echo absent; fi",
     "other\nabsent\n"),
    ("for i in 1 2 3 4; do [ $i = 2 ] && continue; [ $i = 4 ] && break; echo $i; done", "1\n3\n"),
    ("i=0; while [ $i -lt 3 ]; do i=$((i+1)); echo $i; done; until [ $i = 0 ]; do i=$((i-1)); done; echo $i",
     "1\n2\n3\n0\n"),
    ("for a in x y; do for b in 1 2; do [ $b = 2 ] && continue 2; echo $a$b; done; done", "x1\ny1\n"),
    ("break; echo after; for i in 1 2; do for j in a b; do break 5; done; echo no; done; for a in \"$@\"; do :; done",
     "after\n"),
    ("for f in a.txt b.log '*'; do case $f in *.txt|*.md) echo text;; \"*\") echo star;; *) echo other;; esac; done",
     "text\nother\nstar\n"),
    ("! false && echo negated; true && false || echo or; false || true && echo and", "negated\nor\nand\n"),
    ("{ echo a; echo b; } | grep -c .; (exit 3); echo $?; (cd /data); pwd", "2\n3\n/\n"),
    ("exit 4; echo no", ""),
    ("set -e; false || echo yes; if false; then :; fi; ! true; echo on; false; echo off", "yes\non\n"),
    ("sleep 30 & echo started", "started\n"),
    ("echo 'a b  c' | { read x y; echo \"$y|$x\"; }; echo last | while read -r l; do echo \"<$l>\"; done",
     "b  c|a\n<last>\n"),
    ("eval 'x=1; echo $x'; sh -c 'cd /data; echo $((1+1))'; pwd", "1\n2\n/\n"),
    ("f() { echo \"$# [$1] [$2]\"; for a; do echo \"<$a>\"; done; shift; echo \"$@\"; return 3; echo no; }; "
     "f x 'y z'; echo $? $#", "2 [x] [y z]\n<x>\n<y z>\ny z\n3 0\n"),
    ("fact() { if [ $1 -le 1 ]; then echo 1; else echo $(( $1 * $(fact $(($1-1))) )); fi; }; fact 6; "
     "g() { g; }; g; echo never", "720\n/bin/sh: g: recursion too deep\n"),
    ("[ ² -eq 1 ]; echo $?; [ 1 -eq; echo $?; [ a; echo $?", "/bin/sh: [: ²: bad number\n2\n"
     "/bin/sh: [: missing ]\n2\n/bin/sh: [: missing ]\n2\n"),
    ("test -n '' || echo empty; test abc \\> abb -a 3 -ge 3 && echo both", "empty\nboth\n"),
    # syntax errors, as the device's sh (mksh) prints them
    ("fi", "/bin/sh: syntax error: 'fi' unexpected\n"),
    ("echo a; if true; then echo x", "/bin/sh: syntax error: 'if' unmatched\n"),
    ("echo a ;; echo b", "/bin/sh: syntax error: ';;' unexpected\n"),
    ("echo a |", "/bin/sh: syntax error: unexpected EOF\n"),
    ("do echo", "/bin/sh: syntax error: 'do' unexpected\n"),
    ("; echo", "/bin/sh: syntax error: ';' unexpected\n"),
    ("echo \"open", "/bin/sh: no closing quote\n"),
    ("echo $(echo x", "/bin/sh: syntax error: '(' unmatched\n"),
    ("for 1 in a; do :; done", "/bin/sh: for: bad identifier\n"),
    ("echo ${!x}", "/bin/sh: ${!x}: bad substitution\n"),
    ("{ echo a }", "/bin/sh: syntax error: '{' unmatched\n"),
    # hostile input
    ("echo " + "$(" * 60 + "x" + ")" * 60, "/bin/sh: syntax error: nested too deeply\n"),
    ("if true; then " * 45 + "echo x" + "; fi" * 45, "/bin/sh: syntax error: nested too deeply\n"),
    ("echo $((" + "(" * 200 + "1" + ")" * 200 + "))", "/bin/sh: %s: expression nested too deeply\n"
     % ("(" * 200 + "1" + ")" * 200)),
    ("echo $((" + "9" * 5000 + "))", "/bin/sh: %s: bad number '%s'\n" % ("9" * 5000, "9" * 5000)),
    ("x=1; " + "x=$((x+x)); " * 40 + "echo $x", "0\n"),
    ("eval 'eval \"eval \\\"echo deep\\\"\"'", "deep\n"),
])
def test_sh(client, command, expected):
    assert client.shell(command) == expected


@pytest.mark.parametrize("command, expected", [
    ("cd /data/local/tmp/gl && echo *.txt ? [ab]* [!a]*.txt */*.txt", "a.txt b.txt ? a.txt b.txt b.txt sub/d.txt\n"),
    ("echo /data/local/tmp/gl/*.log /data/local/tmp/gl/*.zip '/data/local/tmp/gl/*' \"*\"",
     "/data/local/tmp/gl/c.log /data/local/tmp/gl/*.zip /data/local/tmp/gl/* *\n"),
    ("cd /data/local/tmp/gl; echo .* | grep -c hidden; x='*.log'; echo $x \"$x\"", "1\nc.log *.log\n"),
    ("rm -rf /data/local/tmp/gl/*; ls -a /data/local/tmp/gl", ".\n..\n.hidden\n"),
])
def test_globs(client, globbed, command, expected):
    assert client.shell(command) == expected


def test_globs_stay_inside_the_device(client, sim):
    names = client.shell("ls /").split()
    assert client.shell("echo /../../* ../../../*").split() == (
        ["/../../" + n for n in names] + ["../../../" + n for n in names])


def test_a_loop_without_a_pause_is_stopped_and_the_device_still_answers(client):
    out = client.shell("echo before; while true; do :; done; echo after")
    assert out.startswith("before\n\n[simulator] command stopped: a loop ran ") and "after" not in out
    assert client.shell("echo next") == "next\n"


def test_ps_lists_the_stages_of_its_pipeline(client):
    rows = client.shell("ps -ef | grep -F 'grep -F marker'").splitlines()
    assert len(rows) == 1 and rows[0].split()[0] == "shell" and rows[0].endswith(" grep -F grep -F marker")
    assert client.shell("ps -ef | grep -c -F 'grep -c'; ps -ef | grep -c -F 'grep -c'") == "1\n1\n", "ended"


# --- streaming pipelines, run in-process ---------------------------------------------

class Stream:
    def __init__(self):
        self.data = bytearray()

    async def write(self, data):
        self.data += data.encode() if isinstance(data, str) else data

    async def flush(self, settle=True):
        pass


class FirstLines:
    """A line-by-line tool: the first N lines of its input."""

    def __init__(self, s, n):
        self.s, self.left, self.done, self.fed = s, n, n == 0, 0

    def feed(self, line):
        self.fed += 1
        self.s.say(line)
        self.left -= 1
        self.done = self.left == 0

    def finish(self):
        self.s.say("fed %d\n" % self.fed)
        return 0


@pytest.fixture
def device(tmp_path, monkeypatch):
    monkeypatch.setitem(shell.FILTERS, "first", lambda s, args: FirstLines(s, int(args[0])))
    monkeypatch.setitem(shell.BUILTINS, "first", lambda s, args: 0)
    return Device("kelpie-sim-1", str(tmp_path))


def run_line(device, line, after=None):
    async def main():
        stream, waits = Stream(), []
        task = asyncio.ensure_future(shell.run_builtin(device, line, stream, on_wait=lambda: waits.append(1)))
        if after is not None:
            await asyncio.sleep(0.05)
            after()
        await asyncio.wait_for(task, 5)
        return stream.data.decode(), bool(waits)
    return asyncio.run(main())


def test_a_filter_stops_the_stages_before_it(device):
    out, waited = run_line(device, "hilog -x | first 3; echo next")
    assert out.count("\n") == 5 and out.endswith("fed 3\nnext\n") and not waited
    # A following hilog ends once the filter has what it wants, logged after it started.
    before = sum(1 for line in device.log.lines() if line.tag == "Weather")
    out, waited = run_line(device, "hilog -T Weather | first %d; echo next" % (before + 3),
                           after=lambda: [device.log.add("I", "C0F000", "Weather", "late %d" % n) for n in range(5)])
    assert waited and "late 2\nfed" in out and "late 3" not in out and out.endswith("next\n")


def test_a_following_pipeline_runs_until_the_device_detaches(device):
    out, waited = run_line(device, "hilog | while read -r l; do case $l in *marker*) echo \"${l##* }\";; esac; done; "
                                   "echo ended", after=lambda: (device.log.add("I", "C0F000", "T", "a marker"),
                                                                asyncio.get_running_loop().call_later(
                                                                    0.05, device.log.close)))
    assert waited and out == "marker\nended\n"
