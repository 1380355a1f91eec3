#!/usr/bin/env bash
# Installs what is missing (Debian 12), builds the project three times (a
# normal build and one with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer, both for FreeBSD 15's firewall records, and a
# normal build for FreeBSD 14's, whose tests start the emulator with
# --abi 14) and runs every test in each, end-to-end tests included; then
# runs each libFuzzer target for a bounded time over its seed
# corpus, and each benchmark once at its smallest size (no figure is
# judged: they are run so that they keep working). Exits non-zero on the
# first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh

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
      ctest --preset "$preset"
    if [ -n "$(ls -A "$reports")" ]; then
      echo "== sanitizer reports:"
      for f in "$reports"/*; do echo "-- $f"; cat "$f"; done
      exit 1
    fi
    rm -rf "$reports"
  else
    ctest --preset "$preset"
  fi
done

echo "== fuzzing"
./scripts/fuzz.sh

echo "== benchmarks, smallest sizes"
./scripts/bench.sh --smoke
