"""xdist's load scheduling, kept, with the farm's rules: a test pinned to a device (an
every-device test) goes only to the worker holding that device; a worker whose device was
lost gets no further tests; the tests may start longest first; a test that is to run again
goes to a device it has not failed on (see retries.py), and a test that asks for devices of
certain properties to one of them, a worker being started for such a device when none is
left. Since a test may thus come back after the others have ended, the run ends only when
no test is under way."""

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
    def __init__(self, config, log, labels, not_run, order=None, start_worker=None):
        super().__init__(config, log)
        self._labels = sorted(labels, key=len, reverse=True)
        self._pins = {}
        self._lost = set()
        self._not_run = not_run       # not_run(nodeid, label, why): reports a test that will not run
        self._order = order           # order(collection) -> the indices in the order to start them
        self._avoid = {}              # index of a test to run again -> the devices it failed on
        self._allowed = {}            # index of a test -> the only devices it may run on
        self._start_worker = start_worker   # start_worker(label): a new worker for that device
        self._starting = set()        # devices whose new worker has not joined yet

    def pin(self, index):
        if index not in self._pins:
            self._pins[index] = pin_of(self.collection[index], self._labels)
        return self._pins[index]

    def _fits(self, node, index):
        holds = held_by(node)
        if holds in self._lost:
            return False
        pin = self.pin(index)
        if pin is not None:
            return pin == holds
        if index in self._allowed and holds not in self._allowed[index]:
            return False
        avoid = self._avoid.get(index)
        return not avoid or holds not in avoid or not self._elsewhere(avoid, self._allowed.get(index))

    def _elsewhere(self, avoid, allowed=None):
        """Whether the run still has a device outside `avoid` (a worker can be started for it)."""
        return any(label not in avoid and label not in self._lost and (allowed is None or label in allowed)
                   for label in self._labels)

    def _send_tests(self, node, num):
        picked, rest = [], []
        for index in self.pending:
            (picked if len(picked) < num and self._fits(node, index) else rest).append(index)
        if picked:
            self.pending[:] = rest
            self.node2pending[node].extend(picked)
            node.send_runtest_some(picked)
        self._finish_idle()

    def _finish_idle(self):
        """xdist runs a worker's test once it knows the next one, or once told to finish: with
        nothing left to hand out, a worker down to its last test is told to finish."""
        if not self.pending:
            for node in self.nodes:
                if not node.shutting_down and len(self.node2pending[node]) <= 1:
                    node.shutdown()

    def check_schedule(self, node, duration=0):
        if node.shutting_down:
            return
        if not self.pending:
            # A retry may still come: a worker with tests left keeps going, the rest finish.
            if len(self.node2pending[node]) <= 1:
                node.shutdown()
            return
        super().check_schedule(node, duration)
        # A worker that nothing pending fits is told to finish what it has, or it would wait forever.
        if not node.shutting_down and not any(self._fits(node, i) for i in self.pending):
            node.shutdown()

    @property
    def tests_finished(self):
        # Not before the last test has ended: until then a failure may call for a retry.
        return (self.collection_is_completed and not self.pending and not self._starting
                and not any(self.node2pending.values()))

    def schedule(self):
        first = self.collection is None
        if first and self._order is not None:
            self._start_in_order()
        else:
            super().schedule()
        if not self.collection:
            return
        self._find_workers()
        if first:
            # Tests pinned to a device that no worker holds would wait for ever; say so now.
            held = {held_by(n) for n in self.nodes}
            for label in set(self._labels) - held:
                self._drop([i for i in self.pending if self.pin(i) == label],
                           "device %s has no worker (-n auto starts one worker a device)" % label)
        for node in self.nodes:
            self.check_schedule(node)

    def _start_in_order(self):
        """xdist's first distribution, with the pending tests in the order wanted, dealt one
        at a time round the workers so that the first (longest) tests start side by side."""
        if not self._check_nodes_have_same_collection():
            self.log("**Different tests collected, aborting run**")
            return
        self.collection = list(self.node2collection.values())[0]
        if not self.collection:
            return
        self.pending[:] = self._order(self.collection)
        share = max(len(self.collection) // len(self.nodes) // 4, 2)
        for _ in range(share):
            for node in self.nodes:
                self._send_tests(node, 1)
        if not self.pending:
            for node in self.nodes:
                node.shutdown()

    def add_node(self, node):
        super().add_node(node)
        self._starting.clear()      # one worker is started at a time: this is it

    def remove_node(self, node):
        crashed = super().remove_node(node)
        self._find_workers()
        return crashed

    def retry(self, index, avoid):
        """The test runs again, first in line, on a device outside `avoid` while the run has one."""
        self._avoid[index] = set(avoid)
        self.pending.insert(0, index)
        for node in self.nodes:
            self.check_schedule(node)
        self._find_workers()

    def confine(self, index, labels):
        """The test may run only on these devices: it goes back in line for one of them."""
        self._allowed[index] = set(labels)
        self.retry(index, ())

    def can_retry(self):
        return self._start_worker is not None and any(label not in self._lost for label in self._labels)

    def _find_workers(self):
        """Starts a worker for a test that no worker still in the run can take: on a device
        it has not failed on when one is free, else on any free device it may use. A device
        is free once its worker has gone; until then the test waits. One at a time."""
        if self._start_worker is None or self._starting:
            return
        live = [n for n in self.nodes if not n.shutting_down]
        held = {held_by(n) for n in self.nodes}
        free = [label for label in reversed(self._labels) if label not in held and label not in self._lost]
        for index in self.pending:
            if any(self._fits(n, index) for n in live):
                continue
            pin = self.pin(index)
            allowed = {pin} if pin is not None else self._allowed.get(index)
            usable = [label for label in free if allowed is None or label in allowed]
            avoid = self._avoid.get(index, ())
            choice = [label for label in usable if label not in avoid] or (
                [] if self._elsewhere(avoid, allowed) else usable)
            if choice and self._start_worker(choice[0]):
                self._starting.add(choice[0])
            return

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
        self._finish_idle()
