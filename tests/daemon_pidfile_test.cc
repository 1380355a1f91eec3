// SPDX-License-Identifier: BSD-2-Clause
// The PID file as a user meets it, with the real daemon: the file holds the
// running process's PID and goes away at a stop; a second start, or one
// that meets any held lock, is refused and names the holder; a link, a file
// of another type or of another user is refused with a warning, and so is a
// path that cannot be had; a stale file is taken over; a relative path
// names the same file at start and at stop, detached or not; a start that
// races the stop of the instance before it never makes two sweepers; a
// file that cannot take the PID (a full file system) still holds the lock.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

// Limits that only guard against a hang; nothing here measures speed.
constexpr int LIMIT_MS = 10000;

std::string pid_text(pid_t pid) { return std::to_string(pid); }

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void write_file(const std::string& path, const std::string& content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
}

void make_dir(const std::string& path) {
  ASSERT_TRUE(mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) << path << ": " << strerror(errno);
}

// Waits until the file holds exactly text.
bool wait_for_content(const std::string& path, const std::string& text, int timeout_ms) {
  return poll_until([&] { return exists(path) && read_file(path) == text; }, timeout_ms);
}

// An absolute path of exactly length characters below base; every directory
// on the way exists, so only the length can stand in the way of the file.
std::string path_of_length(const std::string& base, size_t length) {
  std::string path = base;
  size_t left = length - path.size();
  while (left > 202) {
    path += "/" + std::string(200, 'd');
    make_dir(path);
    left -= 201;
  }
  return path + "/" + std::string(left - 1, 'f');
}

// A hold on a PID file by someone other than the daemon (this test
// process): the file with this content, locked the way the daemon locks it,
// for as long as the holder lives. The lock belongs to this open file, so
// the daemon's own open of the path meets it.
struct lock_holder {
  lock_holder(const std::string& path, const std::string& content) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << path << ": " << strerror(errno);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << strerror(errno);
  }
  ~lock_holder() {
    if (fd >= 0) close(fd);
  }
  lock_holder(const lock_holder&) = delete;
  lock_holder& operator=(const lock_holder&) = delete;
  int fd = -1;
};

// Runs the starter of a detached daemon to its end and returns the daemon
// it left behind (-1 if none). The starter's standard error goes to *err.
pid_t start_detached(daemon_harness& h, const std::vector<std::string>& args, std::string* err = nullptr,
                     const std::string& cwd = "") {
  child_process starter = h.start(args, true, 0, cwd);
  const pid_t starter_pid = starter.pid;
  exit_result r = starter.wait(LIMIT_MS);
  EXPECT_TRUE(r.finished);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0);  // the starter leaves once its child has detached
  if (err != nullptr) *err = starter.err();
  pid_t pid = h.find_daemon(LIMIT_MS);
  EXPECT_GT(pid, 0) << "no detached daemon";
  EXPECT_NE(pid, starter_pid);
  return pid;
}

// Stops a running daemon with sig and waits until it is gone.
void stop_daemon(daemon_harness& h, pid_t pid, int sig) {
  ASSERT_EQ(kill(pid, sig), 0);
  EXPECT_TRUE(h.wait_gone(pid, LIMIT_MS)) << "still running after signal " << sig;
}

// ---- The own PID file: its content, its mode, its removal at a stop.

struct own_case {
  const char* name;
  bool detached;
  int sig;
  bool long_path;  // a path of 1023 characters, the longest that is taken
};
void PrintTo(const own_case& c, std::ostream* os) { *os << c.name; }

class PidFileOwn : public testing::TestWithParam<own_case> {};

TEST_P(PidFileOwn, HoldsTheRunningProcessPidUntilTheStopRemovesIt) {
  const own_case& c = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  std::string path = c.long_path ? path_of_length(h.dir.path, 1023) : h.dir.file("hostreapd.pid");
  if (c.long_path) {
    ASSERT_EQ(path.size(), 1023u);
  }
  std::vector<std::string> args = {"-t", "5", "-s", "1", "-p", path};
  if (!c.detached) args.push_back("-f");

  child_process fg;
  pid_t pid;
  if (c.detached) {
    std::string err;
    pid = start_detached(h, args, &err);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(err, "");
  } else {
    fg = h.start(args);
    pid = fg.pid;
  }

  // The PID of the process that runs the loop (for a detached daemon not
  // that of its starter), in decimal, nothing before or after it.
  ASSERT_TRUE(wait_for_content(path, pid_text(pid), LIMIT_MS)) << "file holds \"" << read_file(path) << "\"";
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_TRUE(h.wait_for_lists(2, LIMIT_MS));  // it cycles with its file in place
  EXPECT_EQ(read_file(path), pid_text(pid));

  if (c.detached) {
    stop_daemon(h, pid, c.sig);
  } else {
    fg.send(c.sig);
    exit_result r = fg.wait(LIMIT_MS);
    ASSERT_TRUE(r.finished);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(fg.err(), "");
  }
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(h.log_texts(), std::vector<std::string>{"starting...."});
}

INSTANTIATE_TEST_SUITE_P(DaemonPidFile, PidFileOwn,
                         testing::Values(own_case{"DetachedTerm", true, SIGTERM, false},
                                         own_case{"DetachedInt", true, SIGINT, false},
                                         own_case{"ForegroundTerm", false, SIGTERM, false},
                                         own_case{"ForegroundInt", false, SIGINT, false},
                                         own_case{"DetachedLongestPath", true, SIGTERM, true}),
                         [](const testing::TestParamInfo<own_case>& i) { return std::string(i.param.name); });

// ---- A relative path names one file from the start to the stop.

struct relative_case {
  const char* name;
  const char* cwd;  // below the test's directory ("" for the directory itself)
  const char* arg;  // the -p argument
  const char* file;  // where it must appear, below the test's directory
  const char* from_root;  // where the argument would lead from /
};
void PrintTo(const relative_case& c, std::ostream* os) { *os << c.name; }

class PidFileRelative : public testing::TestWithParam<relative_case> {};

TEST_P(PidFileRelative, DetachedDaemonCreatesAndRemovesTheFileOfItsStartingDirectory) {
  const relative_case& c = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  make_dir(h.dir.file("run"));
  make_dir(h.dir.file("sub"));
  std::string cwd = h.dir.path + (c.cwd[0] != '\0' ? std::string("/") + c.cwd : "");
  std::string file = h.dir.file(c.file);
  bool root_had_it = exists(c.from_root);

  pid_t pid = start_detached(h, {"-t", "5", "-s", "1", "-p", c.arg}, nullptr, cwd);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_for_content(file, pid_text(pid), LIMIT_MS)) << file;
  ASSERT_TRUE(h.wait_for_lists(2, LIMIT_MS));
  stop_daemon(h, pid, SIGTERM);

  EXPECT_FALSE(exists(file)) << "the stop left " << file;
  EXPECT_EQ(exists(c.from_root), root_had_it) << c.from_root;
}

INSTANTIATE_TEST_SUITE_P(
    DaemonPidFile, PidFileRelative,
    testing::Values(relative_case{"IntoASubdirectory", "", "run/hostreapd-test-x.pid",
                                  "run/hostreapd-test-x.pid", "/run/hostreapd-test-x.pid"},
                    relative_case{"UpFromASubdirectory", "sub", "../hostreapd-test-up.pid",
                                  "hostreapd-test-up.pid", "/hostreapd-test-up.pid"},
                    relative_case{"PlainName", "sub", "hostreapd-test-here.pid",
                                  "sub/hostreapd-test-here.pid", "/hostreapd-test-here.pid"}),
    [](const testing::TestParamInfo<relative_case>& i) { return std::string(i.param.name); });

// ---- A second start while the first runs.

class PidFileSecondStart : public testing::TestWithParam<bool> {};

TEST_P(PidFileSecondStart, IsRefusedWithTheFirstOnesPidAndNeverDetaches) {
  bool first_detached = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  std::string path = h.dir.file("hostreapd.pid");
  std::vector<std::string> args = {"-t", "5", "-s", "1", "-p", path};

  child_process fg;
  pid_t first;
  if (first_detached) {
    first = start_detached(h, args);
  } else {
    std::vector<std::string> fg_args = args;
    fg_args.push_back("-f");
    fg = h.start(fg_args);
    first = fg.pid;
  }
  ASSERT_GT(first, 0);
  ASSERT_TRUE(wait_for_content(path, pid_text(first), LIMIT_MS));

  for (bool second_detached : {true, false}) {
    SCOPED_TRACE(second_detached ? "second start detached" : "second start in the foreground");
    std::vector<std::string> second_args = args;
    if (!second_detached) second_args.push_back("-f");
    child_process second = h.start(second_args);
    exit_result r = second.wait(LIMIT_MS);
    ASSERT_TRUE(r.finished);
    EXPECT_TRUE(r.exited);
    // Status 1 from the starter itself: a detached child would have left
    // its starter with status 0.
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(second.err(), "hostreapd: hostreapd already running, pid: " + pid_text(first) + "\n");
    EXPECT_EQ(h.daemons(), std::vector<pid_t>{first});
    EXPECT_EQ(read_file(path), pid_text(first));
  }

  // The first one never noticed: it cycles on and removes its file at the stop.
  long lists = h.requests(89);
  ASSERT_TRUE(h.wait_for_lists(lists + 1, LIMIT_MS));
  if (first_detached) {
    stop_daemon(h, first, SIGTERM);
  } else {
    fg.send(SIGTERM);
    ASSERT_TRUE(fg.wait(LIMIT_MS).finished);
  }
  EXPECT_FALSE(exists(path));
}

INSTANTIATE_TEST_SUITE_P(DaemonPidFile, PidFileSecondStart, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "Detached" : "InTheForeground");
                         });

// ---- A file held by someone else: a running instance, whatever it holds.

struct held_case {
  const char* name;
  const char* content;  // what the holder's file says
  const char* pid;  // the PID the refusal names
};
void PrintTo(const held_case& c, std::ostream* os) { *os << c.name; }

class PidFileHeld : public testing::TestWithParam<held_case> {};

TEST_P(PidFileHeld, StartIsRefusedAndTheHoldersFileLeftAlone) {
  const held_case& c = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  std::string path = h.dir.file("hostreapd.pid");
  lock_holder holder(path, c.content);

  child_process starter = h.start({"-t", "5", "-s", "1", "-p", path});
  exit_result r = starter.wait(LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(starter.err(), std::string("hostreapd: hostreapd already running, pid: ") + c.pid + "\n");
  EXPECT_TRUE(h.daemons().empty());
  EXPECT_EQ(h.requests(93), 0);  // refused before the first cycle
  // The holder's file is the holder's: neither changed nor removed.
  EXPECT_EQ(read_file(path), c.content);
}

INSTANTIATE_TEST_SUITE_P(
    DaemonPidFile, PidFileHeld,
    testing::Values(held_case{"Pid", "4321", "4321"},
                    // A holder between taking the lock and writing its PID.
                    held_case{"Empty", "", "0"}, held_case{"PidAndLineFeed", "4321\n", "4321"},
                    // Not a PID: held all the same, the holder unnamed.
                    held_case{"Negative", "-5", "0"}, held_case{"Zero", "0", "0"},
                    held_case{"FifteenDigits", "999999999999999", "0"}, held_case{"Words", "not a pid", "0"}),
    [](const testing::TestParamInfo<held_case>& i) { return std::string(i.param.name); });

// ---- Something at the path that is not taken over: a warning that names
// it, and a run without a PID file that leaves it as it was.

struct refused_case {
  const char* name;
  // Puts it at path. dir holds "target", a file of "secret" (mode 0600)
  // that a link may lead to.
  std::function<void(const std::string& dir, const std::string& path)> build;
  const char* refusal;  // what the warning says of the path
  bool needs_root = false;  // gives a file away
};
void PrintTo(const refused_case& c, std::ostream* os) { *os << c.name; }

// Whether this process can take the lock of path's file without waiting:
// it cannot while the daemon holds it.
bool can_lock(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return ok;
}

class PidFileRefused : public testing::TestWithParam<refused_case> {};

TEST_P(PidFileRefused, WarnsNamingItAndRunsWithoutAPidFile) {
  const refused_case& c = GetParam();
  if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string target = h.dir.file("target");
  write_file(target, "secret");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  const std::string path = h.dir.file("hostreapd.pid");
  c.build(h.dir.path, path);
  struct stat before;
  ASSERT_EQ(lstat(path.c_str(), &before), 0);
  const std::string content = S_ISREG(before.st_mode) ? read_file(path) : "";

  std::string err;
  pid_t pid = start_detached(h, {"-t", "5", "-s", "1", "-p", path}, &err);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(err, "hostreapd: cannot open pid file: " + path + " " + c.refusal + "\n");
  ASSERT_TRUE(h.wait_for_lists(2, LIMIT_MS));
  // Running, it holds no lock on anything the path leads to.
  EXPECT_TRUE(can_lock(target));
  if (S_ISREG(before.st_mode)) {
    EXPECT_TRUE(can_lock(path));
  }
  stop_daemon(h, pid, SIGTERM);

  struct stat after;
  ASSERT_EQ(lstat(path.c_str(), &after), 0) << "the stop removed what it had refused";
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  if (S_ISREG(after.st_mode)) {
    EXPECT_EQ(read_file(path), content);
  }
  EXPECT_EQ(read_file(target), "secret");
  EXPECT_FALSE(exists(h.dir.file("missing"))) << "a file was created through the link";
}

INSTANTIATE_TEST_SUITE_P(
    DaemonPidFile, PidFileRefused,
    testing::Values(refused_case{"SymlinkToFile",
                                 [](const std::string& d, const std::string& p) {
                                   ASSERT_EQ(symlink((d + "/target").c_str(), p.c_str()), 0)
                                       << strerror(errno);
                                 },
                                 "is a symbolic link"},
                    refused_case{"DanglingSymlink",
                                 [](const std::string& d, const std::string& p) {
                                   ASSERT_EQ(symlink((d + "/missing").c_str(), p.c_str()), 0)
                                       << strerror(errno);
                                 },
                                 "is a symbolic link"},
                    refused_case{"HardLink",
                                 [](const std::string& d, const std::string& p) {
                                   ASSERT_EQ(link((d + "/target").c_str(), p.c_str()), 0) << strerror(errno);
                                 },
                                 "has more than one link"},
                    refused_case{"Directory", [](const std::string&, const std::string& p) { make_dir(p); },
                                 "is not a regular file"},
                    // No reader: the open must neither wait for one nor be taken.
                    refused_case{"Fifo",
                                 [](const std::string&, const std::string& p) {
                                   ASSERT_EQ(mkfifo(p.c_str(), 0600), 0) << strerror(errno);
                                 },
                                 "is not a regular file"},
                    // Its owner could rewrite the PID that a stop would signal.
                    refused_case{"OtherUsersFile",
                                 [](const std::string&, const std::string& p) {
                                   write_file(p, "4321");
                                   ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0) << strerror(errno);
                                   ASSERT_EQ(chmod(p.c_str(), 0666), 0);
                                 },
                                 "is owned by another user or writable by group or others", true}),
    [](const testing::TestParamInfo<refused_case>& i) { return std::string(i.param.name); });

// ---- Paths that cannot be had: a warning, and a run without a PID file.

struct unusable_case {
  const char* name;
  std::function<std::string(const std::string& dir)> path;  // from the test's directory
  const char* err;
  bool names_a_file;  // the path could name a file, which must not appear
};
void PrintTo(const unusable_case& c, std::ostream* os) { *os << c.name; }

class PidFileUnusable : public testing::TestWithParam<unusable_case> {};

TEST_P(PidFileUnusable, WarnsAndRunsWithoutAPidFile) {
  const unusable_case& c = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  std::string path = c.path(h.dir.path);

  std::string err;
  pid_t pid = start_detached(h, {"-t", "5", "-s", "1", "-p", path}, &err);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(err, c.err);
  ASSERT_TRUE(h.wait_for_lists(2, LIMIT_MS));
  if (c.names_a_file) {
    EXPECT_FALSE(exists(path)) << path;
  }
  stop_daemon(h, pid, SIGTERM);
}

INSTANTIATE_TEST_SUITE_P(
    DaemonPidFile, PidFileUnusable,
    testing::Values(unusable_case{"MissingDirectory",
                                  [](const std::string& d) { return d + "/no-such-dir/hostreapd.pid"; },
                                  "hostreapd: cannot open pid file: No such file or directory\n", true},
                    // Every directory on the way exists: only the length refuses it.
                    unusable_case{"Length1024", [](const std::string& d) { return path_of_length(d, 1024); },
                                  "hostreapd: cannot open pid file: File name too long\n", true},
                    unusable_case{"Length2000", [](const std::string& d) { return path_of_length(d, 2000); },
                                  "hostreapd: cannot open pid file: File name too long\n", true},
                    // An empty path names no file, wherever the daemon starts.
                    unusable_case{"Empty", [](const std::string&) { return std::string(); },
                                  "hostreapd: cannot open pid file: No such file or directory\n", false}),
    [](const testing::TestParamInfo<unusable_case>& i) { return std::string(i.param.name); });

// ---- A stale file, left where no one holds it, is taken over.

enum class stale_kind { killed, fatal_error, long_content, garbage };

struct stale_case {
  const char* name;
  stale_kind kind;
};
void PrintTo(const stale_case& c, std::ostream* os) { *os << c.name; }

class PidFileStale : public testing::TestWithParam<stale_case> {};

TEST_P(PidFileStale, NextStartTakesItOver) {
  const stale_case& c = GetParam();
  daemon_harness h;
  std::string path = h.dir.file("hostreapd.pid");
  std::vector<std::string> args = {"-t", "5", "-s", "1", "-p", path};
  std::string stale;

  switch (c.kind) {
    case stale_kind::killed: {
      h.admin("create 5 type addr");
      pid_t old = start_detached(h, args);
      ASSERT_GT(old, 0);
      ASSERT_TRUE(wait_for_content(path, pid_text(old), LIMIT_MS));
      stop_daemon(h, old, SIGKILL);
      stale = pid_text(old);
      break;
    }
    case stale_kind::fatal_error: {
      // The first cycle's listing is refused and the daemon ends with its
      // fatal message, which names its PID; it removes its file on the way
      // out, so there is nothing to take over, and the next start runs.
      h.admin("create 5 type addr");
      h.admin("fault fail list EPERM");
      child_process starter = h.start(args);
      ASSERT_TRUE(starter.wait(LIMIT_MS).finished);
      const std::string fatal = "Error requesting table 5 list: Operation not permitted";
      ASSERT_TRUE(h.sink.wait_for(fatal, LIMIT_MS));
      pid_t old = -1;
      for (const auto& m : h.sink.messages())
        if (m.text == fatal) old = m.pid;
      ASSERT_GT(old, 0);
      EXPECT_TRUE(h.wait_gone(old, LIMIT_MS));
      EXPECT_FALSE(exists(path)) << "a fatal error left the PID file";
      stale = "";
      break;
    }
    case stale_kind::long_content:
      h.admin("create 5 type addr");
      stale = "99999999999999";  // longer than any PID: the rest must not stay behind
      write_file(path, stale);
      break;
    case stale_kind::garbage:
      h.admin("create 5 type addr");
      stale = "not a pid\n";  // unreadable, but no one holds it
      write_file(path, stale);
      break;
  }
  ASSERT_EQ(read_file(path), stale) << "the file should be left behind";

  std::string err;
  pid_t pid = start_detached(h, args, &err);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(err, "");
  ASSERT_TRUE(wait_for_content(path, pid_text(pid), LIMIT_MS)) << "file holds \"" << read_file(path) << "\"";
  ASSERT_TRUE(h.wait_for_lists(2, LIMIT_MS));
  stop_daemon(h, pid, SIGTERM);
  EXPECT_FALSE(exists(path));
}

INSTANTIATE_TEST_SUITE_P(DaemonPidFile, PidFileStale,
                         testing::Values(stale_case{"KilledDaemon", stale_kind::killed},
                                         stale_case{"FatalError", stale_kind::fatal_error},
                                         stale_case{"LongContent", stale_kind::long_content},
                                         stale_case{"Garbage", stale_kind::garbage}),
                         [](const testing::TestParamInfo<stale_case>& i) {
                           return std::string(i.param.name);
                         });

// ---- Two starts at the same moment.

class PidFileRace : public testing::TestWithParam<bool> {};

TEST_P(PidFileRace, ExactlyOneRunsAndTheOtherIsRefused) {
  bool detached = GetParam();
  // A few rounds, so that the loser meets the winner at different moments
  // (before or after it wrote its PID); every one must end the same way.
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    daemon_harness h;
    h.admin("create 5 type addr");
    std::string path = h.dir.file("hostreapd.pid");
    std::vector<std::string> args = {"-t", "5", "-s", "1", "-p", path};
    if (!detached) args.push_back("-f");

    child_process a = h.start(args);
    child_process b = h.start(args);
    const pid_t starters[2] = {a.pid, b.pid};
    child_process* both[2] = {&a, &b};

    // Detached, both starters end: the winner's with 0 once its child has
    // detached, the loser's with 1. In the foreground only the loser ends.
    exit_result ends[2];
    poll_until(
        [&] {
          for (int i = 0; i < 2; i++)
            if (!ends[i].finished) ends[i] = both[i]->wait(0);
          return detached ? ends[0].finished && ends[1].finished : ends[0].finished || ends[1].finished;
        },
        LIMIT_MS);
    int lost = ends[0].finished && ends[0].exited && ends[0].code == 1 ? 0 : 1;
    ASSERT_TRUE(ends[lost].finished && ends[lost].exited && ends[lost].code == 1)
        << "neither start was refused";
    child_process* loser = both[lost];
    child_process* winner_child = both[1 - lost];
    std::string loser_err = loser->err();

    pid_t winner;
    if (detached) {
      ASSERT_TRUE(ends[1 - lost].finished);
      EXPECT_TRUE(ends[1 - lost].exited);
      EXPECT_EQ(ends[1 - lost].code, 0);
      winner = h.find_daemon(LIMIT_MS);
      ASSERT_GT(winner, 0);
      EXPECT_NE(winner, starters[0]);
      EXPECT_NE(winner, starters[1]);
    } else {
      EXPECT_FALSE(ends[1 - lost].finished) << "the winner ended";
      winner = winner_child->pid;
      ASSERT_GT(winner, 0);
    }
    EXPECT_EQ(winner_child->err(), "");
    EXPECT_EQ(h.daemons(), std::vector<pid_t>{winner});

    // The loser read the winner's file either before or after the PID was
    // written into it.
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(loser_err, m, std::regex("hostreapd: hostreapd already running, pid: ([0-9]+)\n")))
        << loser_err;
    EXPECT_TRUE(m[1] == "0" || m[1] == pid_text(winner)) << loser_err;
    ASSERT_TRUE(wait_for_content(path, pid_text(winner), LIMIT_MS));

    if (detached) {
      stop_daemon(h, winner, SIGTERM);
    } else {
      winner_child->send(SIGTERM);
      ASSERT_TRUE(winner_child->wait(LIMIT_MS).finished);
    }
    EXPECT_FALSE(exists(path));
  }
}

INSTANTIATE_TEST_SUITE_P(DaemonPidFile, PidFileRace, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "Detached" : "InTheForeground");
                         });

}  // namespace

namespace {

// Started with standard input, output and error closed, the daemon must
// not let the PID file take one of their numbers: detaching puts the null
// device over them, which would close the file and drop its lock.
TEST(DaemonPidFileClosedDescriptors, LockHoldsAfterDetaching) {
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string path = h.dir.file("hostreapd.pid");
  std::vector<std::string> argv = {
      "/bin/sh", "-c", "exec 0<&- 1>&- 2>&- \"$0\" \"$@\"", HOSTREAPD_BIN, "-t", "5", "-s", "1", "-p", path};
  child_process starter =
      child_process::start(h.sink.wrap(argv), h.dir.path, {"FWEMU_SOCKET=" + h.emu.socket_path()});
  ASSERT_TRUE(starter.wait(LIMIT_MS).finished);
  pid_t pid = h.find_daemon(LIMIT_MS);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_for_content(path, pid_text(pid), LIMIT_MS)) << "file holds \"" << read_file(path) << "\"";
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));

  // The lock still holds: a second start is refused and names the first.
  child_process second = h.start({"-t", "5", "-p", path});
  exit_result r = second.wait(LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(second.err(), "hostreapd: hostreapd already running, pid: " + pid_text(pid) + "\n");

  stop_daemon(h, pid, SIGTERM);
  EXPECT_FALSE(exists(path));
}

}  // namespace

namespace {

// ---- A start that races the stop of the instance before it.
//
// The start is held by a preload library between the open of the PID file
// and its lock (tests/preload/lock_pause.cc); only the daemon is given it.

#if defined(O_EXLOCK)
// Where open(2) takes the lock itself there is no moment to hold it in.
constexpr bool can_pause_before_lock = false;
#else
constexpr bool can_pause_before_lock = true;
#endif

// One mount namespace whose /dev/log is the harness's sink, shared by every
// daemon of a test: a process that only sleeps holds it, and each start
// enters it (much quicker than a namespace of its own for each start).
struct shared_devlog {
  explicit shared_devlog(daemon_harness& h)
      : holder(child_process::start(h.sink.wrap({"/bin/sleep", "3600"}), h.dir.path)) {
    // Set up once the wrapper has handed over to sleep.
    poll_until([&] { return read_file("/proc/" + pid_text(holder.pid) + "/comm") == "sleep\n"; }, LIMIT_MS,
               1);
  }
  child_process holder;
};

// Starts a foreground daemon in the shared namespace, with the preload
// library and its settings when env is not empty (nsenter, which takes no
// lock, hands them on to the daemon).
child_process start_daemon(daemon_harness& h, const shared_devlog& ns, const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv = {"/usr/bin/nsenter", "-m", "-t", pid_text(ns.holder.pid), HOSTREAPD_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> all_env = {"FWEMU_SOCKET=" + h.emu.socket_path()};
  if (!env.empty()) {
    all_env.push_back(std::string("LD_PRELOAD=") + LOCK_PAUSE_LIB);
#if defined(HOSTREAPD_SANITIZED)
    // The library comes before the sanitizer's runtime in the load order.
    all_env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
#endif
    all_env.insert(all_env.end(), env.begin(), env.end());
  }
  return child_process::start(argv, h.dir.path, all_env);
}

// Polls every millisecond, reading the syslog sink meanwhile (each start
// logs, and a sink nobody reads would hold the daemons in syslog(3)).
bool wait_until(daemon_harness& h, const std::function<bool()>& done) {
  return poll_until(
      [&] {
        h.sink.messages();
        return done();
      },
      LIMIT_MS, 1);
}

// Waits for a start to end and expects it refused, naming holder.
void expect_refused(daemon_harness& h, child_process& start, pid_t holder) {
  exit_result r = h.wait_exit(start, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(exit_status(r), 1);
  EXPECT_EQ(start.err(), "hostreapd: hostreapd already running, pid: " + pid_text(holder) + "\n");
}

// Round after round, a start B is held between its open of the PID file
// and its lock while the running instance A stops (and unlinks the file B
// opened). Then either B goes on at once (it must notice that its file has
// lost its name, take the path anew and run), or a third start C comes
// first and takes the path (B must then be refused, naming C). Either way,
// exactly one daemon runs, its PID is in the file, and a further start is
// refused.
TEST(DaemonPidFileRestartRace, NeverTwoSweepers) {
  if (!can_pause_before_lock) GTEST_SKIP() << "the lock is taken by open(2) itself";
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string path = h.dir.file("hostreapd.pid");
  const std::vector<std::string> args = {"-t", "5", "-s", "3600", "-f", "-p", path};
  shared_devlog ns(h);

  child_process running = start_daemon(h, ns, args);
  ASSERT_TRUE(wait_until(h, [&] { return exists(path) && read_file(path) == pid_text(running.pid); }));

#if defined(HOSTREAPD_SANITIZED)
  // Every start is several times slower there; the rounds are the same.
  constexpr int rounds = 50;
#else
  constexpr int rounds = 200;
#endif
  for (int round = 0; round < rounds; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool third_first = round % 2 == 1;
    const std::string pause = h.dir.file("pause." + std::to_string(round));
    make_dir(pause);

    child_process b = start_daemon(h, ns, args, {"HOSTREAPD_TEST_LOCK_PAUSE=" + pause});
    ASSERT_TRUE(wait_until(h, [&] { return exists(pause + "/paused"); })) << "the start was not held";
    running.send(SIGTERM);
    exit_result stopped = h.wait_exit(running, LIMIT_MS);
    ASSERT_EQ(exit_status(stopped), 0);
    ASSERT_FALSE(exists(path)) << "the stop left its file";

    child_process survivor;
    if (third_first) {
      child_process c = start_daemon(h, ns, args);
      ASSERT_TRUE(wait_until(h, [&] { return exists(path) && read_file(path) == pid_text(c.pid); }));
      write_file(pause + "/go", "");
      expect_refused(h, b, c.pid);
      survivor = std::move(c);
    } else {
      write_file(pause + "/go", "");
      ASSERT_TRUE(wait_until(h, [&] { return exists(path) && read_file(path) == pid_text(b.pid); }))
          << "the held start did not take the path anew";
      survivor = std::move(b);
    }
    if (HasFatalFailure()) return;

    child_process further = start_daemon(h, ns, args);
    expect_refused(h, further, survivor.pid);
    ASSERT_EQ(h.daemons(), std::vector<pid_t>{survivor.pid}) << "two sweepers";
    if (HasFailure()) return;
    running = std::move(survivor);
  }

  running.send(SIGTERM);
  EXPECT_EQ(exit_status(h.wait_exit(running, LIMIT_MS)), 0);
  EXPECT_FALSE(exists(path));
  // Every daemon that ran (the first, and one each round) logged its start
  // into the sink, none to the system's log; a refused start logs nothing.
  std::vector<std::string> texts = h.log_texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "starting...."), 1 + rounds);
}

// A path that names another file every time the one opened is locked (here
// the library unlinks it right before each lock) is not tried for ever, and
// not given up for a run without the lock: the start is refused.
TEST(DaemonPidFileRestartRace, PathReplacedAtEveryTryRefusesTheStart) {
  if (!can_pause_before_lock) GTEST_SKIP() << "the lock is taken by open(2) itself";
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string path = h.dir.file("hostreapd.pid");
  shared_devlog ns(h);
  child_process d =
      start_daemon(h, ns, {"-t", "5", "-f", "-p", path}, {"HOSTREAPD_TEST_LOCK_UNLINK=" + path});
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(exit_status(r), 1);
  EXPECT_EQ(d.err(), "hostreapd: cannot lock pid file " + path + ": it keeps being replaced\n");
  EXPECT_EQ(h.requests(93), 0);
  EXPECT_TRUE(h.daemons().empty());
}

// ---- A PID file on a full file system.
//
// A small tmpfs, filled, in a private mount namespace: the daemon is
// started in it, and a second start enters the same namespace.

// argv run in a new mount namespace where dir is a full tmpfs, under the
// harness's /dev/log.
std::vector<std::string> on_full_file_system(daemon_harness& h, const std::string& dir,
                                             const std::vector<std::string>& argv) {
  const std::string script =
      "set -eu; d=$1; shift; mount -t tmpfs -o size=64k,mode=0700 hostreapd-full \"$d\";"
      " cat /dev/zero > \"$d/fill\" 2>/dev/null || true; exec /bin/sh \"$@\"";
  std::vector<std::string> out = {"/usr/bin/unshare", "-m",        "/bin/sh",    "-c", script, "sh", dir,
                                  DEVLOG_WRAPPER,     h.sink.path, HOSTREAPD_BIN};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

class PidFileFullFileSystem : public testing::TestWithParam<bool> {};

// The PID cannot be written: one warning, and the daemon runs holding the
// locked (empty) file, so a second start is refused; the file stays until
// the stop.
TEST_P(PidFileFullFileSystem, WarnsAndKeepsTheLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system";
  const bool detached = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  const std::string full = h.dir.file("full");
  make_dir(full);
  const std::string path = full + "/hostreapd.pid";
  std::vector<std::string> args = {"-t", "5", "-s", "1", "-p", path};
  if (!detached) args.push_back("-f");
  const std::vector<std::string> env = {"FWEMU_SOCKET=" + h.emu.socket_path()};

  child_process starter = child_process::start(on_full_file_system(h, full, args), h.dir.path, env);
  pid_t pid = starter.pid;
  if (detached) {
    exit_result r = h.wait_exit(starter, LIMIT_MS);
    ASSERT_EQ(exit_status(r), 0) << starter.err();
    pid = h.find_daemon(LIMIT_MS);
    ASSERT_GT(pid, 0);
  }
  const std::string warning = "cannot write pid file " + path + ": " + strerror(ENOSPC);
  ASSERT_TRUE(h.sink.wait_for(warning, LIMIT_MS)) << starter.err();
  ASSERT_TRUE(h.wait_for_lists(2, LIMIT_MS));
  for (const auto& m : h.sink.messages()) {
    if (m.text == warning) {
      EXPECT_EQ(m.priority, LOG_AUTH | LOG_WARNING);
    }
  }
  // The file, as the daemon sees it: there, empty.
  const std::string seen = "/proc/" + pid_text(pid) + "/root" + path;
  EXPECT_TRUE(exists(seen));
  EXPECT_EQ(read_file(seen), "");

  // A second start, in the daemon's namespace: refused, naming no PID.
  std::vector<std::string> second = {
      "/usr/bin/nsenter", "-m", "-t", pid_text(pid), HOSTREAPD_BIN, "-t", "5", "-f", "-p", path};
  run_output r = run_program(second, h.dir.path, env, LIMIT_MS);
  EXPECT_EQ(exit_status(r.status), 1);
  EXPECT_EQ(r.err, "hostreapd: hostreapd already running, pid: 0\n");
  EXPECT_EQ(h.daemons(), std::vector<pid_t>{pid});

  EXPECT_EQ(kill(pid, SIGTERM), 0);
  if (detached) {
    EXPECT_TRUE(h.wait_gone(pid, LIMIT_MS));
  } else {
    exit_result end = h.wait_exit(starter, LIMIT_MS);
    EXPECT_EQ(exit_status(end), 0);
    EXPECT_EQ(starter.err(), "hostreapd: " + warning + "\n");
  }
  std::vector<std::string> texts = h.log_texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), warning), 1);
}

INSTANTIATE_TEST_SUITE_P(DaemonPidFile, PidFileFullFileSystem, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "Detached" : "InTheForeground");
                         });

}  // namespace
