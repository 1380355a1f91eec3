#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the libFuzzer targets (clang with AddressSanitizer, LeakSanitizer
# and UndefinedBehaviorSanitizer) in both record layouts, FreeBSD 15's (the
# fuzz preset) and FreeBSD 14's (the fuzz14 preset), and runs each target
# once in each layout, one at a time, over a scratch copy of its seed
# corpus for a bounded time. The committed corpus is never written.
#
# Exits non-zero when a target crashes, leaks, times out, runs out of
# memory or reports anything from a sanitizer, and prints the path of the
# input that did it (kept under build/<preset>/artifacts/<target>/).
#
#   FUZZ_SECONDS  time per target and layout (default 20)
#   FUZZ_TARGETS  targets to run (default: every fuzz/*_fuzz.cc)
#   FUZZ_PRESETS  layouts' presets to run them in (default: "fuzz fuzz14")
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for src in fuzz/*_fuzz.cc; do targets+=("$(basename "$src" .cc)"); done
fi

read -r -a presets <<<"${FUZZ_PRESETS:-fuzz fuzz14}"

for preset in "${presets[@]}"; do
  echo "== fuzz build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()

for preset in "${presets[@]}"; do
  for target in "${targets[@]}"; do
    bin=build/$preset/$target
    corpus=$scratch/$preset/$target
    artifacts=build/$preset/artifacts/$target
    log=$scratch/$preset-$target.log
    rm -rf "$artifacts"
    mkdir -p "$corpus" "$artifacts"
    if [ -d "fuzz/corpus/$target" ]; then cp -R "fuzz/corpus/$target/." "$corpus/"; fi

    extra=()
    if [ -f "fuzz/$target.dict" ]; then extra+=(-dict="fuzz/$target.dict"); fi

    echo "== $target ($preset): ${seconds}s"
    # -close_fd_mask=3 keeps the target's own output (the lines the renderer
    # prints, the messages of every fatal exit) out of the log; the fuzzer's
    # lines and the sanitizers' reports still come through.
    rc=0
    "$bin" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "${extra[@]}" >"$log" 2>&1 || rc=$?
    found=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
    if [ "$rc" -ne 0 ] || [ -n "$found" ] || grep -qE '^(==[0-9]+==ERROR|SUMMARY: )' "$log"; then
      tail -n 60 "$log"
      echo "== $target ($preset) FAILED (exit status $rc)"
      for f in $found; do echo "failing input: $PWD/$f"; done
      failed+=("$target ($preset)")
    else
      grep -E '^(Done|stat::number_of_executed_units)' "$log" || true
      echo "== $target ($preset) passed"
    fi
  done
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "== fuzzing passed: ${targets[*]}, in ${presets[*]}"
