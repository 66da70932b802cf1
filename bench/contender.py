"""Runs one workload with one Python client and prints its outcome as one JSON line.

    python contender.py kelpie|floor|pure ADDR list_targets COUNT
    python contender.py kelpie|floor|pure ADDR shell|hilog [utf8] TOTAL PACKET [CALLS]
    python contender.py kelpie|floor|pure ADDR construct COUNT

With BENCH_SKIP_CHECKSUM set (for profiling) the checksum is left out (0).
The fields are those of the C++ baseline client: count, bytes and checksum (the
CRC-32 of the output, as zlib computes it) for the driver's checks; wall and CPU
seconds of the workload alone; peak resident memory and the resident memory of
the idle interpreter (client built, workload not started), in KiB; for bulk
workloads also the largest free stretch of address space then, in MiB. With "utf8"
the server sends its multilingual text ("shell utf8 TOTAL PACKET").

A bulk workload makes CALLS calls in a row (default 1) as user code does,
`out = client.shell(...)`: no collection forced between them, each output
dropped when the next is assigned. Only the calls are timed (the assignment, and
so on CPython the freeing of the previous output, included); each output is
checksummed after its call, outside the time, in a way that adds next to nothing
to the peak (see `checksum`). count is the calls, bytes their sum, checksums one
per call; first_wall_s and first_peak_rss_kb are the first call's, as a single
call in a fresh process would measure it.
"""

import gc
import json
import os
import platform
import resource
import sys
import time
import zlib

IS_PYPY = platform.python_implementation() == "PyPy"
DEVICE = "bench-device"
# Under PyPy a dropped client is freed by the garbage collector, not at once:
# its socket stays open until the next major collection. The workload leaves
# that to the interpreter and collects once at the end, inside the timed part,
# so every client is closed when the clock stops. Only when the descriptor
# limit could not hold the dropped clients meanwhile does it collect sooner.
DESCRIPTORS_PER_CLIENT = 2  # a socket, and room for what the interpreter keeps


def client_class(name):
    if name == "kelpie":
        import kelpie
        return kelpie.HdcClient
    if name == "floor":
        import bench_floor
        return bench_floor.Client
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from pure_python_client import PurePythonClient
    return PurePythonClient


def cpu_seconds():
    """User and system CPU seconds of the whole process (every thread)."""
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return ru.ru_utime, ru.ru_stime


def status_kb(field):
    """A field of /proc/self/status in KiB: VmRSS now, VmHWM at its peak. (ru_maxrss
    would do, but it carries over the parent's peak across exec.)"""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def largest_free_stretch_mib():
    """The largest stretch of address space below the top mapping that nothing
    maps (/proc/self/maps), in MiB: on a 32-bit process, the largest block one
    allocation can still get."""
    largest = previous_end = 0
    with open("/proc/self/maps") as maps:
        for line in maps:
            start, end = (int(x, 16) for x in line.split()[0].split("-"))
            largest = max(largest, start - previous_end)
            previous_end = end
    return largest / 1048576.0


def list_targets(client, calls):
    expected = [DEVICE]
    first = None
    wrong = 0
    for _ in range(calls):
        targets = client.list_targets()
        if targets != expected:
            wrong += 1
        if first is None:
            first = targets
    return calls - wrong, (calls - wrong) * len(DEVICE), "\n".join(first or [])


CHECKSUM_CHUNK = 256 << 10


def checksum(text):
    """CRC-32 and length of the UTF-8 of `text`, without a second copy of it in
    memory: PyPy keeps a str as UTF-8 and its encode() hands out those very bytes,
    while CPython's copies, so there it goes a piece at a time."""
    if IS_PYPY:
        data = text.encode("utf-8")
        return zlib.crc32(data), len(data)
    crc = size = 0
    for at in range(0, len(text), CHECKSUM_CHUNK):
        data = text[at:at + CHECKSUM_CHUNK].encode("utf-8")
        crc = zlib.crc32(data, crc)
        size += len(data)
    return crc, size


def bulk(client, verb, text, total, packet, calls):
    args = "%s %d %d" % (text, total, packet)
    call = client.shell if verb == "shell" else client.hilog
    skip = bool(os.environ.get("BENCH_SKIP_CHECKSUM"))
    wall = user = system = 0.0
    loop = {"checksums": [], "bytes": 0}
    out = None
    for i in range(calls):
        wall0, (user0, sys0) = time.perf_counter(), cpu_seconds()
        out = call(args)
        wall1, (user1, sys1) = time.perf_counter(), cpu_seconds()
        wall += wall1 - wall0
        user += user1 - user0
        system += sys1 - sys0
        if i == 0:
            loop["first_wall_s"] = wall1 - wall0
            loop["first_peak_rss_kb"] = status_kb("VmHWM:")
        crc, size = (0, len(out)) if skip else checksum(out)
        loop["checksums"].append(crc)
        loop["bytes"] += size
    del out
    return loop, wall, user, system


def collect_every(count):
    """How many clients may be dropped between collections on PyPy."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = count * DESCRIPTORS_PER_CLIENT + 256
    if soft != resource.RLIM_INFINITY and soft < wanted:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(wanted, hard), hard))
        except (ValueError, OSError):
            pass
        soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    if soft == resource.RLIM_INFINITY or soft >= wanted:
        return count
    return max(1, (soft - 256) // DESCRIPTORS_PER_CLIENT)


def construct(cls, addr, count, every):
    for i in range(count):
        client = cls(addr)
        del client
        if IS_PYPY and i % every == every - 1:
            gc.collect()
    if IS_PYPY:
        gc.collect()
    return count, 0, None


def main(argv):
    name, addr, workload = argv[1], argv[2], argv[3]
    text = "utf8" if argv[4:5] == ["utf8"] else "bulk"
    numbers = [int(a) for a in argv[5 if text == "utf8" else 4:]]
    cls = client_class(name)
    client = cls(addr) if workload != "construct" else None
    every = collect_every(numbers[0]) if workload == "construct" else 0
    gc.collect()
    idle_kb = status_kb("VmRSS:")
    free_mib = largest_free_stretch_mib()
    if workload in ("shell", "hilog"):
        calls = numbers[2] if len(numbers) > 2 else 1
        loop, wall, user, system = bulk(client, workload, text, numbers[0], numbers[1], calls)
        print(json.dumps(dict(loop, client=name, workload=workload, count=calls, checksum=0, wall_s=wall,
                              cpu_s=user + system, user_s=user, sys_s=system, peak_rss_kb=status_kb("VmHWM:"),
                              idle_rss_kb=idle_kb, idle_free_stretch_mib=free_mib)))
        return
    wall0, cpu0 = time.perf_counter(), cpu_seconds()
    if workload == "list_targets":
        count, nbytes, output = list_targets(client, numbers[0])
    elif workload == "construct":
        count, nbytes, output = construct(cls, addr, numbers[0], every)
    else:
        raise SystemExit("unknown workload: " + workload)
    wall, (user1, sys1) = time.perf_counter() - wall0, cpu_seconds()
    user, system = user1 - cpu0[0], sys1 - cpu0[1]
    peak_kb = status_kb("VmHWM:")
    crc = 0
    if output is not None and not os.environ.get("BENCH_SKIP_CHECKSUM"):
        crc = zlib.crc32(output.encode("utf-8"))
    print(json.dumps({"client": name, "workload": workload, "count": count, "bytes": nbytes, "checksum": crc,
                      "wall_s": wall, "cpu_s": user + system,
                      "user_s": user, "sys_s": system, "peak_rss_kb": peak_kb, "idle_rss_kb": idle_kb}))


if __name__ == "__main__":
    main(sys.argv)
