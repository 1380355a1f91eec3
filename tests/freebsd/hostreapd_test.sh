#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The daemon end to end on a FreeBSD 14 or 15 host, against the kernel's
# own tables: run as root, with ipfw loaded (built in or as the module), a
# build of hostreapd for this release, and /bin/sh and the base system
# alone.
#
#   hostreapd_test.sh [-o OTHER_BUILD] [-c FWCONFORM] [-L LOG] HOSTREAPD
#
#   HOSTREAPD       the hostreapd to test, built for the running release:
#                   the port's /usr/local/sbin/hostreapd, a build made on
#                   the host, or one cross-built elsewhere with the
#                   freebsd14 or freebsd15 preset and copied over
#   -o OTHER_BUILD  a hostreapd built for the other release, to see it
#                   refused with status 78
#   -c FWCONFORM    the conformance program (fwconform) of a build for this
#                   release, run over tables of its own
#   -L LOG          the file syslogd writes auth.info to (default
#                   /var/log/auth.log, as FreeBSD's syslog.conf has it)
#
# For example, from a source tree on the host (the tests and benchmarks
# off, as they need GoogleTest):
#   cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DHOSTREAPD_TESTS=OFF \
#     -DHOSTREAPD_BENCH=OFF && cmake --build build
#   sh tests/freebsd/hostreapd_test.sh build/hostreapd
# or, where the port is installed:
#   sh tests/freebsd/hostreapd_test.sh /usr/local/sbin/hostreapd
#
# Every check prints one line, "ok - WHAT", "FAIL - WHAT: WHY" or
# "skip - WHAT (WHY)", and a failed check does not stop the rest; the last
# line is "N passed, N failed" (", N skipped" when some were). The status
# is 0 when none failed, 1 when any did, 2 when the suite cannot run here
# (not root, no ipfw, a table of its names already there).
#
# It makes its own tables with ipfw(8), named hostreapd-test-* (and one
# table number that no table has, from 65534 down), after checking that
# none of those exists; it never touches any other table. While the
# service checks run it writes /etc/rc.conf.d/hostreapd (only when nothing
# is there, not even a symbolic link, and rc.conf sets nothing for
# hostreapd), through a file beside it renamed into place. Its temporary
# directory is made in $TMPDIR (default /tmp). On exit, on a failure and
# on any signal that would end it (HUP INT QUIT TERM PIPE ALRM USR1 USR2
# XCPU XFSZ VTALRM PROF; it then ends with 128 + the signal's number) it
# stops every daemon it started, destroys every table it made and still
# holds (never a name it destroyed itself, which someone may have made
# since), and removes that file and its temporary directory: it leaves
# nothing behind.
#
# It restarts syslogd once (service syslogd restart), to see the daemon
# deliver its lines to the syslogd started again.
#
# It takes about two minutes: a table grows under a daemon for 30 seconds,
# and 5,000 entries are removed in one cycle.
set -u

me=${0##*/}
prefix=hostreapd-test
log=/var/log/auth.log
other=
conform=

usage() {
  echo "usage: $me [-o OTHER_BUILD] [-c FWCONFORM] [-L LOG] HOSTREAPD" >&2
  exit 2
}
while getopts o:c:L: opt; do
  case $opt in
    o) other=$OPTARG ;;
    c) conform=$OPTARG ;;
    L) log=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] || usage
bin=$1
case $bin in /*) ;; *) bin=$(pwd)/$bin ;; esac

cannot() {
  echo "$me: $*" >&2
  exit 2
}
[ "$(uname -s)" = FreeBSD ] || cannot "this suite runs on FreeBSD"
[ "$(id -u)" = 0 ] || cannot "run it as root"
[ -x "$bin" ] || cannot "$bin is not an executable"
# kldstat names the ipfw module whether it was loaded or compiled into the
# kernel (as FreeBSD 14.0 and 15.1 answer).
kldstat -q -m ipfw ||
  cannot "ipfw is not loaded (firewall_enable=YES, or kldload ipfw with a rule that lets you in)"

# ---------------------------------------------------------------------------
# Verdicts.

passed=0
failed=0
skipped=0
pass() {
  passed=$((passed + 1))
  echo "ok - $1"
}
# verdict WHAT WHY: ok when WHY is empty, a failure otherwise.
verdict() {
  if [ -z "$2" ]; then
    pass "$1"
  else
    failed=$((failed + 1))
    echo "FAIL - $1: $2"
  fi
}
# because WHY: the first reason a check fails is the one it gives.
because() {
  [ -n "$why" ] || why=$1
}
skip() {
  skipped=$((skipped + 1))
  echo "skip - $1 ($2)"
}
# Shows a file's lines below the verdict, marked, for whoever reads why.
show() {
  [ -s "$1" ] && sed 's/^/#   /' "$1"
  return 0
}

# ---------------------------------------------------------------------------
# What the suite makes, and its cleanup.

tmp=
daemons=
pidfiles=
writer=
rcconf_d=/etc/rc.conf.d/hostreapd
rcconf_tmp=
wrote_rcconf=
made_rcconf_dir=
cleaned=
status=
dpid=
up=
once=
bin_comm=$(basename "$bin" | cut -c 1-19)
osreldate=$(sysctl -n kern.osreldate)

# Whether process $1 runs and is the hostreapd under test (not a PID used
# again): ps shows the program's name, cut to 19 characters.
is_hostreapd() {
  [ "$(ps -p "$1" -o comm= 2>/dev/null)" = "$bin_comm" ]
}

# The signals whose default action would end the suite. SIGINFO, which does
# nothing by default, is left so.
stop_signals="HUP INT QUIT TERM PIPE ALRM USR1 USR2 XCPU XFSZ VTALRM PROF"

cleanup() {
  [ -z "$cleaned" ] || return 0
  cleaned=yes
  # shellcheck disable=SC2086 # the signals' names
  trap '' $stop_signals
  # The writer stops after the add under way, so that no add comes after
  # the table's destruction (on FreeBSD 14 ipfw table T add makes a missing
  # table).
  if [ -n "$writer" ]; then
    : >"$tmp/writer.stop"
    wait "$writer"
  fi
  if [ -n "$wrote_rcconf" ] && [ -f "$tmp/svc.pid" ]; then
    service hostreapd onestop >/dev/null 2>&1
  fi
  for f in $pidfiles; do
    [ -s "$f" ] && daemons="$daemons $(sed -n 1p "$f")"
  done
  for p in $daemons; do
    case $p in '' | *[!0-9]*) continue ;; esac
    is_hostreapd "$p" || continue
    kill -TERM "$p" 2>/dev/null
    i=0
    while is_hostreapd "$p" && [ $i -lt 50 ]; do
      nap
      i=$((i + 1))
    done
    is_hostreapd "$p" && kill -KILL "$p" 2>/dev/null
  done
  if [ -n "$tmp" ] && [ -f "$tmp/tables" ]; then
    while read -r t; do
      ipfw -q table "$t" destroy </dev/null 2>/dev/null
    done <"$tmp/tables"
  fi
  if [ -n "$rcconf_tmp" ]; then rm -f "$rcconf_tmp"; fi
  if [ -n "$wrote_rcconf" ]; then rm -f "$rcconf_d"; fi
  if [ -n "$made_rcconf_dir" ]; then rmdir "${rcconf_d%/*}" 2>/dev/null; fi
  if [ -n "$tmp" ]; then rm -rf "$tmp"; fi
}
# The closing line: the counts, the skipped ones apart.
tally() {
  if [ "$skipped" -gt 0 ]; then
    echo "$passed passed, $failed failed, $skipped skipped"
  else
    echo "$passed passed, $failed failed"
  fi
}
# The number of the signal named $1 (USR1, ...), as kill -l names it.
signal_number() {
  _n=1
  while [ $_n -lt 128 ]; do
    if [ "$(kill -l $_n 2>/dev/null)" = "$1" ]; then
      echo $_n
      return
    fi
    _n=$((_n + 1))
  done
  echo 0
}
# A signal ends the suite where it is, with the counts so far (unless it is
# standard output that went away), once it has cleaned up, with the status
# a shell gives a command that signal ended.
interrupted() {
  # shellcheck disable=SC2086 # the signals' names
  trap '' $stop_signals
  { echo "# interrupted by SIG$1; cleaning up" && tally; } 2>/dev/null
  cleanup
  exit $((128 + $(signal_number "$1")))
}
trap cleanup EXIT
for sig in $stop_signals; do
  # shellcheck disable=SC2064 # the signal's name, now
  trap "interrupted $sig" "$sig"
done

# A short pause: a fifth of a second where sleep(1) takes a fraction, as
# FreeBSD's does, else a second.
nap() {
  sleep 0.2 2>/dev/null || sleep 1
}

# poll SECONDS COMMAND...: runs COMMAND until it succeeds or SECONDS have
# passed; status 1 then.
poll() {
  _limit=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$_limit" ] || return 1
    nap
  done
}

# ---------------------------------------------------------------------------
# Tables.

# Table names are ours alone: none may exist before we start.
names="d g n v i w x b s k a m y r p z"
for n in $names; do
  if ipfw table "$prefix-$n" info >/dev/null 2>&1; then
    cannot "table $prefix-$n exists; this suite makes its own tables under the names $prefix-*"
  fi
done
number=
n=65534
while [ $n -ge 65500 ]; do
  if ! ipfw table $n info >/dev/null 2>&1; then
    number=$n
    break
  fi
  n=$((n - 1))
done
[ -n "$number" ] || cannot "tables 65500 to 65534 all exist; no table number is free for the suite"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/hostreapd-test.XXXXXX") || cannot "cannot make a temporary directory"

# The tables the suite made and still holds, one name a line in
# $tmp/tables: make_table writes a name down once its create succeeded,
# drop_table strikes it once its destroy did, each in one subshell with
# the ipfw(8) command, since a signal's trap runs only between the
# suite's commands: a table is never made or destroyed without the list
# saying so. The cleanup destroys these alone: a table someone else made
# under one of our names, before we made it or after we destroyed it, is
# never touched.
: >"$tmp/tables"

# make_table TABLE TYPE-WORDS...: creates it, and holds it.
make_table() {
  _t=$1
  shift
  if (ipfw -q table "$_t" create "$@" 2>"$tmp/create.err" && echo "$_t" >>"$tmp/tables"); then
    return 0
  fi
  echo "# cannot create table $_t: $(cat "$tmp/create.err")"
  return 1
}

# drop_table TABLE: destroys a table the suite holds, which it then no
# longer holds; the destroy's status.
drop_table() {
  (
    ipfw -q table "$1" destroy || exit
    grep -vxF -e "$1" "$tmp/tables" >"$tmp/tables.new"
    mv -f "$tmp/tables.new" "$tmp/tables"
  )
}

# The entries of table $1 as "KEY VALUE", one a line, sorted, hosts
# without /32 or /128 (as hostreapd names them). ipfw table T list prints
# the entries alone (table all list and table T info print a "--- table(T),
# set(0) ---" line first); a value of several fields is listed as its
# fields joined by commas, in ipfw(8)'s fixed order.
entries() {
  ipfw table "$1" list 2>/dev/null |
    sed -n -e 's|/32 | |' -e 's|/128 | |' -e '/^[^ ][^ ]* [^ ]/p' | sort
}

# Whether table $1 has an entry of key $2.
has_key() {
  entries "$1" | cut -d ' ' -f 1 | grep -qxF "$2"
}

# ---------------------------------------------------------------------------
# The system log: the daemon logs to auth.info, which FreeBSD's syslog.conf
# sends to /var/log/auth.log. Its lines are found by the daemon's pid, in
# the part of the log written since the suite began (all of it if the log
# was rotated meanwhile).

log_mark=0
log_ok=
log_why=
if [ ! -r "$log" ]; then
  log_why="$log is not readable; give the file auth.info goes to with -L"
else
  log_mark=$(wc -c <"$log" | tr -d ' ')
  probe="hostreapd-test probe $$ $(date +%s)"
  logger -p auth.info -t hostreapd-test "$probe"
  if poll 10 grep -qF "$probe" "$log"; then
    log_ok=yes
  else
    log_why="a line logged to auth.info did not reach $log within 10 s; give its file with -L"
  fi
fi

# The messages process $1 logged, one a line: from the traditional format
# ("... hostreapd[PID]: MESSAGE") and from RFC 5424's ("... hostreapd PID
# MSGID SD MESSAGE").
log_of() {
  _size=$(wc -c <"$log" | tr -d ' ')
  if [ "$_size" -ge "$log_mark" ]; then
    tail -c +"$((log_mark + 1))" "$log"
  else
    cat "$log"
  fi | sed -n -e "s/^.* hostreapd\\[$1\\]: //p" -e "s/^.* hostreapd $1 [^ ]* [^ ]* //p"
}

# How many lines process $1 logged that are "Removing host ... from table $2".
removals_logged() {
  log_of "$1" | grep -c "^Removing host [^ ]* from table $2\$"
}

# ---------------------------------------------------------------------------
# Running the daemon.

# run_fg ARGS...: runs hostreapd with ARGS in the background (so that its
# pid is known while it runs), its output in $tmp/out and $tmp/err; sets
# $pid. finish_fg SECONDS waits for it to end, then sets $status (or
# "still running", after a SIGTERM).
run_fg() {
  (exec "$bin" "$@" >"$tmp/out" 2>"$tmp/err") &
  pid=$!
  daemons="$daemons $pid"
}
gone() {
  ! kill -0 "$1" 2>/dev/null
}
# A process that has ended is no longer the suite's to stop: its PID may
# be given to another.
forget() {
  daemons=$(echo " $daemons " | sed "s/ $1 / /g")
}
finish_fg() {
  if poll "$1" gone "$pid"; then
    wait "$pid"
    status=$?
  else
    kill -TERM "$pid" 2>/dev/null
    poll 10 gone "$pid" || kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    status="still running after $1 s"
  fi
  forget "$pid"
}

# Whether the daemon of PID file $1 runs: the file names a running
# hostreapd; sets $dpid.
daemon_up() {
  dpid=$(sed -n 1p "$1" 2>/dev/null)
  case $dpid in '' | *[!0-9]*) return 1 ;; esac
  is_hostreapd "$dpid"
}

now=$(date +%s)
past=$((now - 60))
later=$((now + 3600))

# ---------------------------------------------------------------------------
echo "# hostreapd: $bin"
echo "# system: $(uname -sr), kern.osreldate $(sysctl -n kern.osreldate)"
echo "# tables: $number and $prefix-*; log: $log"

# -V
version=$("$bin" -V 2>&1)
vstatus=$?
case $vstatus:$version in
  "0:hostreapd "[0-9]*) pass "-V prints the version ($version)" ;;
  *) verdict "-V prints the version" "status $vstatus, output '$version'" ;;
esac

# The address table of the next checks, by number: due and not-due IPv4
# and IPv6 hosts and prefixes.
t=$number
due_keys="192.0.2.1 198.51.100.0/24 2001:db8::1 2001:db8:1::/64"
kept_keys="192.0.2.2 203.0.113.0/24 2001:db8::2 2001:db8:2::/64"
table_ok=
if make_table "$t" type addr; then
  set --
  for k in $due_keys; do set -- "$@" "$k" "$past"; done
  for k in $kept_keys; do set -- "$@" "$k" "$later"; done
  if ipfw -q table "$t" add "$@"; then table_ok=yes; fi
fi
{
  for k in $due_keys; do echo "$k $past"; done
  for k in $kept_keys; do echo "$k $later"; done
} | sort >"$tmp/all"
for k in $kept_keys; do echo "$k $later"; done | sort >"$tmp/kept"

if [ -z "$table_ok" ]; then
  for what in "-l" "-n -1" "-1"; do skip "$what on table $t" "the table could not be made"; done
else
  # -l: every entry with its time, as ipfw lists it.
  entries "$t" >"$tmp/ipfw.list"
  why=
  "$bin" -t "$t" -l >"$tmp/l.out" 2>"$tmp/l.err" || why="status $?"
  sed -e '/ entries, /d' "$tmp/l.out" | cut -d ' ' -f 1,2 | sort >"$tmp/l.keys"
  if [ -z "$why" ] && ! cmp -s "$tmp/l.keys" "$tmp/ipfw.list"; then
    why="its keys and times differ from 'ipfw table $t list'"
  fi
  if [ -z "$why" ] && ! cmp -s "$tmp/ipfw.list" "$tmp/all"; then
    why="'ipfw table $t list' does not show the entries added"
  fi
  grep -q "^8 entries, 4 due now" "$tmp/l.out" || because "its summary is not '8 entries, 4 due now, ...'"
  verdict "-l lists table $t as ipfw table $t list does" "$why"
  [ -z "$why" ] || { show "$tmp/l.out"; show "$tmp/l.err"; show "$tmp/ipfw.list"; }

  # -n -1: says what it would remove, removes nothing.
  run_fg -t "$t" -f -n -1
  finish_fg 60
  why=
  [ "$status" = 0 ] || why="status $status"
  for k in $due_keys; do echo "would remove host $k from table $t"; done | sort >"$tmp/would"
  sort "$tmp/out" | cmp -s - "$tmp/would" || because "it did not say exactly the due entries"
  entries "$t" | cmp -s - "$tmp/all" || because "the table changed"
  verdict "-n -1 names the 4 due entries and removes nothing" "$why"
  [ -z "$why" ] || { show "$tmp/out"; show "$tmp/err"; }

  # -1: removes exactly the due entries, one log line each.
  run_fg -t "$t" -f -1
  once=$pid
  finish_fg 60
  why=
  [ "$status" = 0 ] || why="status $status"
  entries "$t" >"$tmp/left"
  cmp -s "$tmp/left" "$tmp/kept" || because "the table holds other than the 4 entries not due"
  verdict "-1 removes exactly the due IPv4 and IPv6 hosts and prefixes" "$why"
  [ -z "$why" ] || { show "$tmp/left"; show "$tmp/err"; }
  if [ -n "$log_ok" ]; then
    for k in $due_keys; do echo "Removing host $k from table $t"; done | sort >"$tmp/want"
    log_lines() {
      log_of "$once" | grep '^Removing host ' | sort >"$tmp/got"
      cmp -s "$tmp/got" "$tmp/want"
    }
    why=
    poll 10 log_lines || why="the log holds other lines"
    verdict "-1 logs one 'Removing host ... from table $t' line per removed entry" "$why"
    [ -z "$why" ] || show "$tmp/got"
  else
    skip "-1 logs one line per removed entry" "$log_why"
  fi
fi

# A named table, by its name in the log line too.
t=$prefix-n
if make_table "$t" type addr && ipfw -q table "$t" add 192.0.2.9 "$past" 192.0.2.10 "$later"; then
  run_fg -t "$t" -f -1
  once=$pid
  finish_fg 60
  why=
  [ "$status" = 0 ] || why="status $status"
  has_key "$t" 192.0.2.9 && because "the due entry is still there"
  has_key "$t" 192.0.2.10 || because "the entry not due is gone"
  if [ -z "$why" ] && [ -n "$log_ok" ]; then
    named_logged() { log_of "$once" | grep -qx "Removing host 192.0.2.9 from table $t"; }
    poll 10 named_logged || why="no 'Removing host 192.0.2.9 from table $t' in the log"
  fi
  verdict "a named table: -1 removes its due entry, names it in the log" "$why"
  [ -z "$why" ] || show "$tmp/err"
else
  skip "a named table" "the table could not be made"
fi

# A table whose values are skipto,tag: the first field is read as the time
# where the table keeps it in 32 bits. FreeBSD 15's ipfw(8) stores a Unix
# time in skipto, so there the entry whose skipto is past goes and the
# other stays; FreeBSD 14's cuts skipto to 16 bits (a time becomes its low
# 16 bits), which cannot hold a time, and there no entry is ever removed.
t=$prefix-v
if make_table "$t" type addr valtype skipto,tag &&
  ipfw -q table "$t" add 192.0.2.20 "1,$later" 192.0.2.21 "$later,1"; then
  if [ "$osreldate" -lt 1500000 ]; then kept=$((later % 65536)); else kept=$later; fi
  printf '%s\n' "192.0.2.20 1,$later" "192.0.2.21 $kept,1" >"$tmp/listed"
  entries "$t" >"$tmp/before"
  "$bin" -t "$t" -l >"$tmp/l.out" 2>"$tmp/l.err"
  lstatus=$?
  run_fg -t "$t" -f -1
  finish_fg 60
  why=
  cmp -s "$tmp/before" "$tmp/listed" || why="ipfw table $t list does not show skipto as $kept"
  [ "$lstatus" = 0 ] || because "-l: status $lstatus"
  [ "$status" = 0 ] || because "status $status"
  # The entries that must stay: both on 14, the one whose skipto is not
  # past on 15.
  if [ "$osreldate" -lt 1500000 ]; then
    cp "$tmp/listed" "$tmp/want"
    [ "$(grep -c '(never removed)$' "$tmp/l.out")" = 2 ] || because "-l does not mark both entries (never removed)"
  else
    grep -F 192.0.2.21 "$tmp/listed" >"$tmp/want"
  fi
  entries "$t" >"$tmp/left"
  cmp -s "$tmp/left" "$tmp/want" || because "it removed other entries than those due by their skipto"
  verdict "a table of valtype skipto,tag" "$why"
  [ -z "$why" ] || { show "$tmp/before"; show "$tmp/left"; show "$tmp/l.out"; show "$tmp/err"; }
else
  skip "a table of valtype skipto,tag" "the table could not be made"
fi

# An interface table: -l refuses it; a cycle deletes nothing and prints
# each entry.
t=$prefix-i
if make_table "$t" type iface && ipfw -q table "$t" add lo0 1; then
  "$bin" -t "$t" -l >"$tmp/l.out" 2>"$tmp/l.err"
  lstatus=$?
  why=
  [ "$lstatus" = 64 ] || why="-l: status $lstatus, not 64"
  grep -qF "table $t is not an address table" "$tmp/l.err" || because "-l did not say 'table $t is not an address table'"
  run_fg -t "$t" -f -1
  finish_fg 60
  [ "$status" = 0 ] || because "-1: status $status"
  grep -qx 'lo0 1' "$tmp/out" || because "-1 did not print 'lo0 1'"
  has_key "$t" lo0 || because "-1 deleted the entry"
  verdict "an iface table: -l refused with 64, -1 deletes nothing and prints the entry" "$why"
  [ -z "$why" ] || { show "$tmp/l.err"; show "$tmp/out"; show "$tmp/err"; }
else
  skip "an iface table" "the table could not be made"
fi

# A detached daemon with a PID file and a metrics file.
t=$prefix-d
pf=$tmp/d.pid
mf=$tmp/d.prom
pidfiles="$pidfiles $pf"
soon=$(date +%s)
if make_table "$t" type addr &&
  ipfw -q table "$t" add 192.0.2.30 $((soon + 2)) 192.0.2.31 $((soon + 3)) 192.0.2.32 "$later"; then
  "$bin" -t "$t" -s 1 -p "$pf" -m "$mf" 2>"$tmp/err"
  dstatus=$?
  why=
  [ "$dstatus" = 0 ] || why="the start's status was $dstatus"
  poll 10 daemon_up "$pf" || because "$pf does not name a running hostreapd"
  verdict "a detached daemon writes its pid into its PID file" "$why"
  [ -z "$why" ] || show "$tmp/err"
  if daemon_up "$pf"; then
    up=$dpid
    daemons="$daemons $up"
    "$bin" -t "$t" -s 1 -p "$pf" >/dev/null 2>"$tmp/err2"
    s2=$?
    why=
    [ "$s2" = 1 ] || why="status $s2, not 1"
    grep -qF "hostreapd already running, pid: $up" "$tmp/err2" || because "no 'hostreapd already running, pid: $up'"
    verdict "a second start on the same PID file is refused" "$why"
    [ -z "$why" ] || show "$tmp/err2"

    both_gone() { ! has_key "$t" 192.0.2.30 && ! has_key "$t" 192.0.2.31; }
    why=
    poll 30 both_gone || why="still there 30 s later"
    has_key "$t" 192.0.2.32 || because "the entry due in an hour went too"
    verdict "entries due in 2 and 3 s go, the one due in an hour stays" "$why"

    removed_2() { grep -qx "hostreapd_removed_total{table=\"$t\"} 2" "$mf" 2>/dev/null; }
    why=
    poll 10 removed_2 || why="no 'hostreapd_removed_total{table=\"$t\"} 2' in $mf"
    grep -qx "hostreapd_table_present{table=\"$t\"} 1" "$mf" 2>/dev/null || because "no 'hostreapd_table_present{table=\"$t\"} 1'"
    verdict "the metrics file counts the 2 removals" "$why"
    [ -z "$why" ] || show "$mf"

    # SIGINFO: one line of the daemon's state in the log.
    if [ -n "$log_ok" ]; then
      kill -INFO "$up"
      state_logged() { log_of "$up" | grep -q "^table $t: "; }
      why=
      poll 10 state_logged || why="no 'table $t: ...' line in the log within 10 s"
      verdict "SIGINFO logs a line of the daemon's state" "$why"
    else
      skip "SIGINFO logs a line of the daemon's state" "$log_why"
    fi

    kill -TERM "$up"
    start=$(date +%s)
    why=
    poll 10 gone "$up" || why="still running 10 s after SIGTERM"
    took=$(($(date +%s) - start))
    gone "$up" && forget "$up"
    [ ! -e "$pf" ] || because "the PID file is still there"
    verdict "SIGTERM ends the daemon (within ${took} s) and removes its PID file" "$why"
  else
    for what in "a second start is refused" "entries due in 2 and 3 s go" "the metrics file" \
      "SIGINFO" "SIGTERM ends the daemon"; do
      skip "$what" "the daemon did not start"
    done
  fi
else
  skip "a detached daemon" "the table could not be made"
fi

# A table that grows under a daemon sweeping every second, for 30 s: the
# writer adds entries due at once or within 2 s (198.18/16) and entries due
# in an hour (198.19/16). The daemon runs throughout, nothing not due goes,
# and nothing due is left once the writer stops.
t=$prefix-g
pf=$tmp/g.pid
pidfiles="$pidfiles $pf"
if make_table "$t" type addr; then
  "$bin" -t "$t" -s 1 -p "$pf" 2>"$tmp/err"
  if poll 10 daemon_up "$pf"; then
    up=$dpid
    daemons="$daemons $up"
    (
      i=0
      end=$(($(date +%s) + 30))
      while [ "$(date +%s)" -lt "$end" ] && [ ! -e "$tmp/writer.stop" ]; do
        t0=$(date +%s)
        set --
        j=0
        while [ $j -lt 25 ]; do
          x=$((i / 250)) y=$((i % 250 + 1))
          set -- "$@" "198.18.$x.$y" $((t0 - 1 + i % 3)) "198.19.$x.$y" $((t0 + 3600))
          i=$((i + 1)) j=$((j + 1))
        done
        ipfw -q table "$t" add "$@" || echo "add failed at $i" >>"$tmp/writer.err"
        nap
      done
      echo "$i" >"$tmp/written"
    ) &
    writer=$!
    wait "$writer"
    writer=
    written=$(cat "$tmp/written" 2>/dev/null || echo 0)
    no_due_left() {
      _now=$(date +%s)
      entries "$t" | awk -v now="$_now" '$1 ~ /^198\.18\./ && $2 < now { n++ } END { exit n > 0 }'
    }
    why=
    poll 15 no_due_left || why="entries due are still there 15 s after the writer stopped"
    future=$(entries "$t" | grep -c '^198\.19\.')
    [ "$future" = "$written" ] || because "$future of the $written entries not due are left"
    is_hostreapd "$up" || because "the daemon ended"
    [ ! -s "$tmp/writer.err" ] || because "$(head -n 1 "$tmp/writer.err")"
    verdict "a table growing under -s 1 sweeps for 30 s ($written entries of each kind)" "$why"
    kill -TERM "$up"
    poll 10 gone "$up" && forget "$up"
  else
    verdict "a table growing under -s 1 sweeps" "the daemon did not start"
    show "$tmp/err"
  fi
else
  skip "a table growing under -s 1 sweeps" "the table could not be made"
fi

# -w: the table destroyed and made again; the daemon waits, then sweeps
# the new table.
t=$prefix-w
if make_table "$t" type addr; then
  # The metrics file is written after each whole cycle: once it is there,
  # the daemon has started and swept.
  run_fg -t "$t" -f -w -s 1 -m "$tmp/w.prom"
  up=$pid
  said() { grep -qF "$1" "$tmp/err"; }
  why=
  if ! poll 15 test -s "$tmp/w.prom"; then
    why="it did not start"
  else
    drop_table "$t"
    poll 15 said "table $t is gone; waiting for it to come back" || why="it did not say 'table $t is gone; waiting for it to come back'"
    is_hostreapd "$up" || because "it ended when the table went"
    if make_table "$t" type addr && ipfw -q table "$t" add 192.0.2.40 "$past"; then
      poll 15 said "table $t is back" || because "it did not say 'table $t is back'"
      back_swept() { ! has_key "$t" 192.0.2.40; }
      poll 15 back_swept || because "the due entry of the new table is still there"
    else
      because "the table could not be made again"
    fi
  fi
  kill -TERM "$up" 2>/dev/null
  finish_fg 10
  [ "$status" = 0 ] || because "SIGTERM: status $status"
  verdict "-w waits across ipfw table destroy and create, then sweeps the new table" "$why"
  [ -z "$why" ] || show "$tmp/err"
else
  skip "-w across destroy and create" "the table could not be made"
fi

# Without -w the table's going ends the daemon with 71.
t=$prefix-x
if make_table "$t" type addr; then
  run_fg -t "$t" -f -s 1 -m "$tmp/x.prom"
  up=$pid
  why=
  poll 15 test -s "$tmp/x.prom" || why="it did not start"
  drop_table "$t"
  finish_fg 15
  [ "$status" = 71 ] || because "status $status, not 71"
  grep -qF "No such process" "$tmp/err" || because "its message does not say 'No such process'"
  verdict "without -w a destroyed table ends the daemon with 71" "$why"
  [ -z "$why" ] || show "$tmp/err"
else
  skip "without -w, a destroyed table" "the table could not be made"
fi

# A cycle of 5,000 removals: each has its line in the log. syslogd takes
# them in its own time, so the count is read until it reaches 5,000 or has
# not grown for 10 s.
t=$prefix-b
if [ -z "$log_ok" ]; then
  skip "-1 removing 5000 entries logs 5000 lines" "$log_why"
elif make_table "$t" type addr; then
  # ipfw(8) reads the commands from a file, one a line, 20 entries each.
  i=0
  while [ $i -lt 5000 ]; do
    if [ $((i % 20)) = 0 ]; then
      [ $i = 0 ] || echo
      printf 'table %s add' "$t"
    fi
    printf ' 198.18.%d.%d %d' $((i / 250)) $((i % 250 + 1)) "$past"
    i=$((i + 1))
  done >"$tmp/bulk"
  echo >>"$tmp/bulk"
  if ipfw -q "$tmp/bulk" && [ "$(entries "$t" | wc -l | tr -d ' ')" = 5000 ]; then
    run_fg -t "$t" -f -1
    once=$pid
    finish_fg 300
    why=
    [ "$status" = 0 ] || why="status $status"
    left=$(entries "$t" | wc -l | tr -d ' ')
    [ "$left" = 0 ] || because "$left entries left"
    count=0
    last_change=$(date +%s)
    while :; do
      c=$(removals_logged "$once" "$t")
      if [ "$c" != "$count" ]; then
        count=$c
        last_change=$(date +%s)
      fi
      [ "$count" -lt 5000 ] || break
      [ $(($(date +%s) - last_change)) -lt 10 ] || break
      nap
    done
    [ "$count" = 5000 ] || because "$count of 5000 lines in the log"
    verdict "-1 removing 5000 entries logs 5000 'Removing host' lines" "$why"
    [ -z "$why" ] || show "$tmp/err"
  else
    verdict "-1 removing 5000 entries logs 5000 lines" "ipfw could not fill the table"
  fi
else
  skip "-1 removing 5000 entries logs 5000 lines" "the table could not be made"
fi

# Capability mode: a detached daemon (with -p, -m and -w) enters it once
# its start-up is done, and does all its work in it. Each descriptor's
# rights are read from procstat(1), whose output is read as FreeBSD 14 and
# 15 print it: "procstat -s PID" a header line naming its columns, FLAGS
# among them ('C' in capability mode, '-' otherwise), then a line for the
# process (or one per thread) that begins with its PID; "procstat -f -C
# PID" a header line, then a line per descriptor or special vnode (text,
# cwd, root, ...): PID, COMM, FD (a number for a descriptor), T (its type:
# v a vnode, s a socket), FLAGS, CAPABILITIES (the rights as procstat's
# two-letter names, separated by commas; "-" for none), PRO, NAME. Only
# the columns up to CAPABILITIES are read, by the header's positions.
t=$prefix-k
krun=$tmp/krun
kmet=$tmp/kmet
pf=$krun/k.pid
mf=$kmet/k.prom
pidfiles="$pidfiles $pf"
# Whether the kernel says it has capability mode (a kernel built without
# the CAPABILITY_MODE option has no such feature); a daemon seen in the
# mode says so too.
if [ "$(sysctl -n kern.features.security_capability_mode 2>/dev/null)" = 1 ]; then
  capmode=yes
else
  capmode=
fi

# capsicum_flags PID: the FLAGS column of each line of procstat -s.
capsicum_flags() {
  procstat -s "$1" 2>/dev/null | awk -v pid="$1" '
    !col { for (i = 1; i <= NF; i++) if ($i == "FLAGS") col = i; next }
    $1 == pid && NF >= col { print $col }'
}
in_capability_mode() {
  _f=$(capsicum_flags "$1")
  [ -n "$_f" ] || return 1
  for _x in $_f; do
    case $_x in *C*) ;; *) return 1 ;; esac
  done
}

# rights_held PID: one line per descriptor of the process, "T RIGHTS", the
# rights as the CAP_ names of rights(4) that procstat abbreviates, sorted
# and joined by commas ("none" for no right), the lines sorted. The
# abbreviations are procstat's for the single rights; a name procstat
# prints that is not among them (one for a combination of rights) is left
# out, as every right it stands for has its own name too.
rights_held() {
  procstat -f -C "$1" 2>/dev/null | awk '
    BEGIN {
      n = split("rd:READ wr:WRITE se:SEEK mm:MMAP cr:CREATE fe:FEXECVE fy:FSYNC ft:FTRUNCATE " \
        "lo:LOOKUP cd:FCHDIR cf:FCHFLAGS cm:FCHMOD cn:FCHOWN fc:FCNTL fl:FLOCK fp:FPATHCONF " \
        "fk:FSCK fs:FSTAT sf:FSTATFS fu:FUTIMES ls:LINKAT_SOURCE lt:LINKAT_TARGET md:MKDIRAT " \
        "mf:MKFIFOAT mn:MKNODAT rs:RENAMEAT_SOURCE rt:RENAMEAT_TARGET sl:SYMLINKAT un:UNLINKAT " \
        "at:ACCEPT bd:BIND ba:BINDAT co:CONNECT ca:CONNECTAT pn:GETPEERNAME sn:GETSOCKNAME " \
        "gs:GETSOCKOPT ln:LISTEN pf:PEELOFF ss:SETSOCKOPT sh:SHUTDOWN ev:EVENT io:IOCTL ty:TTYHOOK", pairs, " ")
      for (i = 1; i <= n; i++) {
        split(pairs[i], kv, ":")
        name[kv[1]] = kv[2]
      }
    }
    !fdcol {
      for (i = 1; i <= NF; i++) {
        if ($i == "FD") fdcol = i
        if ($i == "T") tcol = i
        if ($i == "CAPABILITIES") capcol = i
      }
      next
    }
    $fdcol ~ /^[0-9]+$/ {
      m = split($capcol, abbr, ",")
      out = ""
      # The names in sorted order (a simple insertion sort: a few names).
      k = 0
      for (i = 1; i <= m; i++) {
        if (!(abbr[i] in name)) continue
        k++
        sorted[k] = name[abbr[i]]
        for (j = k; j > 1 && sorted[j - 1] > sorted[j]; j--) {
          x = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = x
        }
      }
      for (i = 1; i <= k; i++) out = out (i > 1 ? "," : "") sorted[i]
      print $tcol " " (k > 0 ? out : "none")
    }' | sort
}

# What the manual lists, in the same form: standard input, output and
# error; the control socket; the socket to syslogd; /var/run; the metrics
# file's directory; the PID file and its directory.
sort >"$tmp/k.rights.want" <<'RIGHTS'
v none
v EVENT,FSTAT,IOCTL,WRITE
v EVENT,FSTAT,IOCTL,WRITE
s GETSOCKOPT
s EVENT,WRITE
v CONNECTAT,LOOKUP
v CREATE,FCHMOD,FSTAT,LOOKUP,RENAMEAT_SOURCE,RENAMEAT_TARGET,UNLINKAT,WRITE
v FLOCK,FSTAT
v FSTAT,LOOKUP,UNLINKAT
RIGHTS

# The metrics file's last sweep, as the file says.
last_sweep() {
  sed -n "s/^hostreapd_last_sweep_timestamp_seconds{table=\"$t\"} //p" "$mf" 2>/dev/null
}

k_checks="runs in capability mode|holds the rights the manual lists|sweeps, logs and writes its metrics each cycle|delivers its lines after service syslogd restart|-w: the table destroyed and made again is swept|SIGTERM removes its PID file"
k_skip() {
  _ifs=$IFS
  IFS='|'
  for _what in $k_checks; do skip "capability mode: a detached daemon $_what" "$1"; done
  IFS=$_ifs
}
if ! command -v procstat >/dev/null 2>&1; then
  k_skip "procstat is missing"
elif ! mkdir "$krun" "$kmet"; then
  k_skip "cannot make its directories"
elif ! make_table "$t" type addr; then
  k_skip "the table could not be made"
else
  soon=$(date +%s)
  ipfw -q table "$t" add 192.0.2.60 $((soon + 2)) 192.0.2.61 "$later"
  "$bin" -t "$t" -s 1 -w -p "$pf" -m "$mf" 2>"$tmp/err"
  if ! poll 10 daemon_up "$pf"; then
    verdict "capability mode: a detached daemon starts" "$pf does not name a running hostreapd"
    show "$tmp/err"
    k_skip "the daemon did not start"
  else
    up=$dpid
    daemons="$daemons $up"

    # 1. The mode, or on a kernel without it, the warning.
    k_warned() { log_of "$up" | grep -qF "capability mode is not available"; }
    why=
    if poll 10 in_capability_mode "$up"; then
      capmode=yes
      verdict "capability mode: a detached daemon runs in capability mode (procstat -s)" ""
    elif [ -z "$capmode" ] && [ -n "$log_ok" ] && poll 10 k_warned; then
      verdict "capability mode: on a kernel without it, the daemon warns and runs" ""
    else
      why="procstat -s shows FLAGS '$(capsicum_flags "$up" | tr '\n' ' ')', not C"
      [ -n "$capmode" ] || why="$why; kern.features.security_capability_mode is not 1"
      verdict "capability mode: a detached daemon runs in capability mode (procstat -s)" "$why"
      procstat -s "$up" >"$tmp/k.procstat" 2>&1
      show "$tmp/k.procstat"
    fi

    # 2. Every descriptor limited to the rights the manual lists.
    if [ -n "$capmode" ]; then
      rights_held "$up" >"$tmp/k.rights"
      why=
      cmp -s "$tmp/k.rights" "$tmp/k.rights.want" || why="procstat -f -C shows other descriptors or rights"
      verdict "capability mode: a detached daemon holds the rights the manual lists (procstat -f -C)" "$why"
      if [ -n "$why" ]; then
        echo "#   held (type and rights):"
        show "$tmp/k.rights"
        echo "#   listed in the manual:"
        show "$tmp/k.rights.want"
        procstat -f -C "$up" >"$tmp/k.procstat" 2>&1
        show "$tmp/k.procstat"
      fi
    else
      skip "capability mode: a detached daemon holds the rights the manual lists" "the kernel has no capability mode"
    fi

    # 3. Its work: the entry due in 2 s goes with its line, the one due in
    # an hour stays, and the metrics file is written at every cycle (its
    # last sweep moves on twice).
    why=
    k_due_gone() { ! has_key "$t" 192.0.2.60; }
    poll 15 k_due_gone || why="the entry due in 2 s is still there 15 s later"
    has_key "$t" 192.0.2.61 || because "the entry due in an hour went too"
    if [ -n "$log_ok" ]; then
      k_logged() { log_of "$up" | grep -qx "Removing host 192.0.2.60 from table $t"; }
      poll 10 k_logged || because "no 'Removing host 192.0.2.60 from table $t' in the log"
    fi
    first=$(last_sweep)
    k_moved_on() { _l=$(last_sweep); [ -n "$_l" ] && [ "$_l" -gt "${1:-0}" ]; }
    if poll 10 k_moved_on "$first"; then
      second=$(last_sweep)
      poll 10 k_moved_on "$second" || because "the metrics file was written once more, then not again"
    else
      because "the metrics file's last sweep stays at '$first'"
    fi
    grep -qx "hostreapd_removed_total{table=\"$t\"} 1" "$mf" 2>/dev/null || because "the metrics file does not count the removal"
    verdict "capability mode: a detached daemon sweeps, logs and writes its metrics each cycle" "$why"
    [ -z "$why" ] || show "$mf"

    # 4. syslogd started again: its socket is made anew, and the daemon
    # connects to it through /var/run, the directory it holds.
    if [ -z "$log_ok" ]; then
      skip "capability mode: a detached daemon delivers its lines after service syslogd restart" "$log_why"
    elif ! service syslogd enabled >/dev/null 2>&1; then
      skip "capability mode: a detached daemon delivers its lines after service syslogd restart" \
        "syslogd is not enabled in rc.conf; the suite does not restart it"
    else
      why=
      service syslogd restart >"$tmp/k.syslogd" 2>&1
      rstatus=$?
      if [ "$rstatus" = 0 ]; then
        # The probe of the restarted syslogd: logger connects anew.
        probe="hostreapd-test probe after restart $$ $(date +%s)"
        logger -p auth.info -t hostreapd-test "$probe"
        poll 10 grep -qF "$probe" "$log" || because "syslogd did not log again after its restart"
        ipfw -q table "$t" add 192.0.2.62 0
        k_after() { log_of "$up" | grep -qx "Removing host 192.0.2.62 from table $t"; }
        poll 15 k_after || because "no 'Removing host 192.0.2.62 from table $t' in the log after the restart"
        grep -qx "hostreapd_log_lines_dropped_total{table=\"$t\"} 0" "$mf" 2>/dev/null ||
          because "the metrics file counts dropped lines"
      else
        why="service syslogd restart: status $rstatus"
        show "$tmp/k.syslogd"
      fi
      verdict "capability mode: a detached daemon delivers its lines after service syslogd restart" "$why"
    fi

    # 5. -w: the table destroyed and made again.
    why=
    drop_table "$t"
    if make_table "$t" type addr && ipfw -q table "$t" add 192.0.2.63 "$past"; then
      k_back() { ! has_key "$t" 192.0.2.63; }
      poll 15 k_back || why="the due entry of the table made again is still there"
      is_hostreapd "$up" || because "the daemon ended"
      if [ -n "$log_ok" ]; then
        k_back_logged() { log_of "$up" | grep -qx "Removing host 192.0.2.63 from table $t"; }
        poll 10 k_back_logged || because "no 'Removing host 192.0.2.63 from table $t' in the log"
      fi
    else
      why="the table could not be made again"
    fi
    verdict "capability mode: a detached daemon with -w: the table destroyed and made again is swept" "$why"

    # 6. The stop: its PID file removed through its directory.
    kill -TERM "$up"
    why=
    poll 10 gone "$up" || why="still running 10 s after SIGTERM"
    gone "$up" && forget "$up"
    [ ! -e "$pf" ] || because "the PID file is still there"
    verdict "capability mode: a detached daemon: SIGTERM removes its PID file" "$why"
  fi
fi

# ---------------------------------------------------------------------------
# The writer's side (-a): keys added with their time in the field the sweep
# reads, present keys renewed in place, a bulk add, and the refusals. Each
# table is made here and destroyed with the rest.

# run_add ARGS...: runs hostreapd with ARGS, standard input from
# $tmp/keys, to its end; sets $pid and $status.
run_add() {
  (exec "$bin" "$@" <"$tmp/keys" >"$tmp/out" 2>"$tmp/err") &
  pid=$!
  daemons="$daemons $pid"
  finish_fg 300
}
: >"$tmp/keys"

# The value ipfw(8) lists for key $2 of table $1 ("-" when it lists none).
value_of() {
  _v=$(entries "$1" | awk -v k="$2" '$1 == k { print $2 }')
  echo "${_v:--}"
}

deadline=$((now + 7200))

# A table of the default value type: the time is the value.
t=$prefix-a
if make_table "$t" type addr && ipfw -q table "$t" add 192.0.2.1 "$past"; then
  run_add -t "$t" -a "@$deadline" 192.0.2.1 2001:db8::/64
  add_pid=$pid
  why=
  [ "$status" = 0 ] || why="status $status"
  [ "$(value_of "$t" 192.0.2.1)" = "$deadline" ] || because "192.0.2.1 is listed with $(value_of "$t" 192.0.2.1), not $deadline"
  [ "$(value_of "$t" 2001:db8::/64)" = "$deadline" ] || because "2001:db8::/64 is listed with $(value_of "$t" 2001:db8::/64), not $deadline"
  "$bin" -t "$t" -l >"$tmp/l.out" 2>&1 || because "-l: status $?"
  grep -q "^192\\.0\\.2\\.1 $deadline " "$tmp/l.out" || because "-l does not show 192.0.2.1 with $deadline"
  if [ -z "$why" ] && [ -n "$log_ok" ]; then
    add_logged() {
      log_of "$add_pid" | grep -q "^Renewing host 192\\.0\\.2\\.1 in table $t until " &&
        log_of "$add_pid" | grep -q "^Adding host 2001:db8::/64 to table $t until "
    }
    poll 10 add_logged || why="no 'Renewing host 192.0.2.1 ...' and 'Adding host 2001:db8::/64 ...' in the log"
  fi
  verdict "-a on a legacy table: the time is the value, a present key renewed, each logged" "$why"
  [ -z "$why" ] || { show "$tmp/err"; show "$tmp/l.out"; }

  # A renewal never takes the entry out: a watcher lists the table without
  # pause while the key is renewed 50 times.
  rm -f "$tmp/watch.stop" "$tmp/watch.missing"
  (
    while [ ! -e "$tmp/watch.stop" ]; do
      has_key "$t" 192.0.2.1 || echo missing >>"$tmp/watch.missing"
    done
  ) &
  writer=$!
  why=
  i=1
  while [ $i -le 50 ]; do
    "$bin" -t "$t" -a "@$((deadline + i))" 192.0.2.1 2>>"$tmp/err" || why="renewal $i: status $?"
    i=$((i + 1))
  done
  : >"$tmp/watch.stop"
  wait "$writer"
  writer=
  [ ! -s "$tmp/watch.missing" ] || because "the watcher found 192.0.2.1 missing $(wc -l <"$tmp/watch.missing" | tr -d ' ') times"
  [ "$(value_of "$t" 192.0.2.1)" = "$((deadline + 50))" ] || because "192.0.2.1 holds $(value_of "$t" 192.0.2.1) after the renewals"
  verdict "50 renewals with -a: a watcher listing meanwhile never finds the entry missing" "$why"
  [ -z "$why" ] || show "$tmp/err"
else
  skip "-a on a legacy table" "the table could not be made"
fi

# A table of two value types: the time goes into the first in ipfw(8)'s
# order, and a renewal keeps the other. tag,mark on both releases (ipfw(8)
# lists the mark in hexadecimal, whose text is compared as it is listed);
# skipto,tag on FreeBSD 15, refused on 14 (skipto is 16 bits there).
for vt in tag,mark skipto,tag; do
  t=$prefix-m
  [ "$vt" = tag,mark ] || t=$prefix-y
  if ! make_table "$t" type addr valtype "$vt" || ! ipfw -q table "$t" add 192.0.2.1 "5,77"; then
    skip "-a on a table of valtype $vt" "the table could not be made"
    continue
  fi
  kept=$(value_of "$t" 192.0.2.1 | cut -d , -f 2)
  run_add -t "$t" -a "@$deadline" 192.0.2.1 192.0.2.2
  why=
  if [ "$vt" = skipto,tag ] && [ "$osreldate" -lt 1500000 ]; then
    [ "$status" = 65 ] || why="status $status, not 65"
    grep -qF "table $t: its values begin with skipto, which cannot hold a time" "$tmp/err" || because "no 'its values begin with skipto, which cannot hold a time'"
    [ "$(value_of "$t" 192.0.2.2)" = - ] || because "192.0.2.2 was added"
    verdict "-a refuses a table of valtype skipto,tag on FreeBSD 14 with 65" "$why"
  else
    [ "$status" = 0 ] || why="status $status"
    [ "$(value_of "$t" 192.0.2.1)" = "$deadline,$kept" ] || because "192.0.2.1 is listed with $(value_of "$t" 192.0.2.1), not $deadline,$kept"
    [ "$(value_of "$t" 192.0.2.2 | cut -d , -f 1)" = "$deadline" ] || because "192.0.2.2 is listed with $(value_of "$t" 192.0.2.2)"
    "$bin" -t "$t" -l >"$tmp/l.out" 2>&1
    grep -q "^192\\.0\\.2\\.2 $deadline " "$tmp/l.out" || because "-l does not show 192.0.2.2 with $deadline"
    verdict "-a on a table of valtype $vt: the time first in ipfw's listing, the other field kept" "$why"
  fi
  [ -z "$why" ] || { show "$tmp/err"; entries "$t" >"$tmp/left"; show "$tmp/left"; }
done

# 5,000 keys from standard input, every other one present, one bad line
# among them: all added or renewed, the bad line named by its number.
t=$prefix-r
if make_table "$t" type addr; then
  i=0
  while [ $i -lt 5000 ]; do
    if [ $((i % 40)) = 0 ]; then
      [ $i = 0 ] || echo
      printf 'table %s add' "$t"
    fi
    printf ' 198.18.%d.%d %d' $((i / 250)) $((i % 250 + 1)) "$past"
    i=$((i + 2))
  done >"$tmp/bulk"
  echo >>"$tmp/bulk"
  i=0
  while [ $i -lt 5000 ]; do
    echo "198.18.$((i / 250)).$((i % 250 + 1))"
    [ $i != 1000 ] || echo "not-a-key"
    i=$((i + 1))
  done >"$tmp/keys"
  if ipfw -q "$tmp/bulk"; then
    run_add -t "$t" -a "@$deadline" -
    add_pid=$pid
    : >"$tmp/keys"
    why=
    [ "$status" = 65 ] || why="status $status, not 65"
    grep -qF "line 1002: not-a-key: not an IPv4 or IPv6 address" "$tmp/err" || because "no 'line 1002: not-a-key: not an IPv4 or IPv6 address'"
    n=$(entries "$t" | awk -v d="$deadline" '$2 == d' | wc -l | tr -d ' ')
    [ "$n" = 5000 ] || because "$n of 5000 entries hold $deadline"
    if [ -z "$why" ] && [ -n "$log_ok" ]; then
      both_logged() {
        [ "$(log_of "$add_pid" | grep -c "^Adding host 198\\.18\\.")" = 2500 ] &&
          [ "$(log_of "$add_pid" | grep -c "^Renewing host 198\\.18\\.")" = 2500 ]
      }
      poll 20 both_logged || why="the log does not hold 2500 'Adding host' and 2500 'Renewing host' lines"
    fi
    verdict "-a - adds and renews 5000 keys of standard input, a bad line named by its number" "$why"
    [ -z "$why" ] || show "$tmp/err"
  else
    verdict "-a - adds and renews 5000 keys" "ipfw could not fill the table"
  fi
else
  skip "-a - adds and renews 5000 keys" "the table could not be made"
fi

# The refusals, with their statuses; none changes a table ($prefix-z is
# never made).
t=$prefix-a
make_table "$prefix-p" type addr valtype mark,tag,pipe 2>/dev/null
for c in "64|-t $t -a 1y 192.0.2.9|bad lifetime 1y" \
  "65|-t $t -a 1h 192.0.2.300|192.0.2.300: not an IPv4 or IPv6 address" \
  "65|-t $prefix-i -a 1h 192.0.2.9|table $prefix-i is not an address table" \
  "65|-t $prefix-p -a 1h 192.0.2.9|table $prefix-p: its values begin with pipe, which cannot hold a time" \
  "71|-t $prefix-z -a 1h 192.0.2.9|failed to request table info: No such process" \
  "71|-t $t -a 1h 192.0.2.9|cannot add to table $t: table is locked"; do
  want=${c%%|*}
  rest=${c#*|}
  args=${rest%%|*}
  text=${rest#*|}
  case $text in *locked) ipfw -q table "$t" lock ;; esac
  # shellcheck disable=SC2086 # the arguments are words without blanks
  run_add $args
  case $text in *locked) ipfw -q table "$t" unlock ;; esac
  why=
  [ "$status" = "$want" ] || why="status $status, not $want"
  grep -qF "$text" "$tmp/err" || because "no '$text'"
  has_key "$t" 192.0.2.9 && because "192.0.2.9 was added"
  verdict "hostreapd $args is refused with $want" "$why"
  [ -z "$why" ] || show "$tmp/err"
done

# The service script, through service(8), with the daemon of the command
# line (hostreapd_program) on a table of ours. Only where the script is
# installed and nothing configures hostreapd already.
svc_script=
for f in /usr/local/etc/rc.d/hostreapd /etc/rc.d/hostreapd; do
  if [ -x "$f" ]; then
    svc_script=$f
    break
  fi
done
svc_why=
if [ -z "$svc_script" ]; then
  svc_why="no service script installed (the port's /usr/local/etc/rc.d/hostreapd)"
elif [ -L "$rcconf_d" ]; then
  svc_why="$rcconf_d is a symbolic link; the service is left alone"
elif [ -e "$rcconf_d" ] || [ -e /usr/local/etc/rc.conf.d/hostreapd ] ||
  grep -qs '^[[:space:]]*hostreapd_' /etc/rc.conf /etc/rc.conf.local; then
  svc_why="hostreapd is configured on this host; its service is left alone"
elif [ -f /var/run/hostreapd.pid ]; then
  svc_why="/var/run/hostreapd.pid exists; a hostreapd service may be running"
else
  case $bin$tmp in
    *[!A-Za-z0-9/._+,:@%-]*) svc_why="the paths of hostreapd or $tmp hold characters the service script refuses" ;;
  esac
fi
t=$prefix-s
if [ -z "$svc_why" ] && ! make_table "$t" type addr; then svc_why="the table could not be made"; fi
svc_pf=$tmp/svc.pid
pidfiles="$pidfiles $svc_pf"
# rc_conf ENABLE TABLE: the service's settings for the next command,
# written to a new file beside the path and renamed onto it: the rename
# replaces what is at the path (a symbolic link put there meanwhile
# included), and nothing is ever written through a link.
rc_conf() {
  wrote_rcconf=yes
  if [ ! -d "${rcconf_d%/*}" ]; then
    mkdir "${rcconf_d%/*}" && made_rcconf_dir=yes
  fi
  rcconf_tmp=$(mktemp "${rcconf_d%/*}/.hostreapd-test.XXXXXX") || return 1
  cat >"$rcconf_tmp" <<EOF
hostreapd_enable="$1"
hostreapd_table="$2"
hostreapd_interval="1"
hostreapd_pidfile="$svc_pf"
hostreapd_program="$bin"
EOF
  chmod 644 "$rcconf_tmp" && mv -f "$rcconf_tmp" "$rcconf_d" && rcconf_tmp=
}
if [ -n "$svc_why" ]; then
  for what in "service hostreapd start, status, stop" "service hostreapd onestart" \
    "service hostreapd start refuses a table value" "service hostreapd info"; do
    skip "$what" "$svc_why"
  done
else
  echo "# service script: $svc_script (settings in $rcconf_d while these run)"
  ipfw -q table "$t" add 192.0.2.50 "$past" 192.0.2.51 "$later"
  rc_conf YES "$t"
  why=
  service hostreapd start >"$tmp/out" 2>&1 || why="start: status $?"
  poll 10 daemon_up "$svc_pf" || because "start: no daemon in $svc_pf"
  up=${dpid:-}
  service hostreapd status >"$tmp/status" 2>&1 || because "status: status $?"
  grep -qx "hostreapd is running as pid $up." "$tmp/status" || because "status did not say 'hostreapd is running as pid $up.'"
  svc_swept() { ! has_key "$t" 192.0.2.50; }
  poll 15 svc_swept || because "the due entry is still there"
  has_key "$t" 192.0.2.51 || because "the entry not due is gone"
  # info, while it runs: a check of its own.
  info_why=
  if [ -n "$log_ok" ] && [ -n "$up" ]; then
    main_why=$why
    why=
    service hostreapd info >"$tmp/info" 2>&1 || why="status $?"
    svc_state() { log_of "$up" | grep -q "^table $t: "; }
    poll 10 svc_state || because "no 'table $t: ...' line in the log within 10 s"
    info_why=$why
    why=$main_why
  fi
  service hostreapd stop >>"$tmp/out" 2>&1 || because "stop: status $?"
  [ -z "$up" ] || poll 10 gone "$up" || because "stop: the daemon still runs"
  [ ! -e "$svc_pf" ] || because "stop: the PID file is still there"
  verdict "service hostreapd start, status, stop" "$why"
  [ -z "$why" ] || { show "$tmp/out"; show "$tmp/status"; }
  if [ -n "$log_ok" ]; then
    verdict "service hostreapd info: the daemon logs a line of its state" "$info_why"
    [ -z "$info_why" ] || show "$tmp/info"
  else
    skip "service hostreapd info" "$log_why"
  fi

  rc_conf NO "$t"
  why=
  service hostreapd start >"$tmp/out" 2>&1
  grep -qF "Cannot 'start' hostreapd." "$tmp/out" || why="start with hostreapd_enable=NO did not say \"Cannot 'start' hostreapd.\""
  [ ! -e "$svc_pf" ] || because "start with hostreapd_enable=NO started it"
  service hostreapd onestart >>"$tmp/out" 2>&1 || because "onestart: status $?"
  poll 10 daemon_up "$svc_pf" || because "onestart: no daemon in $svc_pf"
  service hostreapd onestop >>"$tmp/out" 2>&1 || because "onestop: status $?"
  [ -z "${dpid:-}" ] || poll 10 gone "$dpid" || because "onestop: the daemon still runs"
  verdict "service hostreapd onestart with hostreapd_enable=NO" "$why"
  [ -z "$why" ] || show "$tmp/out"

  rc_conf YES "5 -f"
  why=
  service hostreapd start >"$tmp/out" 2>&1 && why="start succeeded"
  grep -qF "hostreapd_table is not a table number or name: 5 -f" "$tmp/out" || because "no 'hostreapd_table is not a table number or name: 5 -f'"
  [ ! -e "$svc_pf" ] || because "a daemon was started"
  verdict "service hostreapd start refuses hostreapd_table=\"5 -f\"" "$why"
  [ -z "$why" ] || show "$tmp/out"
  rm -f "$rcconf_d"
  wrote_rcconf=
fi

# The build for the other release is refused before any request.
if [ -z "$other" ]; then
  skip "a build for the other release is refused with 78" "no -o OTHER_BUILD given"
else
  if [ "$osreldate" -lt 1500000 ]; then built=15; else built=14; fi
  message="hostreapd was built for FreeBSD $built's firewall; this system runs FreeBSD $((osreldate / 100000)).$((osreldate / 1000 % 100))"
  "$other" -t "$number" -f -1 >"$tmp/out" 2>"$tmp/err"
  ostatus=$?
  why=
  [ "$ostatus" = 78 ] || why="status $ostatus, not 78"
  grep -qF "$message" "$tmp/err" || because "no '$message'"
  verdict "a build for FreeBSD $built is refused with 78" "$why"
  [ -z "$why" ] || show "$tmp/err"
fi

# The conformance program: the kernel's answers to the requests the daemon
# makes, row by row, over tables of its own (named $prefix-c-*).
if [ -z "$conform" ]; then
  skip "the kernel answers as the emulator does (fwconform)" "no -c FWCONFORM given"
else
  "$conform" -x "ipfw -q" -p "$prefix-c" >"$tmp/conform" 2>&1
  cstatus=$?
  show "$tmp/conform"
  why=
  [ "$cstatus" = 0 ] || why="fwconform's status was $cstatus"
  verdict "the kernel answers as the emulator does (fwconform: $(tail -n 1 "$tmp/conform"))" "$why"
fi

tally
[ "$failed" -eq 0 ]
