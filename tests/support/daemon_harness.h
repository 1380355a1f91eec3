// SPDX-License-Identifier: BSD-2-Clause
// One daemon under test: a temporary directory, a real fwemu server in it,
// a syslog sink, and hostreapd started against them as a user would (its
// own /dev/log, FWEMU_SOCKET naming the server). Also finds the detached
// daemon (the grandchild) by its environment, and counts the requests the
// server has answered.
//
// Owns: the directory, the server, the sink, and every hostreapd process it
// started or found (killed with SIGKILL when the harness dies, so a failing
// test leaves nothing running).
// Failure: set-up problems fail the current test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/emu_server.h"
#include "tests/support/process.h"

struct daemon_harness {
  // abi: the kernel the server emulates (14 or 15); by default the one
  // whose record layout the daemon was built for.
  explicit daemon_harness(int abi = FW_ABI);
  ~daemon_harness();

  // The server's administrative command; fails the test unless it succeeds.
  std::string admin(const std::string& words);

  // Starts hostreapd with args. with_syslog: under its own /dev/log (the
  // sink); otherwise plainly (so a pending signal survives to it). cwd: the
  // working directory (empty: the test's).
  child_process start(const std::vector<std::string>& args, bool with_syslog = true, int pending_signal = 0,
                      const std::string& cwd = "");

  // Requests of this opcode the server has answered so far.
  long requests(int opcode);
  // Waits until at least n list requests have been answered. Reads the
  // syslog sink meanwhile (see wait_exit). With a sweeper's PID, asks it for
  // a cycle now and then with SIGHUP (once it has its handler), so that
  // cycles follow each other without the daemon's pause.
  bool wait_for_lists(long n, int timeout_ms, pid_t sweeper = -1);
  // Waits at most timeout_ms for a hostreapd started here to end, reading
  // the syslog sink meanwhile: a datagram socket queues only a few messages
  // (net.unix.max_dgram_qlen, 10 by default), and a daemon that logs more
  // blocks in syslog(3), deaf to its stop signals, until they are read.
  exit_result wait_exit(child_process& d, int timeout_ms);

  // The hostreapd processes whose environment names this server (running).
  std::vector<pid_t> daemons();
  // Waits until exactly one such process runs and returns it (-1 if none).
  pid_t find_daemon(int timeout_ms);
  // Waits until the process has ended.
  bool wait_gone(pid_t pid, int timeout_ms);

  // Texts of the syslog messages received so far, and those of one level.
  std::vector<std::string> log_texts();
  std::vector<std::string> removal_lines();

  temp_dir dir;
  emu_server emu;
  syslog_sink sink;
  std::vector<pid_t> found;
};
