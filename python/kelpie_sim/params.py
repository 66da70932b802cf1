"""Device params a farm can differ on, set when the simulator starts: NAME=VALUE for every
device (`--param`), SERIAL:NAME=VALUE for one (`--device-param`)."""

import re

NAME = re.compile(r"[A-Za-z0-9_.@:-]{1,96}\Z")   # what a device's param names are made of


class ParamError(ValueError):
    pass


def check(name, value):
    """(name, value) if a device could hold them; a ParamError saying why not otherwise."""
    if not isinstance(name, str) or not NAME.match(name):
        raise ParamError("a param name is 1 to 96 letters, digits and . _ - @ :, not %r" % (name,))
    if not isinstance(value, str) or set(value) & {"\n", "\0"}:
        raise ParamError("the value of param %s must be a str of one line, not %r" % (name, value))
    return name, value


def parse(text):
    """(NAME, VALUE) from "NAME=VALUE"."""
    name, sep, value = text.partition("=")
    if not sep:
        raise ParamError("expected NAME=VALUE, not %r" % text)
    return check(name, value)


def parse_for_device(text):
    """(SERIAL, NAME, VALUE) from "SERIAL:NAME=VALUE"."""
    serial, sep, setting = text.partition(":")
    if not sep or not serial:
        raise ParamError("expected SERIAL:NAME=VALUE, not %r" % text)
    return (serial,) + parse(setting)
