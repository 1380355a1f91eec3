#!/usr/bin/env bash
# Installs what is missing (Debian 12), builds the project twice (a normal
# build and one with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both, end-to-end tests
# included; then runs each libFuzzer target for a bounded time over its seed
# corpus. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh

for preset in default asan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset tests"
  ctest --preset "$preset"
done

echo "== fuzzing"
./scripts/fuzz.sh
