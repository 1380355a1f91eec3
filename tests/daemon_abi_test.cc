// SPDX-License-Identifier: BSD-2-Clause
// A daemon built for one kernel's record layout, started against an
// emulator of the other kernel: the first request, the start-up check, is
// one the other kernel has no handler for, so the start is refused before
// anything is listed or removed. Runs in both builds (it starts the
// emulator with the layout this build is not for).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwtable/fw_records.h"
#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 15000;  // guards against hangs only

TEST(DaemonAbi, OtherKernelRefusesTheStartUpCheck) {
  const int other = FW_ABI == 15 ? 14 : 15;
  daemon_harness h(other);
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 1");  // long due

  for (bool foreground : {false, true}) {
    SCOPED_TRACE(foreground ? "in the foreground" : "detaching");
    std::vector<std::string> args = {"-t", "5", "-s", "1"};
    if (foreground) args.push_back("-f");
    child_process d = h.start(args);
    exit_result r = h.wait_exit(d, LIMIT_MS);
    ASSERT_TRUE(r.finished) << "hangs";
    ASSERT_TRUE(r.exited) << "ended by signal " << r.signal;
    EXPECT_EQ(r.code, 71);
    EXPECT_EQ(d.err(), "hostreapd: failed to request table info: Invalid argument\n");
    EXPECT_EQ(h.daemons(), std::vector<pid_t>{}) << "nothing stays running";
  }
  EXPECT_EQ(h.requests(93), 2);
  EXPECT_EQ(h.requests(89), 0);
  EXPECT_EQ(h.requests(87), 0);
  EXPECT_EQ(h.admin("list 5"), "192.0.2.1 1\n");
}

}  // namespace
