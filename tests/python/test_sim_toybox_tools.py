"""toybox's everyday tools on the simulated device, through kelpie: their output formats,
options and error texts, and hostile input (bad patterns, scripts that never end, paths
that do not exist), which must get the tool's own error and never an internal one or a
host path."""

import hashlib
import os
import re
import shutil
import sys

import pytest

SIM_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "python")
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

NUMS = "b 2\na 10\nc 1\na 10\n"
CSV = "name,age,city\nalice,30,NYC\nbob,25,LA\n"
FILES = {
    "/data/local/tmp/t/nums": NUMS, "/data/local/tmp/t/csv": CSV, "/data/local/tmp/t/list": "x\ny\n", "/data/local/tmp/t/dir/a.txt": "hi\n", "/data/local/tmp/t/dir/sub/b.txt": "yo\n",
    "/data/local/tmp/t/long": "a" * 5000 + "b\n", "/data/local/tmp/t/ctx": "a\nb\nmatch1\nc\nd\ne\nf\nmatch2\ng\n",
}


@pytest.fixture
def files(sim):
    """The tools' input files, written afresh for each case (some cases change them)."""
    shutil.rmtree(os.path.join(sim.device_dir, "data", "local", "tmp", "t"), ignore_errors=True)
    for path, data in FILES.items():
        host = os.path.join(sim.device_dir, path.lstrip("/"))
        os.makedirs(os.path.dirname(host), exist_ok=True)
        with open(host, "w", encoding="utf-8") as f:
            f.write(data)
    return sim


def run(client, files, command, expected):
    out = client.shell(command)
    assert files.device_dir not in out, "a message names a host path"
    if hasattr(expected, "fullmatch"):
        assert expected.fullmatch(out), out
    else:
        assert out == expected


TEXT = [
    ("wc /data/local/tmp/t/nums", "      4       8      18 /data/local/tmp/t/nums\n"),
    ("wc -l /data/local/tmp/t/nums /data/local/tmp/t/csv", "4 /data/local/tmp/t/nums\n3 /data/local/tmp/t/csv\n7 total\n"),
    ("cat /data/local/tmp/t/nums | wc -w; echo -n 温度 | wc -m", "8\n2\n"),
    ("head -n 2 /data/local/tmp/t/nums; cat /data/local/tmp/t/csv | head -1", "b 2\na 10\nname,age,city\n"),
    ("head -n 1 /data/local/tmp/t/nums /data/local/tmp/t/list", "==> /data/local/tmp/t/nums <==\nb 2\n\n==> /data/local/tmp/t/list <==\nx\n"),
    ("tail -n 1 /data/local/tmp/t/nums; tail -n +3 /data/local/tmp/t/nums; tail -c 3 /data/local/tmp/t/nums", "a 10\nc 1\na 10\n10\n"),
    ("head -n x /data/local/tmp/t/nums", "head: not integer: x\n"),
    ("head -n 2 /data/local/tmp/t/absent", "head: /data/local/tmp/t/absent: No such file or directory\n"),
    ("sort /data/local/tmp/t/nums", "a 10\na 10\nb 2\nc 1\n"),
    ("sort -k2n /data/local/tmp/t/nums; sort -ru /data/local/tmp/t/nums", "c 1\nb 2\na 10\na 10\nc 1\nb 2\na 10\n"),
    ("sort -t, -k2,2n /data/local/tmp/t/csv", "name,age,city\nbob,25,LA\nalice,30,NYC\n"),
    ("sort /data/local/tmp/t/nums | uniq -c", "      2 a 10\n      1 b 2\n      1 c 1\n"),
    ("sort /data/local/tmp/t/nums | uniq -d; sort /data/local/tmp/t/nums | uniq -u", "a 10\nb 2\nc 1\n"),
    ("cut -d, -f1,3 /data/local/tmp/t/csv", "name,city\nalice,NYC\nbob,LA\n"),
    ("cut -c 2-3 /data/local/tmp/t/nums | head -n 2; echo 'a:b' | cut -f 2; echo 'a:b' | cut -s -d , -f 2", " 2\n 1\na:b\n"),
    ("cut -f 0 /data/local/tmp/t/csv; cut /data/local/tmp/t/csv", "cut: bad list '0'\ncut: Needs -bcf\n"),
    ("echo hello | tr a-z A-Z; echo 'a  b   c' | tr -s ' '; echo hello | tr -d l", "HELLO\na b c\nheo\n"),
    ("echo abc123 | tr -cd '[:digit:]\\n'; echo abc | tr '[:lower:]' '[:upper:]'", "123\nABC\n"),
    ("echo abc | tr", "tr: Needs 1-2 arguments\n"),
]


@pytest.mark.parametrize("command, expected", TEXT)
def test_text_tools(client, files, command, expected):
    run(client, files, command, expected)


SED = [
    ("sed -n 2p /data/local/tmp/t/nums; sed -n '$=' /data/local/tmp/t/nums", "a 10\n4\n"),
    ("sed 's/a/A/g;2d' /data/local/tmp/t/nums", "b 2\nc 1\nA 10\n"),
    ("sed -n '/a/=' /data/local/tmp/t/nums; sed '$!d' /data/local/tmp/t/nums", "2\n4\na 10\n"),
    ("sed -e 1d -e 's/ /=/' /data/local/tmp/t/nums", "a=10\nc=1\na=10\n"),
    ("sed -E 's/([a-z]) ([0-9]+)/\\2\\1/' /data/local/tmp/t/nums", "2b\n10a\n1c\n10a\n"),
    ("sed 's/\\(a\\) \\(1*\\)/[\\2\\1]/' /data/local/tmp/t/nums", "b 2\n[1a]0\nc 1\n[1a]0\n"),
    ("echo abc | sed 's/b*/-/g'; echo hello | sed 's/l/L/2'; echo aaa | sed 'y/a/b/'", "-a-c-\nhelLo\nbbb\n"),
    ("sed ':a;N;$!ba;s/\\n/,/g' /data/local/tmp/t/nums; sed '1!G;h;$!d' /data/local/tmp/t/list", "b 2,a 10,c 1,a 10\ny\nx\n"),
    ("sed '$!N;P;D' /data/local/tmp/t/list; sed -n '2,3p' /data/local/tmp/t/nums; sed '2q' /data/local/tmp/t/nums", "x\ny\na 10\nc 1\nb 2\na 10\n"),
    ("sed '1i top' /data/local/tmp/t/list; sed '1a after' /data/local/tmp/t/list; sed '/y/c gone' /data/local/tmp/t/list", "top\nx\ny\nx\nafter\ny\nx\ngone\n"),
    ("sed '/b/,/c/s/^/> /' /data/local/tmp/t/nums; sed -n '/a/{p;p}' /data/local/tmp/t/list", "> b 2\n> a 10\n> c 1\na 10\n"),
    ("sed -i 's/b/B/' /data/local/tmp/t/nums && cat /data/local/tmp/t/nums", "B 2\na 10\nc 1\na 10\n"),
    ("sed 's/[/x/' /data/local/tmp/t/nums", "sed: bad regex '[': Missing ']'\n"),
    ("sed 's/a/b' /data/local/tmp/t/nums; sed 'b nowhere' /data/local/tmp/t/nums; sed '{p' /data/local/tmp/t/nums", "sed: bad pattern 's/a/b' @ 6\n"
     "sed: no label 'nowhere'\nsed: unmatched '{'\n"),
    ("echo x | sed 's/x/\\1/'", "sed: invalid reference \\1 on s command's RHS\n"),
    ("sed ':a;ba' /data/local/tmp/t/nums; echo x | sed ':a;s/x/xx/;ta'", "sed: script ran too long\nsed: script ran too long\n"),
    ("echo x | sed ':a;G;H;ba'", "sed: pattern space too long\n"),
    ("sed -n p /data/local/tmp/t/absent; sed -i s/a/b/ /data/local/tmp/t/dir", "sed: /data/local/tmp/t/absent: No such file or directory\nsed: /data/local/tmp/t/dir: Is a directory\n"),
]


@pytest.mark.parametrize("command, expected", SED)
def test_sed(client, files, command, expected):
    run(client, files, command, expected)


AWK = [
    ("awk '{print $2, $1}' /data/local/tmp/t/nums", "2 b\n10 a\n1 c\n10 a\n"),
    ("awk -F, 'NR > 1 {print $1 \": \" $3}' /data/local/tmp/t/csv", "alice: NYC\nbob: LA\n"),
    # "age" is no number, so it is compared as text with "26": the header counts too
    ("awk -F, -v min=26 '$2 > min {n++} END {print n}' /data/local/tmp/t/csv", "2\n"),
    ("awk '{s += $2} END {printf \"%d %.2f %5s|%-3s|%c%x\\n\", s, s / NR, \"r\", \"l\", 65, 255}' /data/local/tmp/t/nums",
     "23 5.75     r|l  |Aff\n"),
    ("awk 'BEGIN {n = split(\"a:b:c\", p, \":\"); print n, p[3], length(\"héllo\"), substr(\"hello\", 2, 3), "
     "index(\"hello\", \"l\"), toupper(\"x\")}'", "3 c 5 ell 3 X\n"),
    ("awk '{c[$1]++} END {for (k in c) print k, c[k]}' /data/local/tmp/t/nums | sort", "a 2\nb 1\nc 1\n"),
    ("echo '3 4' | awk '{print $1 * $2, $1 / $2, $1 ^ 2, $1 % 2, -$1, ($1 < $2) ($2 == \"4\"), 1e6, 0.1 + 0.2}'",
     "12 0.75 9 1 -3 11 1000000 0.3\n"),
    ("echo 'a b c' | awk '{$2 = \"X\"; print; print NF; NF = 2; print; $0 = \"p q\"; print $2}'", "a X c\n3\na X\nq\n"),
    ("echo 'a,b' | awk -F, -v OFS=- '{$1 = $1; print; print $NF}'", "a-b\nb\n"),
    ("awk '/^a/ {sub(/[0-9]+/, \"<&>\"); print}' /data/local/tmp/t/nums; awk 'NR == 2 {exit 3} {print}' /data/local/tmp/t/nums || echo three",
     "a <10>\na <10>\nb 2\nthree\n"),
    ("awk '/b/,/c/ {print NR}' /data/local/tmp/t/nums; awk 'BEGIN {s = \"aXbXc\"; print gsub(/X/, \"-\", s), s, match(s, /b-c/), "
     "RSTART, RLENGTH}'", "1\n2\n3\n2 a-b-c 3 3 3\n"),
    ("awk 'function fact(n) { return n <= 1 ? 1 : n * fact(n - 1) } BEGIN { print fact(10) }'", "3628800\n"),
    ("awk 'BEGIN { while (i < 3) { i++; if (i == 2) continue; print i }; do { j++ } while (j < 5); print j }'",
     "1\n3\n5\n"),
    ("awk '{print' /data/local/tmp/t/nums", "awk: line 1: syntax error at or near end of file\n"),
    ("awk 'BEGIN {print 1/0}'", "awk: division by zero\n"),
    ("awk 'BEGIN {while (1) x++}'", "awk: program ran too long\n"),
    ("awk 'BEGIN {x = \"a\"; while (1) x = x x}'", "awk: string too long\n"),
    ("awk 'function f(n) { return f(n + 1) } BEGIN { f(1) }'", "awk: function call nesting too deep\n"),
    ("awk '$0 ~ \"[\"' /data/local/tmp/t/nums", "awk: regular expression compile failed (Missing ']')\n[\n"),
    ("awk '{print $(-1)}' /data/local/tmp/t/nums", "awk: trying to access out of range field -1\n"),
    ("awk 1 /data/local/tmp/t/absent", "awk: /data/local/tmp/t/absent: No such file or directory\n"),
]


@pytest.mark.parametrize("command, expected", AWK)
def test_awk(client, files, command, expected):
    run(client, files, command, expected)


def _digest(algorithm, text):
    return hashlib.new(algorithm, text.encode()).hexdigest()


FILE_TOOLS = [
    ("cp /data/local/tmp/t/nums /data/local/tmp/t/copy && cat /data/local/tmp/t/copy", NUMS),
    ("cp -r /data/local/tmp/t/dir /data/local/tmp/t/dir2 && find /data/local/tmp/t/dir2", "/data/local/tmp/t/dir2\n/data/local/tmp/t/dir2/a.txt\n/data/local/tmp/t/dir2/sub\n/data/local/tmp/t/dir2/sub/b.txt\n"),
    ("cp /data/local/tmp/t/list /data/local/tmp/t/dir && cat /data/local/tmp/t/dir/list", "x\ny\n"),
    ("cp /data/local/tmp/t/dir /data/local/tmp/t/x; cp /data/local/tmp/t/absent /data/local/tmp/t/x; cp /data/local/tmp/t/nums /data/local/tmp/t/nodir/x", "cp: Skipped dir '/data/local/tmp/t/dir'\n"
     "cp: /data/local/tmp/t/absent: No such file or directory\ncp: /data/local/tmp/t/nodir/x: No such file or directory\n"),
    ("cp /data/local/tmp/t/nums /data/local/tmp/t/nums; cp -r /data/local/tmp/t/dir /data/local/tmp/t/dir/sub", "cp: '/data/local/tmp/t/nums' and '/data/local/tmp/t/nums' are the same file\n"
     "cp: can't copy '/data/local/tmp/t/dir' into itself\n"),
    ("mv /data/local/tmp/t/list /data/local/tmp/t/moved && cat /data/local/tmp/t/moved && ls /data/local/tmp/t | grep -c list", "x\ny\n0\n"),
    ("mv /data/local/tmp/t/list /data/local/tmp/t/dir && ls /data/local/tmp/t/dir", "a.txt\nlist\nsub\n"),
    ("mv /data/local/tmp/t/absent /data/local/tmp/t/x; mv /data/local/tmp/t/dir /data/local/tmp/t/dir/sub; mv /data/local/tmp/t/nums /data/local/tmp/t/dir/a.txt/x", "mv: /data/local/tmp/t/absent: No such file or directory\n"
     "mv: can't move '/data/local/tmp/t/dir' into itself\nmv: /data/local/tmp/t/dir/a.txt/x: Not a directory\n"),
    ("md5sum /data/local/tmp/t/nums /data/local/tmp/t/list", "%s  /data/local/tmp/t/nums\n%s  /data/local/tmp/t/list\n" % (_digest("md5", NUMS), _digest("md5", "x\ny\n"))),
    ("echo -n abc | md5sum; echo -n abc | sha256sum", "900150983cd24fb0d6963f7d28e17f72  -\n"
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  -\n"),
    ("md5sum /data/local/tmp/t/nums /data/local/tmp/t/list > /data/local/tmp/t/sums && echo x > /data/local/tmp/t/list; md5sum -c /data/local/tmp/t/sums || echo failed",
     "/data/local/tmp/t/nums: OK\n/data/local/tmp/t/list: FAILED\nfailed\n"),
    ("md5sum /data/local/tmp/t/dir /data/local/tmp/t/absent", "md5sum: /data/local/tmp/t/dir: Is a directory\nmd5sum: /data/local/tmp/t/absent: No such file or directory\n"),
    ("basename /a/b/c.txt .txt; basename /a/b/; basename /; basename -s .c -a x.c y.c; dirname /a/b/c; "
     "dirname c; dirname /; dirname a/b//", "c\nb\n/\nx\ny\n/a/b\n.\n/\na\n"),
    ("stat -c '%n %s %F %a %A' /data/local/tmp/t/nums /data/local/tmp/t/dir/a.txt", "/data/local/tmp/t/nums 18 regular file 644 -rw-r--r--\n"
     "/data/local/tmp/t/dir/a.txt 3 regular file 644 -rw-r--r--\n"),
    ("stat -c '%F %A' /data/local/tmp/t/dir; stat /data/local/tmp/t/absent", "directory drwxr-xr-x\nstat: /data/local/tmp/t/absent: No such file or directory\n"),
    ("stat /data/local/tmp/t/nums", re.compile(r"  File: '/data/local/tmp/t/nums'\n  Size: 18\t Blocks: \d+\t IO Blocks: 4096\tregular file\n"
                                r"Device: [0-9a-f]+h/\d+d\t Inode: \d+\t Links: 1\n"
                                r"Access: \(0644/-rw-r--r--\)\tUid: \(    0/    root\)\tGid: \(    0/    root\)\n"
                                r"(?:(?:Access|Modify|Change): \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{9} [-+]\d{4}\n){3}")),
    ("du -s /data/local/tmp/t/dir; du /data/local/tmp/t/dir; du -a -h /data/local/tmp/t/dir/sub", re.compile(
        r"\d+\t/data/local/tmp/t/dir\n\d+\t/data/local/tmp/t/dir/sub\n\d+\t/data/local/tmp/t/dir\n[0-9.]+K?\t/data/local/tmp/t/dir/sub/b\.txt\n[0-9.]+K?\t/data/local/tmp/t/dir/sub\n")),
    ("df; df -h /data/local/tmp", re.compile(
        r"Filesystem +1K-blocks +Used +Available +Use% Mounted on\n(?:\S+ +\d+ +\d+ +\d+ +\d+% /\S*\n)+"
        r"Filesystem +Size +Used +Avail +Use% Mounted on\n/dev/block/by-name/userdata +[0-9.]+G +[0-9.]+G +[0-9.]+G +\d+% /data\n")),
    ("du /data/local/tmp/t/absent; df /data/local/tmp/t/absent", "du: /data/local/tmp/t/absent: No such file or directory\ndf: /data/local/tmp/t/absent: No such file or directory\n"
     "Filesystem 1K-blocks Used Available Use% Mounted on\n"),
]


@pytest.mark.parametrize("command, expected", FILE_TOOLS)
def test_file_tools(client, files, command, expected):
    run(client, files, command, expected)


FIND_AND_RUN = [
    ("find /data/local/tmp/t/dir -name '*.txt' -exec wc -c {} \\; | sort", "3 /data/local/tmp/t/dir/a.txt\n3 /data/local/tmp/t/dir/sub/b.txt\n"),
    ("find /data/local/tmp/t/dir -exec wc {}", "find: '-exec' needs ';'\n"),
    ("find /data/local/tmp/t/dir", "/data/local/tmp/t/dir\n/data/local/tmp/t/dir/a.txt\n/data/local/tmp/t/dir/sub\n/data/local/tmp/t/dir/sub/b.txt\n"),
    ("find /data/local/tmp/t/dir -name '*.txt' -type f; find /data/local/tmp/t/dir -maxdepth 1 -type d", "/data/local/tmp/t/dir/a.txt\n/data/local/tmp/t/dir/sub/b.txt\n"
     "/data/local/tmp/t/dir\n/data/local/tmp/t/dir/sub\n"),
    ("find /data/local/tmp/t/dir -mindepth 1 ! -name '*.txt'; find /data/local/tmp/t/dir -name a.txt -o -name sub -print", "/data/local/tmp/t/dir/sub\n/data/local/tmp/t/dir/sub\n"),
    ("find /data/local/tmp/t/dir -type f -exec cat {} +; find /data/local/tmp/t -name nums -size -2 -empty -o -name list -newer /data/local/tmp/t/absent",
     "hi\nyo\nfind: /data/local/tmp/t/absent: No such file or directory\n"),
    ("cd /data/local/tmp/t/dir; find . -path './sub*'; find /data/local/tmp/t/dir/sub -delete; ls /data/local/tmp/t/dir", "./sub\n./sub/b.txt\na.txt\n"),
    ("find /data/local/tmp/t/absent; find /data/local/tmp/t/dir -bogus; find /data/local/tmp/t/dir -maxdepth x", "find: /data/local/tmp/t/absent: No such file or directory\n"
     "find: bad arg '-bogus'\nfind: not integer: x\n"),
    ("echo a b c | xargs echo got; echo a b c d e | xargs -n 2", "got a b c\na b\nc d\ne\n"),
    ("cat /data/local/tmp/t/list | xargs -I X echo '<X>'; find /data/local/tmp/t/dir -name '*.txt' | xargs cat", "<x>\n<y>\nhi\nyo\n"),
    ("echo \"'a b' c\" | xargs -n 1; echo | xargs -r echo never", "a b\nc\n"),
    ("echo 1 | xargs nosuch || echo failed", "/bin/sh: nosuch: inaccessible or not found\nfailed\n"),
    ("echo \"'open\" | xargs; echo x | xargs -n 0", "xargs: unterminated quote\nxargs: -n needs a number above 0, not '0'\n"),
    ("printf '%s=%d\\n' a 1 b 2; printf '%5.2f|%-3s|%x|%o|%c|%b\\n' 3.14159 ab 255 8 hello 'x\\ty'",
     "a=1\nb=2\n 3.14|ab |ff|10|h|x\ty\n"),
    ("printf '\\x41\\101%s\\n' \"'\"; printf 'no end'", "AA'\nno end"),
    ("printf %d abc || echo bad; printf '%q'", "printf: invalid number 'abc'\n0bad\nprintf: bad %q\n"),
    ("printf '%*d|%.*f|%99999999999d' 3 7 2 3.14159 1 | wc -c", "100009\n"),
    ("seq 3; seq 2 4; seq 1 0.5 2", "1\n2\n3\n2\n3\n4\n1.0\n1.5\n2.0\n"),
    ("seq -s, 5 -2 -1; seq -w 8 10; seq -f '%.1e' 1 2", "5,3,1,-1\n08\n09\n10\n1.0e+00\n2.0e+00\n"),
    ("seq x; seq 1 0 2; seq 1e300", "seq: invalid number 'x'\nseq: increment 0\nseq: more than 2000000 numbers\n"),
]


@pytest.mark.parametrize("command, expected", FIND_AND_RUN)
def test_find_xargs_printf_seq(client, files, command, expected):
    run(client, files, command, expected)


GREP = [
    ("grep -A1 match /data/local/tmp/t/ctx", "match1\nc\n--\nmatch2\ng\n"),
    ("grep -B2 -n match /data/local/tmp/t/ctx", "1-a\n2-b\n3:match1\n--\n6-e\n7-f\n8:match2\n"),
    ("grep -C1 match2 /data/local/tmp/t/ctx /data/local/tmp/t/ctx", "/data/local/tmp/t/ctx-f\n/data/local/tmp/t/ctx:match2\n/data/local/tmp/t/ctx-g\n--\n/data/local/tmp/t/ctx-f\n/data/local/tmp/t/ctx:match2\n/data/local/tmp/t/ctx-g\n"),
    ("grep -m1 -A2 match /data/local/tmp/t/ctx; grep -x 'match.' /data/local/tmp/t/ctx | grep -c .", "match1\nc\nd\n2\n"),
    ("grep '[' /data/local/tmp/t/ctx; grep '[[:foo:]]' /data/local/tmp/t/ctx; grep -E 'a{1' /data/local/tmp/t/ctx || echo two",
     "grep: bad regex '[': Missing ']'\ngrep: bad regex '[[:foo:]]': Unknown character class name\n"
     "grep: bad regex 'a{1': Missing '}'\ntwo\n"),
    # backtracking that is exponential (or a high power of the line) in Python's re
    ("grep -cE '(a|aa)+$' /data/local/tmp/t/long; grep -c 'a*a*a*a*a*c' /data/local/tmp/t/long; grep -cE '(a*)*b' /data/local/tmp/t/long", "0\n0\n1\n"),
]


@pytest.mark.parametrize("command, expected", GREP)
def test_grep_context_and_hostile_patterns(client, files, command, expected):
    run(client, files, command, expected)


def test_posix_matcher_agrees_with_re_and_stays_linear():
    """The bounded matcher finds what Python's re finds, and the shapes re would backtrack
    on for ever go to it."""
    from kelpie_sim.posix_regex import RegexError, compile_posix

    cases = [("a\\(pp\\|n\\)", False, "banana"), ("^(apple|cherry)", True, "cherry pie"), ("[[:upper:]]x", False, "aBx"),
             ("\\(a\\)\\{2,3\\}", False, "aaaa"), ("x$", False, "ax$x"), ("a$b", False, "a$b"), ("^*a", False, "*a"),
             ("(a|ab)(c|bcd)", True, "abcd"), ("\\<foo\\>", False, "a foo b"), ("[]a]", False, "x]"),
             ("[^]a]", False, "]ab"), ("(a|b)*c", True, "ababc"), ("a.c", False, "a\nc")]
    for pattern, extended, text in cases:
        r = compile_posix(pattern, extended)
        fast, bounded = r.fast.search(text), r._bounded(text, 0)
        assert (fast and (fast.span(), fast.groups())) == (bounded and (bounded.span(), bounded.groups())), pattern
    risky = compile_posix("(a|aa)+$", extended=True)
    assert risky.search("a" * 20000 + "b") is None and risky.steps < 20 * 20002
    for bad, text in [("[", "Missing ']'"), ("a\\{2,1\\}", "Invalid contents of {}"), ("\\1", "Invalid back reference"),
                      ("[z-a]", "Invalid character range"), ("a\\", "Trailing backslash"), ("\\(", "Missing ')'")]:
        with pytest.raises(RegexError, match=re.escape(text)):
            compile_posix(bad)

