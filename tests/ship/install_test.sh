#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# cmake --install puts the program, its manual, the example alerting rules
# and, where they belong, the emulator and the rc.d script in their places,
# and nothing else: once under an install-time prefix, once staged under
# DESTDIR for the prefix /usr/local, as a package build does.
#
#   install_test.sh CMAKE BUILD_DIR SYSTEM_NAME USE_EMULATOR RC_DIR
#
# The install-time step that puts the rc.d script in place (a FreeBSD
# install with the kernel's transport runs it) is also run by hand from
# RC_DIR, on every system, the same two ways.
set -eu
cmake=$1
build=$2
system=$3
emulator=$4
rc_dir=$5
# shellcheck source=tests/ship/check_lib.sh
. "$(dirname "$0")/check_lib.sh"

# The layout of GNUInstallDirs, FreeBSD's ports' too: manuals in
# PREFIX/share/man everywhere.
mandir="share/man"
{
  echo sbin/hostreapd
  echo "$mandir/man8/hostreapd.8"
  echo share/examples/hostreapd/hostreapd.rules.yml
  case $emulator in
    ON | on | TRUE | true | 1 | YES | yes)
      echo bin/fwemu
      echo "$mandir/man1/fwemu.1"
      ;;
    *) [ "$system" != FreeBSD ] || echo etc/rc.d/hostreapd ;;
  esac
} | sort >"$work/expected"

# One install: NAME, DESTDIR (empty: none), the prefix.
check() {
  name=$1
  root=$2$3
  if ! DESTDIR=$2 "$cmake" --install "$build" --prefix "$3" >"$work/log" 2>&1; then
    cat "$work/log"
    fail "$name: cmake --install failed"
    return
  fi
  (cd "$root" && find . ! -type d | sed 's|^\./||' | sort) >"$work/actual"
  diff -u "$work/expected" "$work/actual" || fail "$name: the installed files differ"

  status=0
  "$root/sbin/hostreapd" -h >/dev/null 2>"$work/usage" || status=$?
  { [ "$status" = 1 ] && grep -q '^Usage: hostreapd ' "$work/usage"; } ||
    fail "$name: the installed hostreapd -h did not print its usage (status $status)"
  # The manuals: their sources with the version on the .Os line.
  version=$("$root/sbin/hostreapd" -V | sed -n 's/^hostreapd //p')
  for page in man8/hostreapd.8:daemon/hostreapd.8 man1/fwemu.1:emu/fwemu.1; do
    installed=$root/$mandir/${page%%:*}
    [ -e "$installed" ] || continue
    grep -qx "\.Os hostreapd $version" "$installed" ||
      fail "$name: $installed does not say .Os hostreapd $version"
    sed 's/^\.Os hostreapd .*/.Os/' "$installed" | cmp -s - "$(dirname "$0")/../../${page#*:}" ||
      fail "$name: the installed ${page%%:*} is not ${page#*:} with the version"
  done
  cmp -s "$root/share/examples/hostreapd/hostreapd.rules.yml" "$(dirname "$0")/../../etc/hostreapd.rules.yml" ||
    fail "$name: the installed alerting rules are not etc/hostreapd.rules.yml"
  if [ -e "$root/bin/fwemu" ]; then
    status=0
    "$root/bin/fwemu" >/dev/null 2>"$work/usage" || status=$?
    { [ "$status" = 64 ] && grep -q '^usage: fwemu ' "$work/usage"; } ||
      fail "$name: the installed fwemu did not print its usage (status $status)"
  fi
  # The service script runs the daemon where it was installed, DESTDIR not
  # included.
  if [ -e "$root/etc/rc.d/hostreapd" ]; then
    [ -x "$root/etc/rc.d/hostreapd" ] || fail "$name: the rc.d script is not executable"
    grep -qx "command=\"$3/sbin/hostreapd\"" "$root/etc/rc.d/hostreapd" ||
      fail "$name: the rc.d script does not run $3/sbin/hostreapd"
  fi
}

check "install-time prefix" "" "$work/prefix"
check "staged under DESTDIR" "$work/stage" /usr/local

# The rc.d step: NAME, DESTDIR (empty: none), the prefix.
check_rc() {
  name=$1
  root=$2$3
  mkdir -p "$work/rc.$name"
  if ! DESTDIR=$2 "$cmake" -DCMAKE_INSTALL_PREFIX="$3" -DHOSTREAPD_RC_SOURCE="$rc_dir/hostreapd.in" \
    -DHOSTREAPD_RC_SBINDIR=sbin -DHOSTREAPD_RC_DIR=etc/rc.d -DHOSTREAPD_RC_WORK="$work/rc.$name" \
    -P "$rc_dir/install_rc_script.cmake" >"$work/log" 2>&1; then
    cat "$work/log"
    fail "rc.d step, $name: failed"
    return
  fi
  [ -x "$root/etc/rc.d/hostreapd" ] || fail "rc.d step, $name: no executable $root/etc/rc.d/hostreapd"
  grep -qx "command=\"$3/sbin/hostreapd\"" "$root/etc/rc.d/hostreapd" ||
    fail "rc.d step, $name: the script does not run $3/sbin/hostreapd"
  ! grep -q '@[A-Z_]*@' "$root/etc/rc.d/hostreapd" || fail "rc.d step, $name: a placeholder is left"
}

check_rc prefix "" "$work/rc-prefix"
check_rc destdir "$work/rc-stage" /usr/local

finish "install"
