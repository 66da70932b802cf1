"""The floor's routes, measured against each other on one interpreter, as the
benchmark measures its contenders (loops of calls, each run in a process of its
own, the order alternating over the rounds, every output checked): the figures
that choose the floor's routes per interpreter. A route is where a bulk reply
stream is received (BENCH_FLOOR_RECEIVE) and how non-ASCII text becomes a str
(BENCH_FLOOR_ROUTE); each pair named runs on the workloads of the texts named.

    python3 floor_routes.py --server BIN --floor DIR [--interpreter pypy|cpython] [--python EXE]
                            [--routes decode,kind,...] [--receive shrink,keep,...]
                            [--text utf8,ascii] [--rounds N] [--calls N] [--quick] [--big]

With --big, each route also makes one shell call returning 1 GiB of each text named.
"""

import argparse
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from driver import DEFAULT_PYTHON, BenchServer, Contenders, check  # noqa: E402
from workloads import BULK, UTF8, big_workloads, figures, workloads  # noqa: E402

ROUTES = {"pypy": ("decode", "slices", "from_string", "kind", "ucs4", "kind_data", "codec", "auto"),
          "cpython": ("decode", "slices", "from_string", "kind", "kind_data", "codec", "auto")}
RECEIVE = {"pypy": ("shrink", "keep"), "cpython": ("shrink", "keep", "into_str", "switch")}


def run(contenders, server, workload, route):
    receive, _, utf8 = route.rpartition("/")
    contenders.env["BENCH_FLOOR_ROUTE"] = utf8
    contenders.env["BENCH_FLOOR_RECEIVE"] = receive
    sample, error = contenders.finish(contenders.start("floor", workload))
    error = error or check(sample, workload, server.crcs)
    if error:
        return None, error.splitlines()[-1][-200:]
    return figures(workload.verb, sample), None


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--server", required=True)
    p.add_argument("--floor", required=True, help="folder holding the bench_floor module built for the interpreter")
    p.add_argument("--interpreter", choices=sorted(DEFAULT_PYTHON), default="pypy")
    p.add_argument("--python")
    p.add_argument("--routes", help="non-ASCII routes, comma-separated (default: every route the interpreter allows)")
    p.add_argument("--receive", help="receive routes, comma-separated (default: the floor's choice alone)")
    p.add_argument("--text", default="utf8", help="the texts whose workloads run: utf8, ascii or both (default utf8)")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--calls", type=int, default=8)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--big", action="store_true", help="also one call returning 1 GiB of UTF-8 per route")
    opts = p.parse_args(argv)
    opts.python = opts.python or DEFAULT_PYTHON[opts.interpreter]
    opts.site, opts.baseline, opts.timeout = None, None, 600
    utf8_routes = opts.routes.split(",") if opts.routes else ROUTES[opts.interpreter]
    receive = opts.receive.split(",") if opts.receive else [""]
    routes = [(rx + "/" if rx else "") + r for rx in receive for r in utf8_routes]
    texts = set(opts.text.replace("both", "utf8,ascii").split(","))
    keys = (UTF8 if "utf8" in texts else ()) + (BULK if "ascii" in texts else ())
    plan = [w for w in workloads(opts.quick, opts.calls) if w.key in keys]
    bigs = [w for w in big_workloads() if ("utf8" if w.text == "utf8" else "ascii") in texts] if opts.big else []
    server = BenchServer(opts.server, sorted({w.stream for w in plan + bigs}))
    samples = {(w.key, r): [] for w in plan for r in routes}
    errors = []
    try:
        contenders = Contenders(opts, server.addr)
        for rnd in range(opts.rounds):
            order = routes if rnd % 2 == 0 else routes[::-1]
            print("round %d of %d" % (rnd + 1, opts.rounds), file=sys.stderr, flush=True)
            for workload in plan:
                for route in order:
                    fig, error = run(contenders, server, workload, route)
                    if error:
                        errors.append("%s, %s: %s" % (route, workload.key, error))
                    else:
                        samples[(workload.key, route)].append(fig)
        big_runs = {(w.key, route): run(contenders, server, w, route) for w in bigs for route in routes}
    finally:
        server.close()
    print("floor routes, %s, medians of %d rounds, %d calls in a row%s" % (
        opts.interpreter, opts.rounds, opts.calls, ", QUICK" if opts.quick else ""))
    print()
    head = ["route"] + ["%s: MB/s, peak RSS above idle (× output)" % w.key for w in plan]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for route in routes:
        cells = []
        for workload in plan:
            runs = samples[(workload.key, route)]
            if not runs:
                cells.append("failed")
                continue
            mbs = statistics.median(r["mb_per_s"] for r in runs)
            mib = statistics.median(r["peak_above_idle_mib"] for r in runs)
            x = statistics.median(r["peak_above_idle_x_output"] for r in runs)
            cells.append("%.0f MB/s, %.0f MiB (%.1fx)" % (mbs, mib, x))
        print("| " + " | ".join([route] + cells) + " |")
    if big_runs:
        print()
        print("| route | workload | one call of 1 GiB |")
        print("|---|---|---|")
        for (key, route), (fig, error) in big_runs.items():
            text = error or "whole, %.0f MB/s, %.0f MiB above idle" % (fig["mb_per_s"], fig["peak_above_idle_mib"])
            print("| %s | %s | %s |" % (route, key, text.replace("|", "/")))
    for error in errors:
        print("FAILED: " + error)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
