// SPDX-License-Identifier: BSD-2-Clause
// The daemon doing its job, end to end: the real hostreapd against a real
// fwemu server, syslog captured. Due entries of every address kind leave
// the table in the first cycle after their time, each logged once; the rest
// stay with their values; a vanished entry is passed over; a locked table
// ends the daemon with the failure report; other table types are printed.
#include <signal.h>
#include <time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
  ASSERT_EQ(want_removed.size() + want_left.size(), entries.size())
      << "the emulator renders keys differently";
  // Every due entry left in the first cycle, logged once, in listing order.
  EXPECT_EQ(h.removal_lines(), want_removed);
  EXPECT_EQ(text_lines(h.admin("list 5")), want_left);
  EXPECT_EQ(h.requests(87), 1) << "the cycle's deletions go out as one batch";
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
    poll_until(
        [&] {
          if (text_lines(d.out()).size() >= 3) return true;
          send_if_caught(d.pid, SIGHUP);
          return false;
        },
        LIMIT_MS);
    d.send(SIGTERM);
    ASSERT_TRUE(d.wait(LIMIT_MS).finished);
    std::vector<std::string> out = text_lines(d.out());
    ASSERT_GE(out.size(), 3u);
    for (const auto& l : out) EXPECT_EQ(l, r.line);
    EXPECT_EQ(h.requests(87), 0);
    EXPECT_EQ(h.removal_lines(), std::vector<std::string>{});
  }
}

// ---- renewals against a daemon sweeping every second ------------------------

// Milliseconds of the wall clock, the one the daemon's expiry times are on.
int64_t wall_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Sleeps until the wall clock reads at_ms, reading the syslog sink
// meanwhile (a daemon whose removal lines are not read blocks in syslog).
void sleep_until(daemon_harness& h, int64_t at_ms) {
  for (int64_t left; (left = at_ms - wall_ms()) > 0;) {
    h.sink.messages();
    sleep_ms(static_cast<int>(std::min<int64_t>(left, 20)));
  }
}

// A writer renews entries as an ipfw user does (deletes each and adds it
// back with a later time) in the last 400 ms before their time passes, one
// every 50 ms, while the daemon sweeps every second; other entries with the
// same times are left to pass. A renewal that was complete before the clock
// passed the old time is never undone: the daemon removes an entry only
// when its time had passed before the listing it works on was taken. Every
// entry left to pass goes, once its time has passed. Three seconds of
// deadlines, eight renewed and four left in each.
//
// The renewals are spread so that, on an idle machine, the last come within
// some 50 ms of the deadline, and on a loaded one, where the writer may be
// held up for a while, the first are still complete in time.
TEST(DaemonSweep, RenewalsMadeBeforeTheDeadlineAreNeverUndone) {
  constexpr int SECONDS = 3, RENEWED = 8, LEFT = 4;
  constexpr int64_t RENEWAL_STEP_MS = 50;
  daemon_harness h;
  h.admin("create 5 type addr");
  const int64_t first = wall_ms() / 1000 + 2;  // the first expiry, seconds
  auto key = [](int second, bool renewed, int i) {
    return "10." + std::to_string(second) + "." + (renewed ? "0." : "1.") + std::to_string(i);
  };
  for (int sec = 0; sec < SECONDS; sec++)
    for (int i = 0; i < RENEWED + LEFT; i++)
      h.admin("add 5 " + key(sec, i < RENEWED, i) + " " + std::to_string(first + sec));

  child_process d = h.start({"-t", "5", "-f", "-s", "1"});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));

  struct renewal {
    std::string key;
    int64_t new_value;
  };
  std::vector<renewal> in_time;  // complete while the clock still read the old time
  std::vector<std::string> gone_early;  // taken by the daemon before its time had passed
  std::vector<std::string> left_late;  // left to pass, still there when the wait for them ran out
  std::vector<std::string> left_keys;
  for (int sec = 0; sec < SECONDS; sec++) {
    const int64_t passes_ms = (first + sec + 1) * 1000;  // the clock reads past the old time from here
    for (int i = 0; i < RENEWED; i++) {
      sleep_until(h, passes_ms - (RENEWED - i) * RENEWAL_STEP_MS);
      const std::string k = key(sec, true, i);
      const int64_t value = first + sec + 600;
      emu_server::result del = h.emu.admin("delete 5 " + k);
      const bool before_delete = wall_ms() < passes_ms;
      emu_server::result add = h.emu.admin("add 5 " + k + " " + std::to_string(value));
      EXPECT_EQ(add.status, 0) << "add " << k << ": " << add.out;
      if (del.status != 0 && before_delete) gone_early.push_back(k);
      if (del.status == 0 && add.status == 0 && wall_ms() < passes_ms) in_time.push_back({k, value});
    }
    for (int i = RENEWED; i < RENEWED + LEFT; i++) left_keys.push_back(key(sec, false, i));
  }
  // Every entry left to pass goes, in a cycle after its time; the last
  // ones' time has passed once the wall clock reads past the last second.
  sleep_until(h, (first + SECONDS) * 1000);
  const auto all_left_gone = [&] {
    h.sink.messages();
    const std::string listed = h.admin("list 5");
    for (const std::string& k : left_keys)
      if (listed.find(k + " ") != std::string::npos) return false;
    return true;
  };
  if (!poll_until(all_left_gone, LIMIT_MS)) {
    const std::string listed = h.admin("list 5");
    for (const std::string& k : left_keys)
      if (listed.find(k + " ") != std::string::npos) left_late.push_back(k);
  }
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();

  // Without renewals made in time the test would prove nothing; on an idle
  // machine all of them are.
  ASSERT_FALSE(in_time.empty()) << "no renewal was complete before its deadline";
  EXPECT_EQ(gone_early, std::vector<std::string>{}) << "deleted before their time had passed";
  const std::vector<std::string> removed = h.removal_lines();
  const std::vector<std::string> listed = text_lines(h.admin("list 5"));
  for (const renewal& n : in_time) {
    EXPECT_EQ(std::count(removed.begin(), removed.end(), "Removing host " + n.key + " from table 5"), 0)
        << n.key << " was renewed before its time passed, and removed";
    EXPECT_EQ(std::count(listed.begin(), listed.end(), n.key + " " + std::to_string(n.new_value)), 1)
        << n.key << " lost its renewal";
  }
  EXPECT_EQ(left_late, std::vector<std::string>{}) << "still there long after their time";
  for (const std::string& k : left_keys)
    EXPECT_EQ(std::count(removed.begin(), removed.end(), "Removing host " + k + " from table 5"), 1) << k;
}

}  // namespace
