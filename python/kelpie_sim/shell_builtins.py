"""The commands of the device shell that work on the device folder and the device's
state: echo, test, ls, cat, mkdir, rm, touch, uname, param, sleep, hilog..., each a
`handler(session, args) -> exit status`."""

import math
import os
import re
import shutil
import stat
import time

from .confine import FsError
from .shell_args import whole_number
from . import hilog

UNAME = (   # in the order uname prints them, whatever the order of the flags
    ("s", "Linux"), ("n", "localhost"), ("r", "5.10.184"),
    ("v", "#1 SMP PREEMPT Fri Mar 8 10:00:00 CST 2024"), ("m", "aarch64"),
)
SLEEP_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400}
DURATION = re.compile(r"([0-9]{1,30}\.?[0-9]{0,30}|\.[0-9]{1,30})([smhd]?)\Z", re.ASCII)
LONGEST_SLEEP = 1e9
READ_ONLY_PARAM = "const."
PARAM_CODE_NOT_FOUND = 106
PARAM_CODE_READ_ONLY = 107     # the parameter service's code after "not found"
ECHO_ESCAPES = {"a": "\a", "b": "\b", "e": "\x1b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v",
                "\\": "\\"}


def _reason(e):
    if isinstance(e, FsError):
        return str(e)
    return e.strerror or str(e)


def _split_flags(args, known):
    flags, rest = set(), []
    for a in args:
        if a.startswith("-") and len(a) > 1 and rest == []:
            for ch in a[1:]:
                if ch not in known:
                    raise FsError("unknown option -%s" % ch)
                flags.add(ch)
        else:
            rest.append(a)
    return flags, rest


def sh_echo(s, args):
    """toybox echo: leading -n (no line end), -e (backslash escapes), -E (none), combinable."""
    flags = set()
    while args and len(args[0]) > 1 and args[0][0] == "-" and set(args[0][1:]) <= set("neE"):
        for ch in args[0][1:]:
            if ch == "E":
                flags.discard("e")
            else:
                flags.add(ch)
        args = args[1:]
    text, stop = " ".join(args), False
    if "e" in flags:
        text, stop = echo_escapes(text)
    s.say(text + ("\n" if "n" not in flags and not stop else ""))
    return 0


def echo_escapes(text):
    """(text with echo -e's escapes replaced, whether a \\c ended it)."""
    out, i = [], 0
    while i < len(text):
        ch = text[i]
        nxt = text[i + 1] if i + 1 < len(text) else ""
        if ch != "\\" or not nxt:
            out.append(ch)
            i += 1
        elif nxt == "c":
            return "".join(out), True
        elif nxt in ECHO_ESCAPES:
            out.append(ECHO_ESCAPES[nxt])
            i += 2
        elif nxt in "0x":
            digits, base = ("01234567", 8) if nxt == "0" else ("0123456789abcdefABCDEF", 16)
            j = i + 2
            while j < len(text) and j < i + (5 if nxt == "0" else 4) and text[j] in digits:
                j += 1
            if nxt == "x" and j == i + 2:
                out.append("\\x")
            else:
                byte = int(text[i + 2:j] or "0", base) & 0xFF
                out.append(chr(byte) if byte < 0x80 else chr(0xDC00 + byte))   # the raw byte, as surrogateescape writes it
            i = j
        else:
            out.append(ch)
            i += 1
    return "".join(out), False


def sh_pwd(s, args):
    s.say(s.cwd + "\n")
    return 0


def _mode_text(mode):
    kind = "d" if stat.S_ISDIR(mode) else "l" if stat.S_ISLNK(mode) else "-" if stat.S_ISREG(mode) else "?"
    bits = "".join(ch if mode & (1 << (8 - i)) else "-" for i, ch in enumerate("rwxrwxrwx"))
    return kind + bits


def _long_entry(host, name):
    st = os.lstat(host)
    stamp = time.strftime("%Y-%m-%d %H:%M", time.localtime(st.st_mtime))
    text = "%s 1 root root %8d %s %s" % (_mode_text(st.st_mode), st.st_size, stamp, name)
    if stat.S_ISLNK(st.st_mode):
        text += " -> " + os.readlink(host)
    return text + "\n"


def sh_ls(s, args):
    flags, paths = _split_flags(args, "la1")
    status = 0
    paths = paths or ["."]
    for i, path in enumerate(paths):
        _dev, host = s.resolve(path)
        try:
            st = os.stat(host)
        except OSError:
            status = s.err("ls", "%s: No such file or directory" % path)
            continue
        if not stat.S_ISDIR(st.st_mode):
            s.say(_long_entry(host, path) if "l" in flags else path + "\n")
            continue
        if len(paths) > 1:
            s.say(("\n" if i else "") + path + ":\n")
        names = sorted(os.listdir(host))
        if "a" in flags:
            names = [".", ".."] + names
        else:
            names = [n for n in names if not n.startswith(".")]
        for n in names:
            s.say(_long_entry(os.path.join(host, n), n) if "l" in flags else n + "\n")
    return status


def sh_cat(s, args):
    if not args and s.stdin is not None:
        s.say(s.stdin)
    status = 0
    for path in args:
        if path == "-":
            s.say(s.stdin or b"")
            continue
        _dev, host = s.resolve(path)
        try:
            fd = s.fs.open_read(host)
        except OSError as e:
            status = s.err("cat", "%s: %s" % (path, _reason(e)))
            continue
        with os.fdopen(fd, "rb") as f:
            s.say(f.read())
    return status


def sh_mkdir(s, args):
    flags, paths = _split_flags(args, "p")
    if not paths:
        return s.err("mkdir", "Needs 1 argument")
    status = 0
    for path in paths:
        try:
            if "p" in flags:
                s.fs.makedirs(path, s.cwd)     # checks every folder it would create first
            else:
                dev, host = s.resolve(path)
                # A device says what is wrong with the path before whether it may write there
                # (check_write itself puts a missing folder first).
                if os.path.lexists(host):
                    raise FileExistsError(17, "File exists")
                s.fs.check_write(dev)
                os.mkdir(host)
        except (OSError, FsError) as e:
            status = s.err("mkdir", "%s: %s" % (path, _reason(e)))
    return status


def sh_rm(s, args):
    flags, paths = _split_flags(args, "rRf")
    if not paths:
        return 0 if "f" in flags else s.err("rm", "Needs 1 argument")
    status = 0
    for path in paths:
        dev, host = s.resolve(path, follow_last=False)
        if dev == "/":
            status = s.err("rm", "refusing to remove the device root")
            continue
        try:
            st = os.lstat(host)
            if stat.S_ISDIR(st.st_mode):
                if not flags & {"r", "R"}:
                    status = s.err("rm", "%s: Is a directory" % path)
                    continue
                s.fs.check_write(dev)
                shutil.rmtree(host)
            else:
                s.fs.check_write(dev)
                os.unlink(host)
        except FileNotFoundError:
            if "f" not in flags:
                status = s.err("rm", "%s: No such file or directory" % path)
        except (OSError, FsError) as e:
            status = s.err("rm", "%s: %s" % (path, _reason(e)))
    return status


def sh_touch(s, args):
    if not args:
        return s.err("touch", "Needs 1 argument")
    status = 0
    for path in args:
        try:
            dev, host = s.resolve(path)
            s.fs.check_write(dev)
            os.close(s.fs.open_write(host, append=True))
            os.utime(host)
        except (OSError, FsError) as e:
            status = s.err("touch", "%s: %s" % (path, _reason(e)))
    return status


def sh_uname(s, args):
    """uname [-asnrvm], flags combinable (-sr)."""
    flags = set()
    for a in args:
        if not a.startswith("-") or len(a) < 2 or not set(a[1:]) <= set("asnrvm"):
            return s.err("uname", "Unknown option '%s'" % a)
        flags |= set(a[1:])
    if "a" in flags:
        flags = {"s", "n", "r", "v", "m"}
    s.say(" ".join(value for flag, value in UNAME if flag in (flags or {"s"})) + "\n")
    return 0


def sh_param(s, args):
    params = s.dev.params
    if args[:1] == ["get"] and len(args) == 1:
        for k in sorted(params):
            s.say("%s = %s\n" % (k, params[k]))
        return 0
    if args[:1] == ["get"] and len(args) == 2:
        if args[1] not in params:
            s.say("Get parameter \"%s\" fail! errNum is:%d!\n" % (args[1], PARAM_CODE_NOT_FOUND))   # as the tool prints it
            return 1
        s.say(params[args[1]] + "\n")
        return 0
    if args[:1] == ["set"] and len(args) == 3:
        name, value = args[1], args[2]
        if name.startswith(READ_ONLY_PARAM) and name in params:
            # A const. param is set once, at boot: the parameter service refuses any change.
            s.say("Set parameter %s %s fail! errNum is:%d!\n" % (name, value, PARAM_CODE_READ_ONLY))
            return 1
        params[name] = value
        s.say("Set parameter %s %s success\n" % (name, value))
        return 0
    return s.err("param", "usage: param get [NAME] | param set NAME VALUE")


def sleep_seconds(text):
    """Seconds of a duration such as 1.5, 2s, 3m, 1h or 1d; NaN when it is none."""
    found = DURATION.match(text)
    if not found:     # float() would also take '١', '1_0', 'nan' and '1e9'
        return math.nan
    # Longer than the simulator could ever serve is as good as for ever.
    return min(float(found.group(1)) * SLEEP_UNITS.get(found.group(2), 1), LONGEST_SLEEP)


def sh_sleep(s, args):
    """toybox's sleep, fractions allowed. The time it owes is served by the shell once the
    command returns, on the event loop, holding up no other device."""
    if len(args) != 1:
        return s.err("sleep", "Needs 1 argument")
    seconds = sleep_seconds(args[0])
    if not (0 <= seconds < math.inf):
        return s.err("sleep", "invalid number '%s'" % args[0])
    s.dev.sleep_owed += seconds
    return 0





def sh_hilog(s, args):
    """The device's hilog. Following the log is left to the shell that runs it, and only where
    the output goes to the client or into a pipe: into a file or a command substitution it
    reads the buffer and ends."""
    try:
        query = hilog.parse(args)
    except hilog.LogArgsError as e:
        return s.err("hilog", str(e))
    s.say(hilog.answer(s.dev.log, query))
    if query.follows and s.streaming:
        s.follow = (query, s.dev.log.end())
    return 0


class TestError(Exception):
    pass


FILE_TESTS = {
    "-e": lambda st: True, "-f": lambda st: stat.S_ISREG(st.st_mode), "-d": lambda st: stat.S_ISDIR(st.st_mode),
    "-s": lambda st: st.st_size > 0, "-p": lambda st: stat.S_ISFIFO(st.st_mode),
    "-b": lambda st: stat.S_ISBLK(st.st_mode), "-c": lambda st: stat.S_ISCHR(st.st_mode),
    "-S": lambda st: stat.S_ISSOCK(st.st_mode),
}
NUMBER_TESTS = {"-eq": int.__eq__, "-ne": int.__ne__, "-lt": int.__lt__, "-le": int.__le__, "-gt": int.__gt__,
                "-ge": int.__ge__}
STRING_TESTS = {"=": str.__eq__, "==": str.__eq__, "!=": str.__ne__, "<": str.__lt__, ">": str.__gt__}
UNARY = set(FILE_TESTS) | {"-n", "-z", "-L", "-h", "-r", "-w", "-x", "-t"}


def _integer(text):
    t = text.strip()
    n = whole_number(t[1:] if t[:1] == "+" else t, -(2 ** 63), 2 ** 63 - 1)
    if n is None:
        raise TestError("%s: bad number" % text)
    return n


def _file_test(s, op, path):
    try:
        dev, host = s.resolve(path, follow_last=op not in ("-L", "-h"))
        st = os.lstat(host) if op in ("-L", "-h") else os.stat(host)
    except (OSError, FsError):
        return False
    if op in ("-L", "-h"):
        return stat.S_ISLNK(st.st_mode)
    if op == "-r":
        return True
    if op == "-x":
        return bool(st.st_mode & 0o111)
    if op == "-w":
        try:
            s.fs.check_write(dev)
        except FsError:
            return False
        return True
    return FILE_TESTS[op](st)


class _Test:
    """test's expression grammar: ! -a -o and parentheses over the primaries."""

    def __init__(self, s, args):
        self.s, self.args, self.i = s, args, 0

    def more(self, n=1):
        return self.i + n <= len(self.args)

    def run(self):
        if not self.args:
            return False
        value = self.or_()
        if self.more():
            raise TestError("%s: unexpected operator" % self.args[self.i])
        return value

    def or_(self):
        value = self.and_()
        while self.more() and self.args[self.i] == "-o":
            self.i += 1
            value = self.and_() or value
        return value

    def and_(self):
        value = self.not_()
        while self.more() and self.args[self.i] == "-a":
            self.i += 1
            value = self.not_() and value
        return value

    def not_(self):
        if self.more(2) and self.args[self.i] == "!":
            self.i += 1
            return not self.not_()
        return self.primary()

    def primary(self):
        a = self.args
        if not self.more():
            raise TestError("argument expected")
        if self.more(3) and (a[self.i + 1] in STRING_TESTS or a[self.i + 1] in NUMBER_TESTS):
            left, op, right = a[self.i:self.i + 3]
            self.i += 3
            if op in STRING_TESTS:
                return STRING_TESTS[op](left, right)
            return NUMBER_TESTS[op](_integer(left), _integer(right))
        if a[self.i] == "(" and self.more(3):
            self.i += 1
            value = self.or_()
            if not self.more() or a[self.i] != ")":
                raise TestError("missing )")
            self.i += 1
            return value
        if a[self.i] in UNARY and self.more(2):
            op, operand = a[self.i], a[self.i + 1]
            self.i += 2
            if op == "-n":
                return operand != ""
            if op == "-z":
                return operand == ""
            if op == "-t":
                _integer(operand)
                return False
            return _file_test(self.s, op, operand)
        self.i += 1
        return a[self.i - 1] != ""


def sh_test(s, args, name="test"):
    """test EXPRESSION, and [ EXPRESSION ]: status 0 true, 1 false, 2 a bad expression."""
    if name == "[":
        if not args or args[-1] != "]":
            s.err("/bin/sh: [", "missing ]")
            return 2
        args = args[:-1]
    try:
        return 0 if _Test(s, args).run() else 1
    except TestError as e:
        s.err("/bin/sh: " + name, str(e))     # sh's own test, so sh's prefix
        return 2


def sh_true(s, args):
    return 0


def sh_false(s, args):
    return 1


COMMANDS = {
    "echo": sh_echo, "pwd": sh_pwd, "ls": sh_ls, "cat": sh_cat, "mkdir": sh_mkdir, "rm": sh_rm,
    "touch": sh_touch, "uname": sh_uname, "param": sh_param, "sleep": sh_sleep, "hilog": sh_hilog,
    "test": sh_test, "[": lambda s, args: sh_test(s, args, "["), "true": sh_true, "false": sh_false,
    ":": sh_true,
}
