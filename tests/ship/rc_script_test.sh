#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The rc.d service script, configured: its rcorder header, shellcheck, and
# what it decides, run against a stand-in rc.subr and a stand-in kldstat:
# start refuses without a table or without the ipfw module, loads no module,
# passes the table (number or name), the flags and -m only when metrics are
# asked for; no setting reaches rc.subr's eval as more than one word or as
# something eval runs, not even under "force"; stop, status and reload find
# the daemon through the PID file it gives; the enable setting and the
# one/force/quiet/fast prefixes act as rc.subr has them act; with profiles
# it runs one daemon per profile, each with its own table, pause and PID
# file (a profile list of "*" is no file name), and the verbs about the
# script run once; "info" sends the daemon SIGINFO; the verbs rc.subr
# refuses or does not know answer as it does.
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
# standard output on stdin. It runs with the daemons `daemon` set up, the
# program installed (a stand-in that, as the daemon, fails to start with
# fewer than two arguments or with -h), and the ipfw module as $module says
# ("loaded" unless "absent"); `check` then sets all three up afresh for the next case, `step`
# keeps them (one case of a sequence). Whatever a setting could slip into
# rc.subr's eval touches $ran, which no case may leave behind.
root=$work/root
ran=$work/ran
fresh_root() {
  rm -rf "$root"
  mkdir -p "$root$sbindir"
  cat >"$root$sbindir/hostreapd" <<'EOF'
#!/bin/sh
case " $* " in *" -h "*) exit 1 ;; esac
[ $# -ge 2 ]
EOF
  chmod +x "$root$sbindir/hostreapd"
}
fresh_root
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
  if [ -e "$ran" ]; then
    fail "$1: a setting ran through eval"
    rm -f "$ran"
  fi
}
check() {
  step "$@"
  fresh_root
  module=loaded
}

# A daemon that runs with PID $2 and wrote PID file $1; $3, when given, is
# another program that now has the PID (the PID file was left behind).
daemon() {
  mkdir -p "$root/proc" "$root$(dirname "$1")"
  echo "$2" >"$root$1"
  echo "${3:-$sbindir/hostreapd -t 5}" >"$root/proc/$2"
}

started="Starting hostreapd.
start: $sbindir/hostreapd -t 5 -s 5 -p /var/run/hostreapd.pid"
warning="$work/hostreapd: WARNING: failed precmd routine for hostreapd"
long_name=abcdefghijklmnopqrstuvwxyz0123456789-._ABCDEFGHIJKLMNOPQRSTUVWX  # 63
path_rule="is not a plain path (letters, digits, /._-+,:@%)"

# Start refusals, each by the start check: its reason, then rc.subr's
# warning, and nothing started. The table follows the daemon's rule, and no
# setting may be more to eval than one word of itself. (The rc.conf lines
# are in single quotes, so that loading them runs nothing.)
# MODULE|RC.CONF LINE|REASON
while IFS='|' read -r module conf reason; do
  check "start refused (module $module, rc.conf '$conf')" "$conf" start 1 "hostreapd: $reason
$warning" </dev/null
done <<CASES
loaded||hostreapd_table is not set
loaded|hostreapd_table=""|hostreapd_table is not set
loaded|hostreapd_table="5 -f"|hostreapd_table is not a table number or name: 5 -f
loaded|hostreapd_table="a b"|hostreapd_table is not a table number or name: a b
loaded|hostreapd_table='web;touch $ran'|hostreapd_table is not a table number or name: web;touch $ran
loaded|hostreapd_table='\$(touch $ran)'|hostreapd_table is not a table number or name: \$(touch $ran)
loaded|hostreapd_table="all"|hostreapd_table is not a table number or name: all
loaded|hostreapd_table="65535"|hostreapd_table is not a table number or name: 65535
loaded|hostreapd_table="000000100000"|hostreapd_table is not a table number or name: 000000100000
loaded|hostreapd_table="${long_name}X"|hostreapd_table is not a table number or name: ${long_name}X
loaded|hostreapd_table="5" hostreapd_interval="10 -f"|hostreapd_interval is not a number of seconds: 10 -f
loaded|hostreapd_table="5" hostreapd_interval="-5"|hostreapd_interval is not a number of seconds: -5
loaded|hostreapd_table="5" hostreapd_interval='1;touch $ran'|hostreapd_interval is not a number of seconds: 1;touch $ran
loaded|hostreapd_table="5" hostreapd_metrics="/var/db/my metrics.prom"|hostreapd_metrics $path_rule: /var/db/my metrics.prom
loaded|hostreapd_table="5" hostreapd_metrics='/var/db/m.prom>$ran'|hostreapd_metrics $path_rule: /var/db/m.prom>$ran
loaded|hostreapd_table="5" hostreapd_metrics='/var/db/\`touch $ran\`'|hostreapd_metrics $path_rule: /var/db/\`touch $ran\`
loaded|hostreapd_table="5" hostreapd_metrics='/var/db/"m".prom'|hostreapd_metrics $path_rule: /var/db/"m".prom
absent|hostreapd_table="5"|the ipfw kernel module is not loaded; enable the firewall first (firewall_enable=YES)
absent|hostreapd_table="blocklist"|the ipfw kernel module is not loaded; enable the firewall first (firewall_enable=YES)
CASES
module=loaded

# rc.subr evaluates the PID file's name for every verb, so a name that eval
# would split or run is refused before rc.subr is called: nothing runs, and
# there is no precmd to warn about.
# PID FILE, as rc.conf holds it|AS THE SCRIPT SEES IT
while IFS='|' read -r conf pidfile; do
  for verb in start stop status; do
    check "pid file $conf, $verb" "hostreapd_table=\"5\"
hostreapd_pidfile=$conf" $verb 1 "hostreapd: hostreapd_pidfile $path_rule: $pidfile" </dev/null
  done
done <<CASES
"/var/run/hostreapd pid"|/var/run/hostreapd pid
'/var/run/x.pid;touch $ran'|/var/run/x.pid;touch $ran
'/var/run/\$(touch $ran).pid'|/var/run/\$(touch $ran).pid
'/var/run/x.pid&touch $ran'|/var/run/x.pid&touch $ran
"/var/run/it's.pid"|/var/run/it's.pid
CASES

# With "force" a failed start check does not stop rc.subr's start, but the
# settings it refused never reach the command line: the daemon is run
# without arguments, and refuses to start by itself, its status the
# start's.
step "forcestart with a table eval would run" "hostreapd_table='5;touch $ran'" forcestart 1 \
  "hostreapd: hostreapd_table is not a table number or name: 5;touch $ran" <<EXPECTED
Starting hostreapd.
start: $sbindir/hostreapd
EXPECTED
check "forcestart with a table eval would run: no daemon" "" status 1 "" <<EXPECTED
hostreapd is not running.
EXPECTED

# A daemon that refuses to start: rc.subr warns, unless forced, and the
# status is 1 either way (forced, the daemon's own).
for verb in start forcestart; do
  case $verb in
    start) warned="$work/hostreapd: WARNING: failed to start hostreapd" ;;
    *) warned= ;;
  esac
  check "$verb, the daemon refuses" 'hostreapd_table="5"
hostreapd_flags="-h"' $verb 1 "$warned" <<EXPECTED
Starting hostreapd.
start: $sbindir/hostreapd -h -t 5 -s 5 -p /var/run/hostreapd.pid
EXPECTED
done

# The daemon's own options, as rc.subr adds them before the script's.
check "hostreapd_flags" 'hostreapd_table="5"
hostreapd_flags="-w"' start 0 "" <<EXPECTED
Starting hostreapd.
start: $sbindir/hostreapd -w -t 5 -s 5 -p /var/run/hostreapd.pid
EXPECTED

# rc.subr starts only a program that is there.
rm "$root$sbindir/hostreapd"
check "start without the program" 'hostreapd_table="5"' start 1 \
  "$work/hostreapd: WARNING: run_rc_command: cannot run $sbindir/hostreapd" </dev/null

# Stop and reload reach a running daemon whatever the settings now say.
for verb in stop reload; do
  daemon /var/run/hostreapd.pid 4242
  module=absent
  check "$verb without a table or the module" 'hostreapd_interval="x y"' $verb 0 "" <<EXPECTED
$([ $verb = stop ] && printf 'Stopping hostreapd.\nstop: TERM 4242' || echo "reload: HUP 4242")
EXPECTED
done

# A table number (digits alone, 0 to 65534) or name (1 to 63 letters,
# digits, "-", "." and "_", in any order, not "all") goes to -t as it is.
for table in 0 200 65534 00065534 blocklist web-hosts.v4_2 1abc -5 .all 0x10 "$long_name"; do
  check "table $table" "hostreapd_table=\"$table\"" start 0 "" <<EXPECTED
Starting hostreapd.
start: $sbindir/hostreapd -t $table -s 5 -p /var/run/hostreapd.pid
EXPECTED
done

check "one table, every setting" 'hostreapd_table="0"
hostreapd_interval="30"
hostreapd_pidfile="/var/run/reap0.pid"
hostreapd_metrics="/var/db/node_exporter/hostreapd-0,v1+a:b@c%d.prom"' start 0 "" <<EXPECTED
Starting hostreapd.
start: $sbindir/hostreapd -t 0 -s 30 -p /var/run/reap0.pid -m /var/db/node_exporter/hostreapd-0,v1+a:b@c%d.prom
EXPECTED

# A daemon's life through the script: every verb finds it through the PID
# file the script gave it with -p.
life='hostreapd_table="5"
hostreapd_pidfile="/var/run/reap.pid"'
life_started="Starting hostreapd.
start: $sbindir/hostreapd -t 5 -s 5 -p /var/run/reap.pid"
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
Stopping hostreapd.
stop: TERM 101
$life_started
EXPECTED
# A daemon that takes its time to end is waited for, so that the start of
# a restart finds it gone.
touch "$root/proc/102.linger"
step "life: restart, the daemon slow to end" "$life" restart 0 "" <<EXPECTED
Stopping hostreapd.
stop: TERM 102
Waiting for PIDS: 102.
$life_started
EXPECTED
step "life: stop" "$life" stop 0 "" <<EXPECTED
Stopping hostreapd.
stop: TERM 103
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
# disabled one in silence; shutdown's faststop passes over one not running.
# ENABLE|DAEMON|VERB|STATUS|STANDARD OUTPUT (started, stopped: as rc.subr
# says it and the stand-in shows it)|STANDARD ERROR
while IFS='|' read -r enable state verb want out errors; do
  case $state in
    running) daemon /var/run/hostreapd.pid 4242 ;;
    left) daemon /var/run/hostreapd.pid 4242 /usr/sbin/sshd ;;
  esac
  case $out in
    '') ;;
    started) echo "$started" ;;
    stopped) printf 'Stopping hostreapd.\nstop: TERM 4242\n' ;;
    *) printf '%s\n' "$out" ;;
  esac >"$work/case_out"
  check "$verb, enable $enable, daemon $state" "hostreapd_table=\"5\"
hostreapd_enable=\"$enable\"" "$verb" "$want" "$errors" <"$work/case_out"
done <<CASES
YES|running|start|1||hostreapd already running?  (pid=4242).
YES|running|faststart|0|started|
YES|left|start|0|started|
YES|none|status|1|hostreapd is not running.|
YES|running|status|0|hostreapd is running as pid 4242.|
YES|left|status|1|hostreapd is not running.|
YES|none|stop|1||hostreapd not running? (check /var/run/hostreapd.pid).
YES|none|faststop|0||
YES|left|stop|1||hostreapd not running? (check /var/run/hostreapd.pid).
YES|running|stop|0|stopped|
YES|none|reload|1||hostreapd not running? (check /var/run/hostreapd.pid).
YES|running|reload|0|reload: HUP 4242|
NO|none|start|0|Cannot 'start' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'onestart' instead of 'start'.|
NO|none|quietstart|0||
NO|none|faststart|0||
NO|none|onestart|0|started|
NO|none|forcestart|0|started|
NO|none|status|1|hostreapd is not running.|
NO|running|status|0|hostreapd is running as pid 4242.|
NO|running|stop|0|stopped|
NO|none|stop|0|Cannot 'stop' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'onestop' instead of 'stop'.|
NO|running|reload|0|Cannot 'reload' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'onereload' instead of 'reload'.|
NO|running|onereload|0|reload: HUP 4242|
NO|running|restart|0|Cannot 'restart' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'onerestart' instead of 'restart'.|
NO|none|disable|0|Cannot 'disable' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'onedisable' instead of 'disable'.|
NO|none|onedisable|0|hostreapd disabled in /etc/rc.conf|
NO|none|enable|0|hostreapd enabled in /etc/rc.conf|
NO|none|extracommands|0|Cannot 'extracommands' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'oneextracommands' instead of 'extracommands'.|
NO|none|delete|0|hostreapd_enable deleted in /etc/rc.conf|
NO|none|describe|0|Remove expired host entries from ipfw lookup tables|
YES|running|info|0|kill: INFO 4242|
YES|none|info|1||hostreapd not running? (check /var/run/hostreapd.pid).
YES|left|info|1||hostreapd not running? (check /var/run/hostreapd.pid).
NO|running|info|0|Cannot 'info' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'oneinfo' instead of 'info'.|
NO|running|oneinfo|0|kill: INFO 4242|
NO|none|forceinfo|1||hostreapd not running? (check /var/run/hostreapd.pid).
CASES

# Verbs rc.subr does not know, with or without a prefix, and none at all:
# its usage line names the verbs it takes, the script's among them.
usage="Usage: $work/hostreapd [fast|force|one|quiet](start|stop|restart|rcvar|enable|disable|delete|enabled|describe|extracommands|reload|info|status|poll)"
for verb in frobnicate onefrobnicate "start;date" ""; do
  case $verb in
    '') errors=$usage ;;
    *) errors="$work/hostreapd: unknown directive '${verb#one}'.
$usage" ;;
  esac
  check "unknown verb '$verb'" 'hostreapd_table="5"' "$verb" 1 "$errors" </dev/null
done

# Two profiles. The global table, PID file and metrics file are not used;
# the global pause is the default of a profile's, and the flags go to each.
profiles='hostreapd_profiles="web mail"
hostreapd_flags="-w"
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
Starting hostreapd.
start: $sbindir/hostreapd -w -t blocklist -s 10 -p /var/run/hostreapd.web.pid -m /var/db/web.prom
===> hostreapd profile: mail
Starting hostreapd.
start: $sbindir/hostreapd -w -t 7 -s 30 -p /var/run/hostreapd.mail.pid
EXPECTED

check "one profile named" "$profiles" "start mail" 0 "" <<EXPECTED
Starting hostreapd.
start: $sbindir/hostreapd -w -t 7 -s 30 -p /var/run/hostreapd.mail.pid
EXPECTED

# A refused setting is named as the profile has it: its own, or the global
# one it takes.
check "a profile's own settings refused" "$profiles
hostreapd_web_interval='10;touch $ran'
hostreapd_mail_metrics='/var/db/\$(touch $ran)'" start 1 "hostreapd: hostreapd_web_interval is not a number of seconds: 10;touch $ran
$warning
hostreapd: hostreapd_mail_metrics $path_rule: /var/db/\$(touch $ran)
$warning" <<EXPECTED
===> hostreapd profile: web
===> hostreapd profile: mail
EXPECTED
check "a profile's pause taken from hostreapd_interval, refused" 'hostreapd_profiles="mail"
hostreapd_interval="1 -f"
hostreapd_mail_table="7"' start 1 "hostreapd: hostreapd_interval is not a number of seconds: 1 -f
$warning" <<EXPECTED
===> hostreapd profile: mail
EXPECTED

check "a profile without a table fails; the others still start" 'hostreapd_profiles="web mail"
hostreapd_mail_table="7"' start 1 "hostreapd: hostreapd_web_table is not set
$warning" <<EXPECTED
===> hostreapd profile: web
===> hostreapd profile: mail
Starting hostreapd.
start: $sbindir/hostreapd -t 7 -s 5 -p /var/run/hostreapd.mail.pid
EXPECTED

daemon /var/run/hostreapd.web.pid 4242
check "stop reaches every profile's PID file" "$profiles" stop 1 \
  "hostreapd not running? (check /var/run/hostreapd.mail.pid)." <<EXPECTED
===> hostreapd profile: web
Stopping hostreapd.
stop: TERM 4242
===> hostreapd profile: mail
EXPECTED

daemon /var/run/hostreapd.mail.pid 4243
step "status of one profile" "$profiles" "status mail" 0 "" <<EXPECTED
hostreapd is running as pid 4243.
EXPECTED
daemon /var/run/hostreapd.web.pid 4242
check "info reaches every profile's daemon" "$profiles" info 0 "" <<EXPECTED
===> hostreapd profile: web
kill: INFO 4242
===> hostreapd profile: mail
kill: INFO 4243
EXPECTED
check "reload of one profile, not running" "$profiles" "reload web" 1 \
  "hostreapd not running? (check /var/run/hostreapd.web.pid)." </dev/null

# The verbs about the script run once, with profiles or without.
for conf in 'hostreapd_table="5"' "$profiles"; do
  case $conf in *profiles*) with="with profiles" ;; *) with="without profiles" ;; esac
  check "rcvar, $with" "$conf" rcvar 0 "" <<'EXPECTED'
# hostreapd : Remove expired host entries from ipfw lookup tables
#
hostreapd_enable="YES"
#   (default: "")

EXPECTED
  check "enabled, $with" "$conf" enabled 0 "" </dev/null
  check "enabled when disabled, $with" "$conf
hostreapd_enable=\"NO\"" enabled 1 "" </dev/null
  check "describe, $with" "$conf" describe 0 "" <<'EXPECTED'
Remove expired host entries from ipfw lookup tables
EXPECTED
  check "extracommands, $with" "$conf" extracommands 0 "" <<'EXPECTED'
reload info
EXPECTED
  for verb in enable disable; do
    check "$verb, $with" "$conf" $verb 0 "" <<EXPECTED
hostreapd ${verb}d in /etc/rc.conf
EXPECTED
  done
  check "delete, $with" "$conf" delete 0 "" <<'EXPECTED'
hostreapd_enable deleted in /etc/rc.conf
EXPECTED
done

# The profile list is split at blanks alone: "*" is one name, refused,
# however many files the directory rc runs in holds (here RC_ROOT, which
# has some).
cd "$root"
step "a profile list of '*'" 'hostreapd_profiles="* mail"
hostreapd_mail_table="7"' start 1 "hostreapd: bad profile name: *" <<EXPECTED
===> hostreapd profile: *
===> hostreapd profile: mail
Starting hostreapd.
start: $sbindir/hostreapd -t 7 -s 5 -p /var/run/hostreapd.mail.pid
EXPECTED
cd "$work"
fresh_root

# The profile name becomes part of variable names the script evaluates.
check "a profile name that is no name" "" 'start web;date' 1 "hostreapd: bad profile name: web;date" </dev/null

finish "rc.d script"
