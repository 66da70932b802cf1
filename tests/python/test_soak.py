"""Long runs that must leave nothing behind: many operations on one client,
and many clients created and dropped. Descriptors and threads must be back to
exactly what they were, and resident memory flat: between a checkpoint after
the warm-up (a quarter of the run, in which PyPy's heap settles) and the end
it may grow by at most RSS_TOLERANCE.

The test command runs a short version; KELPIE_SOAK=full runs 100,000
operations and 10,000 clients (pytest -s shows the figures).
"""

import os
import sys
import time

import pytest

import kelpie
from support import collect_garbage, open_descriptors, thread_count
from support.exchange import Raised, outcome

FULL = os.environ.get("KELPIE_SOAK") == "full"
OPERATIONS = 100_000 if FULL else 6_000
CLIENTS = 10_000 if FULL else 600
RSS_TOLERANCE = 8 * 1024 * 1024  # bytes; the interpreter's own heap moves by a few megabytes


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def held():
    collect_garbage()
    return open_descriptors(), thread_count(), rss()


NOT_UTF8 = Raised(RuntimeError, "UTF-8 error: invalid utf-8 sequence of 1 bytes from index 0")

# One round of calls, successes and failures, each with what it must give.
ROUND = [
    (lambda c: c.list_targets(), ["dev1", "dev2"]),
    (lambda c: c.shell("ls"), "out"),
    (lambda c: c.shell("fail"), NOT_UTF8),
    (lambda c: c.hilog(None), "log\n"),
    (lambda c: c.fport("tcp:1", "tcp:2"), "OK"),
    (lambda c: c.rport("tcp:99999", "tcp:2"), Raised(RuntimeError, "Protocol error: Invalid TCP port: 99999")),
    (lambda c: c.file_send("a", "b", compress=True), "FileTransfer finish"),
    (lambda c: c.file_recv("", "b"), Raised(RuntimeError, "Protocol error: Invalid file path")),
    (lambda c: c.install(["a.hap"]), "Success"),
    (lambda c: c.uninstall("p", keep_data=True), "Success"),
    (lambda c: c.wait_for_device(), "dev1"),
    (lambda c: c.shell(1), Raised(TypeError, "argument 'command': 'int' object cannot be converted to 'PyString'")),
]
# Every tenth round also removes a forward, over a connection of its own.
REMOVE = (lambda c: c.fport_remove("tcp:1 tcp:2"), Raised(RuntimeError, "Protocol error: [Fail]no such task"))


def report(name, start, before, after, count):
    print("\n%s: %d in %.1f s; descriptors %d -> %d, threads %d -> %d, RSS %.1f -> %.1f MB" % (
        name, count, time.time() - start, before[0], after[0], before[1], after[1],
        before[2] / 2**20, after[2] / 2**20))


def assert_flat(before, after):
    assert after[:2] == before[:2]
    assert after[2] - before[2] <= RSS_TOLERANCE, (before[2], after[2])


def test_operations_on_one_client(soak_server):
    client = kelpie.HdcClient(soak_server)
    done, rounds, start = 0, 0, time.time()
    warm = None
    while done < OPERATIONS:
        calls = ROUND + ([REMOVE] if rounds % 10 == 0 else [])
        for call, expected in calls:
            assert outcome(call, client) == expected
        done += len(calls)
        rounds += 1
        if warm is None and done >= OPERATIONS // 4:
            warm = held()
    after = held()
    report("operations on one client", start, warm, after, done)
    assert_flat(warm, after)


def test_clients_created_and_dropped(soak_server):
    start = time.time()
    before = None
    for i in range(CLIENTS):
        client = kelpie.HdcClient(soak_server)
        if i % 2:
            assert client.list_targets() == ["dev1", "dev2"]
        del client
        if i % 100 == 99:
            collect_garbage()  # PyPy frees extension objects only when its collector runs
        if before is None and i == CLIENTS // 4:
            before = held()
    after = held()
    report("clients created and dropped", start, before, after, CLIENTS)
    assert_flat(before, after)


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-s", "-q"]))
