"""Where a contender's time goes on one workload: system calls per operation and
a perf profile by library and by function. Needs perf (linux-perf) and root.

    python3 profile.py --server BIN --baseline BIN [--interpreter pypy|cpython] [--site DIR]
                       [--floor DIR] [--client kelpie|floor|pure|baseline]
                       [--utf8] list_targets COUNT | shell|hilog TOTAL PACKET | construct COUNT

System calls are counted with the raw_syscalls tracepoint (exact, unlike strace,
which slows the client enough to change which reads find data waiting), in two
runs of different sizes; the difference divided by the extra operations (calls,
packets or clients) is the cost of one operation, start-up excluded.
"""

import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from driver import DEFAULT_PYTHON, BenchServer, Contenders  # noqa: E402
from workloads import Workload  # noqa: E402

# System call numbers of the two ABIs the contenders run under.
NAMES = {
    32: {3: "read", 4: "write", 6: "close", 45: "brk", 91: "munmap", 102: "socketcall", 163: "mremap",
         192: "mmap2", 254: "epoll_create", 255: "epoll_ctl", 256: "epoll_wait", 265: "clock_gettime",
         328: "eventfd2", 329: "epoll_create1", 359: "socket", 362: "connect", 369: "sendto", 371: "recvfrom",
         403: "clock_gettime64", 168: "poll", 221: "fcntl64", 55: "fcntl", 366: "setsockopt", 367: "getsockname",
         368: "getpeername", 140: "_llseek", 295: "openat", 383: "statx", 240: "futex", 120: "clone"},
    64: {0: "read", 1: "write", 3: "close", 7: "poll", 9: "mmap", 11: "munmap", 12: "brk", 25: "mremap",
         41: "socket", 42: "connect", 44: "sendto", 45: "recvfrom", 51: "getsockname", 52: "getpeername",
         54: "setsockopt", 72: "fcntl", 202: "futex", 228: "clock_gettime", 232: "epoll_wait", 233: "epoll_ctl",
         281: "epoll_pwait", 290: "eventfd2", 291: "epoll_create1", 257: "openat", 262: "newfstatat"},
}


def operations(workload):
    """How many operations a run performs: calls, reply packets, or clients."""
    if workload.verb in ("list_targets", "construct"):
        return workload.args[0]
    total, packet = workload.args[:2]
    return -(-total // (packet - 2))


def syscall_counts(command, env):
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        subprocess.run(["perf", "record", "-q", "-e", "raw_syscalls:sys_enter", "-o", data] + command,
                       env=env, check=True, stdout=subprocess.DEVNULL)
        script = subprocess.run(["perf", "script", "-i", data, "-F", "trace"], capture_output=True, text=True).stdout
    return collections.Counter(int(n) for n in re.findall(r"NR (\d+)", script))


def per_operation(small, large, extra_ops, bits):
    out = {}
    for nr in set(small) | set(large):
        per = (large[nr] - small[nr]) / extra_ops
        if abs(per) >= 0.005:
            out[NAMES[bits].get(nr, "nr %d" % nr)] = per
    return dict(sorted(out.items(), key=lambda kv: -kv[1]))


def perf_report(command, env, lines):
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        subprocess.run(["perf", "record", "-q", "-F", "10000", "-o", data] + command, env=env, check=True,
                       stdout=subprocess.DEVNULL)
        for sort in ("dso", "dso,sym"):
            report = subprocess.run(["perf", "report", "-i", data, "--no-children", "--sort", sort, "--stdio"],
                                    capture_output=True, text=True).stdout
            rows = [r for r in report.splitlines() if r.strip() and not r.startswith("#")]
            print("\n".join(rows[:lines]) + "\n")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--server", required=True)
    p.add_argument("--baseline", required=True)
    p.add_argument("--interpreter", choices=sorted(DEFAULT_PYTHON), default="pypy")
    p.add_argument("--python")
    p.add_argument("--site")
    p.add_argument("--floor", help="folder holding the bench_floor module (for --client floor)")
    p.add_argument("--client", choices=("kelpie", "floor", "pure", "baseline"), default="kelpie")
    p.add_argument("--lines", type=int, default=30, help="rows of each perf table")
    p.add_argument("--utf8", action="store_true", help="the server's multilingual text for shell and hilog")
    p.add_argument("verb", choices=("list_targets", "shell", "hilog", "construct"))
    p.add_argument("numbers", type=int, nargs="+")
    opts = p.parse_args(argv)
    opts.python = opts.python or DEFAULT_PYTHON[opts.interpreter]
    opts.timeout = 600
    text = "utf8" if opts.utf8 else "ascii"
    large = Workload("profile", "", opts.verb, opts.numbers, text)
    small_args = [max(1, opts.numbers[0] // 10)] + opts.numbers[1:]
    small = Workload("profile", "", opts.verb, small_args, text)
    streams = [w.stream for w in (small, large) if w.stream]
    server = BenchServer(opts.server, streams)
    try:
        contenders = Contenders(opts, server.addr)
        contenders.env["BENCH_SKIP_CHECKSUM"] = "1"  # profile the workload, not the driver's check
        bits = 32 if opts.client == "baseline" or opts.interpreter == "pypy" else 64
        counts = [syscall_counts(contenders.command(opts.client, w), contenders.env) for w in (small, large)]
        extra = operations(large) - operations(small)
        unit = {"list_targets": "call", "construct": "client"}.get(opts.verb, "reply packet")
        per = per_operation(counts[0], counts[1], extra, bits)
        print("%s, %s %s: system calls per %s: %.2f" % (opts.client, opts.verb, " ".join(map(str, opts.numbers)),
                                                      unit, sum(per.values())))
        print("  " + ", ".join("%s %.2f" % kv for kv in per.items()) + "\n")
        perf_report(contenders.command(opts.client, large), contenders.env, opts.lines)
    finally:
        server.close()


if __name__ == "__main__":
    main()
