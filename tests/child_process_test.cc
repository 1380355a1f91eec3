// SPDX-License-Identifier: BSD-2-Clause
// The child-process helper of the test support: a test process that dies
// (killed by ctest's time limit, say) takes the programs it started with
// it, instead of leaving them running.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

TEST(ChildProcess, DiesWithTheProcessThatStartedIt) {
#ifndef __linux__
  GTEST_SKIP() << "no parent-death signal on this system";
#endif
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // A stand-in for a test process: it starts a program, says which, and
  // waits to be killed.
  pid_t test_process = fork();
  ASSERT_GE(test_process, 0);
  if (test_process == 0) {
    close(fds[0]);
    child_process c = child_process::start({"/bin/sleep", "60"}, "");
    ssize_t n = write(fds[1], &c.pid, sizeof c.pid);
    (void)n;
    for (;;) pause();
  }
  close(fds[1]);
  pid_t program = 0;
  ASSERT_EQ(read(fds[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
  close(fds[0]);
  ASSERT_GT(program, 0);
  ASSERT_TRUE(process_alive(program));

  kill(test_process, SIGKILL);
  waitpid(test_process, nullptr, 0);
  const bool gone = poll_until([&] { return !process_alive(program); }, 10000);
  EXPECT_TRUE(gone) << "the program the killed process started still runs";
  if (!gone) kill(program, SIGKILL);
}

}  // namespace
