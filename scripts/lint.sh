#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks the C++ sources that git tracks against the project's style and
# lint settings: clang-format (.clang-format) in check mode, which changes
# nothing and fails on any file it would change; then clang-tidy
# (.clang-tidy, every finding an error) over each source a build compiles,
# as its compile_commands.json says (a source is checked once, with the
# first build that has it). Exits non-zero when either finds anything.
#
#   scripts/lint.sh [--format | --tidy] [BUILD_DIR...]
#                                      (default: both; build/default)
#
# The default preset's build is configured when it is missing; with
# build/asan as well (where the fuzz targets are built), the fuzz targets are
# checked too. The static analyser's checks (clang-analyzer-*), which cost
# most, run over the program's own sources and the fuzz targets; the tests
# and benchmarks get every other check.
set -euo pipefail
cd "$(dirname "$0")/.."
format=true
tidy=true
case "${1:-}" in
  --format) tidy=false; shift ;;
  --tidy) format=false; shift ;;
esac
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(build/default)

for tool in clang-format clang-tidy; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done

if $format; then
  mapfile -t sources < <(git ls-files '*.cc' '*.h')
  echo "== clang-format, ${#sources[@]} files"
  clang-format --dry-run -Werror "${sources[@]}"
fi
$tidy || exit 0

if [ ! -f build/default/compile_commands.json ] && [ "${builds[*]}" = build/default ]; then
  cmake --preset default >/dev/null
fi
declare -A seen=()
for build in "${builds[@]}"; do
  [ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json" >&2; exit 1; }
  units=()
  while read -r f; do
    [ -z "${seen[$f]:-}" ] || continue
    grep -q "\"file\": \"$PWD/$f\"" "$build/compile_commands.json" || continue
    seen[$f]=1
    units+=("$f")
  done < <(git ls-files '*.cc')
  echo "== clang-tidy, ${#units[@]} files of $build"
  [ ${#units[@]} -gt 0 ] || continue
  analysed=() rest=()
  for f in "${units[@]}"; do
    case $f in
      tests/* | bench/* | *_test.cc) rest+=("$f") ;;
      *) analysed+=("$f") ;;
    esac
  done
  if [ ${#analysed[@]} -gt 0 ]; then
    printf '%s\n' "${analysed[@]}" |
      xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null
  fi
  if [ ${#rest[@]} -gt 0 ]; then
    printf '%s\n' "${rest[@]}" |
      xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' \
        --checks='-clang-analyzer-*' 2>/dev/null
  fi
done
echo "== lint: clean"
