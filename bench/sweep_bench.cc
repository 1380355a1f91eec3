// The cost of one sweep cycle with nothing due, against the least a client
// can do for it.
//
//   sweep_bench [ENTRIES...]      (default: 10000 100000)
//
// For each size, a table of that many IPv4 hosts, none due, is loaded into
// one fwemu server; the daemon's list cycle and the floor's (the same info
// and list requests, then only each entry's expiry read) run in turns, each
// in a client process of its own that measures its own CPU time. Prints one
// line per size: the median CPU time per entry of each, their heap
// allocations per cycle (more than the daemon's one list buffer fails the
// run), and "ratio R", the daemon's time over the floor's.
#include <err.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"

namespace {

struct cycle_figures {
  std::vector<double> cpu_ns;
  uint64_t max_allocations = 0;
};

// Runs the client for cycles cycles and adds its figures, all but the
// first cycle's (which pays for the connection).
void run_client(const bench_emulator& emu, const std::string& mode, const std::string& table, int cycles,
                cycle_figures* into) {
  program_run run = run_program_checked({BENCH_CLIENT_BIN, mode, table, std::to_string(cycles + 1)},
                                        {"FWEMU_SOCKET=" + emu.socket});
  std::istringstream lines(run.out);
  std::string word;
  uint64_t cpu, wall, allocs, log;
  for (int c = 0; lines >> word >> cpu >> wall >> allocs >> log; c++) {
    if (c == 0) continue;
    into->cpu_ns.push_back(static_cast<double>(cpu));
    if (allocs > into->max_allocations) into->max_allocations = allocs;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint64_t> sizes;
  for (int i = 1; i < argc; i++) {
    char* end;
    uint64_t n = strtoull(argv[i], &end, 10);
    if (*end != '\0' || n == 0 || n > 30000000) errx(1, "usage: sweep_bench [ENTRIES...] (1 to 30000000 each)");
    sizes.push_back(n);
  }
  if (sizes.empty()) sizes = {10000, 100000};

  bench_dir dir;
  bench_emulator emu(dir.path);
  printf("sweep with nothing due: client CPU time per listed entry, median of the cycles\n");
  for (size_t i = 0; i < sizes.size(); i++) {
    const uint64_t n = sizes[i];
    const std::string table = std::to_string(i + 1);
    emu.admin("create " + table);
    emu.admin("fill " + table + " 10.0.0.0 " + std::to_string(n) + " 4000000000");
    // Enough cycles for about a second of listing per client and round.
    int cycles = static_cast<int>(std::max<uint64_t>(3, std::min<uint64_t>(50, 2000000 / n)));
    cycle_figures daemon, floor;
    for (int round = 0; round < 3; round++) {
      run_client(emu, "sweep", table, cycles, &daemon);
      run_client(emu, "floor-sweep", table, cycles, &floor);
    }
    emu.admin("destroy " + table);
    // The one allocation of a cycle is the list buffer: none per entry. A
    // count, not a speed, and held to (where allocations are counted).
    if (daemon.max_allocations > 1)
      errx(1, "%" PRIu64 " entries: the daemon made %" PRIu64 " heap allocations in one cycle", n,
           daemon.max_allocations);
    double d = median(daemon.cpu_ns) / static_cast<double>(n);
    double f = median(floor.cpu_ns) / static_cast<double>(n);
    printf("%" PRIu64 " entries: daemon %.1f ns, floor %.1f ns per entry; heap allocations per cycle %" PRIu64
           " and %" PRIu64 "; ratio %.2f\n",
           n, d, f, daemon.max_allocations, floor.max_allocations, d / f);
    fflush(stdout);
  }
  return 0;
}
