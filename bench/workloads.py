"""The benchmark's workloads, its goals, and the figures taken from each run."""

import zlib

MIB = 1 << 20
GIB = 1 << 30
DEVICE = b"bench-device"
BULK = ("shell_523264", "shell_4096", "hilog_65536")


class Workload:
    """One measured task. `args` are the command-line arguments after the workload
    word for every contender (a bulk one: total, packet, calls); `stream` is the
    server stream it reads, if any."""

    def __init__(self, key, title, verb, args, stream=None):
        self.key, self.title, self.verb, self.args, self.stream = key, title, verb, args, stream

    def expected(self, stream_crcs):
        """(count, bytes, checksums) a correct client reports."""
        if self.verb == "list_targets":
            calls = self.args[0]
            return calls, calls * len(DEVICE), zlib.crc32(DEVICE)
        if self.verb == "construct":
            return self.args[0], 0, 0
        total, packet, calls = self.args
        return calls, calls * total, [stream_crcs[(total, packet)]] * calls


def workloads(quick=False, calls=8):
    """The measured workloads; bulk ones make `calls` calls in a row in one process."""
    count, bulk, clients = (1000, 2 * MIB, 100) if quick else (20000, 64 * MIB, 2000)
    size = "%d MiB" % (bulk // MIB)
    loop = ", %d calls in a row" % calls if calls > 1 else ""
    return [
        Workload("list_targets", "list_targets x%d" % count, "list_targets", [count]),
        Workload("shell_523264", "shell %s, 523264-byte packets%s" % (size, loop), "shell", [bulk, 523264, calls],
                 (bulk, 523264)),
        Workload("shell_4096", "shell %s, 4096-byte packets%s" % (size, loop), "shell", [bulk, 4096, calls],
                 (bulk, 4096)),
        Workload("hilog_65536", "hilog %s, 65536-byte packets%s" % (size, loop), "hilog", [bulk, 65536, calls],
                 (bulk, 65536)),
        Workload("construct", "construct and drop x%d" % clients, "construct", [clients]),
    ]


def big_workload():
    """One shell call returning 1 GiB: whether a client can hold it at all."""
    return Workload("shell_1gib", "shell 1 GiB, 523264-byte packets, one call", "shell", [GIB, 523264, 1],
                    (GIB, 523264))


def figures(verb, sample):
    """The figures of one run of one contender, by name."""
    wall, cpu, count = sample["wall_s"], sample["cpu_s"], sample["count"]
    if verb == "list_targets":
        return {"calls_per_s": count / wall, "cpu_us_per_call": cpu / count * 1e6}
    if verb == "construct":
        return {"clients_per_s": count / wall, "cpu_us_per_client": cpu / count * 1e6}
    output = sample["bytes"] / count  # of one call
    above_idle_kb = max(0, sample["peak_rss_kb"] - sample["idle_rss_kb"])
    first_above_idle_kb = max(0, sample["first_peak_rss_kb"] - sample["idle_rss_kb"])
    return {"mb_per_s": sample["bytes"] / wall / 1e6,
            "cpu_s_per_call": cpu / count,
            "peak_above_idle_mib": above_idle_kb / 1024.0,
            "peak_above_idle_x_output": above_idle_kb * 1024.0 / output,
            "first_mb_per_s": output / sample["first_wall_s"] / 1e6,
            "first_peak_above_idle_mib": first_above_idle_kb / 1024.0,
            "first_peak_above_idle_x_output": first_above_idle_kb * 1024.0 / output}


# Per interpreter: (workload, figure, compared with, "min" or "max", ratio).
# "output" compares the figure itself (already a multiple of the output size)
# with the ratio. The bulk workloads are loops of calls in one process.
_BOTH = [
    ("list_targets", "calls_per_s", "floor", "min", 0.95),
    ("list_targets", "cpu_us_per_call", "floor", "max", 1.15),
    ("shell_523264", "mb_per_s", "floor", "min", 0.85),
    ("shell_4096", "mb_per_s", "floor", "min", 0.85),
    ("hilog_65536", "mb_per_s", "floor", "min", 0.85),
    ("construct", "clients_per_s", "floor", "min", 0.85),
]


def _peak_at_most(ratio):
    return [(key, "peak_above_idle_x_output", "output", "max", ratio) for key in BULK]


GOALS = {
    "pypy": _BOTH + [
        ("shell_523264", "mb_per_s", "pure", "min", 1.2),
        ("shell_4096", "mb_per_s", "pure", "min", 1.2),
    ] + _peak_at_most(4.0),
    "cpython": _BOTH + _peak_at_most(2.2),
}
