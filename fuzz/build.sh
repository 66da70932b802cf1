#!/usr/bin/env bash
# Builds every fuzz target (fuzz/*_fuzz.cpp) with libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer, linked against the client's own sources.
#   fuzz/build.sh OUT_DIR      the targets land in OUT_DIR/bin
# Incremental: a generated ninja file tracks every header.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: fuzz/build.sh OUT_DIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
cxx=${KELPIE_FUZZ_CXX:-clang++-16}

# libstdc++ 12 offers std::expected only when the compiler announces C++20
# concepts in full; clang 16 implements what <expected> needs (conditionally
# trivial special members) but still announces the older value.
common="-std=c++2b -U__cpp_concepts -D__cpp_concepts=202002L -O1 -g -fno-omit-frame-pointer \
-fsanitize=address,undefined -fno-sanitize-recover=all -Wall -Wextra -Wno-defaulted-function-deleted -I$root/src"

{
  echo "cxx = $cxx"
  echo "common = $common"
  echo "rule cxx"
  echo "  command = \$cxx \$common \$extra -MMD -MF \$out.d -c \$in -o \$out"
  echo "  depfile = \$out.d"
  echo "  deps = gcc"
  echo "  description = CXX \$out"
  echo "rule link"
  echo "  command = \$cxx \$common -fsanitize=fuzzer \$in -o \$out -pthread"
  echo "  description = LINK \$out"
  core=()
  for src in "$root"/src/*.cpp "$root"/src/*/*.cpp; do
    obj="obj/core/$(realpath --relative-to="$root/src" "$src" | tr / _).o"
    core+=("$obj")
    # Only the client's code carries coverage counters: the figures measure it, not the harness.
    echo "build $obj: cxx $src"
    echo "  extra = -fsanitize=fuzzer-no-link"
  done
  for src in "$root"/fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    echo "build obj/$name.o: cxx $src"
    echo "build bin/${name%_fuzz}: link obj/$name.o ${core[*]}"
  done
} > "$out/build.ninja.new"
mv "$out/build.ninja.new" "$out/build.ninja"
ninja -C "$out" -j2 | { grep -v '^\[' || true; }
