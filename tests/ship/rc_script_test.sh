#!/bin/sh
# The rc.d service script, configured: its rcorder header, shellcheck, and
# what it decides, run against a stand-in rc.subr and a stand-in kldstat:
# start refuses without a table or without the ipfw module, loads no module,
# passes -m only when metrics are asked for, and with profiles runs one
# daemon per profile, each with its own table, pause and PID file.
#
#   rc_script_test.sh CONFIGURED_SCRIPT SBINDIR
set -eu
script=$1
sbindir=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/ship/check_lib.sh
. "$(dirname "$0")/check_lib.sh"

command -v shellcheck >/dev/null || skip "shellcheck is missing (scripts/deps.sh installs it)"
shellcheck "$script" || fail "shellcheck reports the script"
shellcheck "$here/rc_subr_stub.sh" || fail "shellcheck reports the stand-in rc.subr"

for line in "# PROVIDE: hostreapd" "# KEYWORD: nojailvnet shutdown"; do
  grep -qx "$line" "$script" || fail "no header line '$line'"
done
grep -Eqx '# REQUIRE:( [A-Za-z_]+)*( ipfw)( [A-Za-z_]+)*' "$script" || fail "REQUIRE does not name ipfw"
[ "$(grep -cx '\. /etc/rc\.subr' "$script")" = 1 ] || fail "the script does not source /etc/rc.subr once"

# The script as rc(8) would run it, with the stand-in rc.subr; kldstat
# answers for the ipfw module as IPFW_MODULE says, kldload prints what it
# was asked to load.
sed "s|^\. /etc/rc\.subr\$|. $here/rc_subr_stub.sh|" "$script" >"$work/hostreapd"
mkdir "$work/bin"
cat >"$work/bin/kldstat" <<'EOF'
#!/bin/sh
[ "$*" = "-q -m ipfw" ] || { echo "kldstat: unexpected arguments: $*" >&2; exit 2; }
[ "$IPFW_MODULE" = loaded ]
EOF
cat >"$work/bin/kldload" <<'EOF'
#!/bin/sh
echo "kldload $*"
EOF
chmod +x "$work/bin/kldstat" "$work/bin/kldload"

# One case: NAME, the rc.conf text (hostreapd_enable="YES" comes first),
# the arguments, the exit status, the standard error (empty: none); the
# standard output on stdin. The ipfw module is loaded unless $module says
# "absent".
module=loaded
check() {
  printf 'hostreapd_enable="YES"\n%s' "$2" >"$work/rc.conf"
  cat >"$work/expected"
  if [ -n "$5" ]; then printf '%s\n' "$5"; fi >"$work/expected_errors"
  status=0
  # shellcheck disable=SC2086  # the arguments are words on purpose
  RC_CONF="$work/rc.conf" IPFW_MODULE=$module PATH="$work/bin:$PATH" \
    /bin/sh "$work/hostreapd" $3 >"$work/actual" 2>"$work/errors" || status=$?
  [ "$status" = "$4" ] || fail "$1: exit status $status, wanted $4"
  diff -u "$work/expected" "$work/actual" || fail "$1: standard output"
  diff -u "$work/expected_errors" "$work/errors" || fail "$1: standard error"
}

# No table: there is no default to fall back on.
for conf in "" 'hostreapd_table=""
'; do
  check "no table (rc.conf: '$conf')" "$conf" start 1 "hostreapd: hostreapd_table is not set" </dev/null
done

module=absent
check "the ipfw module is not loaded" 'hostreapd_table="5"
' start 1 "hostreapd: the ipfw kernel module is not loaded; enable the firewall first (firewall_enable=YES)" </dev/null

# Stop and reload reach a running daemon whatever the settings now say.
check "reload without a table or the module" "" reload 0 "" <<EXPECTED
reload: HUP /var/run/hostreapd.pid
EXPECTED
module=loaded

check "one table, the defaults" 'hostreapd_table="5"
' start 0 "" <<EXPECTED
start: $sbindir/hostreapd -t 5 -s 5 -p /var/run/hostreapd.pid
EXPECTED

check "one table, every setting" 'hostreapd_table="0"
hostreapd_interval="30"
hostreapd_pidfile="/var/run/reap0.pid"
hostreapd_metrics="/var/db/hostreapd.prom"
' start 0 "" <<EXPECTED
start: $sbindir/hostreapd -t 0 -s 30 -p /var/run/reap0.pid -m /var/db/hostreapd.prom
EXPECTED

# Two profiles. The global table, PID file and metrics file are not used;
# the global pause is the default of a profile's.
profiles='hostreapd_profiles="web mail"
hostreapd_table="9"
hostreapd_interval="30"
hostreapd_pidfile="/var/run/global.pid"
hostreapd_metrics="/var/db/global.prom"
hostreapd_web_table="5"
hostreapd_web_interval="10"
hostreapd_web_metrics="/var/db/web.prom"
hostreapd_mail_table="7"
'
check "two profiles" "$profiles" start 0 "" <<EXPECTED
===> hostreapd profile: web
start: $sbindir/hostreapd -t 5 -s 10 -p /var/run/hostreapd.web.pid -m /var/db/web.prom
===> hostreapd profile: mail
start: $sbindir/hostreapd -t 7 -s 30 -p /var/run/hostreapd.mail.pid
EXPECTED

check "one profile named" "$profiles" "start mail" 0 "" <<EXPECTED
start: $sbindir/hostreapd -t 7 -s 30 -p /var/run/hostreapd.mail.pid
EXPECTED

check "a profile without a table fails; the others still start" 'hostreapd_profiles="web mail"
hostreapd_mail_table="7"
' start 1 "hostreapd: hostreapd_web_table is not set" <<EXPECTED
===> hostreapd profile: web
===> hostreapd profile: mail
start: $sbindir/hostreapd -t 7 -s 5 -p /var/run/hostreapd.mail.pid
EXPECTED

check "stop reaches every profile's PID file" 'hostreapd_profiles="web mail"
' stop 0 "" <<EXPECTED
===> hostreapd profile: web
stop: /var/run/hostreapd.web.pid
===> hostreapd profile: mail
stop: /var/run/hostreapd.mail.pid
EXPECTED

# The profile name becomes part of variable names the script evaluates.
check "a profile name that is no name" "" 'start web;date' 1 "hostreapd: bad profile name: web;date" </dev/null

finish "rc.d script"
