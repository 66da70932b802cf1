#!/usr/bin/env bash
# The farm benchmark: a suite of 64 half-second device tests on a simulated farm of
# 8 devices, timed without xdist, with -n auto, and against the floor (the same waits
# with no device under plain xdist, 8 workers). See bench/README.md.
#   bash scripts/bench-farm.sh [--interpreter pypy|cpython|both] [--out DIR] [--rounds N]
#                              [--serial-rounds N] [--require-goals]
# Default output folder: $KELPIE_BUILD_ROOT/bench (KELPIE_BUILD_ROOT defaults to .build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=${KELPIE_BUILD_ROOT:-.build}
case "$root" in /*) ;; *) root="$(pwd)/$root" ;; esac

interpreters=(pypy cpython)
out="$root/bench"
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --interpreter)
      case "${2:-}" in
        pypy|cpython) interpreters=("$2") ;;
        both) interpreters=(pypy cpython) ;;
        *) echo "bench-farm: --interpreter takes pypy, cpython or both" >&2; exit 2 ;;
      esac
      shift 2 ;;
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

bash scripts/setup.sh >&2
status=0
for which in "${interpreters[@]}"; do
  printf '\n=== Building kelpie for %s\n' "$which" >&2
  site=$(KELPIE_BUILD_ROOT="$root" bash scripts/build-python.sh "$which")
  printf '\n=== Farm benchmark, %s\n' "$which" >&2
  /usr/bin/python3 bench/farm.py --interpreter "$which" --site "$site" --out "$out" "${args[@]}" || status=$?
done
exit "$status"
