// SPDX-License-Identifier: BSD-2-Clause
// A table that goes away while the daemon runs, as a firewall reload takes
// it away and brings it back, met by the real daemon against a real fwemu
// server: with -w the daemon warns once, waits, and sweeps again when the
// table is back; without it (and for a one-shot -1) the daemon ends as it
// always did. Also what the metrics file shows meanwhile, and the start,
// which still refuses a table that is missing from the outset.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 15000;  // guards against hangs only

const std::string gone_text = "table 5 is gone; waiting for it to come back";
const std::string back_text = "table 5 is back";
constexpr int WARNING = 36;  // LOG_AUTH | LOG_WARNING
constexpr int NOTICE = 37;  // LOG_AUTH | LOG_NOTICE

// How often a message of this text and priority has arrived, and where the
// first one is among all of them (-1: nowhere).
struct logged {
  long count = 0;
  long first = -1;
};
logged find_logged(daemon_harness& h, const std::string& text, int priority) {
  logged l;
  const std::vector<syslog_message>& msgs = h.sink.messages();
  for (size_t i = 0; i < msgs.size(); i++) {
    if (msgs[i].text != text) continue;
    EXPECT_EQ(msgs[i].priority, priority) << msgs[i].raw;
    if (l.count++ == 0) l.first = static_cast<long>(i);
  }
  return l;
}

// Waits until the harness has seen n info requests in all; with a
// sweeper's PID, asking it for cycles meanwhile.
bool wait_for_infos(daemon_harness& h, long n, pid_t sweeper = -1) {
  return h.wait_for_requests(93, n, LIMIT_MS, sweeper);
}

// The samples of the metrics file, by metric (the label is table 5).
std::map<std::string, std::string> metrics_samples(const std::string& path) {
  std::map<std::string, std::string> samples;
  const std::regex sample_line("([a-z_]+)\\{table=\"5\"\\} (.+)");
  for (const auto& l : text_lines(read_file(path))) {
    std::smatch m;
    if (std::regex_match(l, m, sample_line)) samples[m[1]] = m[2];
  }
  return samples;
}

// Waits until the metrics file shows this value for the metric; with a
// sweeper's PID, asking it for cycles meanwhile.
bool wait_for_sample(daemon_harness& h, const std::string& path, const std::string& metric,
                     const std::string& value, pid_t sweeper = -1) {
  return poll_until(
      [&] {
        h.sink.messages();
        if (metrics_samples(path)[metric] == value) return true;
        if (sweeper > 0) send_if_caught(sweeper, SIGHUP);
        return false;
      },
      LIMIT_MS);
}

void stop_and_expect_clean_end(daemon_harness& h, child_process& d) {
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished) << "hangs";
  ASSERT_TRUE(r.exited) << "ended by signal " << r.signal;
  EXPECT_EQ(r.code, 0);
}

// The reload as it happens: the table destroyed after the first cycle and
// gone for three more, then created again and filled. The cycles after
// the first are asked for with SIGHUP, so that none comes between the
// reading of the first one's metrics and the destruction.
TEST(DaemonWait, ReloadedTableIsWaitedForAndSweptWhenItIsBack) {
  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.9 " + std::to_string(now + 7200));
  const std::string path = h.dir.file("hostreapd.prom");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-w", "-m", path});
  ASSERT_TRUE(wait_for_sample(h, path, "hostreapd_table_present", "1"));
  // With nothing due the list request is the cycle's last.
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  const std::map<std::string, std::string> before = metrics_samples(path);
  EXPECT_EQ(before.at("hostreapd_entries"), "1");

  h.admin("destroy 5");
  const long infos = h.requests(93);
  ASSERT_TRUE(wait_for_infos(h, infos + 3, d.pid)) << "the daemon stopped cycling";
  // The third cycle without the table has asked; once it has paused, the
  // metrics of all three are written.
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  EXPECT_TRUE(process_alive(d.pid));
  std::map<std::string, std::string> gone = metrics_samples(path);
  EXPECT_EQ(gone["hostreapd_table_present"], "0");
  for (const char* kept : {"hostreapd_entries", "hostreapd_due_entries", "hostreapd_removed_total",
                           "hostreapd_last_sweep_timestamp_seconds", "hostreapd_sweep_duration_seconds",
                           "hostreapd_next_expiry_timestamp_seconds"})
    EXPECT_EQ(gone[kept], before.at(kept)) << kept << " changed while the table was gone";
  EXPECT_EQ(find_logged(h, gone_text, WARNING).count, 1);
  EXPECT_EQ(find_logged(h, back_text, NOTICE).count, 0);

  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  h.admin("add 5 192.0.2.2 " + std::to_string(now + 3600));
  ASSERT_TRUE(wait_for_sample(h, path, "hostreapd_removed_total", "1", d.pid));
  EXPECT_EQ(metrics_samples(path)["hostreapd_table_present"], "1");
  stop_and_expect_clean_end(h, d);

  EXPECT_EQ(h.admin("list 5"), "192.0.2.2 " + std::to_string(now + 3600) + "\n");
  const logged warned = find_logged(h, gone_text, WARNING);
  const logged noticed = find_logged(h, back_text, NOTICE);
  EXPECT_EQ(warned.count, 1);
  EXPECT_EQ(noticed.count, 1);
  EXPECT_LT(warned.first, noticed.first);
  EXPECT_EQ(h.removal_lines(), std::vector<std::string>{"Removing host 192.0.2.1 from table 5"});
  // In the foreground both are on standard error too.
  EXPECT_EQ(d.err(), "hostreapd: " + gone_text + "\nhostreapd: " + back_text + "\n");
  EXPECT_EQ(d.out(), "");
}

// A table whose values begin with a field that cannot hold a time is
// warned of at the start and again when it comes back, once each, after
// the notice that it is back; its entries stay, due or not.
TEST(DaemonWait, ValuesThatCannotHoldATimeAreWarnedOfAgainWhenTheTableIsBack) {
  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  const std::string warning =
      "table 5: its values begin with nat, which cannot hold a time; its entries are never removed";
  h.admin("create 5 type addr valtype nat,tag");
  h.admin("add 5 192.0.2.1 nat=1,tag=" + std::to_string(now + 3600));
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-w"});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  EXPECT_EQ(find_logged(h, warning, WARNING).count, 1);

  h.admin("destroy 5");
  const long infos = h.requests(93);
  ASSERT_TRUE(wait_for_infos(h, infos + 2, d.pid)) << "the daemon stopped cycling";
  h.admin("create 5 type addr valtype nat,tag");
  h.admin("add 5 192.0.2.2 nat=2,tag=1");
  const long lists = h.requests(89);
  ASSERT_TRUE(h.wait_for_lists(lists + 2, LIMIT_MS, d.pid));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  stop_and_expect_clean_end(h, d);

  const logged warned = find_logged(h, warning, WARNING);
  EXPECT_EQ(warned.count, 2);
  const std::vector<std::string> left = text_lines(h.admin("list 5"));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left[0].starts_with("192.0.2.2 ")) << left[0];
  EXPECT_TRUE(h.removal_lines().empty());
  EXPECT_EQ(d.err(), "hostreapd: " + warning + "\nhostreapd: " + gone_text + "\nhostreapd: " + back_text +
                         "\nhostreapd: " + warning + "\n");
}

// ---------------------------------------------------------------------------
// A request of the first cycle finds the table missing.

enum class outcome {
  ends,  // the daemon ends with the status and message
  waits_for_it,  // -w: warns, goes on cycling; the table stays gone
  waits_until_back,  // -w: warns; the table is found again in the next cycle, which sweeps
};

struct missing_case {
  const char* name;
  std::vector<std::string> args;  // beside -t 5 -f -s 1
  const char* fault;
  outcome expected;
  int status;  // ends
  std::string message;  // ends: standard error after "hostreapd: "
  long removal_lines;  // "Removing host 192.0.2.1 from table 5" lines logged
};

const missing_case MISSING_CASES[] = {
    {"ListWithoutW",
     {},
     "fault fail list ESRCH",
     outcome::ends,
     71,
     "Error requesting table 5 list: No such process",
     0},
    {"ListOneShotIgnoresW",
     {"-w", "-1"},
     "fault fail list ESRCH",
     outcome::ends,
     71,
     "Error requesting table 5 list: No such process",
     0},
    {"ListWithW", {"-w"}, "fault fail list ESRCH", outcome::waits_until_back, 0, "", 1},
    {"DryRunWithW", {"-w", "-n"}, "fault fail list ESRCH", outcome::waits_until_back, 0, "", 0},
    // Destroyed between the listing and the deletion: the deletion's own
    // info request finds it gone.
    {"DestroyedAfterListingWithoutW",
     {},
     "fault destroy-after-list",
     outcome::ends,
     65,
     "Table 5 does not exist",
     1},
    {"DestroyedAfterListingWithW", {"-w"}, "fault destroy-after-list", outcome::waits_for_it, 0, "", 1},
    // The deletion request itself finds it gone; the table is there again
    // by the next cycle, which logs the entry once more and removes it.
    {"DeletionFindsItGoneWithoutW",
     {},
     "fault fail delete ESRCH",
     outcome::ends,
     71,
     "Deleting record failed: table not found",
     1},
    {"DeletionFindsItGoneWithW", {"-w"}, "fault fail delete ESRCH", outcome::waits_until_back, 0, "", 2},
};

void PrintTo(const missing_case& c, std::ostream* os) { *os << c.name; }

class DaemonTableMissing : public testing::TestWithParam<missing_case> {};

TEST_P(DaemonTableMissing, EndsOrWaitsAsAsked) {
  const missing_case& c = GetParam();
  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  const std::string waiting = "192.0.2.2 " + std::to_string(now + 3600);
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  h.admin("add 5 " + waiting);
  h.admin(c.fault);
  std::vector<std::string> args = {"-t", "5", "-f", "-s", "1"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  child_process d = h.start(args);
  const bool dry_run = std::find(c.args.begin(), c.args.end(), "-n") != c.args.end();

  if (c.expected == outcome::ends) {
    exit_result r = h.wait_exit(d, LIMIT_MS);
    ASSERT_TRUE(r.finished) << "hangs";
    ASSERT_TRUE(r.exited) << "ended by signal " << r.signal;
    EXPECT_EQ(r.code, c.status);
    EXPECT_EQ(d.err(), "hostreapd: " + c.message + "\n");
  } else {
    ASSERT_TRUE(h.sink.wait_for(gone_text, LIMIT_MS)) << d.err();
    if (c.expected == outcome::waits_until_back) {
      ASSERT_TRUE(h.sink.wait_for(back_text, LIMIT_MS));
      // The cycle that found it has swept: it has listed (a list request
      // after the failed one) and, unless in a dry run, removed the entry.
      ASSERT_TRUE(h.wait_for_lists(2, LIMIT_MS));
      if (!dry_run) poll_until([&] { return h.admin("list 5") == waiting + "\n"; }, LIMIT_MS);
    } else {
      // Three more cycles without the table.
      ASSERT_TRUE(wait_for_infos(h, h.requests(93) + 3));
    }
    EXPECT_TRUE(process_alive(d.pid));
    stop_and_expect_clean_end(h, d);
    const bool back = c.expected == outcome::waits_until_back;
    EXPECT_EQ(find_logged(h, gone_text, WARNING).count, 1);
    EXPECT_EQ(find_logged(h, back_text, NOTICE).count, back ? 1 : 0);
    EXPECT_EQ(d.err(), "hostreapd: " + gone_text + "\n" + (back ? "hostreapd: " + back_text + "\n" : ""));
    h.admin("fault clear");
    if (back) {
      EXPECT_EQ(h.admin("list 5"), dry_run ? "192.0.2.1 0\n" + waiting + "\n" : waiting + "\n");
    } else {
      EXPECT_EQ(h.emu.admin("list 5").status, 66) << "the table came back";  // no such table
    }
  }
  if (dry_run) {
    // Once for each cycle that found the entry due.
    std::vector<std::string> lines = text_lines(d.out());
    EXPECT_FALSE(lines.empty());
    for (const auto& l : lines) EXPECT_EQ(l, "would remove host 192.0.2.1 from table 5");
  }
  std::vector<std::string> removals = h.removal_lines();
  EXPECT_EQ(static_cast<long>(removals.size()), c.removal_lines);
  EXPECT_EQ(std::count(removals.begin(), removals.end(), "Removing host 192.0.2.1 from table 5"),
            c.removal_lines);
}

INSTANTIATE_TEST_SUITE_P(Requests, DaemonTableMissing, testing::ValuesIn(MISSING_CASES),
                         [](const testing::TestParamInfo<missing_case>& i) {
                           return std::string(i.param.name);
                         });

// -w waits only for a table the start found: one missing at the start is
// refused before detaching, where the caller sees it, and no PID file or
// daemon is left.
TEST(DaemonWait, TableMissingAtTheStartIsStillRefused) {
  daemon_harness h;
  const std::string pid_path = h.dir.file("hostreapd.pid");
  child_process d = h.start({"-t", "5", "-s", "1", "-w", "-p", pid_path});
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished) << "hangs";
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 71);
  EXPECT_EQ(d.err(), "hostreapd: failed to request table info: No such process\n");
  struct stat st;
  EXPECT_NE(stat(pid_path.c_str(), &st), 0) << "the PID file stays";
  EXPECT_TRUE(h.daemons().empty());
  EXPECT_TRUE(h.sink.texts().empty());
}

}  // namespace
