"""A test's own lines of its device's log: the log's last line when the test began (the
mark), and what came after its last occurrence by the time the test failed.

Both are dump reads, `hilog -x`, which a device answers with its buffer and ends; a read
without -x would follow the log for ever. The mark reads one line (`-z 1`), so a busy
device's full buffer costs a passing test nothing."""

MARK_ARGS = "-x -z 1"
DUMP_ARGS = "-x"


class LogMark:
    """The log's last line at the start of a test (None when the log was empty)."""

    __slots__ = ("last",)

    def __init__(self, tail):
        lines = tail.splitlines()
        self.last = lines[-1] if lines else None

    @classmethod
    def of_line(cls, last):
        return cls(last or "")

    def since(self, log):
        """The lines of `log` after the mark's last occurrence; all of them when it is not
        there (pushed out of the ring buffer, or the log was empty)."""
        lines = log.splitlines()
        if self.last is not None:
            for i in range(len(lines) - 1, -1, -1):
                if lines[i] == self.last:
                    return lines[i + 1:]
        return lines


def read_dump(target, deadline):
    """The device's log buffer, read over a plain socket by `deadline` (time.monotonic()):
    for the controlling process, which must not make a kelpie call. ProbeError says why not."""
    from .pools import device_command

    return device_command(target.server, target.serial, "hilog " + DUMP_ARGS, deadline)


class LogReader:
    """The plugin's own client to one device, for its log reads only: a test's client may be
    left in any state. Made on first use and kept between tests; made again after a failure."""

    def __init__(self, target):
        self.target = target
        self._client = None

    def read(self, args):
        import kelpie

        try:
            if self._client is None:
                client = kelpie.HdcClient(self.target.server)
                client.connect_device(self.target.serial)
                self._client = client
            return self._client.hilog(args)
        except RuntimeError:
            self._client = None
            raise

    def mark(self):
        return LogMark(self.read(MARK_ARGS))

    def since(self, mark):
        return mark.since(self.read(DUMP_ARGS))
