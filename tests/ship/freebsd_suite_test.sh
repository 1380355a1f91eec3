#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The suite for a FreeBSD host (tests/freebsd/*.sh) cannot run here; this
# holds its scripts to what FreeBSD's /bin/sh runs: shellcheck, as POSIX
# sh, finds nothing in any of them.
#
#   freebsd_suite_test.sh SUITE_DIR
set -eu
suite=$1
# shellcheck source=tests/ship/check_lib.sh
. "$(dirname "$0")/check_lib.sh"

command -v shellcheck >/dev/null || skip "shellcheck is missing (scripts/deps.sh installs it)"
found=
for f in "$suite"/*.sh; do
  [ -f "$f" ] || continue
  found=yes
  shellcheck -s sh "$f" || fail "shellcheck -s sh reports $f"
done
[ -n "$found" ] || fail "no scripts in $suite"
finish "FreeBSD suite"
