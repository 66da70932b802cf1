#!/usr/bin/env bash
# The benchmark: kelpie against the floor (a minimal C extension client: the
# least a str-returning client can do on the same interpreter), a plain-Python
# client, and a minimal C++ client, all talking to a C++ benchmark server over
# loopback. Builds what it needs, then prints one table per interpreter and
# writes results-<interpreter>.{json,md,png} to the output folder.
#   bash scripts/bench.sh [--quick] [--interpreter pypy|cpython|both] [--out DIR] [driver options]
# Driver options: --rounds N, --calls N, --big, --only KEYS, --headroom-repeats N,
# --require-goals (see bench/driver.py).
#   bash scripts/bench.sh --farm [--interpreter ...] [--out DIR] [farm options]
# runs the farm benchmark instead: a suite of 64 half-second device tests on a
# simulated farm of 8 devices, timed without xdist, with -n auto, and against the
# floor (the same waits with no device under plain xdist, 8 workers). Farm options:
# --rounds N, --serial-rounds N, --require-goals (see bench/farm.py).
#   bash scripts/bench.sh --farm-order [--interpreter ...] [--out DIR] [--rounds N] [--require-goals]
# times the farm's order instead: 36 tests of 0.5 s then 2 of 6 s on 4 simulated
# devices, a first run and a second one with the durations cached (see bench/farm_order.py).
# Default output folder: $KELPIE_BUILD_ROOT/bench (KELPIE_BUILD_ROOT defaults to .build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=${KELPIE_BUILD_ROOT:-.build}
case "$root" in /*) ;; *) root="$(pwd)/$root" ;; esac

interpreters=(pypy cpython)
out="$root/bench"
farm=false
order=false
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --interpreter)
      case "${2:-}" in
        pypy|cpython) interpreters=("$2") ;;
        both) interpreters=(pypy cpython) ;;
        *) echo "bench: --interpreter takes pypy, cpython or both" >&2; exit 2 ;;
      esac
      shift 2 ;;
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    --farm) farm=true; shift ;;
    --farm-order) farm=true; order=true; shift ;;
    *) args+=("$1"); shift ;;
  esac
done

bash scripts/setup.sh >&2
# The chart is drawn by the system Python with Debian's matplotlib.
if ! $farm && ! /usr/bin/python3 -c "import matplotlib" 2>/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q python3-matplotlib >&2 || { apt-get update -q >&2 && apt-get install -y -q python3-matplotlib >&2; }
  else
    echo "bench: python3-matplotlib is missing and this is not root: no chart" >&2
  fi
fi

bin="$root/bench/bin"
$farm || bash bench/build.sh "$bin" "${interpreters[@]}"

status=0
for which in "${interpreters[@]}"; do
  printf '\n=== Building kelpie for %s\n' "$which" >&2
  site=$(KELPIE_BUILD_ROOT="$root" bash scripts/build-python.sh "$which")
  if $order; then
    printf '\n=== Farm order benchmark, %s\n' "$which" >&2
    /usr/bin/python3 bench/farm_order.py --interpreter "$which" --site "$site" --out "$out" "${args[@]}" || status=$?
  elif $farm; then
    printf '\n=== Farm benchmark, %s\n' "$which" >&2
    /usr/bin/python3 bench/farm.py --interpreter "$which" --site "$site" --out "$out" "${args[@]}" || status=$?
  else
    printf '\n=== Benchmark, %s\n' "$which" >&2
    /usr/bin/python3 bench/driver.py --interpreter "$which" --site "$site" \
      --server "$bin/bench_server" --baseline "$bin/bench_baseline" --floor "$bin/floor-$which" \
      --out "$out" "${args[@]}" || status=$?
  fi
done
exit "$status"
