#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the libFuzzer targets (the fuzz preset, clang with AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer) and runs each, one at a
# time, over a scratch copy of its seed corpus for a bounded time. The
# committed corpus is never written.
#
# Exits non-zero when a target crashes, leaks, times out, runs out of
# memory or reports anything from a sanitizer, and prints the path of the
# input that did it (kept under build/fuzz/artifacts/<target>/).
#
#   FUZZ_SECONDS  time per target (default 20)
#   FUZZ_TARGETS  targets to run (default: every fuzz/*_fuzz.cc)
#   FUZZ_PRESET   the build preset that has the targets (default fuzz; the
#                 asan preset builds them beside its tests)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for src in fuzz/*_fuzz.cc; do targets+=("$(basename "$src" .cc)"); done
fi

echo "== fuzz build"
preset=${FUZZ_PRESET:-fuzz}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j 2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts_root=build/$preset/artifacts
failed=()

for target in "${targets[@]}"; do
  bin=build/$preset/$target
  corpus=$scratch/$target
  artifacts=$artifacts_root/$target
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "fuzz/corpus/$target" ]; then cp -R "fuzz/corpus/$target/." "$corpus/"; fi

  extra=()
  if [ -f "fuzz/$target.dict" ]; then extra+=(-dict="fuzz/$target.dict"); fi

  echo "== $target: ${seconds}s"
  # -close_fd_mask=3 keeps the target's own output (the lines the renderer
  # prints, the messages of every fatal exit) out of the log; the fuzzer's
  # lines and the sanitizers' reports still come through.
  rc=0
  "$bin" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${extra[@]}" >"$scratch/$target.log" 2>&1 || rc=$?
  found=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
  if [ "$rc" -ne 0 ] || [ -n "$found" ] || grep -qE '^(==[0-9]+==ERROR|SUMMARY: )' "$scratch/$target.log"; then
    tail -n 60 "$scratch/$target.log"
    echo "== $target FAILED (exit status $rc)"
    for f in $found; do echo "failing input: $PWD/$f"; done
    failed+=("$target")
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$scratch/$target.log" || true
    echo "== $target passed"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "== fuzzing passed: ${targets[*]}"
