# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=sh
# shellcheck disable=SC2154  # name, rcvar, command, ... are the service script's
# A stand-in for /etc/rc.subr, sourced by the service script under test in
# place of the real one. It does what the real one does for such a script,
# in the real one's order and with its messages, but starts and signals
# nothing. load_rc_config reads the rc.conf-style file named by RC_CONF
# (when set), as the real one reads /etc/rc.conf.
#
# Processes are simulated under the directory RC_ROOT, which stands for /:
# the PID file PATH is RC_ROOT/PATH, the program PATH is there when
# RC_ROOT/PATH is executable, and process PID runs while the file
# RC_ROOT/proc/PID holds its command line. The daemon runs when the first
# line of $pidfile names a running process whose program is $procname
# (default $command); a PID file naming no process, or another program, is
# no daemon. A process ends at the stop signal, removing its PID file; one
# with a file RC_ROOT/proc/PID.linger ends only while the stop waits for it.
#
# As the real one, it runs two things through eval: the search for the
# daemon by its PID file, for every verb but enabled (so a $pidfile with a
# blank is split, and one with $(...) runs it), and the start's command
# line, "$command ${name}_flags $command_args" (${name}_flags, unless
# $flags is set), so that what the script puts there is split and run as
# FreeBSD's rc.subr would.
#
# run_rc_command VERB takes start, stop, restart, status and what
# extra_commands adds, each also with one prefix:
#   one    runs the verb even when $rcvar is not YES;
#   force  as one, a failed start_precmd does not stop the start, and the
#          start returns the daemon's own status;
#   quiet  says nothing when $rcvar is not YES (the verb is passed over),
#          nor that the daemon already runs;
#   fast   (what boot uses) is quiet, starts without looking for a running
#          daemon, and stops nothing, silently, when none runs;
# and rcvar (the rcvar, its value and its default, as five lines), enable,
# disable and delete (as sysrc would change the rcvar in /etc/rc.conf,
# which this stand-in only says), enabled (status 0 when $rcvar is YES,
# silent), describe ($desc) and extracommands ($extra_commands).
# A verb of extra_commands with a ${verb}_cmd runs that command, which
# finds the daemon's PID in $rc_pid (empty when none runs); its status is
# the verb's (1 for any failure, unless forced).
# status, rcvar, enable, delete and describe run whatever $rcvar says, and
# so does stop while the daemon runs; any other verb (disable and
# extracommands too), with $rcvar not YES and neither one nor force, prints
# the "Cannot ..." notice, changes nothing and returns 0.
# Start prints "Starting NAME." and stop "Stopping NAME.", as the real one,
# and for what it would do one line:
#   start: COMMAND ARGUMENTS   (the words eval made of the command line;
#                               runs the program RC_ROOT/COMMAND with the
#                               arguments, as a stand-in for the daemon's
#                               start: when it succeeds, records a process
#                               and, as the daemon would, writes its PID to
#                               $pidfile; PIDs are given from 101 up)
#   stop: SIGNAL PID           (then waits for the process to end; if it
#                               has not yet, "Waiting for PIDS: PID." as
#                               the real one prints it)
#   reload: SIGNAL PID
#   kill: SIGNAL PID           (the script's own kill -SIGNAL PID; a signal
#                               FreeBSD's kill does not name is refused)
# and, as the real one: status prints "NAME is running as pid PID." or
# "NAME is not running." (status 1); stop and reload with no daemon print
# "NAME not running? (check PIDFILE)." on standard error and return 1; a
# start with the daemon running prints "NAME already running?  (pid=PID)."
# there and returns 1; a start whose command is not an executable file
# warns "$0: WARNING: run_rc_command: cannot run COMMAND" and returns 1; a
# failed start_precmd adds "$0: WARNING: failed precmd routine for NAME"
# and returns 1; a daemon that fails to start adds "$0: WARNING: failed to
# start NAME" and returns 1 (with force: its own status, and no warning);
# restart is a stop, whose failure is passed over, then a start, each run
# as a verb of its own. A module in required_modules prints "kldload
# MODULE". An unknown verb prints "$0: unknown directive 'VERB'." and the
# usage line, "Usage: $0 [fast|force|one|quiet](start|...|status|poll)",
# on standard error and exits 1; no verb prints the usage line alone.

load_rc_config() {
  if [ -n "${RC_CONF:-}" ]; then
    # shellcheck source=/dev/null
    . "$RC_CONF"
  fi
}

checkyesno() {
  _value=
  eval "_value=\${$1:-}"
  case $_value in
    [Yy][Ee][Ss] | [Tt][Rr][Uu][Ee] | [Oo][Nn] | 1) return 0 ;;
    *) return 1 ;;
  esac
}

# Prints the PID of the daemon that PID file $1 names, as program $2;
# status 1 when none runs.
_rc_check_pidfile() {
  _pid=$(sed -n 1p "$RC_ROOT$1" 2>/dev/null)
  case $_pid in
    '' | *[!0-9]*) return 1 ;;
  esac
  [ -f "$RC_ROOT/proc/$_pid" ] || return 1
  read -r _program _rest <"$RC_ROOT/proc/$_pid"
  [ "$_program" = "$2" ] || return 1
  echo "$_pid"
}

# Process PID $1 ends: its record and the PID file it wrote go.
_rc_end() {
  rm -f "$RC_ROOT/proc/$1" "$RC_ROOT/proc/$1.linger" "$RC_ROOT$pidfile"
}

# What eval runs for the start's command line: runs the stand-in program
# with the words it was given and, when it succeeds, records process PID
# (from 101 up) with them, and its PID file. The program's status is the
# start's.
_rc_run() {
  echo "start: $*"
  _program=$1
  shift
  "$RC_ROOT$_program" "$@" || return
  _last=100
  if [ -f "$RC_ROOT/proc/last" ]; then read -r _last <"$RC_ROOT/proc/last"; fi
  _started=$((_last + 1))
  echo "$_started" >"$RC_ROOT/proc/last"
  echo "$_program $*" >"$RC_ROOT/proc/$_started"
  mkdir -p "$RC_ROOT$(dirname "$pidfile")"
  echo "$_started" >"$RC_ROOT$pidfile"
}

# The kill(1) the script runs: -SIGNAL PID, as "kill: SIGNAL PID", for a
# signal FreeBSD names (INFO among them, which Linux lacks).
kill() {
  case $# in 2) ;; *)
    echo "kill: the stand-in takes -SIGNAL PID, not: $*" >&2
    return 2
    ;;
  esac
  case ${1#-} in
    HUP | INT | QUIT | ILL | TRAP | ABRT | EMT | FPE | KILL | BUS | SEGV | SYS | PIPE | ALRM | TERM | URG | STOP | TSTP | CONT | CHLD | TTIN | TTOU | IO | XCPU | XFSZ | VTALRM | PROF | WINCH | INFO | USR1 | USR2) ;;
    *)
      echo "kill: unknown signal ${1#-}; valid signals:" >&2
      return 2
      ;;
  esac
  case $2 in '' | *[!0-9]*)
    echo "kill: illegal process id: $2" >&2
    return 2
    ;;
  esac
  if [ ! -f "$RC_ROOT/proc/$2" ]; then
    echo "kill: $2: No such process" >&2
    return 1
  fi
  echo "kill: ${1#-} $2"
}

_rc_not_running() {
  echo "$name not running? (check $pidfile)." >&2
}

_rc_start() {
  if [ -z "$_rc_fast" ] && [ -n "$rc_pid" ]; then
    if [ -z "$_rc_quiet" ]; then
      echo "$name already running?  (pid=$rc_pid)." >&2
    fi
    return 1
  fi
  if [ ! -x "$RC_ROOT$command" ]; then
    echo "$0: WARNING: run_rc_command: cannot run $command" >&2
    return 1
  fi
  for _module in ${required_modules:-}; do
    echo "kldload $_module"
  done
  if [ -n "${start_precmd:-}" ] && ! eval "$start_precmd" && [ -z "$_rc_force" ]; then
    echo "$0: WARNING: failed precmd routine for $name" >&2
    return 1
  fi
  echo "Starting $name."
  _rc_status=0
  eval "_rc_run $command $_rc_flags ${command_args:-}" || _rc_status=$?
  if [ "$_rc_status" -ne 0 ] && [ -z "$_rc_force" ]; then
    echo "$0: WARNING: failed to start $name" >&2
    return 1
  fi
  return "$_rc_status"
}

_rc_stop() {
  if [ -z "$rc_pid" ]; then
    [ -z "$_rc_fast" ] || return 0
    _rc_not_running
    return 1
  fi
  echo "Stopping $name."
  echo "stop: ${sig_stop:-TERM} $rc_pid"
  [ -f "$RC_ROOT/proc/$rc_pid.linger" ] || _rc_end "$rc_pid"
  # wait_for_pids: a process still there is waited for until it ends.
  if [ -f "$RC_ROOT/proc/$rc_pid" ]; then
    printf 'Waiting for PIDS: %s' "$rc_pid"
    _rc_end "$rc_pid"
    echo "."
  fi
}

# The usage line, from the verbs run_rc_command takes; exits 1.
_rc_usage() {
  _rc_sep=
  printf 'Usage: %s [fast|force|one|quiet](' "$0" >&2
  for _rc_elem in $_rc_keywords; do
    printf '%s%s' "$_rc_sep" "$_rc_elem" >&2
    _rc_sep='|'
  done
  echo ")" >&2
  exit 1
}

run_rc_command() {
  : "${RC_ROOT:?the stand-in rc.subr keeps its processes under RC_ROOT}"
  : "${pidfile:?the stand-in rc.subr finds the daemon by its PID file only}"
  mkdir -p "$RC_ROOT/proc"
  _rc_prefix='' _rc_fast='' _rc_force='' _rc_one='' _rc_quiet=''
  case $1 in
    fast*) _rc_prefix=fast _rc_fast=yes _rc_quiet=yes _verb=${1#fast} ;;
    force*) _rc_prefix=force _rc_force=yes _verb=${1#force} ;;
    one*) _rc_prefix=one _rc_one=yes _verb=${1#one} ;;
    quiet*) _rc_prefix=quiet _rc_quiet=yes _verb=${1#quiet} ;;
    *) _verb=$1 ;;
  esac
  # The verbs in the real one's order: status and poll come last, as it
  # adds them for a daemon it finds by its PID file.
  _rc_keywords="start stop restart rcvar enable disable delete enabled describe extracommands ${extra_commands:-} status poll"
  [ -n "$_verb" ] || _rc_usage
  case " $_rc_keywords " in
    *" $_verb "*) ;;
    *)
      echo "$0: unknown directive '$_verb'." >&2
      _rc_usage
      ;;
  esac
  if [ "$_verb" = enabled ]; then
    checkyesno "$rcvar"
    return
  fi
  if [ -n "${flags:-}" ]; then
    _rc_flags=$flags
  else
    eval "_rc_flags=\${${name}_flags:-}"
  fi
  rc_pid=
  eval 'rc_pid=$(_rc_check_pidfile '"$pidfile ${procname:-$command}"')'

  _rc_need_rcvar=yes
  case $_verb in
    status | rcvar | enable | delete | describe) _rc_need_rcvar= ;;
    stop) if [ -n "$rc_pid" ]; then _rc_need_rcvar=; fi ;;
  esac
  if [ -n "$_rc_need_rcvar" ] && [ -z "$_rc_one$_rc_force" ] && ! checkyesno "$rcvar"; then
    if [ -z "$_rc_quiet" ]; then
      echo "Cannot '$_verb' $name. Set $rcvar to YES in /etc/rc.conf or use 'one$_verb' instead of '$_verb'."
    fi
    return 0
  fi

  # A verb the script gives a command of its own runs that.
  _rc_cmd=
  eval "_rc_cmd=\${${_verb}_cmd:-}"
  if [ -n "$_rc_cmd" ]; then
    _rc_status=0
    eval "$_rc_cmd" || _rc_status=$?
    if [ "$_rc_status" -ne 0 ] && [ -z "$_rc_force" ]; then
      return 1
    fi
    return "$_rc_status"
  fi

  case $_verb in
    start) _rc_start ;;
    stop) _rc_stop ;;
    restart)
      (run_rc_command "${_rc_prefix}stop")
      (run_rc_command "${_rc_prefix}start")
      ;;
    status)
      if [ -n "$rc_pid" ]; then
        echo "$name is running as pid $rc_pid."
      else
        echo "$name is not running."
        return 1
      fi
      ;;
    reload)
      if [ -z "$rc_pid" ]; then
        _rc_not_running
        return 1
      fi
      echo "reload: ${sig_reload:-HUP} $rc_pid"
      ;;
    rcvar)
      _value=
      eval "_value=\${$rcvar:-}"
      if [ -n "${desc:-}" ]; then
        echo "# $name : $desc"
      else
        echo "# $name"
      fi
      _default=
      eval "_default=\${${rcvar}_defval:-}"
      printf '#\n%s="%s"\n#   (default: "%s")\n\n' "$rcvar" "$_value" "$_default"
      ;;
    enable) echo "$name enabled in /etc/rc.conf" ;;
    disable) echo "$name disabled in /etc/rc.conf" ;;
    delete) echo "$rcvar deleted in /etc/rc.conf" ;;
    describe) echo "$desc" ;;
    extracommands) echo "$extra_commands" ;;
    *)
      echo "the stand-in rc.subr has no verb $_verb" >&2
      exit 1
      ;;
  esac
}
