// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/log_sender.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "fwtable/capability_mode.h"
#include "fwtable/connect_at.h"
#include "fwtable/directory_fd.h"
#include "fwtable/error_line.h"
#include "fwtable/platform.h"

namespace {

#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

constexpr const char* MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void real_clock(timespec* now) { clock_gettime(CLOCK_REALTIME, now); }

// Whether a send was refused for want of room, to be tried again.
bool no_room(int err) { return err == ENOBUFS || err == EAGAIN || err == EWOULDBLOCK; }

// A non-blocking socket of the kind asked for (datagram, or stream),
// closed on exec.
int log_socket(bool stream) {
  const int type = stream ? SOCK_STREAM : SOCK_DGRAM;
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC)
  return socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
#else
  int fd = socket(AF_UNIX, type, 0);
  if (fd < 0) return -1;
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
#endif
}

// Raises the socket's send buffer to LOG_SEND_BUFFER, or the most the
// system allows below it (a system that caps the size itself takes the
// first request; one that refuses it is asked for half as much).
void raise_send_buffer(int fd) {
  int have = 0;
  socklen_t len = sizeof have;
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &have, &len) != 0) have = 0;
  for (int size = LOG_SEND_BUFFER; size > have; size /= 2)
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0) return;
}

// Makes the socket if there is none and connects it to the log socket.
// False with errno set when either fails (the socket is kept).
bool connect_once(log_sender* s) {
  if (s->fd < 0) {
    s->fd = log_socket(s->stream);
    if (s->fd < 0) return false;
    raise_send_buffer(s->fd);
  }
  if (connect_at(s->fd, s->dir_fd, path_name(s->path), s->path) != 0) return false;
  // It only sends, and polls for room.
  current_platform().limit_fd(s->fd, fd_use::log_socket);
  s->connected = true;
  return true;
}

// Closes the socket, keeping the directory: the next send connects anew.
void drop_socket(log_sender* s) {
  if (s->fd >= 0) close(s->fd);
  s->fd = -1;
  s->connected = false;
}

// connect_once; and where syslogd may listen on a stream socket (the
// syslog-ng and rsyslog of Linux systems; not FreeBSD's syslogd), a socket
// of the other kind when the log socket refused this one's (EPROTOTYPE).
bool connect_sender(log_sender* s) {
  if (connect_once(s)) return true;
#if defined(__FreeBSD__)
  return false;
#else
  if (errno != EPROTOTYPE) return false;
  drop_socket(s);
  s->stream = !s->stream;
  return connect_once(s);
#endif
}

// Waits until the socket can take more or LOG_ROOM_WAIT_MS has passed (the
// whole time, for a stream socket whose connect is still to be accepted);
// a signal ends the wait early.
void wait_for_room(const log_sender* s) {
  pollfd p{s->connected ? s->fd : -1, POLLOUT, 0};
  poll(&p, 1, LOG_ROOM_WAIT_MS);
}

// Sends what is left of the message, from *done on: a datagram whole; on a
// stream the message and its terminating NUL, which ends it there (as
// glibc's syslog(3) sends it on a stream socket), as much as the socket
// takes, *done counting it. 0 once all of it has gone, or the error
// number of the failure (EAGAIN too for a stream that took part of it).
int send_once(log_sender* s, const char* msg, size_t len, size_t* done) {
  if (!s->connected && !connect_sender(s)) return errno;
  const size_t total = s->stream ? len + 1 : len;
  const char* from = msg + *done;
  const size_t left = total - *done;
  const long sent =
      s->send != nullptr ? s->send(s->fd, from, left, SEND_FLAGS) : send(s->fd, from, left, SEND_FLAGS);
  if (sent < 0) return errno;
  if (!s->stream) return 0;
  *done += static_cast<size_t>(sent);
  return *done < total ? EAGAIN : 0;
}

int dropped(log_sender* s, int err) {
  s->dropped++;
  errno = err;
  return -1;
}

// A stop while the sender waits for room. A line that a stream took in
// part is cut there: the connection ends with it, so that no later line
// is read as the rest of it (the next line connects again).
int stopped(log_sender* s, size_t done) {
  if (done > 0) drop_socket(s);
  return dropped(s, ECANCELED);
}

}  // namespace

size_t format_log_message(char* buf, size_t size, log_form form, int pri, const log_origin& origin,
                          const char* ident, const char* text) {
  const struct tm& t = origin.local;
  int n;
  if (form == log_form::rfc5424) {
    const long off = t.tm_gmtoff;
    const long off_abs = off < 0 ? -off : off;
    char pid[16] = "-";
    if (origin.pid >= 0) snprintf(pid, sizeof pid, "%d", origin.pid);
    n = snprintf(buf, size, "<%d>1 %04d-%02d-%02dT%02d:%02d:%02d.%06ld%c%02ld:%02ld %s %s %s - - %s", pri,
                 t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, origin.usec,
                 off < 0 ? '-' : '+', off_abs / 3600, off_abs % 3600 / 60,
                 origin.host != nullptr && origin.host[0] != '\0' ? origin.host : "-",
                 ident[0] != '\0' ? ident : "-", pid, text);
  } else {
    const char* month = t.tm_mon >= 0 && t.tm_mon < 12 ? MONTHS[t.tm_mon] : "???";
    if (origin.pid >= 0)
      n = snprintf(buf, size, "<%d>%s %2d %02d:%02d:%02d %s[%d]: %s", pri, month, t.tm_mday, t.tm_hour,
                   t.tm_min, t.tm_sec, ident, origin.pid, text);
    else
      n = snprintf(buf, size, "<%d>%s %2d %02d:%02d:%02d %s: %s", pri, month, t.tm_mday, t.tm_hour, t.tm_min,
                   t.tm_sec, ident, text);
  }
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

void log_sender_open(log_sender* s, const char* ident, int option, int facility) {
  snprintf(s->ident, sizeof s->ident, "%s", ident != nullptr ? ident : "");
  s->option = option;
  s->facility = facility;
  if (s->dir_fd < 0) s->dir_fd = open_path_directory(s->path);
  log_sender_refresh(s);
  if ((option & LOG_NDELAY) != 0 && !s->connected) connect_sender(s);
}

void log_sender_refresh(log_sender* s) {
  s->pid = (s->option & LOG_PID) != 0 ? static_cast<int>(getpid()) : -1;
  if (s->form != log_form::rfc5424) return;
  char host[sizeof s->host];
  if (gethostname(host, sizeof host) != 0) return;
  host[sizeof host - 1] = '\0';
  memcpy(s->host, host, sizeof host);
}

int log_sender_send(log_sender* s, int priority, const char* text, log_stop_fn stopping) {
  if ((priority & LOG_FACMASK) == 0) priority |= s->facility != 0 ? s->facility : LOG_USER;

  timespec now;
  (s->clock != nullptr ? s->clock : real_clock)(&now);
  const time_t secs = now.tv_sec;
  log_origin origin{};
  localtime_r(&secs, &origin.local);
  origin.usec = now.tv_nsec / 1000;
  origin.host = s->host;
  origin.pid = s->pid;
  char msg[LOG_MESSAGE_MAX];
  const size_t len = format_log_message(msg, sizeof msg, s->form, priority, origin, s->ident, text);

  bool reconnected = false;
  size_t done = 0;  // of the message, the bytes a stream has taken
  // A line a stream took in part is marked so while the rest waits: the
  // stop question asked meanwhile must write nothing of its own to the log.
  std::optional<open_line_mark> half_sent;
  for (;;) {
    const int err = send_once(s, msg, len, &done);
    if (err == 0) return 0;
    if (done > 0 && !half_sent) half_sent.emplace();
    if (no_room(err) || err == EINTR) {
      // Room comes as syslogd reads; only a stop gives up on the line.
      if (stopping != nullptr && stopping()) return stopped(s, done);
      wait_for_room(s);
      if (stopping != nullptr && stopping()) return stopped(s, done);
      continue;
    }
    // No syslogd, or the socket gone or replaced: a new socket, connected
    // afresh, once, and the whole line sent on it.
    if (reconnected) return dropped(s, err);
    reconnected = true;
    drop_socket(s);
    done = 0;
    half_sent.reset();
  }
}

void log_sender_close(log_sender* s) {
  drop_socket(s);
  if (s->dir_fd >= 0) close(s->dir_fd);
  s->dir_fd = -1;
}

namespace {

log_sender system_sender;

}  // namespace

void system_log_open(const char* ident, int option, int facility) {
  log_sender_open(&system_sender, ident, option, facility);
}

void system_log_send(int priority, const char* text) {
  const int saved = errno;
  log_sender_send(&system_sender, priority, text, current_platform().stopping);
  errno = saved;
}

void system_log_close() { log_sender_close(&system_sender); }

uint64_t system_log_dropped() { return system_sender.dropped; }

void system_log_refresh() { log_sender_refresh(&system_sender); }

int system_log_socket_fd() { return system_sender.fd; }

int system_log_directory_fd() { return system_sender.dir_fd; }
