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
#   force  as one, and a failed start_precmd does not stop the start;
#   quiet  says nothing when $rcvar is not YES (the verb is passed over),
#          nor that the daemon already runs;
#   fast   (what boot uses) is quiet, starts without looking for a running
#          daemon, and stops nothing, silently, when none runs;
# and rcvar (prints the rcvar and its value), enable, disable and delete
# (as sysrc would change the rcvar in /etc/rc.conf, which this stand-in
# only says), enabled (status 0 when $rcvar is YES, silent), describe
# ($desc) and extracommands ($extra_commands).
# status, rcvar, enable, disable, delete, describe and extracommands run
# whatever $rcvar says, and so does stop while the daemon runs; any other
# verb, with $rcvar not YES and neither one nor force, prints the
# "Cannot ..." notice and returns 0.
# Start prints "Starting NAME." and stop "Stopping NAME.", as the real one,
# and for what it would do one line:
#   start: COMMAND ARGUMENTS   (the words eval made of the command line;
#                               records a process and, as the daemon would,
#                               writes its PID to $pidfile; PIDs are given
#                               from 101 up)
#   stop: SIGNAL PID           (then waits for the process to end; if it
#                               has not yet, "Waiting for PIDS: PID." as
#                               the real one prints it)
#   reload: SIGNAL PID
# and, as the real one: status prints "NAME is running as pid PID." or
# "NAME is not running." (status 1); stop and reload with no daemon print
# "NAME not running? (check PIDFILE)." on standard error and return 1; a
# start with the daemon running prints "NAME already running?  (pid=PID)."
# there and returns 1; a start whose command is not an executable file
# warns "$0: WARNING: run_rc_command: cannot run COMMAND" and returns 1; a
# failed start_precmd adds "$0: WARNING: failed precmd routine for NAME"
# and returns 1; restart is a stop, whose failure is passed over, then a
# start, each run as a verb of its own. A module in required_modules
# prints "kldload MODULE". An unknown verb prints a usage line on standard
# error and exits 1.

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

# What eval runs for the start's command line: records process PID (from
# 101 up) with the words it was given, and its PID file.
_rc_run() {
  echo "start: $*"
  _last=100
  if [ -f "$RC_ROOT/proc/last" ]; then read -r _last <"$RC_ROOT/proc/last"; fi
  _started=$((_last + 1))
  echo "$_started" >"$RC_ROOT/proc/last"
  echo "$*" >"$RC_ROOT/proc/$_started"
  mkdir -p "$RC_ROOT$(dirname "$pidfile")"
  echo "$_started" >"$RC_ROOT$pidfile"
}

_rc_not_running() {
  echo "$name not running? (check $pidfile)." >&2
}

_rc_start() {
  if [ -z "$_rc_fast" ] && [ -n "$_rc_pid" ]; then
    if [ -z "$_rc_quiet" ]; then
      echo "$name already running?  (pid=$_rc_pid)." >&2
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
  eval "_rc_run $command $_rc_flags ${command_args:-}"
}

_rc_stop() {
  if [ -z "$_rc_pid" ]; then
    [ -z "$_rc_fast" ] || return 0
    _rc_not_running
    return 1
  fi
  echo "Stopping $name."
  echo "stop: ${sig_stop:-TERM} $_rc_pid"
  [ -f "$RC_ROOT/proc/$_rc_pid.linger" ] || _rc_end "$_rc_pid"
  # wait_for_pids: a process still there is waited for until it ends.
  if [ -f "$RC_ROOT/proc/$_rc_pid" ]; then
    printf 'Waiting for PIDS: %s' "$_rc_pid"
    _rc_end "$_rc_pid"
    echo "."
  fi
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
  case " start stop restart status rcvar enable disable delete enabled describe extracommands ${extra_commands:-} " in
    *" $_verb "*) ;;
    *) _verb= ;;
  esac
  if [ -z "$_verb" ]; then
    echo "usage: $0 [fast|force|one|quiet](start|stop|restart|status|rcvar|enable|disable|delete|enabled|describe|extracommands ${extra_commands:-})" >&2
    exit 1
  fi
  if [ "$_verb" = enabled ]; then
    checkyesno "$rcvar"
    return
  fi
  if [ -n "${flags:-}" ]; then
    _rc_flags=$flags
  else
    eval "_rc_flags=\${${name}_flags:-}"
  fi
  _rc_pid=
  eval '_rc_pid=$(_rc_check_pidfile '"$pidfile ${procname:-$command}"')'

  _rc_need_rcvar=yes
  case $_verb in
    status | rcvar | enable | disable | delete | describe | extracommands) _rc_need_rcvar= ;;
    stop) if [ -n "$_rc_pid" ]; then _rc_need_rcvar=; fi ;;
  esac
  if [ -n "$_rc_need_rcvar" ] && [ -z "$_rc_one$_rc_force" ] && ! checkyesno "$rcvar"; then
    if [ -z "$_rc_quiet" ]; then
      echo "Cannot '$_verb' $name. Set $rcvar to YES in /etc/rc.conf or use 'one$_verb' instead of '$_verb'."
    fi
    return 0
  fi

  case $_verb in
    start) _rc_start ;;
    stop) _rc_stop ;;
    restart)
      (run_rc_command "${_rc_prefix}stop")
      (run_rc_command "${_rc_prefix}start")
      ;;
    status)
      if [ -n "$_rc_pid" ]; then
        echo "$name is running as pid $_rc_pid."
      else
        echo "$name is not running."
        return 1
      fi
      ;;
    reload)
      if [ -z "$_rc_pid" ]; then
        _rc_not_running
        return 1
      fi
      echo "reload: ${sig_reload:-HUP} $_rc_pid"
      ;;
    rcvar)
      _value=
      eval "_value=\${$rcvar:-}"
      printf '# %s\n#\n%s="%s"\n' "$name" "$rcvar" "$_value"
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
