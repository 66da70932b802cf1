"""The benchmark's workloads, its goals, and the figures taken from each run."""

import zlib

MIB = 1 << 20
GIB = 1 << 30
DEVICE = b"bench-device"
BULK = ("shell_523264", "shell_4096", "hilog_65536")
UTF8 = ("shell_utf8_523264", "shell_utf8_4096", "hilog_utf8_65536")


class Workload:
    """One measured task. `args` are the command-line arguments after the workload
    word for every contender (a bulk one: total, packet, calls); `text` is "utf8"
    for the server's multilingual text, which the contenders are told by a word
    before the numbers; `stream` is the server stream it reads, if any, as
    (text, total, packet) with text "ascii" or "utf8"."""

    def __init__(self, key, title, verb, args, text="ascii"):
        self.key, self.title, self.verb, self.args, self.text = key, title, verb, args, text
        self.stream = (text, args[0], args[1]) if verb in ("shell", "hilog") else None

    def command_args(self):
        """The arguments after the workload word on a contender's command line."""
        return (["utf8"] if self.text == "utf8" else []) + [str(a) for a in self.args]

    def expected(self, stream_crcs):
        """(count, bytes, checksums) a correct client reports."""
        if self.verb == "list_targets":
            calls = self.args[0]
            return calls, calls * len(DEVICE), zlib.crc32(DEVICE)
        if self.verb == "construct":
            return self.args[0], 0, 0
        total, packet, calls = self.args
        return calls, calls * total, [stream_crcs[self.stream]] * calls


def workloads(quick=False, calls=8):
    """The measured workloads; bulk ones make `calls` calls in a row in one process."""
    count, bulk, clients = (1000, 2 * MIB, 100) if quick else (20000, 64 * MIB, 2000)
    size = "%d MiB" % (bulk // MIB)
    loop = ", %d calls in a row" % calls if calls > 1 else ""

    def bulk_workload(verb, packet, text="ascii"):
        key = "%s_%s%d" % (verb, "utf8_" if text == "utf8" else "", packet)
        title = "%s %s%s, %d-byte packets%s" % (verb, size, " UTF-8" if text == "utf8" else "", packet, loop)
        return Workload(key, title, verb, [bulk, packet, calls], text)

    return [
        Workload("list_targets", "list_targets x%d" % count, "list_targets", [count]),
        bulk_workload("shell", 523264),
        bulk_workload("shell", 4096),
        bulk_workload("hilog", 65536),
        bulk_workload("shell", 523264, "utf8"),
        bulk_workload("shell", 4096, "utf8"),
        bulk_workload("hilog", 65536, "utf8"),
        Workload("construct", "construct and drop x%d" % clients, "construct", [clients]),
    ]


def big_workloads():
    """One shell call returning 1 GiB, of ASCII and of UTF-8: whether a client can hold it at all."""
    return [Workload("shell_1gib", "shell 1 GiB, 523264-byte packets, one call", "shell", [GIB, 523264, 1]),
            Workload("shell_utf8_1gib", "shell 1 GiB UTF-8, 523264-byte packets, one call", "shell",
                     [GIB, 523264, 1], "utf8")]


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
    ("shell_523264", "mb_per_s", "floor", "min", 0.9),
    ("shell_4096", "mb_per_s", "floor", "min", 0.9),
    ("hilog_65536", "mb_per_s", "floor", "min", 0.9),
    ("construct", "clients_per_s", "floor", "min", 0.85),
] + [(key, "peak_above_idle_x_output", "floor", "max", 1.1) for key in BULK + UTF8]


def _peak_at_most(ratio, keys=BULK):
    return [(key, "peak_above_idle_x_output", "output", "max", ratio) for key in keys]


# Multilingual text against the floor's fastest correct route on the same interpreter.
_UTF8 = [(key, "mb_per_s", "floor", "min", 0.9) for key in UTF8]

GOALS = {
    "pypy": _BOTH + [
        ("shell_523264", "mb_per_s", "pure", "min", 1.2),
        ("shell_4096", "mb_per_s", "pure", "min", 1.2),
    ] + _peak_at_most(4.0) + _UTF8 + [(key, "peak_above_idle_x_output", "floor", "max", 1.0) for key in UTF8],
    "cpython": _BOTH + _peak_at_most(2.2) + _UTF8 + _peak_at_most(2.2, UTF8),
}
