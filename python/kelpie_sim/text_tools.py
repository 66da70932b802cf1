"""toybox's text tools: wc, head, tail, sort, uniq, cut, tr."""

import functools
import re

from .file_tools import write_file
from .linefilter import LineFilter, command, each_input, raw, text
from .shell_args import Usage, number, reports_usage, whole_number
from .toybox_options import last, parse_options


def _files_then(s, cmd, paths, f, header=None):
    """Feeds each named file to the filter `f` (with `header(path, index)` before each);
    finish() once at the end. The status is 1 when a file could not be read."""
    status, index = 0, 0
    for path, data in each_input(s, cmd, paths):
        if path is None:
            status = data
            break
        if header is not None:
            header(path, index)
        index += 1
        f.begin(path)
        for piece in data.splitlines(keepends=True):
            if f.done:
                break
            f.feed(piece)
        f.end_file(path)
    return max(f.finish(), status)


class FileFilter(LineFilter):
    """A filter that may also be run over named files, one after another."""

    def begin(self, path):
        self.done = False

    def end_file(self, path):
        pass


# wc ---------------------------------------------------------------------------------------

class WordCount(FileFilter):
    def __init__(self, s, flags, named):
        self.s, self.flags, self.named = s, flags, named
        self.counts, self.total, self.files = [0, 0, 0, 0], [0, 0, 0, 0], 0

    def feed(self, line):
        c = self.counts
        c[0] += line.endswith(b"\n")
        c[1] += len(line.split())
        c[2] += len(line)
        c[3] += len(text(line))

    def show(self, counts, name):
        chosen = [i for i, f in enumerate("lwcm") if f in self.flags] or [0, 1, 2]
        width = 0 if len(chosen) == 1 else 7
        self.s.say(" ".join("%*d" % (width, counts[i]) for i in chosen) + (" " + name if name else "") + "\n")

    def end_file(self, path):
        self.show(self.counts, "" if path == "-" and not self.named else path)
        self.total = [a + b for a, b in zip(self.total, self.counts)]
        self.counts, self.files = [0, 0, 0, 0], self.files + 1

    def finish(self):
        if not self.named:
            if self.files == 0:
                self.show(self.counts, "")
        elif self.files > 1:
            self.show(self.total, "total")
        return 0


def start_wc(s, args):
    flags, files = parse_options("wc", args, "lwcm")
    f = WordCount(s, flags, bool(files))
    if files:
        return _files_then(s, "wc", files, f)
    return f


# head -------------------------------------------------------------------------------------

class Head(FileFilter):
    def __init__(self, s, lines, chars):
        self.s, self.lines, self.chars = s, lines, chars
        self.begin(None)

    def begin(self, path):
        self.left = self.chars if self.chars is not None else self.lines
        self.done = self.left <= 0

    def feed(self, line):
        if self.chars is not None:
            line = line[:self.left]
            self.left -= len(line)
        else:
            self.left -= 1
        self.s.say(line)
        self.done = self.left <= 0


def _count_option(cmd, found):
    lines, chars = last(found, "n"), last(found, "c")
    return (number(cmd, lines) if lines is not None else 10), (number(cmd, chars) if chars is not None else None)


def start_head(s, args):
    found, files = parse_options("head", args, "qv", "nc", numeric="n")
    lines, chars = _count_option("head", found)
    f = Head(s, lines, chars)
    if not files:
        return f
    shown = ("v" in found or len(files) > 1) and "q" not in found
    header = (lambda path, i: s.say("%s==> %s <==\n" % ("\n" if i else "", path))) if shown else None
    return _files_then(s, "head", files, f, header)


# tail -------------------------------------------------------------------------------------

def _tail_text(data, count, from_start, chars):
    if chars:
        return data[count - 1:] if from_start else (data[-count:] if count else b"")
    pieces = data.splitlines(keepends=True)
    if from_start:
        return b"".join(pieces[max(count - 1, 0):])
    return b"".join(pieces[-count:]) if count else b""


@reports_usage
def sh_tail(s, args):
    """tail [-n N|+N] [-c N] [-f] FILE...: -f ends with the file, which never grows here."""
    found, files = parse_options("tail", args, "fqvF", "nc", numeric="n")
    value, chars = last(found, "c"), True
    if value is None:
        value, chars = last(found, "n", "10"), False
    from_start = value.startswith("+")
    count = number("tail", value.lstrip("+-") or value)
    files = files or ["-"]
    shown = ("v" in found or len(files) > 1) and "q" not in found
    index = 0
    for path, data in each_input(s, "tail", files):
        if path is None:
            return data
        if shown:
            s.say("%s==> %s <==\n" % ("\n" if index else "", path))
        index += 1
        s.say(_tail_text(data, count, from_start, chars))


# sort -------------------------------------------------------------------------------------

NUMBER_PREFIX = re.compile(r"\s*(-?(?:\d+\.?\d*|\.\d+))")
HUMAN_PREFIX = re.compile(r"\s*(-?(?:\d+\.?\d*|\.\d+))([KMGTPE]?)")


def _numeric(value):
    m = NUMBER_PREFIX.match(value)
    return float(m.group(1)) if m else 0.0


def _human(value):
    m = HUMAN_PREFIX.match(value)
    if not m:
        return 0.0
    return float(m.group(1)) * 1024 ** " KMGTPE".index(m.group(2) or " ")


def _general(value):
    try:
        return float(value.split()[0]) if value.split() else 0.0
    except ValueError:
        return 0.0


def _fields(line, sep):
    """Fields with the blanks before them kept (as sort -k and uniq -f count them)."""
    if sep is not None:
        return line.split(sep)
    return re.findall(r"\s*\S+", line) or [line]


def _field_spans(line, sep):
    if sep is not None:
        spans, start = [], 0
        for piece in line.split(sep):
            spans.append((start, start + len(piece)))
            start += len(piece) + 1
        return spans
    return [m.span() for m in re.finditer(r"\s*\S+", line)]


class SortKey:
    """-k FIELD[.CHAR][FLAGS][,FIELD[.CHAR][FLAGS]]: the part of a line a sort compares."""

    def __init__(self, spec, global_flags):
        m = re.fullmatch(r"([0-9]+)(?:\.([0-9]+))?([bdfghinrMV]*)(?:,([0-9]+)(?:\.([0-9]+))?([bdfghinrMV]*))?", spec)
        numbers = [None if m is None or m.group(g) is None else whole_number(m.group(g)) for g in (1, 2, 4, 5)]
        if not m or any(n is None and m.group(g) is not None for n, g in zip(numbers, (1, 2, 4, 5))) or (
                numbers[0] < 1 or (numbers[1] is not None and numbers[1] < 1)):
            raise Usage("sort", "bad -k '%s'" % spec)
        self.start_field, self.start_char = numbers[0], numbers[1] or 1
        self.end_field = numbers[2]
        self.end_char = numbers[3] or 0
        self.flags = set(m.group(3) + (m.group(6) or "")) or set(global_flags)

    def _offset(self, line, span, char):
        start = span[0]
        if "b" in self.flags:
            while start < span[1] and line[start] in " \t":
                start += 1
        return start + char - 1

    def extract(self, line, sep):
        spans = _field_spans(line, sep)
        if self.start_field > len(spans):
            return ""
        start = self._offset(line, spans[self.start_field - 1], self.start_char)
        if self.end_field is None or self.end_field > len(spans):
            end = len(line)
        elif self.end_char == 0:
            end = spans[self.end_field - 1][1]
        else:
            end = min(self._offset(line, spans[self.end_field - 1], self.end_char) + 1,
                      spans[self.end_field - 1][1])
        return line[start:end] if end > start else ""


def _transform(value, flags):
    if "b" in flags:
        value = value.lstrip()
    if "d" in flags:
        value = "".join(c for c in value if c.isalnum() or c.isspace())
    if "i" in flags:
        value = "".join(c for c in value if c.isprintable())
    if "f" in flags:
        value = value.upper()
    return value


def _compare_values(a, b, flags):
    if "n" in flags:
        x, y = _numeric(a), _numeric(b)
    elif "h" in flags:
        x, y = _human(a), _human(b)
    elif "g" in flags:
        x, y = _general(a), _general(b)
    else:
        x, y = _transform(a, flags).encode("utf-8", "surrogateescape"), _transform(b, flags).encode(
            "utf-8", "surrogateescape")
    result = (x > y) - (x < y)
    return -result if "r" in flags else result


@reports_usage
def sh_sort(s, args):
    found, files = parse_options("sort", args, "bcdfghinrsuzCMV", "kto")
    flags = {f for f in "bdfghinr" if f in found}
    sep = last(found, "t")
    if sep is not None and len(sep) != 1:
        raise Usage("sort", "need 1 character -t, not '%s'" % sep)
    keys = [SortKey(k, flags) for k in found.get("k", [])]
    lines_ = []
    status = 0
    for path, data in each_input(s, "sort", files or ["-"]):
        if path is None:
            status = data
            break
        lines_ += text(data).splitlines()

    def compare(a, b):
        for key in keys:
            r = _compare_values(key.extract(a, sep), key.extract(b, sep), key.flags)
            if r:
                return r
        if not keys:
            r = _compare_values(a, b, flags)
            if r:
                return r
        if "s" in found or "u" in found:
            return 0
        r = (a.encode("utf-8", "surrogateescape") > b.encode("utf-8", "surrogateescape")) - (a.encode(
            "utf-8", "surrogateescape") < b.encode("utf-8", "surrogateescape"))
        return -r if "r" in flags else r

    if "c" in found or "C" in found:
        for i in range(1, len(lines_)):
            if compare(lines_[i - 1], lines_[i]) > 0 or ("u" in found and not compare(lines_[i - 1], lines_[i])):
                if "c" in found:
                    s.err("sort", "%s:%d: disorder: %s" % ((files or ["-"])[0], i + 1, lines_[i]))
                return 1
        return status
    lines_.sort(key=functools.cmp_to_key(compare))
    if "u" in found:
        unique = []
        for line in lines_:
            if not unique or compare(unique[-1], line):
                unique.append(line)
        lines_ = unique
    output = raw("".join(line + "\n" for line in lines_))
    target = last(found, "o")
    if target is not None:
        return max(status, write_file(s, "sort", target, output))
    s.say(output)
    return status


# uniq -------------------------------------------------------------------------------------

class Uniq(LineFilter):
    def __init__(self, s, flags, skip_fields, skip_chars, width):
        self.s, self.flags = s, flags
        self.skip_fields, self.skip_chars, self.width = skip_fields, skip_chars, width
        self.previous, self.key, self.repeats = None, None, 0
        self.out = []

    def key_of(self, line):
        value = text(line).rstrip("\n")
        if self.skip_fields:
            value = "".join(_fields(value, None)[self.skip_fields:])
        value = value[self.skip_chars:]
        if self.width is not None:
            value = value[:self.width]
        return value.lower() if "i" in self.flags else value

    def flush(self):
        if self.previous is None:
            return
        if ("d" in self.flags and self.repeats == 0) or ("u" in self.flags and self.repeats > 0):
            return
        line = self.previous if self.previous.endswith(b"\n") else self.previous + b"\n"
        self.s.say((b"%7d " % (self.repeats + 1) if "c" in self.flags else b"") + line)

    def feed(self, line):
        key = self.key_of(line)
        if self.previous is not None and key == self.key:
            self.repeats += 1
            return
        self.flush()
        self.previous, self.key, self.repeats = line, key, 0

    def finish(self):
        self.flush()
        return 0


def start_uniq(s, args):
    found, files = parse_options("uniq", args, "cdiuz", "fsw")
    f = Uniq(s, found, number("uniq", last(found, "f", "0")), number("uniq", last(found, "s", "0")),
             number("uniq", last(found, "w")) if "w" in found else None)
    if len(files) > 2:
        raise Usage("uniq", "Max 2 arguments")
    if not files:
        return f
    for path, data in each_input(s, "uniq", files[:1]):
        if path is None:
            if data:
                return data
            break
        if len(files) == 2:   # uniq IN OUT writes OUT
            collected = []
            f.s = _Collector(collected)
            for piece in data.splitlines(keepends=True):
                f.feed(piece)
            f.finish()
            return write_file(s, "uniq", files[1], b"".join(collected))
        for piece in data.splitlines(keepends=True):
            f.feed(piece)
    return f.finish()


class _Collector:
    def __init__(self, out):
        self.out = out

    def say(self, data):
        self.out.append(data)


# cut --------------------------------------------------------------------------------------

def _ranges(listing):
    """[(first, last or None)] of a list such as 1,3-5,7-; 1-based."""
    ranges = []
    for part in listing.split(","):
        m = re.fullmatch(r"([0-9]*)(-?)([0-9]*)", part)
        if not m or not (m.group(1) or m.group(3)) or (not m.group(2) and not m.group(1)):
            raise Usage("cut", "bad list '%s'" % listing)
        low = whole_number(m.group(1)) if m.group(1) else 1
        high = (whole_number(m.group(3)) if m.group(3) else None) if m.group(2) else low
        if low is None or (m.group(3) and high is None) or low < 1 or (high is not None and high < low):
            raise Usage("cut", "bad list '%s'" % listing)
        ranges.append((low, high))
    return ranges


def _selected(ranges, n):
    """The 0-based indexes of n items the ranges pick, in order, each once."""
    chosen = set()
    for low, high in ranges:
        chosen.update(range(low - 1, min(n, high if high is not None else n)))
    return sorted(chosen)


class Cut(LineFilter):
    def __init__(self, s, mode, ranges, delim, out_delim, only_delimited):
        self.s, self.mode, self.ranges = s, mode, ranges
        self.delim, self.out_delim, self.only = delim, out_delim, only_delimited

    def feed(self, line):
        end = b"\n" if line.endswith(b"\n") else b""
        body = line[:len(line) - len(end)]
        if self.mode == "b":
            self.s.say(bytes(body[i] for i in _selected(self.ranges, len(body))) + b"\n")
            return
        value = text(body)
        if self.mode == "c":
            self.s.say(raw("".join(value[i] for i in _selected(self.ranges, len(value)))) + b"\n")
            return
        if self.delim not in value:
            if not self.only:
                self.s.say(body + b"\n")
            return
        fields = value.split(self.delim)
        self.s.say(raw(self.out_delim.join(fields[i] for i in _selected(self.ranges, len(fields)))) + b"\n")


def start_cut(s, args):
    found, files = parse_options("cut", args, "snD", "bcfdO")
    modes = [m for m in "bcf" if m in found]
    if len(modes) != 1:
        raise Usage("cut", "Needs -bcf" if not modes else "-bcf are exclusive")
    mode = modes[0]
    ranges = _ranges(last(found, mode))
    delim = last(found, "d", "\t")
    if len(delim) != 1:
        raise Usage("cut", "-d needs 1 character")
    f = Cut(s, mode, ranges, delim, last(found, "O", delim), "s" in found)
    if not files:
        return f
    status = 0
    for path, data in each_input(s, "cut", files):
        if path is None:
            status = data
            break
        for piece in data.splitlines(keepends=True):
            f.feed(piece)
    return status


# tr ---------------------------------------------------------------------------------------

TR_CLASSES = {
    "alpha": str.isalpha, "digit": lambda c: c in "0123456789", "alnum": str.isalnum,
    "upper": str.isupper, "lower": str.islower, "space": lambda c: c in " \t\n\r\f\v",
    "blank": lambda c: c in " \t", "punct": lambda c: c.isascii() and c.isprintable() and not c.isalnum() and c != " ",
    "xdigit": lambda c: c in "0123456789abcdefABCDEF", "cntrl": lambda c: ord(c) < 32 or ord(c) == 127,
    "print": lambda c: c.isprintable(), "graph": lambda c: c.isprintable() and c != " ",
}
TR_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "a": "\a", "b": "\b", "f": "\f", "v": "\v", "\\": "\\"}
ASCII = [chr(i) for i in range(128)]


def _tr_set(spec):
    """The characters of a tr set, in order (classes in ASCII order)."""
    chars, i = [], 0
    while i < len(spec):
        m = re.match(r"\[:(\w+):\]", spec[i:])
        if m:
            if m.group(1) not in TR_CLASSES:
                raise Usage("tr", "bad class %s" % m.group(1))
            test = TR_CLASSES[m.group(1)]
            chars += [c for c in ASCII if test(c)]
            i += m.end()
            continue
        m = re.match(r"\[(.)\*(\d*)\]", spec[i:], re.S)
        if m:
            chars += [m.group(1)] * min(int(m.group(2) or "0") or 1, 65536)
            i += m.end()
            continue
        ch, i = _tr_char(spec, i)
        if i + 1 < len(spec) and spec[i] == "-":
            high, j = _tr_char(spec, i + 1)
            if high < ch:
                raise Usage("tr", "Bad range '%s-%s'" % (ch, high))
            if ord(high) - ord(ch) > 65536:
                raise Usage("tr", "Bad range '%s-%s'" % (ch, high))
            chars += [chr(c) for c in range(ord(ch), ord(high) + 1)]
            i = j
            continue
        chars.append(ch)
    return chars


def _tr_char(spec, i):
    if spec[i] != "\\" or i + 1 >= len(spec):
        return spec[i], i + 1
    m = re.match(r"[0-7]{1,3}", spec[i + 1:])
    if m:
        return chr(int(m.group(), 8) & 0xFF), i + 1 + m.end()
    return TR_ESCAPES.get(spec[i + 1], spec[i + 1]), i + 2


def start_tr(s, args):
    found, sets = parse_options("tr", args, "cCdst")
    if not sets or len(sets) > 2:
        raise Usage("tr", "Needs 1-2 arguments" if not sets else "Max 2 arguments")
    first = _tr_set(sets[0])
    second = _tr_set(sets[1]) if len(sets) > 1 else []
    complement = "c" in found or "C" in found
    translating = len(sets) > 1 and "d" not in found
    if translating and not second:
        raise Usage("tr", "Needs 2 arguments")
    return Translate(s, set(first), first, second, complement, found, translating)


class Translate(LineFilter):
    def __init__(self, s, members, first, second, complement, found, translating):
        self.s, self.complement, self.found = s, complement, found
        self.members, self.translating = members, translating
        if "t" in found:
            first = first[:len(second)]
            members = set(first)
            self.members = members
        self.table = {}
        if translating and not complement:
            for k, c in enumerate(first):
                self.table[c] = second[k] if k < len(second) else second[-1]
        self.fill = second[-1] if second else None
        self.squeeze = set(second) if len(second) and "d" not in found else self.members
        if "d" in found and "s" in found:
            self.squeeze = set(second)
        self.last = None

    def inside(self, ch):
        return (ch in self.members) != self.complement

    def feed(self, line):
        out = []
        for ch in text(line):
            if "d" in self.found and self.inside(ch):
                continue
            if self.translating:
                if self.complement:
                    ch = self.fill if self.inside(ch) else ch
                else:
                    ch = self.table.get(ch, ch)
            if "s" in self.found and ch == self.last and (ch in self.squeeze if self.translating or "d" in self.found
                                                          else self.inside(ch)):
                continue
            self.last = ch
            out.append(ch)
        self.s.say(raw("".join(out)))


COMMANDS = {
    "wc": command(start_wc), "head": command(start_head), "tail": sh_tail, "sort": sh_sort,
    "uniq": command(start_uniq), "cut": command(start_cut), "tr": command(start_tr),
}
# A pipeline calls a filter's start itself: usage errors are told there, as a status.
FILTERS = {name: reports_usage(start) for name, start in (
    ("wc", start_wc), ("head", start_head), ("uniq", start_uniq), ("cut", start_cut), ("tr", start_tr))}
