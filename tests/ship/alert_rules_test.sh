#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The alerting rules the project ships (etc/hostreapd.rules.yml) as
# Prometheus reads them: `promtool check rules` finds them well formed,
# `promtool test rules` runs the table of cases of
# tests/ship/hostreapd_rules_test.yml against them, and every alert of
# the file has cases there.
#
#   alert_rules_test.sh SOURCE_DIR
set -eu
src=$1
rules=$src/etc/hostreapd.rules.yml
cases=$src/tests/ship/hostreapd_rules_test.yml
# shellcheck source=tests/ship/check_lib.sh
. "$(dirname "$0")/check_lib.sh"

command -v promtool >/dev/null || skip "promtool is missing (scripts/deps.sh installs prometheus)"

promtool check rules "$rules" >"$work/check" 2>&1 || {
  cat "$work/check"
  fail "promtool check rules refuses $rules"
}
promtool test rules "$cases" >"$work/test" 2>&1 || {
  cat "$work/test"
  fail "promtool test rules: the rules do not do what the cases say"
}
sed -n 's/^ *- alert: *\([A-Za-z0-9_]*\) *$/\1/p' "$rules" >"$work/alerts"
[ -s "$work/alerts" ] || fail "$rules names no alert"
while read -r alert; do
  grep -q "^ *alertname: *$alert *\$" "$cases" || fail "$alert has no cases in $cases"
done <"$work/alerts"

finish "alerting rules"
