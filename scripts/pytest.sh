#!/usr/bin/env bash
# Runs the Python tests against the module built by build-python.sh.
#   scripts/pytest.sh pypy|cpython [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:?usage: pytest.sh pypy|cpython [args]}
shift
out=${KELPIE_BUILD_ROOT:-.build}
case "$which" in
  pypy)    py=pypy3 ;;
  cpython) py=/usr/bin/python3 ;;
  *) echo "unknown interpreter: $which" >&2; exit 2 ;;
esac
# The test server runs under this interpreter too, as a separate process.
export KELPIE_TEST_PYTHON="$py"
case "$out" in /*) ;; *) out="$(pwd)/$out" ;; esac
PYTHONPATH="$out/site-$which" exec "$py" -m pytest -p no:cacheprovider "$@"
