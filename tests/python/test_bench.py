"""The benchmark kit (bench/) runs end to end on small workloads, so that it cannot
rot unnoticed: server, baseline client, floor, pure-Python client, kelpie and driver."""

import json
import os
import platform
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(ROOT, "bench")
sys.path.insert(0, BENCH)

from workloads import GOALS, UTF8  # noqa: E402


def test_quick_benchmark_checks_every_contender(tmp_path):
    bin_dir = tmp_path / "bin"
    which = "pypy" if platform.python_implementation() == "PyPy" else "cpython"
    subprocess.run(["bash", os.path.join(BENCH, "build.sh"), str(bin_dir), which], check=True)
    run = subprocess.run(
        [sys.executable, os.path.join(BENCH, "driver.py"), "--quick", "--rounds", "1", "--headroom-repeats", "1",
         "--calls", "2", "--interpreter", which, "--python", sys.executable, "--no-chart", "--out", str(tmp_path),
         "--server", str(bin_dir / "bench_server"), "--baseline", str(bin_dir / "bench_baseline"),
         "--floor", str(bin_dir / ("floor-" + which)), "--timeout", "60"],
        capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    result = json.loads((tmp_path / ("results-%s.json" % which)).read_text())
    assert result["failures"] == []
    assert set(UTF8) <= set(result["samples"])  # multilingual text, characters cut between replies
    for key, by_contender in result["samples"].items():
        assert {name for name, runs in by_contender.items() if len(runs) == 1} == {"kelpie", "floor", "pure",
                                                                                   "baseline"}, key
        if key.startswith(("shell", "hilog")):
            assert all(len(r["checksums"]) == 2 for runs in by_contender.values() for r in runs), key
    assert len(result["goals"]) == len(GOALS[which])
    assert set(result["server_headroom"]) == {"list_targets", "shell_523264", "shell_4096", "construct"}
    assert "| shell 2 MiB, 4096-byte packets, 2 calls in a row | MB/s, loop |" in run.stdout
