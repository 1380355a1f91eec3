// SPDX-License-Identifier: BSD-2-Clause
// The one emulator fixture, for tests and benchmarks: a real fwemu server,
// `fwemu -s DIR/fwemu.sock serve --abi N` started as a child process (the
// binary named by FWEMU_BIN, through process.h), emulating by default the
// kernel whose record layout this build is for, ready once it accepts
// connections; administrative commands spoken to it over its socket, and
// the fwemu tool run against it as a separate process. Each server has its
// own directory and socket, so tests may run in parallel.
//
// Owns: the child process (stopped with SIGTERM by the destructor if still
// running; its output goes to files in the directory) and, when it made
// one, its temporary directory (removed by the destructor).
// Failure: start-up problems and an unclean stop go to support_failure
// (support_failure.h); nothing throws.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "fwtable/fw_records.h"
#include "tests/support/process.h"

struct emu_server {
  struct result {
    int status;  // exit status; -1 when the server could not be reached
    std::string out;  // the command's text (admin) or standard output (cli)
    std::string err;  // standard error (cli); the errno text when unreachable
  };

  // dir: where the socket goes; empty for a fresh temporary directory.
  // abi: the kernel emulated (14 or 15).
  explicit emu_server(const std::string& dir = "", int abi = FW_ABI);
  ~emu_server();
  emu_server(const emu_server&) = delete;
  emu_server& operator=(const emu_server&) = delete;

  // One administrative command ("create t5 type addr"), words split at
  // blanks, sent over the socket.
  result admin(const std::string& words);
  // The fwemu tool with "-s SOCKET" and these arguments, as a child process;
  // the status is its exit status, or 128 + the signal that ended it.
  result cli(const std::vector<std::string>& args);
  // The "connections:" count of the server's stats (the stats command's own
  // connection included).
  long connections();

  const std::string& socket_path() const { return socket_; }
  const std::string& dir() const { return dir_; }
  pid_t pid() const { return server_.pid; }
  bool running() const { return server_.pid > 0; }

  // SIGTERM, then waits; expects exit status 0 and the socket removed.
  void stop();
  // SIGKILL, then waits; the socket file stays behind.
  void kill();

 private:
  std::string dir_;
  std::string socket_;
  bool own_dir_ = false;
  child_process server_;
};

// Runs a program with arguments (argv[0] included) and the environment of
// this process, capturing its standard output and error (run_program of
// process.h, into a directory of its own, without a time limit). The
// status is the exit status, or 128 + the signal that ended it.
emu_server::result run_program(const std::vector<std::string>& argv);
