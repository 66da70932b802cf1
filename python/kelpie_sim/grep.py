"""grep over a pipe or files: basic (default), extended (-E) or fixed (-F) patterns, with
context (-A/-B/-C) and toybox's exit status: 0 a line was selected, 1 none was, 2 an error.
It also runs as a line filter, so a pipeline can feed it a log as the log grows."""

import os

from .confine import FsError
from .linefilter import LineFilter, command, read_input, text
from .posix_regex import RegexBudget, RegexError, compile_posix
from .shell_args import Usage, reports_usage, whole_number

SWITCHES = "EFivcqnwlLHhsorxZz"
VALUED = "emABC"


def compile_patterns(patterns, flags):
    pieces = [piece for p in patterns for piece in p.split("\n")]
    whole = "line" if "x" in flags else "word" if "w" in flags else None
    compiled = []
    for piece in pieces:
        try:
            compiled.append(compile_posix(piece, extended="E" in flags, icase="i" in flags, whole=whole,
                                          fixed="F" in flags))
        except RegexError as e:
            raise Usage("grep", "bad regex '%s': %s" % (piece, e), status=2)
    return compiled


def _count(option, value):
    n = whole_number(value)
    if n is None:
        raise Usage("grep", "-%s needs a number, not '%s'" % (option, value), status=2)
    return n


def parse(args):
    """(flags, patterns, files, options with values {letter: int})."""
    flags, patterns, rest, values = set(), [], [], {}
    i = 0
    while i < len(args):
        a = args[i]
        if a == "--":
            rest += args[i + 1:]
            break
        if a.startswith("-") and len(a) > 1:
            j = 1
            while j < len(a):
                ch = a[j]
                if ch in VALUED:   # the value is the rest of the word, or the next word
                    value = a[j + 1:] or (args[i + 1] if i + 1 < len(args) else None)
                    if value is None:
                        raise Usage("grep", "option -%s needs a value" % ch, status=2)
                    if not a[j + 1:]:
                        i += 1
                    if ch == "e":
                        patterns.append(value)
                    else:
                        values[ch] = _count(ch, value)
                    break
                if ch.isdigit():   # -3 is -C 3
                    digits = a[j:]
                    values["C"] = _count("C", digits)
                    break
                if ch not in SWITCHES:
                    raise Usage("grep", "Unknown option '%s'" % ch, status=2)
                flags.add(ch)
                j += 1
        else:
            rest.append(a)
        i += 1
    if not patterns:
        if not rest:
            raise Usage("grep", "Needs 1 argument", status=2)
        patterns.append(rest.pop(0))
    return flags, patterns, rest, values


class Search(LineFilter):
    """grep over one input, line by line: prints what the flags ask for."""

    def __init__(self, s, regexes, flags, values, name, named, printed=None):
        self.s, self.regexes, self.flags = s, regexes, flags
        self.printed = printed if printed is not None else [False]   # shared by the files of one grep
        self.most = values.get("m")
        self.after = values.get("A", values.get("C", 0))
        self.before = values.get("B", values.get("C", 0))
        self.name, self.prefix = name, (name if named else None)
        self.count, self.number = 0, 0
        self.held = []            # the lines before a match, for -B: (number, text)
        self.after_left = 0
        self.last_printed = 0     # the number of the last line printed, for "--" between groups
        self.failed = self.stopping = False
        self.done = self.most == 0
        self.quiet = bool(flags & {"q", "l", "L", "c"})

    def first_match(self, line, pos=0):
        best = None
        for regex in self.regexes:
            m = regex.search(line, pos)
            if m is not None and (best is None or m.start() < best.start() or (
                    m.start() == best.start() and m.end() > best.end())):
                best = m
        return best

    def show(self, number, line, separator):
        if (self.after or self.before) and (number > self.last_printed + 1 if self.last_printed else self.printed[0]):
            self.s.say("--\n")
        self.printed[0] = True
        lead = (self.prefix + separator if self.prefix is not None else "") + (
            "%d%s" % (number, separator) if "n" in self.flags else "")
        self.s.say(lead + line + "\n")
        self.last_printed = number

    def feed(self, line):
        if self.done:
            return
        value = text(line)
        if value.endswith("\n"):
            value = value[:-1]
        self.number += 1
        if self.stopping:
            self.show(self.number, value, "-")
            self.after_left -= 1
            self.done = self.after_left <= 0
            return
        try:
            found = any(regex.matches(value) for regex in self.regexes)
        except RegexBudget:
            self.s.err("grep", "regex too slow for this input")
            self.failed, self.done = True, True
            return
        if found == ("v" in self.flags):
            if self.after_left:
                self.after_left -= 1
                self.show(self.number, value, "-")
            elif self.before:
                self.held.append((self.number, value))
                del self.held[:-self.before]
            return
        self.count += 1
        if self.quiet:
            if self.flags & {"q", "l", "L"}:
                self.done = True
        else:
            for number, held in self.held:
                self.show(number, held, "-")
            self.held = []
            if "o" in self.flags and "v" not in self.flags:
                self.only(value)
            else:
                self.show(self.number, value, ":")
            self.after_left = self.after
        if self.most is not None and self.count >= self.most:
            self.stopping = True       # only the trailing context is left to print
            self.done = self.after_left == 0 or self.quiet

    def only(self, value):
        lead = (self.prefix + ":" if self.prefix is not None else "") + ("%d:" % self.number if "n" in self.flags else "")
        pos = 0
        while pos <= len(value):
            m = self.first_match(value, pos)
            if m is None:
                break
            if m.end() > m.start():
                self.s.say(lead + m.group() + "\n")
                pos = m.end()
            else:
                pos = m.end() + 1
        self.last_printed = self.number

    def finish(self):
        if "c" in self.flags and "q" not in self.flags:
            self.s.say("%s%d\n" % (self.prefix + ":" if self.prefix is not None else "", self.count))
        if ("l" in self.flags and self.count) or ("L" in self.flags and not self.count):
            self.s.say(self.name + "\n")
        return 2 if self.failed else 0 if self.count else 1


def _walk(s, path):
    """The files under the directory `path` (device paths, in order), for -r; links are not followed."""
    _dev, host = s.resolve(path)
    if not os.path.isdir(host):
        return [path]
    found = []
    for folder, subfolders, names in os.walk(host):
        subfolders.sort()
        inside = os.path.relpath(folder, host)
        for name in sorted(names):
            if not os.path.islink(os.path.join(folder, name)):
                found.append(os.path.normpath(os.path.join(path, inside, name)))
    return found


def start_grep(s, args):
    flags, patterns, files, values = parse(args)
    regexes = compile_patterns(patterns, flags)
    if not files and "r" not in flags:
        return Search(s, regexes, flags, values, "(standard input)", "H" in flags and "h" not in flags)
    files = files or ["."]
    if "r" in flags:
        named = "h" not in flags
        files = [f for path in files for f in (_walk(s, path) if path != "-" else [path])]
    else:
        named = ("H" in flags or len(files) > 1) and "h" not in flags
    selected, failed, printed = False, False, [False]
    quiet_errors = "s" in flags
    for path in files:
        try:
            data = read_input(s, path)
        except (OSError, FsError) as e:
            failed = True
            if not quiet_errors:
                s.err("grep", "%s: %s" % (path, e.strerror or e) if isinstance(e, OSError) else str(e))
            continue
        search = Search(s, regexes, flags, values, "(standard input)" if path == "-" else path, named, printed)
        for piece in data.splitlines(keepends=True):
            if search.done:
                break
            search.feed(piece)
        status = search.finish()
        failed = failed or status == 2
        selected = selected or status == 0
        if selected and "q" in flags:
            return 0
    if failed and not ("q" in flags and selected):
        return 2
    return 0 if selected else 1


sh_grep = reports_usage(command(start_grep))
COMMANDS = {"grep": sh_grep}
FILTERS = {"grep": reports_usage(start_grep)}
