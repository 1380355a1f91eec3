// SPDX-License-Identifier: BSD-2-Clause
// The line of state on SIGUSR1 (where the tests run, the stand-in for
// SIGINFO) as a user gets it from the real daemon against a real emulator:
// its exact text in the pause, in the foreground and detached and with the
// table gone; during a listing whose reply the server holds back (the line
// comes while the reply is held, with the figures of the cycle before) and
// during a removal's held request (it waits until the deletion is done);
// and under storms of signals, which neither shorten the pause nor hold it
// up, and cut no line of output short.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

constexpr int LIMIT_MS = 15000;  // guards against hangs only
constexpr int INFO = 38;  // LOG_AUTH | LOG_INFO
const std::string prefix = "table 5: ";

// The status lines the syslog sink has received, at LOG_INFO.
std::vector<std::string> status_lines(daemon_harness& h) {
  std::vector<std::string> out;
  for (const syslog_message& m : h.sink.messages()) {
    if (m.text.rfind(prefix, 0) != 0) continue;
    EXPECT_EQ(m.priority, INFO) << m.raw;
    out.push_back(m.text);
  }
  return out;
}

// Waits until the sink has at least n status lines.
bool wait_for_status_lines(daemon_harness& h, size_t n) {
  return poll_until([&] { return status_lines(h).size() >= n; }, LIMIT_MS);
}

// Whether line is the expected one, whose "ENDED" and "MS" stand for the
// cycle's end (a UTC time from not_before to now) and its length in
// milliseconds with three decimals.
testing::AssertionResult is_line(const std::string& line, const std::string& expected, time_t not_before) {
  std::string pattern;
  for (size_t i = 0; i < expected.size(); i++) {
    if (expected.compare(i, 5, "ENDED") == 0) {
      pattern += "(\\d{4})-(\\d\\d)-(\\d\\d)T(\\d\\d):(\\d\\d):(\\d\\d)Z";
      i += 4;
    } else if (expected.compare(i, 2, "MS") == 0) {
      pattern += "\\d+\\.\\d{3}";
      i += 1;
    } else {
      if (std::string("\\^$.|?*+()[]{}").find(expected[i]) != std::string::npos) pattern += '\\';
      pattern += expected[i];
    }
  }
  std::smatch m;
  if (!std::regex_match(line, m, std::regex(pattern)))
    return testing::AssertionFailure() << "\"" << line << "\" is not \"" << expected << "\"";
  tm utc{};
  utc.tm_year = std::stoi(m[1]) - 1900;
  utc.tm_mon = std::stoi(m[2]) - 1;
  utc.tm_mday = std::stoi(m[3]);
  utc.tm_hour = std::stoi(m[4]);
  utc.tm_min = std::stoi(m[5]);
  utc.tm_sec = std::stoi(m[6]);
  const time_t ended = timegm(&utc);
  if (ended < not_before || ended > time(nullptr))
    return testing::AssertionFailure()
           << "the cycle ended at " << ended << ", outside " << not_before << " to now";
  return testing::AssertionSuccess();
}

struct pause_case {
  const char* name;
  bool detach;
  std::vector<std::string> options;  // more than -t 5 -s 3600 (and -f in the foreground)
  // Done to the table after the first cycle, before a second one asked for
  // with SIGHUP (none when empty).
  std::vector<std::string> between;
  const char* line;
};

void PrintTo(const pause_case& c, std::ostream* os) { *os << c.name; }

class DaemonStatusInPause : public testing::TestWithParam<pause_case> {};

// The first cycle removes one entry, passes over one it cannot name and
// leaves one that falls due on 2106-02-07 (the last expiry there is); a
// second cycle, where there is one, is abandoned. The line comes in the
// pause with the first cycle's figures, the pause goes on (no cycle
// follows it), and the next request is answered with the same figures.
TEST_P(DaemonStatusInPause, TheLineGivesTheLastWholeCycleAndThePauseGoesOn) {
  const pause_case& c = GetParam();
  daemon_harness h;
  const time_t started = time(nullptr);
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  h.admin("add 5 ::192.0.2.7 0");
  h.admin("add 5 192.0.2.2 4294967295");
  std::vector<std::string> args = {"-t", "5", "-s", "3600"};
  if (!c.detach) args.push_back("-f");
  args.insert(args.end(), c.options.begin(), c.options.end());
  child_process d = h.start(args);
  pid_t pid = d.pid;
  if (c.detach) {
    ASSERT_EQ(d.wait(LIMIT_MS).code, 0);
    pid = h.find_daemon(LIMIT_MS);
    ASSERT_GT(pid, 0);
  }
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(pid, LIMIT_MS));
  if (!c.between.empty()) {
    for (const std::string& words : c.between) h.admin(words);
    const long infos = h.requests(93);
    kill(pid, SIGHUP);
    ASSERT_TRUE(h.wait_for_requests(93, infos + 1, LIMIT_MS));
    ASSERT_TRUE(h.wait_in_pause(pid, LIMIT_MS));
  }
  const long lists = h.requests(89);
  const long infos = h.requests(93);

  for (size_t asked = 1; asked <= 2; asked++) {
    SCOPED_TRACE("request " + std::to_string(asked));
    kill(pid, SIGUSR1);
    ASSERT_TRUE(wait_for_status_lines(h, asked));
    ASSERT_TRUE(h.wait_in_pause(pid, LIMIT_MS));
    const std::vector<std::string> lines = status_lines(h);
    ASSERT_EQ(lines.size(), asked);
    EXPECT_TRUE(is_line(lines.back(), c.line, started));
    if (asked == 2) {
      EXPECT_EQ(lines[0], lines[1]) << "the figures changed without a cycle";
    }
  }
  EXPECT_EQ(h.requests(89), lists) << "the request started a cycle";
  EXPECT_EQ(h.requests(93), infos) << "the request started a cycle";

  kill(pid, SIGTERM);
  ASSERT_TRUE(h.wait_gone(pid, LIMIT_MS));
  if (!c.detach) {
    exit_result r = h.wait_exit(d, LIMIT_MS);
    EXPECT_EQ(r.code, 0);
    // In the foreground each line is on standard error too.
    std::vector<std::string> on_stderr;
    for (const std::string& l : text_lines(d.err()))
      if (l.rfind("hostreapd: " + prefix, 0) == 0) on_stderr.push_back(l.substr(11));
    EXPECT_EQ(on_stderr, status_lines(h));
  }
}

const char* const first_cycle_line =
    "table 5: last cycle 3 entries, 1 due, 1 unremovable, ended ENDED after MS ms; 1 removed since start; "
    "next "
    "due 2106-02-07T06:28:16Z";

INSTANTIATE_TEST_SUITE_P(
    Cases, DaemonStatusInPause,
    testing::Values(
        pause_case{"Foreground", false, {}, {}, first_cycle_line},
        pause_case{"Detached", true, {}, {}, first_cycle_line},
        // The cycle that finds the table gone is not a whole one.
        pause_case{"TableGone",
                   false,
                   {"-w"},
                   {"destroy 5"},
                   "table 5: last cycle 3 entries, 1 due, 1 unremovable, ended ENDED after MS ms; 1 "
                   "removed since start; next due 2106-02-07T06:28:16Z; table gone, waiting for it"},
        // Nor is one whose table is made anew under it: its
        // listing (4 entries, 2 due) counts for nothing.
        pause_case{"TableMadeAnew",
                   false,
                   {},
                   {"add 5 192.0.2.3 0", "add 5 192.0.2.4 0", "fault recreate-after-list type number"},
                   first_cycle_line}),
    [](const testing::TestParamInfo<pause_case>& i) { return std::string(i.param.name); });

struct held_case {
  const char* name;
  const char* hold;  // the fault set before the cycle is asked for
  // The signal is sent once the server has taken this many more requests
  // of this opcode in the cycle, and the daemon waits for a reply.
  int opcode;
  long more;
  bool before_removal;  // the line comes before the cycle's removal
  const char* line;
};

void PrintTo(const held_case& c, std::ostream* os) { *os << c.name; }

class DaemonStatusDuringAHeldRequest : public testing::TestWithParam<held_case> {};

// A request that comes while the server holds a reply of the cycle back.
// During the listing it is answered while the reply is held, not after
// it: the line comes before the cycle's removal and gives the figures of
// the cycle before. During a removal (its info request made to parse the
// key, after its log line) it waits until the deletion is done: the line
// counts the removal. Either way the wait goes on for the same reply, the
// cycle removes its due entry as ever, and no cycle more runs.
TEST_P(DaemonStatusDuringAHeldRequest, TheLineComesAtTheNextLookAtTheStopFlag) {
  const held_case& c = GetParam();
  daemon_harness h;
  const time_t started = time(nullptr);
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 0");
  h.admin("add 5 192.0.2.2 4294967295");
  child_process d = h.start({"-t", "5", "-f", "-s", "3600"});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));

  h.admin("add 5 192.0.2.3 0");
  h.admin(c.hold);
  const long before = h.requests(c.opcode);
  d.send(SIGHUP);
  ASSERT_TRUE(h.wait_for_requests(c.opcode, before + c.more, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_request(d.pid, LIMIT_MS));
  d.send(SIGUSR1);

  ASSERT_TRUE(wait_for_status_lines(h, 1));
  ASSERT_TRUE(h.sink.wait_for("Removing host 192.0.2.3 from table 5", LIMIT_MS))
      << "the wait for the held reply did not go on";
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  const std::vector<std::string> texts = h.log_texts();
  const auto removal = std::find(texts.begin(), texts.end(), "Removing host 192.0.2.3 from table 5");
  const auto line =
      std::find_if(texts.begin(), texts.end(), [](const std::string& t) { return t.rfind(prefix, 0) == 0; });
  ASSERT_NE(removal, texts.end());
  ASSERT_NE(line, texts.end());
  EXPECT_EQ(line < removal, c.before_removal);
  EXPECT_TRUE(is_line(*line, c.line, started));
  EXPECT_EQ(status_lines(h).size(), 1u);
  EXPECT_EQ(h.requests(89), 2);
  EXPECT_EQ(text_lines(h.admin("list 5")).size(), 1u) << "the held cycle did not remove its due entry";

  d.send(SIGTERM);
  EXPECT_EQ(h.wait_exit(d, LIMIT_MS).code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DaemonStatusDuringAHeldRequest,
    testing::Values(
        // The cycle's info and list replies go out 5 s after each request:
        // time enough for the line, however loaded the machine.
        held_case{"Listing", "fault hold 5000 2", 89, 1, true,
                  "table 5: last cycle 2 entries, 1 due, 0 unremovable, ended ENDED after MS ms; 1 removed "
                  "since start; next due 2106-02-07T06:28:16Z"},
        // Its info, list, and the removal's info and delete replies, 1.5 s
        // each: the signal comes during the removal's info request.
        held_case{"Removal", "fault hold 1500 4", 93, 2, false,
                  "table 5: last cycle 2 entries, 1 due, 0 unremovable, ended ENDED after MS ms; 2 removed "
                  "since start; next due 2106-02-07T06:28:16Z"}),
    [](const testing::TestParamInfo<held_case>& i) { return std::string(i.param.name); });

// A storm of requests while a dry run in the foreground writes its lines to
// a pipe that is read slowly, so that the writes block: each signal lands
// in a write, which goes on as if nothing came (no line is lost or cut
// short, none written twice), and the lines of state come during the cycle,
// at most one per signal.
TEST(DaemonStatus, AStormDuringBlockedWritesLosesNoLineOfOutput) {
  constexpr long entries = 3000;  // some 130 KiB of lines, twice what a pipe holds
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("fill 5 10.0.0.0 " + std::to_string(entries) + " 0");
  const std::string fifo = h.dir.file("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  // Under the sink's /dev/log, with standard output the FIFO.
  child_process d = child_process::start(
      h.sink.wrap({"/bin/sh", "-c", "exec \"$0\" -t 5 -f -n -s 3600 >\"$1\"", HOSTREAPD_BIN, fifo}),
      h.dir.path, {"FWEMU_SOCKET=" + h.emu.socket_path()});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));

  // Whenever the daemon blocks writing, a few signals, then a little of the
  // pipe read, until the cycle is over and the pipe empty.
  std::string out;
  long sent = 0;
  long blocked = 0;
  const int64_t began = monotonic_ms();
  char buf[2048];
  for (;;) {
    h.sink.messages();
    const long call = blocked_syscall(d.pid);
    if (call == SYS_write) {
      blocked++;
      for (int i = 0; i < 3; i++, sent++) d.send(SIGUSR1);
      sleep_ms(2);
    }
    const ssize_t n = read(reader, buf, sizeof buf);
    if (n > 0) out.append(buf, static_cast<size_t>(n));
    if (n <= 0 && call == SYS_rt_sigtimedwait) break;
    ASSERT_LT(monotonic_ms() - began, int64_t{60000}) << "the cycle did not end";
    if (n <= 0) sleep_ms(1);
  }
  close(reader);
  EXPECT_GT(blocked, 0) << "the writes never blocked: the test shows nothing";

  const std::vector<std::string> lines = text_lines(out);
  EXPECT_EQ(static_cast<long>(lines.size()), entries);
  const std::regex line_re("would remove host 10\\.0\\.\\d+\\.\\d+ from table 5");
  std::set<std::string> distinct;
  for (const std::string& l : lines) {
    EXPECT_TRUE(std::regex_match(l, line_re)) << "cut or garbled: \"" << l << "\"";
    EXPECT_TRUE(distinct.insert(l).second) << "written twice: " << l;
  }
  EXPECT_EQ(out.back(), '\n');

  const std::vector<std::string> states = status_lines(h);
  EXPECT_GE(states.size(), 1u);
  EXPECT_LE(static_cast<long>(states.size()), sent);

  d.send(SIGTERM);
  exit_result r = d.wait(LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0);
}

// A storm of requests while the daemon cycles every second: signals are
// sent every few milliseconds until two more cycles have run. The pause is
// neither shortened (no two list requests come less than the second apart,
// so at most one more than the whole seconds of the storm) nor held up
// (the cycles come at all), every signal gets at most one line and the
// storm at least one, and the daemon goes on cycling after it.
TEST(DaemonStatus, AStormOfRequestsNeitherShortensNorHoldsUpThePause) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.2 4294967295");
  child_process d = h.start({"-t", "5", "-f", "-s", "1"});
  ASSERT_TRUE(h.wait_for_lists(1, LIMIT_MS));
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));

  const int64_t storm_began = monotonic_ms();
  const long lists_before = h.requests(89);
  long sent = 0;
  long lists_after = lists_before;
  while (lists_after < lists_before + 2 && monotonic_ms() - storm_began < LIMIT_MS) {
    d.send(SIGUSR1);
    sent++;
    sleep_ms(5);
    h.sink.messages();  // read as syslogd would, so the daemon never blocks on it
    lists_after = h.requests(89);
  }
  const int64_t storm_ms = monotonic_ms() - storm_began;
  ASSERT_GE(lists_after, lists_before + 2)
      << "the storm held the pause up: no two cycles in " << storm_ms << " ms";
  EXPECT_LE(lists_after - lists_before, storm_ms / 1000 + 1)
      << "the storm shortened the pause: " << sent << " signals, " << storm_ms << " ms";

  // Every signal sent has been taken once the daemon is back in its pause
  // (a pending one would have woken it).
  ASSERT_TRUE(h.wait_in_pause(d.pid, LIMIT_MS));
  const std::vector<std::string> lines = status_lines(h);
  EXPECT_GE(lines.size(), 1u);
  EXPECT_LE(static_cast<long>(lines.size()), sent);
  for (const std::string& l : lines)
    EXPECT_TRUE(
        is_line(l,
                "table 5: last cycle 1 entries, 0 due, 0 unremovable, ended ENDED after MS ms; 0 removed "
                "since start; next due 2106-02-07T06:28:16Z",
                0));

  // The cycles go on by themselves.
  ASSERT_TRUE(h.wait_for_lists(lists_after + 2, LIMIT_MS));
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0);
}

}  // namespace
