// SPDX-License-Identifier: BSD-2-Clause
// The daemon's memory and CPU time as it runs: a real daemon
// (hostreapd -t 9 -f -s 5) sweeping a table with nothing due, against the
// size of the table's listing.
//
//   memory_bench [-d SECONDS] [ENTRIES...]      (default: -d 60 1000000)
//
// For each size, a table of ENTRIES IPv4 hosts, none due, is loaded into a
// real fwemu server and the daemon is started on it. Once it has listed the
// table, it is watched for SECONDS: halfway through each of its 5-second
// pauses its resident set is read, with how much of that the system may
// take back at will (pages given back with MADV_FREE, "LazyFree"); at the
// end its peak resident set and the CPU time it had over the whole
// watch. Then it is stopped with SIGTERM. Prints per size the listing's
// size (what one list request returns, the one buffer the daemon must
// hold), the peak and how far it lies above the listing, the resident set
// between cycles (the last reading) with its lazily freed part, and the
// CPU time per minute.
#include <err.h>
#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"

namespace {

constexpr const char* TABLE = "9";
constexpr int PAUSE_S = 5;

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// A "Label:   N kB" figure of a /proc file of the process, in bytes.
double proc_kb(pid_t pid, const char* file, const std::string& label) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(label + ":", 0) == 0) return strtod(line.c_str() + label.size() + 1, nullptr) * 1024.0;
  errx(1, "no %s in /proc/%d/%s", label.c_str(), static_cast<int>(pid), file);
}

// CPU time the process has had, in nanoseconds, as the scheduler counts it.
uint64_t process_cpu_ns(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  uint64_t ns = 0;
  if (!(in >> ns)) errx(1, "cannot read the CPU time of process %d", static_cast<int>(pid));
  return ns;
}

uint64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Waits until the emulator has answered more list requests than lists;
// returns the new count.
uint64_t wait_for_list(emu_server& emu, uint64_t lists) {
  for (int waited = 0;; waited += 10) {
    uint64_t n = bench_figure(emu, "stats", "requests 89");
    if (n > lists) return n;
    if (waited > 120000) errx(1, "the daemon did not list the table");
    sleep_ms(10);
  }
}

struct run_figures {
  double peak = 0, between = 0, lazy = 0, cpu_per_minute_ms = 0;
};

run_figures watch_daemon(emu_server& emu, int seconds) {
  uint64_t lists = bench_figure(emu, "stats", "requests 89");
  child_process daemon =
      child_process::start({HOSTREAPD_BIN, "-t", TABLE, "-f", "-s", std::to_string(PAUSE_S)}, "",
                           {"FWEMU_SOCKET=" + emu.socket_path()});
  const pid_t pid = daemon.pid;
  run_figures f;
  lists = wait_for_list(emu, lists);
  sleep_ms(PAUSE_S * 1000 / 2);
  const uint64_t start_ms = now_ms();
  const uint64_t cpu0 = process_cpu_ns(pid);
  uint64_t end_ms = start_ms;
  // Each cycle: wait for its list request, then read halfway into the pause.
  while (now_ms() + uint64_t{PAUSE_S} * 1000 <= start_ms + static_cast<uint64_t>(seconds) * 1000) {
    lists = wait_for_list(emu, lists);
    sleep_ms(PAUSE_S * 1000 / 2);
    f.between = proc_kb(pid, "status", "VmRSS");
    f.lazy = proc_kb(pid, "smaps_rollup", "LazyFree");
    end_ms = now_ms();
  }
  const uint64_t cpu = process_cpu_ns(pid) - cpu0;
  f.peak = proc_kb(pid, "status", "VmHWM");
  kill(pid, SIGTERM);
  int status = exit_status(daemon.wait(-1));
  if (status != 0) errx(1, "hostreapd ended with status %d", status);
  if (end_ms == start_ms) errx(1, "watched for less than a cycle: give more seconds");
  f.cpu_per_minute_ms = static_cast<double>(cpu) / 1e6 * 60000.0 / static_cast<double>(end_ms - start_ms);
  return f;
}

[[noreturn]] void usage() { errx(1, "usage: memory_bench [-d SECONDS] [ENTRIES...] (1 to 30000000 each)"); }

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  std::vector<uint64_t> sizes;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-d") == 0 && i + 1 < argc) {
      seconds = atoi(argv[++i]);
      if (seconds < 2 * PAUSE_S) usage();
      continue;
    }
    char* end;
    uint64_t n = strtoull(argv[i], &end, 10);
    if (*end != '\0' || n == 0 || n > 30000000) usage();
    sizes.push_back(n);
  }
  if (sizes.empty()) sizes = {1000000};

  bench_setup setup;
  emu_server& emu = setup.emu;
  bench_admin(emu, std::string("create ") + TABLE);
  printf("memory and CPU time of the daemon (-s %d) sweeping a table with nothing due, watched for %d s\n",
         PAUSE_S, seconds);
  for (uint64_t entries : sizes) {
    bench_admin(emu, std::string("flush ") + TABLE);
    bench_admin(emu, std::string("fill ") + TABLE + " 10.0.0.0 " + std::to_string(entries) + " 4000000000");
    double listing = static_cast<double>(bench_figure(emu, std::string("info ") + TABLE, "size"));
    run_figures f = watch_daemon(emu, seconds);
    printf("%" PRIu64
           " entries: listing %.1f MiB; peak resident %.1f MiB, above the listing %.1f MiB;"
           " resident between cycles %.1f MiB (%.1f MiB of it lazily freed); CPU %.1f ms per minute\n",
           entries, mib(listing), mib(f.peak), mib(f.peak - listing), mib(f.between), mib(f.lazy),
           f.cpu_per_minute_ms);
    fflush(stdout);
  }
  return 0;
}
