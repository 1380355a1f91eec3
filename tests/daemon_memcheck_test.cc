// SPDX-License-Identifier: BSD-2-Clause
// Memory, as the daemon runs for real: the normal build of hostreapd under
// valgrind's memcheck against a real fwemu server, sweeping a table with
// deletions for a number of cycles and then stopped, or ending on a fatal
// error from deep inside a cycle, or, with -w, a cycle abandoned from deep
// inside it. No invalid read or write, no use of
// uninitialised memory, and no memory lost (definitely, indirectly or
// possibly) at the end; memcheck turns any of them into status 99.
//
// Not built into the sanitizer build (its own checks run there, and
// valgrind cannot run a sanitized program); skipped where valgrind is not
// installed.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 120000;  // memcheck is slow; this guards against hangs only

// valgrind's path, found in PATH; empty when it is not installed.
std::string find_valgrind() {
  const char* path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? "." : dir) + "/valgrind";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

struct memcheck_case {
  const char* name;
  const char* setup;  // administrative command before the start ("" for none)
  int status;  // 0: stopped with SIGTERM after some cycles
  const char* message;  // the fatal message on standard error
  bool wait;  // run with -w
  size_t logged_again;  // removal lines logged a second time (a batch abandoned, tried again)
};

const memcheck_case CASES[] = {
    {"SweepsThenStops", "", 0, "", false, 0},
    // The failure report and the exit from inside the nested deletion, with
    // the listing's buffer still held further up.
    {"EndsInTheDeletionReport", "lock 5", 71, "hostreapd: Deleting record failed: table is locked", false, 0},
    // A malformed reply: the listing's buffer is released before the end.
    {"EndsOnAMalformedListing", "fault corrupt-list past-end", 71,
     "hostreapd: Error requesting table 5 list: Bad message", false, 0},
    // A deletion that finds the table gone unwinds the cycle, the listing's
    // buffer held further up; the next cycle finds the table and sweeps,
    // logging again the four entries of the batch that was refused.
    {"WaitsOutADeletionThatFindsTheTableGone", "fault fail delete ESRCH", 0, "", true, 4},
};

void PrintTo(const memcheck_case& c, std::ostream* os) { *os << c.name; }

class DaemonMemcheck : public testing::TestWithParam<memcheck_case> {};

TEST_P(DaemonMemcheck, NoMemoryErrorAndNothingLost) {
  const std::string valgrind = find_valgrind();
  if (valgrind.empty()) GTEST_SKIP() << "valgrind is not installed";
  const memcheck_case& c = GetParam();

  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  h.admin("create 5 type addr");
  const std::vector<std::pair<std::string, long>> due = {
      {"192.0.2.1", 0}, {"198.51.100.0/24", now - 10}, {"2001:db8::1", 1}, {"2001:db8:1::/64", now - 1}};
  const std::vector<std::pair<std::string, long>> kept = {{"192.0.2.9", 4294967295L},
                                                          {"2001:db8::9", now + 3600}};
  for (const auto& [key, value] : due) h.admin("add 5 " + key + " " + std::to_string(value));
  for (const auto& [key, value] : kept) h.admin("add 5 " + key + " " + std::to_string(value));
  if (c.setup[0] != '\0') h.admin(c.setup);

  std::vector<std::string> argv = {valgrind,
                                   "--tool=memcheck",
                                   "--leak-check=full",
                                   "--errors-for-leak-kinds=definite,indirect,possible",
                                   "--error-exitcode=99",
                                   "--track-fds=no",
                                   HOSTREAPD_BIN,
                                   "-t",
                                   "5",
                                   "-f",
                                   "-s",
                                   "60"};
  if (c.wait) argv.push_back("-w");
  child_process d =
      child_process::start(h.sink.wrap(argv), h.dir.path, {"FWEMU_SOCKET=" + h.emu.socket_path()}, "");
  if (c.status == 0) {
    // Valgrind catches every signal itself, so SIGHUP is sent only once the
    // daemon's own handler is surely there: after its first cycle.
    EXPECT_TRUE(h.wait_for_lists(1, LIMIT_MS)) << "no cycle";
    EXPECT_TRUE(h.wait_for_lists(5, LIMIT_MS, d.pid)) << "fewer than five cycles";
    d.send(SIGTERM);
  }
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished) << "hangs";
  ASSERT_TRUE(r.exited) << "ended by signal " << r.signal;
  const std::string err = d.err();
  EXPECT_EQ(r.code, c.status) << err;
  EXPECT_TRUE(std::regex_search(err, std::regex("ERROR SUMMARY: 0 errors"))) << err;
  EXPECT_FALSE(std::regex_search(err, std::regex("ERROR SUMMARY: [1-9]"))) << err;
  if (c.status != 0) {
    EXPECT_NE(err.find(std::string(c.message) + "\n"), std::string::npos) << err;
  }

  if (c.status == 0) {
    // The sweep did its work under memcheck too.
    std::vector<std::string> want, listed;
    for (const auto& [key, value] : kept) want.push_back(key + " " + std::to_string(value));
    std::istringstream in(h.admin("list 5"));
    for (std::string line; std::getline(in, line);) listed.push_back(line);
    std::sort(want.begin(), want.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, want);
    EXPECT_EQ(h.removal_lines().size(), due.size() + c.logged_again);
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, DaemonMemcheck, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<memcheck_case>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
