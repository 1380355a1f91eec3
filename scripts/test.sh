#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing (Debian 12, and zig from PyPI), checks the
# formatting first (seconds, so a slip fails at once), then builds and
# tests, each build once and each with warnings as errors:
#   default  g++, Release (-O3, what a package builds), FreeBSD 15's
#            records: every test, then each benchmark once at its
#            smallest size (no figure is judged: they are run so that
#            they keep working);
#   abi14    clang++, Release, FreeBSD 14's records (its tests start the
#            emulator with --abi 14): every test;
#   asan     clang++ with AddressSanitizer, LeakSanitizer and
#            UndefinedBehaviorSanitizer, FreeBSD 15's records, with the
#            libFuzzer targets: every test, then each fuzz target for a
#            bounded time over its seed corpus (and again in the fuzz14
#            build, for FreeBSD 14's records); clang-tidy runs meanwhile
#            (its static analyser over the program's sources and the fuzz
#            targets, its other checks over everything);
#   the FreeBSD program cross-built for FreeBSD 14 and 15 and checked
#            (scripts/cross.sh).
# Each stage's time is printed as it ends. Exits non-zero on the first
# failure; otherwise the last line counts the tests of every ctest run,
# skipped ones apart.
set -euo pipefail
cd "$(dirname "$0")/.."

began=$SECONDS
stage_began=$SECONDS
stage_done() {
  echo "== $1: $((SECONDS - stage_began)) s"
  stage_began=$SECONDS
}

./scripts/deps.sh
stage_done "packages"

./scripts/lint.sh --format
stage_done "clang-format"

# Each ctest run leaves its JUnit report here, for the count at the end.
junit=$(mktemp -d)
tidy_pid=""
cleanup() {
  [ -z "$tidy_pid" ] || kill "$tidy_pid" 2>/dev/null || true
  rm -rf "$junit"
}
trap cleanup EXIT
run_ctest() {
  local name=$1
  shift
  ctest --output-junit "$junit/$name.xml" "$@"
}

build_and_test() {
  local preset=$1
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  stage_done "$preset build"
  echo "== $preset tests"
  run_ctest "$preset" --preset "$preset"
  stage_done "$preset tests"
}

build_and_test default
echo "== benchmarks, smallest sizes"
./scripts/bench.sh --smoke
stage_done "benchmarks"

build_and_test abi14

echo "== asan build"
cmake --preset asan >/dev/null
cmake --build --preset asan
stage_done "asan build"

# clang-tidy over the default build's compile database and the fuzz targets
# of the asan one, while the sanitizer's tests run: they spend most of
# their time waiting on the daemons they start, and hold under load.
tidy_log=$(mktemp)
./scripts/lint.sh --tidy build/default build/asan >"$tidy_log" 2>&1 &
tidy_pid=$!

echo "== asan tests"
# Every process of the run, detached daemons and death-test children
# included, writes any sanitizer report into this directory; one report
# fails the run even where no exit status shows it.
reports=$(mktemp -d)
ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
  run_ctest asan --preset asan
if [ -n "$(ls -A "$reports")" ]; then
  echo "== sanitizer reports:"
  for f in "$reports"/*; do echo "-- $f"; cat "$f"; done
  exit 1
fi
rm -rf "$reports"
stage_done "asan tests"

echo "== fuzzing"
FUZZ_PRESETS="asan fuzz14" ./scripts/fuzz.sh
stage_done "fuzzing"

# The FreeBSD program, cross-built for 14 and 15 with zig, and checked.
./scripts/cross.sh
stage_done "FreeBSD cross builds"

echo "== clang-tidy"
tidy_status=0
wait "$tidy_pid" || tidy_status=$?
tidy_pid=""
cat "$tidy_log"
rm -f "$tidy_log"
[ "$tidy_status" -eq 0 ] || exit "$tidy_status"
stage_done "clang-tidy (the rest of it)"
echo "== all stages: $((SECONDS - began)) s"

# The tests of every ctest run above; a skipped (or disabled) test is
# counted apart, never as passed.
attribute() { sed -n "s/^[[:space:]]*$1=\"\([0-9]*\)\"\$/\1/p" "$2" | head -n 1; }
passed=0 failed=0 skipped=0
for report in "$junit"/*.xml; do
  tests=$(attribute tests "$report")
  failures=$(attribute failures "$report")
  not_run=$(($(attribute skipped "$report") + $(attribute disabled "$report")))
  passed=$((passed + tests - failures - not_run))
  failed=$((failed + failures))
  skipped=$((skipped + not_run))
done
if [ "$skipped" -gt 0 ]; then
  echo "== skipped:"
  sed -n 's/^[[:space:]]*<testcase name="\([^"]*\)".*status="\(notrun\|disabled\)".*/  \1/p' "$junit"/*.xml
  # CI has every tool the tests need (deps.sh): there a skip is a fault.
  if [ "${CI:-}" = true ]; then
    echo "== $skipped test(s) skipped in CI, where nothing may be"
    exit 1
  fi
fi
echo "tests: $passed passed, $failed failed, $skipped skipped"
