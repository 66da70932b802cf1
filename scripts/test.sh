#!/usr/bin/env bash
# The whole test run: set-up, the 32-bit build and its C++ unit tests, run
# plain and under valgrind's memcheck, the same unit tests in a 64-bit build
# under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets
# (every committed input replayed, then a few seconds of fuzzing each), then
# the Python tests under 32-bit PyPy and under CPython 3.11, and the farm's and the
# simulator fixtures' tests again on today's pytest and pytest-xdist (current-pytest.sh).
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

# The farm plugin and the simulator's fixtures again, on the pytest and pytest-xdist that
# users install today (Debian's are 7.2.1 and 3.1.0), from wheels kept beside the checkout.
wheels=${KELPIE_PYTHON_WHEELS:-../shared/python-wheels}
farm_tests=(tests/python/test_farm.py tests/python/test_farm_runner.py tests/python/test_farm_lab.py
            tests/python/test_farm_remote.py tests/python/test_sim_fixture.py)
if [ -d "$wheels" ]; then
  for which in pypy cpython; do
    bash scripts/current-pytest.sh "$which" >/dev/null
    step "Farm and simulator fixtures, $which, $("$out/venv/$which-current/bin/python" -c 'import pytest, xdist; print("pytest", pytest.__version__, "pytest-xdist", xdist.__version__)')"
    bash scripts/pytest.sh "$which-current" -q "${farm_tests[@]}"
  done
else
  step "Farm and simulator fixtures on today's pytest: NOT RUN"
  echo "$wheels is missing: the farm's and the simulator fixtures' tests ran on Debian's pytest only"
fi

echo
echo "all tests passed in $(( $(date +%s) - start )) s"
