#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks the C++ sources that git tracks against the project's style and
# lint settings: clang-format (.clang-format) in check mode, which changes
# nothing and fails on any file it would change; then clang-tidy
# (.clang-tidy, every finding an error) over each source a build compiles,
# as its compile_commands.json says (a source is checked once, with the
# first build that has it). Exits non-zero when either finds anything.
#
#   scripts/lint.sh [BUILD_DIR...]     (default: build/default)
#
# The default preset's build is configured when it is missing; with
# build/fuzz as well, the fuzz targets are checked too.
set -euo pipefail
cd "$(dirname "$0")/.."
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(build/default)

for tool in clang-format clang-tidy; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done

mapfile -t sources < <(git ls-files '*.cc' '*.h')
echo "== clang-format, ${#sources[@]} files"
clang-format --dry-run -Werror "${sources[@]}"

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
  printf '%s\n' "${units[@]}" |
    xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null
done
echo "== lint: clean"
