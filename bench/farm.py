"""The farm benchmark: what the farm plugin costs a suite, and what it saves.

A suite of 64 tests, each spending half a second on its device (the simulated shell's
`sleep 0.5`), on a simulated farm of 8 devices (--hdc-sim 8), timed as a user would time it,
from the start of `python -m pytest` to its end, three ways:

    serial   without xdist: every test on the first device, one after another
    farm     -n auto: one worker a device
    floor    the same 64 half-second waits with no device at all (time.sleep), under plain
             xdist with 8 workers and the farm plugin off: what xdist alone costs

Goals: farm within 1.1x the floor's wall time (what the plugin adds: discovery, leases,
simulators, the checks around each test), and at least 5x faster than serial on CPython.

With --overhead, what the plugin adds to each passing test instead: the same test (a client
bound to the worker's device, `shell("echo ok")`) run 300 times under xdist with 2 workers on
2 chattering simulated devices (each logging 1,000 lines a second into a 65,536-line buffer),
once with the plugin (`hdc_device`) and once under plain xdist (the test makes its client
itself, the plugin off). Each test notes when it starts; a test's cost is the time from its
start to the next one's on the same worker, hooks, fixtures and xdist's messages included.
Goal: the plugin's median at most 5 ms above plain xdist's.

    python3 bench/farm.py --interpreter pypy --site .build/site-pypy [--rounds 3] [--out DIR]
    python3 bench/farm.py --overhead --interpreter pypy --site .build/site-pypy
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

TESTS, DEVICES, WAIT = 64, 8, 0.5
PYTHONS = {"pypy": "pypy3", "cpython": "/usr/bin/python3"}
GOALS = {"farm_over_floor": 1.1, "serial_over_farm": 5.0}   # the speed-up goal holds for CPython

FARM_SUITE = '''
import pytest

@pytest.mark.parametrize("i", range(%d))
def test_on_device(hdc_device, i):
    hdc_device.client.shell("sleep %s")
''' % (TESTS, WAIT)

FLOOR_SUITE = '''
import time
import pytest

@pytest.mark.parametrize("i", range(%d))
def test_no_device(i):
    time.sleep(%s)
''' % (TESTS, WAIT)

WAYS = {
    "serial": (FARM_SUITE, ["--hdc-sim", str(DEVICES)]),
    "farm": (FARM_SUITE, ["-n", "auto", "--hdc-sim", str(DEVICES)]),
    "floor": (FLOOR_SUITE, ["-n", str(DEVICES), "-p", "no:kelpie_farm"]),
}


def run_once(python, site, folder, way):
    suite, args = WAYS[way]
    path = os.path.join(folder, "test_%s.py" % way)
    with open(path, "w") as f:
        f.write(suite)
    env = dict(os.environ, PYTHONPATH=site)
    start = time.perf_counter()
    run = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", path] + args, cwd=folder,
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    took = time.perf_counter() - start
    if run.returncode != 0 or "%d passed" % TESTS not in run.stdout:
        raise SystemExit("bench: the %s run failed:\n%s" % (way, run.stdout))
    return took


OVERHEAD_TESTS, OVERHEAD_WORKERS, LOG_RATE, LOG_BUFFER = 300, 2, 1000, 65536
OVERHEAD_GOAL_MS = 5.0

# The same test either way; only where its client comes from differs.
OVERHEAD_SUITE = '''
import os, time
import pytest

@pytest.fixture
def device(request):
    if os.environ["BENCH_MODE"] == "farm":
        return request.getfixturevalue("hdc_device").client
    import kelpie
    worker = int(os.environ["PYTEST_XDIST_WORKER"][2:])
    client = kelpie.HdcClient(os.environ["BENCH_SERVER"])
    client.connect_device(os.environ["BENCH_SERIALS"].split(",")[worker])
    return client

@pytest.fixture(scope="session")
def starts():
    with open(os.path.join(os.environ["BENCH_TIMES"], os.environ["PYTEST_XDIST_WORKER"]), "w") as f:
        yield f

@pytest.mark.parametrize("i", range(%d))
def test_passing(starts, device, i):
    starts.write("%%r\\n" %% time.perf_counter())
    assert device.shell("echo ok") == "ok\\n"
''' % OVERHEAD_TESTS


def overhead_once(python, site, folder, sim, mode):
    """The cost of each test but the first on each worker, in seconds."""
    path = os.path.join(folder, "test_overhead.py")
    with open(path, "w") as f:
        f.write(OVERHEAD_SUITE)
    times = os.path.join(folder, "times-" + mode)
    os.makedirs(times, exist_ok=True)
    env = dict(os.environ, PYTHONPATH=site, BENCH_MODE=mode, BENCH_TIMES=times, BENCH_SERVER=sim.addr,
               BENCH_SERIALS=",".join(sim.devices))
    args = ["--hdc-server", sim.addr] if mode == "farm" else ["-p", "no:kelpie_farm"]
    run = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-n", str(OVERHEAD_WORKERS), path]
                         + args, cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True)
    if run.returncode != 0 or "%d passed" % OVERHEAD_TESTS not in run.stdout:
        raise SystemExit("bench: the %s run failed:\n%s" % (mode, run.stdout))
    costs = []
    for name in os.listdir(times):
        with open(os.path.join(times, name)) as f:
            starts = [float(line) for line in f]
        costs += [b - a for a, b in zip(starts, starts[1:])]
    return costs


def measure_overhead(python, site, rounds):
    """{mode: [median cost of a round]} and the machine's load before each round."""
    sys.path.insert(0, site)
    from kelpie_sim import Simulator

    medians = {"farm": [], "plain": []}
    load = []
    with tempfile.TemporaryDirectory(prefix="kelpie-farm-bench-") as folder, \
            Simulator(devices=OVERHEAD_WORKERS, log_rate=LOG_RATE, log_buffer=LOG_BUFFER) as sim:
        for r in range(rounds):
            load.append(os.getloadavg()[0])
            for mode in ("plain", "farm"):
                costs = overhead_once(python, site, folder, sim, mode)
                medians[mode].append(statistics.median(costs))
                print("  %-5s round %d: median %.2f ms a test (%d tests)" % (
                    mode, r + 1, medians[mode][-1] * 1e3, len(costs)), file=sys.stderr, flush=True)
    return medians, load


def overhead_result(interpreter, medians, load):
    med = {mode: statistics.median(m) for mode, m in medians.items()}
    added = (med["farm"] - med["plain"]) * 1e3
    return {"interpreter": interpreter, "tests": OVERHEAD_TESTS, "workers": OVERHEAD_WORKERS,
            "log_rate": LOG_RATE, "log_buffer": LOG_BUFFER, "round_medians": medians, "median": med,
            "added_ms": added, "cores": os.cpu_count(), "load_average": load,
            "goals": {"added_ms": added <= OVERHEAD_GOAL_MS}}


def overhead_table(result):
    med = result["median"]
    return "\n".join([
        "Farm overhead, %s: a passing test under xdist (%d workers), %d tests a run, devices logging %d lines/s "
        "into %d-line buffers (median of %d rounds' medians)" % (
            result["interpreter"], OVERHEAD_WORKERS, OVERHEAD_TESTS, LOG_RATE, LOG_BUFFER,
            len(result["round_medians"]["farm"])),
        "",
        "| way | a test | rounds |",
        "|---|---|---|",
        "| plain xdist (own client) | %.2f ms | %s |" % (med["plain"] * 1e3, ", ".join(
            "%.2f" % (x * 1e3) for x in result["round_medians"]["plain"])),
        "| farm plugin (hdc_device) | %.2f ms | %s |" % (med["farm"] * 1e3, ", ".join(
            "%.2f" % (x * 1e3) for x in result["round_medians"]["farm"])),
        "| added by the plugin | %.2f ms | |" % result["added_ms"],
        "",
        "machine: %d cores, load average %s before the rounds" % (
            result["cores"], ", ".join("%.1f" % x for x in result["load_average"])),
        "",
        "goal: added <= %.0f ms: %s" % (OVERHEAD_GOAL_MS, "met" if result["goals"]["added_ms"] else "MISSED"),
    ]) + "\n"


def measure(python, site, rounds, serial_rounds):
    """{way: [seconds]}, and the machine's load average (1 minute) before each round."""
    times = {way: [] for way in WAYS}
    load = []
    with tempfile.TemporaryDirectory(prefix="kelpie-farm-bench-") as folder:
        for r in range(rounds):
            load.append(os.getloadavg()[0])
            # Interleaved, so that a busy spell of the machine falls on every way alike.
            for way in WAYS:
                if way == "serial" and r >= serial_rounds:
                    continue
                times[way].append(run_once(python, site, folder, way))
                print("  %-6s round %d: %.2f s" % (way, r + 1, times[way][-1]), file=sys.stderr, flush=True)
    return times, load


def summarise(interpreter, times, load):
    med = {way: statistics.median(t) if t else None for way, t in times.items()}
    result = {
        "interpreter": interpreter, "tests": TESTS, "devices": DEVICES, "wait": WAIT, "runs": times,
        "cores": os.cpu_count(), "load_average": load,
        "median": med,
        "farm_over_floor": med["farm"] / med["floor"],
        "serial_over_farm": med["serial"] / med["farm"] if med["serial"] else None,    # --serial-rounds 0
    }
    result["goals"] = {
        "farm_over_floor": result["farm_over_floor"] <= GOALS["farm_over_floor"],
        "serial_over_farm": (result["serial_over_farm"] >= GOALS["serial_over_farm"]
                             if interpreter == "cpython" and med["serial"] else None),
    }
    return result


def table(result):
    med = result["median"]
    lines = [
        "Farm benchmark, %s: %d tests x %.1f s on %d simulated devices (median wall time of %s runs)" % (
            result["interpreter"], TESTS, WAIT, DEVICES,
            "/".join(str(len(result["runs"][w])) for w in WAYS)),
        "",
        "| way | wall time | |",
        "|---|---|---|",
        "| serial (no xdist) | %s |" % ("%.2f s | %.1fx the farm's" % (med["serial"], result["serial_over_farm"])
                                         if med["serial"] else "not run | "),
        "| farm (-n auto) | %.2f s | %.2fx the floor's |" % (med["farm"], result["farm_over_floor"]),
        "| floor (plain xdist, 8 workers, no device) | %.2f s | |" % med["floor"],
        "",
        "machine: %d cores, load average %s before the rounds" % (
            result["cores"], ", ".join("%.1f" % x for x in result["load_average"])),
        "",
        "goals: farm <= %.1fx floor: %s; farm >= %.0fx faster than serial (CPython): %s" % (
            GOALS["farm_over_floor"], "met" if result["goals"]["farm_over_floor"] else "MISSED",
            GOALS["serial_over_farm"],
            {True: "met", False: "MISSED", None: "n/a here"}[result["goals"]["serial_over_farm"]]),
    ]
    return "\n".join(lines) + "\n"


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--interpreter", choices=sorted(PYTHONS), required=True)
    p.add_argument("--site", required=True, help="the folder kelpie was installed into (build-python.sh)")
    p.add_argument("--rounds", type=int, default=3, help="runs of the farm and of the floor (default 3)")
    p.add_argument("--serial-rounds", type=int, default=1,
                   help="runs without xdist, %d s each at the least (default 1)" % int(TESTS * WAIT))
    p.add_argument("--out", help="folder for results-farm-<interpreter>.{json,md}")
    p.add_argument("--require-goals", action="store_true", help="exit 1 when a goal is missed")
    p.add_argument("--overhead", action="store_true",
                   help="measure what the plugin adds to a passing test on chattering devices instead")
    args = p.parse_args()
    if args.overhead:
        medians, load = measure_overhead(PYTHONS[args.interpreter], os.path.abspath(args.site), args.rounds)
        return report(overhead_result(args.interpreter, medians, load), overhead_table,
                      "results-farm-overhead-%s" % args.interpreter, args)
    times, load = measure(PYTHONS[args.interpreter], os.path.abspath(args.site), args.rounds,
                          min(args.serial_rounds, args.rounds))
    return report(summarise(args.interpreter, times, load), table, "results-farm-%s" % args.interpreter, args)


def report(result, table, name, args):
    text = table(result)
    print(text)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        base = os.path.join(args.out, name)
        with open(base + ".json", "w") as f:
            json.dump(result, f, indent=1)
        with open(base + ".md", "w") as f:
            f.write(text)
    missed = [k for k, ok in result["goals"].items() if ok is False]
    return 1 if args.require_goals and missed else 0


if __name__ == "__main__":
    sys.exit(main())
