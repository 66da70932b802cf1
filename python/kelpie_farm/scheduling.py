"""xdist's load scheduling, kept, with a farm's rules:

- a test that uses no device goes to any worker; one that uses a device, only to a worker
  that holds one; an every-device test (pinned by its marker's parameter), only to the
  worker holding that device;
- a worker whose device is lost takes a spare (farm.py) and goes on; with none left, the
  device tests xdist had queued on it go back to workers that can run them (the worker
  passes them by without a report). The loss comes from another thread (link.py): it is
  queued here, and taken in xdist's main loop at the scheduler's next call, before any
  event the worker sent after it;
- a test that no worker can take, now or after a worker xdist is starting again, is
  reported as not run, at once: nothing waits for ever, and xdist never finds itself
  with tests left and no worker to give them to;
- the tests may start longest first (order.py): xdist's first distribution decides how
  many tests each worker starts with, and they are dealt one a worker in that order;
- a test that is to run again (retries.py) goes to a device it has not failed on while
  the run has one; when no worker in the run can take it, a worker is started for a free
  device (a spare, or one whose worker has finished) as xdist starts one in place of a
  crashed worker. Since a test may thus come back after the others have ended, the run
  ends only when no test is under way, and a worker down to its last test with nothing
  left to hand out is told to finish (xdist runs a test once it knows the next one). A test
  handed back after a loss when every other worker has been told so waits the same way.

What each collected test needs comes from the workers (link.py): None for no device, ""
for the worker's device, the label of the device it is pinned to, or the list of the
devices it may run on (a test that asks for devices of certain properties).
"""

import collections

from xdist.scheduler import LoadScheduling

ANY = ""


class DeviceScheduling(LoadScheduling):
    def __init__(self, config, log, farm, needs, not_run, order=None, start_worker=None):
        super().__init__(config, log)
        self.farm = farm
        self._needs = needs          # needs() -> the list, once a worker has sent it
        self._not_run = not_run      # not_run(nodeid, label, why): reports a test that will not run
        self._given_back = set()     # (worker id, index): queued on a worker, then handed to others
        self._returned = set()       # indices handed back after a loss, not yet sent again
        self.restarting = 0          # workers xdist is starting in place of crashed ones, or for a retry
        self._order = order          # order(collection) -> the indices in the order to start them
        self._avoid = {}             # index of a test to run again -> the devices it failed on
        self._start_worker = start_worker   # start_worker(label) -> True: a worker for that device is starting
        self._quota = None           # during xdist's first distribution: worker -> tests it would send
        self._losses = collections.deque()  # (node, label, spare, during), from other threads
        self._taking = False
        self.give_back = True        # whether a worker without a device passes its tests by (worker.py)

    def need(self, index):
        needs = self._needs()
        return needs[index] if needs is not None and index < len(needs) else ANY

    def holds(self, node):
        target = self.farm.held_by(node.gateway.id)
        return target.label if target is not None else None

    def _fits(self, node, index):
        need = self.need(index)
        if need is None:
            return True
        holds = self.holds(node)
        if holds is None or not (need == ANY or need == holds or (isinstance(need, list) and holds in need)):
            return False
        avoid = self._avoid.get(index)
        return not avoid or holds not in avoid or not self._elsewhere(index, avoid)

    def _usable(self, index):
        """The devices of the run a test may use, lost ones left out."""
        need = self.need(index)
        labels = [t.label for t in self.farm.targets if t.label not in self.farm.lost]
        if isinstance(need, list):
            return [label for label in labels if label in need]
        return [need] if need and need in labels else labels if need in (None, ANY) else []

    def _elsewhere(self, index, avoid):
        """Whether the run still has a device for the test outside `avoid`."""
        return any(label not in avoid for label in self._usable(index))

    def post_loss(self, node, label, spare, during):
        """From any thread: `node`'s device `label` is lost (see lose); taken at the next call."""
        self._losses.append((node, label, spare, during))

    def _take_losses(self):
        if self._taking:
            return
        self._taking = True
        try:
            while self._losses:
                self.lose(*self._losses.popleft())
        finally:
            self._taking = False

    def add_node(self, node):
        self._take_losses()
        self.restarting = max(0, self.restarting - 1) if self.collection is not None else self.restarting
        super().add_node(node)

    def _send_tests(self, node, num):
        if self._quota is not None:     # xdist's first distribution, counted (schedule)
            self._quota[node] += num
            return
        picked, rest = [], []
        for index in self.pending:
            (picked if len(picked) < num and self._fits(node, index) else rest).append(index)
        if picked:
            self._returned.difference_update(picked)
            self.pending[:] = rest
            self.node2pending[node].extend(picked)
            node.send_runtest_some(picked)
        self._finish_idle()

    def _finish_idle(self):
        """With nothing left to hand out, a worker down to its last test is told to finish:
        xdist runs a worker's test once it knows the next one, or once told to finish."""
        if not self.pending:
            for node in self.nodes:
                if not node.shutting_down and len(self.node2pending[node]) <= 1:
                    node.shutdown()

    def add_node_collection(self, node, collection):
        self._take_losses()
        super().add_node_collection(node, collection)

    def mark_test_complete(self, node, item_index, duration=0):
        self._take_losses()
        key = (node.gateway.id, item_index)
        if key in self._given_back:     # passed by on that worker: it runs elsewhere
            self._given_back.discard(key)
            self.node2pending[node].remove(item_index)
            self.check_schedule(node)
            return
        super().mark_test_complete(node, item_index, duration)

    def check_schedule(self, node, duration=0):
        if node.shutting_down:
            return
        if not self.pending:
            # A retry may still come: a worker with tests left keeps going, the rest finish.
            if len(self.node2pending[node]) <= 1:
                node.shutdown()
            return
        super().check_schedule(node, duration)
        if self.collection is not None and self.pending and not any(self._fits(node, i) for i in self.pending):
            self.settle()

    @property
    def tests_finished(self):
        # Not before the last test has ended: until then a failure may call for a retry.
        self._take_losses()
        return (self.collection_is_completed and not self.pending and not self.restarting
                and not any(self.node2pending.values()))

    def schedule(self):
        self._take_losses()
        if self.collection is None and self._order is not None:
            # xdist's own first distribution, with its checks and its set-up (the collection,
            # the pending tests, --maxschedchunk, how many tests each worker starts with);
            # only the tests it picks are counted instead of sent, and dealt below.
            self._quota = collections.Counter()
            try:
                super().schedule()
            finally:
                quota, self._quota = self._quota, None
            if self.collection:
                self._deal_in_order(quota)
        else:
            super().schedule()
        if self.collection:
            self.settle()
            for node in self.nodes:
                self.check_schedule(node)

    def _deal_in_order(self, quota):
        """The first tests, as many to each worker as xdist gave it, in the order wanted and
        dealt one at a time round the workers, so that the first (longest) start side by side."""
        self.pending[:] = self._order(self.collection)
        for _ in range(max(quota.values(), default=0)):
            for node in self.nodes:
                if quota[node] > 0:
                    quota[node] -= 1
                    self._send_tests(node, 1)

    def retry(self, index, avoid):
        """The test runs again, first in line, on a device outside `avoid` while the run has
        one: a worker that holds such a device takes it when it asks for more, or a worker is
        started for a free one."""
        self._take_losses()
        self._avoid[index] = set(avoid)
        self.pending.insert(0, index)
        for node in self.nodes:
            self.check_schedule(node)
        self.settle()

    def can_retry(self, index):
        self._take_losses()
        return self._start_worker is not None and bool(self._usable(index))

    def _find_worker(self, index, live):
        """Starts a worker for a test no worker in the run can take, on a free device it may
        use, one it has not failed on first; True when one is starting (or the test can wait
        for one to come free)."""
        if self._start_worker is None:
            return False
        held = set(self.farm.holders().values())
        usable = self._usable(index)
        free = [label for label in usable if label not in {t.label for t in held}]
        avoid = self._avoid.get(index, ())
        choice = [label for label in free if label not in avoid] or (
            [] if self._elsewhere(index, avoid) else free)
        if choice:
            if self._start_worker(choice[0]):
                self.restarting += 1
                return True
            return False
        # Every device it may use is held: it waits until a worker finishes and frees one.
        return bool(self.nodes) and bool(usable)

    def remove_node(self, node):
        self._take_losses()
        crashed = super().remove_node(node)
        if self.collection is not None:
            self.settle()
        return crashed

    def settle(self):
        """Reports the pending tests that no worker can take, unless a worker being started
        again may; tells the workers that nothing pending fits to finish what they have."""
        live = [n for n in self.nodes if not n.shutting_down]
        if not self.restarting:
            stuck = [i for i in self.pending if not any(self._fits(n, i) for n in live)]
            # A test to run again, or one handed back after a loss when the other workers had
            # already been told to finish, waits for a worker started for a free device.
            waits = self._avoid.keys() | self._returned
            waiting = next((i for i in stuck if i in waits), None)
            if waiting is not None and self._find_worker(waiting, live):
                stuck = [i for i in stuck if i not in waits]
            if stuck:
                self._drop(stuck)
        for node in live:
            if not any(self._fits(node, i) for i in self.pending):
                node.shutdown()

    def lose(self, node, label, spare, during):
        """`node`'s device `label` is lost; `spare` is the device it took instead (or None).
        Its pinned tests do not run; the tests queued on the node that its device no longer
        serves go back to workers that can run them (the worker passes them by), but the
        first when that one is reported there (it found the loss `during` its run)."""
        self._drop([i for i in self.pending if self.need(i) == label])
        if self.give_back and node in self.node2pending:
            queued = self.node2pending[node]
            if queued and (during or not self._passed_by(node, queued[0])):
                queued = queued[1:]
            back = [i for i in queued if self._passed_by(node, i)]
            self._given_back.update((node.gateway.id, i) for i in back)
            self._returned.update(back)
            self.pending[:0] = back
        for n in self.nodes:
            self.check_schedule(n)
        self.settle()

    def _passed_by(self, node, index):
        """Whether the worker passes the test by, as worker.py does: it uses the worker's
        device and the worker has none left, or one of a list that the worker's spare is not."""
        need = self.need(index)
        holds = self.holds(node)
        return (need == ANY and holds is None) or (isinstance(need, list) and holds not in need)

    def _drop(self, indices):
        dropped = set(indices)
        if not dropped:
            return
        self.pending[:] = [i for i in self.pending if i not in dropped]
        for i in sorted(dropped):
            need = self.need(i)
            self._not_run(self.collection[i], (need or None) if not isinstance(need, list) else None,
                          self.why(need))
        self._finish_idle()

    def why(self, need):
        if need is None or need == ANY or isinstance(need, list):
            return "no device was left to run it on"
        if need in self.farm.lost:
            return self.farm.lost[need]
        return "device %s has no worker (-n auto starts one worker a device)" % need
