// SPDX-License-Identifier: BSD-2-Clause
// Tests of the metrics file: the exact text, its well-formedness as the
// textfile collector parses it, and the writing into a fresh directory per
// test (content, mode, atomic replacement, nothing left behind on failure),
// and the one warning per failure streak.
#include "daemon/metrics.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

const sweep_metrics sample = {
    .table = "5",
    .interval_seconds = 5,
    .entries = 12,
    .due = 3,
    .unremovable = 2,
    .removed_total = 40,
    .log_lines_dropped = 7,
    .last_sweep_unix = 1767225600,
    .sweep_duration_ns = 1500000,
    .has_next_expiry = true,
    .next_expiry_unix = 1767225660,
    .table_missing = false,
    .no_sweep = false,
    .abandoned_grew = 2,
    .abandoned_changed = 1,
    .abandoned_gone = 0,
    .abandoned_memory = 4,
};

sweep_metrics without_next_expiry() {
  sweep_metrics m = sample;
  m.has_next_expiry = false;
  m.next_expiry_unix = 99;  // not read
  return m;
}

// The widest text there is: the longest table name, every number at its
// widest.
const std::string longest_name(63, 'n');
const sweep_metrics widest = {
    .table = longest_name.c_str(),
    .interval_seconds = UINT32_MAX,
    .entries = UINT64_MAX,
    .due = UINT64_MAX,
    .unremovable = UINT64_MAX,
    .removed_total = UINT64_MAX,
    .log_lines_dropped = UINT64_MAX,
    .last_sweep_unix = INT64_MIN,
    .sweep_duration_ns = INT64_MIN,
    .has_next_expiry = true,
    .next_expiry_unix = INT64_MIN,
    .table_missing = false,
    .no_sweep = false,
    .abandoned_grew = UINT64_MAX,
    .abandoned_changed = UINT64_MAX,
    .abandoned_gone = UINT64_MAX,
    .abandoned_memory = UINT64_MAX,
};

std::string format(const sweep_metrics& m) {
  char buf[METRICS_TEXT_MAX];
  int n = metrics_format(&m, buf, sizeof buf);
  EXPECT_GE(n, 0) << strerror(errno);
  if (n < 0) return "";
  EXPECT_EQ(static_cast<size_t>(n), strlen(buf));
  return std::string(buf, static_cast<size_t>(n));
}

const char* const present_text =
    "# HELP hostreapd_table_present 1 when the last cycle found the table, 0 when it was gone; while it is "
    "gone "
    "the other gauges keep the values of the last sweep that found it.\n"
    "# TYPE hostreapd_table_present gauge\n";

const char* const interval_text =
    "# HELP hostreapd_interval_seconds The pause between cycles, in seconds: a sweep older than a few of "
    "these is overdue.\n"
    "# TYPE hostreapd_interval_seconds gauge\n"
    "hostreapd_interval_seconds{table=\"5\"} 5\n";

const char* const removed_text =
    "# HELP hostreapd_removed_total Address entries removed since the daemon started.\n"
    "# TYPE hostreapd_removed_total counter\n"
    "hostreapd_removed_total{table=\"5\"} 40\n"
    "# HELP hostreapd_log_lines_dropped_total Log lines the daemon could not deliver to syslogd since it "
    "started: dropped at a stop while syslogd was behind, or with no syslogd listening.\n"
    "# TYPE hostreapd_log_lines_dropped_total counter\n"
    "hostreapd_log_lines_dropped_total{table=\"5\"} 7\n"
    "# HELP hostreapd_abandoned_cycles_total Cycles abandoned since the daemon started, by reason: the "
    "table grew faster than it could be listed, was made anew during the cycle, was gone, or the memory "
    "for its listing could not be had.\n"
    "# TYPE hostreapd_abandoned_cycles_total counter\n"
    "hostreapd_abandoned_cycles_total{table=\"5\",reason=\"grew\"} 2\n"
    "hostreapd_abandoned_cycles_total{table=\"5\",reason=\"changed\"} 1\n"
    "hostreapd_abandoned_cycles_total{table=\"5\",reason=\"gone\"} 0\n"
    "hostreapd_abandoned_cycles_total{table=\"5\",reason=\"memory\"} 4\n";

const std::string sample_text_head =
    std::string(present_text) + "hostreapd_table_present{table=\"5\"} 1\n" + interval_text +
    "# HELP hostreapd_entries Address entries listed in the last sweep.\n"
    "# TYPE hostreapd_entries gauge\n"
    "hostreapd_entries{table=\"5\"} 12\n"
    "# HELP hostreapd_due_entries Address entries of the last sweep that it could remove and whose expiry "
    "time had passed.\n"
    "# TYPE hostreapd_due_entries gauge\n"
    "hostreapd_due_entries{table=\"5\"} 3\n"
    "# HELP hostreapd_unremovable_entries Address entries of the last sweep that it passed over and never "
    "removes: no key a deletion could name, or a value that is not a time.\n"
    "# TYPE hostreapd_unremovable_entries gauge\n"
    "hostreapd_unremovable_entries{table=\"5\"} 2\n" +
    removed_text +
    "# HELP hostreapd_last_sweep_timestamp_seconds Unix time at which the last sweep ended.\n"
    "# TYPE hostreapd_last_sweep_timestamp_seconds gauge\n"
    "hostreapd_last_sweep_timestamp_seconds{table=\"5\"} 1767225600\n"
    "# HELP hostreapd_sweep_duration_seconds Time the last sweep took, in seconds.\n"
    "# TYPE hostreapd_sweep_duration_seconds gauge\n"
    "hostreapd_sweep_duration_seconds{table=\"5\"} 0.001500000\n";

const char* const sample_text_next_expiry =
    "# HELP hostreapd_next_expiry_timestamp_seconds Unix time of the earliest expiry still ahead among the "
    "listed address entries.\n"
    "# TYPE hostreapd_next_expiry_timestamp_seconds gauge\n"
    "hostreapd_next_expiry_timestamp_seconds{table=\"5\"} 1767225660\n";

// While the table is gone the file says so and shows the last sweep that
// found it; before any sweep found it, there is no sweep to show.
sweep_metrics table_missing(bool no_sweep) {
  sweep_metrics m = sample;
  m.table_missing = true;
  m.no_sweep = no_sweep;
  return m;
}

TEST(MetricsFormat, ExactText) {
  const std::string missing_head =
      std::string(present_text) + "hostreapd_table_present{table=\"5\"} 0\n" +
      sample_text_head.substr(sample_text_head.find("# HELP hostreapd_interval"));
  EXPECT_EQ(format(sample), sample_text_head + sample_text_next_expiry);
  EXPECT_EQ(format(without_next_expiry()), sample_text_head);
  EXPECT_EQ(format(table_missing(false)), missing_head + sample_text_next_expiry);
  EXPECT_EQ(
      format(table_missing(true)),
      std::string(present_text) + "hostreapd_table_present{table=\"5\"} 0\n" + interval_text + removed_text);
  // A single cycle has no pause to tell.
  sweep_metrics single = sample;
  single.interval_seconds = 0;
  std::string without_interval = sample_text_head;
  without_interval.erase(without_interval.find(interval_text), strlen(interval_text));
  EXPECT_EQ(format(single), without_interval + sample_text_next_expiry);
  // A named table is labelled with its name.
  sweep_metrics named = sample;
  named.table = "blocklist";
  std::string want = std::string(sample_text_head) + sample_text_next_expiry;
  for (size_t at; (at = want.find("{table=\"5\"")) != std::string::npos;)
    want.replace(at, 10, "{table=\"blocklist\"");
  EXPECT_EQ(format(named), want);
}

struct duration_case {
  int64_t ns;
  const char* text;
};

TEST(MetricsFormat, DurationIsExactSecondsWithNineDecimals) {
  const duration_case cases[] = {
      {0, "0.000000000"},   {999999999, "0.999999999"},          {2000000001, "2.000000001"},
      {-1, "-0.000000001"}, {INT64_MAX, "9223372036.854775807"}, {INT64_MIN, "-9223372036.854775808"},
  };
  for (const duration_case& c : cases) {
    sweep_metrics m = sample;
    m.sweep_duration_ns = c.ns;
    std::string line = std::string("\nhostreapd_sweep_duration_seconds{table=\"5\"} ") + c.text + "\n";
    EXPECT_NE(format(m).find(line), std::string::npos) << c.ns;
  }
}

TEST(MetricsFormat, WidestValuesFitTheAdvertisedBuffer) {
  std::string text = format(widest);
  const std::string label = "{table=\"" + longest_name + "\"} ";
  EXPECT_NE(text.find("hostreapd_entries" + label + "18446744073709551615\n"), std::string::npos);
  EXPECT_NE(text.find("hostreapd_interval_seconds" + label + "4294967295\n"), std::string::npos);
  EXPECT_NE(text.find("hostreapd_next_expiry_timestamp_seconds" + label + "-9223372036854775808\n"),
            std::string::npos);
  EXPECT_NE(text.find("hostreapd_abandoned_cycles_total{table=\"" + longest_name +
                      "\",reason=\"changed\"} 18446744073709551615\n"),
            std::string::npos);
  EXPECT_LT(text.size(), METRICS_TEXT_MAX);
}

TEST(MetricsFormat, TooSmallBufferIsEnospcAndEmpty) {
  std::string text = format(sample);
  std::vector<char> buf(text.size() + 1, 'x');
  EXPECT_EQ(metrics_format(&sample, buf.data(), buf.size()), static_cast<int>(text.size()));

  // No room for the NUL: refused rather than cut.
  std::fill(buf.begin(), buf.end(), 'x');
  errno = 0;
  EXPECT_EQ(metrics_format(&sample, buf.data(), text.size()), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(buf[0], '\0');

  errno = 0;
  EXPECT_EQ(metrics_format(&sample, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOSPC);
}

// Reads the text as the textfile collector does and reports what is wrong
// with it, or "" when nothing is: every line a HELP, a TYPE or a sample;
// every metric's HELP and TYPE once, before its sample; the types gauge or
// counter, a counter's name ending in _total; the table's label first, and
// any other label after it; no two samples of a metric with the same
// labels; a value that is a number; a line feed at the end.
std::string malformation(const std::string& text, std::set<std::string>* names) {
  if (text.empty() || text.back() != '\n') return "does not end with a line feed";
  std::map<std::string, std::string> type_of;
  std::set<std::string> helped;
  std::set<std::string> samples;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# HELP ", 0) == 0) {
      std::string rest = line.substr(7);
      size_t blank = rest.find(' ');
      if (blank == std::string::npos || blank + 1 == rest.size()) return "HELP without text: " + line;
      if (!helped.insert(rest.substr(0, blank)).second) return "second HELP: " + line;
    } else if (line.rfind("# TYPE ", 0) == 0) {
      std::istringstream fields(line.substr(7));
      std::string name;
      std::string type;
      std::string extra;
      fields >> name >> type;
      if (fields >> extra || (type != "gauge" && type != "counter")) return "bad TYPE: " + line;
      if (type == "counter" && !name.ends_with("_total")) return "counter not named _total: " + line;
      if (!type_of.emplace(name, type).second) return "second TYPE: " + line;
    } else {
      size_t brace = line.find('{');
      size_t close = line.find("} ");
      if (brace == std::string::npos || close == std::string::npos || close < brace)
        return "bad line: " + line;
      std::string name = line.substr(0, brace);
      std::string label = line.substr(brace + 1, close - brace - 1);
      std::string value = line.substr(close + 2);
      if (type_of.count(name) == 0 || helped.count(name) == 0)
        return "sample before its HELP and TYPE: " + line;
      std::string series = name;
      series.append("{").append(label).append("}");
      if (!samples.insert(series).second) return "second sample: " + line;
      names->insert(name);
      if (label.rfind("table=\"", 0) != 0 || label.back() != '"' || label.size() < 9)
        return "bad label: " + line;
      char* end = nullptr;
      errno = 0;
      std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || errno != 0) return "value not a number: " + line;
    }
  }
  if (names->size() != type_of.size() || names->size() != helped.size())
    return "HELP or TYPE without a sample";
  return "";
}

TEST(MetricsFormat, TextIsWellFormed) {
  const std::set<std::string> always = {
      "hostreapd_table_present",
      "hostreapd_interval_seconds",
      "hostreapd_entries",
      "hostreapd_due_entries",
      "hostreapd_unremovable_entries",
      "hostreapd_removed_total",
      "hostreapd_last_sweep_timestamp_seconds",
      "hostreapd_sweep_duration_seconds",
      "hostreapd_abandoned_cycles_total",
      "hostreapd_log_lines_dropped_total",
  };
  std::set<std::string> with_next = always;
  with_next.insert("hostreapd_next_expiry_timestamp_seconds");
  const std::set<std::string> no_sweep = {"hostreapd_table_present", "hostreapd_interval_seconds",
                                          "hostreapd_removed_total", "hostreapd_abandoned_cycles_total",
                                          "hostreapd_log_lines_dropped_total"};

  struct {
    const char* name;
    sweep_metrics m;
    const std::set<std::string>& expected;
  } cases[] = {{"sample", sample, with_next},
               {"no next expiry", without_next_expiry(), always},
               {"widest", widest, with_next},
               {"table missing", table_missing(false), with_next},
               {"no sweep yet", table_missing(true), no_sweep}};
  for (const auto& c : cases) {
    std::set<std::string> names;
    EXPECT_EQ(malformation(format(c.m), &names), "") << c.name;
    EXPECT_EQ(names, c.expected) << c.name;
  }
}

// Every name below dir, relative to it, sorted.
std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    names.push_back(std::filesystem::relative(e.path(), dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

// metrics_write to a path whose directory is opened for the one write, as
// the daemon opens it at its start.
int write_to(const char* path, const sweep_metrics* m) {
  metrics_file f;
  if (metrics_file_open(&f, path) != 0) return -1;
  const int rc = metrics_write(&f, m);
  const int err = errno;
  metrics_file_close(&f);
  errno = err;
  return rc;
}

class MetricsWriteTest : public testing::Test {
 protected:
  temp_dir dir;
  std::string path = dir.file("hostreapd.prom");
};

TEST_F(MetricsWriteTest, WritesTheTextWithMode0644WhateverTheMask) {
  mode_t old_mask = umask(077);
  int rc = write_to(path.c_str(), &sample);
  int err = errno;
  umask(old_mask);
  ASSERT_EQ(rc, 0) << strerror(err);

  EXPECT_EQ(read_file(path), format(sample));
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(listing(dir.path), std::vector<std::string>{"hostreapd.prom"});
}

TEST_F(MetricsWriteTest, RelativePathWritesBesideItInTheWorkingDirectory) {
  std::string cwd = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  int rc = write_to("hostreapd.prom", &sample);
  int err = errno;
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  ASSERT_EQ(rc, 0) << strerror(err);
  EXPECT_EQ(read_file(path), format(sample));
  EXPECT_EQ(listing(dir.path), std::vector<std::string>{"hostreapd.prom"});
}

// The old file is replaced by a new one, never rewritten in place: a
// reader holding it (here a second link) keeps the old text whole.
TEST_F(MetricsWriteTest, ReplacesTheOldFileWithoutTouchingIt) {
  write_file(path, "old\n");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  std::string held = dir.file("held");
  ASSERT_EQ(link(path.c_str(), held.c_str()), 0);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);

  ASSERT_EQ(write_to(path.c_str(), &sample), 0) << strerror(errno);
  ASSERT_EQ(write_to(path.c_str(), &sample), 0) << strerror(errno);

  EXPECT_EQ(read_file(path), format(sample));
  EXPECT_EQ(read_file(held), "old\n");
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0644u);
  EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"held", "hostreapd.prom"}));
}

// A symbolic link at the path is replaced, not written through.
TEST_F(MetricsWriteTest, SymlinkAtThePathIsReplacedNotFollowed) {
  std::string victim = dir.file("victim");
  write_file(victim, "keep\n");
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);

  ASSERT_EQ(write_to(path.c_str(), &sample), 0) << strerror(errno);

  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read_file(path), format(sample));
  EXPECT_EQ(read_file(victim), "keep\n");
}

// A path of exactly len characters whose directories all exist.
std::string path_of_length(const std::string& base, size_t len) {
  std::string p = base;
  while (len - p.size() > 250) {
    p += "/" + std::string(200, 'd');
    EXPECT_EQ(mkdir(p.c_str(), 0700), 0) << strerror(errno);
  }
  return p + "/" + std::string(len - p.size() - 1, 'f');
}

// The temporary name does not grow with the target's: a name of the
// longest length a file system takes is written like any other.
TEST_F(MetricsWriteTest, LongestNameIsWritten) {
  const std::string longest = dir.file(std::string(255, 'n'));
  ASSERT_EQ(write_to(longest.c_str(), &sample), 0) << strerror(errno);
  EXPECT_EQ(read_file(longest), format(sample));
  EXPECT_EQ(listing(dir.path), std::vector<std::string>{std::string(255, 'n')});
}

TEST_F(MetricsWriteTest, LongestPathIsWrittenOneMoreIsRefused) {
  std::string longest = path_of_length(dir.path, METRICS_PATH_MAX - 1);
  ASSERT_EQ(write_to(longest.c_str(), &sample), 0) << strerror(errno);
  EXPECT_EQ(read_file(longest), format(sample));

  std::string too_long = longest + "g";
  errno = 0;
  EXPECT_EQ(write_to(too_long.c_str(), &sample), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  struct stat st;
  EXPECT_NE(lstat(too_long.c_str(), &st), 0);
}

// The file-size limit cut short to a few bytes: the first write is short,
// the next fails with EFBIG (SIGXFSZ ignored for the call).
struct file_size_limit {
  explicit file_size_limit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved);
    old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~file_size_limit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
  }
  rlimit saved{};
  void (*old_handler)(int);
};

struct failure_case {
  const char* name;
  void (*setup)(const std::string& dir);  // may be null
  const char* target;  // below the directory; null: an empty path
  int err;
  bool fill_limit;  // write under a file-size limit of 10 bytes
  bool needs_root = false;  // makes a device node
};

void make_file(const std::string& dir) { write_file(dir + "/file", "x"); }
void make_target_directory(const std::string& dir) {
  ASSERT_EQ(mkdir((dir + "/hostreapd.prom").c_str(), 0755), 0);
  write_file(dir + "/hostreapd.prom/inside", "x");
}
void make_old_target(const std::string& dir) { write_file(dir + "/hostreapd.prom", "old\n"); }
void make_target_fifo(const std::string& dir) {
  ASSERT_EQ(mkfifo((dir + "/hostreapd.prom").c_str(), 0644), 0) << strerror(errno);
}
void make_target_socket(const std::string& dir) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string name = dir + "/hostreapd.prom";
  ASSERT_LT(name.size(), sizeof addr.sun_path);
  memcpy(addr.sun_path, name.c_str(), name.size() + 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);
  close(fd);
}
// A null device of the test's own (as root): the system's is never touched.
void make_target_device(const std::string& dir) {
  ASSERT_EQ(mknod((dir + "/hostreapd.prom").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << strerror(errno);
}

class MetricsWriteFailureTest : public MetricsWriteTest, public testing::WithParamInterface<failure_case> {};

// A failure reports the first error and leaves the directory as it was:
// no temporary file, the target unchanged.
TEST_P(MetricsWriteFailureTest, FailsAndLeavesNothing) {
  const failure_case& c = GetParam();
  if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "needs root to make a device node";
  if (c.setup != nullptr) c.setup(dir.path);
  ASSERT_FALSE(HasFatalFailure());
  std::vector<std::string> before = listing(dir.path);
  struct stat target_before = {};
  lstat(path.c_str(), &target_before);

  std::string target = c.target != nullptr ? dir.file(c.target) : "";
  int rc;
  errno = 0;
  if (c.fill_limit) {
    file_size_limit limit(10);
    rc = write_to(target.c_str(), &sample);
  } else {
    rc = write_to(target.c_str(), &sample);
  }
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(errno, c.err) << strerror(errno);
  EXPECT_EQ(listing(dir.path), before);
  if (c.setup == make_old_target) {
    EXPECT_EQ(read_file(path), "old\n");
  }
  // What stood at the path is the same thing still.
  struct stat target_after = {};
  lstat(path.c_str(), &target_after);
  EXPECT_EQ(target_after.st_ino, target_before.st_ino);
  EXPECT_EQ(target_after.st_mode, target_before.st_mode);
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, MetricsWriteFailureTest,
    testing::Values(
        failure_case{"EmptyPath", nullptr, nullptr, ENOENT, false},
        failure_case{"MissingDirectory", nullptr, "missing/hostreapd.prom", ENOENT, false},
        failure_case{"DirectoryIsAFile", make_file, "file/hostreapd.prom", ENOTDIR, false},
        // Nothing but a file is replaced; looked at after the
        // temporary file is written, right before the rename.
        failure_case{"TargetIsADirectory", make_target_directory, "hostreapd.prom", METRICS_ENOTREG, false},
        failure_case{"TargetIsAFifo", make_target_fifo, "hostreapd.prom", METRICS_ENOTREG, false},
        failure_case{"TargetIsASocket", make_target_socket, "hostreapd.prom", METRICS_ENOTREG, false},
        failure_case{"TargetIsADevice", make_target_device, "hostreapd.prom", METRICS_ENOTREG, false, true},
        // And here the writing fails, after a short write.
        failure_case{"WriteFails", make_old_target, "hostreapd.prom", EFBIG, true}),
    [](const testing::TestParamInfo<failure_case>& info) { return std::string(info.param.name); });

std::vector<std::string> warnings;
void record_warning(const char* text) { warnings.push_back(text); }

// One warning when a failure streak starts, whatever the errors within it;
// silence until a write succeeds; the next failure warns again. The
// failures: a directory removed after it was opened, and a FIFO at the
// target.
TEST_F(MetricsWriteTest, ReporterWarnsOncePerFailureStreak) {
  warnings.clear();
  const std::string gone_dir = dir.file("gone");
  ASSERT_EQ(mkdir(gone_dir.c_str(), 0755), 0);
  const std::string gone_path = gone_dir + "/hostreapd.prom";
  const std::string fifo_path = dir.file("fifo.prom");
  ASSERT_EQ(mkfifo(fifo_path.c_str(), 0644), 0);
  metrics_file ok, gone, fifo;
  ASSERT_EQ(metrics_file_open(&ok, path.c_str()), 0);
  ASSERT_EQ(metrics_file_open(&gone, gone_path.c_str()), 0);
  ASSERT_EQ(metrics_file_open(&fifo, fifo_path.c_str()), 0);
  ASSERT_EQ(rmdir(gone_dir.c_str()), 0);
  const std::string gone_warning = "cannot write metrics file " + gone_path + ": " + strerror(ENOENT);
  const std::string fifo_warning = "cannot write metrics file " + fifo_path + ": not a regular file";

  struct step {
    const metrics_file& file;
    int err;  // 0: the write succeeds
    size_t warnings;  // warnings so far
  } steps[] = {
      {ok, 0, 0}, {gone, ENOENT, 1}, {gone, ENOENT, 1},          {fifo, METRICS_ENOTREG, 1},
      {ok, 0, 1}, {ok, 0, 1},        {fifo, METRICS_ENOTREG, 2}, {ok, 0, 2},
  };
  metrics_reporter r{};
  for (size_t i = 0; i < std::size(steps); i++) {
    const step& s = steps[i];
    errno = 0;
    EXPECT_EQ(metrics_report(&r, &s.file, &sample, record_warning), s.err == 0 ? 0 : -1) << i;
    if (s.err != 0) {
      EXPECT_EQ(errno, s.err) << i;
    }
    EXPECT_EQ(warnings.size(), s.warnings) << i;
  }
  EXPECT_EQ(warnings, (std::vector<std::string>{gone_warning, fifo_warning}));
  EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"fifo.prom", "hostreapd.prom"}));
  for (metrics_file* f : {&ok, &gone, &fifo}) metrics_file_close(f);
}

// A target that is not a file is named as such, not by the text of the
// error number that stands for it.
TEST_F(MetricsWriteTest, ReporterNamesATargetThatIsNotAFile) {
  warnings.clear();
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  metrics_file f;
  ASSERT_EQ(metrics_file_open(&f, path.c_str()), 0);
  metrics_reporter r{};
  EXPECT_EQ(metrics_report(&r, &f, &sample, record_warning), -1);
  metrics_file_close(&f);
  EXPECT_EQ(warnings, std::vector<std::string>{"cannot write metrics file " + path + ": not a regular file"});
}

}  // namespace
