// SPDX-License-Identifier: BSD-2-Clause
// The program's own sender of log lines to the system's syslog daemon, in
// place of syslog(3): a datagram socket (on Linux, a stream one where
// syslogd listens on a stream: below) connected to the system log socket
// (/var/run/log on FreeBSD, /dev/log elsewhere), each message written in
// the form the system's syslog(3) writes it, so that syslogd stores it as
// it stores every other program's:
//
//   FreeBSD   <PRI>1 TIMESTAMP HOSTNAME TAG PID - - MSG   (RFC 5424; the
//             time in microseconds with the offset from UTC)
//   others    <PRI>Mmm dd hh:mm:ss TAG[PID]: MSG          (the BSD form
//             glibc writes on /dev/log: local time, no host name)
//
// What differs from syslog(3) is what happens when syslogd falls behind.
// syslog(3) sends each message once: FreeBSD's drops it when the send is
// refused with ENOBUFS (the bytes queued and not yet read have reached the
// socket's send buffer), and a burst of a few thousand lines loses most of
// them. Here the socket's send buffer is raised as far as the system lets
// it (up to LOG_SEND_BUFFER), the socket is non-blocking, and a send refused
// for want of room (ENOBUFS, EAGAIN) is tried again after a short wait
// (until the socket can take more, at most LOG_ROOM_WAIT_MS), for as long
// as it takes: the line is delivered before the call returns, and so
// before anything the caller does after it. The wait is cut short only by
// a stop (the stopping question the caller passes, asked before and after
// each wait; a stop signal ends a wait at once): the line is then dropped
// and counted.
//
// On Linux a syslogd may listen on a stream socket instead (syslog-ng's
// and rsyslog's unix-stream), which refuses a datagram socket's connect
// with EPROTOTYPE: the sender then connects a stream socket (and goes back
// to a datagram one should a later connect be refused the other way), and
// sends each message followed by its terminating NUL byte, which ends it
// on the stream, as glibc's syslog(3) does there. A message the stream
// takes in part is finished before anything else is sent on it; a stop
// during that wait cuts the line and closes the connection, so that no
// later line is ever read as its rest. FreeBSD's syslogd and syslog(3)
// use datagrams only, and so does a FreeBSD build.
//
// A send that fails otherwise (no syslogd listening, the socket gone or
// replaced) closes the socket, connects again once and sends once more, as
// syslog(3) does; when that fails too the line is dropped and counted and
// the call returns at once: nothing is written anywhere else (syslog(3)
// writes to the console only with LOG_CONS, which is not taken here). The
// next line tries to connect again.
//
// Owns: the socket of each log_sender, closed by log_sender_close; the
// process-wide sender behind the real platform's log service
// (fwtable/platform.h), opened by system_log_open.
// Failure: errno-style; log_sender_send answers 0 for a line delivered, -1
// for one dropped (errno: ECANCELED for a stop, else the send's error).
// Nothing is printed.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

// The two forms a message is written in.
enum class log_form { rfc5424, bsd };

#if defined(__FreeBSD__)
constexpr log_form SYSTEM_LOG_FORM = log_form::rfc5424;
constexpr char SYSTEM_LOG_PATH[] = "/var/run/log";
#else
constexpr log_form SYSTEM_LOG_FORM = log_form::bsd;
constexpr char SYSTEM_LOG_PATH[] = "/dev/log";
#endif

// The longest message sent, its terminating NUL included; a longer text is
// cut to fit (every line of this program fits whole).
constexpr size_t LOG_MESSAGE_MAX = 2048;
// The send buffer asked for: room for some 8,000 lines of 120 bytes queued
// while syslogd is busy. A system that refuses that much is asked for half
// as much, and so on down to what the socket already has.
constexpr int LOG_SEND_BUFFER = 1 << 20;
// The longest single wait for room before the send is tried again.
constexpr int LOG_ROOM_WAIT_MS = 10;

// The moment and place a message names: the time in local terms (tm with
// its offset from UTC in tm_gmtoff), microseconds, the host's name (the
// RFC 5424 form only; empty: "-") and the process (pid -1: none).
struct log_origin {
  struct tm local;
  long usec;
  const char* host;
  int pid;
};

// Writes the message of priority pri (facility included) with tag ident
// and text into buf (size bytes, at least 1), NUL-terminated, cut to fit.
// Returns its length without the NUL.
size_t format_log_message(char* buf, size_t size, log_form form, int pri, const log_origin& origin,
                          const char* ident, const char* text);

using log_stop_fn = bool (*)();

struct log_sender {
  const char* path = SYSTEM_LOG_PATH;  // the socket syslogd reads
  log_form form = SYSTEM_LOG_FORM;
  char ident[64] = "";
  int option = 0;  // openlog's: LOG_PID and LOG_NDELAY are heeded
  int facility = 0;  // added to a priority that names none (LOG_USER when 0)
  int fd = -1;
  bool connected = false;
  // The socket is a stream one: the log socket refused a datagram socket's
  // connect (Linux builds only; see the header).
  bool stream = false;
  uint64_t dropped = 0;  // lines not delivered since the sender was made
  // The clock the message's time is read from: CLOCK_REALTIME unless a
  // test sets its own.
  void (*clock)(timespec* now) = nullptr;
  // The send of one message, as send(2) answers: send(2) itself unless a
  // test sets its own (to answer ENOBUFS as FreeBSD's kernel does).
  long (*send)(int fd, const void* msg, size_t len, int flags) = nullptr;
};

// Takes openlog's arguments (a null ident: the program's name is not
// known here, so the tag is empty) and, with LOG_NDELAY, connects at once.
void log_sender_open(log_sender* s, const char* ident, int option, int facility);

// Sends one line at priority (a level, with or without a facility), as
// above. stopping is asked about a stop while the send waits for room;
// null: no stop cuts the wait short.
int log_sender_send(log_sender* s, int priority, const char* text, log_stop_fn stopping);

// Closes the socket; the sender can be opened again.
void log_sender_close(log_sender* s);

// The process-wide sender, behind the real platform's log service: openlog,
// the sending of one line (the stop question is the platform's stopping),
// closelog, and the lines dropped so far.
void system_log_open(const char* ident, int option, int facility);
void system_log_send(int priority, const char* text);
void system_log_close();
uint64_t system_log_dropped();
