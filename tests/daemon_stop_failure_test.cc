// SPDX-License-Identifier: BSD-2-Clause
// A stop does not hide a failure: a request the kernel answers with a
// failure while the daemon is stopping is that failure, reported with its
// own status and message. Only a request the stop itself ended (the
// channel giving up its wait) is an ordinary stop.
#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

struct failure_case {
  const char* name;
  std::vector<std::string> args;
  const char* fault;
  int status;
  std::string err;  // a line of standard error, after "hostreapd: "
};

class DaemonStopDuringAFailure : public testing::TestWithParam<failure_case> {};

// The stop comes while the deletion's failed reply is on its way (every
// reply goes out a byte at a time, so the deletion's takes about half a
// second, well within the wait the channel grants after a stop): the
// daemon reads the failure after the stop has come.
TEST_P(DaemonStopDuringAFailure, EndsAsTheFailureDoes) {
  const failure_case& c = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  h.admin(c.fault);
  h.admin("fault drip 2 0");
  std::vector<std::string> args = {"-t", "5", "-f", "-s", "3600"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  child_process d = h.start(args);
  for (int waited = 0; h.requests(87) < 1 && waited < 60000; waited += 5) sleep_ms(5);
  ASSERT_EQ(h.requests(87), 1) << "no deletion was asked for";
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, 30000);
  ASSERT_TRUE(r.finished);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, c.status);
  if (c.err.empty()) {
    EXPECT_EQ(d.err(), "");
  } else {
    EXPECT_NE(d.err().find("hostreapd: " + c.err + "\n"), std::string::npos) << d.err();
  }
  EXPECT_EQ(h.removal_lines(), std::vector<std::string>{"Removing host 192.0.2.1 from table 5"});
}

INSTANTIATE_TEST_SUITE_P(Answers, DaemonStopDuringAFailure,
                         testing::Values(failure_case{"LockedTable",
                                                      {},
                                                      "fault fail delete EACCES",
                                                      71,
                                                      "Deleting record failed: table is locked"},
                                         failure_case{"TableGoneWithoutW",
                                                      {},
                                                      "fault fail delete ESRCH",
                                                      71,
                                                      "Deleting record failed: table not found"},
                                         // The kernel's own ECANCELED is a failure like any other:
                                         // only the channel's giving up is the stop.
                                         failure_case{"KernelCanceled",
                                                      {},
                                                      "fault fail delete ECANCELED",
                                                      71,
                                                      "Deleting record failed: Operation canceled"},
                                         // With -w a missing table is waited for, and the stop ends the wait.
                                         failure_case{"TableGoneWithW",
                                                      {"-w"},
                                                      "fault fail delete ESRCH",
                                                      0,
                                                      "table 5 is gone; waiting for it to come back"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
