#!/bin/sh
# cmake --install puts the program, its manual and, where they belong, the
# emulator and the rc.d script in their places, and nothing else: once under
# an install-time prefix, once staged under DESTDIR for the prefix
# /usr/local, as a package build does.
#
#   install_test.sh CMAKE BUILD_DIR SYSTEM_NAME USE_EMULATOR
set -eu
cmake=$1
build=$2
system=$3
emulator=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The default layout: FreeBSD keeps local manuals in PREFIX/man.
if [ "$system" = FreeBSD ]; then mandir="man"; else mandir="share/man"; fi
{
  echo sbin/hostreapd
  echo "$mandir/man8/hostreapd.8"
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
  cmp -s "$root/$mandir/man8/hostreapd.8" "$(dirname "$0")/../../daemon/hostreapd.8" ||
    fail "$name: the installed manual is not daemon/hostreapd.8"
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

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "install: all checks passed"
