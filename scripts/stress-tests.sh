#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Runs the process tests (the ctest tests of tests/: the process_tests
# binary's cases and the shipping scripts' tests) of a build RUNS times
# while two busy loops keep both cores of a small machine loaded, and
# reports every failure with its run number; a test that only passes on an
# idle machine shows here. Not part of CI: run it by hand, after a build.
#
#   scripts/stress-tests.sh [RUNS [BUILD_DIR]]   (default: 5 build/default)
#
# RUNS is at least 1; BUILD_DIR a configured and built tree (for instance
# build/asan, where every sanitizer report also counts as a failure).
# STRESS_JOBS (default 2) is ctest's parallelism; STRESS_RUN_LIMIT (default
# 3600) the seconds one run may take before it is ended and counted as a
# failure, so the whole script ends within RUNS times that. The busy loops
# are started here and end with the script however it ends (each also
# looks for the script and stops by itself once it is gone, or at the time
# limit). Each run's ctest output goes to BUILD_DIR/stress/run-N.log.
#
# Prints "run N: TEST failed" for each failure, then the summary line
# "stress: RUNS runs of T tests under load, F failed"; exits 1 when
# anything failed, 2 on a usage error.
set -euo pipefail

runs=${1:-5}
build=${2:-build/default}
jobs=${STRESS_JOBS:-2}
run_limit=${STRESS_RUN_LIMIT:-3600}

usage() {
  echo "usage: $0 [RUNS [BUILD_DIR]]" >&2
  exit 2
}
[ $# -le 2 ] || usage
[[ $runs =~ ^[1-9][0-9]*$ ]] || usage
[[ $jobs =~ ^[1-9][0-9]*$ ]] || usage
[[ $run_limit =~ ^[1-9][0-9]*$ ]] || usage
if [ ! -f "$build/CTestTestfile.cmake" ]; then
  echo "$0: $build is not a configured build (cmake --preset default && cmake --build --preset default)" >&2
  exit 2
fi
build=$(cd "$build" && pwd)

# The tests to run, by their ctest numbers: every one whose command runs
# the process_tests binary or a script of tests/ship.
mapfile -t numbers < <(ctest --test-dir "$build" -N -V |
  awk '/^[0-9]+: Test command: / {
         n = $1; sub(":", "", n)
         if ($4 ~ /\/process_tests$/ || $0 ~ /\/tests\/ship\//) print n
       }')
if [ ${#numbers[@]} -eq 0 ]; then
  echo "$0: no process tests in $build (is it built with the tests?)" >&2
  exit 2
fi
selection=$(
  IFS=,
  echo "0,0,0,${numbers[*]}"
)

sanitized=no
if grep -q '^HOSTREAPD_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then sanitized=yes; fi

logs=$build/stress
rm -rf "$logs"
mkdir -p "$logs"

# Two loops that only burn CPU, as two other busy programs would. Each ends
# when the script has gone (killed with SIGKILL, its trap never ran) or at
# the last moment the script itself could still be running.
loop_pids=()
run_pid=
clean_up() {
  local pid
  # A run still going (the script interrupted): timeout passes the signal
  # on to ctest and the tests it started.
  if [ -n "$run_pid" ]; then
    kill "$run_pid" 2>/dev/null || true
    wait "$run_pid" 2>/dev/null || true
  fi
  for pid in "${loop_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${loop_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  loop_pids=()
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
script_pid=$$
loop_end=$((SECONDS + runs * (run_limit + 60)))
for _ in 1 2; do
  (
    trap - EXIT INT TERM
    while ((SECONDS < loop_end)) && kill -0 "$script_pid" 2>/dev/null; do
      for ((i = 0; i < 100000; i++)); do :; done
    done
  ) &
  loop_pids+=($!)
done

failed=0
for ((run = 1; run <= runs; run++)); do
  log=$logs/run-$run.log
  rm -f "$build/Testing/Temporary/LastTestsFailed.log"
  reports=$logs/sanitizer-$run
  env=()
  if [ $sanitized = yes ]; then
    mkdir -p "$reports"
    env=("ASAN_OPTIONS=log_path=$reports/asan:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
      "UBSAN_OPTIONS=log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}")
  fi
  started=$SECONDS
  status=0
  # In the background, so that a stop signal reaches the script's trap at
  # once rather than after the run.
  env "${env[@]}" timeout --kill-after=30 "$run_limit" \
    ctest --test-dir "$build" -I "$selection" -j "$jobs" --output-on-failure >"$log" 2>&1 &
  run_pid=$!
  wait "$run_pid" || status=$?
  run_pid=
  echo "run $run: $((SECONDS - started)) s, $(grep -Eo '[0-9]+% tests passed, [0-9]+ tests failed' "$log" || echo "no summary")"
  if [ $status -eq 124 ] || [ $status -eq 137 ]; then
    echo "run $run: did not finish within $run_limit s (ended)"
    failed=$((failed + 1))
  fi
  if [ -f "$build/Testing/Temporary/LastTestsFailed.log" ]; then
    while IFS=: read -r _ name; do
      echo "run $run: $name failed"
      failed=$((failed + 1))
    done <"$build/Testing/Temporary/LastTestsFailed.log"
  elif [ $status -ne 0 ] && [ $status -ne 124 ] && [ $status -ne 137 ]; then
    echo "run $run: ctest ended with status $status (see $log)"
    failed=$((failed + 1))
  fi
  if [ $sanitized = yes ]; then
    for report in "$reports"/*; do
      [ -e "$report" ] || continue
      echo "run $run: sanitizer report $report"
      failed=$((failed + 1))
    done
  fi
done

echo "stress: $runs runs of ${#numbers[@]} tests under load, $failed failed"
[ $failed -eq 0 ]
