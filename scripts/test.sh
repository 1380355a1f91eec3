#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing (Debian 12), builds the project three times (a
# normal build and one with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer, both for FreeBSD 15's firewall records, and a
# normal build for FreeBSD 14's, whose tests start the emulator with
# --abi 14) and runs every test in each, end-to-end tests included;
# compiles a Release build with g++ and one with clang++, warnings as
# errors (tests and benchmarks compiled, not run); cross-builds the FreeBSD
# program for FreeBSD 14 and 15 and checks it (scripts/cross.sh); then
# runs each libFuzzer target for a bounded time over its seed corpus, each
# benchmark once at its smallest size (no figure is judged: they are run
# so that they keep working), and the lint (clang-format and clang-tidy).
# Exits non-zero on the first failure; otherwise the last line counts the
# tests of every ctest run, skipped ones apart.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh

# Each ctest run leaves its JUnit report here, for the count at the end.
junit=$(mktemp -d)
trap 'rm -rf "$junit"' EXIT
run_ctest() {
  local name=$1
  shift
  ctest --output-junit "$junit/$name.xml" "$@"
}

for preset in default asan abi14; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset tests"
  if [ "$preset" = asan ]; then
    # Every process of the run, detached daemons and death-test children
    # included, writes any sanitizer report into this directory; one report
    # fails the run even where no exit status shows it.
    reports=$(mktemp -d)
    ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
      run_ctest "$preset" --preset "$preset"
    if [ -n "$(ls -A "$reports")" ]; then
      echo "== sanitizer reports:"
      for f in "$reports"/*; do echo "-- $f"; cat "$f"; done
      exit 1
    fi
    rm -rf "$reports"
  else
    run_ctest "$preset" --preset "$preset"
  fi
done

# What a package build does: the system compiler, Release (-O3), here with
# warnings as errors, so that a warning only an optimised build shows is
# caught.
for compiler in g++ clang++; do
  dir=build/release-${compiler%++}
  echo "== Release build with $compiler"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$compiler" \
    -DHOSTREAPD_WERROR=ON >/dev/null
  cmake --build "$dir"
done

# The FreeBSD program, cross-built for 14 and 15 with zig, and checked
# (scripts/cross.sh).
./scripts/cross.sh

echo "== fuzzing"
./scripts/fuzz.sh

echo "== benchmarks, smallest sizes"
./scripts/bench.sh --smoke

echo "== lint"
./scripts/lint.sh build/default build/fuzz

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
