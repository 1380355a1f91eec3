// SPDX-License-Identifier: BSD-2-Clause
// Deletions reach only the table that was listed, and count only what they
// removed: a table destroyed and made again under its name while a cycle
// deletes from its listing loses nothing that was not due in it, and a
// deletion the kernel answers "not there" is not a removal.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
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

// The table the daemon listed is destroyed and made again, right after the
// listing, as another table of the same name. The new table gets the old
// one's kernel index back (the lowest free one), as FreeBSD's kernel gives
// it: one of another type or value types is noticed, the cycle's deletions
// do not reach it, the change is logged once, and the next cycle sweeps it
// by its own rules; one of the same type and value types cannot be told
// from the old (the remaining race of a reload that builds the table
// identically), and the cycle's deletions of the listed keys reach it.
struct recreation {
  const char* name;
  std::string as;  // the new table's settings and entries, as the fault takes them
  bool noticed;  // whether the cycle sees the table changed
  std::vector<std::string> left;  // the new table's entries after the next cycle, as listed
};

const recreation RECREATIONS[] = {
    // Same type and value types: the listed due keys 192.0.2.1 and
    // 192.0.2.2 are deleted from the new table, 192.0.2.1 renewed in it
    // too; the next cycle sweeps it.
    {"AddressTableRenewed",
     "type addr add 192.0.2.1 4000000000 add 192.0.2.3 4000000000",
     false,
     {"192.0.2.3 4000000000"}},
    {"AddressTableRenewedWithADueEntry", "type addr add 192.0.2.1 4000000000 add 192.0.2.4 0", false, {}},
    {"InterfaceTable", "type iface add 192. 0 add em0 0", true, {"192. 0", "em0 0"}},
    {"NumberTable", "type number add 10 0", true, {"10 0"}},
    {"FlowTable", "type flow:src-ip add 192.0.2.1 0", true, {"192.0.2.1 0"}},
    {"AddressValues", "type addr valtype ipv4 add 192.0.2.1 ipv4=192.0.2.9", true, {"192.0.2.1 192.0.2.9"}},
    {"MarkValues",
     "type addr valtype mark add 192.0.2.1 mark=0 add 192.0.2.5 mark=4000000000",
     true,
     {"192.0.2.5 4000000000"}},
};

void PrintTo(const recreation& r, std::ostream* os) { *os << r.name; }

class DaemonTableChanged : public testing::TestWithParam<std::tuple<recreation, bool>> {};

TEST_P(DaemonTableChanged, DeletesFromTheNewTableOnlyWhatItCannotTellAndSweepsItNextCycle) {
  const auto& [r, wait] = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  h.admin("add 5 192.0.2.2 0");
  h.admin("add 5 198.51.100.1 4000000000");
  h.admin("fault recreate-after-list " + r.as);
  std::vector<std::string> args = {"-t", "5", "-f", "-s", "1"};
  if (wait) args.push_back("-w");
  child_process d = h.start(args);
  const std::string notice = "table 5 changed during the sweep; sweeping it again next cycle";
  // A cycle that cannot tell goes on to the last due key it listed.
  const std::string seen = r.noticed ? notice : "Removing host 192.0.2.2 from table 5";
  ASSERT_TRUE(h.sink.wait_for(seen, LIMIT_MS)) << d.err();
  // The cycle after it lists the new table and sweeps it.
  const long lists = h.requests(89);
  ASSERT_TRUE(h.wait_for_lists(lists + 2, LIMIT_MS, d.pid)) << d.err();
  d.send(SIGTERM);
  exit_result res = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(res.finished);
  EXPECT_EQ(res.code, 0) << d.err();

  const std::vector<std::string> texts = h.log_texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), notice), r.noticed ? 1 : 0);
  std::vector<std::string> left = text_lines(h.admin("list 5"));
  std::vector<std::string> want = r.left;
  std::sort(left.begin(), left.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(left, want);
}

// A cycle abandoned because the table changed leaves the metrics file
// with the figures of the last whole cycle, not with what the abandoned one
// had tallied before it stopped (its entries up to the first due one), and
// counts itself among the abandoned cycles.
TEST(DaemonTableChangedMetrics, KeepTheLastWholeCycle) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  h.admin("add 5 192.0.2.2 0");
  h.admin("add 5 198.51.100.1 4000000000");
  h.admin("add 5 198.51.100.2 3000000000");
  const std::string metrics = h.dir.file("metrics");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-m", metrics});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS)) << d.err();
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS)) << d.err();
  const std::string whole = read_file(metrics);
  EXPECT_EQ(sample(whole, "hostreapd_entries"), "4");
  EXPECT_EQ(sample(whole, "hostreapd_due_entries"), "2");
  EXPECT_EQ(sample(whole, "hostreapd_next_expiry_timestamp_seconds"), "3000000000");

  // The next cycle lists due entries and finds the table made anew, with
  // other value types (the check sees that; an identical table made anew
  // usually gets its old kernel index back and is not seen), at the info
  // request of its first batch of deletions.
  h.admin("fill 5 10.0.0.1 20 0");
  h.admin("fault recreate-after-list type addr valtype mark add 192.0.2.9 mark=4000000000");
  d.send(SIGHUP);
  ASSERT_TRUE(h.sink.wait_for("table 5 changed during the sweep; sweeping it again next cycle", LIMIT_MS))
      << d.err();
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS)) << d.err();
  const std::string after = read_file(metrics);
  for (const char* name :
       {"hostreapd_table_present", "hostreapd_entries", "hostreapd_due_entries",
        "hostreapd_unremovable_entries", "hostreapd_removed_total", "hostreapd_last_sweep_timestamp_seconds",
        "hostreapd_sweep_duration_seconds", "hostreapd_next_expiry_timestamp_seconds"})
    EXPECT_EQ(sample(after, name), sample(whole, name)) << name;
  auto abandoned = [](const std::string& text, const char* reason) {
    const std::string series =
        std::string("hostreapd_abandoned_cycles_total{table=\"5\",reason=\"") + reason + "\"} ";
    for (const auto& l : text_lines(text))
      if (l.starts_with(series)) return l.substr(series.size());
    return std::string();
  };
  EXPECT_EQ(abandoned(whole, "changed"), "0");
  EXPECT_EQ(abandoned(after, "changed"), "1");
  EXPECT_EQ(abandoned(after, "grew"), "0");
  EXPECT_EQ(abandoned(after, "gone"), "0");
  d.send(SIGTERM);
  exit_result res = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(res.finished);
  EXPECT_EQ(res.code, 0) << d.err();
}

INSTANTIATE_TEST_SUITE_P(Recreated, DaemonTableChanged,
                         testing::Combine(testing::ValuesIn(RECREATIONS), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "WithW" : "WithoutW");
                         });

}  // namespace
