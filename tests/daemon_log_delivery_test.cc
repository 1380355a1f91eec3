// SPDX-License-Identifier: BSD-2-Clause
// Every removal's log line reaches syslogd before the entry is deleted,
// however slowly syslogd reads: a reader that takes the lines as they come
// and pauses between them, against a cycle that removes thousands of
// entries; and a stop while the daemon waits for syslogd to make room ends
// it at once, status 0, with the line it could not deliver counted in the
// metrics file and its entry left in the table. And a removal's line costs
// its send and no other system call but the clock's.
#include <signal.h>
#include <sys/socket.h>
#include <syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fwtable/log_sender.h"
#include "tests/support/daemon_harness.h"
#include "tests/support/process.h"

namespace {

constexpr int LIMIT_MS = 120000;  // guards against hangs only
constexpr int ENTRIES = 5000;

// The table's entry count, as the emulator holds it now.
long entry_count(daemon_harness& h) {
  const std::string info = h.admin("info t");
  const size_t at = info.find("count: ");
  return at == std::string::npos ? -1 : atol(info.c_str() + at + 7);
}

// The host a removal line names ("<PRI>... Removing host H from table
// t"), or "" for another message.
std::string removed_host(const std::string& raw) {
  const std::string head = ": Removing host ";
  const size_t at = raw.find(head);
  if (at == std::string::npos) return "";
  const size_t from = at + head.size();
  return raw.substr(from, raw.find(' ', from) - from);
}

// Takes the next message waiting at the sink, if any.
bool take_message(daemon_harness& h, std::string* raw) {
  char buf[LOG_MESSAGE_MAX];
  const ssize_t n = recv(h.sink.fd, buf, sizeof buf, 0);
  if (n < 0) return false;
  raw->assign(buf, static_cast<size_t>(n));
  return true;
}

// The value of a metric in the metrics file's text.
std::string sample(const std::string& text, const std::string& name) {
  for (const auto& l : text_lines(text))
    if (l.starts_with(name + "{")) return l.substr(l.rfind(' ') + 1);
  return "";
}

// A reader that falls behind: each round it notes how many entries the
// table has lost, then takes every line that has come, one at a time with
// a pause after each. Every line sent before the count was taken has come
// by then, so a deletion that went before its line shows as more entries
// gone than removal lines read. Whether the daemon deletes entry by entry
// or in batches whose lines all go first, each entry's line comes before
// the request that deletes it. In the end every line has come, once, in
// the order of the listing, and nothing was dropped.
TEST(DaemonLogDelivery, EveryLineArrivesInOrderBeforeItsDeletion) {
  daemon_harness h;
  h.admin("create t type addr");
  h.admin("fill t 10.0.0.1 " + std::to_string(ENTRIES) + " 1");
  std::vector<std::string> order;
  for (const auto& l : text_lines(h.admin("list t"))) order.push_back(l.substr(0, l.find(' ')));
  ASSERT_EQ(order.size(), static_cast<size_t>(ENTRIES));

  const std::string metrics = h.dir.file("hostreapd.prom");
  child_process d = h.start({"-t", "t", "-f", "-1", "-m", metrics});
  std::vector<std::string> hosts;  // of the removal lines, as they came
  long ahead = 0;  // the most entries seen gone beyond the lines read
  const int64_t deadline = monotonic_ms() + LIMIT_MS;
  exit_result r;
  for (;;) {
    r = d.wait(0);
    const long gone = ENTRIES - entry_count(h);
    for (std::string raw; take_message(h, &raw);) {
      const std::string host = removed_host(raw);
      if (!host.empty()) hosts.push_back(host);
      sleep_ms(1);  // the reader falls behind
    }
    ahead = std::max(ahead, gone - static_cast<long>(hosts.size()));
    if (r.finished || monotonic_ms() > deadline) break;
  }
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();
  EXPECT_EQ(ahead, 0) << "entries deleted before their line had come";
  EXPECT_EQ(hosts, order);
  EXPECT_EQ(entry_count(h), 0);
  EXPECT_EQ(sample(read_file(metrics), "hostreapd_log_lines_dropped_total"), "0");
  EXPECT_EQ(sample(read_file(metrics), "hostreapd_removed_total"), std::to_string(ENTRIES));
}

// The reader stops reading: the daemon sends until the socket's queue is
// full and waits for room. A stop then ends it at once with status 0; the
// line it waited with is dropped and counted in the metrics file, and its
// entry is not deleted: every entry gone has its line, every other is
// still there.
TEST(DaemonLogDelivery, AStopWhileWaitingForSyslogdEndsTheDaemon) {
  daemon_harness h;
  h.admin("create t type addr");
  h.admin("fill t 10.0.0.1 1000 1");
  const std::string metrics = h.dir.file("hostreapd.prom");
  child_process d = h.start({"-t", "t", "-f", "-m", metrics});
  ASSERT_TRUE(poll_until([&] { return waits_for_log_room(d.pid); }, LIMIT_MS));
  d.send(SIGTERM);
  exit_result r = d.wait(LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0) << d.err();

  std::set<std::string> logged;
  for (std::string raw; take_message(h, &raw);) {
    const std::string host = removed_host(raw);
    if (!host.empty()) logged.insert(host);
  }
  EXPECT_FALSE(logged.empty());
  std::set<std::string> left;
  for (const auto& l : text_lines(h.admin("list t"))) left.insert(l.substr(0, l.find(' ')));
  EXPECT_EQ(logged.size() + left.size(), 1000u);
  for (const auto& host : logged) EXPECT_EQ(left.count(host), 0u) << host;
  ASSERT_TRUE(wait_for_file(metrics, LIMIT_MS, true));
  EXPECT_EQ(sample(read_file(metrics), "hostreapd_log_lines_dropped_total"), "1");
  EXPECT_EQ(sample(read_file(metrics), "hostreapd_removed_total"), std::to_string(logged.size()));
}

// What one removal line costs in system calls, seen by strace(1): a cycle
// of 100 due entries (one batch, deleted after the last line), and between
// the first line's send and the last one's nothing but the sends and the
// clock. A send refused for want of room (the sink is read only now and
// then) and the wait for room before it is tried again are syslogd's pace,
// not the line's cost, and are let be; anything else (the PID, the host's
// name read again for each line) is not.
TEST(DaemonLogDelivery, ARemovalLineCostsItsSendAndTheClockAlone) {
  const char* strace = "/usr/bin/strace";
  if (access(strace, X_OK) != 0) GTEST_SKIP() << "strace is missing (scripts/deps.sh installs it)";
  daemon_harness h;
  h.admin("create t type addr");
  h.admin("fill t 10.0.0.1 100 1");
  const std::string trace = h.dir.file("trace");
  std::vector<std::string> env = {"FWEMU_SOCKET=" + h.emu.socket_path()};
#if defined(HOSTREAPD_SANITIZED)
  // The leak checker cannot run under a tracer; the other tests run it.
  env.push_back("ASAN_OPTIONS=detect_leaks=0");
#endif
  child_process d = child_process::start(h.sink.wrap({strace, "-qq", "-s", "256", "-e", "signal=none", "-o",
                                                      trace, HOSTREAPD_BIN, "-t", "t", "-f", "-1"}),
                                         h.dir.path, env);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(exit_status(r), 0) << d.err();
  ASSERT_EQ(h.removal_lines().size(), 100u);

  // NAME(ARGS) = RESULT, one call a line.
  const std::regex call(R"(^([a-z_0-9]+)\((.*)\) += (-?[0-9]+)(.*)$)");
  const std::vector<std::string> lines = text_lines(read_file(trace));
  std::vector<size_t> sent;  // the lines of the removal lines' sends
  for (size_t i = 0; i < lines.size(); i++) {
    std::smatch m;
    if (std::regex_match(lines[i], m, call) && m[2].str().find("Removing host") != std::string::npos &&
        m[3].str() != "-1")
      sent.push_back(i);
  }
  ASSERT_EQ(sent.size(), 100u) << read_file(trace);
  std::vector<std::string> other;
  for (size_t i = sent.front(); i < sent.back(); i++) {
    std::smatch m;
    if (!std::regex_match(lines[i], m, call)) {
      other.push_back(lines[i]);
      continue;
    }
    const std::string name = m[1];
    const bool refused_send =
        m[3].str() == "-1" && m[2].str().find("Removing host") != std::string::npos &&
        (m[4].str().find("EAGAIN") != std::string::npos || m[4].str().find("ENOBUFS") != std::string::npos);
    const bool room_wait = name == "poll" && m[2].str().find("POLLOUT") != std::string::npos;
    const bool sent_line = std::find(sent.begin(), sent.end(), i) != sent.end();
    if (!sent_line && !refused_send && !room_wait && !name.starts_with("clock_gettime"))
      other.push_back(lines[i]);
  }
  EXPECT_TRUE(other.empty()) << "calls between removal lines:\n"
                             << [&] {
                                  std::string all;
                                  for (const auto& o : other) all += o + "\n";
                                  return all;
                                }();
}

// A /dev/log that is a stream socket, as syslog-ng's and rsyslog's
// unix-stream are, read as the test's polls come: every line arrives whole
// (each message ended by its NUL), once, in the order of the listing, none
// dropped, and every entry is deleted.
TEST(DaemonLogDelivery, AStreamLogSocketGetsEveryLineWhole) {
  daemon_harness h(FW_ABI, sink_socket::stream);
  h.admin("create t type addr");
  h.admin("fill t 10.0.0.1 " + std::to_string(ENTRIES) + " 1");
  std::vector<std::string> order;
  for (const auto& l : text_lines(h.admin("list t"))) order.push_back(l.substr(0, l.find(' ')));
  const std::string metrics = h.dir.file("hostreapd.prom");
  child_process d = h.start({"-t", "t", "-f", "-1", "-m", metrics});
  exit_result r = h.wait_exit(d, LIMIT_MS);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.code, 0) << d.err();
  EXPECT_EQ(d.err(), "");

  std::vector<std::string> hosts;
  const std::vector<syslog_message>& msgs = h.sink.messages();
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(msgs[0].text, "starting....");
  for (const auto& m : msgs) {
    EXPECT_EQ(m.priority, 38) << m.raw;
    EXPECT_EQ(m.ident, "hostreapd") << m.raw;
    EXPECT_GT(m.pid, 0) << m.raw;
    const std::string host = removed_host(m.raw);
    if (!host.empty()) {
      EXPECT_EQ(m.text, "Removing host " + host + " from table t");
      hosts.push_back(host);
    }
  }
  EXPECT_EQ(hosts, order);
  EXPECT_EQ(entry_count(h), 0);
  EXPECT_EQ(sample(read_file(metrics), "hostreapd_log_lines_dropped_total"), "0");
}

}  // namespace
