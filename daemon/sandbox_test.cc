// SPDX-License-Identifier: BSD-2-Clause
// The sandbox's entry against a fake of the platform's capability calls:
// every descriptor kept is limited to its use before the process enters
// capability mode; a kernel without capability mode is one warning and no
// failure; any other refusal ends the process with 71 and its reason.
#include "daemon/sandbox.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake_platform.h"

namespace {

// What the fake was asked, in order ("limit FD USE", "enter"), and how it
// answers: the error number of the limit of one use, or of the entry (0:
// success).
std::vector<std::string> asked;
int limit_error = 0;
fd_use refused_use = fd_use::input;
int enter_error = 0;

int fake_limit(int fd, fd_use use) {
  asked.push_back("limit " + std::to_string(fd) + " " + fd_use_name(use));
  if (limit_error != 0 && use == refused_use) {
    errno = limit_error;
    return -1;
  }
  return 0;
}

int fake_enter() {
  asked.push_back("enter");
  if (enter_error != 0) {
    errno = enter_error;
    return -1;
  }
  return 0;
}

std::vector<std::string> warned;
void record_warning(const char* text) { warned.push_back(text); }

std::vector<std::string> logged;
void record_log(int, const char* text) { logged.push_back(text); }

platform with_fake_capabilities() {
  platform p = with_throwing_exit();
  p.limit_fd = fake_limit;
  p.enter_capability_mode = fake_enter;
  p.log = record_log;
  return p;
}

sandbox_keep daemon_keeps() {
  sandbox_keep keep;
  keep.control = 3;
  keep.log_socket = 4;
  keep.log_directory = 5;
  keep.metrics_directory = 6;
  keep.pid_file = 7;
  keep.pid_directory = 8;
  return keep;
}

void reset(int limit_err, fd_use use, int enter_err) {
  asked.clear();
  warned.clear();
  logged.clear();
  limit_error = limit_err;
  refused_use = use;
  enter_error = enter_err;
}

// Every descriptor it keeps, each with its use, then the entry; one it
// does not have (-1) is not asked about.
TEST(Sandbox, LimitsEveryDescriptorKeptThenEnters) {
  platform_scope fake(with_fake_capabilities());
  reset(0, fd_use::input, 0);
  sandbox_keep keep = daemon_keeps();
  keep.metrics_directory = -1;
  enter_sandbox(keep, record_warning);
  EXPECT_EQ(asked,
            (std::vector<std::string>{
                "limit 3 the control socket", "limit 4 the log socket", "limit 5 the log socket's directory",
                "limit 7 the pid file", "limit 8 the pid file's directory", "limit 0 standard input",
                "limit 1 standard output or error", "limit 2 standard output or error", "enter"}));
  EXPECT_TRUE(warned.empty());

  // Before detaching: the descriptors held then, without entering.
  reset(0, fd_use::input, 0);
  keep = sandbox_keep{};
  keep.control = 3;
  keep.standard = false;
  fd_use refused = fd_use::input;
  EXPECT_EQ(limit_descriptors(keep, &refused), 0);
  EXPECT_EQ(asked, std::vector<std::string>{"limit 3 the control socket"});

  // A command that reads keys from standard input keeps the right to.
  reset(0, fd_use::input, 0);
  keep = sandbox_keep{};
  keep.reads_input = true;
  enter_sandbox(keep, record_warning);
  EXPECT_EQ(asked, (std::vector<std::string>{"limit 0 standard input, read for keys",
                                             "limit 1 standard output or error",
                                             "limit 2 standard output or error", "enter"}));
}

// A kernel without capability mode (ENOSYS from a limit or from the
// entry): one warning, and the process goes on as it was. Any other
// refusal ends it with 71, naming what was refused and why.
TEST(Sandbox, AKernelWithoutCapabilityModeWarnsAnyOtherRefusalEnds) {
  struct row {
    const char* name;
    int limit_err;
    fd_use use;
    int enter_err;
    int status;  // 0: goes on
    std::string message;  // the warning, or the fatal line logged
  } rows[] = {
      {"entry without capability mode", 0, fd_use::input, ENOSYS, 0, SANDBOX_UNAVAILABLE},
      {"limit without capability mode", ENOSYS, fd_use::control, 0, 0, SANDBOX_UNAVAILABLE},
      {"limit refused", EBADF, fd_use::pid_directory, 0, 71,
       std::string("cannot limit the rights of the pid file's directory: ") + strerror(EBADF)},
      {"entry refused", 0, fd_use::input, EPERM, 71,
       std::string("cannot enter capability mode: ") + strerror(EPERM)},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    platform p = with_fake_capabilities();
    p.fatal_to_log = true;
    platform_scope fake(p);
    reset(r.limit_err, r.use, r.enter_err);
    int status = 0;
    try {
      enter_sandbox(daemon_keeps(), record_warning);
    } catch (const fatal_exit& e) {
      status = e.status;
    }
    EXPECT_EQ(status, r.status);
    if (r.status == 0) {
      EXPECT_EQ(warned, std::vector<std::string>{r.message});
      EXPECT_TRUE(logged.empty());
    } else {
      EXPECT_TRUE(warned.empty());
      EXPECT_EQ(logged, std::vector<std::string>{r.message});
    }
  }

  // Before detaching, a refusal is the caller's to report; no capability
  // mode is no refusal.
  platform_scope fake(with_fake_capabilities());
  fd_use refused = fd_use::input;
  reset(EBADF, fd_use::metrics_directory, 0);
  errno = 0;
  EXPECT_EQ(limit_descriptors(daemon_keeps(), &refused), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(refused, fd_use::metrics_directory);
  reset(ENOSYS, fd_use::control, 0);
  EXPECT_EQ(limit_descriptors(daemon_keeps(), &refused), 0);
}

}  // namespace
