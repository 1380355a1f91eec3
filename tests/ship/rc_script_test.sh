#!/bin/sh
# The rc.d service script, configured: its rcorder header, shellcheck, and
# what it hands rc.subr (name, rcvar, command, command_args, pidfile,
# required_modules) with the defaults and with rc.conf settings.
#
#   rc_script_test.sh CONFIGURED_SCRIPT SBINDIR
set -eu
script=$1
sbindir=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/ship/check_lib.sh
. "$(dirname "$0")/check_lib.sh"

command -v shellcheck >/dev/null || { echo "FAIL: shellcheck is missing (scripts/deps.sh installs it)"; exit 1; }
shellcheck "$script" || fail "shellcheck reports the script"

for line in "# PROVIDE: hostreapd" "# KEYWORD: shutdown"; do
  grep -qx "$line" "$script" || fail "no header line '$line'"
done
grep -Eqx '# REQUIRE:( [A-Za-z_]+)*( ipfw)( [A-Za-z_]+)*' "$script" || fail "REQUIRE does not name ipfw"
[ "$(grep -cx '\. /etc/rc\.subr' "$script")" = 1 ] || fail "the script does not source /etc/rc.subr once"

# The script as rc(8) would run it, with the stand-in rc.subr.
sed "s|^\. /etc/rc\.subr\$|. $here/rc_subr_stub.sh|" "$script" >"$work/hostreapd"

# One case: NAME, the rc.conf text, the verb; the expected lines on stdin.
check() {
  printf '%s' "$2" >"$work/rc.conf"
  cat >"$work/expected"
  if ! RC_CONF="$work/rc.conf" /bin/sh "$work/hostreapd" "$3" >"$work/actual" 2>&1; then
    fail "$1: the script failed"
  fi
  diff -u "$work/expected" "$work/actual" || fail "$1"
}

check "defaults" "" start <<EXPECTED
verb=start
name=hostreapd
rcvar=hostreapd_enable
enabled=no
command=$sbindir/hostreapd
command_args=-t 127 -s 5 -p /var/run/hostreapd.pid
pidfile=/var/run/hostreapd.pid
required_modules=ipfw
EXPECTED

check "every setting given" 'hostreapd_enable="YES"
hostreapd_table="5"
hostreapd_interval="30"
hostreapd_pidfile="/var/run/reap5.pid"
' stop <<EXPECTED
verb=stop
name=hostreapd
rcvar=hostreapd_enable
enabled=yes
command=$sbindir/hostreapd
command_args=-t 5 -s 30 -p /var/run/reap5.pid
pidfile=/var/run/reap5.pid
required_modules=ipfw
EXPECTED

check "some settings given" 'hostreapd_enable="YES"
hostreapd_table="0"
' status <<EXPECTED
verb=status
name=hostreapd
rcvar=hostreapd_enable
enabled=yes
command=$sbindir/hostreapd
command_args=-t 0 -s 5 -p /var/run/hostreapd.pid
pidfile=/var/run/hostreapd.pid
required_modules=ipfw
EXPECTED

check "empty settings take the defaults" 'hostreapd_table=""
hostreapd_interval=""
hostreapd_pidfile=""
' start <<EXPECTED
verb=start
name=hostreapd
rcvar=hostreapd_enable
enabled=no
command=$sbindir/hostreapd
command_args=-t 127 -s 5 -p /var/run/hostreapd.pid
pidfile=/var/run/hostreapd.pid
required_modules=ipfw
EXPECTED

finish "rc.d script"
