#!/usr/bin/env bash
# The main job, from a fresh machine: install what is missing, build kelpie for
# 32-bit PyPy, start the HDC simulator on a free port, run the guided tour against
# it, stop the simulator. Exits non-zero if any step failed; leaves no process behind.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${KELPIE_BUILD_ROOT:-.build}

step() { printf '\n=== %s\n' "$*"; }

work=$(mktemp -d)
sim_pid=""
tour_pid=""
stop_simulator() {
  local pid=$sim_pid status=0
  sim_pid=""
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" || status=$?
  return "$status"
}
cleanup() {
  if [ -n "$tour_pid" ]; then kill -TERM "$tour_pid" 2>/dev/null || true; wait "$tour_pid" 2>/dev/null || true; fi
  stop_simulator || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "Set-up"
bash scripts/setup.sh

step "Building kelpie for 32-bit PyPy"
site=$(bash scripts/build-python.sh pypy)
case "$site" in /*) ;; *) site="$(pwd)/$site" ;; esac
echo "installed into $site"

step "Starting the HDC simulator (no devices yet; one attaches after 1 s)"
pypy3 python/hdc_sim.py --devices 0 --attach-after 1 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
addr=""
for _ in $(seq 200); do
  if line=$(head -n 1 "$work/sim.out" 2>/dev/null) && [ "${line#listening on }" != "$line" ]; then
    addr=${line#listening on }
    break
  fi
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$addr" ]; then
  echo "tour: the simulator did not start" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
echo "simulator listening on $addr (pid $sim_pid)"

step "The tour, under 32-bit PyPy"
status=0
# In the background and waited for, so that a signal to this script is acted on at once.
PYTHONPATH="$site" pypy3 examples/tour.py "$addr" &
tour_pid=$!
wait "$tour_pid" || status=$?
tour_pid=""

step "Stopping the simulator"
sim_status=0
stop_simulator || sim_status=$?
if [ "$sim_status" -ne 0 ]; then
  echo "tour: the simulator exited with status $sim_status" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
echo "simulator stopped"
if [ "$status" -ne 0 ]; then
  echo "tour: FAILED (exit status $status)" >&2
  exit "$status"
fi
echo "tour: all steps passed"
