// SPDX-License-Identifier: BSD-2-Clause
// The start line, "starting....": sent by the process that sweeps (its PID
// is the one the PID file holds, also when the daemon detaches), and only
// once the stop and status handlers are in place, so that a syslogd that
// does not read while the daemon starts holds nothing a signal cannot
// end: a stop then ends the start with status 0 and leaves nothing, and a
// request for the line of state or for a cycle now does not end it.
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fwtable/log_sender.h"
#include "tests/support/daemon_harness.h"

namespace {

// Guards against hangs only.
constexpr int LIMIT_MS = 20000;

// Fills the sink's queue, as a syslogd that has stopped reading leaves
// it: the next line a program sends there waits for room. Nothing reads the
// sink until the test does.
void fill_sink(const syslog_sink& sink) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  memcpy(sun.sun_path, sink.path.c_str(), sink.path.size());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0) << strerror(errno);
  static const char filler[] = "<14>Jan  1 00:00:00 filler: the queue fills";
  while (send(fd, filler, sizeof filler - 1, 0) >= 0) {
  }
  EXPECT_EQ(errno, EAGAIN);
  close(fd);
}

// A hostreapd process of this harness that waits for room at syslogd.
pid_t waiting_for_room(daemon_harness& h) {
  pid_t found = -1;
  poll_until(
      [&] {
        for (pid_t p : h.daemons())
          if (waits_for_log_room(p)) found = p;
        return found > 0;
      },
      LIMIT_MS);
  return found;
}

struct stalled_case {
  const char* name;
  int sig;
};

class DaemonStalledStart : public testing::TestWithParam<stalled_case> {};

// syslogd reads nothing while the daemon starts, so its start line waits
// for room; the signal comes then. A stop ends the start with status 0 and
// no PID file; a request for the line of state or for a cycle now is kept,
// and answered once syslogd reads again.
TEST_P(DaemonStalledStart, ASignalWhileTheStartLineWaitsDoesNotKill) {
  const stalled_case& c = GetParam();
  for (bool detach : {false, true}) {
    SCOPED_TRACE(detach ? "detaching" : "foreground");
    daemon_harness h;
    h.admin("create 5 type addr");
    fill_sink(h.sink);
    const std::string pid_file = h.dir.file("pid");
    std::vector<std::string> args = {"-t", "5", "-s", "3600", "-p", pid_file};
    if (!detach) args.push_back("-f");
    child_process d = h.start(args);
    if (detach) {
      // The starter leaves once the daemon is detached (reading nothing of
      // the sink meanwhile).
      exit_result started = d.wait(LIMIT_MS);
      ASSERT_TRUE(started.finished) << "the starter waits for syslogd";
      EXPECT_EQ(exit_status(started), 0);
    }
    const pid_t pid = waiting_for_room(h);
    ASSERT_GT(pid, 0) << "no start line waits for syslogd";
    kill(pid, c.sig);

    if (c.sig == SIGTERM) {
      if (detach) {
        EXPECT_TRUE(h.wait_gone(pid, LIMIT_MS));
      } else {
        exit_result r = d.wait(LIMIT_MS);
        ASSERT_TRUE(r.finished);
        EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(d.err(), "");
      }
      EXPECT_FALSE(wait_for_file(pid_file, 0)) << "the PID file stays";
      EXPECT_TRUE(h.wait_no_daemons(LIMIT_MS));
      EXPECT_EQ(h.requests(89), 0) << "a stopped start swept";
      continue;
    }

    // syslogd reads again: the daemon goes on, and answers the request.
    h.sink.messages();
    if (c.sig == SIGUSR1) {
      ASSERT_TRUE(poll_until(
          [&] {
            for (const auto& t : h.log_texts())
              if (t.starts_with("table 5: ")) return true;
            return false;
          },
          LIMIT_MS))
          << "no line of state";
    } else {
      ASSERT_TRUE(h.wait_for_lists(2, LIMIT_MS)) << "no cycle now";
    }
    ASSERT_TRUE(h.wait_in_pause(pid, LIMIT_MS));
    EXPECT_TRUE(process_alive(pid));
    kill(pid, SIGTERM);
    EXPECT_TRUE(h.wait_gone(pid, LIMIT_MS));
    if (!detach) {
      EXPECT_EQ(exit_status(d.wait(LIMIT_MS)), 0);
    }
    EXPECT_FALSE(wait_for_file(pid_file, 0));
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonStalledStart,
                         testing::Values(stalled_case{"Term", SIGTERM}, stalled_case{"Usr1", SIGUSR1},
                                         stalled_case{"Hup", SIGHUP}),
                         [](const testing::TestParamInfo<stalled_case>& i) {
                           return std::string(i.param.name);
                         });

// The start line carries the PID of the daemon that runs, the one its PID
// file holds: in the foreground the process started, detached the child
// that sweeps (not the starter, which leaves).
TEST(DaemonStartLine, CarriesThePidThePidFileHolds) {
  for (bool detach : {false, true}) {
    SCOPED_TRACE(detach ? "detaching" : "foreground");
    daemon_harness h;
    h.admin("create 5 type addr");
    const std::string pid_file = h.dir.file("pid");
    std::vector<std::string> args = {"-t", "5", "-s", "3600", "-p", pid_file};
    if (!detach) args.push_back("-f");
    child_process d = h.start(args);
    const pid_t starter = d.pid;
    if (detach) {
      EXPECT_EQ(exit_status(h.wait_exit(d, LIMIT_MS)), 0);
    }
    ASSERT_TRUE(wait_for_file(pid_file, LIMIT_MS, true));
    ASSERT_TRUE(h.sink.wait_for("starting....", LIMIT_MS));
    const pid_t held = atoi(read_file(pid_file).c_str());
    ASSERT_GT(held, 0);
    if (detach) {
      EXPECT_NE(held, starter);
    } else {
      EXPECT_EQ(held, starter);
    }
    for (const auto& m : h.sink.messages()) {
      if (m.text == "starting....") {
        EXPECT_EQ(m.pid, held) << m.raw;
      }
    }
    kill(held, SIGTERM);
    EXPECT_TRUE(h.wait_gone(held, LIMIT_MS));
  }
}

}  // namespace
