// SPDX-License-Identifier: BSD-2-Clause
// Running the real programs as a user would, for process-level tests, the
// emulator fixture and the benchmarks alike: a child process with its own
// arguments, environment additions and working directory, its standard
// output and error captured in files, waited for with or without a time
// limit and its resource use read back; a temporary directory; a syslog
// sink that receives what a program logs on a real datagram socket.
//
// Owns: the temporary directory (removed with its content), the child (a
// child still running when the handle dies is killed and reaped), the sink
// socket and, when it counts on a thread, that thread.
// Failure: set-up failures go to support_failure (support_failure.h); the
// calls themselves report through their results. Free of any test
// framework.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

struct temp_dir {
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

struct exit_result {
  bool finished = false;  // false: still running when the time ran out
  bool exited = false;  // ended by exit (status in code), else by a signal
  int code = -1;
  int signal = 0;
  rusage usage{};  // of the child (and its children), once finished
};

// The status as a shell gives it: the exit status, 128 + the signal that
// ended the child, or -1 while it has not finished.
int exit_status(const exit_result& r);

struct child_process {
  child_process() = default;
  ~child_process();
  child_process(child_process&& other) noexcept;
  child_process& operator=(child_process&& other) noexcept;

  // Starts argv[0] (a path) with argv in a process group of its own, in
  // dir (empty: the current one), standard input from /dev/null, output
  // and error into files of out_dir (empty: to /dev/null).
  // env: "NAME=value" entries added to (or replacing in) the environment.
  // pending_signal: when non-zero, the program starts with that signal
  // blocked and already pending (as if it had arrived before it could
  // take it), every other signal unblocked.
  // Where PR_SET_PDEATHSIG exists (Linux) the child gets SIGKILL when the
  // thread that started it ends, so a test that is killed leaves none of
  // its programs running; start children from a thread that outlives them.
  // A program that detaches escapes this: the fork of daemon(3) clears it.
  static child_process start(const std::vector<std::string>& argv, const std::string& out_dir,
                             const std::vector<std::string>& env = {}, const std::string& dir = "",
                             int pending_signal = 0);

  // Waits at most timeout_ms for the child to end; a negative time waits
  // until it has. A child that cannot be waited for (reaped elsewhere) is
  // forgotten: the result says finished false and pid becomes -1.
  exit_result wait(int timeout_ms);
  void send(int sig) const;
  std::string out() const;
  std::string err() const;

  pid_t pid = -1;
  std::string out_path;
  std::string err_path;
};

// Starts, waits at most timeout_ms (negative: no limit), and kills the
// child if it is still running then (the result then says finished false).
struct run_output {
  exit_result status;
  std::string out;
  std::string err;
};
run_output run_program(const std::vector<std::string>& argv, const std::string& out_dir,
                       const std::vector<std::string>& env = {}, int timeout_ms = 10000);

// One syslog message as it arrived: "<PRI>TIMESTAMP IDENT[PID]: TEXT".
struct syslog_message {
  int priority = -1;
  std::string ident;
  pid_t pid = -1;
  std::string text;
  std::string raw;
};

// How a sink reads: polled, every message kept and parsed when asked for
// (tests); or counted, by a thread of its own that takes each message with
// one blocking read, as a syslog daemon's loop does, and keeps only the
// count (benchmarks: a reader that keeps up as syslogd would, so that the
// time a program spends in syslog(3) is what it would be there).
enum class sink_reading { polled, counted };

// The kind of socket a sink listens on: a datagram one, as most syslog
// daemons' /dev/log; or a stream one, as syslog-ng's and rsyslog's
// unix-stream, where each message ends with a NUL byte (polled only).
enum class sink_socket { datagram, stream };

// A socket in dir, named "log.sock", that stands for /dev/log of a program
// run under with_devlog (see wrap()).
struct syslog_sink {
  explicit syslog_sink(const std::string& dir, sink_reading reading = sink_reading::polled,
                       sink_socket kind = sink_socket::datagram);
  ~syslog_sink();
  syslog_sink(const syslog_sink&) = delete;
  syslog_sink& operator=(const syslog_sink&) = delete;

  // argv run in a private mount namespace whose /dev/log is this socket.
  std::vector<std::string> wrap(const std::vector<std::string>& argv) const;

  // Every message that has arrived so far, in order of arrival.
  const std::vector<syslog_message>& messages();
  // Waits at most timeout_ms until a message with this text has arrived.
  bool wait_for(const std::string& text, int timeout_ms);
  // The texts of the messages so far.
  std::vector<std::string> texts();
  // Counted: the messages the thread has taken so far.
  uint64_t counted() const { return count_.load(); }
  // Polled: syslogd started again. The socket is closed and made anew at
  // its path (a sender connected to the old one finds it gone); the
  // messages received so far are kept.
  void restart();

  std::string path;
  int fd = -1;  // the datagram socket, or the stream's listening one
  std::vector<syslog_message> received;

 private:
  void bind_socket(sink_reading reading);
  // A stream sink's connections: each descriptor, and the bytes of a
  // message that has not yet come whole.
  struct stream_peer {
    int fd;
    std::string partial;
  };
  void take_stream_messages();
  bool stream_ = false;
  std::vector<stream_peer> peers_;
  std::atomic<uint64_t> count_{0};
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

// The lines of text, without their line feeds.
std::vector<std::string> text_lines(const std::string& text);

// Sleeps for ms milliseconds.
void sleep_ms(int ms);
// Milliseconds of the monotonic clock. Every limit on a wait is measured on
// it, not as the sum of the sleeps, which a loaded machine overruns.
int64_t monotonic_ms();
// Asks done() every step_ms until it says true or timeout_ms have passed
// on the monotonic clock; done()'s last answer (it is asked once more when
// the time is up).
bool poll_until(const std::function<bool()>& done, int timeout_ms, int step_ms = 10);
// Waits at most timeout_ms until the file exists (and is not empty, if asked).
bool wait_for_file(const std::string& path, int timeout_ms, bool non_empty = false);
std::string read_file(const std::string& path);
// True while a process with this PID exists.
bool process_alive(pid_t pid);
// True when the process has a handler installed for sig (so that sending it
// cannot end a program that has not yet installed its handlers).
bool catches_signal(pid_t pid, int sig);
// Sends sig only when the process catches it; true when sent.
bool send_if_caught(pid_t pid, int sig);
// The number of the system call the process is blocked in (as
// /proc/PID/syscall gives it), or -1 when it runs, is not in a call, is
// gone or cannot be looked at (reading it asks for the right to trace it).
long blocked_syscall(pid_t pid);
// The bytes the process has taken in with read(2) and its kin so far
// (rchar of /proc/PID/io), or -1 when that cannot be read.
long long bytes_read(pid_t pid);
