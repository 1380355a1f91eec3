// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/log_sender.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fwtable/error_line.h"
#include "tests/support/process.h"

namespace {

// The messages of each form, byte for byte.
TEST(FormatLogMessage, EachFormByteForByte) {
  struct tm t {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 5;
  t.tm_hour = 4;
  t.tm_min = 3;
  t.tm_sec = 9;
  struct tm west = t;
  west.tm_gmtoff = -(5 * 3600 + 30 * 60);
  struct tm east = t;
  east.tm_gmtoff = 3600;
  struct row {
    const char* name;
    log_form form;
    log_origin origin;
    const char* ident;
    const char* want;
  } rows[] = {
      {"RFC 5424, UTC",
       log_form::rfc5424,
       {t, 42, "gw", 812},
       "hostreapd",
       "<38>1 2026-12-05T04:03:09.000042+00:00 gw hostreapd 812 - - Removing host 192.0.2.1 from table 5"},
      {"RFC 5424, west of UTC",
       log_form::rfc5424,
       {west, 999999, "gw.example.org", 812},
       "hostreapd",
       "<38>1 2026-12-05T04:03:09.999999-05:30 gw.example.org hostreapd 812 - - Removing host 192.0.2.1 from "
       "table 5"},
      {"RFC 5424, no host, no pid, no tag",
       log_form::rfc5424,
       {east, 0, "", -1},
       "",
       "<38>1 2026-12-05T04:03:09.000000+01:00 - - - - - Removing host 192.0.2.1 from table 5"},
      {"BSD, day padded",
       log_form::bsd,
       {t, 42, "gw", 812},
       "hostreapd",
       "<38>Dec  5 04:03:09 hostreapd[812]: Removing host 192.0.2.1 from table 5"},
      {"BSD, no pid",
       log_form::bsd,
       {t, 42, "gw", -1},
       "hostreapd",
       "<38>Dec  5 04:03:09 hostreapd: Removing host 192.0.2.1 from table 5"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    char buf[LOG_MESSAGE_MAX];
    const size_t n = format_log_message(buf, sizeof buf, r.form, LOG_AUTH | LOG_INFO, r.origin, r.ident,
                                        "Removing host 192.0.2.1 from table 5");
    EXPECT_EQ(std::string(buf, n), r.want);
    EXPECT_EQ(n, strlen(buf));
  }
  // A text too long is cut to the buffer, terminated.
  char small[16];
  const size_t n =
      format_log_message(small, sizeof small, log_form::bsd, LOG_INFO, {t, 0, "", 1}, "x", "text");
  EXPECT_EQ(n, sizeof small - 1);
  EXPECT_EQ(std::string(small), "<6>Dec  5 04:03");
}

// A private log socket whose reader the test is: bound in a temporary
// directory, read only when the test says.
struct private_log {
  temp_dir dir;
  std::string path = dir.file("log");
  int fd = -1;

  private_log() { bind_now(); }
  // Bound at a path of the caller's instead.
  explicit private_log(const std::string& at) : path(at) { bind_now(); }
  ~private_log() { close_now(); }
  void bind_now() {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof sun.sun_path);
    memcpy(sun.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0) << strerror(errno);
  }
  void close_now() {
    if (fd >= 0) close(fd);
    fd = -1;
    unlink(path.c_str());
  }
  // The next message, or "" when none is queued.
  std::string take() {
    char buf[LOG_MESSAGE_MAX];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
  }
};

// A clock at one moment, whatever the time zone: the test's own zone is
// set to UTC for the message's local time.
void fixed_clock(timespec* now) { *now = {1796964640, 123456000}; }

struct utc_zone {
  std::string old;
  bool had;
  utc_zone() : had(getenv("TZ") != nullptr) {
    if (had) old = getenv("TZ");
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  ~utc_zone() {
    if (had)
      setenv("TZ", old.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
};

log_sender sender_to(const private_log& log, log_form form) {
  log_sender s;
  s.path = log.path.c_str();
  s.form = form;
  s.clock = fixed_clock;
  return s;
}

// The sender connects at openlog with LOG_NDELAY and sends each line whole
// in the form asked for: facility added, tag, the process's ID.
TEST(LogSender, SendsTheMessageAsSyslogWritesIt) {
  utc_zone utc;
  private_log log;
  const std::string pid = std::to_string(getpid());
  char host[256] = "";
  gethostname(host, sizeof host);
  struct row {
    log_form form;
    std::string want;
  } rows[] = {
      {log_form::bsd, "<36>Dec 11 04:50:40 hostreapd[" + pid + "]: table t is gone"},
      {log_form::rfc5424, "<36>1 2026-12-11T04:50:40.123456+00:00 " + std::string(host) + " hostreapd " +
                              pid + " - - table t is gone"},
  };
  for (const auto& r : rows) {
    log_sender s = sender_to(log, r.form);
    log_sender_open(&s, "hostreapd", LOG_PID | LOG_NDELAY, LOG_AUTH);
    EXPECT_TRUE(s.connected);
    EXPECT_EQ(log_sender_send(&s, LOG_WARNING, "table t is gone", nullptr), 0);
    EXPECT_EQ(log.take(), r.want);
    EXPECT_EQ(s.dropped, 0u);
    log_sender_close(&s);
  }
}

// FreeBSD's answer to a send while the lines not yet read fill the send
// buffer: ENOBUFS, as many times as the fixture says, then the real send.
std::atomic<int> refusals{0};
std::atomic<int> sends{0};
long refuse_then_send(int fd, const void* msg, size_t len, int flags) {
  sends++;
  if (refusals > 0) {
    refusals--;
    errno = ENOBUFS;
    return -1;
  }
  return send(fd, msg, len, flags);
}

// A stop that comes while the sender waits: the third time it asks.
int asks = 0;
bool stop_at_third_ask() { return ++asks >= 3; }
bool never_stop() { return false; }

// A send refused for want of room is tried again until it goes: refused
// with ENOBUFS (the fixture), and with EAGAIN by a reader that takes its
// lines slowly (the queue of a Linux datagram socket is short). Every line
// arrives, in order, none dropped.
TEST(LogSender, WaitsForRoomUntilEveryLineIsDelivered) {
  {
    SCOPED_TRACE("ENOBUFS");
    private_log log;
    log_sender s = sender_to(log, log_form::bsd);
    s.send = refuse_then_send;
    log_sender_open(&s, "t", LOG_NDELAY, LOG_AUTH);
    refusals = 5;
    sends = 0;
    EXPECT_EQ(log_sender_send(&s, LOG_INFO, "one", never_stop), 0);
    EXPECT_EQ(sends, 6);
    EXPECT_TRUE(log.take().ends_with(" t: one"));
    EXPECT_EQ(s.dropped, 0u);
    log_sender_close(&s);
  }
  {
    SCOPED_TRACE("EAGAIN, a slow reader");
    private_log log;
    constexpr int lines = 300;
    std::thread writer([&log] {
      log_sender s = sender_to(log, log_form::bsd);
      log_sender_open(&s, "t", LOG_NDELAY, LOG_AUTH);
      for (int i = 0; i < lines; i++)
        EXPECT_EQ(log_sender_send(&s, LOG_INFO, std::to_string(i).c_str(), never_stop), 0);
      EXPECT_EQ(s.dropped, 0u);
      log_sender_close(&s);
    });
    std::vector<std::string> got;
    const int64_t deadline = monotonic_ms() + 30000;
    while (static_cast<int>(got.size()) < lines && monotonic_ms() < deadline) {
      std::string m = log.take();
      if (m.empty()) {
        sleep_ms(1);
        continue;
      }
      got.push_back(m.substr(m.rfind(' ') + 1));
      if (got.size() % 20 == 0) sleep_ms(5);  // the reader falls behind
    }
    writer.join();
    ASSERT_EQ(got.size(), static_cast<size_t>(lines));
    for (int i = 0; i < lines; i++) ASSERT_EQ(got[i], std::to_string(i));
  }
}

// A stop while the sender waits for room drops the line, counts it and
// returns at once: the lines before it are delivered, it is not, and the
// next line, with room again, goes as ever.
TEST(LogSender, AStopDuringTheWaitDropsAndCountsTheLine) {
  private_log log;
  log_sender s = sender_to(log, log_form::bsd);
  log_sender_open(&s, "t", LOG_NDELAY, LOG_AUTH);
  // The reader takes nothing: lines go until one must wait for room.
  asks = 0;
  int sent = 0;
  while (sent < 1000000 &&
         log_sender_send(&s, LOG_INFO, ("line " + std::to_string(sent)).c_str(), stop_at_third_ask) == 0)
    sent++;
  EXPECT_EQ(errno, ECANCELED);
  EXPECT_EQ(asks, 3);  // before the first wait, after it, after the second
  EXPECT_EQ(s.dropped, 1u);
  int delivered = 0;
  for (std::string m = log.take(); !m.empty(); m = log.take()) {
    EXPECT_TRUE(m.ends_with(": line " + std::to_string(delivered))) << m;
    delivered++;
  }
  EXPECT_EQ(delivered, sent);
  EXPECT_EQ(log_sender_send(&s, LOG_INFO, "after", stop_at_third_ask), 0);
  EXPECT_TRUE(log.take().ends_with(": after"));
  EXPECT_EQ(s.dropped, 1u);
  log_sender_close(&s);
}

// A send that fails otherwise connects again once, as syslog(3) does: a
// syslogd started again (its socket made anew) gets the line; with none
// listening the line is dropped and counted at once, and the next line
// tries again.
TEST(LogSender, ReconnectsOnceThenDropsWithoutWaiting) {
  private_log log;
  log_sender s = sender_to(log, log_form::bsd);
  log_sender_open(&s, "t", LOG_NDELAY, LOG_AUTH);
  ASSERT_EQ(log_sender_send(&s, LOG_INFO, "first", never_stop), 0);
  EXPECT_TRUE(log.take().ends_with(": first"));

  log.close_now();
  log.bind_now();
  EXPECT_EQ(log_sender_send(&s, LOG_INFO, "after a restart", never_stop), 0);
  EXPECT_TRUE(log.take().ends_with(": after a restart"));
  EXPECT_EQ(s.dropped, 0u);

  log.close_now();
  refusals = 0;
  sends = 0;
  s.send = refuse_then_send;
  EXPECT_EQ(log_sender_send(&s, LOG_INFO, "nobody", never_stop), -1);
  EXPECT_NE(errno, ECANCELED);
  EXPECT_EQ(s.dropped, 1u);
  EXPECT_LE(sends, 1);  // the old socket's send; the new one cannot connect
  EXPECT_FALSE(s.connected);

  log.bind_now();
  EXPECT_EQ(log_sender_send(&s, LOG_INFO, "back", never_stop), 0);
  EXPECT_TRUE(log.take().ends_with(": back"));
  EXPECT_EQ(s.dropped, 1u);
  log_sender_close(&s);
}

// Every connect names the socket in the directory the sender opened: the
// directory moved away, another made at its path with a socket of the
// same name, and syslogd started again in the directory moved: the line
// reaches the socket made anew there, none the other.
TEST(LogSender, ConnectsAgainInTheDirectoryItOpened) {
  temp_dir top;
  const std::string dir = top.file("run");
  const std::string moved = top.file("run.moved");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string log_path = dir + "/log";
  private_log first(log_path);
  log_sender s = sender_to(first, log_form::bsd);
  s.path = log_path.c_str();
  log_sender_open(&s, "t", LOG_NDELAY, LOG_AUTH);
  ASSERT_EQ(log_sender_send(&s, LOG_INFO, "first", never_stop), 0);
  EXPECT_TRUE(first.take().ends_with(": first"));

  ASSERT_EQ(rename(dir.c_str(), moved.c_str()), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  private_log other(log_path);
  first.path = moved + "/log";
  first.close_now();
  private_log again(moved + "/log");

  EXPECT_EQ(log_sender_send(&s, LOG_INFO, "after a restart", never_stop), 0);
  EXPECT_TRUE(again.take().ends_with(": after a restart"));
  EXPECT_EQ(other.take(), "");
  EXPECT_EQ(s.dropped, 0u);
  log_sender_close(&s);
  EXPECT_EQ(s.dir_fd, -1);
}

// A log socket that is a stream one, as syslog-ng's and rsyslog's
// unix-stream sockets are: listening in a temporary directory; the test
// takes each connection and reads it when it says.
struct stream_log {
  temp_dir dir;
  std::string path = dir.file("log");
  int fd = -1;

  stream_log() {
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    memcpy(sun.sun_path, path.c_str(), path.size());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0) << strerror(errno);
    EXPECT_EQ(listen(fd, 8), 0);
  }
  ~stream_log() { close(fd); }
  // The next connection, as the peer left it: read until the sender has
  // closed it (or, with a count, until that many messages have come).
  // Nothing for 10 s ends the wait, as a failure.
  std::string take_connection(int messages = -1) const {
    if (!readable(fd)) {
      ADD_FAILURE() << "no connection";
      return "";
    }
    const int c = accept(fd, nullptr, nullptr);
    EXPECT_GE(c, 0) << strerror(errno);
    std::string got;
    char buf[4096];
    while (messages < 0 || std::count(got.begin(), got.end(), '\0') < messages) {
      if (!readable(c)) {
        ADD_FAILURE() << "the sender neither sent nor closed";
        break;
      }
      const ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    close(c);
    return got;
  }
  static bool readable(int s) {
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, 10000) == 1;
  }
};

// A stream that takes at most 7 bytes a send, as one short of room would.
long seven_bytes_a_send(int fd, const void* msg, size_t len, int flags) {
  return send(fd, msg, std::min<size_t>(len, 7), flags);
}

// A stream that takes half of the first message sent to it and then has
// no room; what the stop question saw of the line meanwhile.
bool took_half = false;
long half_then_no_room(int fd, const void* msg, size_t len, int flags) {
  if (!took_half) {
    took_half = true;
    return send(fd, msg, len / 2, flags);
  }
  errno = EAGAIN;
  return -1;
}
bool line_open_at_stop = false;
bool stop_seeing_the_line() {
  line_open_at_stop = output_line_open();
  return true;
}

// A log socket that refuses a datagram socket's connect because it is a
// stream one is connected with a stream socket, and each message goes on
// it followed by its terminating NUL byte, which ends it there: whole, in
// order, also when the stream takes a few bytes a send.
TEST(LogSenderStream, EachMessageEndsWithItsNulAndArrivesWhole) {
  utc_zone utc;
  const std::string pid = std::to_string(getpid());
  for (bool pieces : {false, true}) {
    SCOPED_TRACE(pieces ? "seven bytes a send" : "whole sends");
    stream_log log;
    log_sender s;
    s.path = log.path.c_str();
    s.form = log_form::bsd;
    s.clock = fixed_clock;
    if (pieces) s.send = seven_bytes_a_send;
    log_sender_open(&s, "hostreapd", LOG_PID | LOG_NDELAY, LOG_AUTH);
    EXPECT_TRUE(s.connected);
    EXPECT_TRUE(s.stream);
    std::string want;
    for (const char* text : {"one", "two", "three"}) {
      EXPECT_EQ(log_sender_send(&s, LOG_INFO, text, never_stop), 0);
      want += "<38>Dec 11 04:50:40 hostreapd[" + pid + "]: ";
      want += text;
      want += '\0';
    }
    EXPECT_EQ(s.dropped, 0u);
    log_sender_close(&s);
    EXPECT_EQ(log.take_connection(), want);
  }
}

// A stop while the stream waits for room for the rest of a line cuts the
// line, counts it, and ends the connection there: no later line is read as
// its rest, and the next line goes whole on a new connection. While it
// waited, the line was marked as written in part (the stop question must
// then write nothing of its own).
TEST(LogSenderStream, AStopWithALineHalfSentEndsTheConnection) {
  stream_log log;
  log_sender s;
  s.path = log.path.c_str();
  s.form = log_form::bsd;
  s.clock = fixed_clock;
  s.send = half_then_no_room;
  took_half = false;
  line_open_at_stop = false;
  log_sender_open(&s, "t", LOG_NDELAY, LOG_AUTH);
  EXPECT_EQ(log_sender_send(&s, LOG_INFO, "cut in two", stop_seeing_the_line), -1);
  EXPECT_EQ(errno, ECANCELED);
  EXPECT_TRUE(line_open_at_stop);
  EXPECT_FALSE(output_line_open());
  EXPECT_EQ(s.dropped, 1u);
  EXPECT_FALSE(s.connected);
  const std::string first = log.take_connection();
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first.find('\0'), std::string::npos) << "the cut line was ended";

  s.send = nullptr;
  EXPECT_EQ(log_sender_send(&s, LOG_INFO, "after", never_stop), 0);
  const std::string second = log.take_connection(1);
  EXPECT_TRUE(second.ends_with(": after" + std::string(1, '\0'))) << second;
  EXPECT_EQ(s.dropped, 1u);
  log_sender_close(&s);
}

}  // namespace
