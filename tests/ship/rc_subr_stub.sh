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
# the PID file PATH is RC_ROOT/PATH, and process PID runs while the file
# RC_ROOT/proc/PID holds its command line. The daemon runs when the first
# line of $pidfile names a running process whose program is $procname
# (default $command); a PID file naming no process, or another program, is
# no daemon.
#
# run_rc_command VERB takes start, stop, restart, status and what
# extra_commands adds, each also with one prefix:
#   one    runs the verb even when $rcvar is not YES;
#   force  as one, and a failed start_precmd does not stop the start;
#   quiet  says nothing when $rcvar is not YES (the verb is passed over);
#   fast   (what boot uses) is quiet and starts without looking for a
#          running daemon;
# and rcvar (prints the rcvar and its value), enabled (status 0 when $rcvar
# is YES, silent), describe ($desc) and extracommands ($extra_commands).
# status and rcvar..extracommands run whatever $rcvar says, and so does
# stop while the daemon runs; any other verb, with $rcvar not YES and
# neither one nor force, prints the "Cannot ..." notice and returns 0.
# For what it would do it prints one line:
#   start: COMMAND COMMAND_ARGS  (records a process and, as the daemon
#                                 would, writes its PID to $pidfile;
#                                 PIDs are given from 101 up)
#   stop: SIGNAL PID             (the process ends, its PID file is gone)
#   reload: SIGNAL PID
# and, as the real one: status prints "NAME is running as pid PID." or
# "NAME is not running." (status 1); stop and reload with no daemon print
# "NAME not running? (check PIDFILE)." on standard error and exit 1; a
# start with the daemon running prints "NAME already running?  (pid=PID)."
# there and exits 1; a failed start_precmd adds "$0: WARNING: failed precmd
# routine for NAME" there and returns 1; restart is a stop, whose failure
# is passed over, then a start. A module in required_modules prints
# "kldload MODULE". An unknown verb prints a usage line on standard error
# and exits 1.

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

# Prints the PID of the running daemon; status 1 when none runs.
_rc_find_pid() {
  _pid=$(sed -n 1p "$RC_ROOT$pidfile" 2>/dev/null)
  case $_pid in
    '' | *[!0-9]*) return 1 ;;
  esac
  [ -f "$RC_ROOT/proc/$_pid" ] || return 1
  read -r _program _rest <"$RC_ROOT/proc/$_pid"
  [ "$_program" = "${procname:-$command}" ] || return 1
  echo "$_pid"
}

_rc_not_running() {
  echo "$name not running? (check $pidfile)." >&2
  exit 1
}

_rc_start() {
  if [ -z "$_rc_fast" ] && _rc_pid=$(_rc_find_pid); then
    echo "$name already running?  (pid=$_rc_pid)." >&2
    exit 1
  fi
  for _module in ${required_modules:-}; do
    echo "kldload $_module"
  done
  if [ -n "${start_precmd:-}" ] && ! eval "$start_precmd" && [ -z "$_rc_force" ]; then
    echo "$0: WARNING: failed precmd routine for $name" >&2
    return 1
  fi
  echo "start: $command $command_args"
  _last=100
  if [ -f "$RC_ROOT/proc/last" ]; then read -r _last <"$RC_ROOT/proc/last"; fi
  _rc_pid=$((_last + 1))
  echo "$_rc_pid" >"$RC_ROOT/proc/last"
  echo "$command $command_args" >"$RC_ROOT/proc/$_rc_pid"
  mkdir -p "$RC_ROOT$(dirname "$pidfile")"
  echo "$_rc_pid" >"$RC_ROOT$pidfile"
}

_rc_stop() {
  _rc_pid=$(_rc_find_pid) || _rc_not_running
  echo "stop: ${sig_stop:-TERM} $_rc_pid"
  rm -f "$RC_ROOT/proc/$_rc_pid" "$RC_ROOT$pidfile"
}

run_rc_command() {
  : "${RC_ROOT:?the stand-in rc.subr keeps its processes under RC_ROOT}"
  : "${pidfile:?the stand-in rc.subr finds the daemon by its PID file only}"
  mkdir -p "$RC_ROOT/proc"
  _rc_fast='' _rc_force='' _rc_one='' _rc_quiet=''
  case $1 in
    fast*) _rc_fast=yes _rc_quiet=yes _verb=${1#fast} ;;
    force*) _rc_force=yes _verb=${1#force} ;;
    one*) _rc_one=yes _verb=${1#one} ;;
    quiet*) _rc_quiet=yes _verb=${1#quiet} ;;
    *) _verb=$1 ;;
  esac
  case " start stop restart status rcvar enabled describe extracommands ${extra_commands:-} " in
    *" $_verb "*) ;;
    *) _verb= ;;
  esac
  if [ -z "$_verb" ]; then
    echo "usage: $0 [fast|force|one|quiet](start|stop|restart|status|rcvar|enabled|describe|extracommands ${extra_commands:-})" >&2
    exit 1
  fi

  _rc_need_rcvar=yes
  case $_verb in
    status | rcvar | enabled | describe | extracommands) _rc_need_rcvar= ;;
    stop) if _rc_find_pid >/dev/null; then _rc_need_rcvar=; fi ;;
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
      (_rc_stop)
      _rc_start
      ;;
    status)
      if _rc_pid=$(_rc_find_pid); then
        echo "$name is running as pid $_rc_pid."
      else
        echo "$name is not running."
        return 1
      fi
      ;;
    reload)
      _rc_pid=$(_rc_find_pid) || _rc_not_running
      echo "reload: ${sig_reload:-HUP} $_rc_pid"
      ;;
    rcvar)
      _value=
      eval "_value=\${$rcvar:-}"
      printf '# %s\n#\n%s="%s"\n' "$name" "$rcvar" "$_value"
      ;;
    enabled) checkyesno "$rcvar" ;;
    describe) echo "$desc" ;;
    extracommands) echo "$extra_commands" ;;
    *)
      echo "the stand-in rc.subr has no verb $_verb" >&2
      exit 1
      ;;
  esac
}
