# shellcheck shell=sh
# A stand-in for /etc/rc.subr, sourced by the service script under test in
# place of the real one. load_rc_config reads the rc.conf-style file named
# by RC_CONF (when set), as the real one reads /etc/rc.conf;
# run_rc_command prints, one "name=value" line each, what rc.subr would act
# on, and starts nothing.

load_rc_config() {
  if [ -n "${RC_CONF:-}" ]; then
    # shellcheck source=/dev/null
    . "$RC_CONF"
  fi
}

set_rcvar() { :; }

checkyesno() {
  _value=
  eval "_value=\${$1:-}"
  case $_value in
    [Yy][Ee][Ss] | [Tt][Rr][Uu][Ee] | [Oo][Nn] | 1) return 0 ;;
    *) return 1 ;;
  esac
}

run_rc_command() {
  echo "verb=$1"
  echo "name=${name:-}"
  echo "rcvar=${rcvar:-}"
  if checkyesno "${rcvar:-}"; then echo "enabled=yes"; else echo "enabled=no"; fi
  echo "command=${command:-}"
  echo "command_args=${command_args:-}"
  echo "pidfile=${pidfile:-}"
  echo "required_modules=${required_modules:-}"
}
