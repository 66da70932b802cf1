"""The device side of a process that runs tests: an xdist worker, or pytest's own process."""

from .devicelog import LogReader
from .targets import DEFAULT_TIMEOUT, look_deadline, lost_reason


class WorkerDevices:
    """`own`: the device this process holds (None when the farm had none for it, or it lost
    its device and no spare was left); `targets`: every device of the farm, the same in
    every worker so that every-device tests are collected alike; `lost`: label -> message,
    for devices found gone; `ready`: the labels whose pytest_hdc_device_ready has run here.
    `spare_for(label, message)` asks the farm for a spare once `own` is lost."""

    def __init__(self, own, targets, worker=None, timeout=DEFAULT_TIMEOUT, spare_for=None):
        self.own = own
        self.targets = list(targets)
        self.worker = worker
        self.timeout = timeout
        self.lost = {}
        self.ready = set()
        self.no_device_left = False  # lost its device and got no spare
        self._spare_for = spare_for
        self.link = None             # under xdist, the worker's end of the farm's channel (link.py)
        self.can_pass_by = False     # whether a test it cannot run is given back (worker.py)
        self.params = {}             # label -> the device's properties, as asked at discovery
        self._readers = {}

    def look(self, target):
        """None while `target` is listed by its server; otherwise why it is lost."""
        return lost_reason(target, look_deadline(self.timeout))

    def reader(self, target):
        reader = self._readers.get(target.label)
        if reader is None:
            reader = self._readers[target.label] = LogReader(target)
        return reader

    def target(self, label):
        return next((t for t in self.targets if t.label == label), None)

    def lose(self, target, why, during):
        """Takes `target` out; when it was this process's own device, a spare takes its
        place if the farm has one. `during`: found by a test that reports it (rather than
        by the look before a test). The message tests are told."""
        message = "%s was lost: %s" % (target.describe(), why)
        self.lost.setdefault(target.label, message)
        self._readers.pop(target.label, None)
        if self.own is not None and target.label == self.own.label:
            self.own = self._spare_for(target.label, message, during) if self._spare_for else None
            self.no_device_left = self.own is None
        return self.lost[target.label]
