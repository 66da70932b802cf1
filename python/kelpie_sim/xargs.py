"""toybox's xargs: runs a command (echo by default) with the words of its input as
arguments: -n N per run, -L N lines per run, -I STR once per line with STR replaced, -0 or
-d C for the separator, -r to run nothing on empty input, -s SIZE the longest command line,
-E STR an end-of-input word. Its status: 123 when a run failed, 127 when the command does
not exist (it stops there), 124 when a run ended with 255."""

from .shell_args import Usage, reports_usage, whole_number
from .toybox_options import last, parse_options

DEFAULT_SIZE = 131072


def _words(data):
    """The words of the input as xargs splits them: blanks separate, quotes and \\ group."""
    words, current, quote, started = [], [], None, False
    i = 0
    while i < len(data):
        ch = data[i]
        if quote:
            if ch == quote:
                quote = None
            elif ch == "\n":
                raise Usage("xargs", "unterminated quote")
            else:
                current.append(ch)
        elif ch in "'\"":
            quote, started = ch, True
        elif ch == "\\" and i + 1 < len(data):
            current.append(data[i + 1])
            started = True
            i += 1
        elif ch in " \t\n":
            if started:
                words.append("".join(current))
                current, started = [], False
        else:
            current.append(ch)
            started = True
        i += 1
    if quote:
        raise Usage("xargs", "unterminated quote")
    if started:
        words.append("".join(current))
    return words


def _number(value, option):
    n = whole_number(value, 1)
    if n is None:
        raise Usage("xargs", "-%s needs a number above 0, not '%s'" % (option, value))
    return n


@reports_usage
def sh_xargs(s, args):
    found, command = parse_options("xargs", args, "0rx", "nLIsdE", stop_at_first=True)
    command = command or ["echo"]
    data = (s.stdin or b"").decode("utf-8", "surrogateescape")
    per_run = _number(last(found, "n"), "n") if "n" in found else None
    size = _number(last(found, "s"), "s") if "s" in found else DEFAULT_SIZE
    replace = last(found, "I")
    if "0" in found or "d" in found:
        sep = "\0" if "0" in found else last(found, "d")
        if len(sep) != 1:
            sep = {"\\n": "\n", "\\t": "\t", "\\0": "\0"}.get(sep)
            if sep is None:
                raise Usage("xargs", "-d needs one character")
        items = data.split(sep)
        if items and items[-1] == "":
            items.pop()
        groups = [[item] for item in items]
    elif replace is not None or "L" in found:
        lines = [line.strip(" \t") for line in data.split("\n")]
        lines = [line for line in lines if line]
        groups = [[line] if replace is not None else _words(line) for line in lines]
    else:
        groups = [[w] for w in _words(data)]
    end = last(found, "E")
    if end is not None:
        for k, group in enumerate(groups):
            if end in group:
                groups = groups[:k] + [group[:group.index(end)]]
                break
    if replace is not None:
        runs = [[a.replace(replace, group[0]) for a in command] for group in groups]
    else:
        runs = _batches(command, groups, per_run, _number(last(found, "L"), "L") if "L" in found else None, size)
    if not runs and "r" not in found and replace is None:
        runs = [list(command)]
    status = 0
    for argv in runs:
        code = s.run(argv)
        if code == 127:
            return 127
        if code == 255:
            s.err("xargs", "%s: exited with status 255; aborting" % argv[0])
            return 124
        if code:
            status = 123
    return status


def _batches(command, groups, per_run, lines_per_run, size):
    runs, current, lines, length = [], [], 0, sum(len(a) + 1 for a in command)
    for group in groups:
        group_length = sum(len(w) + 1 for w in group)
        if current and (length + group_length > size or (per_run is not None and len(current) + len(group) > per_run)):
            runs.append(command + current)
            current, lines, length = [], 0, sum(len(a) + 1 for a in command)
        current += group
        length += group_length
        lines += 1
        if lines_per_run is not None and lines >= lines_per_run:
            runs.append(command + current)
            current, lines, length = [], 0, sum(len(a) + 1 for a in command)
        while per_run is not None and len(current) > per_run:
            runs.append(command + current[:per_run])
            current = current[per_run:]
    if current:
        runs.append(command + current)
    return [r for r in runs if len(r) > len(command) or not groups]


COMMANDS = {"xargs": sh_xargs}
