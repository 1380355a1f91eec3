#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The main job, on any machine: builds hostreapd and the fwemu emulator,
# starts the emulator with a sample address table whose entries expire a
# few seconds apart, runs the daemon in the foreground against it, and
# shows the table shrinking and the daemon's syslog lines as the entries
# expire; then stops both cleanly.
#
# The daemon's syslog lines are caught on a socket of this script's own,
# laid over /dev/log in a private mount namespace (needs root); without
# root the daemon runs the same, but its syslog lines are not shown.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target hostreapd fwemu

bin=build/default
work=$(mktemp -d /tmp/hostreapd-demo.XXXXXX)
export FWEMU_SOCKET="$work/fwemu.sock"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/fwemu" serve &
pids+=($!)
for _ in $(seq 100); do [ -S "$FWEMU_SOCKET" ] && break; sleep 0.05; done

now=$(date +%s)
"$bin/fwemu" create 5 type addr
"$bin/fwemu" add 5 192.0.2.10 $((now + 2))
"$bin/fwemu" add 5 198.51.100.0/24 $((now + 4))
"$bin/fwemu" add 5 2001:db8::5 $((now + 6))
"$bin/fwemu" add 5 2001:db8:1::/64 $((now + 8))
"$bin/fwemu" add 5 192.0.2.99 $((now + 3600))

run=("$bin/hostreapd" -t 5 -f -s 1)
if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null && command -v python3 >/dev/null; then
  python3 -u - "$work/log" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True:
    print("  syslog: " + s.recv(4096).decode(errors="replace"))
PY
  pids+=($!)
  for _ in $(seq 100); do [ -S "$work/log" ] && break; sleep 0.05; done
  run=(unshare -m /bin/sh tests/support/with_devlog.sh "$work/log" "${run[@]}")
else
  echo "(not root: the daemon's syslog lines are not shown)"
fi

show() { echo "table 5 at $(date +%T):"; "$bin/fwemu" list 5 | sed 's/^/  /'; }
show
echo "== hostreapd -t 5 -l (what is there, and when each entry goes)"
"$bin/hostreapd" -t 5 -l | sed 's/^/  /'
echo "== hostreapd -t 5 -f -s 1"
"${run[@]}" &
daemon=$!
pids+=($daemon)
sleep 0.5
for _ in 1 2 3 4 5; do sleep 2; show; done
kill -TERM "$daemon"
status=0
wait "$daemon" || status=$?
echo "== hostreapd stopped by SIGTERM, exit status $status"
