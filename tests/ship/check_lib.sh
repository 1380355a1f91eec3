# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=sh
# What the shipping tests share, sourced by each: a scratch directory
# removed at exit, failures counted without stopping at the first, and the
# verdict at the end.
#
#   . "$(dirname "$0")/check_lib.sh"
#   fail "what went wrong"      (counts it, goes on)
#   finish "what was checked"   (exit 1 if anything failed)
#   skip "why"                  (exit 77: ctest reports the test as skipped)

# shellcheck disable=SC2034  # work is for the sourcing test
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "$1: all checks passed"
}

# The test cannot run here (a tool it needs is missing).
skip() {
  echo "SKIP: $*"
  exit 77
}
