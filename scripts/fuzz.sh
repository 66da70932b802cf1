#!/usr/bin/env bash
# Fuzzes the client with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/fuzz.sh SECONDS [TARGET...]   fuzz each target (default: all) for SECONDS
#   scripts/fuzz.sh --ci                  replay every committed input, then fuzz each target briefly
# New inputs go to $KELPIE_BUILD_ROOT/fuzz/corpus/TARGET, crashes to
# $KELPIE_BUILD_ROOT/fuzz/findings; the committed seeds in fuzz/corpus are only read.
# A crash that is fixed becomes fuzz/corpus/TARGET/regression-WHAT.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${KELPIE_BUILD_ROOT:-.build}/fuzz
ci_seconds=${KELPIE_FUZZ_CI_SECONDS:-8}

bash fuzz/build.sh "$out" >/dev/null
all=$(cd "$out/bin" && ls)

# libFuzzer's settings for every run. Inputs wait only in virtual time, so one
# that runs for 10 s of real time is a hang; 2 KiB is room enough for a script.
opts=(-dict=fuzz/kelpie.dict -max_len=2048 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)

fuzz() {  # target seconds work-corpus
  local t=$1 seconds=$2 work=$3 log="$out/logs/$1.log"
  mkdir -p "$work" "$out/findings" "$out/logs"
  if ! "$out/bin/$t" "${opts[@]}" -max_total_time="$seconds" -artifact_prefix="$out/findings/$t-" \
      "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "fuzz: $t found a fault; the input is in $out/findings" >&2
    return 1
  fi
  local runs cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  printf 'fuzz: %-14s %10s runs in %ss, %s\n' "$t" "$runs" "$seconds" "$cov"
}

replay() {  # target
  local t=$1
  if ! "$out/bin/$t" -runs=1 fuzz/corpus/"$t"/* >"$out/logs/$t-replay.log" 2>&1; then
    tail -n 40 "$out/logs/$t-replay.log" >&2
    echo "fuzz: $t fails on a committed input" >&2
    return 1
  fi
}

mkdir -p "$out/logs"
if [ "${1:-}" = "--ci" ]; then
  for t in $all; do replay "$t"; done
  echo "fuzz: every committed input replayed"
  # A fresh work corpus each time keeps the run as short on every machine.
  rm -rf "$out/ci-corpus"
  for t in $all; do fuzz "$t" "$ci_seconds" "$out/ci-corpus/$t"; done
  exit 0
fi
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...] | --ci}
shift
for t in ${*:-$all}; do fuzz "$t" "$seconds" "$out/corpus/$t"; done
