"""The farm's own channel between the controlling process and each worker: an execnet
channel beside xdist's, made in pytest_configure_node and handed to the worker in its
workerinput, so that it reaches workers on other hosts too.

The worker tells the controller which of its collected tests use a device (the controller
collects nothing itself), when each test starts and ends (for the deadlines), and that its
device is lost; to the last it gets a spare in return. Messages from one worker arrive in
the order it sent them, before the xdist events it sent after them.
"""

import time

from .targets import Target

ANSWER_WAIT = 30.0      # seconds a worker waits for a spare; the controller answers at once


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
        self.channel = node.gateway.newchannel()
        self.channel.setcallback(self._receive, endmarker=None)

    def _receive(self, message):
        if message is None:         # the channel closed: the worker ended
            self.watchdog.finished(self.worker)
            return
        kind = message[0]
        if kind == "start":
            self.watchdog.started(self.worker, message[1], self.process)
        elif kind == "end":
            self.watchdog.finished(self.worker)
        elif kind == "needs":
            self.on_needs(message[1])
        elif kind == "deadlines":
            self.watchdog.own.update(message[1])
        elif kind == "lost":
            start = time.monotonic()
            label, text, during = message[1:]
            spare = self.farm.fail_over(self.worker, label, text)
            self.watchdog.extend(self.worker, time.monotonic() - start)
            try:
                self.channel.send(("spare", list(spare) if spare else None))
            except (OSError, IOError):
                pass
            self.on_lost(self.node, label, spare, during)


class WorkerLink:
    """The worker's end."""

    def __init__(self, channel):
        self.channel = channel

    def send(self, *message):
        try:
            self.channel.send(message)
        except (OSError, IOError):      # the controller is going away; nothing is waiting for this
            pass

    def spare_for(self, label, message, during):
        """Tells the controller the device is lost; the spare it gives, or None."""
        self.send("lost", label, message, during)
        try:
            kind, spare = self.channel.receive(ANSWER_WAIT)
        except Exception:   # execnet's TimeoutError, a closed channel: go on without a device
            return None
        return Target(*spare) if kind == "spare" and spare else None
