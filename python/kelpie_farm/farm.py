"""The farm as the controlling process sees it: the devices found at the start, which
worker holds which, the devices lost during the run and the tests that did not run."""

import collections


class Farm:
    def __init__(self, targets, problems=(), sims=None):
        self.targets = list(targets)
        self.problems = list(problems)    # servers that could not be asked at the start
        self.sims = sims                  # the simulated farm, when there is one
        self._holders = {}                # worker id -> Target
        self.lost = {}                    # label -> what the test that lost it was told
        self.not_run = collections.Counter()   # label -> tests not run for want of it
        self.params = {}                  # label -> {property: value}, as asked at discovery
        self.pool = []                    # the Requirements every device of the run meets
        self.wanted = None                # the label the next lease is to give, when free

    def lease(self, worker):
        """A device no worker holds and none lost, now held by `worker`; None if none is left."""
        held = set(self._holders.values())
        wanted, self.wanted = self.wanted, None
        for target in sorted(self.targets, key=lambda t: t.label != wanted):
            if target not in held and target.label not in self.lost:
                self._holders[worker] = target
                return target
        return None

    def release(self, worker):
        self._holders.pop(worker, None)

    def lose(self, label, message):
        self.lost.setdefault(label, message)

    def describe(self):
        servers = len({t.server for t in self.targets})
        return "%d device%s on %d server%s%s%s" % (
            len(self.targets), "" if len(self.targets) == 1 else "s", servers, "" if servers == 1 else "s",
            " (simulated)" if self.sims is not None else "",
            "; pool: " + ", ".join("%s=%s" % r for r in self.pool) if self.pool else "")

    def summary(self):
        """Lines for the end of the run: what went missing, and what it cost."""
        lines = ["ERROR: %s; the run went on without it" % p for p in self.problems]
        for label, message in self.lost.items():
            lines.append("LOST: %s; %d test%s not run for want of it" % (
                message, self.not_run[label], "" if self.not_run[label] == 1 else "s"))
        for label in sorted(set(self.not_run) - set(self.lost)):
            lines.append("%d test%s for device %s not run: no worker held it" % (
                self.not_run[label], "" if self.not_run[label] == 1 else "s", label))
        return lines
