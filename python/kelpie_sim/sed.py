"""toybox's sed: addresses (N, $, /RE/, \\cREc, A,B, A,+N, A,~N, first~step, !), the commands
s y p P d D n N g G h H x a i c = l q Q z r w b t T : { }, and -n -e -f -E/-r -i -s.

The script runs as a generator that asks for each next line, so `n` and `N` work the same
whether the lines come all at once or one by one from a streaming pipeline. A script that
never ends (`:a;ba`) or a pattern space that doubles each turn stops at a budget with an
error instead of holding the simulator."""

import os

from .linefilter import LineFilter, each_input, raw, read_input, reason, run_filter, text
from .confine import FsError
from .posix_regex import RegexBudget, RegexError, compile_posix
from .run_budget import OverBudget, RunBudget
from .shell_args import Usage, reports_usage, whole_number
from .toybox_options import parse_options

STEP_BUDGET = 1_000_000     # commands run by one sed
TIME_BUDGET = 1.0           # seconds one sed may run
WORK_BUDGET = 100_000_000   # characters its substitutions go through
SPACE_LIMIT = 1 << 24       # characters in the pattern or hold space
NO_ARGS = set("pPdDnNgGhHx=lzF")


class SedError(Exception):
    pass


class Address:
    def __init__(self, kind, value, step=0):
        self.kind, self.value, self.step = kind, value, step   # "line", "last", "re", "step"


class Command:
    def __init__(self, first, second, negate, name):
        self.first, self.second, self.negate, self.name = first, second, negate, name
        self.arg = None
        self.active, self.end_line = False, None


class ScriptParser:
    def __init__(self, script, extended):
        self.p, self.i, self.ext = script, 0, extended
        self.commands, self.blocks = [], []

    def fail(self):
        raise SedError("bad pattern '%s' @ %d" % (self.p.replace("\n", " "), self.i + 1))

    def more(self):
        return self.i < len(self.p)

    def skip(self, chars=" \t"):
        while self.more() and self.p[self.i] in chars:
            self.i += 1

    def parse(self):
        while True:
            self.skip(" \t\n;")
            if not self.more():
                break
            if self.p[self.i] == "#":
                end = self.p.find("\n", self.i)
                self.i = len(self.p) if end < 0 else end
                continue
            self.command()
        if self.blocks:
            raise SedError("unmatched '{'")
        labels = {c.arg: k for k, c in enumerate(self.commands) if c.name == ":"}
        for c in self.commands:
            if c.name in "btT" and c.arg and c.arg not in labels:
                raise SedError("no label '%s'" % c.arg)
            if c.name in "btT":
                c.target = labels[c.arg] if c.arg else len(self.commands)
        return self.commands

    def number(self):
        start = self.i
        while self.more() and self.p[self.i].isascii() and self.p[self.i].isdigit():
            self.i += 1
        if whole_number(self.p[start:self.i]) is None:     # none, or past what a number holds
            self.fail()
        return int(self.p[start:self.i])

    def delimited(self, delim):
        """The text up to an unescaped `delim`; \\delim stands for the delimiter itself
        and \\n for a line end."""
        out = []
        while True:
            if not self.more():
                self.fail()
            ch = self.p[self.i]
            if ch == delim:
                self.i += 1
                return "".join(out)
            if ch == "\\" and self.i + 1 < len(self.p):
                nxt = self.p[self.i + 1]
                self.i += 2
                if nxt == delim and delim != "&":
                    out.append(delim)
                elif nxt == "n":
                    out.append("\\n")
                else:
                    out.append("\\" + nxt)
                continue
            if ch == "\n" and delim != "\n":
                self.fail()
            if ch == "[":      # a bracket may hold the delimiter unescaped
                end = self._bracket_end(self.i)
                if end is not None:
                    out.append(self.p[self.i:end])
                    self.i = end
                    continue
            out.append(ch)
            self.i += 1

    def _bracket_end(self, i):
        j = i + 1
        if j < len(self.p) and self.p[j] == "^":
            j += 1
        if j < len(self.p) and self.p[j] == "]":
            j += 1
        while j < len(self.p) and self.p[j] not in "]\n":
            if self.p.startswith("[:", j):
                end = self.p.find(":]", j + 2)
                if end < 0:
                    return None
                j = end + 2
                continue
            j += 1
        return j + 1 if j < len(self.p) and self.p[j] == "]" else None

    def regex(self, delim):
        pattern = self.delimited(delim)
        icase = False
        while self.more() and self.p[self.i] in "IM":
            icase = icase or self.p[self.i] == "I"
            self.i += 1
        return self.compile(pattern, icase)

    def compile(self, pattern, icase):
        if pattern == "":
            return None     # the last regex used
        try:
            return compile_posix(pattern, self.ext, icase)
        except RegexError as e:
            raise SedError("bad regex '%s': %s" % (pattern, e))

    def address(self):
        ch = self.p[self.i] if self.more() else ""
        if ch.isascii() and ch.isdigit():
            n = self.number()
            if self.more() and self.p[self.i] == "~":
                self.i += 1
                return Address("step", n, self.number() if self.more() and self.p[self.i].isdigit() else 0)
            return Address("line", n)
        if ch == "$":
            self.i += 1
            return Address("last", None)
        if ch == "/" or ch == "\\":
            if ch == "\\":
                self.i += 1
                if not self.more() or self.p[self.i] in "\n\\":
                    self.fail()
            delim = self.p[self.i]
            self.i += 1
            return Address("re", self.regex(delim))
        return None

    def command(self):
        start = self.i
        first = self.address()
        second = None
        if first is not None and self.more() and self.p[self.i] == ",":
            self.i += 1
            self.skip()
            if self.more() and self.p[self.i] in "+~":
                kind = "plus" if self.p[self.i] == "+" else "multiple"
                self.i += 1
                if not (self.more() and self.p[self.i].isdigit()):
                    self.fail()
                second = Address(kind, self.number())
            else:
                second = self.address()
                if second is None or second.kind == "step":
                    self.fail()
        self.skip()
        negate = False
        while self.more() and self.p[self.i] == "!":
            negate = True
            self.i += 1
            self.skip()
        if not self.more():
            self.i = start
            self.fail()
        name = self.p[self.i]
        self.i += 1
        c = Command(first, second, negate, name)
        if name == "}":
            if not self.blocks or first is not None:
                self.fail()
            self.commands[self.blocks.pop()].arg = len(self.commands) + 1
            c.first = None
            self.commands.append(c)
            self.end_of_command()
            return
        self.commands.append(c)
        if name == "{":
            self.blocks.append(len(self.commands) - 1)
            return
        if name == "s":
            self.substitute(c)
        elif name == "y":
            self.transliterate(c)
        elif name in "aic":
            c.arg = self.text_argument()
            return
        elif name in "btT:rwqQ":
            self.skip()
            if name in "qQ":
                c.arg = self.number() if self.more() and self.p[self.i].isdigit() else 0
            else:
                end = self.i
                stops = "\n" if name in "rw" else "\n;" if name == ":" else "\n;}"
                while end < len(self.p) and self.p[end] not in stops:
                    end += 1
                c.arg = self.p[self.i:end].rstrip() if name != ":" else self.p[self.i:end].strip()
                self.i = end
                if name == ":" and (not c.arg or first is not None):
                    self.fail()
                if name in "rw" and not c.arg:
                    self.fail()
        elif name not in NO_ARGS:
            self.i -= 1
            self.fail()
        self.end_of_command()

    def end_of_command(self):
        self.skip()
        if self.more() and self.p[self.i] not in ";\n}#":
            self.fail()

    def text_argument(self):
        """a/i/c TEXT: one-line (GNU: `a text`) or `a\\` followed by lines ending in \\."""
        self.skip()
        if self.p.startswith("\\\n", self.i):
            self.i += 2
        elif self.p.startswith("\\", self.i):
            self.i += 1
            self.skip()
        out = []
        while self.more():
            ch = self.p[self.i]
            if ch == "\n":
                self.i += 1
                break
            if ch == "\\" and self.i + 1 < len(self.p):
                nxt = self.p[self.i + 1]
                out.append("\n" if nxt == "\n" else "\t" if nxt == "t" else nxt)
                self.i += 2
                continue
            out.append(ch)
            self.i += 1
        return "".join(out)

    def substitute(self, c):
        if not self.more() or self.p[self.i] in "\n\\":
            self.fail()
        delim = self.p[self.i]
        self.i += 1
        pattern = self.delimited(delim)
        replacement = self.delimited(delim)
        count, glob, prnt, icase, target = 1, False, 0, False, None
        while self.more():
            ch = self.p[self.i]
            if ch == "g":
                glob = True
            elif ch == "p":
                prnt += 1
            elif ch in "iI":
                icase = True
            elif ch in "mMe":
                pass
            elif ch.isascii() and ch.isdigit():
                count = self.number()
                if count < 1:
                    self.fail()
                continue
            elif ch == "w":
                self.i += 1
                self.skip()
                end = self.p.find("\n", self.i)
                end = len(self.p) if end < 0 else end
                target = self.p[self.i:end].rstrip()
                self.i = end
                if not target:
                    self.fail()
                break
            else:
                break
            self.i += 1
        regex = self.compile(pattern, icase)
        parts = _replacement(replacement)
        highest = max([p for p in parts if isinstance(p, int)] or [0])
        if regex is not None and highest > regex.groups:
            raise SedError("invalid reference \\%d on s command's RHS" % highest)
        c.arg = (regex, parts, count, glob, prnt, target)

    def transliterate(self, c):
        if not self.more():
            self.fail()
        delim = self.p[self.i]
        self.i += 1
        source = _unescape(self.delimited(delim))
        dest = _unescape(self.delimited(delim))
        if len(source) != len(dest):
            raise SedError("y: strings are different lengths")
        c.arg = dict(zip(source, dest))


def _unescape(value):
    out, i = [], 0
    while i < len(value):
        if value[i] == "\\" and i + 1 < len(value):
            nxt = value[i + 1]
            out.append({"n": "\n", "t": "\t", "\\": "\\"}.get(nxt, nxt))
            i += 2
        else:
            out.append(value[i])
            i += 1
    return "".join(out)


def _replacement(value):
    """The parts of a replacement: text, and group numbers (0 for &)."""
    parts, buf, i = [], [], 0
    while i < len(value):
        ch = value[i]
        if ch == "&":
            parts += ["".join(buf), 0]
            buf = []
        elif ch == "\\" and i + 1 < len(value):
            nxt = value[i + 1]
            i += 1
            if nxt.isascii() and nxt.isdigit():
                parts += ["".join(buf), int(nxt)]
                buf = []
            else:
                buf.append({"n": "\n", "t": "\t", "r": "\r"}.get(nxt, nxt))
        else:
            buf.append(ch)
        i += 1
    parts.append("".join(buf))
    return [p for p in parts if p != ""]


class Sed(LineFilter):
    """One run of a script over a stream of lines; output through `say`."""

    def __init__(self, s, commands, quiet, needs_last, say=None):
        self.s, self.commands, self.quiet = s, commands, quiet
        self.say = say or s.say
        self.needs_last = needs_last
        self.pending = None
        self.status = 0
        self.line_number = 0
        self.last_regex = None
        self.budget, self.work = RunBudget(STEP_BUDGET, TIME_BUDGET), 0
        self.written = {}
        self.machine = self.run()
        next(self.machine)

    # Input: a line is handed on once the next one shows whether it was the last.
    def feed(self, line):
        if self.done:
            return
        if not self.needs_last:
            self.push((line, False))
            return
        if self.pending is not None:
            self.push((self.pending, False))
        self.pending = line

    def push(self, item):
        self.budget.restart()
        self.work = 0
        try:
            self.machine.send(item)
        except StopIteration:
            self.done = True
        except (SedError, RegexBudget) as e:
            self.s.err("sed", str(e) if isinstance(e, SedError) else "regex too slow for this input")
            self.status, self.done = 1, True

    def finish(self):
        if not self.done and self.pending is not None:
            self.push((self.pending, True))
            self.pending = None
        if not self.done:
            self.push(None)
        self.flush_written()
        return self.status

    def flush_written(self):
        for path, data in self.written.items():
            try:
                write_device_file(self.s, path, raw("".join(data)))
            except (OSError, FsError) as e:
                self.s.err("sed", "%s: %s" % (path, reason(e)))
                self.status = 1
        self.written = {}

    def matches(self, addr, space):
        kind = addr.kind
        if kind == "line":
            return self.line_number == addr.value
        if kind == "last":
            return self.is_last
        if kind == "step":
            if addr.step <= 0:
                return self.line_number == addr.value
            return self.line_number >= addr.value and (self.line_number - addr.value) % addr.step == 0
        return self.search(addr.value, space, 0) is not None

    def search(self, regex, space, pos):
        if regex is None:
            regex = self.last_regex
            if regex is None:
                raise SedError("no previous regex")
        self.last_regex = regex
        return regex.search(space, pos)

    def selected(self, c, space):
        if c.first is None:
            return not c.negate
        if c.second is None:
            return self.matches(c.first, space) != c.negate
        if c.active:
            second = c.second
            if second.kind == "re":
                if self.matches(second, space):
                    c.active = False
            elif c.end_line is None or self.line_number >= c.end_line:
                c.active = False
            return not c.negate
        if self.matches(c.first, space):
            second = c.second
            c.active = True
            if second.kind == "line":
                c.end_line = second.value
                c.active = second.value > self.line_number
            elif second.kind == "plus":
                c.end_line = self.line_number + second.value
                c.active = second.value > 0
            elif second.kind == "multiple":
                c.end_line = (self.line_number // second.value + 1) * second.value if second.value else self.line_number
                c.active = c.end_line > self.line_number and self.line_number % max(second.value, 1) != 0
            elif second.kind == "last":
                c.end_line = None
                c.active = not self.is_last
            return not c.negate
        return c.negate

    def run(self):
        """The script's machine: receives (line, is_last) items, None at the end of input."""
        item = yield
        hold = ""
        append_queue = []
        while item is not None:
            space, newline = self.take(item)
            if space is None:
                return
            replaced = False
            pc, deleted, restart = 0, False, False
            while pc < len(self.commands):
                try:
                    self.budget.tick()
                except OverBudget:
                    raise SedError("script ran too long")
                c = self.commands[pc]
                pc += 1
                if c.name == "}" or c.name == ":":
                    continue
                if not self.selected(c, space):
                    if c.name == "{":
                        pc = c.arg
                    continue
                name = c.name
                if name == "{":
                    continue
                if name == "s":
                    space, done = self.substitute(c.arg, space)
                    replaced = replaced or done
                elif name == "p":
                    self.emit(space, True)
                elif name == "P":
                    self.emit(space.split("\n", 1)[0], True)
                elif name == "d":
                    deleted = True
                    break
                elif name == "D":
                    if "\n" not in space:
                        deleted = True
                        break
                    space = space.split("\n", 1)[1]
                    restart = True
                    break
                elif name in "nN":
                    if name == "n" and not self.quiet:
                        self.emit(space, newline)
                    item = yield
                    if item is None:
                        if name == "N" and not self.quiet:
                            self.emit(space, newline)
                        elif name == "n":
                            self.flush_queue(append_queue)
                        return
                    nxt, newline = self.take(item)
                    self.flush_queue(append_queue)
                    space = nxt if name == "n" else space + "\n" + nxt
                elif name == "g":
                    space = hold
                elif name == "G":
                    space = space + "\n" + hold
                elif name == "h":
                    hold = space
                elif name == "H":
                    hold = hold + "\n" + space
                elif name == "x":
                    space, hold = hold, space
                elif name == "=":
                    self.say("%d\n" % self.line_number)
                elif name == "l":
                    self.say(_visible(space))
                elif name == "z":
                    space = ""
                elif name == "y":
                    space = "".join(c.arg.get(ch, ch) for ch in space)
                elif name == "a":
                    append_queue.append(c.arg + "\n")
                elif name == "i":
                    self.say(c.arg + "\n")
                elif name == "c":
                    if c.second is None or not c.active or c.negate:
                        self.say(c.arg + "\n")
                    deleted = True
                    break
                elif name == "r":
                    append_queue.append(("file", c.arg))
                elif name == "w":
                    self.written.setdefault(c.arg, []).append(space + "\n")
                elif name in "qQ":
                    if name == "q" and not self.quiet:
                        self.emit(space, newline)
                    self.flush_queue(append_queue)
                    self.status = c.arg & 0xFF
                    return
                elif name == "b":
                    pc = c.target
                elif name in "tT":
                    if replaced == (name == "t"):
                        pc = c.target
                    replaced = False
                if len(space) > SPACE_LIMIT or len(hold) > SPACE_LIMIT:
                    raise SedError("pattern space too long")
            if not deleted and not restart and not self.quiet:
                self.emit(space, newline)
            self.flush_queue(append_queue)
            if restart:
                item = ("\x00restart", space, newline)
                continue
            item = yield

    def take(self, item):
        """(pattern space, whether its line ended) of the next input item."""
        if len(item) == 3:   # D's restart: the rest of the pattern space, no new line read
            return item[1], item[2]
        line, self.is_last = item
        self.line_number += 1
        value = text(line)
        if value.endswith("\n"):
            return value[:-1], True
        return value, False

    def emit(self, space, newline):
        self.say(space + ("\n" if newline else ""))

    def flush_queue(self, queue):
        for entry in queue:
            if isinstance(entry, tuple):
                try:
                    self.say(read_input(self.s, entry[1]))
                except (OSError, FsError):
                    pass     # sed's r skips a file it cannot read
            else:
                self.say(entry)
        queue.clear()

    def substitute(self, arg, space):
        regex, parts, count, glob, prnt, target = arg
        self.work += len(space)
        if self.work > WORK_BUDGET:
            raise SedError("script ran too long")
        out, size, pos, found, n, previous_end = [], 0, 0, False, 0, -1
        while pos <= len(space):
            m = self.search(regex, space, pos)
            if m is None:
                break
            start, end = m.span()
            if start == end == previous_end:   # no empty match right after a match
                if start < len(space):
                    out.append(space[start])
                pos = start + 1
                continue
            n += 1
            if n >= count:
                out.append(space[pos:start])
                groups = len(m.groups())
                out.append("".join(p if isinstance(p, str) else (m.group(p) or "") if p <= groups else ""
                                   for p in parts))
                found = True
            else:
                out.append(space[pos:end])
            size += len(out[-1]) + (len(out[-2]) if len(out) > 1 else 0)
            if size > SPACE_LIMIT:
                raise SedError("pattern space too long")
            previous_end = end
            if end == start:
                if start < len(space):
                    out.append(space[start])
                pos = end + 1
            else:
                pos = end
            if found and not glob:
                break
        if not found:
            return space, False
        out.append(space[pos:])
        space = "".join(out)
        for _ in range(prnt):
            self.emit(space, True)
        if target is not None:
            self.written.setdefault(target, []).append(space + "\n")
        return space, True


def _visible(space):
    out = []
    for ch in space:
        if ch == "\\":
            out.append("\\\\")
        elif ch in "\a\b\f\n\r\t\v":
            out.append("\\" + "abfnrtv"["\a\b\f\n\r\t\v".index(ch)])
        elif ch.isprintable():
            out.append(ch)
        else:
            for byte in raw(ch):
                out.append("\\%03o" % byte)
    return "".join(out) + "$\n"


def write_device_file(s, path, data):
    """Writes `data` to a device file, after the device's write check."""
    dev, host = s.resolve(path)
    s.fs.check_write(dev)
    fd = s.fs.open_write(host)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def parse_script(s, args):
    """(commands, options, files)."""
    suffix = [a for a in args if a.startswith("-i") and len(a) > 2 and not a.startswith("-i-")]
    args = ["-i" if a in suffix else a for a in args]   # -iEXT: edit in place, keep a backup
    found, rest = parse_options("sed", args, "nEirsz", "ef")
    if suffix:
        found["i"] = suffix[-1][2:]
    pieces = list(found.get("e", []))
    for path in found.get("f", []):
        try:
            pieces.append(text(read_input(s, path)).rstrip("\n"))
        except (OSError, FsError) as e:
            raise Usage("sed", "%s: %s" % (path, reason(e)))
    if not pieces:
        if not rest:
            raise Usage("sed", "Needs 1 argument")
        pieces.append(rest.pop(0))
    try:
        commands = ScriptParser("\n".join(pieces), "E" in found or "r" in found).parse()
    except SedError as e:
        raise Usage("sed", str(e))
    return commands, found, rest


def _needs_last(commands):
    return any(c.first is not None and c.first.kind == "last" or c.second is not None and c.second.kind == "last"
               for c in commands)


def start_sed(s, args):
    commands, found, files = parse_script(s, args)
    quiet = "n" in found
    if "i" in found:
        return _in_place(s, commands, quiet, files, found["i"] if found["i"] is not True else None)
    machine = Sed(s, commands, quiet, _needs_last(commands))
    if not files:
        return machine
    status = 0
    if "s" in found:
        for path, data in each_input(s, "sed", files):
            if path is None:
                return max(status, data)
            machine = Sed(s, _fresh(commands), quiet, _needs_last(commands))
            _feed(machine, data)
            status = max(status, machine.finish())
    for path, data in each_input(s, "sed", files):
        if path is None:
            status = max(status, data)
            break
        _feed(machine, data)
    return max(status, machine.finish())


def _feed(machine, data):
    for piece in data.splitlines(keepends=True):
        if machine.done:
            break
        machine.feed(piece)


def _fresh(commands):
    for c in commands:
        c.active, c.end_line = False, None
    return commands


def _in_place(s, commands, quiet, files, backup):
    if not files:
        raise Usage("sed", "-i needs a file")
    status = 0
    for path in files:
        try:
            dev, host = s.resolve(path)
            data = read_input(s, path)
            s.fs.check_write(dev)
        except (OSError, FsError) as e:
            status = s.err("sed", "%s: %s" % (path, reason(e)))
            continue
        try:
            if backup:
                write_device_file(s, path + backup, data)
        except (OSError, FsError) as e:
            status = s.err("sed", "%s: %s" % (path + backup, reason(e)))
            continue
        out = []
        machine = Sed(s, _fresh(commands), quiet, _needs_last(commands),
                      say=lambda value: out.append(raw(value) if isinstance(value, str) else value))
        _feed(machine, data)
        status = max(status, machine.finish())
        try:
            write_device_file(s, path, b"".join(out))
        except (OSError, FsError) as e:
            status = s.err("sed", "%s: %s" % (path, reason(e)))
    return status


def sh_sed(s, args):
    return run_filter(s, args, start_sed)


COMMANDS = {"sed": sh_sed}
FILTERS = {"sed": reports_usage(start_sed)}
