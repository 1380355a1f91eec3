// The daemon doing its job, end to end: the real hostreapd against a real
// fwemu server, syslog captured. Due entries of every address kind leave
// the table in the first cycle after their time, each logged once; the rest
// stay with their values; a vanished entry is passed over; a locked table
// ends the daemon with the failure report; other table types are printed.
#include <signal.h>
#include <time.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 10000;  // guards against hangs only

// Runs the daemon in the foreground over table 5 for at least `cycles`
// cycles, then stops it with SIGTERM and expects status 0.
void sweep(daemon_harness& h, long cycles) {
  child_process d = h.start({"-t", "5", "-f", "-s", "60"});
  ASSERT_TRUE(h.wait_for_lists(cycles, LIMIT_MS, d.pid));
  d.send(SIGTERM);
  exit_result r = d.wait(LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();
  EXPECT_EQ(d.err(), "");
}

TEST(DaemonSweep, DueEntriesOfEveryAddressKindLeaveOnceAndTheRestStay) {
  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  struct entry {
    std::string key;  // as the emulator takes it
    std::string text;  // as the daemon renders it
    long value;
    bool due;
  };
  const std::vector<entry> entries = {
      {"192.0.2.1", "192.0.2.1", 0, true},
      {"192.0.2.2", "192.0.2.2", now - 10, true},
      {"192.0.2.3", "192.0.2.3", 4294967295L, false},
      {"198.51.100.7/24", "198.51.100.0/24", now - 5, true},
      {"203.0.113.0/25", "203.0.113.0/25", now + 3600, false},
      {"10.0.0.0/8", "10.0.0.0/8", 1, true},
      {"2001:db8::1", "2001:db8::1", now - 1, true},
      {"2001:db8::2", "2001:db8::2", now + 3600, false},
      {"2001:db8:1::/64", "2001:db8:1::/64", 7, true},
      {"fd00::/8", "fd00::/8", now + 3600, false},
  };
  h.admin("create 5 type addr");
  for (const auto& e : entries) h.admin("add 5 " + e.key + " " + std::to_string(e.value));
  // Listing order, as the table itself gives it.
  std::vector<std::string> listed;
  for (const auto& l : text_lines(h.admin("list 5"))) listed.push_back(l.substr(0, l.find(' ')));

  sweep(h, 3);

  std::vector<std::string> want_removed, want_left;
  for (const auto& key : listed) {
    for (const auto& e : entries) {
      if (e.text != key) continue;
      if (e.due)
        want_removed.push_back("Removing host " + e.text + " from table 5");
      else
        want_left.push_back(e.text + " " + std::to_string(e.value));
    }
  }
  ASSERT_EQ(want_removed.size() + want_left.size(), entries.size()) << "the emulator renders keys differently";
  // Every due entry left in the first cycle, logged once, in listing order.
  EXPECT_EQ(h.removal_lines(), want_removed);
  EXPECT_EQ(text_lines(h.admin("list 5")), want_left);
  EXPECT_EQ(h.requests(87), static_cast<long>(want_removed.size()));
  for (const auto& m : h.sink.messages()) EXPECT_EQ(m.priority, 38) << m.raw;
}

TEST(DaemonSweep, EntryGoneBeforeItsDeletionIsPassedOver) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  h.admin("add 5 192.0.2.9 4294967295");
  // Another client removes the entry between the listing and the deletion:
  // the kernel answers the deletion with ENOENT.
  h.admin("fault fail 87 ENOENT 1");
  sweep(h, 3);
  // The daemon went on; the next cycle found the entry again and removed it.
  std::vector<std::string> removed = h.removal_lines();
  ASSERT_GE(removed.size(), 2u);
  EXPECT_EQ(removed[0], "Removing host 192.0.2.1 from table 5");
  EXPECT_EQ(removed[1], "Removing host 192.0.2.1 from table 5");
  EXPECT_EQ(h.admin("list 5"), "192.0.2.9 4294967295\n");
}

TEST(DaemonSweep, LockedTableEndsTheDaemonWithTheReport) {
  for (bool detach : {false, true}) {
    SCOPED_TRACE(detach ? "detached" : "foreground");
    daemon_harness h;
    h.admin("create 5 type addr");
    h.admin("add 5 192.0.2.1 0");
    h.admin("lock 5");
    std::vector<std::string> args = {"-t", "5", "-s", "1"};
    if (!detach) args.push_back("-f");
    child_process d = h.start(args);
    exit_result r = d.wait(LIMIT_MS);
    ASSERT_TRUE(r.finished);
    if (!detach) {
      EXPECT_EQ(r.code, 71);
      // The record as it came back, result byte untouched, and its key and
      // value text; no second deletion is tried.
      EXPECT_EQ(d.out(), "ignored: 192.0.2.1 0\n");
      EXPECT_EQ(d.err(), "hostreapd: Deleting record failed: table is locked\n");
    } else {
      EXPECT_EQ(r.code, 0);
      ASSERT_TRUE(h.sink.wait_for("Deleting record failed: table is locked", LIMIT_MS));
      pid_t pid = -1;
      for (const auto& m : h.sink.messages())
        if (m.text == "Deleting record failed: table is locked") {
          EXPECT_EQ(m.priority, 35);  // LOG_AUTH | LOG_ERR
          pid = m.pid;
        }
      EXPECT_TRUE(h.wait_gone(pid, LIMIT_MS));
    }
    EXPECT_EQ(h.removal_lines(), std::vector<std::string>{"Removing host 192.0.2.1 from table 5"});
    EXPECT_EQ(h.requests(87), 1);
    EXPECT_EQ(h.admin("list 5"), "192.0.2.1 0\n");
  }
}

TEST(DaemonSweep, OtherTableTypesArePrintedEveryCycleAndNeverDeleted) {
  struct row {
    std::string create;
    std::string add;
    std::string line;
  } rows[] = {
      {"type iface", "em0 42", "em0 42"},
      {"type number", "80 0", "80 0"},
      {"type flow:src-ip,proto,dst-port", "192.0.2.1,6,22 7", "192.0.2.1,6,22 7"},
      {"type mac", "00:11:22:33:44:55 9", "00:11:22:33:44:55/48 9"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.create);
    daemon_harness h;
    h.admin("create 5 " + r.create);
    h.admin("add 5 " + r.add);
    child_process d = h.start({"-t", "5", "-f", "-s", "60"});
    for (int waited = 0; text_lines(d.out()).size() < 3 && waited < LIMIT_MS; waited += 10) {
      send_if_caught(d.pid, SIGHUP);
      sleep_ms(10);
    }
    d.send(SIGTERM);
    ASSERT_TRUE(d.wait(LIMIT_MS).finished);
    std::vector<std::string> out = text_lines(d.out());
    ASSERT_GE(out.size(), 3u);
    for (const auto& l : out) EXPECT_EQ(l, r.line);
    EXPECT_EQ(h.requests(87), 0);
    EXPECT_EQ(h.removal_lines(), std::vector<std::string>{});
  }
}

}  // namespace
