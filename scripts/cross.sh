#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD cross builds: builds the presets freebsd14 and freebsd15 (what
# the port builds, with zig's clang and libc++, warnings as errors; the 15
# build also compiles the comparison of the firewall records with FreeBSD
# 15's <netinet/ip_fw.h>), installs each with DESTDIR into a staging tree,
# and checks what a FreeBSD machine would get, without running it (and that
# the conformance program, fwconform, was built for FreeBSD too):
#   - the program is an x86-64 ELF executable for FreeBSD of that release:
#     FreeBSD's ABI note names the release (the kernel knows a FreeBSD
#     program by it), and its interpreter is FreeBSD's /libexec/ld-elf.so.1;
#   - it needs only libraries of FreeBSD's base system, found by the
#     standard search path (no RPATH or RUNPATH);
#   - the build chose the record layout of that release;
#   - the staged tree holds exactly the port's packing list (PLIST_FILES and
#     the USE_RC_SUBR script), manuals compressed as the ports framework
#     does, and the service script it installs is the port's own
#     files/hostreapd.in with the prefix filled in.
# Exits non-zero when a build or a check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

./scripts/deps.sh

port=packaging/freebsd/sysutils/hostreapd
prefix=/usr/local
# The shared libraries of FreeBSD's base system the program may need: the C
# library, the maths library, the thread library (zig's libc++, linked in
# statically, uses it), and the C++ runtime of base, in case a build links
# it dynamically (libc++, libcxxrt, libgcc_s). Any other library would be a
# package the port does not depend on.
base_libs=" libc.so.7 libm.so.5 libthr.so.3 libc++.so.1 libcxxrt.so.1 libgcc_s.so.1 "

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tests/ship/port_files.sh "$port" >"$work/plist"

for release in 14 15; do
  preset=freebsd$release
  build=build/$preset
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  nice -n 5 cmake --build --preset "$preset"

  echo "== $preset checks"
  stage=$root/$build/stage
  rm -rf "$stage"
  if ! DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >"$work/log" 2>&1; then
    cat "$work/log"
    fail "$preset: cmake --install failed"
    continue
  fi
  program=$stage$prefix/sbin/hostreapd
  # The conformance program, built for a FreeBSD host to run (not installed).
  if [ -x "$build/fwconform" ]; then
    readelf -l "$build/fwconform" | grep -q '\[Requesting program interpreter: /libexec/ld-elf.so.1\]' ||
      fail "$preset: fwconform is not a FreeBSD program"
  else
    fail "$preset: fwconform was not built"
  fi

  readelf -h "$program" >"$work/header"
  grep -Eq '^ *Class: +ELF64$' "$work/header" || fail "$preset: not a 64-bit ELF file"
  grep -Eq '^ *Machine: +Advanced Micro Devices X86-64$' "$work/header" || fail "$preset: not for x86-64"
  grep -Eq '^ *Type: +(EXEC|DYN) ' "$work/header" || fail "$preset: not an executable"
  readelf -l "$program" | grep -q '\[Requesting program interpreter: /libexec/ld-elf.so.1\]' ||
    fail "$preset: its interpreter is not FreeBSD's /libexec/ld-elf.so.1"
  # The ABI note: owner FreeBSD, type 1, its 4 bytes __FreeBSD_version in
  # little-endian order (Debian 12's readelf names the type NT_VERSION).
  note=$(readelf -n "$program" | awk '
    $1 == "FreeBSD" && ($3 == "NT_VERSION" || $3 == "NT_FREEBSD_ABI_TAG") { getline; print $3 $4 $5 $6; exit }')
  if [ -z "$note" ]; then
    fail "$preset: no FreeBSD ABI note"
  else
    osrel=$((0x${note:6:2}${note:4:2}${note:2:2}${note:0:2}))
    [ $((osrel / 100000)) = "$release" ] || fail "$preset: built for __FreeBSD_version $osrel"
    echo "FreeBSD ABI note: __FreeBSD_version $osrel"
  fi

  readelf -d "$program" >"$work/dynamic"
  needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' "$work/dynamic")
  echo "needs: ${needed//$'\n'/ }"
  for lib in $needed; do
    case $base_libs in
      *" $lib "*) ;;
      *) fail "$preset: needs $lib, which is not one of FreeBSD's base libraries" ;;
    esac
  done
  ! grep -Eq '\((RPATH|RUNPATH)\)' "$work/dynamic" || fail "$preset: has an RPATH or RUNPATH"

  # The layout that the __FreeBSD_version of the build's target selects.
  read -ra target < <(grep -o -m 1 -- '-target [^ ]*' "$build/compile_commands.json")
  printf '#include "fwtable/fw_records.h"\nstatic_assert(FW_ABI == %s);\n' "$release" >"$work/layout.cc"
  cmake/zig-c++ "${target[@]}" -std=c++20 -I. -c -o "$work/layout.o" "$work/layout.cc" ||
    fail "$preset: the build does not select FreeBSD $release's record layout"

  if [ "$release" = 15 ]; then
    [ -f "$build/CMakeFiles/fw_records_check.dir/fwtable/fw_records_freebsd_check.cc.o" ] ||
      fail "$preset: the records were not compared with <netinet/ip_fw.h>"
  fi

  find "$stage$prefix/share/man" -type f -name '*.[1-9]' -exec gzip -9 {} +
  (cd "$stage$prefix" && find . ! -type d | sed 's|^\./||' | sort) >"$work/staged"
  diff -u "$work/plist" "$work/staged" || fail "$preset: the port's packing list (-) differs from the staged tree (+)"
  sed "s|%%PREFIX%%|$prefix|g" "$port/files/hostreapd.in" | cmp -s - "$stage$prefix/etc/rc.d/hostreapd" ||
    fail "$preset: the installed service script is not the port's files/hostreapd.in for $prefix"
done

if [ "$failures" -ne 0 ]; then
  echo "== cross builds: $failures check(s) failed"
  exit 1
fi
echo "== cross builds: FreeBSD 14 and 15 compiled, linked and staged as the port installs them"
