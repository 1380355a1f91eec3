#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD port (packaging/freebsd/sysutils/hostreapd) against the build:
# its PORTVERSION, worked out as make(1) would, is the version the program
# prints, and so is the changelog's newest release; the options it turns
# off are the build's; and its pkg-plist lists
# exactly the files that the port's build installs under its prefix,
# staged with DESTDIR, manuals compressed as the ports framework does.
#
#   port_test.sh CMAKE BUILD_DIR SOURCE_DIR HOSTREAPD
#
# The port builds with the kernel's transport and without the emulator.
# Where this runs on another system, the emulator is the build's transport
# and the rc.d script is not installed, so what the port would install is
# made here from what is the same: the install's "daemon" component, plus
# the rc.d script's install-time step run by hand (as install_test.sh runs
# it). That the rest of a full install is exactly the emulator's two files
# is checked too, so that a file installed outside the component is not
# missed.
set -eu
cmake=$1
build=$2
src=$3
program=$4
port=$src/packaging/freebsd/sysutils/hostreapd
prefix=/usr/local
# shellcheck source=tests/ship/check_lib.sh
. "$(dirname "$0")/check_lib.sh"

for f in Makefile pkg-descr pkg-plist; do
  [ -s "$port/$f" ] || fail "the port has no $f"
done

# PORTVERSION: HOSTREAPD_SRC is four directories up from the port's
# (${.CURDIR:H:H:H:H}), and the "!=" assignment's command is run by sh
# with it filled in.
# shellcheck disable=SC2016  # make(1)'s words, not the shell's
grep -qx 'HOSTREAPD_SRC=	${.CURDIR:H:H:H:H}' "$port/Makefile" ||
  fail "HOSTREAPD_SRC is not the directory four up from the port's"
[ "$(cd "$port/../../../.." && pwd)" = "$(cd "$src" && pwd)" ] ||
  fail "four up from the port is not the source tree"
command=$(sed -n 's/^PORTVERSION!=[[:space:]]*//p' "$port/Makefile" | sed "s|\${HOSTREAPD_SRC}|$src|g")
[ -n "$command" ] || fail "PORTVERSION is not taken with '!='"
portversion=$(sh -c "$command")
version=$("$program" -V | sed -n 's/^hostreapd //p')
if [ -z "$version" ] || [ "$portversion" != "$version" ]; then
  fail "PORTVERSION is '$portversion', hostreapd -V says '$version'"
fi

# The changelog's newest release is this version.
newest=$(sed -n 's/^## \[\([0-9][0-9.]*\)\].*/\1/p' "$src/CHANGELOG.md" | head -n 1)
[ "$newest" = "$version" ] || fail "CHANGELOG.md's newest release is '$newest', hostreapd -V says '$version'"

# The options the port turns off exist.
options=$(sed -n 's/^CMAKE_OFF=[[:space:]]*//p' "$port/Makefile")
[ -n "$options" ] || fail "the port turns no option off"
for option in $options; do
  grep -q "^ *option($option \\|^ *set($option " "$src/CMakeLists.txt" ||
    fail "CMAKE_OFF names $option, which CMakeLists.txt does not have"
done
grep -qx 'LICENSE=	BSD2CLAUSE' "$port/Makefile" || fail "the port's LICENSE is not BSD2CLAUSE"
grep -q 'BSD 2-Clause' "$src/LICENSE" || fail "LICENSE is not the BSD 2-Clause text"

# Files under a staged tree, relative to the prefix.
files() { (cd "$1$prefix" && find . ! -type d | sed 's|^\./||' | sort); }

stage=$work/stage
if ! DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" --component daemon >"$work/log" 2>&1; then
  cat "$work/log"
  fail "cmake --install --component daemon failed"
fi
if [ ! -e "$stage$prefix/etc/rc.d/hostreapd" ]; then
  mkdir "$work/rc"
  DESTDIR=$stage "$cmake" -DCMAKE_INSTALL_PREFIX="$prefix" -DHOSTREAPD_RC_SOURCE="$src/etc/rc.d/hostreapd.in" \
    -DHOSTREAPD_RC_SBINDIR=sbin -DHOSTREAPD_RC_DIR=etc/rc.d -DHOSTREAPD_RC_WORK="$work/rc" \
    -P "$src/etc/rc.d/install_rc_script.cmake" >"$work/log" 2>&1 ||
    { cat "$work/log"; fail "the rc.d step failed"; }
fi
# The ports framework compresses the manuals it finds in the stage.
find "$stage$prefix/share/man" -type f -name '*.[1-9]' -exec gzip -9 {} +
files "$stage" >"$work/installed"
grep -v -e '^@' -e '^$' "$port/pkg-plist" | sort >"$work/plist"
diff -u "$work/plist" "$work/installed" || fail "pkg-plist (-) differs from the files the port installs (+)"

# Everything else a full install puts in place is the emulator's.
full=$work/full
if ! DESTDIR=$full "$cmake" --install "$build" --prefix "$prefix" >"$work/log" 2>&1; then
  cat "$work/log"
  fail "cmake --install failed"
fi
DESTDIR=$work/daemon "$cmake" --install "$build" --prefix "$prefix" --component daemon >/dev/null 2>&1 || true
files "$full" >"$work/full.files"
files "$work/daemon" | comm -13 - "$work/full.files" >"$work/rest"
if grep -q . "$work/rest"; then
  printf '%s\n' bin/fwemu share/man/man1/fwemu.1 | diff -u - "$work/rest" ||
    fail "a full install has files (+) outside the daemon's component that are not the emulator's"
fi

finish "FreeBSD port"
