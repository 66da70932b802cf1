"""Where a simulator's messages go: its standard output and error.

A file with a descriptor (or a descriptor number) gets them directly. Anything else
with a `write` method, such as the sys.stderr that pytest's capsys or --capture=sys
puts in place, gets them through a temporary file: the child writes there without
ever waiting for the test, and what it wrote is copied over whenever the test
speaks to the simulator and when it stops. With no target they are kept in that
file all the same, for the message when the simulator fails to start.
"""

import codecs
import io
import os
import tempfile

TAIL = 2000    # bytes of the messages quoted when the simulator does not start


def has_descriptor(target):
    if isinstance(target, int):
        return True
    try:
        return isinstance(target.fileno(), int)
    except (AttributeError, OSError, ValueError):   # io.UnsupportedOperation is both of the last two
        return False


class Messages:
    def __init__(self, target=None):
        if target is not None and not has_descriptor(target) and not callable(getattr(target, "write", None)):
            raise TypeError("stderr must be a file, a file descriptor or an object with a write method, not %r"
                            % (target,))
        self._target = target
        self._file = None if target is not None and has_descriptor(target) else tempfile.TemporaryFile()
        self._copied = 0
        self._binary = isinstance(target, (io.RawIOBase, io.BufferedIOBase))
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")

    def for_child(self):
        """What the child's standard output and error are given."""
        return self._target if self._file is None else self._file

    def forward(self):
        """Copies what the child wrote since the last time to a target without a descriptor."""
        if self._file is None or self._target is None:
            return
        data = os.pread(self._file.fileno(), 1 << 20, self._copied)
        while data:
            self._copied += len(data)
            self._target.write(data if self._binary else self._decoder.decode(data))
            data = os.pread(self._file.fileno(), 1 << 20, self._copied)
        if hasattr(self._target, "flush"):
            self._target.flush()

    def tail(self):
        """The end of what the child wrote, when it went to a file of ours ('' otherwise)."""
        if self._file is None:
            return ""
        size = os.fstat(self._file.fileno()).st_size
        data = os.pread(self._file.fileno(), TAIL, max(0, size - TAIL))
        return data.decode("utf-8", "replace").strip()

    def close(self):
        if self._file is not None:
            self._file.close()
            self._file = None
