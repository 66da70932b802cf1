"""toybox's printf and seq."""

import math
import re

from .printf_format import FormatError, format_string
from .shell_args import MAX_DIGITS, Usage, reports_usage
from .toybox_options import last, parse_options

ESCAPES = {"a": "\a", "b": "\b", "e": "\x1b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v",
           "\\": "\\", '"': '"', "'": "'"}
INTEGER = re.compile(r"\s*[-+]?(0[xX][0-9a-fA-F]+|0[0-7]*|[1-9][0-9]*)\s*\Z")
FLOAT = re.compile(r"\s*[-+]?([0-9]+\.?[0-9]*([eE][-+]?[0-9]+)?|\.[0-9]+([eE][-+]?[0-9]+)?|0[xX][0-9a-fA-F]+|inf|infinity|nan)\s*\Z",
                   re.IGNORECASE)
SEQ_LIMIT = 2_000_000     # numbers one seq prints here


def escapes(text, octal_digits=3, stop_at_c=False):
    """(text with backslash escapes replaced, whether \\c ended it)."""
    out, i = [], 0
    while i < len(text):
        ch = text[i]
        if ch != "\\" or i + 1 >= len(text):
            out.append(ch)
            i += 1
            continue
        nxt = text[i + 1]
        if nxt in ESCAPES:
            out.append(ESCAPES[nxt])
            i += 2
        elif nxt == "c" and stop_at_c:
            return "".join(out), True
        elif nxt in "01234567":
            start = i + 1 + (nxt == "0" and octal_digits == 4)
            m = re.match("[0-7]{1,3}", text[start:])
            byte = int(m.group(), 8) & 0xFF if m else 0
            out.append(chr(byte) if byte < 0x80 else chr(0xDC00 + byte))
            i = start + (m.end() if m else 0)
        elif nxt == "x" and re.match("[0-9a-fA-F]", text[i + 2:i + 3]):
            m = re.match("[0-9a-fA-F]{1,2}", text[i + 2:])
            byte = int(m.group(), 16)
            out.append(chr(byte) if byte < 0x80 else chr(0xDC00 + byte))
            i += 2 + m.end()
        else:
            out.append(ch)
            i += 1
    return "".join(out), False


class Numbers:
    """printf's argument conversions; a bad number is reported and counts as 0."""

    def __init__(self, s):
        self.s, self.failed = s, False

    def bad(self, value):
        self.s.err("printf", "invalid number '%s'" % value)
        self.failed = True

    def integer(self, value):
        if not isinstance(value, str):
            return int(value)
        if value[:1] in "'\"" and len(value) > 1:
            return ord(value[1])
        if INTEGER.match(value):
            text = value.strip()
            sign = -1 if text.startswith("-") else 1
            digits = text.lstrip("+-")
            base = 16 if digits[:2].lower() == "0x" else 8 if digits.startswith("0") and len(digits) > 1 else 10
            if len(digits) > MAX_DIGITS:    # past any 64-bit number
                self.bad(value)
                return 0
            return sign * int(digits, base)
        if value == "":
            return 0
        if FLOAT.match(value):
            number = self.number(value)
            return int(number) if math.isfinite(number) else 0
        self.bad(value)
        return 0

    def number(self, value):
        if not isinstance(value, str):
            return float(value)
        if value[:1] in "'\"" and len(value) > 1:
            return float(ord(value[1]))
        if value == "":
            return 0.0
        if FLOAT.match(value):
            text = value.strip()
            try:
                return float(int(text, 16)) if "x" in text.lower() and "n" not in text.lower() else float(text)
            except (ValueError, OverflowError):
                return math.inf
        self.bad(value)
        return 0.0


@reports_usage
def sh_printf(s, args):
    if args[:1] == ["--"]:
        args = args[1:]
    if not args:
        raise Usage("printf", "Needs 1 argument")
    fmt, rest = args[0], args[1:]
    numbers = Numbers(s)
    out = []
    while True:
        try:
            pieces, used, stop = _one_pass(fmt, rest, numbers)
        except FormatError as e:
            s.say("".join(out))
            raise Usage("printf", "bad %s" % e)
        out.append(pieces)
        if stop or not used or used >= len(rest):
            break
        rest = rest[used:]
    s.say("".join(out))
    return 1 if numbers.failed else 0


def _one_pass(fmt, args, numbers):
    """printf's format once: escapes in the format, %b for escapes in an argument."""
    text, stop = escapes(fmt, octal_digits=3, stop_at_c=True)
    chunks, used, pos = [], 0, 0
    # %b is printf's own; the rest is C's.
    for m in re.finditer(r"%%|%[-+ #0]*\d*(?:\.\d*)?b", text):
        if m.group() == "%%":
            continue
        before, n = format_string(text[pos:m.start()], args[used:], numbers.number, str, numbers.integer)
        chunks.append(before)
        used += n
        value = args[used] if used < len(args) else ""
        used += 1
        expanded, ended = escapes(value, octal_digits=4, stop_at_c=True)
        chunks.append(expanded)
        pos = m.end()
        if ended:
            return "".join(chunks), used, True
    tail, n = format_string(text[pos:], args[used:], numbers.number, str, numbers.integer)
    chunks.append(tail)
    return "".join(chunks), used + n, stop


def _decimals(value):
    m = re.match(r"[-+]?\d*\.(\d+)", value.strip())
    return len(m.group(1)) if m else 0


def _seq_number(value):
    if not FLOAT.match(value) or "x" in value.lower():
        raise Usage("seq", "invalid number '%s'" % value)
    number = float(value)
    if not math.isfinite(number):
        raise Usage("seq", "invalid number '%s'" % value)
    return number


@reports_usage
def sh_seq(s, args):
    negative = any(re.fullmatch(r"-\.?\d.*", a) for a in args)
    found, words = _seq_options(args) if negative else parse_options("seq", args, "w", "fs")
    if not 1 <= len(words) <= 3:
        raise Usage("seq", "Needs 1-3 arguments" if not words else "Max 3 arguments")
    values = [_seq_number(w) for w in words]
    first, step, end = (1.0, 1.0, values[0]) if len(values) == 1 else (
        (values[0], 1.0, values[1]) if len(values) == 2 else values)
    if step == 0:
        raise Usage("seq", "increment 0")
    fmt = last(found, "f")
    places = max(_decimals(w) for w in words[:2]) if len(words) > 1 else 0
    count = math.floor((end - first) / step + 1e-10) + 1 if (end - first) * step >= 0 or first == end else 0
    if count > SEQ_LIMIT:
        raise Usage("seq", "more than %d numbers" % SEQ_LIMIT)
    separator = last(found, "s", "\n")
    numbers = [first + k * step for k in range(max(count, 0))]
    if fmt is not None:
        if len(re.findall(r"%[^%]", fmt.replace("%%", ""))) != 1 or not re.search(r"%[-+ #0]*\d*(?:\.\d*)?[eEfgGaA]", fmt):
            raise Usage("seq", "bad -f '%s'" % fmt)
        try:
            texts = [format_string(fmt, [n], float, str, int)[0] for n in numbers]
        except (FormatError, ValueError, OverflowError):
            raise Usage("seq", "bad -f '%s'" % fmt)
    else:
        texts = ["%.*f" % (places, n) for n in numbers]
        if "w" in found and texts:
            width = max(len("%.*f" % (places, v)) for v in (first, end))
            texts = [("-" + t[1:].rjust(width - 1, "0")) if t.startswith("-") else t.rjust(width, "0") for t in texts]
    if texts:
        s.say(separator.join(texts) + "\n")
    return 0


def _seq_options(args):
    """seq's options when a negative number is among its words (seq -1 1 is no option)."""
    found, words, i = {}, [], 0
    while i < len(args):
        a = args[i]
        if a in ("-w",):
            found["w"] = True
        elif a in ("-s", "-f") and i + 1 < len(args):
            found.setdefault(a[1], []).append(args[i + 1])
            i += 1
        elif a.startswith(("-s", "-f")) and len(a) > 2:
            found.setdefault(a[1], []).append(a[2:])
        else:
            words.append(a)
        i += 1
    return found, words


COMMANDS = {"printf": sh_printf, "seq": sh_seq}
