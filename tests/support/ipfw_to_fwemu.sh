#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The administrative command fwconform is given where it runs against the
# emulator: ipfw(8)'s words for a table, carried out with the fwemu tool
# (the server at FWEMU_SOCKET).
#
#   ipfw_to_fwemu.sh FWEMU [set N] table NAME create [OPTION VALUE]...
#   ipfw_to_fwemu.sh FWEMU table NAME add KEY [VALUE] [KEY VALUE]...
#   ipfw_to_fwemu.sh FWEMU table NAME lock|unlock|destroy
#
# "create" passes its options on as they are (type, valtype, limit: the
# same words in both tools) and the set last. Exits with the first failing
# fwemu command's status, or 64 for words it does not know.
set -eu

fwemu=$1
shift
unknown() {
  echo "ipfw_to_fwemu.sh: not a command it knows: $*" >&2
  exit 64
}

set_words=
if [ "${1-}" = set ]; then
  [ $# -ge 2 ] || unknown "$@"
  set_words="set $2"
  shift 2
fi
if [ $# -lt 3 ] || [ "$1" != table ]; then unknown "$@"; fi
name=$2
verb=$3
shift 3
case $verb in
  create)
    # shellcheck disable=SC2086 # the set's two words
    exec "$fwemu" create "$name" "$@" $set_words
    ;;
  add)
    if [ -n "$set_words" ] || [ $# -eq 0 ]; then unknown table "$name" add "$@"; fi
    while [ $# -ge 2 ]; do
      "$fwemu" add "$name" "$1" "$2"
      shift 2
    done
    if [ $# -eq 1 ]; then "$fwemu" add "$name" "$1"; fi
    ;;
  lock | unlock | destroy)
    if [ -n "$set_words" ] || [ $# -ne 0 ]; then unknown table "$name" "$verb" "$@"; fi
    exec "$fwemu" "$verb" "$name"
    ;;
  *)
    unknown table "$name" "$verb" "$@"
    ;;
esac
