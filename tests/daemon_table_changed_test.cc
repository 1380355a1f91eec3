// SPDX-License-Identifier: BSD-2-Clause
// Deletions reach only the table that was listed, and count only what they
// removed: a table destroyed and made again under its name while a cycle
// deletes from its listing loses nothing that was not due in it, and a
// deletion the kernel answers "not there" is not a removal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 60000;  // only a hang reaches it

// The value of one sample of a metrics file, or "" when it has none.
std::string sample(const std::string& metrics, const std::string& name) {
  for (const auto& l : text_lines(metrics))
    if (l.starts_with(name + "{")) return l.substr(l.rfind(' ') + 1);
  return "";
}

// A deletion answered ENOENT (another client took the entry first) is
// passed over, logged as the Removing line always is, and not counted.
TEST(DaemonRemovedTotal, CountsOnlyEntriesTheKernelRemoved) {
  struct row {
    const char* name;
    const char* fault;
    std::string removed_total;
  };
  const row rows[] = {
      {"removed", "fault clear", "1"},
      {"not there any more", "fault fail delete ENOENT", "0"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    daemon_harness h;
    h.admin("create 5 type addr");
    h.admin("add 5 192.0.2.1 0");
    h.admin(r.fault);
    const std::string metrics = h.dir.file("metrics");
    child_process d = h.start({"-t", "5", "-f", "-1", "-m", metrics});
    exit_result res = h.wait_exit(d, LIMIT_MS);
    ASSERT_TRUE(res.finished);
    EXPECT_EQ(res.code, 0) << d.err();
    EXPECT_EQ(h.removal_lines(), std::vector<std::string>{"Removing host 192.0.2.1 from table 5"});
    EXPECT_EQ(sample(read_file(metrics), "hostreapd_removed_total"), r.removed_total);
  }
}

}  // namespace
