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

}  // namespace
