// SPDX-License-Identifier: BSD-2-Clause
// Faults from the platform, met by the real daemon against a real fwemu
// server: refused and malformed kernel answers (injected with the server's
// "fault" command), a locked or vanished table, a server that dies in the
// middle of a cycle or between cycles, and one that answers slowly.
//
// In every case the daemon ends with the status and message it is built to
// give (on standard error in the foreground, in syslog at LOG_ERR once
// detached) or goes on sweeping; it never crashes or hangs, and never
// deletes an entry whose time has not come.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 15000;  // guards against hangs only

struct table_entry {
  std::string key;  // as the emulator lists it and the daemon renders it
  long value;
  bool due;
};

// Table 5: due entries of every address kind beside ones far from due.
std::vector<table_entry> fill_table(daemon_harness& h, bool with_due = true) {
  const long now = static_cast<long>(time(nullptr));
  std::vector<table_entry> all = {
      {"192.0.2.1", 0, true},
      {"192.0.2.9", 4294967295L, false},
      {"198.51.100.0/24", now - 10, true},
      {"203.0.113.128/25", now + 3600, false},
      {"2001:db8::1", 1, true},
      {"2001:db8:1::/64", now + 3600, false},
  };
  std::vector<table_entry> used;
  h.admin("create 5 type addr");
  for (const auto& e : all) {
    if (e.due && !with_due) continue;
    h.admin("add 5 " + e.key + " " + std::to_string(e.value));
    used.push_back(e);
  }
  return used;
}

// The keys of the due entries in listing order: the daemon's first batch
// of deletions (the table holds fewer than a batch).
std::vector<std::string> due_keys(daemon_harness& h, const std::vector<table_entry>& entries) {
  std::vector<std::string> keys;
  for (const auto& l : text_lines(h.admin("list 5")))
    for (const auto& e : entries)
      if (e.due && l.starts_with(e.key + " ")) keys.push_back(e.key);
  return keys;
}

// ---------------------------------------------------------------------------
// Faults that end the daemon in its first cycle, before any entry has left.

struct fatal_case {
  const char* name;
  const char* setup;  // administrative command before the start
  std::string message;  // what follows "hostreapd: " on standard error
  bool tries_delete;  // the due entries are logged and their batch refused
  long lists;  // list requests the daemon makes
  bool once = false;  // a single cycle (-1)
};

const fatal_case FATAL_CASES[] = {
    // A single cycle whose listing is outgrown at every attempt ends at
    // once; a daemon that goes on drops the cycle instead
    // (daemon_growing_table_test.cc).
    {"ListOutOfMemoryEightTimes", "fault fail list ENOMEM 8",
     "Error requesting table 5 list: Cannot allocate memory", false, 8, true},
    {"ListRefused", "fault fail list EPERM", "Error requesting table 5 list: Operation not permitted", false,
     1},
    {"InfoRefused", "fault fail info EPERM", "failed to request table info: Operation not permitted", false,
     0},
    {"InfoReplyShort", "fault short-info 100", "failed to request table info: Bad message", false, 0},
    // Info replies that carry the request header alone (of the check at
    // start and of the first cycle): the info record reads as zeros, so the
    // list request names no table, and its message names the table as the
    // command gave it all the same.
    {"InfoReplyCutShort", "fault short-data 96 2", "Error requesting table 5 list: Invalid argument", false,
     1},
    {"ListEntryOfLengthZero", "fault corrupt-list zero-length", "Error requesting table 5 list: Bad message",
     false, 1},
    {"ListEntryPastTheEnd", "fault corrupt-list past-end", "Error requesting table 5 list: Bad message",
     false, 1},
    {"ListCountTooLarge", "fault corrupt-list count", "Error requesting table 5 list: Bad message", false, 1},
    {"TableLocked", "lock 5", "Deleting record failed: table is locked", true, 1},
    {"DeleteRefusedAsLocked", "fault fail delete EACCES", "Deleting record failed: table is locked", true, 1},
    {"DeleteRefusedInvalid", "fault fail delete EINVAL", "Deleting record failed: Invalid argument", true, 1},
};

void PrintTo(const fatal_case& c, std::ostream* os) { *os << c.name; }

class DaemonFatalFault : public testing::TestWithParam<fatal_case> {};

TEST_P(DaemonFatalFault, ForegroundEndsWithItsMessageAndDeletesNothing) {
  const fatal_case& c = GetParam();
  daemon_harness h;
  std::vector<table_entry> entries = fill_table(h);
  const std::string before = h.admin("list 5");
  const std::vector<std::string> due = due_keys(h, entries);
  h.admin(c.setup);

  std::vector<std::string> args = {"-t", "5", "-f", "-s", "1"};
  if (c.once) args.push_back("-1");
  child_process d = h.start(args);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished) << "hangs";
  ASSERT_TRUE(r.exited) << "ended by signal " << r.signal;
  EXPECT_EQ(r.code, 71);
  EXPECT_EQ(d.err(), "hostreapd: " + c.message + "\n");

  std::vector<std::string> removals;
  if (c.tries_delete) {
    // The report of each refused record of the batch (its result byte
    // untouched, its key and the value it was sent with); no second
    // deletion is tried.
    std::string report;
    for (const auto& k : due) {
      report += "ignored: " + k + " 0\n";
      removals.push_back("Removing host " + k + " from table 5");
    }
    EXPECT_EQ(d.out(), report);
    EXPECT_EQ(h.requests(87), 1);
  } else {
    EXPECT_EQ(d.out(), "");
    EXPECT_EQ(h.requests(87), 0);
  }
  EXPECT_EQ(h.removal_lines(), removals);
  EXPECT_EQ(h.requests(89), c.lists);
  h.admin("fault clear");
  h.admin("unlock 5");
  EXPECT_EQ(h.admin("list 5"), before) << "an entry left the table";
}

INSTANTIATE_TEST_SUITE_P(Faults, DaemonFatalFault, testing::ValuesIn(FATAL_CASES),
                         [](const testing::TestParamInfo<fatal_case>& i) {
                           return std::string(i.param.name);
                         });

// Detached, standard error is the null device: the message goes to syslog
// at LOG_ERR under the detached process's PID, and the process is gone.
struct detached_case {
  const char* name;
  const char* setup;
  const char* message;
  bool tries_delete;
  bool once = false;  // a single cycle (-1)
};

const detached_case DETACHED_CASES[] = {
    {"ListOutOfMemoryEightTimes", "fault fail list ENOMEM 8",
     "Error requesting table 5 list: Cannot allocate memory", false, true},
    {"DeleteRefusedInvalid", "fault fail delete EINVAL", "Deleting record failed: Invalid argument", true},
};

void PrintTo(const detached_case& c, std::ostream* os) { *os << c.name; }

class DaemonDetachedFault : public testing::TestWithParam<detached_case> {};

TEST_P(DaemonDetachedFault, MessageReachesSyslogAtLogErrAndTheDaemonIsGone) {
  const detached_case& c = GetParam();
  daemon_harness h;
  std::vector<table_entry> entries = fill_table(h);
  const std::string before = h.admin("list 5");
  const std::vector<std::string> due = due_keys(h, entries);
  h.admin(c.setup);

  std::vector<std::string> args = {"-t", "5", "-s", "1"};
  if (c.once) args.push_back("-1");
  child_process starter = h.start(args);
  exit_result started = h.wait_exit(starter, LIMIT_MS);
  ASSERT_TRUE(started.finished);
  EXPECT_EQ(started.code, 0);  // the parent leaves once the child is detached
  ASSERT_TRUE(h.sink.wait_for(c.message, LIMIT_MS)) << "no message in syslog";

  pid_t pid = -1;
  std::vector<std::string> texts;
  for (const auto& m : h.sink.messages()) {
    if (m.text == c.message) pid = m.pid;
    EXPECT_EQ(m.priority, m.text == c.message ? 35 : 38) << m.raw;  // LOG_AUTH | LOG_ERR, LOG_AUTH | LOG_INFO
    texts.push_back(m.text);
  }
  ASSERT_GT(pid, 0);
  EXPECT_NE(pid, starter.pid);
  EXPECT_TRUE(h.wait_gone(pid, LIMIT_MS));
  // "starting...." comes from the process before it detached.
  std::vector<std::string> want = {"starting...."};
  if (c.tries_delete)
    for (const auto& k : due) want.push_back("Removing host " + k + " from table 5");
  want.push_back(c.message);
  EXPECT_EQ(texts, want);
  h.admin("fault clear");
  EXPECT_EQ(h.admin("list 5"), before) << "an entry left the table";
}

INSTANTIATE_TEST_SUITE_P(Faults, DaemonDetachedFault, testing::ValuesIn(DETACHED_CASES),
                         [](const testing::TestParamInfo<detached_case>& i) {
                           return std::string(i.param.name);
                         });

// ---------------------------------------------------------------------------
// Faults the daemon lives through.

// Runs the daemon in the foreground for at least `lists` list requests,
// stops it and expects a clean end; then exactly the due entries have gone,
// each logged once.
void sweep_and_expect_due_entries_gone(daemon_harness& h, const std::vector<table_entry>& entries,
                                       long lists) {
  child_process d = h.start({"-t", "5", "-f", "-s", "60"});
  EXPECT_TRUE(h.wait_for_lists(lists, LIMIT_MS, d.pid));
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished) << "hangs";
  ASSERT_TRUE(r.exited) << "ended by signal " << r.signal;
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(d.err(), "");
  EXPECT_EQ(d.out(), "");

  std::vector<std::string> removed = h.removal_lines();
  std::vector<std::string> left;
  for (const auto& e : entries) {
    const std::string line = "Removing host " + e.key + " from table 5";
    EXPECT_EQ(std::count(removed.begin(), removed.end(), line), e.due ? 1 : 0) << e.key;
    if (!e.due) left.push_back(e.key + " " + std::to_string(e.value));
  }
  h.admin("fault clear");
  std::vector<std::string> listed = text_lines(h.admin("list 5"));
  std::sort(left.begin(), left.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, left);
}

TEST(DaemonLivesThrough, ListOutOfMemoryUpToSevenTimesThenTheSweepGoesOn) {
  // Each failure answers as a buffer too small for the listing does: the
  // table's info record (the size it needs) in the reply, the length left as
  // passed. The eighth attempt still counts.
  for (const char* fault : {"fault fail list ENOMEM 1", "fault fail list ENOMEM 7"}) {
    SCOPED_TRACE(fault);
    daemon_harness h;
    std::vector<table_entry> entries = fill_table(h);
    h.admin(fault);
    sweep_and_expect_due_entries_gone(h, entries, 10);
  }
}

TEST(DaemonLivesThrough, SlowAnswersStillSweepCorrectly) {
  daemon_harness h;
  std::vector<table_entry> entries = fill_table(h);
  h.admin("fault delay 300 0");  // every request held 300 ms
  sweep_and_expect_due_entries_gone(h, entries, 2);
}

// ---------------------------------------------------------------------------
// The table or the whole emulator vanishes while the daemon runs.

TEST(DaemonVanishing, TableDestroyedBetweenCyclesEndsTheNextCycle) {
  daemon_harness h;
  std::vector<table_entry> entries = fill_table(h, false);
  child_process d = h.start({"-t", "5", "-f", "-s", "3600"});
  // With nothing due, the list request is the cycle's last: once it has
  // been answered the daemon makes no request until the next cycle, which
  // SIGHUP asks for once the table is gone.
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  h.admin("destroy 5");
  d.send(SIGHUP);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished) << "hangs";
  ASSERT_TRUE(r.exited) << "ended by signal " << r.signal;
  EXPECT_EQ(r.code, 71);
  EXPECT_EQ(d.err(), "hostreapd: failed to request table info: No such process\n");
  EXPECT_EQ(h.requests(89), 1);
  EXPECT_EQ(h.removal_lines(), std::vector<std::string>{});
}

struct vanish_case {
  const char* name;
  bool during_request;  // killed while a request is held, else in the pause
};

void PrintTo(const vanish_case& c, std::ostream* os) { *os << c.name; }

class DaemonServerKilled : public testing::TestWithParam<vanish_case> {};

TEST_P(DaemonServerKilled, EndsWithStatus71AndTheReasonNoHang) {
  const vanish_case& c = GetParam();
  daemon_harness h;
  fill_table(h, false);
  child_process d;
  if (c.during_request) {
    h.admin("fault hold 2000 0");  // every reply held back two seconds
    d = h.start({"-t", "5", "-f", "-s", "1"});
    // The check's request has come; its reply is held.
    ASSERT_TRUE(h.wait_for_requests(93, 1, LIMIT_MS));
  } else {
    d = h.start({"-t", "5", "-f", "-s", "2"});
    ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
    ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  }
  h.emu.kill();
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished) << "hangs";
  ASSERT_TRUE(r.exited) << "ended by signal " << r.signal;
  EXPECT_EQ(r.code, 71);
  // A held request never gets its reply (the connection is reset); the next
  // request after the pause finds the connection closed (a broken pipe).
  EXPECT_TRUE(std::regex_match(d.err(),
                               std::regex("hostreapd: (failed to request table info|Error requesting table 5 "
                                          "list): (Connection reset by peer|Broken pipe)\n")))
      << d.err();
  EXPECT_EQ(d.out(), "");
  EXPECT_EQ(h.removal_lines(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Moments, DaemonServerKilled,
                         testing::Values(vanish_case{"DuringAHeldRequest", true},
                                         vanish_case{"InThePause", false}),
                         [](const testing::TestParamInfo<vanish_case>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
