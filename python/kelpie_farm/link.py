"""The farm's own channel between the controlling process and each worker: an execnet
channel beside xdist's, made in pytest_configure_node and handed to the worker in its
workerinput, so that it reaches workers on other hosts too.

The worker tells the controller which of its collected tests use a device (the controller
collects nothing itself), when each test starts and ends (for the deadlines), where its
device's log stood when the test took it (for the log of a test whose worker is ended), and
that its device is lost; to the last it gets a spare in return. Messages from one worker arrive in
the order it sent them, before the xdist events it sent after them.

A spare is asked for with a number, and answered with it. The controller looks for one in
a thread of its own, not in execnet's receiving thread (which would hold up the worker's
other messages meanwhile), and answers within SPARE_SEARCH seconds, "none" at the latest.
The worker waits that long and ANSWER_TRANSIT more; if it gives up all the same, it says
so, and the controller takes back the spare it may have sent: both sides keep the one
answer the worker went on with, and a late answer is never taken for the next one's.
"""

import threading
import time

from .targets import Target

SPARE_SEARCH = 20.0     # seconds the controller looks for a spare before it answers none
ANSWER_TRANSIT = 10.0   # more seconds a worker waits, for the answer's way back
ANSWER_WAIT = SPARE_SEARCH + ANSWER_TRANSIT


class ControllerLink:
    """The controller's end, for one worker. Its callback runs in execnet's thread."""

    def __init__(self, node, farm, watchdog, process, on_needs, on_lost):
        self.node = node
        self.worker = node.gateway.id
        self.on_lost = on_lost
        self.farm = farm
        self.watchdog = watchdog
        self.process = process
        self.on_needs = on_needs
        self._lock = threading.Lock()
        self._given_up = set()      # numbers of the requests the worker stopped waiting for
        self._answered = {}         # number -> the spare sent (None: none)
        self.began = None           # (nodeid, time.time()) of the test the worker began last
        self.mark = None            # (nodeid, label, its device log's last line) of that test
        self.channel = node.gateway.newchannel()
        self.channel.setcallback(self._receive, endmarker=None)

    def _receive(self, message):
        if message is None:         # the channel closed: the worker ended
            self.watchdog.finished(self.worker)
            return
        kind = message[0]
        if kind == "start":
            self.began, self.mark = (message[1], message[2] if len(message) > 2 else time.time()), None
            self.watchdog.started(self.worker, message[1], self.process)
        elif kind == "mark":
            self.mark = tuple(message[1:4])
        elif kind == "end":
            self.watchdog.finished(self.worker)
        elif kind == "needs":
            self.on_needs(*message[1:])
        elif kind == "deadlines":
            self.watchdog.own.update(message[1])
        elif kind == "lost":
            number, label, text, during = message[1:]
            self.farm.lose(label, text)
            self.watchdog.extend(self.worker, ANSWER_WAIT)      # the wait is not the test's
            threading.Thread(target=self._answer, args=(number, label, text, during), daemon=True,
                             name="kelpie-farm-spare-%s" % self.worker).start()
        elif kind == "gave_up":
            self._gave_up(*message[1:])

    def _answer(self, number, label, text, during):
        start = time.monotonic()
        spare = self.farm.fail_over(self.worker, label, text, deadline=start + SPARE_SEARCH)
        with self._lock:
            if number in self._given_up:    # the worker went on without it
                self.farm.release_spare(self.worker, spare)
                return
            self._answered[number] = spare
            # Told before the answer goes: the scheduler has it before anything the worker
            # sends once it has the answer.
            self.on_lost(self.node, label, spare, during)
            self._send(("spare", number, list(spare) if spare else None))
        self.watchdog.extend(self.worker, time.monotonic() - start - ANSWER_WAIT)

    def _gave_up(self, number, label, during):
        with self._lock:
            self._given_up.add(number)
            answered = number in self._answered
            spare = self._answered.pop(number, None)
            if spare is not None:
                self.farm.release_spare(self.worker, spare)
            if not answered or spare is not None:
                self.on_lost(self.node, label, None, during)

    def _send(self, message):
        try:
            self.channel.send(message)
        except (OSError, IOError):
            pass


class WorkerLink:
    """The worker's end."""

    def __init__(self, channel):
        self.channel = channel
        self._asked = 0

    def send(self, *message):
        try:
            self.channel.send(message)
        except (OSError, IOError):      # the controller is going away; nothing is waiting for this
            pass

    def spare_for(self, label, message, during):
        """Tells the controller the device is lost; the spare it gives, or None."""
        self._asked += 1
        number = self._asked
        self.send("lost", number, label, message, during)
        deadline = time.monotonic() + ANSWER_WAIT
        while True:
            try:
                kind, answered, spare = self.channel.receive(max(0.0, deadline - time.monotonic()))
            except Exception:   # execnet's TimeoutError, a closed channel: go on without a device
                self.send("gave_up", number, label, during)
                return None
            if kind == "spare" and answered == number:
                return Target(*spare) if spare else None
            # An answer to an earlier request, come after the worker gave up on it.
