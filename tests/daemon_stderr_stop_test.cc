// SPDX-License-Identifier: BSD-2-Clause
// A stop is honoured whatever standard error does: in the foreground with
// standard error a pipe that is full and that nobody reads (a stuck logger
// or supervisor), a line of state, a -w warning and a fatal message each
// block in their write; SIGTERM then still ends the daemon, with the
// status of its ending, and leaves no PID file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

// Guards against hangs only; the machine may be loaded.
constexpr int LIMIT_MS = 20000;

// A FIFO whose reader never reads, filled to the brim before the daemon
// opens it as its standard error: the first line written there blocks.
struct full_pipe {
  std::string path;
  int reader = -1;

  explicit full_pipe(const temp_dir& dir) : path(dir.file("err.fifo")) {
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << strerror(errno);
    reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(reader, 0) << strerror(errno);
    const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(writer, 0) << strerror(errno);
    const char byte = 'x';
    while (write(writer, &byte, 1) == 1) {
    }
    EXPECT_EQ(errno, EAGAIN);
    close(writer);
  }
  ~full_pipe() { close(reader); }
  full_pipe(const full_pipe&) = delete;
  full_pipe& operator=(const full_pipe&) = delete;
};

// Whether the process is blocked in a system call other than the pause's
// (its write to standard error, or a wait for room to write).
bool blocked_outside_pause(pid_t pid) {
  const long call = blocked_syscall(pid);
  return call >= 0 && call != SYS_rt_sigtimedwait;
}

struct stderr_case {
  const char* name;
  std::vector<std::string> args;  // after -t 5 -f -p PIDFILE
  const char* fault;  // set before the start, or null
  int status;
};

class DaemonStderrStop : public testing::TestWithParam<stderr_case> {};

TEST_P(DaemonStderrStop, AStopEndsTheDaemonWhileStandardErrorIsFull) {
  const stderr_case& c = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  if (c.fault != nullptr) h.admin(c.fault);
  full_pipe err(h.dir);
  const std::string pid_file = h.dir.file("pid");
  std::vector<std::string> argv = {
      "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>\"$ERR_FIFO\"", HOSTREAPD_BIN, "-t", "5", "-f", "-p", pid_file};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  child_process d = child_process::start(h.sink.wrap(argv), h.dir.path,
                                         {"FWEMU_SOCKET=" + h.emu.socket_path(), "ERR_FIFO=" + err.path});

  // What makes the daemon write to standard error, and its copy in the log
  // where it has one: the write comes right after it.
  if (std::string(c.name) == "LineOfState") {
    ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
    ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
    d.send(SIGUSR1);
    ASSERT_TRUE(poll_until(
        [&] {
          for (const auto& t : h.log_texts())
            if (t.starts_with("table 5: ")) return true;
          return false;
        },
        LIMIT_MS));
  } else if (std::string(c.name) == "WaitWarning") {
    ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
    h.admin("destroy 5");
    ASSERT_TRUE(h.sink.wait_for("table 5 is gone; waiting for it to come back", LIMIT_MS));
  } else {
    ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  }
  ASSERT_TRUE(poll_until([&] { return blocked_outside_pause(d.pid); }, LIMIT_MS));

  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished) << "the stop was held by the blocked standard error";
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, c.status);
  EXPECT_FALSE(wait_for_file(pid_file, 0)) << "the PID file stays";
}

INSTANTIATE_TEST_SUITE_P(
    Writes, DaemonStderrStop,
    testing::Values(stderr_case{"LineOfState", {"-s", "3600"}, nullptr, 0},
                    stderr_case{"WaitWarning", {"-s", "1", "-w"}, nullptr, 0},
                    // The first cycle's listing is refused: the fatal message,
                    // then the end with its own status.
                    stderr_case{"FatalMessage", {"-s", "1"}, "fault fail list EPERM", 71}),
    [](const testing::TestParamInfo<stderr_case>& i) { return std::string(i.param.name); });

}  // namespace
