#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Runs a command with its own /dev/log: a tmpfs laid over /dev that holds
# the null, zero and urandom devices and, as "log", a symbolic link to the
# datagram socket the caller gave (as systemd links /dev/log to journald's
# socket): a socket made anew at that path, as a syslogd started again
# makes its own, is the one the next connect reaches. Run it in a private
# mount namespace (unshare -m), so nothing outside sees the change.
#
#   unshare -m with_devlog.sh SOCKET COMMAND [ARG...]
set -eu
sock=$1
shift
newdev="$(dirname "$sock")/dev.$$"
mkdir "$newdev"
mount -t tmpfs -o mode=0755 devlog "$newdev"
for name in null zero urandom; do
  : > "$newdev/$name"
  mount --bind "/dev/$name" "$newdev/$name"
done
ln -s "$sock" "$newdev/log"
# A plain bind would lose the mounts inside the new tree.
mount --rbind "$newdev" /dev
exec "$@"
