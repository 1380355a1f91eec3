#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs, with apt-get, whatever of the project's Debian 12 packages is
# missing: the toolchain, GoogleTest and Google Benchmark, clang with its
# fuzzer runtime, valgrind, util-linux/mount for the tests that give a
# program its own /dev/log, and shellcheck and mandoc for the tests of the
# service script and the manual page, tzdata for the listing's local
# dates in other zones, prometheus-node-exporter for the test of the
# metrics file with its real reader, and clang-format and clang-tidy for
# scripts/lint.sh. Sourced or run; does nothing when all are there.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
          valgrind util-linux mount shellcheck mandoc tzdata python3 prometheus-node-exporter
          clang-format clang-tidy "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# python3 may come from elsewhere than Debian's package.
if command -v python3 >/dev/null 2>&1; then
  kept=()
  for p in "${missing[@]}"; do [ "$p" = python3 ] || kept+=("$p"); done
  missing=("${kept[@]+"${kept[@]}"}")
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi
