"""Shards across CI jobs (--hdc-shard I/N): each of N jobs runs the I-th of N disjoint parts
of the suite, and the N parts together are the whole suite, each test in exactly one.

The split is a function of the collected test ids and the known durations alone, so every
job (and every xdist worker of a job) that sees the same collection and the same durations
makes the same split. Tests are placed longest first, each on the shard with the least time
so far (ties: the lower shard); a test never seen counts as the median of those known. With
no duration known at all, every test counts the same, which balances the shards by count.

The instances of an every-device test are one test here: they go to one shard together,
whatever the farm, and weigh as the longest of that test's instances known.

The tests of other shards are deselected with pytest's own hook, after any -k or -m.
"""

import statistics

import pytest

from .durations import durations_of

KNOWN_INPUT = "hdc_shard_known"     # the controller's known durations, in a worker's workerinput


def parse_shard(text):
    """(index, count), 1 <= index <= count, from "I/N"; a UsageError otherwise."""
    index, sep, count = str(text).partition("/")
    try:
        index, count = int(index), int(count)
    except ValueError:
        sep = ""
    if not sep or not 1 <= index <= count:
        raise pytest.UsageError("--hdc-shard takes I/N with 1 <= I <= N (for example 2/4), not %r" % text)
    return index, count


def group_of(item, every_device_param):
    """The test an item is an instance of: an every-device test's instances share one."""
    callspec = getattr(item, "callspec", None)
    if callspec is not None and every_device_param in callspec.params:
        name = getattr(item, "originalname", None) or item.name.split("[", 1)[0]
        return item.nodeid[:len(item.nodeid) - len(item.name)] + name
    return item.nodeid


def weights(groups, known):
    """{group: expected seconds}; every group 1 when no duration is known."""
    if not known:
        return {group: 1.0 for group in groups}
    guess = statistics.median(known.values())
    instances = {}
    for nodeid, seconds in known.items():
        if nodeid.endswith("]"):
            instances.setdefault(nodeid.split("[", 1)[0], []).append(seconds)
    return {group: known[group] if group in known else max(instances.get(group, [guess])) for group in groups}


def split(weight, count):
    """{group: shard (0 .. count-1)}: the heaviest first, each to the lightest shard so far."""
    loads = [0.0] * count
    where = {}
    for group in sorted(weight, key=lambda g: (-weight[g], g)):
        shard = min(range(count), key=lambda s: (loads[s], s))
        loads[shard] += weight[group]
        where[group] = shard
    return where


class ShardSelection:
    """Deselects the tests of the other shards (in every process that collects)."""

    def __init__(self, config, index, count, param):
        self.config = config
        self.index, self.count = index, count
        self.param = param
        self.balanced = None     # "durations" or "count", once split

    def known(self):
        workerinput = getattr(self.config, "workerinput", None)
        if workerinput is not None and KNOWN_INPUT in workerinput:
            return workerinput[KNOWN_INPUT]
        return durations_of(self.config).known

    @pytest.hookimpl(trylast=True)
    def pytest_collection_modifyitems(self, session, config, items):
        known = self.known()
        groups = {item: group_of(item, self.param) for item in items}
        where = split(weights(set(groups.values()), known), self.count)
        self.balanced = "durations" if known else "count"
        keep = [item for item in items if where[groups[item]] == self.index - 1]
        if len(keep) < len(items):
            config.hook.pytest_deselected(items=[item for item in items if where[groups[item]] != self.index - 1])
            items[:] = keep

    @pytest.hookimpl(optionalhook=True)
    def pytest_configure_node(self, node):
        """Every worker splits as the others do: on the durations this process knows."""
        node.workerinput[KNOWN_INPUT] = durations_of(self.config).known

    def pytest_report_header(self, config):
        if hasattr(config, "workerinput"):
            return None
        known = len(durations_of(config).known)
        return ["hdc shard %d/%d: %s" % (self.index, self.count, "balanced by the durations of %d tests" % known
                                         if known else "balanced by count (no duration known)")]
