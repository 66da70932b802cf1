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

    python3 bench/farm.py --interpreter pypy --site .build/site-pypy [--rounds 3] [--out DIR]
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
    med = {way: statistics.median(t) for way, t in times.items()}
    result = {
        "interpreter": interpreter, "tests": TESTS, "devices": DEVICES, "wait": WAIT, "runs": times,
        "cores": os.cpu_count(), "load_average": load,
        "median": med,
        "farm_over_floor": med["farm"] / med["floor"],
        "serial_over_farm": med["serial"] / med["farm"],
    }
    result["goals"] = {
        "farm_over_floor": result["farm_over_floor"] <= GOALS["farm_over_floor"],
        "serial_over_farm": (result["serial_over_farm"] >= GOALS["serial_over_farm"]
                             if interpreter == "cpython" else None),
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
        "| serial (no xdist) | %.2f s | %.1fx the farm's |" % (med["serial"], result["serial_over_farm"]),
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
    args = p.parse_args()
    times, load = measure(PYTHONS[args.interpreter], os.path.abspath(args.site), args.rounds,
                          min(args.serial_rounds, args.rounds))
    result = summarise(args.interpreter, times, load)
    text = table(result)
    print(text)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        base = os.path.join(args.out, "results-farm-%s" % args.interpreter)
        with open(base + ".json", "w") as f:
            json.dump(result, f, indent=1)
        with open(base + ".md", "w") as f:
            f.write(text)
    missed = [k for k, ok in result["goals"].items() if ok is False]
    return 1 if args.require_goals and missed else 0


if __name__ == "__main__":
    sys.exit(main())
