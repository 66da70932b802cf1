"""hilog, the device's log tool: its options, its filters, and reading the log as the
tool does (a dump with -x, a dump that goes on following new lines without it)."""

import shlex
import time

from . import hilog_settings
from .posix_regex import RegexBudget, RegexError, compile_posix
from .shell_args import whole_number

LEVELS = "DIWEF"
LEVEL_NAMES = {"DEBUG": "D", "INFO": "I", "WARN": "W", "WARNING": "W", "ERROR": "E", "FATAL": "F"}
# A line's type follows from the first letter of its domain.
TYPES = {"A": "app", "C": "core", "I": "init", "P": "only_prerelease", "K": "kmsg"}
TYPE_NAMES = ("app", "core", "init", "kmsg", "only_prerelease")
SHOWN_BY_DEFAULT = ("app", "core", "only_prerelease")
CLEARED_BY_DEFAULT = ("core", "app", "only_prerelease")   # in the order the tool reports them
MAX_DOMAIN = 0xFFFFF
HEX_DIGITS = frozenset("0123456789abcdefABCDEF")

# Options with a value, short and long, and the flags.
VALUED = {"t": "type", "T": "tag", "L": "level", "D": "domain", "P": "pid", "e": "regex", "a": "head", "z": "tail",
          "v": "format"}
FLAGS = {"x": "exit", "r": "clear", "h": "help"}
# The settings: they change what hilogd keeps and print what they did (hilog_settings.py).
SETTING_VALUED = {"G": "buffer-size", "p": "privacy", "k": "kmsg", "Q": "flowctrl", "b": "baselevel", "w": "write",
                  "f": "filename", "l": "length", "n": "number", "j": "jobid", "m": "stream"}
SETTING_FLAGS = {"g": None, "s": "statistics", "S": None, "persist": "persist"}
LONG = {name: short for short, name in list(VALUED.items()) + list(FLAGS.items())}
LONG_SETTINGS = {name: short for table in (SETTING_VALUED, SETTING_FLAGS) for short, name in table.items() if name}

USAGE = """Usage:
  hilog [-x] [-t TYPE] [-T TAG] [-L LEVEL] [-D DOMAIN] [-P PID] [-e REGEX] [-a N | -z N]
  hilog -r [-t TYPE]
  hilog -b D|I|W|E|F [-D DOMAIN | -T TAG] [--persist]
  hilog -g [-t TYPE] | -G SIZE [-t TYPE]
  hilog -p on|off | -k on|off | -Q pidon|pidoff|domainon|domainoff | -s | -S
  hilog -w query|start|stop|refresh|clear [-f NAME] [-l SIZE] [-n NUMBER] [-j JOBID] [-m none|zlib]
  hilog -h
Without -x, -a or -z, hilog prints the buffered log and then keeps printing new lines
as they are logged (a blocking read that does not end by itself).
  -x, --exit            read the buffered log and exit (non-blocking read)
  -t, --type TYPE       log types, comma separated: app, core, init, kmsg, only_prerelease
                        (default: app,core,only_prerelease)
  -T, --tag TAG         lines of these tags only, comma separated
  -L, --level LEVEL     lines of these levels only, comma separated: D, I, W, E, F
  -D, --domain DOMAIN   lines of these domains only, comma separated (01B06, 0x2d00, d003200)
  -P, --pid PID         lines of these processes only, comma separated
  -e, --regex REGEX     lines whose message matches the regular expression
  -v, --format FORMAT   time, color, epoch, monotonic, usec, nsec, year, zone, wrap
  -a, --head N          the first N buffered lines, then exit
  -z, --tail N          the last N buffered lines, then exit
  -r                    clear the buffer of the given types (default: core,app,only_prerelease)
  -b, --baselevel LEVEL lowest level recorded, for all or for the -D domains or -T tags
  -g / -G, --buffer-size SIZE   show / set the buffer size of the types (64K to 16M)
  -p, --privacy on|off  mask the private parameters of messages
  -k on|off             store the kernel log
  -Q CONTROL            flow control by process or domain
  -s, --statistics / -S show / clear the statistics
  -w, --write ACTION    log-to-file jobs
  -h, --help            this help
"""


class LogArgsError(Exception):
    """A bad option or value: the message is what hilog prints, and nothing else is done."""


class Query:
    """What one hilog command asks for."""

    def __init__(self):
        self.exit = False
        self.clear = False
        self.help = False
        self.types = None        # None: the default ones
        self.types_given = []    # as written, for the message of -r
        self.tags = set()
        self.levels = set()
        self.domains = set()
        self.pids = set()
        self.regex = None
        self.head = None
        self.tail = None
        self.settings = {}       # option letter -> value (True for a switch) of the settings asked for
        self.formats = set()     # -v's
        self.domains_written = []   # (domain as written, its number), for the settings' messages

    @property
    def follows(self):
        """Whether the command goes on printing new lines after the buffered ones."""
        return not (self.exit or self.clear or self.help or self.settings or self.head is not None
                    or self.tail is not None)

    def matches(self, line):
        return ((line.type in self.types if self.types is not None else line.type in SHOWN_BY_DEFAULT)
                and (not self.tags or line.tag in self.tags)
                and (not self.levels or line.level in self.levels)
                and (not self.domains or line.domain_number in self.domains)
                and (not self.pids or line.pid in self.pids)
                and (self.regex is None or self.regex.matches(line.message)))

    def pick(self, lines):
        """The buffered lines the command prints."""
        picked = [ln for ln in lines if self.matches(ln)]
        if self.head is not None:
            picked = picked[:self.head]
        if self.tail is not None:
            picked = picked[-self.tail:]
        return picked

    def pick_tail(self, newest_first):
        """The last `tail` lines that match, read from the newest back only as far as needed:
        a busy device's full buffer is long."""
        picked = []
        for ln in newest_first:
            if len(picked) >= self.tail:
                break
            if self.matches(ln):
                picked.append(ln)
        return picked[::-1]

    def clear_types(self):
        return tuple(self.types_given) if self.types is not None else CLEARED_BY_DEFAULT


def render(lines, formats=frozenset(), boot=0.0):
    """Lines as the device prints them: UTF-8, each ended by a line feed; `formats` are -v's."""
    if not formats - {"time", "wrap"}:
        return "".join([ln.text + "\n" for ln in lines]).encode("utf-8", "surrogateescape")
    return "".join([formatted(ln, formats, boot) + "\n" for ln in lines]).encode("utf-8", "surrogateescape")


def formatted(ln, formats, boot):
    """A line with -v's formats: its time as the year, the epoch or the time since boot, in
    milli-, micro- or nanoseconds, with the zone, and coloured by its level."""
    digits = 9 if "nsec" in formats else 6 if "usec" in formats else 3
    fraction = "%0*d" % (digits, int(ln.when % 1 * 10 ** digits))
    if "epoch" in formats or "monotonic" in formats:
        seconds = ln.when - boot if "monotonic" in formats else ln.when
        stamp = "%d.%s" % (int(seconds), fraction)
    else:
        stamp = "%s.%s" % (time.strftime("%Y-%m-%d %H:%M:%S" if "year" in formats else "%m-%d %H:%M:%S",
                                         time.localtime(ln.when)), fraction)
        if "zone" in formats:
            stamp += time.strftime(" %z", time.localtime(ln.when))
    text = stamp + ln.text[TIME_WIDTH:]
    colour = COLOURS.get(ln.level) if "color" in formats or "colour" in formats else None
    return text if colour is None else "\x1b[%sm%s\x1b[0m" % (colour, text)


TIME_WIDTH = len("04-19 17:02:14.735")
FORMATS = ("time", "color", "colour", "epoch", "monotonic", "usec", "nsec", "year", "zone", "wrap")
COLOURS = {"D": "34", "W": "33", "E": "31", "F": "1;31"}   # ANSI: blue, yellow, red, bold red; Info as it is


def split(text):
    """The words of the option text the hilog command carries, quoted as in sh."""
    try:
        return shlex.split(text)
    except ValueError as e:   # a quote left open
        raise LogArgsError("%s" % e) from None


def parse(argv):
    """The Query of hilog's arguments, getopt-style: "-xT Tag", "-zN", "--tag=Tag" and "--tag Tag"."""
    q = Query()
    i = 0
    while i < len(argv):
        word = argv[i]
        i += 1
        if word == "--":
            if i < len(argv):
                raise LogArgsError("unexpected argument '%s'" % argv[i])
            break
        if word.startswith("--"):
            name, has_value, value = word[2:].partition("=")
            short = LONG.get(name) or LONG_SETTINGS.get(name)
            if short is None:
                raise LogArgsError("unrecognized option '--%s'" % name)
            if short in SETTING_FLAGS:
                if has_value:
                    raise LogArgsError("option '--%s' doesn't allow an argument" % name)
                q.settings[short] = True
                continue
            if short in FLAGS:
                if has_value:
                    raise LogArgsError("option '--%s' doesn't allow an argument" % name)
                _flag(q, short)
                continue
            if not has_value:
                if i >= len(argv):
                    raise LogArgsError("option '--%s' requires an argument" % name)
                value = argv[i]
                i += 1
            _value(q, short, value)
            continue
        if not word.startswith("-") or word == "-":
            raise LogArgsError("unexpected argument '%s'" % word)
        k = 1
        while k < len(word):
            ch = word[k]
            k += 1
            if ch in FLAGS:
                _flag(q, ch)
            elif ch in SETTING_FLAGS:
                q.settings[ch] = True
            elif ch in VALUED or ch in SETTING_VALUED:
                value = word[k:]
                if not value:
                    if i >= len(argv):
                        raise LogArgsError("option requires an argument -- '%s'" % ch)
                    value = argv[i]
                    i += 1
                _value(q, ch, value)
                break
            else:
                raise LogArgsError("invalid option -- '%s'" % ch)
    if q.head is not None and q.tail is not None:
        raise LogArgsError("-a and -z cannot be used together")
    if q.settings:
        try:
            hilog_settings.check(q)
        except hilog_settings.SettingsError as e:
            raise LogArgsError(str(e)) from None
    return q


def _flag(q, ch):
    setattr(q, FLAGS[ch], True)


def _items(ch, value):
    items = [v.strip() for v in value.split(",")]
    if not all(items):
        raise LogArgsError("invalid value '%s' for option -%s" % (value, ch))
    return items


def _value(q, ch, value):
    if ch in SETTING_VALUED:
        q.settings[ch] = value
    elif ch == "t":
        for name in _items(ch, value):
            if name not in TYPE_NAMES:
                raise LogArgsError("invalid log type '%s' (one of %s)" % (name, ", ".join(TYPE_NAMES)))
            if name not in q.types_given:
                q.types_given.append(name)
        q.types = set(q.types_given)
    elif ch == "T":
        q.tags.update(_items(ch, value))
    elif ch == "L":
        for name in _items(ch, value):
            level = LEVEL_NAMES.get(name.upper(), name.upper())
            if len(level) != 1 or level not in LEVELS:
                raise LogArgsError("invalid log level '%s' (one of D, I, W, E, F)" % name)
            q.levels.add(level)
    elif ch == "D":
        for name in _items(ch, value):
            q.domains.add(_domain(name))
            q.domains_written.append((name, _domain(name)))
    elif ch == "P":
        for name in _items(ch, value):
            pid = whole_number(name)
            if pid is None:
                raise LogArgsError("invalid pid '%s'" % name)
            q.pids.add(pid)
    elif ch == "v":
        for name in _items(ch, value):
            if name not in FORMATS:
                raise LogArgsError("invalid format '%s' (one of %s)" % (_shown(name), ", ".join(FORMATS)))
            q.formats.add(name)
    elif ch == "e":
        try:
            q.regex = compile_posix(value, extended=True, escapes=True)
        except RegexError as e:
            raise LogArgsError("invalid regular expression '%s': %s" % (value, e)) from None
    else:
        lines = whole_number(value, 1)
        if lines is None:
            raise LogArgsError("invalid number of lines '%s' for option -%s" % (_shown(value), ch))
        setattr(q, VALUED[ch], lines)


def _shown(text, most=40):
    """A value as an error message quotes it: a long one cut short, as a terminal would want."""
    return text if len(text) <= most else text[:most] + "..."


def _domain(text):
    """A domain number from "0x2d00", "01B06" or the core form "d003200" (also "0xD003200")."""
    digits = text[2:] if text[:2] in ("0x", "0X") else text
    if digits[:1] in ("d", "D") and len(digits) == 7:
        digits = digits[1:]
    if not digits or len(digits) > 6 or not set(digits) <= HEX_DIGITS or int(digits, 16) > MAX_DOMAIN:
        raise LogArgsError("invalid domain '%s'" % _shown(text))
    number = int(digits, 16)
    return number


def cleared_message(types):
    return "Log type %s buffer clear successfully\n" % ",".join(types)


def answer(log, q):
    """What the command prints at once, as bytes, with the log cleared first if asked."""
    if q.help:
        return USAGE.encode()
    if q.settings:
        return hilog_settings.apply(log, q).encode("utf-8", "surrogateescape")
    if q.clear:
        types = q.clear_types()
        log.clear(types)
        return cleared_message(types).encode()
    if q.regex is not None:
        q.regex.new_read()
    try:
        if q.tail is not None and q.head is None:
            return render(q.pick_tail(log.newest_first()), q.formats, log.boot)
        return render(q.pick(log.lines()), q.formats, log.boot)
    except RegexBudget:
        return too_complex(q)


def too_complex(q):
    return ("hilog: regular expression '%s' too complex for this log\n" % _shown(q.regex.pattern)).encode(
        "utf-8", "surrogateescape")


async def follow(log, q, cursor, send):
    """Sends (through the coroutine `send`, bytes) each new line that matches, in order, from
    line number `cursor` on; returns when the log closes (its device detached).

    A reader that falls a whole buffer behind loses the lines the buffer no longer holds, as
    a slow reader of a device's log does; one that keeps up gets every line."""
    while True:
        if not await log.wait_past(cursor):
            return
        lines, cursor = log.since(cursor)
        if q.regex is not None:
            q.regex.new_read()
        try:
            picked = [ln for ln in lines if q.matches(ln)]
        except RegexBudget:
            await send(too_complex(q))
            return
        if picked:
            await send(render(picked, q.formats, log.boot))
