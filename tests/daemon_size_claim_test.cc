// SPDX-License-Identifier: BSD-2-Clause
// Size claims a kernel makes, under a limit on the daemon's memory (an
// address-space limit; in the sanitizer build, the sanitizer's own limit
// on an allocation, since it cannot run under the other): a listing size
// beyond what the info record's own item count needs is not believed, and
// the cycle lists the table as ever; a claim the count bears out, but that
// no memory under the limit holds, drops the cycle (a reason of its own in
// the metrics, a warning) instead of ending the daemon; with -1 it ends it
// with 71 as a failed listing does.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

// Guards against hangs only.
constexpr int LIMIT_MS = 20000;
// The memory the daemon may have: far more than it needs, far less than
// the 4 GiB a claim asks for.
constexpr int MEMORY_LIMIT_MB = 1024;

// hostreapd with args, under the memory limit and the sink's /dev/log.
child_process start_limited(daemon_harness& h, const std::vector<std::string>& args) {
  std::vector<std::string> env = {"FWEMU_SOCKET=" + h.emu.socket_path()};
#if defined(HOSTREAPD_SANITIZED)
  // The sanitizer warns of each allocation it refuses; those warnings go to
  // standard error (where the test passes over them), not to a report
  // file the test command would take for a fault. A real report still ends
  // the daemon with another status than the test expects.
  const char* given = getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (given != nullptr ? std::string(given) + ":" : "") +
                "allocator_may_return_null=1:max_allocation_size_mb=" + std::to_string(MEMORY_LIMIT_MB) +
                ":log_path=stderr");
  const char* given_ub = getenv("UBSAN_OPTIONS");
  env.push_back(std::string("UBSAN_OPTIONS=") + (given_ub != nullptr ? std::string(given_ub) + ":" : "") +
                "log_path=stderr");
  std::vector<std::string> argv = {HOSTREAPD_BIN};
#else
  std::vector<std::string> argv = {
      "/bin/sh", "-c", "ulimit -v " + std::to_string(MEMORY_LIMIT_MB * 1024) + " && exec \"$0\" \"$@\"",
      HOSTREAPD_BIN};
#endif
  argv.insert(argv.end(), args.begin(), args.end());
  return child_process::start(h.sink.wrap(argv), h.dir.path, env);
}

// Standard error as the daemon wrote it: in the sanitizer build without the
// sanitizer's own warnings of an allocation it refused ("==PID==WARNING:
// ...", unless its log goes to a file).
std::string daemon_err(const child_process& d) {
  std::string out;
  for (const auto& l : text_lines(d.err()))
    if (!l.starts_with("==")) out += l + "\n";
  return out;
}

// The value of a sample in the metrics file's text, or "" when it has none.
std::string sample(const std::string& text, const std::string& series) {
  for (const auto& l : text_lines(text))
    if (l.starts_with(series + " ")) return l.substr(series.size() + 1);
  return "";
}

const std::string memory_series = "hostreapd_abandoned_cycles_total{table=\"5\",reason=\"memory\"}";
const std::string dropped_line =
    "table 5 could not be listed: no memory for its listing; sweeping it again next cycle";

// Two due entries and one that is not.
void fill_table(daemon_harness& h) {
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 1");
  h.admin("add 5 192.0.2.2 1");
  h.admin("add 5 192.0.2.3 4294967295");
}

// Claims 4 GiB for the table's one entry in the info replies of the check
// at the start and of the first cycle: the cycle lists the table from what
// its count allows (the kernel's ENOMEM answer then tells the size it
// needs) and sweeps it whole.
TEST(DaemonSizeClaim, AClaimBeyondTheItemCountIsNotBelieved) {
  daemon_harness h;
  fill_table(h);
  h.admin("fault claim 1 4294967295 2");
  const std::string metrics = h.dir.file("metrics");
  child_process d = start_limited(h, {"-t", "5", "-f", "-s", "3600", "-m", metrics});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS)) << d.err();
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS)) << d.err();
  EXPECT_EQ(h.admin("list 5"), "192.0.2.3 4294967295\n");
  EXPECT_EQ(sample(read_file(metrics), memory_series), "0");
  EXPECT_EQ(sample(read_file(metrics), "hostreapd_removed_total{table=\"5\"}"), "2");
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(daemon_err(d), "");
}

// A claim of 35 million entries and the 4 GiB they need: believed, and
// refused by the system. The cycle is dropped with a warning and counted;
// the next cycle (honest figures again) sweeps the table. With -1 the one
// cycle ends the daemon with 71.
TEST(DaemonSizeClaim, MemoryTheSystemRefusesDropsTheCycle) {
  const std::string claim = "fault claim 35000000 4200000296 2";
  {
    SCOPED_TRACE("sweeping");
    daemon_harness h;
    fill_table(h);
    h.admin(claim);
    const std::string metrics = h.dir.file("metrics");
    child_process d = start_limited(h, {"-t", "5", "-f", "-s", "3600", "-m", metrics});
    ASSERT_TRUE(h.sink.wait_for(dropped_line, LIMIT_MS)) << daemon_err(d);
    ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS)) << daemon_err(d);
    EXPECT_EQ(h.requests(89), 0) << "a list request without its buffer";
    EXPECT_EQ(text_lines(h.admin("list 5")).size(), 3u);
    EXPECT_EQ(sample(read_file(metrics), memory_series), "1");
    EXPECT_EQ(daemon_err(d), "hostreapd: " + dropped_line + "\n");
    d.send(SIGHUP);
    ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
    ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
    EXPECT_EQ(h.admin("list 5"), "192.0.2.3 4294967295\n");
    EXPECT_EQ(sample(read_file(metrics), memory_series), "1");
    d.send(SIGTERM);
    exit_result r = h.wait_exit(d, LIMIT_MS);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0);
  }
  {
    SCOPED_TRACE("-1");
    daemon_harness h;
    fill_table(h);
    h.admin(claim);
    child_process d = start_limited(h, {"-t", "5", "-f", "-1"});
    exit_result r = h.wait_exit(d, LIMIT_MS);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 71);
    EXPECT_EQ(daemon_err(d), "hostreapd: Error requesting table 5 list: Cannot allocate memory\n");
    EXPECT_EQ(text_lines(h.admin("list 5")).size(), 3u);
  }
}

}  // namespace
