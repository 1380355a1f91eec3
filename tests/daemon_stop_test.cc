// SPDX-License-Identifier: BSD-2-Clause
// The sweep loop as a user runs it, against a real emulator: cycles in the
// foreground and detached, and the stop signals at every moment of a cycle
// (during the pause, during a kernel request, before the first cycle).
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

// A stop must end the daemon promptly; this only guards against a hang (a
// pause of an hour, a lost signal), it measures nothing.
constexpr int STOP_LIMIT_MS = 5000;
// Waits for what a test needs to have happened; guards against hangs only.
constexpr int LIMIT_MS = 10000;
// A stop gives up a request whose reply has not come a second after it.
// What the tests allow for that: far more than the second, far less than
// the time the server holds such a reply back.
constexpr int GIVE_UP_LIMIT_MS = 10000;
constexpr int HELD_REPLY_MS = 20000;
// A reply held back for less than the second a stop waits: it comes, and
// the cycle goes on with it.
constexpr int SHORT_HOLD_MS = 500;

struct stop_case {
  const char* name;
  int sig;
  bool during_request;  // the signal lands while the first kernel request is held up
};

class DaemonStop : public testing::TestWithParam<stop_case> {};

TEST_P(DaemonStop, ForegroundEndsAtOnceWithStatusZeroAndNoFurtherCycle) {
  const stop_case& c = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 4294967295");
  // The replies to the check of the table at start and to the info request
  // of the first cycle are each held back by the server for a while.
  if (c.during_request) h.admin("fault hold " + std::to_string(SHORT_HOLD_MS) + " 2");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600"});
  if (c.during_request) {
    // The start's check answered, the first cycle's request has come and
    // its reply is held.
    ASSERT_TRUE(h.wait_for_requests(93, 2, LIMIT_MS));
  } else {
    ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
    ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  }
  d.send(c.sig);
  exit_result r = d.wait(STOP_LIMIT_MS + SHORT_HOLD_MS);
  ASSERT_TRUE(r.finished) << "no exit after " << c.name;
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(d.err(), "");
  // The cycle in progress finished its requests; no second cycle began.
  EXPECT_EQ(h.requests(93), 2);
  EXPECT_EQ(h.requests(89), 1);
  EXPECT_EQ(h.log_texts(), std::vector<std::string>{"starting...."});
}

TEST_P(DaemonStop, DetachedEndsAtOnceWithStatusZeroAndNoFurtherCycle) {
  const stop_case& c = GetParam();
  daemon_harness h;
  h.admin("create 5 type addr");
  if (c.during_request) h.admin("fault hold " + std::to_string(SHORT_HOLD_MS) + " 2");
  child_process starter = h.start({"-t", "5", "-s", "3600"});
  const pid_t starter_pid = starter.pid;
  exit_result started = starter.wait(LIMIT_MS);
  ASSERT_TRUE(started.finished);
  EXPECT_EQ(started.code, 0);  // the parent leaves once the child is detached
  pid_t pid = h.find_daemon(LIMIT_MS);
  ASSERT_GT(pid, 0);
  EXPECT_NE(pid, starter_pid);
  if (c.during_request) {
    // The starter has had its check answered; the cycle's reply is held.
    ASSERT_TRUE(h.wait_for_requests(93, 2, LIMIT_MS));
  } else {
    ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
    ASSERT_TRUE(h.wait_in_pause(pid, LIMIT_MS));
  }
  kill(pid, c.sig);
  EXPECT_TRUE(h.wait_gone(pid, STOP_LIMIT_MS + SHORT_HOLD_MS));
  EXPECT_EQ(h.requests(89), 1);
  // The detached process logs under its own PID, its start line too.
  std::vector<syslog_message> msgs = h.sink.messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text, "starting....");
  EXPECT_EQ(msgs[0].priority, 38);
  EXPECT_EQ(msgs[0].pid, pid);
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonStop,
                         testing::Values(stop_case{"SIGTERM in the pause", SIGTERM, false},
                                         stop_case{"SIGINT in the pause", SIGINT, false},
                                         stop_case{"SIGTERM during a request", SIGTERM, true},
                                         stop_case{"SIGINT during a request", SIGINT, true}),
                         [](const testing::TestParamInfo<stop_case>& i) {
                           return std::string(i.param.sig == SIGTERM ? "Term" : "Int") +
                                  (i.param.during_request ? "DuringRequest" : "InPause");
                         });

// The signal is already pending when the daemon starts (blocked by the
// starter), so it lands between the installation of the handlers and the
// first cycle, before detaching: no cycle may run, in the foreground or in
// the detached child.
TEST(DaemonStopEarly, SignalBeforeTheFirstCycleMeansNoCycle) {
  for (bool detach : {false, true}) {
    for (int sig : {SIGTERM, SIGINT}) {
      SCOPED_TRACE(std::string(detach ? "detached, " : "foreground, ") +
                   (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
      daemon_harness h;
      h.admin("create 5 type addr");
      long before = h.emu.connections();
      std::vector<std::string> args = {"-t", "5", "-s", "1", "-p", h.dir.file("pid")};
      if (!detach) args.push_back("-f");
      child_process d = h.start(args, false, sig);
      exit_result r = d.wait(STOP_LIMIT_MS);
      ASSERT_TRUE(r.finished);
      EXPECT_EQ(r.code, 0);
      // A detached child, forked before its starter left, has kept the
      // stop and ends too (one that wrongly went on would cycle every
      // second); once it has, whatever it did has reached the server.
      EXPECT_TRUE(h.wait_no_daemons(LIMIT_MS));
      // Only the count request's own connection: no daemon ever connected.
      EXPECT_EQ(h.emu.connections(), before + 1);
      EXPECT_EQ(h.requests(93), 0);
      // The stop ran the shutdown steps: the PID file is gone.
      EXPECT_FALSE(wait_for_file(h.dir.file("pid"), 0));
    }
  }
}

TEST(DaemonCycles, ForegroundRunsCycleAfterCycleAndPrintsNonAddressEntries) {
  daemon_harness h;
  h.admin("create 7 type iface");
  h.admin("add 7 em0 42");
  long before = h.emu.connections();
  child_process d = h.start({"-t", "7", "-f", "-s", "60"});
  // Watch standard output only, so that no other client talks to the
  // server while the daemon runs; SIGHUP asks for each next cycle.
  poll_until(
      [&] {
        if (d.out().size() >= 3 * std::string("em0 42\n").size()) return true;
        send_if_caught(d.pid, SIGHUP);
        return false;
      },
      LIMIT_MS);
  // Every cycle asked for has run (printed its line) once the daemon is in
  // its pause; a stop during a cycle could end it between its listing and
  // the line.
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  d.send(SIGTERM);
  exit_result r = d.wait(STOP_LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0);
  // One control socket for the life of the process (and the count
  // request's own connection).
  EXPECT_EQ(h.emu.connections(), before + 1 + 1);
  long cycles = h.requests(89);
  EXPECT_GE(cycles, 3);
  std::string expected;
  for (long i = 0; i < cycles; i++) expected += "em0 42\n";
  EXPECT_EQ(d.out(), expected);
}

TEST(DaemonCycles, TableAndPauseAtTheEndsOfTheirRangesStart) {
  const std::vector<std::vector<std::string>> starts = {
      {"-t", "0", "-s", "1"}, {"-t", "127", "-s", "86400"}, {"-t", "0127", "-s", "00001"}};
  for (const auto& args : starts) {
    const std::string table = args[1] == "0" ? "0" : "127";
    SCOPED_TRACE("-t " + args[1] + " -s " + args[3]);
    daemon_harness h;
    h.admin("create " + table + " type number");
    h.admin("add " + table + " 80 0");
    std::vector<std::string> argv = args;
    argv.push_back("-f");
    child_process d = h.start(argv);
    // The first cycle has printed the entry (its list request alone does
    // not say so: a stop right after it ends the cycle before the line).
    ASSERT_TRUE(poll_until([&] { return !d.out().empty(); }, LIMIT_MS));
    d.send(SIGTERM);
    exit_result r = d.wait(STOP_LIMIT_MS);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0);
    // The entry once a cycle: with a pause of a second, a test held up that
    // long sees a second cycle too.
    const std::vector<std::string> lines = text_lines(d.out());
    ASSERT_FALSE(lines.empty());
    for (const auto& l : lines) EXPECT_EQ(l, "80 0");
  }
}

TEST(DaemonFatal, DetachedFatalErrorReachesSyslogAtLogErr) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("fault fail list EPERM");  // the table is there, its first listing is refused
  child_process starter = h.start({"-t", "5", "-s", "1"});
  const pid_t starter_pid = starter.pid;
  exit_result started = starter.wait(LIMIT_MS);
  ASSERT_TRUE(started.finished);
  EXPECT_EQ(started.code, 0);
  ASSERT_TRUE(h.sink.wait_for("Error requesting table 5 list: Operation not permitted", LIMIT_MS));
  pid_t pid = -1;
  for (const auto& m : h.sink.messages()) {
    if (m.text == "starting....") {
      EXPECT_EQ(m.priority, 38);
    } else {
      EXPECT_EQ(m.priority, 35) << m.raw;  // LOG_AUTH | LOG_ERR
      pid = m.pid;
    }
  }
  // The detached process itself logged it, and ended.
  EXPECT_NE(pid, starter_pid);
  EXPECT_TRUE(h.wait_gone(pid, LIMIT_MS));
}

TEST(DaemonFatal, ForegroundFatalErrorGoesToStandardErrorOnly) {
  daemon_harness h;
  child_process d = h.start({"-t", "5", "-f", "-s", "1"});
  exit_result r = d.wait(LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 71);
  EXPECT_EQ(d.err(), "hostreapd: failed to request table info: No such process\n");
  // Refused at its start, it never logged its start line either.
  EXPECT_TRUE(h.log_texts().empty());
}

// A start that cannot work is refused before detaching, so the starter's
// status and standard error say why, and nothing is left behind.
struct refused_start_case {
  const char* name;
  bool server;  // an emulator at the socket (without table 5)
  int status;
  const char* message_start;
};

class DaemonRefusedStart : public testing::TestWithParam<std::tuple<refused_start_case, bool>> {};

TEST_P(DaemonRefusedStart, StarterGetsTheStatusAndMessageAndNoDaemonStays) {
  const auto& [c, detach] = GetParam();
  daemon_harness h;
  if (!c.server) h.emu.stop();
  std::vector<std::string> args = {"-t", "5", "-p", h.dir.file("pid")};
  if (!detach) args.push_back("-f");
  child_process d = h.start(args);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, c.status);
  const std::string err = d.err();
  EXPECT_EQ(err.rfind(c.message_start, 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_FALSE(wait_for_file(h.dir.file("pid"), 0)) << "the PID file stays";
  // The status is the starter's own (one that had detached would have left
  // with 0), and a child it forked would be there before it left.
  EXPECT_TRUE(h.daemons().empty());
  // Still attached when it ended, and never started: nothing went to
  // syslog, not even the start line.
  EXPECT_TRUE(h.log_texts().empty());
  if (c.server) {
    EXPECT_EQ(h.requests(93), 1);
    EXPECT_EQ(h.requests(89), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Start, DaemonRefusedStart,
    testing::Combine(
        testing::Values(refused_start_case{"MissingTable", true, 71,
                                           "hostreapd: failed to request table info: No such process"},
                        refused_start_case{"NoServer", false, 69, "hostreapd: socket: "}),
        testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<refused_start_case, bool>>& i) {
      return std::string(std::get<0>(i.param).name) + (std::get<1>(i.param) ? "Detached" : "Foreground");
    });

}  // namespace

namespace {

// A reply that never comes does not hold a stop: the request in hand fails
// a second after the stop, as a broken channel would.
TEST(DaemonStopHeldReply, StopDuringAReplyThatNeverComesIsAnOrdinaryStop) {
  daemon_harness h;
  h.admin("create 5 type addr");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-p", h.dir.file("pid")});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  // The reply to the next cycle's first request is held back: a daemon that
  // waited for it would get it only after HELD_REPLY_MS.
  h.admin("fault hold " + std::to_string(HELD_REPLY_MS) + " 1");
  d.send(SIGHUP);
  ASSERT_TRUE(h.wait_for_requests(93, 3, LIMIT_MS));  // the check's, the first cycle's, this one
  const auto stopped = std::chrono::steady_clock::now();
  d.send(SIGTERM);
  exit_result r = d.wait(GIVE_UP_LIMIT_MS);
  ASSERT_TRUE(r.finished) << "the stop waited for the reply";
  const auto took = std::chrono::steady_clock::now() - stopped;
  EXPECT_LT(took, std::chrono::milliseconds(GIVE_UP_LIMIT_MS)) << "the stop waited for the held reply";
  // The request the stop gave up on is not a failure: the ordinary stop,
  // shutdown steps included.
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(d.err(), "");
  EXPECT_FALSE(wait_for_file(h.dir.file("pid"), 0));
}

// A reply that trickles in does not hold a stop either: its bytes do not
// renew the wait, which ends within a second of the stop.
TEST(DaemonStopHeldReply, StopDuringADrippingReplyIsNotHeldUpByIt) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 4294967295");
  const std::string pid_file = h.dir.file("pid");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600", "-p", pid_file});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  ASSERT_TRUE(wait_for_file(pid_file, LIMIT_MS, true));
  // The next cycle's first reply goes out a byte every 200 ms: about a
  // minute for the whole of it.
  h.admin("fault drip 200 1");
  d.send(SIGHUP);
  ASSERT_TRUE(h.wait_for_requests(93, 3, LIMIT_MS));
  // A few of its bytes have come: the daemon has read them.
  const long long before = bytes_read(d.pid);
  ASSERT_GE(before, 0) << "cannot read /proc/" << d.pid << "/io";
  ASSERT_TRUE(poll_until([&] { return bytes_read(d.pid) >= before + 3; }, LIMIT_MS));
  const auto stopped = std::chrono::steady_clock::now();
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, GIVE_UP_LIMIT_MS);
  ASSERT_TRUE(r.finished) << "the stop waited for the dripping reply";
  const auto took = std::chrono::steady_clock::now() - stopped;
  EXPECT_LT(took, std::chrono::milliseconds(GIVE_UP_LIMIT_MS)) << "the stop was held by the dripping reply";
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(d.err(), "");
  EXPECT_FALSE(wait_for_file(pid_file, 0)) << "the PID file stays";
  EXPECT_EQ(h.requests(89), 1) << "the cycle the stop cut short asked for no listing";
}

// A stop while the check of the table at start waits for its reply (held
// back by the server) is an ordinary stop, in the foreground and in a
// start that would detach: status 0, nothing on standard error, the PID
// file taken for the start removed, no daemon left.
TEST(DaemonStopAtStart, StopWhileTheCheckWaitsIsAnOrdinaryStop) {
  for (bool detach : {false, true}) {
    SCOPED_TRACE(detach ? "detaching" : "foreground");
    daemon_harness h;
    h.admin("create 5 type addr");
    // The first byte of the check's reply would come after 20 s.
    h.admin("fault drip 20000 1");
    const std::string pid_file = h.dir.file("pid");
    std::vector<std::string> args = {"-t", "5", "-s", "1", "-p", pid_file};
    if (!detach) args.push_back("-f");
    child_process d = h.start(args);
    ASSERT_TRUE(h.wait_for_requests(93, 1, LIMIT_MS));
    ASSERT_EQ(h.requests(93), 1);
    ASSERT_TRUE(wait_for_file(pid_file, 0)) << "the PID file is taken before the check";
    ASSERT_TRUE(h.wait_in_request(d.pid, LIMIT_MS)) << "the check does not wait for its reply";
    const auto stopped = std::chrono::steady_clock::now();
    d.send(SIGTERM);
    exit_result r = h.wait_exit(d, GIVE_UP_LIMIT_MS);
    ASSERT_TRUE(r.finished) << "the stop waited for the held reply";
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(GIVE_UP_LIMIT_MS));
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(d.err(), "");
    EXPECT_FALSE(wait_for_file(pid_file, 0)) << "the PID file stays";
    // Stopped before it forked: no child was ever there.
    EXPECT_TRUE(h.daemons().empty());
    EXPECT_EQ(h.requests(89), 0);
    // The start line comes once the daemon has started: none.
    EXPECT_TRUE(h.log_texts().empty());
  }
}

}  // namespace
