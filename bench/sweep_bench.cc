// SPDX-License-Identifier: BSD-2-Clause
// The cost of one sweep cycle with nothing due, against the least a client
// can do for it.
//
//   sweep_bench [ENTRIES...]      (default: 10000 100000)
//
// For each size, a table of that many IPv4 hosts, none due, is loaded into
// one fwemu server; the daemon's list cycle and the floor's run in turns,
// five rounds of each, every round a client process of its own that
// measures its own CPU time per cycle. The floor is the least a sweeper
// must do: the same info and list requests into a list buffer it keeps
// from cycle to cycle, the clock read once per cycle, then one pass over
// the reply that reads each entry's length and expiry and tests it against
// that time.
//
// Prints one line per size: the median over all cycles of each client's CPU
// time per listed entry, the emulator's CPU time per listed entry while it
// answers the daemon, the heap allocations per cycle after the first (any
// allocation in a cycle of the daemon fails the run: its list buffer is
// kept), and the ratio of the daemon's time to the floor's, as the median
// and the range of the ratios of the rounds.
#include <err.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"

namespace {

constexpr int ROUNDS = 5;

struct cycle_figures {
  std::vector<double> cpu_ns;
  uint64_t max_allocations = 0;
};

// CPU time the process has had, in nanoseconds, as the scheduler counts it.
uint64_t process_cpu_ns(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  uint64_t ns = 0;
  if (!(in >> ns)) errx(1, "cannot read the CPU time of process %d", static_cast<int>(pid));
  return ns;
}

// Runs the client for cycles cycles after a first one (which pays for the
// connection and the buffer) and adds the figures of all but that first.
// Returns the emulator's CPU time over the whole run.
uint64_t run_client(emu_server& emu, const std::string& mode, const std::string& table, int cycles,
                    cycle_figures* into) {
  uint64_t emu0 = process_cpu_ns(emu.pid());
  run_output run = run_program_checked({BENCH_CLIENT_BIN, mode, table, std::to_string(cycles + 1)},
                                       {"FWEMU_SOCKET=" + emu.socket_path()}, emu.dir());
  uint64_t emu_ns = process_cpu_ns(emu.pid()) - emu0;
  std::istringstream lines(run.out);
  std::string word;
  uint64_t cpu, wall, allocs, log;
  for (int c = 0; lines >> word >> cpu >> wall >> allocs >> log; c++) {
    if (c == 0) continue;
    into->cpu_ns.push_back(static_cast<double>(cpu));
    into->max_allocations = std::max(into->max_allocations, allocs);
  }
  return emu_ns;
}

void add(const cycle_figures& from, cycle_figures* to) {
  to->cpu_ns.insert(to->cpu_ns.end(), from.cpu_ns.begin(), from.cpu_ns.end());
  to->max_allocations = std::max(to->max_allocations, from.max_allocations);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint64_t> sizes;
  for (int i = 1; i < argc; i++) {
    char* end;
    uint64_t n = strtoull(argv[i], &end, 10);
    if (*end != '\0' || n == 0 || n > 30000000)
      errx(1, "usage: sweep_bench [ENTRIES...] (1 to 30000000 each)");
    sizes.push_back(n);
  }
  if (sizes.empty()) sizes = {10000, 100000};

  bench_setup setup;
  emu_server& emu = setup.emu;
  printf("sweep with nothing due: client CPU time per listed entry, median of the cycles of %d rounds\n",
         ROUNDS);
  for (size_t i = 0; i < sizes.size(); i++) {
    const uint64_t n = sizes[i];
    const std::string table = std::to_string(i + 1);
    bench_admin(emu, "create " + table);
    bench_admin(emu, "fill " + table + " 10.0.0.0 " + std::to_string(n) + " 4000000000");
    // Enough cycles for about a second of listing per client and round.
    int cycles = static_cast<int>(std::max<uint64_t>(3, std::min<uint64_t>(50, 2000000 / n)));
    cycle_figures daemon, floor;
    std::vector<double> ratios, emu_ns;
    for (int round = 0; round < ROUNDS; round++) {
      cycle_figures d, f;
      uint64_t e = run_client(emu, "sweep", table, cycles, &d);
      run_client(emu, "floor-sweep", table, cycles, &f);
      ratios.push_back(median(d.cpu_ns) / median(f.cpu_ns));
      emu_ns.push_back(static_cast<double>(e) / (cycles + 1));
      add(d, &daemon);
      add(f, &floor);
    }
    bench_admin(emu, "destroy " + table);
    // Once the list buffer has its size a cycle allocates nothing. A count,
    // not a speed, and held to (where allocations are counted).
    if (daemon.max_allocations > 0)
      errx(1, "%" PRIu64 " entries: the daemon made %" PRIu64 " heap allocations in a cycle after the first",
           n, daemon.max_allocations);
    const double per = static_cast<double>(n);
    printf("%" PRIu64
           " entries: daemon %.1f ns, floor %.1f ns per entry; emulator %.1f ns per entry;"
           " heap allocations per cycle %" PRIu64 " and %" PRIu64 "; ratio %.2f (rounds %.2f to %.2f)\n",
           n, median(daemon.cpu_ns) / per, median(floor.cpu_ns) / per, median(emu_ns) / per,
           daemon.max_allocations, floor.max_allocations, median(ratios),
           *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
    fflush(stdout);
  }
  return 0;
}
