#!/usr/bin/env bash
# Makes a venv with the pytest and pytest-xdist that users install today, for the farm's
# and the simulator fixtures' tests: pytest 8.4.2 on PyPy (Python 3.9), 9.1.1 on CPython,
# pytest-xdist 3.8.0 on both, installed offline from ../shared/python-wheels. The venv sees
# Debian's packages (for packaging, pygments, ...); its own pytest comes first. Made once:
# a venv that already has these versions is kept.
#   scripts/current-pytest.sh pypy|cpython     prints the venv's python
# Exits 3, saying so, when the wheels are not there.
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:?usage: current-pytest.sh pypy|cpython}
out=${KELPIE_BUILD_ROOT:-.build}
wheels=${KELPIE_PYTHON_WHEELS:-../shared/python-wheels}
case "$which" in
  pypy)    base=(pypy3 -m venv --system-site-packages --without-pip); pytest_version=8.4.2 ;;
  cpython) base=(/usr/bin/python3 -m venv --system-site-packages); pytest_version=9.1.1 ;;
  *) echo "unknown interpreter: $which" >&2; exit 2 ;;
esac
xdist_version=3.8.0
venv="$out/venv/$which-current"
python="$venv/bin/python"
check="import pytest, xdist, sys; sys.exit(not (pytest.__version__, xdist.__version__) == ('$pytest_version', '$xdist_version'))"
if [ -x "$python" ] && "$python" -c "$check" 2>/dev/null; then
  echo "$python"
  exit 0
fi
if [ ! -d "$wheels" ]; then
  echo "no $wheels: cannot make the venv with pytest $pytest_version and pytest-xdist $xdist_version" >&2
  exit 3
fi
rm -rf "$venv"
mkdir -p "$(dirname "$venv")"
"${base[@]}" "$venv"
"$python" -m pip install -q --no-index --disable-pip-version-check --find-links "$wheels" \
  "pytest==$pytest_version" "pytest-xdist==$xdist_version" >&2
"$python" -c "$check"
echo "$python"
