#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs, with apt-get, whatever of the project's Debian 12 packages is
# missing: the toolchain, GoogleTest and Google Benchmark, clang with its
# fuzzer runtime, valgrind, util-linux/mount for the tests that give a
# program its own /dev/log, and shellcheck and mandoc for the tests of the
# service script and the manual page, tzdata for the listing's local
# dates in other zones, prometheus-node-exporter for the test of the
# metrics file with its real reader, prometheus (the server and promtool)
# for the tests of the alerting rules, strace for the test that counts the
# system calls of a log line, and clang-format and clang-tidy for
# scripts/lint.sh; then, from PyPI, zig (the ziglang package), the
# toolchain of the FreeBSD cross builds (scripts/cross.sh). Sourced or run;
# does nothing when all are there.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
          valgrind util-linux mount shellcheck mandoc tzdata python3 prometheus-node-exporter prometheus strace
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

# zig, a clang with libc++ that carries FreeBSD's system headers and link
# stubs, for the FreeBSD cross builds (cmake/freebsd-cross.cmake finds it
# here). It goes into the build tree with pip's --target, never into the
# system Python's packages; the version is pinned, and a tree of another
# version is replaced.
zig_version=0.17.1
zig_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/toolchain/zig
if [ ! -x "$zig_dir/ziglang/zig" ] || [ ! -d "$zig_dir/ziglang-$zig_version.dist-info" ]; then
  echo "== installing zig $zig_version (PyPI's ziglang) into $zig_dir"
  if ! python3 -m pip --version >/dev/null 2>&1; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q python3-pip
  fi
  rm -rf "$zig_dir" "$zig_dir.new"
  python3 -m pip install --disable-pip-version-check --root-user-action=ignore --no-deps --no-compile -q \
    --target "$zig_dir.new" "ziglang==$zig_version"
  mv "$zig_dir.new" "$zig_dir"
fi
