"""The test's end of the control channel: a pair of pipes of its own, apart from the
simulator's standard output and error, so that nothing the simulator prints can be
taken for an answer.

Each request carries a number that its answer repeats. An answer that comes after
the test stopped waiting for it is recognised by its number and dropped, so it is
never taken for the answer to a later request.
"""

import json
import os
import select
import time


class ChannelError(Exception):
    pass


class Channel:
    def __init__(self):
        self._requests_in, self._requests = os.pipe()
        self._answers, self._answers_out = os.pipe()
        self._unread = bytearray()
        self._last = 0
        self._cut = False       # a request went out only in part: the child can no longer read any

    def child_fds(self):
        """(descriptor the child reads requests from, descriptor it writes answers to)."""
        return self._requests_in, self._answers_out

    def started(self):
        """Our copies of the child's ends are closed: the child then sees the end of its
        requests when we close ours or end, and we see the end of the answers when it ends."""
        for fd in self.child_fds():
            os.close(fd)
        self._requests_in = self._answers_out = -1

    def request(self, request, timeout):
        """The answer (a dict) to `request`, or None when none came in time or the child ended.
        Raises ChannelError when the request cannot be sent."""
        self._last += 1
        deadline = time.monotonic() + timeout
        if not self._send((json.dumps(dict(request, id=self._last)) + "\n").encode(), deadline):
            return None
        while True:
            line = self._line(deadline)
            if line is None:
                return None
            try:
                answer = json.loads(line)
            except ValueError:
                answer = None
            if not isinstance(answer, dict):
                raise ChannelError("the simulator answered %r" % line[:200])
            if answer.get("id") == self._last:
                return answer

    def _send(self, data, deadline):
        """Writes the whole request unless the child stops reading until the deadline."""
        if self._cut:
            raise ChannelError("the simulator stopped reading requests in the middle of one")
        size = len(data)
        try:
            while data:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([], [self._requests], [], left)[1]:
                    self._cut = len(data) < size
                    return False
                data = data[os.write(self._requests, data[:select.PIPE_BUF]):]
        except (OSError, ValueError):   # its end is closed, or ours is (stopped)
            raise ChannelError("the simulator is not running") from None
        return True

    def _line(self, deadline):
        while b"\n" not in self._unread:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._answers], [], [], left)[0]:
                return None
            chunk = os.read(self._answers, 1 << 20)
            if not chunk:
                return None
            self._unread += chunk
        end = self._unread.index(b"\n") + 1
        line = bytes(self._unread[:end])
        del self._unread[:end]
        return line

    def close(self):
        for fd in (self._requests_in, self._requests, self._answers, self._answers_out):
            if fd >= 0:
                os.close(fd)
        self._requests_in = self._requests = self._answers = self._answers_out = -1
