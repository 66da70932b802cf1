"""The order that ends a run soonest: each test's duration from the last runs, kept in
pytest's cache, and the longest tests first, so that no long test starts late and keeps
one device busy while the others wait. A test never seen counts as the median of those seen.
"""

import statistics

CACHE_KEY = "kelpie_farm/durations"
KEPT = 20000     # durations kept at most: those of the tests seen last


class Durations:
    """Test id -> seconds its last run took (setup, call and teardown), as the cache had
    them at the start, updated by this run's reports."""

    def __init__(self, cache):
        self._cache = cache
        known = cache.get(CACHE_KEY, {}) if cache is not None else {}
        self.known = {k: float(v) for k, v in known.items()
                      if isinstance(k, str) and isinstance(v, (int, float))} if isinstance(known, dict) else {}
        self._run = {}           # this run's measurements
        self._phases = {}        # (nodeid, worker) -> seconds so far of the attempt under way
        self.kinds = getattr(cache, "kinds", None)   # test id -> device type, where the store keeps them

    @property
    def kept(self):
        """Whether the durations are kept somewhere (a file, pytest's cache)."""
        return self._cache is not None

    def add_report(self, report, worker, kind=None):
        """Adds a phase of an attempt; its teardown closes the attempt, whose total is kept
        (with the type of the device it ran on, where known)."""
        key = (report.nodeid, worker)
        self._phases[key] = self._phases.get(key, 0.0) + float(getattr(report, "duration", 0.0) or 0.0)
        if report.when == "teardown":
            self._run[report.nodeid] = self._phases.pop(key)
            if kind is not None and self.kinds is not None:
                self.kinds[report.nodeid] = kind

    def save(self):
        if self._cache is None or not self._run:
            return
        merged = dict(self.known)
        for nodeid in self._run:
            merged.pop(nodeid, None)
        merged.update(self._run)      # this run's last, so that trimming keeps them
        if len(merged) > KEPT:
            merged = dict(list(merged.items())[-KEPT:])
        self._cache.set(CACHE_KEY, merged)

    def longest_first(self, collection):
        """The indices of `collection`, the longest expected first; ties keep their order."""
        guess = statistics.median(self.known.values()) if self.known else 0.0
        expected = [self.known.get(nodeid, guess) for nodeid in collection]
        return sorted(range(len(collection)), key=lambda i: -expected[i])
