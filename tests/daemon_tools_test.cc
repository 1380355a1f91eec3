// SPDX-License-Identifier: BSD-2-Clause
// The operator's tools as a user meets them, against a real emulator: the
// listing of what is left and when it goes (-l), the dry run (-n), one sweep
// and out (-1), the metrics file (-m), and SIGHUP, which asks for a cycle
// now.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/due_batch.h"
#include "tests/support/daemon_harness.h"

namespace {

// Limits that only guard against a hang; nothing here measures speed.
constexpr int LIMIT_MS = 10000;

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

struct table_entry {
  std::string key;  // as the emulator takes it and the daemon names it
  long value;
  bool due;
};

// Table 5 with due and waiting IPv4 and IPv6 hosts and prefixes, in an
// order that is neither the listing's nor the expiry's.
std::vector<table_entry> fill_table(daemon_harness& h, long now) {
  std::vector<table_entry> all = {
      {"192.0.2.9", now + 7200, false},      {"198.51.100.0/24", now - 10, true},    {"2001:db8::1", 1, true},
      {"203.0.113.128/25", now + 60, false}, {"2001:db8:1::/64", now + 3600, false}, {"192.0.2.1", 0, true},
      {"192.0.2.2", now + 60, false},
  };
  h.admin("create 5 type addr");
  for (const auto& e : all) h.admin("add 5 " + e.key + " " + std::to_string(e.value));
  return all;
}

std::string local_date(long t, const char* before = "") {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  localtime_r(&tt, &tm);
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm);
  // Appended to what comes before it: "text" + a returned string builds
  // the result by inserting at the front, which GCC 12 at -O3 flags as a
  // possibly overlapping copy (-Wrestrict).
  std::string out = before;
  out += text;
  return out;
}

TEST(DaemonListing, ListsEveryAddressEntryByExpiryAndChangesNothing) {
  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  std::vector<table_entry> entries = fill_table(h, now);
  // The sweep passes over an IPv4-compatible IPv6 address: it has no key a
  // deletion could name.
  h.admin("add 5 ::192.0.2.7 5");
  const std::string before = h.admin("list 5");

  child_process d = h.start({"-t", "5", "-l"});
  exit_result r = h.wait_exit(d, LIMIT_MS);
  const long after = static_cast<long>(time(nullptr));
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();
  EXPECT_EQ(d.err(), "");

  std::vector<table_entry> expected = entries;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const table_entry& a, const table_entry& b) { return a.value < b.value; });
  std::vector<std::string> out = text_lines(d.out());
  ASSERT_EQ(out.size(), entries.size() + 2) << d.out();
  // By expiry: 0, 1, the passed-over entry (5), then the rest; the two of
  // now + 60 in listing order (key order: 192.0.2.2 before
  // 203.0.113.128/25).
  const std::vector<std::string> order = {"192.0.2.1",       "2001:db8::1", "::192.0.2.7",
                                          "198.51.100.0/24", "192.0.2.2",   "203.0.113.128/25",
                                          "2001:db8:1::/64", "192.0.2.9"};
  for (size_t i = 0; i + 1 < out.size(); i++) {
    SCOPED_TRACE(out[i]);
    std::vector<std::string> w = words(out[i]);
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(w[0], order[i]);
    if (order[i] == "::192.0.2.7") {
      EXPECT_EQ(w[1], "5");
      EXPECT_TRUE(out[i].ends_with(" (never removed)"));
      continue;
    }
    auto e =
        std::find_if(entries.begin(), entries.end(), [&](const table_entry& x) { return x.key == w[0]; });
    ASSERT_NE(e, entries.end());
    EXPECT_EQ(w[1], std::to_string(e->value));
    // Seconds until due: expiry + 1 - now, with now somewhere in the run.
    long left = atol(w[2].c_str());
    EXPECT_LE(left, e->value + 1 - now);
    EXPECT_GE(left, e->value + 1 - after);
    EXPECT_EQ(left <= 0, e->due);
    EXPECT_NE(out[i].find(local_date(e->value, " ")), std::string::npos);
    EXPECT_FALSE(out[i].ends_with("(never removed)"));
  }
  // The next one, of now + 60, is due from the second after it.
  const std::string summary = "8 entries, 3 due now, next due in ";
  ASSERT_TRUE(out.back().starts_with(summary)) << out.back();
  long next_in = atol(out.back().c_str() + summary.size());
  EXPECT_LE(next_in, 61);
  EXPECT_GE(next_in, 61 - (after - now));
  EXPECT_TRUE(out.back().ends_with(local_date(now + 61, " s at ") + ", 1 never removed")) << out.back();

  EXPECT_EQ(h.admin("list 5"), before);
  EXPECT_EQ(h.requests(87), 0);
  EXPECT_EQ(h.requests(93), 1);
  EXPECT_EQ(h.requests(89), 1);
  EXPECT_EQ(h.sink.messages().size(), 0u) << "a listing logs nothing";
}

// Local dates across changes of the clock's offset: each line's date is
// what localtime gives for its expiry, also where the offset changes
// within the listing (Berlin's change to summer time, Lord Howe's
// half-hour change).
TEST(DaemonListing, DatesAcrossAChangeOfOffset) {
  for (const char* zone : {"Europe/Berlin", "Australia/Lord_Howe"}) {
    SCOPED_TRACE(zone);
    if (access((std::string("/usr/share/zoneinfo/") + zone).c_str(), R_OK) != 0) GTEST_SKIP() << "no tzdata";
    setenv("TZ", zone, 1);
    tzset();
    daemon_harness h;
    h.admin("create 5 type addr");
    // 2026-03-29 01:00:00 UTC (Berlin) and 2026-04-04 15:00:00 UTC (Lord
    // Howe), and the seconds about them.
    std::vector<long> times;
    for (long at : {1774746000L, 1775314800L})
      for (long d : {-61L, -60L, -1L, 0L, 1L, 59L, 60L}) times.push_back(at + d);
    for (size_t i = 0; i < times.size(); i++)
      h.admin("add 5 192.0.2." + std::to_string(i + 1) + " " + std::to_string(times[i]));
    child_process d = h.start({"-t", "5", "-l"});
    ASSERT_TRUE(h.wait_exit(d, LIMIT_MS).finished);
    std::vector<std::string> out = text_lines(d.out());
    ASSERT_EQ(out.size(), times.size() + 1);
    for (size_t i = 0; i < times.size(); i++) {
      std::vector<std::string> w = words(out[i]);
      ASSERT_GE(w.size(), 4u);
      EXPECT_EQ(w[1], std::to_string(times[i]));
      EXPECT_TRUE(out[i].ends_with(local_date(times[i], " "))) << out[i];
    }
    unsetenv("TZ");
    tzset();
  }
}

TEST(DaemonListing, EmptyTableAndRefusals) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("create 6 type number");
  run_output r =
      run_program({HOSTREAPD_BIN, "-t", "5", "-l"}, h.dir.path, {"FWEMU_SOCKET=" + h.emu.socket_path()});
  EXPECT_EQ(r.status.code, 0);
  EXPECT_EQ(r.out, "0 entries, 0 due now, none ahead\n");

  struct refusal {
    std::string table;
    int status;
    std::string err;
  };
  for (const refusal& c : {refusal{"6", 64, "hostreapd: table 6 is not an address table\n"},
                           refusal{"7", 71, "hostreapd: failed to request table info: No such process\n"}}) {
    r = run_program({HOSTREAPD_BIN, "-t", c.table, "-l"}, h.dir.path,
                    {"FWEMU_SOCKET=" + h.emu.socket_path()});
    EXPECT_EQ(r.status.code, c.status) << c.table;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

TEST(DaemonDryRun, ShowsEachDueEntryOnceAndRemovesNothing) {
  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  std::vector<table_entry> entries = fill_table(h, now);
  const std::string before = h.admin("list 5");

  child_process d = h.start({"-t", "5", "-f", "-n", "-1"});
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();
  EXPECT_EQ(d.err(), "");
  std::set<std::string> shown;
  for (const auto& l : text_lines(d.out())) EXPECT_TRUE(shown.insert(l).second) << "twice: " << l;
  std::set<std::string> want;
  for (const auto& e : entries)
    if (e.due) want.insert("would remove host " + e.key + " from table 5");
  EXPECT_EQ(shown, want);
  EXPECT_EQ(h.admin("list 5"), before);
  EXPECT_EQ(h.requests(87), 0);
  EXPECT_EQ(h.log_texts(), (std::vector<std::string>{"starting....", "dry run: nothing is removed"}));
}

TEST(DaemonDryRun, DetachedIsRefusedWithTheUsageText) {
  daemon_harness h;
  h.admin("create 5 type addr");
  child_process d = h.start({"-t", "5", "-n"});
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(d.err().rfind("hostreapd: a dry run needs -f\n\nUsage: hostreapd -t table", 0), 0u) << d.err();
  EXPECT_EQ(h.requests(93), 0);
}

TEST(DaemonOnce, RemovesExactlyTheDueEntriesAndEndsWithItsShutdown) {
  for (bool detach : {false, true}) {
    SCOPED_TRACE(detach ? "detached" : "foreground");
    daemon_harness h;
    const long now = static_cast<long>(time(nullptr));
    std::vector<table_entry> entries = fill_table(h, now);
    const std::string pid_path = h.dir.file("pid");
    std::vector<std::string> args = {"-t", "5", "-1", "-p", pid_path};
    if (!detach) args.push_back("-f");
    child_process d = h.start(args);
    exit_result r = h.wait_exit(d, LIMIT_MS);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0) << d.err();
    if (detach) {
      // The detached one sweeps once and goes, taking its PID file along.
      ASSERT_TRUE(h.wait_no_daemons(LIMIT_MS));
      poll_until([&] { return h.removal_lines().size() >= 3; }, LIMIT_MS);
    }
    EXPECT_FALSE(wait_for_file(pid_path, 0));
    std::string left = h.admin("list 5");
    for (const auto& e : entries)
      EXPECT_EQ(left.find(e.key + " ") == std::string::npos, e.due) << e.key << " in\n" << left;
    EXPECT_EQ(h.removal_lines().size(), 3u);
    EXPECT_EQ(h.requests(89), 1);
  }
}

TEST(DaemonSweepNow, SighupEndsThePauseAndABurstDuringACycleGivesOneMore) {
  daemon_harness h;
  h.admin("create 5 type addr");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600"});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));

  // In the long pause: an entry due now leaves at the next SIGHUP.
  h.admin("add 5 192.0.2.1 0");
  d.send(SIGHUP);
  ASSERT_TRUE(h.wait_for_lists(2, LIMIT_MS));
  poll_until([&] { return !h.removal_lines().empty(); }, LIMIT_MS);
  EXPECT_EQ(h.removal_lines(), std::vector<std::string>{"Removing host 192.0.2.1 from table 5"});
  EXPECT_TRUE(process_alive(d.pid));

  // A burst while a cycle's first reply is held back: one more cycle, not
  // ten.
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  const long infos = h.requests(93);
  h.admin("fault hold 2000 1");
  d.send(SIGHUP);
  ASSERT_TRUE(h.wait_for_requests(93, infos + 1, LIMIT_MS));
  for (int i = 0; i < 10; i++) d.send(SIGHUP);
  // The held cycle ends, one more follows; then the daemon pauses, with
  // nothing more to do: a cycle for the rest of the burst would have come
  // before the pause.
  ASSERT_TRUE(h.wait_for_lists(4, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  EXPECT_EQ(h.requests(89), 4);
  EXPECT_TRUE(process_alive(d.pid));
  d.send(SIGTERM);
  exit_result r = d.wait(LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(d.err(), "");
}

// The metrics file's samples, by metric (and reason, "METRIC/REASON", for
// one labelled with a reason), once the file parses as the text format:
// every sample's metric declared by a # TYPE line before it.
std::map<std::string, std::string> parse_metrics(const std::string& text) {
  std::map<std::string, std::string> samples;
  std::set<std::string> typed;
  const std::regex type_line("# TYPE ([a-z_]+) (gauge|counter)");
  const std::regex sample_line("([a-z_]+)\\{table=\"5\"(,reason=\"([a-z]+)\")?\\} (-?[0-9]+(\\.[0-9]+)?)");
  for (const auto& l : text_lines(text)) {
    std::smatch m;
    if (l.starts_with("# HELP ")) continue;
    if (std::regex_match(l, m, type_line)) {
      typed.insert(m[1]);
    } else if (std::regex_match(l, m, sample_line)) {
      EXPECT_TRUE(typed.count(m[1])) << "undeclared: " << l;
      samples[m[3].matched ? m[1].str() + "/" + m[3].str() : m[1].str()] = m[4];
    } else {
      ADD_FAILURE() << "not the text format: " << l;
    }
  }
  return samples;
}

std::vector<std::string> dir_names(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0))
      out.push_back(e->d_name);
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(DaemonMetrics, WrittenAfterEveryCycleAndCountingRemovals) {
  daemon_harness h;
  const long now = static_cast<long>(time(nullptr));
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  h.admin("add 5 192.0.2.2 " + std::to_string(now + 3600));
  const std::string dir = h.dir.file("metrics");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  // A relative path, from the starting directory.
  child_process d =
      h.start({"-t", "5", "-f", "-s", "3600", "-m", "metrics/hostreapd.prom"}, true, 0, h.dir.path);
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  const std::string path = dir + "/hostreapd.prom";
  ASSERT_TRUE(wait_for_file(path, LIMIT_MS, true));
  std::map<std::string, std::string> first = parse_metrics(read_file(path));
  EXPECT_EQ(first["hostreapd_entries"], "2");
  EXPECT_EQ(first["hostreapd_due_entries"], "1");
  EXPECT_EQ(first["hostreapd_removed_total"], "1");
  EXPECT_EQ(first["hostreapd_next_expiry_timestamp_seconds"], std::to_string(now + 3600));
  EXPECT_EQ(first["hostreapd_table_present"], "1");
  EXPECT_EQ(first["hostreapd_unremovable_entries"], "0");
  for (const char* reason : {"grew", "changed", "gone", "memory"})
    EXPECT_EQ(first[std::string("hostreapd_abandoned_cycles_total/") + reason], "0") << reason;
  EXPECT_EQ(first["hostreapd_log_lines_dropped_total"], "0");
  EXPECT_EQ(first["hostreapd_interval_seconds"], "3600");
  EXPECT_EQ(first.size(), 14u);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  // Two more due entries, then the second cycle.
  h.admin("add 5 192.0.2.3 1");
  h.admin("add 5 192.0.2.4 2");
  d.send(SIGHUP);
  std::map<std::string, std::string> second;
  poll_until(
      [&] {
        second = parse_metrics(read_file(path));
        return second["hostreapd_removed_total"] != "1";
      },
      LIMIT_MS);
  EXPECT_EQ(second["hostreapd_removed_total"], "3");
  EXPECT_EQ(second["hostreapd_entries"], "3");
  EXPECT_EQ(second["hostreapd_due_entries"], "2");
  EXPECT_GE(atol(second["hostreapd_last_sweep_timestamp_seconds"].c_str()), now);
  EXPECT_EQ(dir_names(dir), std::vector<std::string>{"hostreapd.prom"}) << "a temporary file stays";
  d.send(SIGTERM);
  ASSERT_TRUE(d.wait(LIMIT_MS).finished);
}

// The metrics file's directory removed under the daemon: every write
// fails from then on, and the sweep goes on.
TEST(DaemonMetrics, AFileThatCannotBeWrittenNeverStopsTheSweep) {
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string dir = h.dir.file("metrics");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string path = dir + "/hostreapd.prom";
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-m", path});
  ASSERT_TRUE(wait_for_file(path, LIMIT_MS, true));
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  h.admin("add 5 192.0.2.1 0");
  ASSERT_TRUE(h.wait_for_lists(h.requests(89) + 2, LIMIT_MS, d.pid));
  EXPECT_TRUE(process_alive(d.pid));
  EXPECT_EQ(h.removal_lines(), std::vector<std::string>{"Removing host 192.0.2.1 from table 5"});
  // One warning for the whole streak of failures.
  const std::string warning = "cannot write metrics file " + path + ": No such file or directory";
  std::vector<syslog_message> msgs = h.sink.messages();
  long warnings = std::count_if(msgs.begin(), msgs.end(), [&](const syslog_message& m) {
    return m.text == warning && m.priority == 36;  // LOG_AUTH | LOG_WARNING
  });
  EXPECT_EQ(warnings, 1);
  d.send(SIGTERM);
  exit_result r = d.wait(LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(d.err(), "hostreapd: " + warning + "\n");
}

// A metrics path too long to be made absolute is refused at the start,
// before anything reaches the firewall.
TEST(DaemonMetrics, PathTooLongIsRefusedAtTheStart) {
  daemon_harness h;
  h.admin("create 5 type addr");
  // A path of 1024 characters, one more than the writer takes.
  const std::string path = "/" + std::string(1023, 'm');
  child_process d = h.start({"-t", "5", "-f", "-m", path});
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 64);
  EXPECT_EQ(d.err(), "hostreapd: metrics file " + path + ": File name too long\n");
  EXPECT_EQ(h.requests(93), 0);
}

// A stop during a long cycle of deletions ends the daemon after the entry
// in hand: every entry it logged is gone (the batch it had gathered is
// sent), every other one still there, and the next start removes the rest.
TEST(DaemonStopMidCycle, EndsAfterTheEntryInHandAndTheNextStartRemovesTheRest) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("fill 5 10.0.0.0 10000 0");
  // Every reply held back a little, and each log line waits for the test
  // to read the one before it from the sink, so the stop lands in the
  // cycle however long this test is kept from sending it.
  h.admin("fault hold 10 0");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600"});
  poll_until([&] { return h.removal_lines().size() >= 100; }, LIMIT_MS, 1);
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0);
  std::set<std::string> logged;
  for (const auto& l : h.removal_lines()) logged.insert(words(l)[2]);
  std::set<std::string> left;
  for (const auto& l : text_lines(h.admin("list 5"))) left.insert(words(l)[0]);
  ASSERT_GE(logged.size(), 100u);
  EXPECT_LT(logged.size(), 10000u) << "the stop waited for the whole cycle";
  EXPECT_EQ(logged.size() + left.size(), 10000u);
  for (const auto& k : logged) EXPECT_EQ(left.count(k), 0u) << k << " logged but still there";
  // The deletions went in full batches and the rest of what was logged in
  // one more, at the walk's end.
  EXPECT_EQ(h.requests(87), static_cast<long>((logged.size() + DUE_BATCH_KEYS - 1) / DUE_BATCH_KEYS));

  h.admin("fault clear");
  child_process again = h.start({"-t", "5", "-f", "-1"});
  r = h.wait_exit(again, 60000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(h.admin("list 5"), "");
}

// With standard output a pipe nobody reads, the dry run's lines block the
// write; a stop still ends the daemon.
TEST(DaemonStopMidCycle, BlockedStandardOutputDoesNotHoldAStop) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("fill 5 10.0.0.0 10000 0");
  // Standard output is a FIFO that is open for reading but never read.
  const std::string fifo = h.dir.file("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  child_process d =
      child_process::start({"/bin/sh", "-c", "exec \"$0\" -t 5 -f -n -s 3600 >\"$1\"", HOSTREAPD_BIN, fifo},
                           h.dir.path, {"FWEMU_SOCKET=" + h.emu.socket_path()});
  // The FIFO fills (64 KiB is some 1700 lines) and the daemon blocks.
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_syscall(d.pid, SYS_write, LIMIT_MS)) << "the daemon does not block writing";
  d.send(SIGTERM);
  exit_result r = d.wait(LIMIT_MS);
  close(reader);
  ASSERT_TRUE(r.finished) << "the stop was held by the blocked write";
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0);
}

// SIGHUP never ends the daemon, not even one that is already there while
// it starts: in the foreground it asks for a cycle, and a daemon that
// detaches runs as usual.
TEST(DaemonSweepNow, SighupWhileStartingDoesNotEndTheDaemon) {
  for (bool detach : {false, true}) {
    SCOPED_TRACE(detach ? "detached" : "foreground");
    daemon_harness h;
    h.admin("create 5 type addr");
    std::vector<std::string> args = {"-t", "5", "-s", "3600"};
    if (!detach) args.push_back("-f");
    child_process d = h.start(args, false, SIGHUP);
    pid_t pid = d.pid;
    if (detach) {
      exit_result started = h.wait_exit(d, LIMIT_MS);
      ASSERT_TRUE(started.finished);
      EXPECT_EQ(started.code, 0);
      pid = h.find_daemon(LIMIT_MS);
      ASSERT_GT(pid, 0);
    }
    // The first cycle, and in the foreground the one the signal asked for;
    // then the pause, with nothing more to do.
    ASSERT_TRUE(h.wait_for_lists(detach ? 1 : 2, LIMIT_MS));
    ASSERT_TRUE(h.wait_in_pause(pid, LIMIT_MS));
    EXPECT_TRUE(process_alive(pid));
    EXPECT_EQ(h.requests(89), detach ? 1 : 2);
    kill(pid, SIGTERM);
    EXPECT_TRUE(h.wait_gone(pid, LIMIT_MS));
    if (!detach) {
      exit_result r = d.wait(LIMIT_MS);
      ASSERT_TRUE(r.finished);
      EXPECT_EQ(r.code, 0);
    }
  }
}

// A listing that cannot be written says so and ends with 74.
TEST(DaemonListing, UnwritableOutputEndsWith74) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("fill 5 10.0.0.0 1000 0");
  run_output r = run_program({"/bin/sh", "-c", "exec \"$0\" -t 5 -l >/dev/full", HOSTREAPD_BIN}, h.dir.path,
                             {"FWEMU_SOCKET=" + h.emu.socket_path()});
  ASSERT_TRUE(r.status.finished);
  EXPECT_EQ(r.status.code, 74);
  EXPECT_EQ(r.err, "hostreapd: cannot write the listing: No space left on device\n");
}

}  // namespace
