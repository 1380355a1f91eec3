# shellcheck shell=sh
# shellcheck disable=SC2154  # name, rcvar, command, ... are the service script's
# A stand-in for /etc/rc.subr, sourced by the service script under test in
# place of the real one. load_rc_config reads the rc.conf-style file named
# by RC_CONF (when set), as the real one reads /etc/rc.conf.
# run_rc_command takes the verbs rc.subr takes (start, stop, restart,
# status, what extra_commands adds, each also with "one" before it), does
# rc.subr's checks in its order (the verb, the rcvar, required_modules, the
# start precommand) and prints one line for what it would then do, starting
# and signalling nothing:
#   start: COMMAND COMMAND_ARGS
#   stop: PIDFILE      status: PIDFILE      reload: HUP PIDFILE
# A loaded module prints "kldload MODULE"; a refused verb prints rc.subr's
# usage to standard error and exits 1; a start whose precommand fails
# returns 1.

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

_rc_start() {
  for _module in ${required_modules:-}; do
    echo "kldload $_module"
  done
  if [ -n "${start_precmd:-}" ]; then
    eval "$start_precmd" || return 1
  fi
  echo "start: $command $command_args"
}

run_rc_command() {
  _verb=${1#one}
  case " start stop restart status ${extra_commands:-} " in
    *" $_verb "*) ;;
    *) _verb= ;;
  esac
  if [ -z "$_verb" ]; then
    echo "usage: $0 [one](start|stop|restart|status ${extra_commands:-})" >&2
    exit 1
  fi
  if [ "$_verb" = "$1" ] && ! checkyesno "$rcvar"; then
    echo "Cannot '$1' $name. Set $rcvar to YES in /etc/rc.conf or use 'one$1' instead of '$1'."
    return 0
  fi
  case $_verb in
    start) _rc_start ;;
    restart) echo "stop: $pidfile" && _rc_start ;;
    reload) echo "reload: ${sig_reload:-HUP} $pidfile" ;;
    *) echo "$_verb: $pidfile" ;;
  esac
}
