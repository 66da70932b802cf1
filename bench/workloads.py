"""The benchmark's workloads, its goals, and the figures taken from each run."""

import zlib

MIB = 1 << 20
DEVICE = b"bench-device"


class Workload:
    """One measured task. `args` are the command-line arguments after the workload
    word for every contender; `stream` is the server stream it reads, if any."""

    def __init__(self, key, title, verb, args, stream=None):
        self.key, self.title, self.verb, self.args, self.stream = key, title, verb, args, stream

    def expected(self, stream_crcs):
        """(count, bytes, checksum) a correct client reports."""
        if self.verb == "list_targets":
            calls = self.args[0]
            return calls, calls * len(DEVICE), zlib.crc32(DEVICE)
        if self.verb == "construct":
            return self.args[0], 0, 0
        total, packet = self.args
        return 1, total, stream_crcs[(total, packet)]


def workloads(quick=False):
    calls, bulk, clients = (1000, 2 * MIB, 100) if quick else (20000, 64 * MIB, 2000)
    size = "%d MiB" % (bulk // MIB)
    return [
        Workload("list_targets", "list_targets x%d" % calls, "list_targets", [calls]),
        Workload("shell_523264", "shell %s, 523264-byte packets" % size, "shell", [bulk, 523264], (bulk, 523264)),
        Workload("shell_4096", "shell %s, 4096-byte packets" % size, "shell", [bulk, 4096], (bulk, 4096)),
        Workload("hilog_65536", "hilog %s, 65536-byte packets" % size, "hilog", [bulk, 65536], (bulk, 65536)),
        Workload("construct", "construct and drop x%d" % clients, "construct", [clients]),
    ]


def figures(verb, sample):
    """The figures of one run of one contender, by name."""
    wall, cpu, count = sample["wall_s"], sample["cpu_s"], sample["count"]
    above_idle_kb = max(0, sample["peak_rss_kb"] - sample["idle_rss_kb"])
    if verb == "list_targets":
        return {"calls_per_s": count / wall, "cpu_us_per_call": cpu / count * 1e6}
    if verb == "construct":
        return {"clients_per_s": count / wall, "cpu_us_per_client": cpu / count * 1e6}
    return {"mb_per_s": sample["bytes"] / wall / 1e6,
            "cpu_s": cpu,
            "peak_above_idle_mib": above_idle_kb / 1024.0,
            "peak_above_idle_x_output": above_idle_kb * 1024.0 / sample["bytes"]}


# (workload, figure, compared with, "min" or "max", ratio). "output" compares the
# figure itself (already a multiple of the output size) with the ratio.
GOALS = [
    ("list_targets", "calls_per_s", "baseline", "min", 0.95),
    ("list_targets", "cpu_us_per_call", "baseline", "max", 1.25),
    ("shell_523264", "mb_per_s", "baseline", "min", 0.5),
    ("shell_523264", "mb_per_s", "pure", "min", 3.0),
    ("shell_523264", "peak_above_idle_x_output", "output", "max", 2.2),
    ("shell_4096", "mb_per_s", "baseline", "min", 0.4),
    ("shell_4096", "mb_per_s", "pure", "min", 4.0),
    ("construct", "clients_per_s", "baseline", "min", 0.8),
]
