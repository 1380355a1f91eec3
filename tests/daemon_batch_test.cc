// SPDX-License-Identifier: BSD-2-Clause
// Deletions in batches, end to end: the real hostreapd against a real fwemu
// server (of the record layout the build is for), syslog captured. A cycle
// over n due entries sends one info and one delete request per batch of
// DUE_BATCH_KEYS keys; every due entry leaves and is logged once, no other
// entry does; keys someone else deleted first are passed over in silence
// and not counted; a locked table ends the daemon with the report of the
// batch; a stop while a batch waits for its reply is an ordinary stop.
#include <signal.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "daemon/due_batch.h"
#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 120000;  // only a hang reaches it

// The value of one sample of a metrics file, or "" when it has none.
std::string sample(const std::string& metrics, const std::string& name) {
  for (const auto& l : text_lines(metrics))
    if (l.starts_with(name + "{")) return l.substr(l.rfind(' ') + 1);
  return "";
}

long batches_of(long due) {
  const long size = static_cast<long>(DUE_BATCH_KEYS);
  return (due + size - 1) / size;
}

// n due entries from 10.0.0.0 on every second address, n not due between
// them; one cycle (-1). The requests: the start's info, the cycle's info
// and list, then an info and a delete for each batch.
TEST(DaemonBatch, EachBatchIsOneInfoAndOneDeleteRequest) {
  const long size = static_cast<long>(DUE_BATCH_KEYS);
  for (long due : {1L, size - 1, size, size + 1, 2 * size + 5}) {
    SCOPED_TRACE(std::to_string(due) + " due");
    daemon_harness h;
    h.admin("create 5 type addr");
    h.admin("fill 5 10.0.0.0 " + std::to_string(due) + " 1 2");
    h.admin("fill 5 10.0.0.1 " + std::to_string(due) + " 4000000000 2");
    std::set<std::string> want_logged;
    std::set<std::string> want_left;
    for (const auto& l : text_lines(h.admin("list 5"))) {
      const std::string key = l.substr(0, l.find(' '));
      if (l.ends_with(" 1"))
        want_logged.insert("Removing host " + key + " from table 5");
      else
        want_left.insert(l);
    }
    ASSERT_EQ(want_logged.size(), static_cast<size_t>(due));

    const std::string metrics = h.dir.file("metrics");
    child_process d = h.start({"-t", "5", "-f", "-1", "-m", metrics});
    exit_result r = h.wait_exit(d, LIMIT_MS);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0) << d.err();
    EXPECT_EQ(d.err(), "");
    EXPECT_EQ(d.out(), "");

    EXPECT_EQ(h.requests(87), batches_of(due));
    EXPECT_EQ(h.requests(93), 2 + batches_of(due));
    EXPECT_EQ(h.requests(89), 1);
    const std::vector<std::string> logged = h.removal_lines();
    EXPECT_EQ(logged.size(), static_cast<size_t>(due)) << "each due entry logged once";
    EXPECT_EQ(std::set<std::string>(logged.begin(), logged.end()), want_logged);
    const std::vector<std::string> left = text_lines(h.admin("list 5"));
    EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), want_left) << "only the due entries left";
    EXPECT_EQ(sample(read_file(metrics), "hostreapd_removed_total"), std::to_string(due));
  }
}

// Another client deletes two of the due entries while the listing's reply
// is on its way: the batch deletes the rest, the kernel answers ENOENT, and
// the daemon passes over it in silence and counts only what it deleted.
TEST(DaemonBatch, KeysAlreadyGoneArePassedOverAndNotCounted) {
  daemon_harness h;
  h.admin("create 5 type addr");
  for (const char* k : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5"})
    h.admin(std::string("add 5 ") + k + " 1");
  h.admin("add 5 192.0.2.9 4294967295");
  // Every reply held back long enough for the two deletions below to come
  // between the listing and the batch.
  h.admin("fault hold 3000 0");
  const std::string metrics = h.dir.file("metrics");
  child_process d = h.start({"-t", "5", "-f", "-1", "-m", metrics});
  ASSERT_TRUE(h.wait_for_requests(89, 1, LIMIT_MS));
  h.admin("delete 5 192.0.2.2");
  h.admin("delete 5 192.0.2.4");
  h.admin("fault clear");
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();
  EXPECT_EQ(d.err(), "");
  EXPECT_EQ(d.out(), "") << "no report for keys already gone";
  EXPECT_EQ(h.requests(87), 1);
  EXPECT_EQ(h.removal_lines().size(), 5u) << "each listed due entry is logged";
  EXPECT_EQ(h.admin("list 5"), "192.0.2.9 4294967295\n");
  EXPECT_EQ(sample(read_file(metrics), "hostreapd_removed_total"), "3");
}

// A locked table refuses the batch: the daemon prints the report of every
// record in it and ends with status 71; nothing is deleted.
TEST(DaemonBatch, ALockedTableEndsTheDaemonWithTheReportOfTheBatch) {
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::vector<std::string> keys = {"192.0.2.1", "192.0.2.2", "198.51.100.0/24"};
  for (const auto& k : keys) h.admin("add 5 " + k + " 1");
  h.admin("lock 5");
  child_process d = h.start({"-t", "5", "-f", "-1"});
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 71);
  EXPECT_EQ(d.err(), "hostreapd: Deleting record failed: table is locked\n");
  const std::vector<std::string> report = text_lines(d.out());
  ASSERT_EQ(report.size(), keys.size()) << d.out();
  for (size_t i = 0; i < keys.size(); i++)
    EXPECT_NE(d.out().find(keys[i]), std::string::npos) << keys[i] << " is not in the report";
  EXPECT_EQ(h.requests(87), 1);
  EXPECT_EQ(h.removal_lines().size(), keys.size());
  EXPECT_EQ(text_lines(h.admin("list 5")).size(), keys.size());
}

// A stop that comes while a batch's delete request waits for its reply
// ends the daemon as a stop does: status 0, nothing on standard error, the
// PID file removed.
TEST(DaemonBatch, AStopDuringABatchIsAnOrdinaryStop) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("fill 5 10.0.0.0 " + std::to_string(DUE_BATCH_KEYS + 1) + " 1");
  h.admin("fault hold 1000 0");
  const std::string pid = h.dir.file("pid");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-p", pid});
  ASSERT_TRUE(h.wait_for_requests(87, 1, LIMIT_MS));
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(d.err(), "");
  EXPECT_FALSE(wait_for_file(pid, 0));
}

// A stop that comes while a batch's info or delete request waits for its
// reply does not leave the batch behind: its lines were logged, so its
// requests are carried through (not given up a second after the stop),
// every logged entry is deleted, and the daemon then stops as ever. (The
// emulator deletes as the request comes, so for the delete request what
// shows is that the daemon waited for the reply: it ends only once the
// reply was let go.)
struct held_batch_case {
  const char* name;
  int opcode;  // the request the stop comes during
  long count;  // the number of such requests made once it has come
};

class DaemonBatchHeld : public testing::TestWithParam<held_batch_case> {};

TEST_P(DaemonBatchHeld, AStopWhileABatchWaitsDeletesEveryLoggedEntry) {
  const held_batch_case& c = GetParam();
  // Far longer than the second a stop waits for other requests.
  constexpr int HELD_MS = 4000;
  // More removal lines than the log socket queues while nobody reads it.
  constexpr int DUE = 40;
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string pid = h.dir.file("pid");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-p", pid});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  h.admin("fill 5 10.0.0.0 " + std::to_string(DUE) + " 1");
  std::set<std::string> due;
  for (const auto& l : text_lines(h.admin("list 5"))) due.insert(l.substr(0, l.find(' ')));
  ASSERT_EQ(due.size(), static_cast<size_t>(DUE));
  d.send(SIGHUP);
  // The cycle lists the table, then waits for room at syslogd among its
  // removal lines (the sink is not read meanwhile): its batch has not gone
  // yet when the reply to its info request is held back (for a while only,
  // when the stop is to come during the delete request: its reply is held
  // back while the info's is).
  ASSERT_TRUE(poll_until([&] { return h.requests(89) >= 2; }, LIMIT_MS));
  const bool during_delete = c.opcode == IP_FW_TABLE_XDEL;
  h.admin("fault hold " + std::to_string(during_delete ? 1500 : HELD_MS) + " 1");
  int64_t delete_held_at = 0;
  if (during_delete) {
    ASSERT_TRUE(h.wait_for_requests(IP_FW_TABLE_XINFO, 4, LIMIT_MS));
    delete_held_at = monotonic_ms();
    h.admin("fault hold " + std::to_string(HELD_MS) + " 1");
  }
  ASSERT_TRUE(h.wait_for_requests(c.opcode, c.count, LIMIT_MS));
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  if (during_delete) {
    EXPECT_GE(monotonic_ms() - delete_held_at, HELD_MS) << "the delete's reply was given up";
  }
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(d.err(), "");
  EXPECT_FALSE(wait_for_file(pid, 0)) << "the PID file stays";
  std::set<std::string> logged;
  for (const auto& l : h.removal_lines()) logged.insert(l.substr(14, l.find(' ', 14) - 14));
  EXPECT_EQ(logged, due);
  EXPECT_EQ(h.admin("list 5"), "") << "logged entries left in the table";
  EXPECT_EQ(h.requests(87), 1);
}

// The start's check, the first cycle's info, the second's, then the batch's.
INSTANTIATE_TEST_SUITE_P(Requests, DaemonBatchHeld,
                         testing::Values(held_batch_case{"Info", IP_FW_TABLE_XINFO, 4},
                                         held_batch_case{"Delete", IP_FW_TABLE_XDEL, 1}),
                         [](const testing::TestParamInfo<held_batch_case>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
