// SPDX-License-Identifier: BSD-2-Clause
// Tables as real systems have them, against a real emulator: a table known
// by its name rather than a number, tables whose time is in a field other
// than the legacy value (the mark, the first of several fields), and
// tables whose values are not times at all (an address, a value type the
// daemon does not know), which the daemon must never empty.
#include <signal.h>
#include <time.h>

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fwtable/fw_records.h"
#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 10000;  // guards against hangs only

struct table_entry {
  std::string key;  // as the emulator takes it and the daemon names it
  std::string value;  // as the emulator takes it
  bool due;
};

// The keys the emulator lists for a table.
std::set<std::string> keys_of(daemon_harness& h, const std::string& table) {
  std::set<std::string> keys;
  for (const auto& l : text_lines(h.admin("list " + table))) keys.insert(l.substr(0, l.find(' ')));
  return keys;
}

// The samples of a metrics file, by metric ("METRIC/REASON" for one
// labelled with a reason), each labelled with the table.
std::map<std::string, std::string> metrics_of(const std::string& text, const std::string& table) {
  std::map<std::string, std::string> samples;
  const std::regex sample_line(
      "([a-z_]+)\\{table=\"([^\"]*)\"(,reason=\"([a-z]+)\")?\\} (-?[0-9]+(\\.[0-9]+)?)");
  for (const auto& l : text_lines(text)) {
    std::smatch m;
    if (l.starts_with("#")) continue;
    if (!std::regex_match(l, m, sample_line)) {
      ADD_FAILURE() << "not a sample: " << l;
      continue;
    }
    EXPECT_EQ(m[2], table) << l;
    samples[m[4].matched ? m[1].str() + "/" + m[4].str() : m[1].str()] = m[5];
  }
  return samples;
}

// One cycle (-f -1) over table; expects status 0 and nothing on standard
// error.
void sweep_once(daemon_harness& h, const std::vector<std::string>& args) {
  child_process d = h.start(args);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();
  EXPECT_EQ(d.err(), "");
}

// A named table is asked for, logged, listed, previewed and labelled by its
// name; a numbered table beside it is left alone.
TEST(DaemonNamedTable, SweptListedAndLabelledByItsName) {
  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  const std::vector<table_entry> entries = {
      {"192.0.2.1", "0", true},
      {"192.0.2.9", std::to_string(now + 3600), false},
      {"198.51.100.0/24", std::to_string(now - 10), true},
      {"2001:db8::1", "1", true},
      {"2001:db8:1::/64", std::to_string(now + 7200), false},
  };
  h.admin("create blocklist type addr");
  for (const auto& e : entries) h.admin("add blocklist " + e.key + " " + e.value);
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");

  child_process listing = h.start({"-t", "blocklist", "-l"});
  ASSERT_TRUE(h.wait_exit(listing, LIMIT_MS).finished);
  EXPECT_EQ(listing.err(), "");
  std::vector<std::string> lines = text_lines(listing.out());
  ASSERT_EQ(lines.size(), entries.size() + 1) << listing.out();
  EXPECT_TRUE(lines.back().starts_with("5 entries, 3 due now, next due in ")) << lines.back();

  child_process preview = h.start({"-t", "blocklist", "-f", "-n", "-1"});
  ASSERT_TRUE(h.wait_exit(preview, LIMIT_MS).finished);
  std::set<std::string> shown;
  for (const auto& l : text_lines(preview.out())) shown.insert(l);
  std::set<std::string> would;
  for (const auto& e : entries)
    if (e.due) would.insert("would remove host " + e.key + " from table blocklist");
  EXPECT_EQ(shown, would);
  EXPECT_EQ(h.requests(87), 0);

  const std::string metrics = h.dir.file("hostreapd.prom");
  sweep_once(h, {"-t", "blocklist", "-f", "-1", "-m", metrics});
  std::set<std::string> removed;
  std::set<std::string> left;
  for (const auto& e : entries) {
    if (e.due)
      removed.insert("Removing host " + e.key + " from table blocklist");
    else
      left.insert(e.key);
  }
  const std::vector<std::string> lines_logged = h.removal_lines();
  EXPECT_EQ(std::set<std::string>(lines_logged.begin(), lines_logged.end()), removed);
  EXPECT_EQ(lines_logged.size(), removed.size());
  EXPECT_EQ(keys_of(h, "blocklist"), left);
  EXPECT_EQ(keys_of(h, "5"), std::set<std::string>{"192.0.2.1"});
  std::map<std::string, std::string> m = metrics_of(read_file(metrics), "blocklist");
  EXPECT_EQ(m["hostreapd_entries"], "5");
  EXPECT_EQ(m["hostreapd_due_entries"], "3");
  EXPECT_EQ(m["hostreapd_unremovable_entries"], "0");
  EXPECT_EQ(m["hostreapd_removed_total"], "3");
  // One cycle has no pause between cycles to tell.
  EXPECT_EQ(m.count("hostreapd_interval_seconds"), 0u);
}

// Every table the kernel can name can be swept: a number up to 65534 (the
// table "ipfw table 200 create" makes is named "200"), and a name of any of
// the name characters in any order, up to 63 of them, used whole in the
// request and the log line. Digits are a number, written back as one.
TEST(DaemonNamedTable, EveryTableTheKernelNamesIsSwept) {
  struct row {
    std::string given;  // -t
    std::string table;  // the table's name in the kernel and the log
  };
  const std::string longest = "1" + std::string(59, 'b') + "-._";
  ASSERT_EQ(longest.size(), 63u);
  const row rows[] = {
      {"200", "200"}, {"65534", "65534"}, {"007", "7"}, {"1abc", "1abc"},
      {"_x", "_x"},   {"a.b-c", "a.b-c"}, {"-5", "-5"}, {longest, longest},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.given);
    daemon_harness h;
    h.admin("create " + r.table + " type addr");
    h.admin("add " + r.table + " 192.0.2.1 0");
    h.admin("add " + r.table + " 192.0.2.2 4000000000");
    sweep_once(h, {"-t", r.given, "-f", "-1"});
    EXPECT_EQ(h.removal_lines(), std::vector<std::string>{"Removing host 192.0.2.1 from table " + r.table});
    EXPECT_EQ(keys_of(h, r.table), std::set<std::string>{"192.0.2.2"});
  }
}

// The time is the first field of the value, whatever type it is, so long
// as the field holds 32 bits: the mark alone, skipto before tag (FreeBSD
// 15's skipto; 14's is 16 bits, below), tag before mark, netgraph before
// limit, limit before mark.
TEST(DaemonValueTypes, SweptByTheFirstFieldOfTheValue) {
  const long now = static_cast<long>(time(nullptr));
  const std::string past = std::to_string(now - 10);
  const std::string ahead = std::to_string(now + 3600);
  struct table_case {
    std::string valtype;
    std::vector<table_entry> entries;
  };
  std::vector<table_case> cases = {
      {"mark", {{"192.0.2.1", "mark=" + past, true}, {"192.0.2.2", "mark=" + ahead, false}}},
      {"tag,mark",
       {{"192.0.2.1", "tag=" + past + ",mark=" + ahead, true},
        {"192.0.2.2", "tag=" + ahead + ",mark=1", false}}},
      {"netgraph,limit",
       {{"192.0.2.1", "netgraph=1,limit=" + ahead, true},
        {"192.0.2.2", "netgraph=" + ahead + ",limit=1", false}}},
      {"limit,mark",
       {{"192.0.2.1", "limit=" + past + ",mark=" + ahead, true},
        {"192.0.2.2", "limit=" + ahead + ",mark=1", false}}},
  };
  if (FW_ABI == 15)
    cases.push_back(
        {"skipto,tag",
         {{"192.0.2.1", "skipto=1,tag=" + ahead, true}, {"192.0.2.2", "skipto=" + ahead + ",tag=1", false}}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.valtype);
    daemon_harness h;
    h.admin("create t type addr valtype " + c.valtype);
    std::set<std::string> left;
    std::vector<std::string> removed;
    for (const auto& e : c.entries) {
      h.admin("add t " + e.key + " " + e.value);
      if (e.due)
        removed.push_back("Removing host " + e.key + " from table t");
      else
        left.insert(e.key);
    }
    sweep_once(h, {"-t", "t", "-f", "-1"});
    EXPECT_EQ(h.removal_lines(), removed);
    EXPECT_EQ(keys_of(h, "t"), left);
  }
}

// Values that are not a time, which atoi would have read as a time long
// past (an empty value as 0, 0.0.0.1 as 0, 192.0.2.2 as 192, 2001:db8::1
// as 2001, an IPv4 value ahead of a mark of 1), and values led by a field
// too narrow for a time (ipfw(8) keeps pipe, fib, nat and divert in 16
// bits and dscp in 6; FreeBSD 14's skipto is 16 bits), whose number is
// long past even where a time is ahead in the tag after it: nothing is
// removed in two cycles, -l marks every entry, the metrics count them as
// entries the sweep cannot remove, and a value led by a narrow field is
// warned of once, on standard error and in the log.
TEST(DaemonValueTypes, ValuesThatAreNotATimeAreNeverRemoved) {
  const long now = static_cast<long>(time(nullptr));
  const std::string past = std::to_string(now - 10);
  const std::string ahead = std::to_string(now + 3600);
  struct table_case {
    std::string valtype;
    std::vector<table_entry> entries;
    std::string narrow;  // the leading field warned of, if any
  };
  std::vector<table_case> cases = {
      {"0x1000", {{"192.0.2.1", "", false}, {"2001:db8::5", "", false}}, ""},
      {"ipv4", {{"192.0.2.1", "ipv4=192.0.2.2", false}, {"192.0.2.3", "ipv4=0.0.0.1", false}}, ""},
      {"ipv6", {{"192.0.2.1", "ipv6=2001:db8::1", false}}, ""},
      {"ipv4,mark", {{"192.0.2.1", "ipv4=192.0.2.2,mark=1", false}}, ""},
      {"pipe,tag",
       {{"192.0.2.1", "pipe=1,tag=" + ahead, false}, {"192.0.2.2", "pipe=2,tag=" + past, false}},
       "pipe"},
      {"fib,tag", {{"192.0.2.1", "fib=0,tag=" + ahead, false}}, "fib"},
      {"nat,tag", {{"192.0.2.1", "nat=31233,tag=" + ahead, false}}, "nat"},
      {"dscp,tag", {{"192.0.2.1", "dscp=1,tag=" + ahead, false}}, "dscp"},
      {"divert,netgraph", {{"192.0.2.1", "divert=1,netgraph=" + ahead, false}}, "divert"},
  };
  if (FW_ABI == 14)
    cases.push_back({"skipto,tag", {{"192.0.2.1", "skipto=1,tag=" + ahead, false}}, "skipto"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.valtype);
    daemon_harness h;
    h.admin("create t type addr valtype " + c.valtype);
    std::set<std::string> keys;
    for (const auto& e : c.entries) {
      h.admin("add t " + e.key + (e.value.empty() ? "" : " " + e.value));
      keys.insert(e.key);
    }
    const std::string count = std::to_string(c.entries.size());

    child_process listing = h.start({"-t", "t", "-l"});
    ASSERT_TRUE(h.wait_exit(listing, LIMIT_MS).finished);
    std::vector<std::string> lines = text_lines(listing.out());
    ASSERT_EQ(lines.size(), c.entries.size() + 1) << listing.out();
    for (size_t i = 0; i + 1 < lines.size(); i++) {
      EXPECT_TRUE(keys.count(lines[i].substr(0, lines[i].find(' ')))) << lines[i];
      EXPECT_TRUE(lines[i].ends_with(" - - - (never removed)")) << lines[i];
    }
    std::string summary = count;
    summary += " entries, 0 due now, none ahead, ";
    summary += count;
    summary += " never removed";
    EXPECT_EQ(lines.back(), summary);

    const std::string metrics = h.dir.file("hostreapd.prom");
    child_process d = h.start({"-t", "t", "-f", "-s", "3600", "-m", metrics});
    ASSERT_TRUE(h.wait_for_lists(3, LIMIT_MS, d.pid));  // the listing's, then two cycles
    ASSERT_TRUE(wait_for_file(metrics, LIMIT_MS, true));
    d.send(SIGTERM);
    exit_result r = h.wait_exit(d, LIMIT_MS);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0) << d.err();
    EXPECT_TRUE(h.removal_lines().empty());
    EXPECT_EQ(h.requests(87), 0);
    EXPECT_EQ(keys_of(h, "t"), keys);
    std::map<std::string, std::string> m = metrics_of(read_file(metrics), "t");
    EXPECT_EQ(m["hostreapd_entries"], count);
    EXPECT_EQ(m["hostreapd_due_entries"], "0");
    EXPECT_EQ(m["hostreapd_unremovable_entries"], count);
    EXPECT_EQ(m.count("hostreapd_next_expiry_timestamp_seconds"), 0u);

    const std::string warning = "table t: its values begin with " + c.narrow +
                                ", which cannot hold a time; its entries are never removed";
    std::vector<std::string> warnings;
    for (const auto& t : h.log_texts())
      if (t.find("cannot hold a time") != std::string::npos) warnings.push_back(t);
    if (c.narrow.empty()) {
      EXPECT_TRUE(warnings.empty());
      EXPECT_EQ(d.err(), "");
    } else {
      EXPECT_EQ(warnings, std::vector<std::string>{warning});
      EXPECT_EQ(d.err(), "hostreapd: " + warning + "\n");
    }
  }
}

}  // namespace
