#!/usr/bin/env bash
# Builds the kelpie wheel for one interpreter and installs it into a private
# folder that the Python tests put on their path.
#   scripts/build-python.sh pypy      32-bit PyPy (the primary target)
#   scripts/build-python.sh cpython   CPython 3.11, x86_64
# Prints the folder the module was installed into.
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:?usage: build-python.sh pypy|cpython}
out=${KELPIE_BUILD_ROOT:-.build}
case "$which" in
  pypy)    py=pypy3; export CC="gcc -m32" CXX="g++ -m32" ;;
  cpython) py=/usr/bin/python3 ;;
  *) echo "unknown interpreter: $which" >&2; exit 2 ;;
esac
dist="$out/dist-$which"
site="$out/site-$which"
rm -rf "$dist" "$site"
mkdir -p "$dist"
"$py" -m pip wheel --no-build-isolation --no-deps --disable-pip-version-check -q -w "$dist" . >&2
"$py" -m pip install --no-deps --no-index --disable-pip-version-check --root-user-action=ignore -q --target "$site" "$dist"/kelpie-*.whl >&2
echo "$site"
