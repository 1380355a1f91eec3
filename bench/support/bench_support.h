// SPDX-License-Identifier: BSD-2-Clause
// What the benchmark drivers share beyond the process and emulator support
// of the tests (tests/support/process.h, tests/support/emu_server.h): the
// scratch directory with its server, set up so that a driver ending early
// leaves neither behind; the emulator's commands held to success; the
// syslog sink counted on its own thread where the client may be given a
// private /dev/log; the client programs run to a checked end; and the
// number formats of the reports.
//
// Owns: through bench_setup, the directory (removed with its content) and
// the server process (stopped by SIGTERM), also at exit when a driver ends
// early; through bench_syslog, the sink.
// Failure: a benchmark cannot go on without its fixtures, so every failure
// here, and every set-up failure of the shared support (support_failure),
// ends the driver with a message (errx, status 1).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/emu_server.h"
#include "tests/support/process.h"

// A scratch directory and `fwemu -s DIR/fwemu.sock serve` in it, ready when
// the constructor returns.
struct bench_setup {
  bench_setup();
  ~bench_setup();
  bench_setup(const bench_setup&) = delete;
  bench_setup& operator=(const bench_setup&) = delete;
  temp_dir dir;
  emu_server emu;
};

// One administrative command, words split at blanks; its text. Any status
// but 0 ends the driver.
std::string bench_admin(emu_server& emu, const std::string& words);
// One number of the "stats" or "info NAME" text ("requests 87", "count").
uint64_t bench_figure(emu_server& emu, const std::string& command, const std::string& label);

// The syslog sink of the client programs, counted on its own thread. argv
// is run in a private mount namespace whose /dev/log is the sink when this
// process may make one (root, unshare present); as it is otherwise (usable
// then says false and syslog goes where it goes).
struct bench_syslog {
  explicit bench_syslog(const std::string& dir);
  std::vector<std::string> wrap(const std::vector<std::string>& argv) const;
  uint64_t received() const { return sink.counted(); }
  syslog_sink sink;
  bool usable = false;
};

// Runs argv (argv[0] a path) with env entries ("NAME=value") added, its
// standard output and error captured in files of dir, and waits for it. A
// status other than 0 ends the driver with its standard error.
run_output run_program_checked(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                               const std::string& dir);

// The number after "label " or "label: " in text; ends the driver if none.
uint64_t figure_in(const std::string& text, const std::string& label);

// The median of values (not empty).
double median(std::vector<double> values);
// "median (lowest to highest)" of values (not empty), two decimals each.
std::string spread(const std::vector<double>& values);
