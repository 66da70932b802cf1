"""Outputs of many megabytes: whole however they are cut into packets, and,
when memory runs out, MemoryError with the connection still in step."""

import os
import subprocess
import sys

import pytest

import kelpie
from support import PYPY
from support.soak_server import bulk_text

MIB = 1 << 20


# Each class of character (its str form one, two or four bytes wide), cut
# across replies at every offset (the packet size is prime to the unit's):
# small outputs leave the reader in a copy of their own, large ones go
# through every growth of the receive buffer and are cut again at the slices
# the str is made in.
@pytest.mark.parametrize("unit", ["a\u00e9", "ab\u4e2d", "a\U0001f600", "x\u00e9\u4e2d\U0001f600"],
                         ids=["latin-1", "bmp", "astral", "mixed"])
@pytest.mark.parametrize("size", [40 * 1024, 13 * MIB], ids=["small", "large"])
def test_characters_of_every_width_come_back_whole(soak_server, unit, size):
    client = kelpie.HdcClient(soak_server)
    total = size // len(unit.encode()) * len(unit.encode())
    output = client.shell("bulk %d 4093 %s" % (total, unit))
    assert output == bulk_text(total, unit)
    assert client.shell("next") == "out"


@pytest.mark.parametrize("total, packet, unit", [
    (24 * MIB, 4096, None),
    (24 * MIB, 523262, None),  # the largest packet there is, with its command code
    (5 * 5 * MIB, 4093, "ab\u4e2d"),  # every third character cut between two packets
], ids=["ascii-small-packets", "ascii-large-packets", "characters-cut"])
def test_large_output_is_whole(soak_server, total, packet, unit):
    client = kelpie.HdcClient(soak_server)
    command = "bulk %d %d" % (total, packet) + (" " + unit if unit else "")
    output = client.shell(command)
    assert output == (bulk_text(total, unit) if unit else bulk_text(total))
    assert client.shell("next") == "out"


# Run in a child whose address space is limited to what it uses plus HEADROOM
# for one call: an output that cannot be held raises MemoryError, and the next
# calls on the same client, with memory again, get their own replies.
CHILD = """
import resource, sys
import kelpie
client = kelpie.HdcClient(sys.argv[1])
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[3]), resource.RLIM_INFINITY))
try:
    out = client.shell("bulk %s 523262" % sys.argv[2])
    print("returned", len(out))
except MemoryError as e:
    print("MemoryError", e)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(client.shell("next"))
print(client.hilog(None), end="")
"""


# On CPython ASCII text is received straight into its str: there is no
# second copy to make room for.
STR_BESIDE_TEXT = None if sys.implementation.name == "cpython" else "no room for a str of"


@pytest.mark.parametrize("total, headroom, error", [
    (1024 * MIB, 200 * MIB, "the output grew past"),        # the receive buffer cannot grow
    (96 * MIB, 180 * MIB, STR_BESIDE_TEXT),                 # it can, but the str cannot be made beside it
    (16 * MIB, 0, "no room for a packet of 523268 bytes"),  # not even one packet fits: nothing is asked
    (16 * MIB, 1 * MIB, "the output grew past"),            # one fits, the second does not
    # The text and its str fit, as long as no growth room rides along; on
    # PyPy the client keeps the text's block mapped (its pages lent to the
    # kernel) while PyPy copies the str.
    (80 * MIB, (260 if sys.implementation.name == "pypy" else 180) * MIB, None),
], ids=["while-receiving", "making-the-str", "no-room-for-a-packet", "past-the-first-packet", "str-fits"])
def test_out_of_memory_is_memory_error_and_the_client_stays_in_step(soak_server, total, headroom, error):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", CHILD, soak_server, str(total), str(headroom)],
                          capture_output=True, text=True, env=env, timeout=120)
    lines = done.stdout.splitlines()
    assert done.returncode == 0, done.stderr
    if error is None:
        assert lines[0] == "returned %d" % total, lines
    else:
        assert lines[0].startswith("MemoryError Out of memory: " + error), lines
    assert lines[1:] == ["out", "log"]


# A non-ASCII output whose str PyPy cannot take into its own heap, asked for
# again and again: kelpie's MemoryError each time, nothing left behind (the
# memory in use after a collection stays where it started) and the client in
# step. CPython needs less for the same text and may return it whole.
REPEATED = """
import gc, resource, sys
import kelpie
client = kelpie.HdcClient(sys.argv[1])
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))
gc.collect()
print(status("VmRSS"))
resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + int(sys.argv[3]), resource.RLIM_INFINITY))
for _ in range(3):
    try:
        print("returned", len(client.shell("bulk %s 523262 %s" % (sys.argv[2], sys.argv[4]))))
    except MemoryError as e:
        print("MemoryError", e)
    gc.collect()
    print(status("VmRSS"), client.shell("next"), client.hilog(None), end="")
"""


@pytest.mark.parametrize("unit, headroom", [("ab\u4e2d", 200 * MIB), ("a\u00e9", 110 * MIB)],
                         ids=["mixed", "latin-1"])
def test_non_ascii_str_out_of_memory_leaves_nothing_behind(soak_server, unit, headroom):
    total = 48 * MIB // len(unit.encode()) * len(unit.encode())
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", REPEATED, soak_server, str(total), str(headroom), unit],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    # The client keeps the block the output was received into (its pages lent
    # to the kernel, resident until it takes them): once, not per call.
    start = int(lines[0]) + total * 9 // 8 + 8 * MIB
    for outcome, after in zip(lines[1::2], lines[2::2]):
        if PYPY or not outcome.startswith("returned"):
            assert outcome.startswith("MemoryError Out of memory: no room for a str of %d bytes" % total), lines
        else:
            assert outcome == "returned %d" % (total // len(unit.encode()) * len(unit)), lines
        rss, *replies = after.split()
        assert replies == ["out", "log"]
        assert int(rss) < start + 16 * MIB, lines
    assert len(lines) == 7, lines
