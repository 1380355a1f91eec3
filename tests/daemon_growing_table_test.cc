// SPDX-License-Identifier: BSD-2-Clause
// A table that grows while the daemon lists it, as a table does while a
// watcher adds hosts: the kernel answers an undersized list buffer with
// ENOMEM and the size it now needs in the reply's info record, leaving the
// length as it was passed. Every cycle must still list the table and
// remove what is due, and nothing else.
#include <arpa/inet.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 60000;  // only a hang reaches it

// The entries of a table, by their value.
struct tally {
  long due = 0;  // value 0
  long kept = 0;  // any other value
};
tally tally_of(daemon_harness& h, const std::string& table) {
  tally t;
  for (const auto& l : text_lines(h.admin("list " + table))) {
    if (l.substr(l.find(' ') + 1) == "0")
      t.due++;
    else
      t.kept++;
  }
  return t;
}

std::string ipv4(uint32_t host_order) {
  in_addr a{htonl(host_order)};
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

// The table grows by N entries (none of them due) between the cycle's info
// request and its list request: the cycle lists it whole and removes the
// due entries alone.
TEST(DaemonGrowingTable, GrowthBetweenInfoAndListIsListedAndSwept) {
  for (int grow : {1, 10, 10000}) {
    SCOPED_TRACE(grow);
    daemon_harness h;
    h.admin("create 5 type addr");
    h.admin("fill 5 192.0.2.1 3 0");
    h.admin("fill 5 198.51.100.1 3 4000000000");
    h.admin("fault grow " + std::to_string(grow) + " 0");
    child_process d = h.start({"-t", "5", "-f", "-1"});
    exit_result r = h.wait_exit(d, LIMIT_MS);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0) << d.err();
    EXPECT_EQ(d.err(), "");
    EXPECT_EQ(h.removal_lines().size(), 3u);
    tally t = tally_of(h, "5");
    EXPECT_EQ(t.due, 0);
    EXPECT_EQ(t.kept, 3 + grow);
    EXPECT_GE(h.requests(89), 2) << "the table did not grow under the listing";
  }
}

// The warning of a cycle whose listing was outgrown at every attempt.
const std::string OUTGROWN = "table 5 grew faster than it could be listed; sweeping it again next cycle";

// The value of one series of a metrics file ("" when it has none).
std::string series_value(const std::string& metrics, const std::string& series) {
  for (const auto& l : text_lines(metrics))
    if (l.starts_with(series + " ")) return l.substr(series.size() + 1);
  return "";
}

// Every attempt of a cycle's listing answered ENOMEM with the size the
// table needs, as a table that grows faster than it can be listed answers:
// the cycle is dropped with one warning (LOG_WARNING, and on standard error
// in the foreground) and counted, nothing is deleted, and once the table
// can be listed again the next cycle sweeps it.
TEST(DaemonGrowingTable, OutgrownCyclesAreDroppedAndTheNextOneSweeps) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("fill 5 192.0.2.1 3 0");
  h.admin("fill 5 198.51.100.1 3 4000000000");
  h.admin("fault fail list ENOMEM 16");  // every attempt of two cycles
  const std::string metrics = h.dir.file("metrics");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-m", metrics});
  // The third cycle's listing is the seventeenth list request.
  ASSERT_TRUE(h.wait_for_lists(17, LIMIT_MS, d.pid)) << d.err();
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS)) << d.err();
  EXPECT_EQ(d.err(), "hostreapd: " + OUTGROWN + "\nhostreapd: " + OUTGROWN + "\n");
  long warnings = 0;
  for (const auto& m : h.sink.messages()) {
    if (m.text != OUTGROWN) continue;
    warnings++;
    EXPECT_EQ(m.priority, 36) << m.raw;  // LOG_AUTH | LOG_WARNING
  }
  EXPECT_EQ(warnings, 2);
  tally t = tally_of(h, "5");
  EXPECT_EQ(t.due, 0);
  EXPECT_EQ(t.kept, 3);
  EXPECT_EQ(h.removal_lines().size(), 3u);
  const std::string text = read_file(metrics);
  EXPECT_EQ(series_value(text, "hostreapd_abandoned_cycles_total{table=\"5\",reason=\"grew\"}"), "2");
  EXPECT_EQ(series_value(text, "hostreapd_removed_total{table=\"5\"}"), "3");
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();
}

// A table outgrown in ten cycles in a row is one that cannot be listed at
// all: the tenth ends the daemon with 71 and the listing's failure, after
// a warning for each of the nine before it; nothing is deleted.
TEST(DaemonGrowingTable, TenOutgrownCyclesInARowEndTheDaemon) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("fill 5 192.0.2.1 3 0");
  h.admin("fill 5 198.51.100.1 3 4000000000");
  const std::string before = h.admin("list 5");
  h.admin("fault fail list ENOMEM 0");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600"});
  ASSERT_TRUE(h.wait_for_lists(80, LIMIT_MS, d.pid)) << d.err();
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 71);
  std::string want;
  for (int i = 0; i < 9; i++) want += "hostreapd: " + OUTGROWN + "\n";
  want += "hostreapd: Error requesting table 5 list: Cannot allocate memory\n";
  EXPECT_EQ(d.err(), want);
  EXPECT_EQ(h.requests(89), 80);
  EXPECT_EQ(h.requests(87), 0);
  h.admin("fault clear");
  EXPECT_EQ(h.admin("list 5"), before);
}

// A daemon sweeping every second while a writer adds some 3000 entries a
// second, a tenth of them due, for 20 s: it never ends, and once the writer
// stops, one more cycle leaves no due entry.
TEST(DaemonGrowingTable, SweepsATableAWriterKeepsGrowing) {
  daemon_harness h;
  h.admin("create 5 type addr");
  child_process d = h.start({"-t", "5", "-f", "-s", "1"});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  uint32_t next_kept = 0x0A000000;  // 10.0.0.0
  uint32_t next_due = 0xAC100000;  // 172.16.0.0
  const auto start = std::chrono::steady_clock::now();
  auto next_fill = start;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    if (std::chrono::steady_clock::now() >= next_fill) {
      h.admin("fill 5 " + ipv4(next_kept) + " 270 4000000000");
      h.admin("fill 5 " + ipv4(next_due) + " 30 0");
      next_kept += 270;
      next_due += 30;
      next_fill += std::chrono::milliseconds(100);
      ASSERT_FALSE(d.wait(0).finished) << d.err();
    }
    // Read as syslogd would, so that the daemon never waits on its log.
    h.sink.messages();
    sleep_ms(5);
  }
  const long lists = h.requests(89);
  ASSERT_TRUE(h.wait_for_lists(lists + 2, LIMIT_MS)) << d.err();
  EXPECT_GT(lists, 10) << "the daemon hardly swept while the table grew";
  tally t = tally_of(h, "5");
  EXPECT_EQ(t.due, 0);
  EXPECT_EQ(t.kept, static_cast<long>(next_kept - 0x0A000000));
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();
  EXPECT_EQ(h.removal_lines().size(), static_cast<size_t>(next_due - 0xAC100000));
}

}  // namespace
