"""A simulated farm, for CI and for trying the plugin out: N simulated devices spread over
a few simulator processes, so that several servers take part as on a real farm.

Every device has a serial of its own across the farm: each simulator has a serial prefix
of its own (kelpie-sim-a1, kelpie-sim-a2, ... on the first, kelpie-sim-b1, ... on the
second). The simulators start side by side, each an interpreter starting up, while pytest
goes on starting too; `wait` joins them.
"""

import threading

SERVERS = 3     # at most; the devices are shared out evenly


def spread(count, servers=SERVERS):
    """[(serial prefix, devices)] for each simulator."""
    n = min(count, servers)
    return [("kelpie-sim-%s" % "abcdefghijklmnopqrstuvwxyz"[i], count // n + (1 if i < count % n else 0))
            for i in range(n)]


class SimFarm:
    def __init__(self, count, python=None):
        shares = spread(count)
        self._sims = [None] * len(shares)
        self._errors = []
        self._stopping = None
        self._threads = [threading.Thread(target=self._start, args=(i, prefix, size, python), daemon=True)
                         for i, (prefix, size) in enumerate(shares)]
        for t in self._threads:
            t.start()

    def _start(self, i, prefix, size, python):
        from kelpie_sim import Simulator

        try:
            self._sims[i] = Simulator(devices=size, python=python, serial_prefix=prefix)
        except BaseException as e:   # raised again by wait(), in the thread that asks
            self._errors.append(e)

    def wait(self):
        """The servers' addresses, once every simulator is up; the first failure if one failed."""
        for t in self._threads:
            t.join()
        if self._errors:
            raise self._errors[0]
        return [sim.addr for sim in self._sims]

    def stop_soon(self):
        """Starts stopping every simulator, side by side, and returns; stop() waits for them."""
        if self._stopping is None:
            for t in self._threads:
                t.join()
            self._stopping = [threading.Thread(target=_stop, args=(sim,)) for sim in self._sims if sim is not None]
            for t in self._stopping:
                t.start()

    def stop(self):
        """Stops every simulator, whatever any of them does; also one still starting."""
        self.stop_soon()
        for t in self._stopping:
            t.join()


def _stop(sim):
    try:
        sim.stop()
    except Exception:
        pass
