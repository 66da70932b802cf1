"""The device side of a process that runs tests: an xdist worker, or pytest's own process."""

from .targets import Lookout


class Station:
    """`own`: the device this process was given (None when the farm had none left for it);
    `targets`: every device of the farm, the same in every worker so that every-device tests
    are collected alike; `lost`: label -> message, for devices found gone."""

    def __init__(self, own, targets, worker=None):
        self.own = own
        self.targets = list(targets)
        self.worker = worker
        self.lost = {}
        self.lookout = Lookout()
