// SPDX-License-Identifier: BSD-2-Clause
// The metrics path (-m) as a start meets it, with the real daemon: a path
// that names no file to write, or lies in no directory, is refused before
// anything else is done (status 64, nothing opened, created or replaced),
// and so is one that names the PID file; a device, FIFO or other non-file that comes to the
// path while the daemon runs is not replaced either.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

// Limits that only guard against a hang; nothing here measures speed.
constexpr int LIMIT_MS = 10000;

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

struct refused_case {
  const char* name;
  // Prepares the test's directory dir and returns the -m argument; sets
  // *pid_arg to a -p argument when the case needs one.
  std::function<std::string(const std::string& dir, std::string* pid_arg)> build;
  // What follows "hostreapd: metrics file " in the message; {M} stands for
  // the -m argument.
  const char* message;
  bool needs_root = false;  // makes a device node
};
void PrintTo(const refused_case& c, std::ostream* os) { *os << c.name; }

std::string expand(std::string text, const std::string& m) {
  for (size_t at; (at = text.find("{M}")) != std::string::npos;) text.replace(at, 3, m);
  return text;
}

class MetricsPathRefused : public testing::TestWithParam<refused_case> {};

TEST_P(MetricsPathRefused, EndsTheStartWith64AndTouchesNothing) {
  const refused_case& c = GetParam();
  if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "needs root to make a device node";
  daemon_harness h;
  h.admin("create 5 type addr");
  std::string pid_arg;
  const std::string m = c.build(h.dir.path, &pid_arg);
  ASSERT_FALSE(testing::Test::HasFatalFailure());
  struct stat before = {};
  const bool was_there = lstat(m.c_str(), &before) == 0;

  std::vector<std::string> args = {"-t", "5", "-f", "-m", m};
  if (!pid_arg.empty()) {
    args.push_back("-p");
    args.push_back(pid_arg);
  }
  // Run in the harness's mount namespace, with a /dev of its own: a
  // /dev/null there is the system's bound in, which a rename cannot replace.
  child_process d = h.start(args, true, 0, h.dir.path);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(exit_status(r), 64);
  EXPECT_EQ(d.err(), "hostreapd: metrics file " + expand(c.message, m) + "\n");
  EXPECT_EQ(h.requests(93), 0);  // refused before the firewall is asked
  if (!pid_arg.empty()) {
    EXPECT_FALSE(exists(h.dir.path + "/" + pid_arg)) << "the PID file was taken";
  }
  if (was_there) {
    struct stat after = {};
    ASSERT_EQ(lstat(m.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
  }
}

std::string in_dir(const std::string& dir, const char* name) { return dir + "/" + name; }

INSTANTIATE_TEST_SUITE_P(
    DaemonMetrics, MetricsPathRefused,
    testing::Values(
        refused_case{"Empty", [](const std::string&, std::string*) { return std::string(); },
                     "path is empty"},
        refused_case{"Directory",
                     [](const std::string& d, std::string*) {
                       std::string p = in_dir(d, "metrics.prom");
                       EXPECT_EQ(mkdir(p.c_str(), 0755), 0) << strerror(errno);
                       return p;
                     },
                     "{M} is not a regular file"},
        refused_case{"Fifo",
                     [](const std::string& d, std::string*) {
                       std::string p = in_dir(d, "metrics.prom");
                       EXPECT_EQ(mkfifo(p.c_str(), 0644), 0) << strerror(errno);
                       return p;
                     },
                     "{M} is not a regular file"},
        refused_case{"Socket",
                     [](const std::string& d, std::string*) {
                       std::string p = in_dir(d, "metrics.prom");
                       int fd = socket(AF_UNIX, SOCK_STREAM, 0);
                       sockaddr_un addr{};
                       addr.sun_family = AF_UNIX;
                       EXPECT_LT(p.size(), sizeof addr.sun_path);
                       memcpy(addr.sun_path, p.c_str(), std::min(p.size() + 1, sizeof addr.sun_path));
                       EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0)
                           << strerror(errno);
                       close(fd);
                       return p;
                     },
                     "{M} is not a regular file"},
        // A null device of the test's own.
        refused_case{"DeviceNode",
                     [](const std::string& d, std::string*) {
                       std::string p = in_dir(d, "null");
                       EXPECT_EQ(mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << strerror(errno);
                       return p;
                     },
                     "{M} is not a regular file", true},
        // A directory that is not there: it is opened at the start, for
        // every write to come.
        refused_case{"MissingDirectory",
                     [](const std::string& d, std::string*) { return in_dir(d, "missing/metrics.prom"); },
                     "{M}: No such file or directory"},
        // The namespace's /dev/null (the system's, bound in).
        refused_case{"DevNull", [](const std::string&, std::string*) { return std::string("/dev/null"); },
                     "{M} is not a regular file"},
        // The metrics file's rename would replace the PID file and its lock.
        refused_case{"ThePidFile",
                     [](const std::string& d, std::string* pid_arg) {
                       *pid_arg = "hostreapd.pid";
                       return in_dir(d, "hostreapd.pid");  // relative and absolute: one file
                     },
                     "{M} is the pid file"},
        // The same name in one directory reached by a link: found before
        // either file exists.
        refused_case{"ThePidFileThroughALinkedDirectory",
                     [](const std::string& d, std::string* pid_arg) {
                       EXPECT_EQ(mkdir(in_dir(d, "run").c_str(), 0755), 0);
                       EXPECT_EQ(symlink("run", in_dir(d, "var-run").c_str()), 0);
                       *pid_arg = "run/hostreapd.pid";
                       return in_dir(d, "var-run/hostreapd.pid");
                     },
                     "{M} is the pid file"}),
    [](const testing::TestParamInfo<refused_case>& i) { return std::string(i.param.name); });

// A non-file that takes the metrics file's place while the daemon runs is
// left in place: the usual warning, and the sweep goes on.
TEST(DaemonMetrics, ANonFileThatComesLaterIsNotReplaced) {
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string path = h.dir.file("hostreapd.prom");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-m", path});
  ASSERT_TRUE(wait_for_file(path, LIMIT_MS, true));
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  struct stat fifo;
  ASSERT_EQ(lstat(path.c_str(), &fifo), 0);

  const long lists = h.requests(89);
  ASSERT_TRUE(h.wait_for_lists(lists + 2, LIMIT_MS, d.pid));
  const std::string warning = "cannot write metrics file " + path + ": not a regular file";
  ASSERT_TRUE(h.sink.wait_for(warning, LIMIT_MS));
  struct stat after;
  ASSERT_EQ(lstat(path.c_str(), &after), 0);
  EXPECT_TRUE(S_ISFIFO(after.st_mode));
  EXPECT_EQ(after.st_ino, fifo.st_ino);
  EXPECT_TRUE(process_alive(d.pid));

  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  EXPECT_EQ(exit_status(r), 0);
  EXPECT_EQ(d.err(), "hostreapd: " + warning + "\n");
}

}  // namespace
