#!/usr/bin/env bash
# Builds the benchmark server and the C++ baseline client into the folder given
# (the baseline 32-bit, like the PyPy that runs kelpie), and the floor extension
# module for each interpreter named, into OUT_DIR/floor-<interpreter>; each only
# when a source is newer.
#   bash bench/build.sh OUT_DIR [pypy|cpython]...
set -euo pipefail
src=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh OUT_DIR [pypy|cpython]...}
shift
mkdir -p "$out"
flags=(-std=c++23 -O2 -Wall -Wextra -Werror)

stale() { [ ! -e "$out/$1" ] || [ -n "$(find "$src" "$src/floor" -maxdepth 1 -name "$2" -newer "$out/$1")" ]; }

pids=()
if stale bench_server '*.?pp'; then g++ "${flags[@]}" -o "$out/bench_server" "$src/server.cpp" & pids+=($!); fi
if stale bench_baseline '*.?pp'; then g++ "${flags[@]}" -m32 -o "$out/bench_baseline" "$src/baseline.cpp" & pids+=($!); fi
for which in "$@"; do
  case "$which" in
    pypy)    py=pypy3; arch=(-m32) ;;
    cpython) py=/usr/bin/python3; arch=() ;;
    *) echo "build.sh: unknown interpreter: $which" >&2; exit 2 ;;
  esac
  # The interpreter says where its headers are and what its extension modules are called.
  read -r include suffix < <("$py" -c "import sysconfig; print(sysconfig.get_paths()['include'], sysconfig.get_config_var('EXT_SUFFIX'))")
  mkdir -p "$out/floor-$which"
  module="floor-$which/bench_floor$suffix"
  if stale "$module" 'floor.c'; then
    gcc "${arch[@]}" -std=gnu11 -O2 -Wall -Wextra -Werror -Wno-cast-function-type -Wno-missing-field-initializers \
      -fPIC -shared -I"$include" -o "$out/$module" "$src/floor/floor.c" & pids+=($!)
  fi
done
for pid in "${pids[@]}"; do wait "$pid"; done
