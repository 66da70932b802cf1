"""A test's own lines of its device's log: where the log stood when the test began, and
what came after it by the time the test failed."""


def read_log(target):
    """The device's whole log, through a client of its own (the test's may be in any state)."""
    import kelpie

    client = kelpie.HdcClient(target.server)
    client.connect_device(target.serial)
    return client.hilog("-x")


class LogMark:
    """The length and the last line of the log at the start. The log is a ring buffer: once
    full, its length stays put and the last line is looked for instead."""

    __slots__ = ("count", "last")

    def __init__(self, log):
        lines = log.splitlines()
        self.count = len(lines)
        self.last = lines[-1] if lines else None

    def since(self, log):
        """The lines of `log` that came after the mark."""
        lines = log.splitlines()
        if self.last is None:
            return lines
        if len(lines) >= self.count and lines[self.count - 1] == self.last:
            return lines[self.count:]
        for i in range(len(lines) - 1, -1, -1):
            if lines[i] == self.last:
                return lines[i + 1:]
        return lines   # the start was pushed out of the buffer: everything in it is newer
