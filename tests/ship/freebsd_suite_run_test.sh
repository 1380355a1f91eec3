#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The suite for a FreeBSD host (tests/freebsd/hostreapd_test.sh) run here
# against the emulator, with stand-ins for what FreeBSD gives it: ipfw(8)
# (the emulator's own `fwemu ipfw`, every command and its status recorded),
# kldstat, sysctl, uname and service(8), and, in a private mount namespace,
# an /etc of its own (an overlay whose changes land in a directory here),
# so that the suite's /etc/rc.conf.d/hostreapd is written there and not on
# this machine. No syslog is given it: its log checks are skipped.
#
#   freebsd_suite_run_test.sh SUITE HOSTREAPD FWEMU FWCONFORM ABI
#
# - A whole run passes, the service checks and fwconform's run through the
#   stand-in ipfw included; every table it
#   destroys is one it made and still held (never a name it had already
#   destroyed itself); and it leaves nothing behind: no table, daemon,
#   temporary file or /etc/rc.conf.d.
# - With a dangling symbolic link at /etc/rc.conf.d/hostreapd the service
#   checks are skipped, nothing is written through the link, and the link
#   stays as it was.
# - Each signal that would end the suite, sent while its first table's
#   create is under way (the stand-in ipfw waits, the table made, until it
#   is let go), ends it with 128 + the signal's number, and that table is
#   gone.
set -eu
suite=$1
bin=$2
fwemu=$3
fwconform=$4
abi=$5
# shellcheck source=tests/ship/check_lib.sh
. "$(dirname "$0")/check_lib.sh"

[ "$(id -u)" = 0 ] || skip "not root: the suite runs in a mount namespace of its own"
for tool in unshare mount ps; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
env --default-signal=INT true 2>/dev/null || skip "env --default-signal is missing (GNU coreutils 8.31 or later)"
probe=$work/probe
mkdir "$probe" "$probe/u" "$probe/w"
unshare -m sh -c "mount -t overlay overlay -o lowerdir=/etc,upperdir=$probe/u,workdir=$probe/w /etc" 2>/dev/null ||
  skip "cannot lay an overlay over /etc in a mount namespace"

if [ "$abi" = 14 ]; then
  release="14.0-STABLE" osreldate=1400509
else
  release="15.1-RELEASE-p1" osreldate=1501000
fi

# ---------------------------------------------------------------------------
# The stand-ins, first on the suite's PATH.
sbin=$work/bin
mkdir "$sbin"
cat >"$sbin/uname" <<EOF
#!/bin/sh
case "\$*" in
  -s) echo FreeBSD ;;
  -sr) echo "FreeBSD $release" ;;
  *) exec /bin/uname "\$@" ;;
esac
EOF
cat >"$sbin/kldstat" <<'EOF'
#!/bin/sh
[ "$*" = "-q -m ipfw" ]
EOF
cat >"$sbin/sysctl" <<EOF
#!/bin/sh
case "\$*" in
  "-n kern.osreldate") echo $osreldate ;;
  *) exit 1 ;;
esac
EOF
# ipfw [-q] WORDS... or ipfw [-q] FILE (commands, one a line). Each command
# is recorded in IPFW_RECORD as "STATUS WORDS". The command IPFW_PAUSE is
# carried out, then IPFW_PAUSE.paused is made and the command waits for
# IPFW_PAUSE.go before it ends.
cat >"$sbin/ipfw" <<EOF
#!/bin/sh
fwemu='$fwemu'
EOF
cat >>"$sbin/ipfw" <<'EOF'
if [ "${1-}" = -q ]; then shift; fi
if [ $# -eq 1 ] && [ -f "$1" ]; then
  while read -r line; do
    # shellcheck disable=SC2086 # a command's words
    "$0" -q $line </dev/null || exit
  done <"$1"
  exit 0
fi
st=0
"$fwemu" ipfw "$@" || st=$?
echo "$st $*" >>"$IPFW_RECORD"
if [ -n "${IPFW_PAUSE-}" ] && [ "$*" = "$IPFW_PAUSE" ]; then
  : >"$IPFW_PAUSE_AT.paused"
  while [ ! -e "$IPFW_PAUSE_AT.go" ]; do sleep 0.05; done
fi
exit $st
EOF
# service hostreapd VERB: the port's script and rc.subr as far as the suite
# asks them, with the settings of /etc/rc.conf.d/hostreapd.
cat >"$sbin/service" <<'EOF'
#!/bin/sh
[ "$1" = hostreapd ] || exit 1
verb=$2
hostreapd_enable=NO
hostreapd_table=
hostreapd_interval=5
hostreapd_pidfile=/var/run/hostreapd.pid
hostreapd_program=/usr/local/sbin/hostreapd
# shellcheck source=/dev/null
[ ! -f /etc/rc.conf.d/hostreapd ] || . /etc/rc.conf.d/hostreapd
pid=$(sed -n 1p "$hostreapd_pidfile" 2>/dev/null || true)
running() { [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; }
case $verb in
  one*) verb=${verb#one} ;;
  status | stop) ;;
  *)
    if [ "$hostreapd_enable" != YES ]; then
      echo "Cannot '$verb' hostreapd. Set hostreapd_enable to YES in /etc/rc.conf or use 'one$verb' instead of '$verb'."
      exit 0
    fi
    ;;
esac
case $verb in
  start)
    case $hostreapd_table in
      '' | *[!A-Za-z0-9._-]*)
        echo "hostreapd_table is not a table number or name: $hostreapd_table" >&2
        exit 1
        ;;
    esac
    echo "Starting hostreapd."
    exec "$hostreapd_program" -t "$hostreapd_table" -s "$hostreapd_interval" -p "$hostreapd_pidfile"
    ;;
  status)
    if running; then echo "hostreapd is running as pid $pid."; else
      echo "hostreapd is not running."
      exit 1
    fi
    ;;
  info) running && kill -USR1 "$pid" ;;
  stop)
    running || {
      echo "hostreapd not running? (check $hostreapd_pidfile)." >&2
      exit 1
    }
    echo "Stopping hostreapd."
    kill -TERM "$pid"
    i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do
      sleep 0.1
      i=$((i + 1))
    done
    ;;
  *) exit 1 ;;
esac
EOF
chmod +x "$sbin"/*
if command -v shellcheck >/dev/null; then
  for f in "$sbin"/*; do shellcheck -s sh "$f" || fail "shellcheck reports the stand-in ${f##*/}"; done
fi

# Every emulator started is stopped at the end, whatever happens.
trap 'for f in "$work"/*/emu.pid; do kill -TERM "$(cat "$f")" 2>/dev/null || true; done; rm -rf "$work"' EXIT

# The number of the signal named $1, as kill -l names it.
signal_number() {
  n=1
  while [ $n -lt 128 ] && [ "$(kill -l $n 2>/dev/null)" != "$1" ]; do n=$((n + 1)); done
  echo $n
}

names="hostreapd-test-d hostreapd-test-g hostreapd-test-n hostreapd-test-v hostreapd-test-i
       hostreapd-test-w hostreapd-test-x hostreapd-test-b hostreapd-test-s hostreapd-test-k
       hostreapd-test-a hostreapd-test-m hostreapd-test-y hostreapd-test-r hostreapd-test-p 65534
       hostreapd-test-c-t hostreapd-test-c-s hostreapd-test-c-a hostreapd-test-c-b hostreapd-test-c-c"

# start_emulator DIR: an emulator of this build's release with its socket
# in DIR; its pid in DIR/emu.pid.
start_emulator() {
  "$fwemu" -s "$1/fwemu.sock" serve --abi "$abi" >"$1/emu.out" 2>&1 &
  echo $! >"$1/emu.pid"
  i=0
  until "$fwemu" -s "$1/fwemu.sock" stats >/dev/null 2>&1; do
    i=$((i + 1))
    [ $i -lt 200 ] || { fail "the emulator in $1 did not start"; return 1; }
    sleep 0.05
  done
}
stop_emulator() {
  kill -TERM "$(cat "$1/emu.pid")" 2>/dev/null || true
}

# The suite's environment for a case in DIR: the stand-ins first, its own
# emulator, record and temporary directory.
case_dir() {
  mkdir "$work/$1" "$work/$1/tmp" "$work/$1/etc.u" "$work/$1/etc.w"
  : >"$work/$1/record"
  echo "$work/$1"
}
suite_env() {
  echo "PATH=$sbin:$PATH" "TMPDIR=$1/tmp" "FWEMU_SOCKET=$1/fwemu.sock" "IPFW_RECORD=$1/record" \
    "IPFW_PAUSE_AT=$1/pause"
}

# run_in_root DIR SETUP: the suite, with fwconform, in a mount namespace whose /etc is an
# overlay with its changes in DIR/etc.u, where the service script is
# installed (/etc/rc.d/hostreapd) and SETUP is run first; its output in
# DIR/out, its status in DIR/status.
run_in_root() {
  # A failing run must still leave its status (set -e would end here).
  st=0
  # shellcheck disable=SC2016,SC2046 # the inner script's own variables; the environment's words
  unshare -m sh -c '
    dir=$1 setup=$2 service=$3
    shift 3
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$dir/etc.u,workdir=$dir/etc.w" /etc || exit 99
    mkdir -p /etc/rc.d && cp "$service" /etc/rc.d/hostreapd || exit 99
    eval "$setup" || exit 99
    exec env "$@"
  ' sh "$1" "$2" "$sbin/service" $(suite_env "$1") sh "$suite" -L "$1/no-log" -c "$fwconform" "$bin" >"$1/out" 2>&1 || st=$?
  echo "$st" >"$1/status"
}

# Whatever the run left: tables of its names, daemons that talk to its
# emulator, files in its temporary directory.
left_behind() {
  for n in $names; do
    if "$fwemu" -s "$1/fwemu.sock" info "$n" >/dev/null 2>&1; then echo "table $n"; fi
  done
  for e in /proc/[0-9]*/environ; do
    if { tr '\0' '\n' <"$e"; } 2>/dev/null | grep -qxF "FWEMU_SOCKET=$1/fwemu.sock"; then
      p=${e#/proc/}
      echo "process ${p%/environ}: $(ps -o args= -p "${p%/environ}" 2>/dev/null)"
    fi
  done
  find "$1/tmp" -mindepth 1 | sed 's/^/file /'
}

# Every destroy in the record names a table the suite made and still held.
destroys_held() {
  awk '
    {
      i = 2
      if ($i == "set") i += 2
      if ($i != "table") next
      name = $(i + 1)
      verb = $(i + 2)
    }
    verb == "create" && $1 == 0 { held[name] = 1 }
    verb == "destroy" {
      if (!(name in held)) print "destroyed " name ", which it did not hold"
      else if ($1 == 0) delete held[name]
    }
  ' "$1/record"
}

# ---------------------------------------------------------------------------
# A whole run, and one with a dangling link at /etc/rc.conf.d/hostreapd,
# side by side.
whole=$(case_dir whole)
linked=$(case_dir linked)
start_emulator "$whole"
start_emulator "$linked"
run_in_root "$whole" ":" &
whole_job=$!
run_in_root "$linked" "mkdir /etc/rc.conf.d && ln -s '$linked/victim' /etc/rc.conf.d/hostreapd" &
linked_job=$!

# Meanwhile: a signal while the first table is being made.
for sig in HUP INT QUIT TERM PIPE ALRM USR1 USR2 XCPU XFSZ VTALRM PROF; do
  dir=$(case_dir "sig-$sig")
  start_emulator "$dir" || continue
  # shellcheck disable=SC2046 # the environment's words
  env --default-signal $(suite_env "$dir") IPFW_PAUSE="table 65534 create type addr" \
    sh "$suite" -L "$dir/no-log" "$bin" >"$dir/out" 2>&1 &
  pid=$!
  i=0
  until [ -e "$dir/pause.paused" ] || [ $i -ge 600 ]; do
    sleep 0.05
    i=$((i + 1))
  done
  if [ -e "$dir/pause.paused" ]; then
    kill -s "$sig" "$pid"
  else
    fail "SIG$sig: the suite did not reach its first table's create"
  fi
  : >"$dir/pause.go"
  st=0
  wait "$pid" || st=$?
  want=$((128 + $(signal_number "$sig")))
  [ "$st" = "$want" ] || fail "SIG$sig: status $st, not $want"
  left=$(left_behind "$dir")
  [ -z "$left" ] || fail "SIG$sig left behind: $left"
  stop_emulator "$dir"
  if [ "$st" != "$want" ] || [ -n "$left" ]; then sed 's/^/  | /' "$dir/out"; fi
done

wait "$whole_job" || true
wait "$linked_job" || true

# The whole run.
st=$(cat "$whole/status")
[ "$st" = 0 ] || fail "a whole run: status $st"
grep -q "^ok - the kernel answers as the emulator does (fwconform: [0-9]* passed, 0 failed)" "$whole/out" ||
  fail "a whole run: fwconform did not pass"
for check in "service hostreapd start, status, stop" "service hostreapd onestart with hostreapd_enable=NO" \
  "service hostreapd start refuses hostreapd_table=\"5 -f\""; do
  grep -qxF "ok - $check" "$whole/out" || fail "a whole run: no 'ok - $check'"
done
bad=$(destroys_held "$whole")
[ -z "$bad" ] || fail "a whole run: $bad"
left=$(left_behind "$whole")
[ -z "$left" ] || fail "a whole run left behind: $left"
[ ! -e "$whole/etc.u/rc.conf.d" ] || fail "a whole run left /etc/rc.conf.d: $(ls -a "$whole/etc.u/rc.conf.d")"
if [ "$st" != 0 ] || [ -n "$bad$left" ]; then sed 's/^/  | /' "$whole/out"; fi

# The run with a link at /etc/rc.conf.d/hostreapd.
st=$(cat "$linked/status")
[ "$st" = 0 ] || fail "a run with a link at /etc/rc.conf.d/hostreapd: status $st"
grep -qxF "skip - service hostreapd start, status, stop (/etc/rc.conf.d/hostreapd is a symbolic link; the service is left alone)" \
  "$linked/out" || fail "a run with a link at /etc/rc.conf.d/hostreapd did not skip the service checks for it"
[ ! -e "$linked/victim" ] || fail "a run with a link at /etc/rc.conf.d/hostreapd wrote through it"
[ "$(readlink "$linked/etc.u/rc.conf.d/hostreapd" 2>/dev/null)" = "$linked/victim" ] ||
  fail "the link at /etc/rc.conf.d/hostreapd is not as it was"
[ "$(ls -A "$linked/etc.u/rc.conf.d")" = hostreapd ] ||
  fail "a run with a link at /etc/rc.conf.d/hostreapd left in it: $(ls -A "$linked/etc.u/rc.conf.d")"
left=$(left_behind "$linked")
[ -z "$left" ] || fail "a run with a link at /etc/rc.conf.d/hostreapd left behind: $left"
if [ "$st" != 0 ] || [ -e "$linked/victim" ]; then sed 's/^/  | /' "$linked/out"; fi

stop_emulator "$whole"
stop_emulator "$linked"
finish "FreeBSD suite against the emulator"
