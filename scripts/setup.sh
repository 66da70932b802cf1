#!/usr/bin/env bash
# Installs, idempotently, everything kelpie's build and tests need on Debian 12.
# Safe to run again: packages already present are left alone.
set -euo pipefail

need_root() { if [ "$(id -u)" -ne 0 ]; then echo "setup: run as root (apt-get is needed)" >&2; exit 1; fi; }

packages=(
  g++-multilib pypy3:i386 libc6-dbg:i386
  meson ninja-build python3-mesonpy python3-build python3-pyproject-metadata
  python3-typing-extensions python3-dev python3-pip
  python3-pytest python3-pytest-xdist python3-exceptiongroup python3-tomli python3-mypy python3-venv
  python3-packaging python3-pygments
  clang valgrind clang-16 libclang-rt-16-dev
  chromium openssh-server openssh-client
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_root; dpkg --add-architecture i386
fi
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  need_root
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

# PyPy's full C-API headers come from pypy3-dev (architecture all), which apt will not
# install beside pypy3:i386; unpacking it puts the headers where PyPy's sysconfig expects.
if [ ! -f /usr/include/pypy3.9/Python.h ]; then
  need_root
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download pypy3-dev && dpkg -x pypy3-dev_*.deb /)
  rm -rf "$tmp"
fi
echo "setup: all build and test dependencies present"
