#!/usr/bin/env bash
# Runs the Python tests against the module built by build-python.sh.
#   scripts/pytest.sh pypy|cpython [pytest arguments...]
# pypy-current and cpython-current run them with the pytest and pytest-xdist that users
# install today, in the venv that current-pytest.sh makes (which must exist).
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:?usage: pytest.sh pypy|cpython|pypy-current|cpython-current [args]}
shift
out=${KELPIE_BUILD_ROOT:-.build}
case "$out" in /*) ;; *) out="$(pwd)/$out" ;; esac
case "$which" in
  pypy)    py=pypy3 ;;
  cpython) py=/usr/bin/python3 ;;
  pypy-current|cpython-current) py="$out/venv/$which/bin/python" ;;
  *) echo "unknown interpreter: $which" >&2; exit 2 ;;
esac
# The test server runs under this interpreter too, as a separate process.
export KELPIE_TEST_PYTHON="$py"
PYTHONPATH="$out/site-${which%-current}" exec "$py" -m pytest -p no:cacheprovider "$@"
