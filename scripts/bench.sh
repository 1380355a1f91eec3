#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing (Debian 12), builds the normal build and runs the
# benchmarks: the per-entry micro-benchmarks, the sweep with nothing due
# (10^4, 10^5, 10^6 and 4*10^6 entries; with valgrind, which deps.sh
# installs, also the instructions per listed entry), the deletion of 10^5
# due entries from a table of 10^6, and the memory and CPU time of a daemon
# left to run with -s 5 over 10^4 and 10^6 entries (a minute each), and the
# listing (-l) of 10^6 entries against one sweep of them, and the bulk add
# of 10^5 keys, half of them present (-a). The sweep's
# rounds alone take about five minutes on two cores (4.9 and 5.5 in two
# runs); a minute each goes to the two daemons left to run.
#
#   ./scripts/bench.sh           the figures of docs/performance.md
#   ./scripts/bench.sh --smoke   each benchmark once at its smallest size
#                                (what the test command runs, so that they
#                                keep working; delete_bench fails a run that
#                                sends other than the listing's two requests
#                                and an info and a delete per batch, add_bench
#                                one that sends other than its requests per
#                                batch, or more than 0.02 a key)
set -euo pipefail
cd "$(dirname "$0")/.."

smoke=false
case "${1:-}" in
  --smoke) smoke=true ;;
  "") ;;
  *) echo "usage: $0 [--smoke]" >&2; exit 64 ;;
esac

./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
bin=build/default

if $smoke; then
  "$bin/entry_bench" --benchmark_min_time=0.001
  "$bin/sweep_bench" --smoke 10000
  "$bin/delete_bench" 10000 1000
  "$bin/memory_bench" -d 10 10000
  "$bin/list_bench" 10000
  "$bin/add_bench" 10000 1
else
  "$bin/entry_bench"
  "$bin/sweep_bench" 10000 100000 1000000 4000000
  "$bin/delete_bench" 1000000 100000
  "$bin/memory_bench" 10000 1000000
  "$bin/list_bench" 1000000
  "$bin/add_bench" 100000 5
fi
