// What the benchmark drivers share: a scratch directory, a real fwemu
// server on its own socket with its administrative commands, child
// programs run with their output captured and their resource use read back,
// a syslog sink drained by a thread of its own, and the number formats of
// the reports.
//
// Owns: the directory (removed with its content), the server process
// (stopped by SIGTERM), the sink's socket and thread. A driver that ends
// early still stops the server and removes the directory (at exit).
// Failure: a benchmark cannot go on without its fixtures, so every failure
// here ends the driver with a message (errx, status 1).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct bench_dir {
  bench_dir();
  ~bench_dir();
  bench_dir(const bench_dir&) = delete;
  bench_dir& operator=(const bench_dir&) = delete;
  std::string path;
};

// `fwemu -s DIR/fwemu.sock serve`, ready when it returns.
struct bench_emulator {
  explicit bench_emulator(const std::string& dir);
  ~bench_emulator();
  bench_emulator(const bench_emulator&) = delete;
  bench_emulator& operator=(const bench_emulator&) = delete;
  // One administrative command, words split at blanks; its text. Any
  // status but 0 ends the driver.
  std::string admin(const std::string& words) const;
  // One number of the "stats" or "info NAME" text ("requests 87", "count").
  uint64_t figure(const std::string& command, const std::string& label) const;
  std::string socket;
  pid_t pid = -1;
};

// A datagram socket standing for /dev/log, read by its own thread, which
// counts the messages that arrive.
struct syslog_drain {
  explicit syslog_drain(const std::string& dir);
  ~syslog_drain();
  syslog_drain(const syslog_drain&) = delete;
  syslog_drain& operator=(const syslog_drain&) = delete;
  // argv run in a private mount namespace whose /dev/log is this socket,
  // when this process may make one (root, unshare present); argv itself
  // otherwise (usable() then says false and syslog goes where it goes).
  std::vector<std::string> wrap(const std::vector<std::string>& argv) const;
  bool usable() const { return usable_; }
  uint64_t received() const { return count_.load(); }

 private:
  std::vector<std::string> wrap_always(const std::vector<std::string>& argv) const;
  std::string path_;
  int fd_ = -1;
  bool usable_ = false;
  std::atomic<uint64_t> count_{0};
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

struct program_run {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  rusage usage{};  // of the program (and its children), from wait4
};

// Runs argv (argv[0] a path) with env entries ("NAME=value") added, its
// standard output captured, standard error passed through; waits for it.
// A status other than 0 ends the driver.
program_run run_program_checked(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// Starts argv in the background with env added, standard output and error
// to /dev/null.
pid_t start_program(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// Waits for pid; its status (as above) and resource use.
int wait_program(pid_t pid, rusage* usage);

// The number after "label " or "label: " in text; ends the driver if none.
uint64_t figure_in(const std::string& text, const std::string& label);

// The median of values (not empty).
double median(std::vector<double> values);

void sleep_ms(int ms);
