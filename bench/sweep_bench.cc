// SPDX-License-Identifier: BSD-2-Clause
// The cost of one sweep cycle with nothing due, against the least a client
// can do for it.
//
//   sweep_bench [--smoke] [ENTRIES...]      (default: 10000 100000)
//
// For each size, a table of that many IPv4 hosts, none due, is loaded into
// one fwemu server; the daemon's list cycle and the floor's run in turns,
// ROUNDS rounds of each (the order of the two swapped from one round to the
// next), every round a client process of its own that measures its own CPU
// time per cycle. The floor is the least a sweeper must do: the same info
// and list requests into a list buffer it keeps from cycle to cycle, the
// clock read once per cycle, then one pass over the reply that reads each
// entry's length and expiry and tests it against that time.
//
// A round runs enough cycles for the client's CPU time over the round
// (the first cycle, which pays for the connection and the buffer, left
// out) to be at least MIN_ROUND_TICKS ticks of the system's CPU-time clock
// (1 / sysconf(_SC_CLK_TCK), the coarsest clock the CPU time is accounted
// in; the clock read is finer), so that a tick is under 2% of what a round
// measures; a round that still falls short is reported.
//
// Prints one line per size: the median over the rounds of each client's
// CPU time per listed entry, the emulator's CPU time per listed entry while
// it answers the daemon, the heap allocations per cycle after the first
// (any allocation in a cycle of the daemon fails the run: its list buffer
// is kept), and the ratio of the daemon's CPU time to the floor's, as the
// median and the range of the ratios of the rounds.
//
// Then, where valgrind is installed, the instructions each client spends
// per listed entry, which unlike the times do not depend on the machine's
// load: callgrind's count of `hostreapd -t T -f -1` (one real cycle of the
// daemon) over a table of 2N entries, less the same over N entries, divided
// by N (N = 100000); the same for the floor's client with one cycle; for
// legacy values and for two values of several fields led by a number. The
// emulator runs in a process of its own, so its work is not counted.
//
// --smoke: one round of three cycles, and the instruction counts over 10^4
// entries (that the benchmark keeps working, not figures).
#include <err.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"

namespace {

constexpr int ROUNDS = 7;
// A round's CPU time is at least this many ticks of the CPU-time clock.
constexpr uint64_t MIN_ROUND_TICKS = 50;
// What a client spends per listed entry at the least (the floor spends
// some 15 to 20 ns here), to size the rounds.
constexpr double LEAST_NS_PER_ENTRY = 12;
// The instruction counts' smaller table (the larger one is twice this).
constexpr uint64_t INSTRUCTION_ENTRIES = 100000;

struct round_figures {
  uint64_t cpu_ns = 0;  // over the round's cycles, the first left out
  int cycles = 0;
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
// connection and the buffer) and returns the figures of all but that
// first; *emu_ns: the emulator's CPU time over the whole run.
round_figures run_client(emu_server& emu, const std::string& mode, const std::string& table, int cycles,
                         uint64_t* emu_ns) {
  uint64_t emu0 = process_cpu_ns(emu.pid());
  run_output run = run_program_checked({BENCH_CLIENT_BIN, mode, table, std::to_string(cycles + 1)},
                                       {"FWEMU_SOCKET=" + emu.socket_path()}, emu.dir());
  *emu_ns = process_cpu_ns(emu.pid()) - emu0;
  std::istringstream lines(run.out);
  std::string word;
  uint64_t cpu, wall, allocs, log;
  round_figures r;
  for (int c = 0; lines >> word >> cpu >> wall >> allocs >> log; c++) {
    if (c == 0) continue;
    r.cpu_ns += cpu;
    r.cycles++;
    r.max_allocations = std::max(r.max_allocations, allocs);
  }
  if (r.cycles != cycles) errx(1, "%s: %d cycles reported, %d run", mode.c_str(), r.cycles, cycles);
  return r;
}

// ---- instruction counts ---------------------------------------------------------

// valgrind's path, or empty when it is not installed.
std::string find_valgrind() {
  const char* path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? "." : dir) + "/valgrind";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// The instructions callgrind counts for argv run against the emulator.
uint64_t instructions(const std::string& valgrind, emu_server& emu, const std::vector<std::string>& argv) {
  const std::string out = emu.dir() + "/callgrind.out";
  std::vector<std::string> cmd = {valgrind, "--tool=callgrind", "--callgrind-out-file=" + out};
  cmd.insert(cmd.end(), argv.begin(), argv.end());
  run_program_checked(cmd, {"FWEMU_SOCKET=" + emu.socket_path()}, emu.dir());
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("summary:", 0) == 0 || line.rfind("totals:", 0) == 0)
      return strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
  }
  errx(1, "no instruction total in %s", out.c_str());
}

struct value_case {
  const char* valtype;
  const char* value;  // far ahead, so that nothing is due
};

// Instructions per listed entry of the daemon's cycle and of the floor's,
// over tables of n and 2n entries of each value case.
void count_instructions(const std::string& valgrind, emu_server& emu, uint64_t n) {
  const value_case cases[] = {
      {"legacy", "4000000000"},
      {"tag,mark", "tag=4000000000,mark=7"},
      {"nat,tag", "nat=4000000000,tag=7"},
  };
  printf("instructions per listed entry, nothing due (callgrind; %" PRIu64 " entries less %" PRIu64 "):\n",
         2 * n, n);
  int number = 100;
  for (const value_case& c : cases) {
    uint64_t daemon[2], floor[2];
    for (int k = 0; k < 2; k++) {
      const std::string table = std::to_string(number++);
      bench_admin(emu, "create " + table + " type addr valtype " + c.valtype);
      bench_admin(emu, "fill " + table + " 10.0.0.0 " + std::to_string(n * (k + 1)) + " " + c.value);
      daemon[k] = instructions(valgrind, emu, {HOSTREAPD_BIN, "-t", table, "-f", "-1"});
      floor[k] = instructions(valgrind, emu, {BENCH_CLIENT_BIN, "floor-sweep", table, "1"});
      bench_admin(emu, "destroy " + table);
    }
    const double per = static_cast<double>(n);
    printf("  valtype %s: daemon %.1f, floor %.1f\n", c.valtype,
           (static_cast<double>(daemon[1]) - static_cast<double>(daemon[0])) / per,
           (static_cast<double>(floor[1]) - static_cast<double>(floor[0])) / per);
    fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint64_t> sizes;
  bool smoke = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
      continue;
    }
    char* end;
    uint64_t n = strtoull(argv[i], &end, 10);
    if (*end != '\0' || n == 0 || n > 30000000)
      errx(1, "usage: sweep_bench [--smoke] [ENTRIES...] (1 to 30000000 each)");
    sizes.push_back(n);
  }
  if (sizes.empty()) sizes = {10000, 100000};
  const int rounds = smoke ? 1 : ROUNDS;
  const uint64_t tick_ns = 1000000000 / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  const uint64_t min_round_ns = MIN_ROUND_TICKS * tick_ns;

  bench_setup setup;
  emu_server& emu = setup.emu;
  printf(
      "sweep with nothing due: client CPU time per listed entry, median of %d interleaved rounds"
      " of at least %" PRIu64 " ms of CPU time each\n",
      rounds, smoke ? 0 : min_round_ns / 1000000);
  for (size_t i = 0; i < sizes.size(); i++) {
    const uint64_t n = sizes[i];
    const std::string table = std::to_string(i + 1);
    bench_admin(emu, "create " + table);
    bench_admin(emu, "fill " + table + " 10.0.0.0 " + std::to_string(n) + " 4000000000");
    const double least_round_ns = LEAST_NS_PER_ENTRY * static_cast<double>(n);
    const int cycles =
        smoke
            ? 3
            : static_cast<int>(std::clamp(static_cast<double>(min_round_ns) / least_round_ns + 1, 3.0, 1e5));
    std::vector<double> daemon_ns, floor_ns, ratios, emu_ns;
    uint64_t daemon_allocations = 0, floor_allocations = 0;
    int short_rounds = 0;
    for (int round = 0; round < rounds; round++) {
      round_figures d, f;
      uint64_t e = 0, unused = 0;
      if (round % 2 == 0) {
        d = run_client(emu, "sweep", table, cycles, &e);
        f = run_client(emu, "floor-sweep", table, cycles, &unused);
      } else {
        f = run_client(emu, "floor-sweep", table, cycles, &unused);
        d = run_client(emu, "sweep", table, cycles, &e);
      }
      const double per = static_cast<double>(n) * cycles;
      daemon_ns.push_back(static_cast<double>(d.cpu_ns) / per);
      floor_ns.push_back(static_cast<double>(f.cpu_ns) / per);
      ratios.push_back(static_cast<double>(d.cpu_ns) / static_cast<double>(f.cpu_ns));
      emu_ns.push_back(static_cast<double>(e) / (cycles + 1) / static_cast<double>(n));
      daemon_allocations = std::max(daemon_allocations, d.max_allocations);
      floor_allocations = std::max(floor_allocations, f.max_allocations);
      if (std::min(d.cpu_ns, f.cpu_ns) < min_round_ns) short_rounds++;
    }
    bench_admin(emu, "destroy " + table);
    // Once the list buffer has its size a cycle allocates nothing. A count,
    // not a speed, and held to (where allocations are counted).
    if (daemon_allocations > 0)
      errx(1, "%" PRIu64 " entries: the daemon made %" PRIu64 " heap allocations in a cycle after the first",
           n, daemon_allocations);
    printf("%" PRIu64
           " entries, %d cycles a round: daemon %.1f ns (%.1f to %.1f), floor %.1f ns (%.1f to %.1f)"
           " per entry; emulator %.1f ns per entry; heap allocations per cycle %" PRIu64 " and %" PRIu64
           "; ratio %.2f (rounds %.2f to %.2f)\n",
           n, cycles, median(daemon_ns), *std::min_element(daemon_ns.begin(), daemon_ns.end()),
           *std::max_element(daemon_ns.begin(), daemon_ns.end()), median(floor_ns),
           *std::min_element(floor_ns.begin(), floor_ns.end()),
           *std::max_element(floor_ns.begin(), floor_ns.end()), median(emu_ns), daemon_allocations,
           floor_allocations, median(ratios), *std::min_element(ratios.begin(), ratios.end()),
           *std::max_element(ratios.begin(), ratios.end()));
    if (short_rounds > 0 && !smoke)
      printf("  (%d of %d rounds had less than %" PRIu64 " ticks of CPU time)\n", short_rounds, rounds,
             MIN_ROUND_TICKS);
    fflush(stdout);
  }

  const std::string valgrind = find_valgrind();
  if (valgrind.empty()) {
    printf("instructions per listed entry: not counted (valgrind is not installed)\n");
  } else {
    count_instructions(valgrind, emu, smoke ? 10000 : INSTRUCTION_ENTRIES);
  }
  return 0;
}
