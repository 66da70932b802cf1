"""xdist's load scheduling, kept, with two rules for a farm: a test pinned to a device
(an every-device test) goes only to the worker holding that device, and a worker whose
device was lost gets no further tests."""

from xdist.scheduler import LoadScheduling


def pin_of(nodeid, labels):
    """The device label in an every-device test's parameter id, or None. `labels` longest
    first, so that of two labels where one extends the other the longer one wins."""
    if not nodeid.endswith("]") or "[" not in nodeid:
        return None
    params = nodeid[nodeid.index("[") + 1:-1]
    for label in labels:
        if params == label or params.startswith(label + "-") or params.endswith("-" + label) \
                or ("-" + label + "-") in params:
            return label
    return None


def held_by(node):
    """The label of the device a worker holds (None if it holds none)."""
    target = node.workerinput.get("hdc_target")
    return target[2] if target else None


class DeviceScheduling(LoadScheduling):
    def __init__(self, config, log, labels, not_run):
        super().__init__(config, log)
        self._labels = sorted(labels, key=len, reverse=True)
        self._pins = {}
        self._lost = set()
        self._not_run = not_run       # not_run(nodeid, label, why): reports a test that will not run

    def pin(self, index):
        if index not in self._pins:
            self._pins[index] = pin_of(self.collection[index], self._labels)
        return self._pins[index]

    def _fits(self, node, index):
        holds = held_by(node)
        if holds in self._lost:
            return False
        pin = self.pin(index)
        return pin is None or pin == holds

    def _send_tests(self, node, num):
        picked, rest = [], []
        for index in self.pending:
            (picked if len(picked) < num and self._fits(node, index) else rest).append(index)
        if picked:
            self.pending[:] = rest
            self.node2pending[node].extend(picked)
            node.send_runtest_some(picked)

    def check_schedule(self, node, duration=0):
        if node.shutting_down:
            return
        super().check_schedule(node, duration)
        # A worker that nothing pending fits is told to finish what it has, or it would wait forever.
        if not node.shutting_down and not any(self._fits(node, i) for i in self.pending):
            node.shutdown()

    def schedule(self):
        first = self.collection is None
        super().schedule()
        if not self.collection:
            return
        if first:
            # Tests pinned to a device that no worker holds would wait for ever; say so now.
            held = {held_by(n) for n in self.nodes}
            for label in set(self._labels) - held:
                self._drop([i for i in self.pending if self.pin(i) == label],
                           "device %s has no worker (-n auto starts one worker a device)" % label)
        for node in self.nodes:
            self.check_schedule(node)

    def lose(self, label, message):
        """The device is gone: its worker gets nothing more, its pinned tests do not run."""
        self._lost.add(label)
        self._drop([i for i in self.pending if self.pin(i) == label], message)
        for node in self.nodes:
            if held_by(node) == label:
                node.shutdown()

    def _drop(self, indices, why):
        dropped = set(indices)
        if not dropped:
            return
        self.pending[:] = [i for i in self.pending if i not in dropped]
        for i in sorted(dropped):
            self._not_run(self.collection[i], self.pin(i), why)
