"""Runs the benchmark: kelpie, the floor (a minimal C extension client), a
pure-Python client and the C++ baseline client against the benchmark server,
each run in a process of its own, alternating their order over the rounds
(A B C D, then D C B A). Every result is checked against what the server sent;
the medians, their ratios and the goals are printed as one table and written as
JSON, Markdown and a PNG chart.

    python3 driver.py --server BIN --baseline BIN --floor DIR [--interpreter pypy|cpython]
                      [--python EXE] [--site DIR] [--rounds N] [--calls N] [--quick] [--big]
                      [--only KEY,...] [--out DIR]

Exit status 1 when a contender failed or returned a wrong result (and, with
--require-goals, when a goal is missed).
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import report  # noqa: E402
from workloads import GOALS, big_workloads, figures, workloads  # noqa: E402

CONTENDERS = ("kelpie", "floor", "pure", "baseline")
DEFAULT_PYTHON = {"pypy": "pypy3", "cpython": "/usr/bin/python3"}


class BenchServer:
    """The benchmark server in its own process; it exits when our end of its stdin closes.

    `addr` serves every workload; `fresh_addr()` gives another port of the same
    server, unused so far when enough were asked for, for the runs that open
    thousands of connections (see server.cpp on TIME_WAIT)."""

    def __init__(self, binary, streams, extra_ports=0):
        cmd = [binary, "--watch-stdin", "--extra-ports", str(extra_ports)]
        for text, total, packet in streams:
            cmd += ["--prepare", "%s%d:%d" % ("utf8:" if text == "utf8" else "", total, packet)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.crcs = {}
        self._extra = []
        self._next = 0
        for line in self.proc.stdout:
            if line.startswith("listening on "):
                self.addr = line.split()[-1]
                return
            record = json.loads(line)
            if "extra_ports" in record:
                self._extra = ["127.0.0.1:%d" % port for port in record["extra_ports"]]
            else:
                self.crcs[(record["text"], record["total"], record["packet"])] = record["crc32"]
        raise RuntimeError("the benchmark server did not start (status %s)" % self.proc.wait())

    def fresh_addr(self):
        if not self._extra:
            return self.addr
        addr = self._extra[self._next % len(self._extra)]
        self._next += 1
        return addr

    def cpu_seconds(self):
        """CPU time the server has used so far."""
        try:
            with open("/proc/%d/schedstat" % self.proc.pid) as f:
                return int(f.read().split()[0]) / 1e9
        except OSError:
            with open("/proc/%d/stat" % self.proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Contenders:
    """How to start each contender on a workload."""

    def __init__(self, opts, addr):
        self.addr = addr
        self.python = opts.python
        self.baseline = opts.baseline
        self.env = dict(os.environ)
        path = (opts.site, getattr(opts, "floor", None), self.env.get("PYTHONPATH"))
        if any(path[:2]):
            self.env["PYTHONPATH"] = os.pathsep.join(p for p in path if p)
        self.timeout = opts.timeout

    def command(self, name, workload, addr=None):
        args = [workload.verb] + workload.command_args()
        if name == "baseline":
            return [self.baseline, addr or self.addr] + args
        return [self.python, os.path.join(HERE, "contender.py"), name, addr or self.addr] + args

    def start(self, name, workload, addr=None):
        return subprocess.Popen(self.command(name, workload, addr), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, env=self.env, text=True)

    def finish(self, proc):
        """The contender's JSON line, or an error text."""
        try:
            out, err = proc.communicate(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            return None, "timed out after %d s" % self.timeout
        if proc.returncode != 0:
            return None, "exit status %d: %s" % (proc.returncode, err.strip()[-2000:])
        try:
            return json.loads(out.strip().splitlines()[-1]), None
        except (ValueError, IndexError):
            return None, "unreadable output: %r" % out[-500:]


def check(sample, workload, crcs):
    """An error text when the result differs from what the server sent."""
    expected = workload.expected(crcs)
    got = (sample["count"], sample["bytes"], sample.get("checksums", sample["checksum"]))
    if got != expected:
        return "wrong result: count, bytes, checksum %r, expected %r" % (got, expected)
    return None


def run_rounds(opts, server, contenders, plan):
    """{workload key: {contender: [sample, ...]}} and the failures met."""
    samples = {w.key: {c: [] for c in CONTENDERS} for w in plan}
    failures = []
    for rnd in range(opts.rounds):
        order = CONTENDERS if rnd % 2 == 0 else CONTENDERS[::-1]
        print("round %d of %d (%s)" % (rnd + 1, opts.rounds, " ".join(order)), file=sys.stderr, flush=True)
        for workload in plan:
            for name in order:
                addr = server.fresh_addr() if workload.verb == "construct" else None
                cpu0 = server.cpu_seconds()
                sample, error = contenders.finish(contenders.start(name, workload, addr))
                server_cpu = server.cpu_seconds() - cpu0
                error = error or check(sample, workload, server.crcs)
                if error:
                    failures.append("%s, %s, round %d: %s" % (name, workload.key, rnd + 1, error))
                    print("  FAILED: " + failures[-1], file=sys.stderr, flush=True)
                    continue
                sample["server_cpu_s"] = server_cpu
                sample["figures"] = figures(workload.verb, sample)
                samples[workload.key][name].append(sample)
    return samples, failures


def medians(samples):
    out = {}
    for key, by_contender in samples.items():
        out[key] = {}
        for name, runs in by_contender.items():
            if runs:
                out[key][name] = {f: statistics.median(r["figures"][f] for r in runs) for f in runs[0]["figures"]}
    return out


def headroom(opts, server, contenders, plan, failures):
    """Two baseline clients at once against one: whether the server has room to spare."""
    rate = {"list_targets": "calls_per_s", "construct": "clients_per_s"}
    out = {}
    for workload in plan:
        if workload.key not in ("list_targets", "shell_523264", "shell_4096", "construct"):
            continue
        fig = rate.get(workload.verb, "mb_per_s")
        single, pair = [], []
        for _ in range(opts.headroom_repeats):
            addr = server.fresh_addr() if workload.verb == "construct" else None
            sample, error = contenders.finish(contenders.start("baseline", workload, addr))
            if error or check(sample, workload, server.crcs):
                failures.append("baseline alone, %s: %s" % (workload.key, error or "wrong result"))
                continue
            single.append(figures(workload.verb, sample)[fig])
            addrs = [server.fresh_addr() if workload.verb == "construct" else None for _ in range(2)]
            procs = [contenders.start("baseline", workload, addr) for addr in addrs]
            results = [contenders.finish(p) for p in procs]
            if any(e or check(s, workload, server.crcs) for s, e in results):
                failures.append("two baselines, %s: %s" % (workload.key, [e for _, e in results]))
                continue
            pair.append(sum(figures(workload.verb, s)[fig] for s, _ in results))
        if single and pair:
            out[workload.key] = {"figure": fig, "one_client": statistics.median(single),
                                 "two_clients": statistics.median(pair)}
    return out


def big(server, contenders, bigs):
    """{workload key: {contender: outcome}}: one shell call returning 1 GiB per
    contender, of each text: whether it comes back whole, how fast, and the peak
    memory it took. A failure here is a finding, not a fault of the kit."""
    return {workload.key: big_one(server, contenders, workload) for workload in bigs}


def big_one(server, contenders, workload):
    out = {}
    for name in CONTENDERS:
        print("%s: %s" % (workload.title, name), file=sys.stderr, flush=True)
        sample, error = contenders.finish(contenders.start(name, workload))
        error = error or check(sample, workload, server.crcs)
        if error:
            # The head of the error (exit status) and its last line (the exception).
            lines = [line.strip() for line in error.splitlines() if line.strip()]
            head, _, _ = lines[0].partition(":")
            out[name] = {"whole": False, "error": (head + ": " + lines[-1] if len(lines) > 1 else lines[0])[-300:]}
            continue
        fig = figures(workload.verb, sample)
        out[name] = {"whole": True, "mb_per_s": fig["mb_per_s"], "peak_above_idle_mib": fig["peak_above_idle_mib"],
                     "peak_rss_mib": sample["peak_rss_kb"] / 1024.0,
                     "idle_free_stretch_mib": sample.get("idle_free_stretch_mib")}
    return out


def machine():
    with open("/proc/loadavg") as f:
        load = f.read().split()[:3]
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        pass
    return {"cpus": os.cpu_count(), "cpu_model": model, "load_average": [float(x) for x in load],
            "kernel": platform.release()}


def interpreter_version(python):
    code = ("import platform, struct; print('%s %s, %d-bit' % (platform.python_implementation(), "
            "platform.python_version(), 8 * struct.calcsize('P')))")
    return subprocess.run([python, "-c", code], capture_output=True, text=True).stdout.strip()


def select(opts):
    """The workloads of the rounds and the 1 GiB calls, as --only and --big ask."""
    plan, bigs = workloads(opts.quick, opts.calls), big_workloads() if opts.big else []
    if not opts.only:
        return plan, bigs
    only = set(opts.only.split(","))
    unknown = only - {w.key for w in workloads() + big_workloads()}
    if unknown:
        raise SystemExit("driver: unknown workloads: %s" % ", ".join(sorted(unknown)))
    plan = [w for w in plan if w.key in only]
    if any(w.key in only for w in bigs):
        bigs = [w for w in bigs if w.key in only]
    return plan, bigs


def parse_args(argv):
    p = argparse.ArgumentParser(description="kelpie against the floor, a pure-Python client and a C++ baseline client")
    p.add_argument("--server", required=True, help="the benchmark server binary")
    p.add_argument("--baseline", required=True, help="the C++ baseline client binary")
    p.add_argument("--floor", required=True, help="folder holding the bench_floor module built for the interpreter")
    p.add_argument("--interpreter", choices=sorted(DEFAULT_PYTHON), default="pypy")
    p.add_argument("--python", help="interpreter for kelpie and the pure-Python client (default: by --interpreter)")
    p.add_argument("--site", help="folder holding the kelpie module, put on PYTHONPATH")
    p.add_argument("--rounds", type=int, help="rounds of all contenders (default 10, 2 with --quick)")
    p.add_argument("--calls", type=int, default=8, help="calls in a row of each bulk run (default 8)")
    p.add_argument("--quick", action="store_true", help="small workloads, for a smoke test")
    p.add_argument("--big", action="store_true",
                   help="also one shell call returning 1 GiB per contender, of ASCII and of UTF-8 text")
    p.add_argument("--only", help="the workloads to run, by key, comma-separated (e.g. shell_utf8_4096,"
                   "hilog_utf8_65536; with --big, naming shell_1gib or shell_utf8_1gib picks among those too)")
    p.add_argument("--out", help="folder for results-<interpreter>.json, .md and .png")
    p.add_argument("--no-chart", action="store_true")
    p.add_argument("--headroom-repeats", type=int, help="repeats of the server headroom check (0: skip)")
    p.add_argument("--require-goals", action="store_true", help="exit 1 when a goal is missed")
    p.add_argument("--timeout", type=int, default=600, help="seconds allowed to one contender run")
    opts = p.parse_args(argv)
    opts.python = opts.python or DEFAULT_PYTHON[opts.interpreter]
    opts.rounds = opts.rounds or (2 if opts.quick else 10)
    if opts.headroom_repeats is None:
        opts.headroom_repeats = 1 if opts.quick else 3
    return opts


def main(argv=None):
    opts = parse_args(argv)
    plan, bigs = select(opts)
    load_before = machine()["load_average"]
    started = time.time()
    construct_runs = len(CONTENDERS) * opts.rounds + 3 * opts.headroom_repeats
    streams = {w.stream for w in plan + bigs if w.stream}
    server = BenchServer(opts.server, sorted(streams), construct_runs)
    try:
        contenders = Contenders(opts, server.addr)
        samples, failures = run_rounds(opts, server, contenders, plan)
        spare = headroom(opts, server, contenders, plan, failures) if opts.headroom_repeats > 0 else {}
        big_runs = big(server, contenders, bigs)
    finally:
        server.close()
    result = {
        "interpreter": opts.interpreter,
        "python": interpreter_version(opts.python),
        "quick": opts.quick,
        "rounds": opts.rounds,
        "calls": opts.calls,
        "started": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(started)),
        "seconds": round(time.time() - started, 1),
        "machine": dict(machine(), load_average_before=load_before),
        "workloads": {w.key: {"title": w.title, "verb": w.verb, "args": w.args} for w in plan},
        "medians": medians(samples),
        "samples": samples,
        "server_headroom": spare,
        "big": big_runs,
        "failures": failures,
    }
    keys = {w.key for w in plan}
    result["goals"] = report.evaluate_goals(result["medians"], [g for g in GOALS[opts.interpreter] if g[0] in keys])
    table = report.render(result)
    print(table)
    if opts.out:
        os.makedirs(opts.out, exist_ok=True)
        stem = os.path.join(opts.out, "results-%s" % opts.interpreter)
        with open(stem + ".json", "w") as f:
            json.dump(result, f, indent=1, sort_keys=True)
        with open(stem + ".md", "w") as f:
            f.write(table + "\n")
        if not opts.no_chart:
            print(report.chart(result, stem + ".png"))
    if failures:
        return 1
    if opts.require_goals and not all(g["met"] for g in result["goals"]):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
