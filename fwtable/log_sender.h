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
// Every connect, the first and each one after syslogd has made its socket
// anew, names the socket in its directory, through a descriptor of that
// directory opened with the sender (fwtable/connect_at.h): a program in
// capability mode can still connect so, and the directory is the one
// opened at the start even if another has taken its path since. A
// directory that cannot be opened leaves the sender connecting by the
// path, as syslog(3) does. Each socket connected is limited to the rights
// of a log socket (fwtable/capability_mode.h; a failure there is let be:
// the socket serves all the same).
//
// A line costs one system call besides the clock's: its send. The
// process's ID and the host's name that the line names are read by
// log_sender_refresh (at the open, and when the caller says: after
// detaching, once a cycle), not for each line.
//
// Owns: the socket and the directory descriptor of each log_sender,
// closed by log_sender_close; the process-wide sender behind the real
// platform's log service (fwtable/platform.h), opened by system_log_open.
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
  int dir_fd = -1;  // the directory of path, opened by log_sender_open
  bool connected = false;
  int pid = -1;  // the process's ID, with LOG_PID, as log_sender_refresh read it
  char host[256] = "";  // the host's name (the RFC 5424 form), as log_sender_refresh read it
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
// known here, so the tag is empty), opens the directory of the log socket,
// reads what log_sender_refresh reads and, with LOG_NDELAY, connects at
// once.
void log_sender_open(log_sender* s, const char* ident, int option, int facility);

// Reads the process's ID (with LOG_PID) and, for the RFC 5424 form, the
// host's name, which every line from then on names: a process that has
// detached is another one, and the host may be renamed. A host name that
// cannot be read (in capability mode, where the system refuses it) stays
// as it was.
void log_sender_refresh(log_sender* s);

// Sends one line at priority (a level, with or without a facility), as
// above. stopping is asked about a stop while the send waits for room;
// null: no stop cuts the wait short.
int log_sender_send(log_sender* s, int priority, const char* text, log_stop_fn stopping);

// Closes the socket and the directory; the sender can be opened again.
void log_sender_close(log_sender* s);

// The process-wide sender, behind the real platform's log service: openlog,
// the sending of one line (the stop question is the platform's stopping),
// closelog, and the lines dropped so far.
void system_log_open(const char* ident, int option, int facility);
void system_log_send(int priority, const char* text);
void system_log_close();
uint64_t system_log_dropped();
// log_sender_refresh of the process-wide sender.
void system_log_refresh();
// Its socket and the directory it connects in (-1: none), for a program
// that limits the descriptors it keeps.
int system_log_socket_fd();
int system_log_directory_fd();
