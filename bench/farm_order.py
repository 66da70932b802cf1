"""The farm's order benchmark: how soon a suite whose long tests come last ends, once the
farm knows how long each test takes.

A suite of 36 tests of 0.5 s followed, in collection order, by 2 tests of 6 s (each test
waiting on its device: the simulated shell's `sleep`), on a simulated farm of 4 devices
(-n auto --hdc-sim 4), timed as a user would time it, from the start of `python -m pytest`
to its end:

    first     a fresh pytest cache: the tests start in collection order, the long ones last
    second    the same run again, the durations of the first in the cache: longest first
    startup   plain xdist, 4 workers, the farm plugin off, the same number of tests doing
              nothing: what starting and ending a run costs without any device

Goal: the second run within 1.15x the bound max(longest test, total / devices), plus the
start-up measured in the same round.

    python3 bench/farm_order.py --interpreter pypy --site .build/site-pypy [--rounds 3] [--out DIR]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

SHORT, LONG, DEVICES = (36, 0.5), (2, 6.0), 4
STEP = 0.5      # a wait on the device at a time: one shell reply may take 5 s at most
PYTHONS = {"pypy": "pypy3", "cpython": "/usr/bin/python3"}
GOAL = 1.15

SUITE = '''
import pytest

def wait(device, seconds):
    for _ in range(int(round(seconds / %(step)s))):
        device.client.shell("sleep %(step)s")

@pytest.mark.parametrize("i", range(%(short)d))
def test_short(hdc_device, i):
    wait(hdc_device, %(short_wait)s)

@pytest.mark.parametrize("i", range(%(long)d))
def test_long(hdc_device, i):
    wait(hdc_device, %(long_wait)s)
''' % {"step": STEP, "short": SHORT[0], "short_wait": SHORT[1], "long": LONG[0], "long_wait": LONG[1]}

EMPTY_SUITE = '''
import pytest

@pytest.mark.parametrize("i", range(%d))
def test_nothing(i):
    pass
''' % (SHORT[0] + LONG[0])


def bound():
    total = SHORT[0] * SHORT[1] + LONG[0] * LONG[1]
    return max(LONG[1], total / DEVICES)


def timed(python, site, folder, suite, args):
    path = os.path.join(folder, "test_order.py")
    with open(path, "w") as f:
        f.write(suite)
    env = dict(os.environ, PYTHONPATH=site)
    start = time.perf_counter()
    run = subprocess.run([python, "-m", "pytest", "-q", path] + args, cwd=folder, env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    took = time.perf_counter() - start
    if run.returncode != 0 or "%d passed" % (SHORT[0] + LONG[0]) not in run.stdout:
        raise SystemExit("bench: a run failed:\n%s" % run.stdout)
    return took


def one_round(python, site):
    """{first, second, startup} seconds, each round with a cache of its own."""
    with tempfile.TemporaryDirectory(prefix="kelpie-farm-order-") as folder:
        farm = ["-n", "auto", "--hdc-sim", str(DEVICES), "-o", "cache_dir=" + os.path.join(folder, "cache")]
        first = timed(python, site, folder, SUITE, farm)
        second = timed(python, site, folder, SUITE, farm)
        startup = timed(python, site, folder, EMPTY_SUITE, ["-n", str(DEVICES), "-p", "no:kelpie_farm",
                                                             "-p", "no:cacheprovider"])
    return {"first": first, "second": second, "startup": startup}


def summarise(interpreter, rounds, load):
    med = {k: statistics.median(r[k] for r in rounds) for k in ("first", "second", "startup")}
    # Each round judged against its own start-up, and the median of those.
    margins = [r["second"] / (GOAL * bound() + r["startup"]) for r in rounds]
    result = {
        "interpreter": interpreter, "short": SHORT, "long": LONG, "devices": DEVICES, "bound": bound(),
        "rounds": rounds, "median": med, "cores": os.cpu_count(), "load_average": load,
        "second_over_goal": statistics.median(margins),
        "second_over_bound_plus_startup": med["second"] / (bound() + med["startup"]),
    }
    result["goal_met"] = result["second_over_goal"] <= 1.0
    return result


def table(result):
    med = result["median"]
    lines = [
        "Farm order benchmark, %s: %d tests x %.1f s then %d x %.1f s on %d simulated devices "
        "(median of %d rounds)" % (result["interpreter"], SHORT[0], SHORT[1], LONG[0], LONG[1], DEVICES,
                                   len(result["rounds"])),
        "",
        "| run | wall time | |",
        "|---|---|---|",
        "| first (no durations yet: collection order) | %.2f s | |" % med["first"],
        "| second (durations cached: longest first) | %.2f s | %.2fx (bound + start-up) |" % (
            med["second"], result["second_over_bound_plus_startup"]),
        "| start-up (plain xdist, %d workers, no device) | %.2f s | |" % (DEVICES, med["startup"]),
        "| bound max(longest, total / devices) | %.2f s | |" % result["bound"],
        "",
        "machine: %d cores, load average %s before the rounds" % (
            result["cores"], ", ".join("%.1f" % x for x in result["load_average"])),
        "",
        "goal: second run <= %.2fx bound + start-up: %s (%.2f of the allowance)" % (
            GOAL, "met" if result["goal_met"] else "MISSED", result["second_over_goal"]),
    ]
    return "\n".join(lines) + "\n"


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--interpreter", choices=sorted(PYTHONS), required=True)
    p.add_argument("--site", required=True, help="the folder kelpie was installed into (build-python.sh)")
    p.add_argument("--rounds", type=int, default=3, help="rounds of first run, second run, start-up (default 3)")
    p.add_argument("--out", help="folder for results-farm-order-<interpreter>.{json,md}")
    p.add_argument("--require-goals", action="store_true", help="exit 1 when the goal is missed")
    args = p.parse_args()
    rounds, load = [], []
    for r in range(args.rounds):
        load.append(os.getloadavg()[0])
        rounds.append(one_round(PYTHONS[args.interpreter], os.path.abspath(args.site)))
        print("  round %d: first %.2f s, second %.2f s, start-up %.2f s" % (
            r + 1, rounds[-1]["first"], rounds[-1]["second"], rounds[-1]["startup"]), file=sys.stderr, flush=True)
    result = summarise(args.interpreter, rounds, load)
    text = table(result)
    print(text)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        base = os.path.join(args.out, "results-farm-order-%s" % args.interpreter)
        with open(base + ".json", "w") as f:
            json.dump(result, f, indent=1)
        with open(base + ".md", "w") as f:
            f.write(text)
    return 1 if args.require_goals and not result["goal_met"] else 0


if __name__ == "__main__":
    sys.exit(main())
