"""What the device's commands share in reading their arguments: option words and usage errors."""

import functools


class Usage(Exception):
    """A command's arguments it cannot run with: its message, and the exit status it ends with."""

    def __init__(self, command, text, status=1):
        super().__init__(text)
        self.command, self.text, self.status = command, text, status


def reports_usage(handler):
    """The handler, with a Usage error told as "COMMAND: TEXT" on the error stream."""
    @functools.wraps(handler)
    def run(s, args):
        try:
            return handler(s, args)
        except Usage as e:
            s.err(e.command, e.text)
            return e.status
    return run


def options(args, with_value, command):
    """({option: value}, other words) for options that take a value (given as "-p PATH"),
    and lone switches kept in the dict with the value True. `with_value` names the former,
    e.g. "p" for -p; any other dash word is a switch."""
    found, rest = {}, []
    i = 0
    while i < len(args):
        a = args[i]
        if a.startswith("-") and len(a) > 1:
            name = a.lstrip("-")
            if name in with_value:
                if i + 1 >= len(args):
                    raise Usage(command, "option %s needs a value" % a)
                found[name] = args[i + 1]
                i += 2
                continue
            found[name] = True
        else:
            rest.append(a)
        i += 1
    return found, rest


ASCII_DIGITS = frozenset("0123456789")
MAX_DIGITS = 19     # past any number a device's tools hold in 64 bits


def whole_number(text, low=0, high=2 ** 63 - 1):
    """The value of `text` if it is a decimal number in [low, high] written with ASCII digits
    (and a leading '-' where `low` is negative), else None. Python's int() also takes spaces,
    underscores and other scripts' digits ('²'.isdigit() is true, '١٢' is 12), which a device's
    tools refuse, and raises on thousands of digits."""
    digits = text[1:] if text[:1] == "-" and low < 0 else text
    if not digits or len(digits) > MAX_DIGITS or not set(digits) <= ASCII_DIGITS:
        return None
    value = int(text)
    return value if low <= value <= high else None


def number(cmd, value, low=0):
    """A whole number argument; a Usage error in toybox's words when it is none."""
    n = whole_number(value, -(2 ** 63), 2 ** 63 - 1)
    if n is None:
        raise Usage(cmd, "not integer: %s" % value)
    if n < low:
        raise Usage(cmd, "%s < %d" % (value, low))
    return n
