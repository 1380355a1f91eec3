// The daemon's peak resident memory while it sweeps a large table, against
// the size of the table's listing.
//
//   memory_bench [ENTRIES]      (default: 1000000)
//
// A table of ENTRIES IPv4 hosts, none due, is loaded into a real fwemu
// server; the daemon itself (hostreapd -t 9 -f -s 1) sweeps it until it has
// listed it three times, and is then stopped with SIGTERM. Its peak
// resident set comes from wait4. Prints the listing's size (what the list
// request returns, the one buffer the daemon must hold), the peak, and how
// far the peak lies above the listing.
#include <err.h>
#include <signal.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/support/bench_support.h"

namespace {

constexpr const char* TABLE = "9";

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// Peak resident bytes of the daemon over `lists` list requests of the table.
double daemon_peak(const bench_emulator& emu, uint64_t lists) {
  uint64_t lists0 = emu.figure("stats", "requests 89");
  pid_t pid = start_program({HOSTREAPD_BIN, "-t", TABLE, "-f", "-s", "1"}, {"FWEMU_SOCKET=" + emu.socket});
  for (int waited = 0; emu.figure("stats", "requests 89") - lists0 < lists; waited += 20) {
    if (waited > 120000) errx(1, "the daemon did not list the table %" PRIu64 " times", lists);
    sleep_ms(20);
  }
  kill(pid, SIGTERM);
  rusage usage;
  int status = wait_program(pid, &usage);
  if (status != 0) errx(1, "hostreapd ended with status %d", status);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;  // kilobytes on Linux and the BSDs
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t entries = 1000000;
  if (argc > 2) errx(1, "usage: memory_bench [ENTRIES]");
  if (argc == 2) entries = strtoull(argv[1], nullptr, 10);
  if (entries == 0 || entries > 30000000) errx(1, "ENTRIES: 1 to 30000000");

  bench_dir dir;
  bench_emulator emu(dir.path);
  emu.admin(std::string("create ") + TABLE);
  // The daemon with an empty table: what it holds whatever the table.
  double empty = daemon_peak(emu, 2);
  emu.admin(std::string("fill ") + TABLE + " 10.0.0.0 " + std::to_string(entries) + " 4000000000");
  double listing = static_cast<double>(emu.figure(std::string("info ") + TABLE, "size"));
  // The third listing starts once two whole cycles are done.
  double peak = daemon_peak(emu, 3);
  printf("memory: the daemon's peak resident set while it sweeps a table with nothing due\n");
  printf("%" PRIu64 " entries: listing %.1f MiB; daemon peak resident %.1f MiB (%.1f MiB with an empty table);"
         " above the listing %.1f MiB\n",
         entries, mib(listing), mib(peak), mib(empty), mib(peak - listing));
  return 0;
}
