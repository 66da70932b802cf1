"""Faults a test arms for the next command: a reply late, cut short, or never sent."""

import asyncio
import collections

from .wire import Replies

DELAY = "delay"                  # the reply comes after `seconds`
CLOSE_BEFORE = "close-before"    # the connection closes instead of replying
CLOSE_DURING = "close-during"    # the connection closes in the middle of the reply's first packet
WITHHOLD = "withhold"            # the command is swallowed; the connection stays open
KINDS = (DELAY, CLOSE_BEFORE, CLOSE_DURING, WITHHOLD)

Fault = collections.namedtuple("Fault", "kind device seconds")

HEADER = 4


class Faults:
    """Armed faults, each spent on the first command it applies to, in the order they were armed."""

    def __init__(self):
        self._armed = []

    def arm(self, kind, device=None, seconds=0.0):
        if kind not in KINDS:
            raise ValueError("unknown fault %r (one of %s)" % (kind, ", ".join(KINDS)))
        if kind == DELAY and not seconds >= 0:
            raise ValueError("a delay needs seconds >= 0")
        self._armed.append(Fault(kind, device, float(seconds)))

    def take(self, target):
        """The fault for a command going to device `target` (None: no device), now spent."""
        for i, fault in enumerate(self._armed):
            if fault.device is None or fault.device == target:
                return self._armed.pop(i)
        return None


class CutReplies(Replies):
    """Replies whose first packet stops halfway, after which the connection is closed.

    The header and at least one payload byte go out, so the client is inside a packet
    when the stream ends, as when a server dies while writing. Every later write fails,
    so a handler that reports its own failure cannot send anything either.
    """

    def __init__(self, writer):
        super().__init__(writer)
        self._cut = False

    async def _send(self, frames):
        if not self._cut:
            self._cut = True
            first = frames[0]
            self._writer.write(first[:max(HEADER + 1, len(first) // 2)])
            try:
                await self._writer.drain()
            finally:
                self._writer.close()
        raise ConnectionAbortedError("connection closed in the middle of a reply, as the test asked")


async def apply(fault, conn):
    """Acts out `fault` for the connection's command; False when the command must not run."""
    if fault.kind == DELAY:
        await asyncio.sleep(fault.seconds)
        return True
    if fault.kind == CLOSE_DURING:
        conn.replies = CutReplies(conn.writer)
        return True
    if fault.kind == CLOSE_BEFORE:
        raise ConnectionAbortedError("connection closed before the reply, as the test asked")
    return False
