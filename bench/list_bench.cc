// SPDX-License-Identifier: BSD-2-Clause
// The listing of what is left (hostreapd -l) against one sweep of the same
// table: both as a user runs them, from the start of the program to its
// end, against a real fwemu server.
//
//   list_bench [ENTRIES...]      (default: 1000000)
//
// For each size, a table of ENTRIES IPv4 hosts, none due, their expiries
// spread over the next day in 1000 steps, is loaded into the server. Then
// five rounds each run `hostreapd -t 9 -f -1` (one sweep, the info and list
// requests, nothing due) and `hostreapd -t 9 -l` (the same requests, then
// every entry's line, sorted by expiry, into a file). Prints per size
// the median elapsed time and client CPU time of each, and the ratio of
// the listing's elapsed time to the sweep's (target: at most 2) with its
// range over the rounds.
#include <err.h>
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"

namespace {

constexpr const char* TABLE = "9";
constexpr int ROUNDS = 5;
constexpr uint64_t STEPS = 1000;

double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double cpu_s(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct timed {
  double elapsed;
  double cpu;
  size_t out_bytes;
};

timed run(bench_setup& setup, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {HOSTREAPD_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  // Timed from the start to the end of the program; what it printed is
  // looked at only after.
  double t0 = now_s();
  child_process c = child_process::start(argv, setup.dir.path, {"FWEMU_SOCKET=" + setup.emu.socket_path()});
  exit_result r = c.wait(-1);
  double elapsed = now_s() - t0;
  if (!r.exited || r.code != 0) errx(1, "hostreapd ended with status %d: %s", r.code, c.err().c_str());
  return {elapsed, cpu_s(r.usage), c.out().size()};
}

void bench_size(uint64_t entries) {
  bench_setup setup;
  bench_admin(setup.emu, std::string("create ") + TABLE + " type addr");
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  const uint64_t per_step = entries / STEPS > 0 ? entries / STEPS : 1;
  uint64_t loaded = 0;
  for (uint64_t step = 0; loaded < entries; step++) {
    uint64_t n = std::min(per_step, entries - loaded);
    // Consecutive blocks of addresses from 10.0.0.0 on.
    uint32_t first = (10u << 24) + static_cast<uint32_t>(loaded);
    char address[32];
    snprintf(address, sizeof address, "%u.%u.%u.%u", first >> 24, (first >> 16) & 255, (first >> 8) & 255,
             first & 255);
    bench_admin(setup.emu, std::string("fill ") + TABLE + " " + address + " " + std::to_string(n) + " " +
                               std::to_string(now + 3600 + step * 86400 / STEPS));
    loaded += n;
  }

  std::vector<double> sweep_e, sweep_c, list_e, list_c, ratios;
  size_t bytes = 0;
  for (int round = 0; round < ROUNDS; round++) {
    timed s = run(setup, {"-t", TABLE, "-f", "-1"});
    timed l = run(setup, {"-t", TABLE, "-l"});
    sweep_e.push_back(s.elapsed);
    sweep_c.push_back(s.cpu);
    list_e.push_back(l.elapsed);
    list_c.push_back(l.cpu);
    ratios.push_back(l.elapsed / s.elapsed);
    bytes = l.out_bytes;
  }
  if (bytes == 0) errx(1, "the listing printed nothing");
  printf("%" PRIu64
         " entries: sweep %.3f s elapsed (%.3f s CPU), listing %.3f s elapsed (%.3f s CPU, %zu bytes);"
         " listing/sweep %.2f (%.2f-%.2f), target <= 2\n",
         entries, median(sweep_e), median(sweep_c), median(list_e), median(list_c), bytes, median(ratios),
         *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint64_t> sizes;
  for (int i = 1; i < argc; i++) {
    char* end = nullptr;
    unsigned long long n = strtoull(argv[i], &end, 10);
    if (*argv[i] == '\0' || *end != '\0' || n == 0) errx(64, "usage: list_bench [ENTRIES...]");
    sizes.push_back(n);
  }
  if (sizes.empty()) sizes.push_back(1000000);
  for (uint64_t n : sizes) bench_size(n);
  return 0;
}
