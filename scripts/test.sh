#!/usr/bin/env bash
# The whole test run: set-up, the 32-bit build and its C++ unit tests, run
# plain and under valgrind's memcheck, the same unit tests in a 64-bit build
# under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets
# (every committed input replayed, then a few seconds of fuzzing each), then
# the Python tests under 32-bit PyPy and under CPython 3.11.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
out=${KELPIE_BUILD_ROOT:-.build}

bash scripts/setup.sh

step() { printf '\n=== %s\n' "$*"; }

step "C++ unit tests, 32-bit"
[ -f "$out/unit32/build.ninja" ] || meson setup "$out/unit32" --cross-file build-aux/i386.ini -Dpython=false -Dunit_tests=true -Dbuildtype=debugoptimized >/dev/null
ninja -C "$out/unit32" >/dev/null
meson test -C "$out/unit32" --print-errorlogs

step "C++ unit tests, 32-bit, valgrind memcheck"
valgrind -q --error-exitcode=1 --leak-check=full --suppressions=tests/unit/valgrind.supp \
  "$out/unit32/tests/unit/kelpie_unit_tests" --gtest_brief=1

step "C++ unit tests, 64-bit, AddressSanitizer + UndefinedBehaviorSanitizer"
[ -f "$out/asan64/build.ninja" ] || meson setup "$out/asan64" -Dpython=false -Dunit_tests=true -Dbuildtype=debug -Db_sanitize=address,undefined -Db_lundef=false >/dev/null
ninja -C "$out/asan64" >/dev/null
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 meson test -C "$out/asan64" --print-errorlogs

step "Fuzz targets: committed inputs, then ${KELPIE_FUZZ_CI_SECONDS:-8} s of fuzzing each"
bash scripts/fuzz.sh --ci

for which in pypy cpython; do
  step "Python tests, $which"
  bash scripts/build-python.sh "$which" >/dev/null
  bash scripts/pytest.sh "$which" -q
done

echo
echo "all tests passed in $(( $(date +%s) - start )) s"
