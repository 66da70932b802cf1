"""Which failing tests run again, and what the run then says about them (--hdc-retries N).

A test that fails runs again, up to N times, each time preferably on a device it has not
failed on yet. A failure because the device was lost does not count against N. A test that
passes on a retry is flaky; one that fails every time fails, naming each attempt's device.
This is the controlling process's book of attempts; the scheduler places the retries.

A retry budget (--hdc-retry-budget B) caps the retries of the whole run: once B failures have
run again, every later failure is final, so that a broken build fails in about the time of
one run rather than N + 1. Retries after a lost device cost the budget nothing either.
"""


class Attempts:
    __slots__ = ("devices", "counted", "retried")

    def __init__(self):
        self.devices = []     # [(device label, "failed" | "lost" | "passed" | ...)] in order
        self.counted = 0      # failures that count against the limit
        self.retried = 0      # attempts that were followed by another


class RetryBook:
    def __init__(self, limit, budget=None):
        self.limit = limit
        self.budget = budget  # retries the whole run may spend (None: no cap)
        self.spent = 0
        self.refused = 0      # failures not run again because the budget was spent
        self._tests = {}
        self.flaky = {}       # test id -> "failed on A, passed on B", in the order found

    def failed(self, nodeid, device, lost, retry_possible):
        """Records a failed attempt; True when the test is to run again (the caller then
        reports this attempt as a rerun and has it placed)."""
        book = self._tests.setdefault(nodeid, Attempts())
        book.devices.append((device, "lost" if lost else "failed"))
        if not lost:
            book.counted += 1
        again = retry_possible and (lost or book.counted <= self.limit)
        if again and not lost and self.budget is not None:
            if self.spent >= self.budget:
                self.refused += 1
                again = False
            else:
                self.spent += 1
        if again:
            book.retried += 1
        return again

    def budget_note(self):
        """The summary's line once the budget ran out, or None."""
        if self.budget is None or not self.refused:
            return None
        return "retry budget spent: %d retr%s of %d; %d later failure%s not run again" % (
            self.spent, "y" if self.spent == 1 else "ies", self.budget, self.refused, "" if self.refused == 1 else "s")

    def ended(self, nodeid, device, outcome):
        """Records the last attempt's outcome ("passed", "failed", "skipped"); the test is
        flaky when it passed after failing."""
        book = self._tests.get(nodeid)
        if book is None or not book.retried:
            return
        if outcome != "failed":        # its failure was recorded by failed()
            book.devices.append((device, outcome))
        if outcome == "passed" and book.counted:
            self.flaky[nodeid] = self.story(nodeid)

    def tried(self, nodeid):
        """Whether the test had an attempt before the one now ending."""
        book = self._tests.get(nodeid)
        return book is not None and book.retried > 0

    def failed_on(self, nodeid):
        """The devices where the test failed (or was lost): the places a retry avoids."""
        book = self._tests.get(nodeid)
        return {d for d, outcome in book.devices if outcome in ("failed", "lost")} if book else set()

    def story(self, nodeid):
        """"failed on A and C, passed on B": each outcome with its devices, in order of first
        appearance; a device lost mid-test shows as "lost A"."""
        book = self._tests.get(nodeid)
        if book is None:
            return ""
        grouped = {}
        for device, outcome in book.devices:
            names = grouped.setdefault(outcome, [])
            if device not in names:
                names.append(device)
        words = {"lost": "lost", "failed": "failed on", "passed": "passed on", "skipped": "skipped on"}
        return ", ".join("%s %s" % (words.get(outcome, outcome + " on"), join(names)) for outcome, names in grouped.items())


def join(names):
    names = [str(n) for n in names]
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]
