"""Line-by-line tools (filters): running one over its whole input, and reading the files a
tool names.

A filter's `start(s, args)` returns an int when it did all its work itself (a usage error,
or the files it was given), or an object with `feed(line)`, `finish() -> status` and `done`;
a streaming pipeline feeds it as input arrives, `run_filter` feeds it all at once.
"""

import os

from .confine import FsError
from .shell_args import Usage


class LineFilter:
    """A filter's base: wants input until it sets `done`."""

    done = False

    def feed(self, line):
        raise NotImplementedError

    def finish(self):
        return 0


def lines(data):
    """The lines of `data`, each with its b"\\n" (the last one may have none)."""
    start = 0
    while start < len(data):
        end = data.find(b"\n", start)
        if end < 0:
            yield data[start:]
            return
        yield data[start:end + 1]
        start = end + 1


def feed_all(f, data):
    for line in lines(data):
        if f.done:
            break
        f.feed(line)


def run_filter(s, args, start):
    """Runs the filter `start` makes over the command's whole standard input."""
    try:
        f = start(s, args)
    except Usage as e:
        s.err(e.command, e.text)
        return e.status
    if isinstance(f, int):
        return f
    try:
        feed_all(f, s.stdin or b"")
        return f.finish()
    except Usage as e:
        s.err(e.command, e.text)
        return e.status


def command(start):
    """The COMMANDS handler of a filter."""
    return lambda s, args: run_filter(s, args, start)


def reason(e):
    """The device's words for why a path failed (never the host path)."""
    if isinstance(e, FsError):
        return str(e)
    return e.strerror or "I/O error"


def read_input(s, path):
    """The bytes of a file the tool names ("-" is its standard input)."""
    if path == "-":
        return s.stdin or b""
    _dev, host = s.resolve(path)
    fd = s.fs.open_read(host)
    with os.fdopen(fd, "rb") as f:
        return f.read()


def each_input(s, cmd, paths):
    """(path, bytes) of each input that can be read; prints "cmd: path: why" for the others.
    Ends with (None, status) once: status 1 if one failed."""
    status = 0
    for path in paths:
        try:
            data = read_input(s, path)
        except (OSError, FsError) as e:
            status = s.err(cmd, "%s: %s" % (path, reason(e)))
            continue
        yield path, data
    yield None, status


def text(data):
    return data.decode("utf-8", "surrogateescape")


def raw(text_):
    return text_.encode("utf-8", "surrogateescape")


