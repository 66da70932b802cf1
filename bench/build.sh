#!/usr/bin/env bash
# Builds the benchmark server and the C++ baseline client into the folder given
# (the baseline 32-bit, like the PyPy that runs kelpie), when a source is newer.
#   bash bench/build.sh OUT_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh OUT_DIR}
mkdir -p "$out"
flags=(-std=c++23 -O2 -Wall -Wextra -Werror)

stale() { [ ! -x "$out/$1" ] || [ -n "$(find "$src" -maxdepth 1 -name '*.?pp' -newer "$out/$1")" ]; }

pids=()
if stale bench_server; then g++ "${flags[@]}" -o "$out/bench_server" "$src/server.cpp" & pids+=($!); fi
if stale bench_baseline; then g++ "${flags[@]}" -m32 -o "$out/bench_baseline" "$src/baseline.cpp" & pids+=($!); fi
for pid in "${pids[@]}"; do wait "$pid"; done
