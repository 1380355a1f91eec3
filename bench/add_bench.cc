// SPDX-License-Identifier: BSD-2-Clause
// The cost of adding and renewing keys in bulk, against the least a writer
// can do for it.
//
//   add_bench [KEYS [ROUNDS]]      (default: 100000 5)
//
// KEYS IPv4 hosts from 10.0.0.0, every other one already in the table, are
// given on standard input to hostreapd -a @4000000000 - (the real program)
// and, in turns, to the floor (bench_client floor-add: the same batches of
// ENTRY_WRITE_MAX keys and the same requests, the keys parsed with
// inet_pton alone, one syslog(3) line a key), each a process of its own,
// the table loaded afresh before each. Two tables: one whose values are the
// time alone (the default value type: an info and an add request a batch)
// and one of valtype tag,mark (whose present marks are kept: an info, a
// list and an add request a batch). The syslog lines go to a socket of
// this program's when it may give the client a private /dev/log (root).
//
// Prints, for each table, the elapsed time per key of each (the median and
// the range of ROUNDS rounds, ROUNDS / 2 rounds at least 1 for tag,mark,
// whose lookups list the whole table each batch), the ratio of the
// writer's to the floor's in the same round, the writer's peak resident
// memory, and the kernel requests per key as the emulator counted them.
// Any count other than the start's info request and 2 (or 3) a batch (a
// last batch of up to 16 keys of tag,mark: an info request, a find per
// key and the add),
// more than 0.02 a key, a table that does not hold every key with the
// deadline (and every present key's mark) afterwards, or a syslog line
// count other than one a key, fails the run.
#include <arpa/inet.h>
#include <err.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "daemon/add_batch.h"
#include "fwtable/entry_write.h"

namespace {

constexpr const char* TABLE = "7";
constexpr const char* DEADLINE = "4000000000";

uint64_t requests(emu_server& emu) {
  const std::string stats = bench_admin(emu, "stats");
  return figure_in(stats, "requests 93") + figure_in(stats, "requests 89") + figure_in(stats, "requests 86") +
         figure_in(stats, "requests 106") + figure_in(stats, "requests 87");
}

struct figures {
  std::vector<double> wall_us;
  std::vector<double> requests_per_key;
  long max_rss_kib = 0;
};

// The table of valtype vt made anew, every other key present: with the
// value 1 (a time long past), and for tag,mark the mark 5.
void load(emu_server& emu, const std::string& vt, uint64_t keys) {
  bench_admin(emu, std::string("destroy ") + TABLE);
  bench_admin(emu, std::string("create ") + TABLE + " valtype " + vt);
  bench_admin(emu, std::string("fill ") + TABLE + " 10.0.0.0 " + std::to_string((keys + 1) / 2) + " " +
                       (vt == "legacy" ? "1" : "tag=1,mark=5") + " 2");
}

// Checks that every key holds the deadline, and every present one its mark.
void check_table(emu_server& emu, const std::string& vt, uint64_t keys, const std::string& who) {
  const std::string listed = bench_admin(emu, std::string("list ") + TABLE);
  uint64_t lines = 0, kept = 0;
  for (size_t at = 0, nl; (nl = listed.find('\n', at)) != std::string::npos; at = nl + 1) {
    const std::string line = listed.substr(at, nl - at);
    const std::string value = line.substr(line.find(' ') + 1);
    if (value.rfind(DEADLINE, 0) != 0) errx(1, "%s left %s", who.c_str(), line.c_str());
    if (vt != "legacy" && value == std::string(DEADLINE) + ",5") kept++;
    lines++;
  }
  if (lines != keys)
    errx(1, "%s: the table holds %" PRIu64 " entries, not %" PRIu64, who.c_str(), lines, keys);
  if (vt != "legacy" && kept != (keys + 1) / 2)
    errx(1, "%s kept the mark of %" PRIu64 " present keys, not %" PRIu64, who.c_str(), kept, (keys + 1) / 2);
}

void run(emu_server& emu, const bench_syslog& drain, const std::string& vt, bool floor, uint64_t keys,
         const std::string& key_file, figures* into) {
  load(emu, vt, keys);
  const uint64_t requests0 = requests(emu);
  const uint64_t lines0 = drain.received();
  const std::vector<std::string> argv =
      floor ? std::vector<std::string>{BENCH_CLIENT_BIN, "floor-add", TABLE, DEADLINE}
            : std::vector<std::string>{HOSTREAPD_BIN, "-t", TABLE, "-a", std::string("@") + DEADLINE, "-"};
  std::vector<std::string> with_input = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <\"$KEYS\""};
  with_input.insert(with_input.end(), argv.begin(), argv.end());
  timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  run_output out = run_program_checked(drain.wrap(with_input),
                                       {"FWEMU_SOCKET=" + emu.socket_path(), "KEYS=" + key_file}, emu.dir());
  clock_gettime(CLOCK_MONOTONIC, &b);
  const double wall_us =
      static_cast<double>(b.tv_sec - a.tv_sec) * 1e6 + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e3;
  const std::string who = floor ? "the floor" : "hostreapd";
  const uint64_t sent = requests(emu) - requests0;
  check_table(emu, vt, keys, who);
  // The writer's start asks for the table's info once more than the floor.
  // The writer looks up the keys of a batch of ADD_FIND_KEYS_MAX or fewer
  // (the last one) one by one, with no listing.
  uint64_t want = floor ? 0 : 1;
  for (uint64_t left = keys; left > 0; left -= std::min<uint64_t>(left, ENTRY_WRITE_MAX)) {
    const uint64_t batch = std::min<uint64_t>(left, ENTRY_WRITE_MAX);
    want += vt == "legacy" ? 2 : (!floor && batch <= ADD_FIND_KEYS_MAX ? 2 + batch : 3);
  }
  if (sent != want)
    errx(1, "%s sent %" PRIu64 " requests for %" PRIu64 " keys, not %" PRIu64, who.c_str(), sent, keys, want);
  const double per_key = static_cast<double>(sent) / static_cast<double>(keys);
  if (!floor && per_key > 0.02) errx(1, "hostreapd sent %.4f requests a key, more than 0.02", per_key);
  for (int waited = 0; drain.usable && drain.received() - lines0 < keys && waited < 10000; waited += 10)
    sleep_ms(10);
  if (drain.usable && drain.received() - lines0 != keys)
    errx(1, "%s: %" PRIu64 " syslog lines arrived, not %" PRIu64, who.c_str(), drain.received() - lines0,
         keys);
  into->wall_us.push_back(wall_us / static_cast<double>(keys));
  into->requests_per_key.push_back(per_key);
  into->max_rss_kib = std::max(into->max_rss_kib, out.status.usage.ru_maxrss);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t keys = 100000;
  int rounds = 5;
  if (argc > 3) errx(1, "usage: add_bench [KEYS [ROUNDS]]");
  if (argc > 1) keys = strtoull(argv[1], nullptr, 10);
  if (argc > 2) rounds = atoi(argv[2]);
  if (keys == 0 || keys > 16000000 || rounds < 1) errx(1, "need 0 < KEYS <= 16000000 and ROUNDS >= 1");

  bench_setup setup;
  emu_server& emu = setup.emu;
  bench_syslog drain(setup.dir.path);
  const std::string key_file = setup.dir.file("keys");
  FILE* f = fopen(key_file.c_str(), "w");
  if (f == nullptr) err(1, "%s", key_file.c_str());
  for (uint64_t i = 0; i < keys; i++) {
    const uint32_t host = htonl(0x0A000000u + static_cast<uint32_t>(i));
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &host, text, sizeof text);
    fprintf(f, "%s\n", text);
  }
  if (fclose(f) != 0) err(1, "%s", key_file.c_str());
  bench_admin(emu, std::string("create ") + TABLE);

  printf("bulk add: %" PRIu64 " keys from standard input, half of them present, batches of %zu%s\n", keys,
         ENTRY_WRITE_MAX, drain.usable ? "" : " (no private /dev/log: the syslog lines go to the system's)");
  for (const std::string vt : {"legacy", "tag,mark"}) {
    const int n = vt == "legacy" ? rounds : std::max(1, rounds / 2);
    figures writer, floor;
    for (int round = 0; round < n; round++) {
      // The writer first in one round, the floor in the next.
      const bool floor_first = round % 2 == 1;
      run(emu, drain, vt, floor_first, keys, key_file, floor_first ? &floor : &writer);
      run(emu, drain, vt, !floor_first, keys, key_file, floor_first ? &writer : &floor);
    }
    std::vector<double> ratio;
    for (size_t i = 0; i < writer.wall_us.size(); i++) ratio.push_back(writer.wall_us[i] / floor.wall_us[i]);
    printf(
        "valtype %s, %d rounds: hostreapd %s us, floor %s us per key; ratio %s; kernel requests per key %.4f"
        " and %.4f; hostreapd's peak resident memory %ld KiB\n",
        vt.c_str(), n, spread(writer.wall_us).c_str(), spread(floor.wall_us).c_str(), spread(ratio).c_str(),
        median(writer.requests_per_key), median(floor.requests_per_key), writer.max_rss_kib);
  }
  return 0;
}
