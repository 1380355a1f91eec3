// SPDX-License-Identifier: BSD-2-Clause
// The cost of deleting due entries, against the least a client can do for
// it.
//
//   delete_bench [ENTRIES [DUE]]      (default: 1000000 100000)
//
// A table of ENTRIES IPv4 hosts, DUE of them due and spread evenly among
// the rest, is loaded into a real fwemu server; one cycle of the daemon
// (which logs every due entry and deletes them in batches of
// DUE_BATCH_KEYS, one delete command each) and one of the floor (the same
// list, then for each due entry the same syslog line, its key copied from
// the listing into a batch of the same size, each batch one info and one
// delete request) run in turns, each in a client process of its own, the
// table loaded afresh before each.
// The daemon's syslog lines go to a socket of this program's when it may
// give the client a private /dev/log (root), read by one blocking read a
// line as a syslog daemon's loop is. Prints the time per deleted entry of
// each (elapsed, and the client's CPU time with its own ratio), how much
// of the daemon's went into syslog(3) and the share that is of its time,
// each as the median and the range of five rounds, the kernel requests per
// deleted entry as the emulator counted them (the cycle's own info and
// list included; any other count than the listing's two and two for each
// batch, ceil(DUE / DUE_BATCH_KEYS) batches, fails the run), the syslog
// lines each received (where the sink is usable, anything but one a
// deletion fails the run), and "ratio R", the daemon's elapsed time per
// deleted entry over the floor's in the same round (also without the time
// in syslog, the daemon's and the floor's).
#include <arpa/inet.h>
#include <err.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "daemon/due_batch.h"

namespace {

constexpr const char* TABLE = "7";
constexpr uint32_t FIRST = 0x0A000000;  // 10.0.0.0

std::string ipv4_text(uint32_t host_order) {
  uint32_t net = htonl(host_order);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &net, text, sizeof text);
  return text;
}

// Every step-th host from 10.0.0.0 is due (value 1, long past); the hosts
// between are not (value 4000000000).
void load(emu_server& emu, uint64_t due, uint64_t step) {
  bench_admin(emu, std::string("flush ") + TABLE);
  bench_admin(
      emu, std::string("fill ") + TABLE + " 10.0.0.0 " + std::to_string(due) + " 1 " + std::to_string(step));
  for (uint64_t off = 1; off < step; off++)
    bench_admin(emu, std::string("fill ") + TABLE + " " + ipv4_text(FIRST + static_cast<uint32_t>(off)) +
                         " " + std::to_string(due) + " 4000000000 " + std::to_string(step));
}

uint64_t requests(emu_server& emu) {
  std::string stats = bench_admin(emu, "stats");
  return figure_in(stats, "requests 93") + figure_in(stats, "requests 89") + figure_in(stats, "requests 87");
}

struct figures {
  std::vector<double> wall_us, cpu_us, log_us, requests_per_entry;
  uint64_t log_lines = 0;
};

void run_cycle(emu_server& emu, const bench_syslog& drain, const std::string& mode, uint64_t entries,
               uint64_t due, figures* into) {
  uint64_t requests0 = requests(emu);
  uint64_t lines0 = drain.received();
  run_output run = run_program_checked(drain.wrap({BENCH_CLIENT_BIN, mode, TABLE}),
                                       {"FWEMU_SOCKET=" + emu.socket_path()}, emu.dir());
  uint64_t sent = requests(emu) - requests0;
  uint64_t left = bench_figure(emu, std::string("info ") + TABLE, "count");
  if (entries - left != due)
    errx(1, "%s deleted %" PRIu64 " entries, not the %" PRIu64 " due", mode.c_str(), entries - left, due);
  std::istringstream line(run.out);
  std::string word;
  uint64_t cpu = 0, wall = 0, allocs = 0, log = 0;
  if (!(line >> word >> cpu >> wall >> allocs >> log))
    errx(1, "%s: no figures in: %s", mode.c_str(), run.out.c_str());
  into->wall_us.push_back(static_cast<double>(wall) / 1000.0 / static_cast<double>(due));
  into->cpu_us.push_back(static_cast<double>(cpu) / 1000.0 / static_cast<double>(due));
  into->log_us.push_back(static_cast<double>(log) / 1000.0 / static_cast<double>(due));
  // Each batch's delete command is an info and a delete request, besides
  // the cycle's own info and list. This is a count, not a speed, and it is
  // held to.
  const uint64_t batches = (due + DUE_BATCH_KEYS - 1) / DUE_BATCH_KEYS;
  if (sent != 2 + 2 * batches)
    errx(1, "%s sent %" PRIu64 " requests for %" PRIu64 " deletions, not %" PRIu64, mode.c_str(), sent, due,
         2 + 2 * batches);
  into->requests_per_entry.push_back(static_cast<double>(sent) / static_cast<double>(due));
  // The last lines may still be on their way through the socket.
  for (int waited = 0; drain.usable && drain.received() - lines0 < due && waited < 5000; waited += 10)
    sleep_ms(10);
  into->log_lines = drain.received() - lines0;
  // Every removal is logged once, by the floor as by the daemon.
  if (drain.usable && into->log_lines != due)
    errx(1, "%s: %" PRIu64 " syslog lines arrived, not %" PRIu64, mode.c_str(), into->log_lines, due);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t entries = 1000000, due = 100000;
  if (argc > 3) errx(1, "usage: delete_bench [ENTRIES [DUE]]");
  if (argc > 1) entries = strtoull(argv[1], nullptr, 10);
  if (argc > 2) due = strtoull(argv[2], nullptr, 10);
  if (due == 0 || entries < due || entries > 30000000) errx(1, "need 0 < DUE <= ENTRIES <= 30000000");
  const uint64_t step = entries / due;
  entries = due * step;

  bench_setup setup;
  emu_server& emu = setup.emu;
  bench_syslog drain(setup.dir.path);
  bench_admin(emu, std::string("create ") + TABLE);
  figures daemon, floor;
  for (int round = 0; round < 5; round++) {
    load(emu, due, step);
    run_cycle(emu, drain, "delete", entries, due, &daemon);
    load(emu, due, step);
    run_cycle(emu, drain, "floor-delete", entries, due, &floor);
  }
  // The ratios of each round, the daemon's cycle over the floor's that
  // follows it, and the daemon's share of time in syslog.
  std::vector<double> ratio, ratio_cpu, ratio_without_log, log_share;
  for (size_t i = 0; i < daemon.wall_us.size(); i++) {
    ratio.push_back(daemon.wall_us[i] / floor.wall_us[i]);
    ratio_cpu.push_back(daemon.cpu_us[i] / floor.cpu_us[i]);
    ratio_without_log.push_back((daemon.wall_us[i] - daemon.log_us[i]) /
                                (floor.wall_us[i] - floor.log_us[i]));
    log_share.push_back(daemon.log_us[i] / daemon.wall_us[i]);
  }
  printf("deletion: time per deleted entry, median (and range) of %zu rounds, batches of %zu keys%s\n",
         daemon.wall_us.size(), DUE_BATCH_KEYS,
         drain.usable ? "" : " (no private /dev/log: the syslog lines go to the system's)");
  printf("%" PRIu64 " entries, %" PRIu64
         " due: daemon %s us (%s us of it in syslog, a share of %s), floor %s us (%s us in syslog) per"
         " deleted entry; client CPU %s us and %s us (ratio %s); kernel requests per deleted entry %.4f and"
         " %.4f; syslog lines %" PRIu64 " and %" PRIu64 "; ratio without the syslog lines %s; ratio %s\n",
         entries, due, spread(daemon.wall_us).c_str(), spread(daemon.log_us).c_str(),
         spread(log_share).c_str(), spread(floor.wall_us).c_str(), spread(floor.log_us).c_str(),
         spread(daemon.cpu_us).c_str(), spread(floor.cpu_us).c_str(), spread(ratio_cpu).c_str(),
         median(daemon.requests_per_entry), median(floor.requests_per_entry), daemon.log_lines,
         floor.log_lines, spread(ratio_without_log).c_str(), spread(ratio).c_str());
  return 0;
}
