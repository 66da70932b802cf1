"""How long one script (sed's, awk's) may run: the simulator serves every device from one
thread, so a script that never ends must stop rather than hold the others."""

import time

CHECK_EVERY = 1024


class OverBudget(Exception):
    pass


class RunBudget:
    """Counts steps; over `steps`, or over `seconds` of wall time, since the last restart(),
    tick() raises OverBudget. A tool restarts it for each piece of input it takes, so a
    filter that follows a log runs for ever while no single line may hold the simulator.
    The step limit makes the usual case exact; the time limit covers steps that each take
    long (big strings, much output)."""

    def __init__(self, steps, seconds):
        self.steps, self.seconds = steps, seconds
        self.restart()

    def restart(self):
        self.count = 0
        self.started = time.monotonic()

    def tick(self, n=1):
        self.count += n
        if self.count > self.steps:
            raise OverBudget()
        if self.count % CHECK_EVERY < n and time.monotonic() - self.started > self.seconds:
            raise OverBudget()
