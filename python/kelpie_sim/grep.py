"""grep over a pipe or files: basic (default), extended (-E) or fixed (-F) patterns,
with toybox's exit status: 0 a line was selected, 1 none was, 2 an error."""

import os
import re

from . import regex_automaton
from .confine import FsError
from .shell_args import Usage, reports_usage, whole_number

SWITCHES = "EFivcqnwlLHhsor"
POSIX_CLASSES = {
    "alpha": "a-zA-Z", "digit": "0-9", "alnum": "a-zA-Z0-9", "upper": "A-Z", "lower": "a-z",
    "space": r" \t\n\r\f\v", "blank": r" \t", "punct": r"!-/:-@\[-`{-~", "xdigit": "0-9A-Fa-f",
    "cntrl": r"\x00-\x1f\x7f", "print": r" -~", "graph": r"!-~",
}
BRE_ESCAPED = {"(": "(", ")": ")", "{": "{", "}": "}", "|": "|", "+": "+", "?": "?"}


def _bracket(pattern, i):
    """(Python text of the bracket expression starting at pattern[i] == "[", index after it)."""
    j = i + 1
    out = "["
    if j < len(pattern) and pattern[j] == "^":
        out, j = out + "^", j + 1
    if j < len(pattern) and pattern[j] == "]":
        out, j = out + r"\]", j + 1
    while j < len(pattern) and pattern[j] != "]":
        if pattern.startswith("[:", j):
            end = pattern.find(":]", j + 2)
            name = pattern[j + 2:end] if end > 0 else None
            if name not in POSIX_CLASSES:
                raise re.error("invalid character class")
            out, j = out + POSIX_CLASSES[name], end + 2
            continue
        ch = pattern[j]
        out += "\\" + ch if ch in "\\[" else ch
        j += 1
    if j >= len(pattern):
        raise re.error("unmatched [")
    return out + "]", j + 1


def translate(pattern, extended):
    """A POSIX regular expression as Python's re reads it."""
    out, i = "", 0
    while i < len(pattern):
        ch = pattern[i]
        if ch == "[":
            text, i = _bracket(pattern, i)
            out += text
            continue
        if ch == "\\" and i + 1 < len(pattern):
            nxt = pattern[i + 1]
            if not extended and nxt in BRE_ESCAPED:
                out += BRE_ESCAPED[nxt]
            elif nxt in "<>":
                out += r"\b"
            else:
                out += "\\" + nxt
            i += 2
            continue
        if not extended and ch in BRE_ESCAPED:
            out += "\\" + ch
        elif ch == "*" and (not out or out.endswith(("(", "|", "^"))):
            out += r"\*"     # a leading star is a literal one
        else:
            out += ch
        i += 1
    return out


def compile_patterns(patterns, flags):
    texts = []
    try:
        for p in patterns:
            for piece in p.split("\n"):
                text = re.escape(piece) if "F" in flags else translate(piece, "E" in flags)
                texts.append(r"\b(?:%s)\b" % text if "w" in flags else text)
        text = "|".join("(?:%s)" % t for t in texts)
        return Pattern(re.compile(text, re.IGNORECASE if "i" in flags else 0), text, "i" in flags)
    except (re.error, OverflowError) as e:
        raise Usage("grep", "bad regex '%s': %s" % (" ".join(patterns), e), status=2)


class Pattern:
    """grep's pattern: whether a line matches is decided by an automaton, in time linear in the
    line, as a user's pattern must not hold up every device ('(a|aa)+$' would with re); re finds
    the matched text (-o) on lines that match. Back-references need re alone."""

    def __init__(self, compiled, text, ignore_case):
        self._re = compiled
        try:
            self._automaton = regex_automaton.compile(text, ignore_case)
        except regex_automaton.PatternError:
            self._automaton = None

    def search(self, line):
        if self._automaton is None:
            return self._re.search(line)
        try:
            return True if self._automaton.search(line) else None
        except regex_automaton.TooComplex:
            raise Usage("grep", "regular expression too complex for this input", status=2) from None

    def finditer(self, line):
        return self._re.finditer(line)


def parse(args):
    """(flags, patterns, files, most lines selected per file or None)."""
    flags, patterns, rest, most = set(), [], [], None
    i = 0
    while i < len(args):
        a = args[i]
        if a == "--":
            rest += args[i + 1:]
            break
        if a.startswith("-") and len(a) > 1 and not rest:
            j = 1
            while j < len(a):
                ch = a[j]
                if ch in "em":   # their value is the rest of the word, or the next word
                    value = a[j + 1:] or (args[i + 1] if i + 1 < len(args) else None)
                    if value is None:
                        raise Usage("grep", "option -%s needs a value" % ch, status=2)
                    if not a[j + 1:]:
                        i += 1
                    if ch == "e":
                        patterns.append(value)
                    elif whole_number(value) is not None:
                        most = whole_number(value)
                    else:
                        raise Usage("grep", "-m needs a number, not '%s'" % value, status=2)
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
    return flags, patterns, rest, most


def _lines(data):
    text = data.decode("utf-8", "surrogateescape")
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def _read(s, path):
    if path == "-":
        return s.stdin or b""
    _dev, host = s.resolve(path)
    fd = s.fs.open_read(host)
    with os.fdopen(fd, "rb") as f:
        return f.read()


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


def search(s, regex, flags, most, name, named, data):
    """Prints what `flags` ask for of the input `name`; the number of lines selected."""
    invert, only = "v" in flags, "o" in flags and "v" not in flags
    prefix = name + ":" if named else ""
    count = 0
    for number, line in enumerate(_lines(data), 1):
        if most is not None and count >= most:
            break
        if (regex.search(line) is None) != invert:
            continue
        count += 1
        if flags & {"q", "l", "L", "c"}:
            if flags & {"q", "l", "L"}:
                break
            continue
        lead = prefix + ("%d:" % number if "n" in flags else "")
        if only:
            for m in regex.finditer(line):
                if m.group():
                    s.say(lead + m.group() + "\n")
        else:
            s.say(lead + line + "\n")
    if "c" in flags and "q" not in flags:
        s.say("%s%d\n" % (prefix, count))
    if ("l" in flags and count) or ("L" in flags and not count):
        s.say(name + "\n")
    return count


@reports_usage
def sh_grep(s, args):
    flags, patterns, files, most = parse(args)
    regex = compile_patterns(patterns, flags)
    files = files or (["."] if "r" in flags else ["-"])
    if "r" in flags:
        named = "h" not in flags
        files = [f for path in files for f in (_walk(s, path) if path != "-" else [path])]
    else:
        named = ("H" in flags or len(files) > 1) and "h" not in flags
    selected, failed = 0, False
    for path in files:
        try:
            data = _read(s, path)
        except (OSError, FsError) as e:
            failed = True
            if "s" not in flags:
                s.err("grep", "%s: %s" % (path, e.strerror or e) if isinstance(e, OSError) else str(e))
            continue
        selected += search(s, regex, flags, most, "(standard input)" if path == "-" else path, named, data)
        if selected and "q" in flags:
            return 0
    if failed and not ("q" in flags and selected):
        return 2
    return 0 if selected else 1
