#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The rc.d service script, configured: its rcorder header, shellcheck, and
# what it decides, run against a stand-in rc.subr and a stand-in kldstat:
# start refuses without a table or without the ipfw module, loads no module,
# passes the table (number or name) and -m only when metrics are asked for;
# stop, status and reload find the daemon through the PID file it gives;
# the enable setting and the one/force/quiet/fast prefixes act as rc.subr
# has them act; with profiles it runs one daemon per profile, each with its
# own table, pause and PID file, and the verbs about the script run once.
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

# The script as rc(8) would run it, with the stand-in rc.subr (processes
# simulated under $work/root); kldstat answers for the ipfw module as
# IPFW_MODULE says, kldload prints what it was asked to load.
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

# One case: NAME, the rc.conf text (after hostreapd_enable="YES"), the
# arguments, the exit status, the standard error (empty: none); the
# standard output on stdin. It runs with the daemons `daemon` set up and the
# ipfw module as $module says ("loaded" unless "absent"); `check` then
# clears both for the next case, `step` keeps them (one case of a sequence).
root=$work/root
mkdir "$root"
module=loaded
step() {
  printf 'hostreapd_enable="YES"\n%s\n' "$2" >"$work/rc.conf"
  cat >"$work/expected"
  if [ -n "$5" ]; then printf '%s\n' "$5"; fi >"$work/expected_errors"
  status=0
  # shellcheck disable=SC2086  # the arguments are words on purpose
  RC_CONF="$work/rc.conf" RC_ROOT=$root IPFW_MODULE=$module PATH="$work/bin:$PATH" \
    /bin/sh "$work/hostreapd" $3 >"$work/actual" 2>"$work/errors" || status=$?
  [ "$status" = "$4" ] || fail "$1: exit status $status, wanted $4"
  diff -u "$work/expected" "$work/actual" || fail "$1: standard output"
  diff -u "$work/expected_errors" "$work/errors" || fail "$1: standard error"
}
check() {
  step "$@"
  rm -rf "$root" && mkdir "$root"
  module=loaded
}

# A daemon that runs with PID $2 and wrote PID file $1; $3, when given, is
# another program that now has the PID (the PID file was left behind).
daemon() {
  mkdir -p "$root/proc" "$root$(dirname "$1")"
  echo "$2" >"$root$1"
  echo "${3:-$sbindir/hostreapd -t 5}" >"$root/proc/$2"
}

started="start: $sbindir/hostreapd -t 5 -s 5 -p /var/run/hostreapd.pid"
warning="$work/hostreapd: WARNING: failed precmd routine for hostreapd"

# Start refusals, each by the start check: its reason, then rc.subr's
# warning, and nothing started. The table must be one word, for rc.subr
# runs the command line through eval.
# MODULE|RC.CONF LINE|REASON
while IFS='|' read -r module conf reason; do
  check "start refused (module $module, rc.conf '$conf')" "$conf" start 1 "$reason
$warning" </dev/null
done <<'CASES'
loaded||hostreapd: hostreapd_table is not set
loaded|hostreapd_table=""|hostreapd: hostreapd_table is not set
loaded|hostreapd_table="5 -f"|hostreapd: hostreapd_table is not a table number or name: 5 -f
loaded|hostreapd_table="web;date"|hostreapd: hostreapd_table is not a table number or name: web;date
absent|hostreapd_table="5"|hostreapd: the ipfw kernel module is not loaded; enable the firewall first (firewall_enable=YES)
absent|hostreapd_table="blocklist"|hostreapd: the ipfw kernel module is not loaded; enable the firewall first (firewall_enable=YES)
CASES
module=loaded

# Stop and reload reach a running daemon whatever the settings now say.
for verb in stop reload; do
  daemon /var/run/hostreapd.pid 4242
  module=absent
  check "$verb without a table or the module" "" $verb 0 "" <<EXPECTED
$([ $verb = stop ] && echo "stop: TERM 4242" || echo "reload: HUP 4242")
EXPECTED
done

# A table number or name goes to -t as it is; which ones are valid (0 to
# 127; a name starting with a letter, not "all") the daemon decides.
for table in 0 127 blocklist web-hosts.v4_2 128 all; do
  check "table $table" "hostreapd_table=\"$table\"" start 0 "" <<EXPECTED
start: $sbindir/hostreapd -t $table -s 5 -p /var/run/hostreapd.pid
EXPECTED
done

check "one table, every setting" 'hostreapd_table="0"
hostreapd_interval="30"
hostreapd_pidfile="/var/run/reap0.pid"
hostreapd_metrics="/var/db/hostreapd.prom"' start 0 "" <<EXPECTED
start: $sbindir/hostreapd -t 0 -s 30 -p /var/run/reap0.pid -m /var/db/hostreapd.prom
EXPECTED

# A daemon's life through the script: every verb finds it through the PID
# file the script gave it with -p.
life='hostreapd_table="5"
hostreapd_pidfile="/var/run/reap.pid"'
life_started="start: $sbindir/hostreapd -t 5 -s 5 -p /var/run/reap.pid"
step "life: start" "$life" start 0 "" <<EXPECTED
$life_started
EXPECTED
step "life: status" "$life" status 0 "" <<EXPECTED
hostreapd is running as pid 101.
EXPECTED
step "life: a second start" "$life" start 1 "hostreapd already running?  (pid=101)." </dev/null
step "life: reload" "$life" reload 0 "" <<EXPECTED
reload: HUP 101
EXPECTED
step "life: restart" "$life" restart 0 "" <<EXPECTED
stop: TERM 101
$life_started
EXPECTED
step "life: stop" "$life" stop 0 "" <<EXPECTED
stop: TERM 102
EXPECTED
step "life: status when stopped" "$life" status 1 "" <<EXPECTED
hostreapd is not running.
EXPECTED
step "life: stop when stopped" "$life" stop 1 "hostreapd not running? (check /var/run/reap.pid)." </dev/null
step "life: reload when stopped" "$life" reload 1 "hostreapd not running? (check /var/run/reap.pid)." </dev/null
check "life: restart when stopped" "$life" restart 0 "hostreapd not running? (check /var/run/reap.pid)." <<EXPECTED
$life_started
EXPECTED

# The enable setting, the prefixes and a daemon that runs (PID 4242), none,
# or a PID file left behind whose PID another program now has. Boot starts
# with "fast": it does not look for a running daemon, and passes over a
# disabled one in silence.
# ENABLE|DAEMON|VERB|STATUS|STANDARD OUTPUT|STANDARD ERROR
while IFS='|' read -r enable state verb want out errors; do
  case $state in
    running) daemon /var/run/hostreapd.pid 4242 ;;
    left) daemon /var/run/hostreapd.pid 4242 /usr/sbin/sshd ;;
  esac
  if [ -n "$out" ]; then printf '%s\n' "$out"; fi >"$work/case_out"
  check "$verb, enable $enable, daemon $state" "hostreapd_table=\"5\"
hostreapd_enable=\"$enable\"" "$verb" "$want" "$errors" <"$work/case_out"
done <<CASES
YES|running|start|1||hostreapd already running?  (pid=4242).
YES|running|faststart|0|$started|
YES|left|start|0|$started|
YES|none|status|1|hostreapd is not running.|
YES|running|status|0|hostreapd is running as pid 4242.|
YES|left|status|1|hostreapd is not running.|
YES|none|stop|1||hostreapd not running? (check /var/run/hostreapd.pid).
YES|left|stop|1||hostreapd not running? (check /var/run/hostreapd.pid).
YES|running|stop|0|stop: TERM 4242|
YES|none|reload|1||hostreapd not running? (check /var/run/hostreapd.pid).
YES|running|reload|0|reload: HUP 4242|
NO|none|start|0|Cannot 'start' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'onestart' instead of 'start'.|
NO|none|quietstart|0||
NO|none|faststart|0||
NO|none|onestart|0|$started|
NO|none|forcestart|0|$started|
NO|none|status|1|hostreapd is not running.|
NO|running|status|0|hostreapd is running as pid 4242.|
NO|running|stop|0|stop: TERM 4242|
NO|none|stop|0|Cannot 'stop' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'onestop' instead of 'stop'.|
NO|running|reload|0|Cannot 'reload' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'onereload' instead of 'reload'.|
NO|running|onereload|0|reload: HUP 4242|
NO|running|restart|0|Cannot 'restart' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'onerestart' instead of 'restart'.|
CASES

# Two profiles. The global table, PID file and metrics file are not used;
# the global pause is the default of a profile's.
profiles='hostreapd_profiles="web mail"
hostreapd_table="9"
hostreapd_interval="30"
hostreapd_pidfile="/var/run/global.pid"
hostreapd_metrics="/var/db/global.prom"
hostreapd_web_table="blocklist"
hostreapd_web_interval="10"
hostreapd_web_metrics="/var/db/web.prom"
hostreapd_mail_table="7"'
check "two profiles" "$profiles" start 0 "" <<EXPECTED
===> hostreapd profile: web
start: $sbindir/hostreapd -t blocklist -s 10 -p /var/run/hostreapd.web.pid -m /var/db/web.prom
===> hostreapd profile: mail
start: $sbindir/hostreapd -t 7 -s 30 -p /var/run/hostreapd.mail.pid
EXPECTED

check "one profile named" "$profiles" "start mail" 0 "" <<EXPECTED
start: $sbindir/hostreapd -t 7 -s 30 -p /var/run/hostreapd.mail.pid
EXPECTED

check "a profile without a table fails; the others still start" 'hostreapd_profiles="web mail"
hostreapd_mail_table="7"' start 1 "hostreapd: hostreapd_web_table is not set
$warning" <<EXPECTED
===> hostreapd profile: web
===> hostreapd profile: mail
start: $sbindir/hostreapd -t 7 -s 5 -p /var/run/hostreapd.mail.pid
EXPECTED

daemon /var/run/hostreapd.web.pid 4242
check "stop reaches every profile's PID file" "$profiles" stop 1 \
  "hostreapd not running? (check /var/run/hostreapd.mail.pid)." <<EXPECTED
===> hostreapd profile: web
stop: TERM 4242
===> hostreapd profile: mail
EXPECTED

daemon /var/run/hostreapd.mail.pid 4243
check "status of one profile" "$profiles" "status mail" 0 "" <<EXPECTED
hostreapd is running as pid 4243.
EXPECTED
check "reload of one profile, not running" "$profiles" "reload web" 1 \
  "hostreapd not running? (check /var/run/hostreapd.web.pid)." </dev/null

# The verbs about the script run once, with profiles or without.
for conf in 'hostreapd_table="5"' "$profiles"; do
  case $conf in *profiles*) with="with profiles" ;; *) with="without profiles" ;; esac
  check "rcvar, $with" "$conf" rcvar 0 "" <<'EXPECTED'
# hostreapd
#
hostreapd_enable="YES"
EXPECTED
  check "enabled, $with" "$conf" enabled 0 "" </dev/null
  check "enabled when disabled, $with" "$conf
hostreapd_enable=\"NO\"" enabled 1 "" </dev/null
  check "describe, $with" "$conf" describe 0 "" <<'EXPECTED'
Remove expired host entries from ipfw lookup tables
EXPECTED
  check "extracommands, $with" "$conf" extracommands 0 "" <<'EXPECTED'
reload
EXPECTED
done

# The profile name becomes part of variable names the script evaluates.
check "a profile name that is no name" "" 'start web;date' 1 "hostreapd: bad profile name: web;date" </dev/null

finish "rc.d script"
