// SPDX-License-Identifier: BSD-2-Clause
// What the daemon reaches after its start, it reaches through the
// directories it opened at the start, as it must in capability mode: the
// metrics file is written into the directory it opened, however that has
// been moved since; the PID file removed at a stop is its own, in the
// directory it opened, and another file put at its path is left alone; a
// syslogd started again (its socket made anew in the log socket's
// directory) gets the next lines.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

// Limits that only guard against a hang.
constexpr int LIMIT_MS = 10000;

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void make_dir(const std::string& path) {
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path << ": " << strerror(errno);
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

// The metrics file's directory moved away and another made at its path:
// the daemon goes on writing into the one it opened, and puts nothing into
// the new one.
TEST(DaemonDirectories, MetricsGoOnIntoTheDirectoryOpenedAtTheStart) {
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string dir = h.dir.file("metrics");
  const std::string moved = h.dir.file("metrics.moved");
  make_dir(dir);
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-m", dir + "/hostreapd.prom"});
  ASSERT_TRUE(wait_for_file(dir + "/hostreapd.prom", LIMIT_MS, true));
  ASSERT_EQ(rename(dir.c_str(), moved.c_str()), 0);
  make_dir(dir);

  // An entry to remove, and the cycles that count it.
  h.admin("add 5 192.0.2.1 0");
  const std::string removed = "hostreapd_removed_total{table=\"5\"} 1";
  ASSERT_TRUE(h.wait_for_lists(h.requests(89) + 2, LIMIT_MS, d.pid));
  ASSERT_TRUE(poll_until(
      [&] { return read_file(moved + "/hostreapd.prom").find(removed) != std::string::npos; }, LIMIT_MS))
      << "the file in the directory opened was not written again: " << d.err();
  EXPECT_FALSE(exists(dir + "/hostreapd.prom")) << "written at the path, into the new directory";

  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  EXPECT_EQ(exit_status(r), 0);
  EXPECT_EQ(d.err(), "");
}

struct pid_path_case {
  const char* name;
  bool move_directory;  // the directory moved and made anew; else the file replaced in it
};
void PrintTo(const pid_path_case& c, std::ostream* os) { *os << c.name; }

class PidPathChanged : public testing::TestWithParam<pid_path_case> {};

// Another file put at the PID file's path while the daemon runs (a file
// renamed over it, or the whole directory moved away and a new one made
// with its own file) is left alone at the stop; the daemon's own file, in
// the directory it opened, is removed when it is still there.
TEST_P(PidPathChanged, TheStopRemovesOnlyItsOwnFile) {
  const pid_path_case& c = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string dir = h.dir.file("run");
  const std::string moved = h.dir.file("run.moved");
  const std::string path = dir + "/hostreapd.pid";
  make_dir(dir);
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-p", path});
  ASSERT_TRUE(poll_until([&] { return read_file(path) == std::to_string(d.pid); }, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));

  if (c.move_directory) {
    ASSERT_EQ(rename(dir.c_str(), moved.c_str()), 0);
    make_dir(dir);
    write_file(path, "4321");
  } else {
    write_file(dir + "/other", "4321");
    ASSERT_EQ(rename((dir + "/other").c_str(), path.c_str()), 0);
  }

  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  EXPECT_EQ(exit_status(r), 0);
  EXPECT_EQ(read_file(path), "4321") << "the other file was touched";
  if (c.move_directory) {
    EXPECT_FALSE(exists(moved + "/hostreapd.pid")) << "its own file, in the directory it opened, stays";
  }
}

INSTANTIATE_TEST_SUITE_P(DaemonDirectories, PidPathChanged,
                         testing::Values(pid_path_case{"FileReplaced", false},
                                         pid_path_case{"DirectoryMovedAndMadeAnew", true}),
                         [](const testing::TestParamInfo<pid_path_case>& i) {
                           return std::string(i.param.name);
                         });

// syslogd started again: its socket made anew at its path. The next line
// finds the old socket gone, and the daemon connects anew and delivers it:
// nothing dropped.
TEST(DaemonDirectories, ASyslogdStartedAgainGetsTheNextLines) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  const std::string metrics = h.dir.file("hostreapd.prom");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-m", metrics});
  ASSERT_TRUE(h.sink.wait_for("Removing host 192.0.2.1 from table 5", LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));

  h.sink.restart();
  h.admin("add 5 192.0.2.2 0");
  d.send(SIGHUP);
  ASSERT_TRUE(h.sink.wait_for("Removing host 192.0.2.2 from table 5", LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  EXPECT_NE(read_file(metrics).find("hostreapd_log_lines_dropped_total{table=\"5\"} 0"), std::string::npos);

  d.send(SIGTERM);
  EXPECT_EQ(exit_status(h.wait_exit(d, LIMIT_MS)), 0);
}

}  // namespace
