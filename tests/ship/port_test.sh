#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD port (packaging/freebsd/sysutils/hostreapd) against the build:
# its PORTVERSION is the version the program prints, and so is the
# changelog's newest release; the options it turns off are the build's; its
# service script (files/hostreapd.in, installed by USE_RC_SUBR) is the
# project's with the port's %%PREFIX%%; its packing list (PLIST_FILES and
# the USE_RC_SUBR script) is exactly what the port's build installs under
# its prefix, staged with DESTDIR, manuals compressed as the ports framework
# does; and scripts/release.sh makes the distfile the port fetches, with a
# distinfo that describes it.
#
#   port_test.sh CMAKE BUILD_DIR SOURCE_DIR HOSTREAPD
#
# The port builds with the kernel's transport and without the emulator.
# Where this runs on another system, the emulator is the build's transport,
# so what the port would install is made here from what is the same: the
# install's "daemon" component, less any rc.d script of the build's (the
# port turns it off), plus the port's own script. That the rest of a full
# install is exactly the emulator's two files is checked too, so that a
# file installed outside the component is not missed. (scripts/cross.sh
# stages the real FreeBSD builds against the same packing list.)
set -eu
cmake=$1
build=$2
src=$3
program=$4
here=$(cd "$(dirname "$0")" && pwd)
port=$src/packaging/freebsd/sysutils/hostreapd
prefix=/usr/local
# shellcheck source=tests/ship/check_lib.sh
. "$(dirname "$0")/check_lib.sh"

for f in Makefile pkg-descr files/hostreapd.in; do
  [ -s "$port/$f" ] || fail "the port has no $f"
done
[ ! -e "$port/pkg-plist" ] || fail "the port has a pkg-plist beside its PLIST_FILES"

# A plain assignment of the Makefile: NAME=<tab>value.
setting() { sed -n "s/^$1=[[:space:]]*//p" "$port/Makefile"; }

portversion=$(setting PORTVERSION)
version=$("$program" -V | sed -n 's/^hostreapd //p')
if [ -z "$version" ] || [ "$portversion" != "$version" ]; then
  fail "PORTVERSION is '$portversion', hostreapd -V says '$version'"
fi
newest=$(sed -n 's/^## \[\([0-9][0-9.]*\)\].*/\1/p' "$src/CHANGELOG.md" | head -n 1)
[ "$newest" = "$version" ] || fail "CHANGELOG.md's newest release is '$newest', hostreapd -V says '$version'"

# The options the port turns off exist.
options=$(sed -e ':a' -e '/\\$/{N;s/\\\n/ /;ba' -e '}' "$port/Makefile" | sed -n 's/^CMAKE_OFF=[[:space:]]*//p')
[ -n "$options" ] || fail "the port turns no option off"
for option in $options; do
  grep -q "^ *option($option \\|^ *set($option " "$src/CMakeLists.txt" ||
    fail "CMAKE_OFF names $option, which CMakeLists.txt does not have"
done
grep -qx 'LICENSE=	BSD2CLAUSE' "$port/Makefile" || fail "the port's LICENSE is not BSD2CLAUSE"
# The ports framework picks a compiler for the language level USES names;
# it must be the one the build requires (set(CMAKE_CXX_STANDARD N)).
standard=$(sed -n 's/^set(CMAKE_CXX_STANDARD \([0-9][0-9]*\))$/\1/p' "$src/CMakeLists.txt")
case " $(setting USES) " in
  *" compiler:c++${standard}-lang "*) ;;
  *) fail "USES does not name compiler:c++${standard}-lang, the C++ standard CMakeLists.txt requires" ;;
esac
grep -q 'BSD 2-Clause' "$src/LICENSE" || fail "LICENSE is not the BSD 2-Clause text"

# The port's service script is the project's, the daemon named under the
# port's prefix. After a change to etc/rc.d/hostreapd.in, make it with
#   sed 's|@HOSTREAPD_SBINDIR@/hostreapd|%%PREFIX%%/sbin/hostreapd|' \
#     etc/rc.d/hostreapd.in >packaging/freebsd/sysutils/hostreapd/files/hostreapd.in
sed 's|@HOSTREAPD_SBINDIR@/hostreapd|%%PREFIX%%/sbin/hostreapd|' "$src/etc/rc.d/hostreapd.in" |
  diff -u - "$port/files/hostreapd.in" ||
  fail "files/hostreapd.in (+) is not etc/rc.d/hostreapd.in (-) with %%PREFIX%%/sbin"

# Files under a staged tree, relative to the prefix.
files() { (cd "$1$prefix" && find . ! -type d | sed 's|^\./||' | sort); }

stage=$work/stage
if ! DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" --component daemon >"$work/log" 2>&1; then
  cat "$work/log"
  fail "cmake --install --component daemon failed"
fi
rm -f "$stage$prefix/etc/rc.d/hostreapd"
# What USE_RC_SUBR does: the script with the port's substitutions, in
# etc/rc.d without its .in.
mkdir -p "$stage$prefix/etc/rc.d"
sed "s|%%PREFIX%%|$prefix|g" "$port/files/hostreapd.in" >"$stage$prefix/etc/rc.d/hostreapd"
find "$stage$prefix/share/man" -type f -name '*.[1-9]' -exec gzip -9 {} +
files "$stage" >"$work/installed"
"$here/port_files.sh" "$port" >"$work/plist" || fail "the port's packing list cannot be read"
diff -u "$work/plist" "$work/installed" || fail "the port's packing list (-) differs from the files it installs (+)"

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

# The distfile: the port fetches PORTNAME-PORTVERSION.tar.gz (its DISTNAME
# and EXTRACT_SUFX left as the framework has them), extracts it into a
# directory of that name and reads LICENSE_FILE there; its distinfo states
# the file's SHA256 and size. Only from a git checkout, as release.sh
# archives a commit.
setting MASTER_SITES | grep -q . || fail "the port has no MASTER_SITES"
! grep -Eq '^(DISTNAME|DISTFILES|EXTRACT_SUFX|WRKSRC)=' "$port/Makefile" ||
  fail "the port names its distfile itself; this test and release.sh expect the framework's name"
if git -C "$src" rev-parse --verify --quiet HEAD >/dev/null 2>&1; then
  if "$src/scripts/release.sh" -o "$work/release" -d "$work/release/distinfo" >"$work/log" 2>&1; then
    dist=hostreapd-$portversion.tar.gz
    tarball=$work/release/$dist
    [ -f "$tarball" ] || fail "release.sh made no $dist"
    {
      echo "TIMESTAMP = [0-9]*"
      echo "SHA256 ($dist) = $(sha256sum "$tarball" | cut -d ' ' -f 1)"
      echo "SIZE ($dist) = $(wc -c <"$tarball" | tr -d ' ')"
    } >"$work/distinfo.expected"
    sed 's/^TIMESTAMP = [0-9]*$/TIMESTAMP = [0-9]*/' "$work/release/distinfo" | diff -u "$work/distinfo.expected" - ||
      fail "release.sh's distinfo (+) does not describe its tarball"
    tar -tzf "$tarball" >"$work/contents"
    for f in CMakeLists.txt LICENSE etc/rc.d/hostreapd.in daemon/hostreapd.8; do
      grep -qx "hostreapd-$portversion/$f" "$work/contents" || fail "the tarball has no hostreapd-$portversion/$f"
    done
    ! grep -qv "^hostreapd-$portversion/" "$work/contents" ||
      fail "the tarball has files outside hostreapd-$portversion/"
  else
    cat "$work/log"
    fail "release.sh failed"
  fi
else
  echo "note: $src is not a git checkout; release.sh not tried"
fi

finish "FreeBSD port"
