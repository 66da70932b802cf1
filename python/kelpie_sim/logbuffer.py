"""A device's log buffer: a ring of hilog lines, numbered in the order they were logged,
that readers following the log wait on."""

import asyncio
import random
import time

from .hilog import TYPES
from .hilog_settings import LogSettings

DEFAULT_CAPACITY = 65536


class Line:
    """One log line: its text as the device prints it, and the fields hilog filters on."""

    __slots__ = ("text", "level", "type", "domain_number", "tag", "pid", "message", "when")

    def __init__(self, text, level, domain, tag, pid, message, when):
        self.text = text
        self.level = level
        self.type = TYPES.get(domain[:1], "core")
        self.domain_number = int(domain[1:], 16)
        self.tag = tag
        self.pid = pid
        self.message = message
        self.when = when


class DeviceLog:
    """The ring holds the last `capacity` lines. Line n of the log (n counts from 0 since
    the device attached) sits at n % capacity; numbers let a follower tell what it missed."""

    def __init__(self, seed, capacity=DEFAULT_CAPACITY):
        if capacity < 1:
            raise ValueError("a log buffer holds at least one line")
        self.capacity = capacity
        self._ring = [None] * capacity
        self._next = 0            # the number the next line gets
        self._first = 0           # the oldest number the ring still holds
        self._rand = random.Random(seed)
        self._pid = {}
        self._changed = None      # an asyncio.Event while someone waits for a line
        self._second = None
        self._second_text = ""
        self.closed = False
        self.settings = LogSettings()   # what hilog's settings options changed
        self.boot = time.time()         # for -v monotonic; the device sets its own

    def pid_of(self, tag):
        return self._pid.setdefault(tag, self._rand.randint(400, 9000))

    def assign(self, tag, pid):
        """Lines of `tag` logged without a pid of their own carry `pid` (the process that logs them)."""
        self._pid[tag] = pid

    def add(self, level, domain, tag, message, when=None, pid=None):
        self._append(level, domain, tag, message, time.time() if when is None else when, pid)
        self._notify()

    def add_many(self, entries, start, step):
        """Lines (level, domain, tag, message) logged `step` seconds apart from `start`, with
        one wake-up for whoever waits."""
        when = start
        for level, domain, tag, message in entries:
            self._append(level, domain, tag, message, when)
            when += step
        self._notify()

    def _append(self, level, domain, tag, message, when, pid=None):
        if not self.settings.keeps(level, domain, tag):
            return
        if pid is None:
            pid = self.pid_of(tag)
            tid = pid + self._rand.randint(0, 40)
        else:
            tid = pid     # an application's lines come from its main thread
        second = int(when)
        if second != self._second:
            self._second, self._second_text = second, time.strftime("%m-%d %H:%M:%S", time.localtime(second))
        text = "%s.%03d %5d %5d %s %s/%s: %s" % (
            self._second_text, int(when * 1000) % 1000, pid, tid, level, domain, tag, message)
        self._ring[self._next % self.capacity] = Line(text, level, domain, tag, pid, message, when)
        self._next += 1
        if self._next - self._first > self.capacity:
            self._first = self._next - self.capacity

    def _notify(self):
        if self._changed is not None:
            self._changed.set()
            self._changed = None

    def lines(self):
        """The lines the buffer holds, oldest first."""
        return self._slice(self._first, self._next)

    def newest_first(self):
        """The lines the buffer holds, newest first, one at a time."""
        for n in range(self._next - 1, self._first - 1, -1):
            ln = self._ring[n % self.capacity]
            if ln is not None:
                yield ln

    def end(self):
        """The number the next line will get: where a reader that has read everything stands."""
        return self._next

    def since(self, cursor):
        """(the lines from number `cursor` on that the ring still holds, the new cursor)."""
        return self._slice(max(cursor, self._first), self._next), self._next

    def _slice(self, a, b):
        if a >= b:
            return []
        i, j = a % self.capacity, b % self.capacity
        held = self._ring[i:j] if i < j else self._ring[i:] + self._ring[:j]
        return [ln for ln in held if ln is not None]

    async def wait_past(self, cursor):
        """Waits until a line numbered `cursor` or later is logged: True, or False once the log is
        closed."""
        while self._next <= cursor and not self.closed:
            if self._changed is None:
                self._changed = asyncio.Event()
            await self._changed.wait()
        return not self.closed

    def clear(self, types):
        """Forgets the held lines of these types (all of them when every type is named)."""
        types = set(types)
        for n in range(self._first, self._next):
            line = self._ring[n % self.capacity]
            if line is not None and line.type in types:
                self._ring[n % self.capacity] = None
        while self._first < self._next and self._ring[self._first % self.capacity] is None:
            self._first += 1

    def close(self):
        """The device is gone: every follower stops."""
        self.closed = True
        self._notify()
