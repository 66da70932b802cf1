"""A simulated farm, for CI and for trying the plugin out: N simulated devices spread over
a few simulator processes, so that several servers take part as on a real farm.

Every device has a serial of its own across the farm (kelpie-sim-1 ... kelpie-sim-N): a
simulator numbers its devices from 1, so one that is to hold devices 5 to 8 starts with 8
and detaches the first 4.
"""

import threading

SERVERS = 3     # at most; the devices are shared out evenly


def spread(count, servers=SERVERS):
    """[(devices to detach first, devices to keep)] for each simulator."""
    n = min(count, servers)
    shares, first = [], 0
    for i in range(n):
        size = count // n + (1 if i < count % n else 0)
        shares.append((first, size))
        first += size
    return shares


class SimFarm:
    def __init__(self, count, python=None):
        self._sims = [None] * len(spread(count))
        errors = []

        def start(i, skip, keep):
            from kelpie_sim import Simulator
            try:
                sim = self._sims[i] = Simulator(devices=skip + keep, python=python)
                for ident in sim.devices[:skip]:
                    sim.detach(ident)
            except BaseException as e:   # handed to the starting thread, which raises it
                errors.append(e)

        # Started side by side: each start is an interpreter starting up.
        threads = [threading.Thread(target=start, args=(i,) + share, daemon=True)
                   for i, share in enumerate(spread(count))]
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            if errors:
                raise errors[0]
        except BaseException:
            for t in threads:
                if t.is_alive():
                    t.join()
            self.stop()
            raise

    @property
    def servers(self):
        return [sim.addr for sim in self._sims]

    @property
    def simulators(self):
        return list(self._sims)

    def stop(self):
        """Stops every simulator, whatever any of them does."""
        for sim in self._sims:
            if sim is not None:
                try:
                    sim.stop()
                except Exception:
                    pass
