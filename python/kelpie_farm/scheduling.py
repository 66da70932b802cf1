"""xdist's load scheduling, kept, with a farm's rules:

- a test that uses no device goes to any worker; one that uses a device, only to a worker
  that holds one; an every-device test (pinned by its marker's parameter), only to the
  worker holding that device;
- a worker whose device is lost takes a spare (farm.py) and goes on; with none left, the
  device tests xdist had queued on it go back to the other workers (the worker passes
  them by without a report);
- a test that no worker can take, now or after a worker xdist is starting again, is
  reported as not run, at once: nothing waits for ever, and xdist never finds itself
  with tests left and no worker to give them to.

What each collected test needs comes from the workers (link.py): None for no device, ""
for the worker's device, or the label of the device it is pinned to.
"""

from xdist.scheduler import LoadScheduling

ANY = ""


class DeviceScheduling(LoadScheduling):
    def __init__(self, config, log, farm, needs, not_run):
        super().__init__(config, log)
        self.farm = farm
        self._needs = needs          # needs() -> the list, once a worker has sent it
        self._not_run = not_run      # not_run(nodeid, label, why): reports a test that will not run
        self._given_back = set()     # (worker id, index): queued on a worker, then handed to others
        self.restarting = 0          # workers xdist is starting in place of crashed ones

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
        return holds is not None and (need == ANY or need == holds)

    def add_node(self, node):
        self.restarting = max(0, self.restarting - 1) if self.collection is not None else self.restarting
        super().add_node(node)

    def _send_tests(self, node, num):
        picked, rest = [], []
        for index in self.pending:
            (picked if len(picked) < num and self._fits(node, index) else rest).append(index)
        if picked:
            self.pending[:] = rest
            self.node2pending[node].extend(picked)
            node.send_runtest_some(picked)

    def mark_test_complete(self, node, item_index, duration=0):
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
        super().check_schedule(node, duration)
        if self.collection is not None and self.pending and not any(self._fits(node, i) for i in self.pending):
            self.settle()

    def schedule(self):
        super().schedule()
        if self.collection:
            self.settle()
            for node in self.nodes:
                self.check_schedule(node)

    def remove_node(self, node):
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
            if stuck:
                self._drop(stuck)
        for node in live:
            if not any(self._fits(node, i) for i in self.pending):
                node.shutdown()

    def lose(self, node, label, spare, during):
        """`node`'s device `label` is lost; `spare` is the device it took instead (or None).
        Its pinned tests do not run; without a spare, the device tests queued on the node go
        back to the others: all of them, but the first when that one is reported there (it
        found the loss `during` its run, or is pinned to the lost device)."""
        self._drop([i for i in self.pending if self.need(i) == label])
        if spare is None and node in self.node2pending:
            queued = self.node2pending[node]
            if queued and (during or self.need(queued[0]) != ANY):
                queued = queued[1:]
            back = [i for i in queued if self.need(i) == ANY]
            self._given_back.update((node.gateway.id, i) for i in back)
            self.pending[:0] = back
        for n in self.nodes:
            self.check_schedule(n)
        self.settle()

    def _drop(self, indices):
        dropped = set(indices)
        if not dropped:
            return
        self.pending[:] = [i for i in self.pending if i not in dropped]
        for i in sorted(dropped):
            need = self.need(i)
            self._not_run(self.collection[i], need or None, self.why(need))

    def why(self, need):
        if need is None or need == ANY:
            return "no device was left to run it on"
        if need in self.farm.lost:
            return self.farm.lost[need]
        return "device %s has no worker (-n auto starts one worker a device)" % need
