"""The device shell: a few toybox-like commands working inside the device folder, or,
with --host-shell, the host's /bin/sh run in that folder."""

import asyncio
import math
import os
import re
import shlex
import shutil
import signal
import stat
import time

from .confine import FsError
from . import abilities, bundle_manager, grep, hilog, processes, system_status, system_tools, uitest

HOST_SHELL_SILENCE = 4.0   # the client stops listening after 5 s of silence
UNAME = (   # in the order uname prints them, whatever the order of the flags
    ("s", "Linux"), ("n", "localhost"), ("r", "5.10.184"),
    ("v", "#1 SMP PREEMPT Fri Mar 8 10:00:00 CST 2024"), ("m", "aarch64"),
)
SLEEP_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400}
DURATION = re.compile(r"([0-9]{1,30}\.?[0-9]{0,30}|\.[0-9]{1,30})([smhd]?)\Z", re.ASCII)
LONGEST_SLEEP = 1e9
ECHO_ESCAPES = {"a": "\a", "b": "\b", "e": "\x1b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v",
                "\\": "\\"}
# A device's hdc daemon logs every command line it starts, as a test team sees it in hilog.
LOG_DOMAIN, LOG_TAG = "C015A0", "hdcd"
READ_ONLY_PARAM = "const."
PARAM_CODE_NOT_FOUND = 106
PARAM_CODE_READ_ONLY = 107     # the parameter service's code after "not found"
OPERATORS = (";", "&&", "||")
WORD_BREAKS = " \t\n;|&<>"
REDIRECTS = (">", ">>")


class ShellSyntax(Exception):
    pass


def split_commands(line):
    """The line cut at its operators and line ends outside quotes: [(operator before it, text,
    where its redirection starts in the text)]. A line end separates commands as ';' does,
    except where a command is still to come (after an operator, or on a blank line). A '#'
    that starts a word starts a comment, which ends at the line end."""
    parts = []
    op, start, redirect, quote, comment = ";", 0, None, None, None
    i = 0
    while i < len(line):
        ch = line[i]
        if quote:
            if ch == quote:
                quote = None
            elif ch == "\\" and quote == '"':
                i += 1
        elif ch in "'\"":
            quote = ch
        elif ch == "\\":
            i += 1
        elif ch == "#" and (i == start or line[i - 1] in WORD_BREAKS):
            comment = i
            i = line.find("\n", i)
            if i < 0:
                break
            continue
        elif ch == "\n":
            text = line[start:i if comment is None else comment]
            if text.strip():
                parts.append((op, text, redirect))
                op, redirect = ";", None
            start, comment = i + 1, None
        elif ch == ">" and redirect is None:
            redirect = i - start
        elif ch in ";|" or line.startswith("&&", i):
            token = line[i:i + 2] if line[i:i + 2] in ("&&", "||") else ch
            parts.append((op, line[start:i], redirect))
            op, start, redirect = token, i + len(token), None
            i += len(token)
            continue
        i += 1
    parts.append((op, line[start:len(line) if comment is None else comment], redirect))
    return parts


def parse_command(text):
    """(argv, redirect or None) of one command."""
    lexer = shlex.shlex(text, posix=True, punctuation_chars=";&|<>")
    lexer.whitespace_split = True
    lexer.commenters = ""     # split_commands took the comments out: a '#' left is part of a word
    try:
        tokens = list(lexer)
    except ValueError as e:
        raise ShellSyntax(str(e))
    argv, redirect = [], None
    i = 0
    while i < len(tokens):
        tok = tokens[i]
        if tok in REDIRECTS:
            if i + 1 >= len(tokens) or tokens[i + 1] in OPERATORS + REDIRECTS:
                raise ShellSyntax("syntax error: redirection without a file")
            redirect = (tok, tokens[i + 1])
            i += 1
        elif tok and set(tok) <= set(";&|<>"):
            raise ShellSyntax("'%s' is not supported by the simulated shell (only ; && || | > >>)" % tok)
        else:
            argv.append(tok)
        i += 1
    return argv, redirect


def parse(line):
    """Command lines as [(operator before it, argv, redirect or None, its text without the redirect)]."""
    parts = split_commands(line)
    commands = []
    for k, (op, text, redirect_at) in enumerate(parts):
        argv, redirect = parse_command(text)
        if not argv:
            if k + 1 < len(parts):
                raise ShellSyntax("syntax error: unexpected '%s'" % parts[k + 1][0])
            if op != ";":
                raise ShellSyntax("syntax error: unexpected end after '%s'" % op)
            continue
        command = text[:redirect_at].strip() if redirect_at is not None else text.strip()
        commands.append((op, argv, redirect, command or " ".join(argv)))
    return commands


class Session:
    """One `shell` command line run against one device."""

    stdin = None     # what a pipe feeds the command
    errors = None    # where error messages go when not into `out`: a pipe's command keeps them out of the pipe
    streaming = False  # whether the output goes straight to the client (not into a pipe or a file)
    follow = None    # (hilog query, log cursor) once a hilog asked to follow the log

    def __init__(self, device, out):
        self.dev = device
        self.fs = device.fs
        self.cwd = "/"
        self.out = out          # a list of byte strings for this command's output

    def say(self, text):
        self.out.append(text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text)

    def err(self, cmd, text):
        (self.out if self.errors is None else self.errors).append(("%s: %s\n" % (cmd, text)).encode(
            "utf-8", "surrogateescape"))
        return 1

    def resolve(self, path, follow_last=True):
        return self.fs.resolve(path, self.cwd, follow_last)

    def run(self, argv, stdin=None):
        """Runs another command (xargs, find -exec) with this command's output; its status."""
        return _run_one(_inner(self, self.out, stdin), argv, None)


async def run_builtin(device, line, stream, canned=None):
    """Runs the line, writing each command's output to the ShellStream `stream` as the command
    ends, all of it before a sleep. `canned(command)` is a test's output for a command of the
    line (as written, without its redirection), or None.

    Returns (hilog query, log cursor) when a hilog is left following the log, else None: the
    rest of the line never runs, as on a device, where such a hilog never ends."""
    try:
        commands = parse(line)
    except ShellSyntax as e:
        await stream.write("sh: %s\n" % e)
        return None
    out = []
    session = Session(device, out)
    session.streaming = True
    status, skipped, piped = 0, False, None
    for k, (op, argv, redirect, text) in enumerate(commands):
        if op != "|":
            skipped = (op == "&&" and status != 0) or (op == "||" and status == 0)
            piped = None
        if skipped:
            continue
        output = canned(text) if canned is not None else None
        into_pipe = k + 1 < len(commands) and commands[k + 1][0] == "|"
        if into_pipe or op == "|":
            # A pipe's commands run apart (a cd stays theirs); each one's output feeds the next.
            stage = _inner(session, [] if into_pipe else out, stdin=piped)
            stage.errors = out
            status = _run_one(stage, argv, redirect, output)
            piped = b"".join(stage.out) if into_pipe else None
        else:
            status = _run_one(session, argv, redirect, output)
        owed, device.sleep_owed = device.sleep_owed, 0.0   # this command's own, taken before any wait
        if out:
            data = b"".join(out)
            out.clear()
            await stream.write(data)
        if session.follow is not None:
            return session.follow
        if owed:
            await serve_sleep(owed, stream)
    return None


async def serve_sleep(seconds, stream):
    """Sleeps for what a command of the line owes, once all its output so far is out."""
    await stream.flush()
    await asyncio.sleep(seconds)


def _inner(session, out, stdin):
    """A session for one command of `session`'s line, starting where that line is."""
    inner = Session(session.dev, out)
    inner.cwd, inner.stdin = session.cwd, stdin
    return inner


def _answered(output):
    def handler(s, _args):
        s.say(output)
        return 0
    return handler


def _run_one(session, argv, redirect, canned=None):
    name = argv[0]
    handler = BUILTINS.get(name) if canned is None else _answered(canned)
    if handler is None:
        session.err("/bin/sh", "%s: inaccessible or not found" % name)
        return 127
    if redirect is None:
        try:
            return handler(session, argv[1:])
        except FsError as e:
            return session.err(name, str(e))
    captured = []
    inner = _inner(session, captured, session.stdin)
    inner.errors = session.out if session.errors is None else session.errors   # only the output is redirected
    try:
        status = handler(inner, argv[1:])
    except FsError as e:
        status = inner.err(name, str(e))
    session.cwd = inner.cwd
    mode, target = redirect
    try:
        dev, host = session.resolve(target)
        session.fs.check_write(dev)
        fd = session.fs.open_write(host, append=(mode == ">>"))
        with os.fdopen(fd, "wb") as f:
            f.write(b"".join(captured))
    except (OSError, FsError) as e:
        return session.err("sh", "%s: %s" % (target, _reason(e)))
    return status


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


def sh_cd(s, args):
    dev, host = s.resolve(args[0] if args else "/")
    if not os.path.isdir(host):
        return s.err("cd", "%s: No such directory" % (args[0] if args else "/"))
    s.cwd = dev
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
                s.fs.makedirs(path, s.cwd)
            else:
                dev, host = s.resolve(path)
                if os.path.lexists(host):
                    raise FileExistsError(17, "File exists")
                if not os.path.isdir(os.path.dirname(host)):
                    raise FileNotFoundError(2, "No such file or directory")
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
    """toybox's sleep, fractions allowed. The line runs at once; the time it owes is served
    afterwards by the server (serve_sleep), on its event loop, holding up no other device."""
    if len(args) != 1:
        return s.err("sleep", "Needs 1 argument")
    seconds = sleep_seconds(args[0])
    if not (0 <= seconds < math.inf):
        return s.err("sleep", "invalid number '%s'" % args[0])
    s.dev.sleep_owed += seconds
    return 0




def log_command(device, line):
    """The line in the device's log, on one log line however many lines it spans."""
    device.log.add("I", LOG_DOMAIN, LOG_TAG, "shell command: " + line.replace("\n", " "))


def sh_hilog(s, args):
    """The device's hilog. Following the log is left to the runner, and only where the output
    goes straight to the client: in a pipe or into a file it reads the buffer and ends."""
    try:
        query = hilog.parse(args)
    except hilog.LogArgsError as e:
        return s.err("hilog", str(e))
    s.say(hilog.answer(s.dev.log, query))
    if query.follows and s.streaming:
        s.follow = (query, s.dev.log.end())
    return 0


def sh_help(s, args):
    s.say("simulated shell; commands: %s\n" % " ".join(sorted(BUILTINS)))
    s.say("operators: ; && || |  redirection: > >>  (paths stay inside the device)\n")
    return 0


BUILTINS = {
    "echo": sh_echo, "pwd": sh_pwd, "cd": sh_cd, "ls": sh_ls, "cat": sh_cat,
    "mkdir": sh_mkdir, "rm": sh_rm, "touch": sh_touch, "uname": sh_uname,
    "param": sh_param, "bm": bundle_manager.sh_bm, "help": sh_help, "sleep": sh_sleep,
    "aa": abilities.sh_aa, "ps": processes.sh_ps, "pidof": processes.sh_pidof, "grep": grep.sh_grep,
    "uitest": uitest.sh_uitest, "snapshot_display": uitest.sh_snapshot_display,
    "hidumper": system_tools.sh_hidumper, "power-shell": system_tools.sh_power_shell, "date": system_tools.sh_date,
}
BUILTINS["hilog"] = sh_hilog
# Tool groups in modules of their own: each has COMMANDS ({name: handler(session, args)}) and
# may have FILTERS ({name: start(session, args)}), the line-by-line form a pipeline streams through.
TOOL_MODULES = (system_status,)
for _module in TOOL_MODULES:
    BUILTINS.update(_module.COMMANDS)


async def run_host(device, line, stream):
    """Runs the line with the host's /bin/sh in the device folder, streaming its output.

    A command that stays silent for HOST_SHELL_SILENCE seconds is stopped: the client
    gives up after 5 seconds and would read the rest as its next command's reply.
    """
    proc = await asyncio.create_subprocess_exec(
        "/bin/sh", "-c", line, cwd=device.fs.root, stdin=asyncio.subprocess.DEVNULL,
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT, start_new_session=True)
    try:
        while True:
            try:
                data = await asyncio.wait_for(proc.stdout.read(65536), HOST_SHELL_SILENCE)
            except asyncio.TimeoutError:
                await stream.write("\n[simulator] command stopped after %.0f s of silence\n" % HOST_SHELL_SILENCE)
                break
            if not data:
                break
            await stream.write(data)
    finally:
        if proc.returncode is None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        await proc.wait()
