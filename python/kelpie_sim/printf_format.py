"""printf-style formatting shared by the shell's printf and awk's printf/sprintf: the C
conversions %d %i %o %u %x %X %c %s %e %E %f %F %g %G %%, flags, width and precision
(given or `*`). Widths are capped so a format cannot ask for gigabytes."""

import math
import re

MAX_WIDTH = 100_000
SPEC = re.compile(r"%([-+ #0]*)(\*|\d+)?(?:\.(\*|\d*))?([a-zA-Z%])?")


class FormatError(Exception):
    pass


def _cap(n):
    return max(-MAX_WIDTH, min(MAX_WIDTH, n))


def _float_text(conv, flags, width, precision, value):
    if math.isinf(value) or math.isnan(value):
        body = ("-" if value < 0 else "+" if "+" in flags else " " if " " in flags else "") + (
            "inf" if math.isinf(value) else "nan")
        if conv.isupper():
            body = body.upper()
        return body.rjust(width) if "-" not in flags else body.ljust(width)
    spec = "%" + flags + (str(width) if width else "") + ("." + str(precision) if precision is not None else "") + conv
    return spec % value


def format_one(conv, flags, width, precision, arg, number, string, integer):
    """One conversion of `arg` via the caller's converters: number(arg) -> float,
    string(arg) -> str, integer(arg) -> int."""
    if width < 0:
        flags, width = flags + "-", -width
    if conv in "di":
        conv = "d"
    if conv in "doxXu":
        value = integer(arg)
        if conv in "oxX" and value < 0:
            value &= (1 << 64) - 1
        if conv == "u":
            conv = "d"
            if value < 0:
                value &= (1 << 64) - 1
        spec = "%" + flags + (str(width) if width else "") + ("." + str(precision) if precision is not None else "") + conv
        return spec % value
    if conv in "eEfFgG":
        return _float_text(conv, flags, width, precision, number(arg))
    if conv == "c":
        text = arg if isinstance(arg, str) else None
        if text is None:
            code = integer(arg)
            text = chr(code) if 0 <= code < 0x110000 else ""
        text = text[:1]
        return text.ljust(width) if "-" in flags else text.rjust(width)
    if conv == "s":
        text = string(arg)
        if precision is not None:
            text = text[:precision]
        return text.ljust(width) if "-" in flags else text.rjust(width)
    raise FormatError(conv)


def format_string(fmt, args, number, string, integer, take_star=None):
    """(text, arguments used) of one pass over `fmt`. A missing argument is "" (0 for numbers)."""
    out, used, pos = [], 0, 0
    while True:
        k = fmt.find("%", pos)
        if k < 0:
            out.append(fmt[pos:])
            break
        out.append(fmt[pos:k])
        m = SPEC.match(fmt, k)
        conv = m.group(4)
        if conv == "%" and m.end() == k + 2:
            out.append("%")
            pos = m.end()
            continue
        if conv is None or conv not in "diouxXcseEfFgG":
            raise FormatError(fmt[k:m.end()])
        flags = "".join(sorted(set(m.group(1)), key=m.group(1).index))
        width, precision = m.group(2), m.group(3)
        if width == "*":
            width = integer(args[used]) if used < len(args) else 0
            used += 1
        width = _cap(int(width)) if width else 0
        if precision == "*":
            precision = integer(args[used]) if used < len(args) else 0
            used += 1
            precision = None if precision < 0 else precision
        elif precision is not None:
            precision = int(precision) if precision else 0
        if precision is not None:
            precision = min(precision, MAX_WIDTH)
        if used < len(args):
            arg = args[used]
        else:
            arg = "" if conv in "sc" else 0.0
        used += 1
        out.append(format_one(conv, flags, width, precision, arg, number, string, integer))
        pos = m.end()
    return "".join(out), used
