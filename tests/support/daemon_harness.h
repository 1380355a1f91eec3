// SPDX-License-Identifier: BSD-2-Clause
// One daemon under test: a temporary directory, a real fwemu server in it,
// a syslog sink, and hostreapd started against them as a user would (its
// own /dev/log, FWEMU_SOCKET naming the server). Also finds the detached
// daemon (the grandchild) by its environment, counts the requests the
// server has answered, and waits for the moments a test acts at: so many
// requests made, the daemon in its pause. Every limit is on the monotonic
// clock and only guards against a hang.
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
  // whose record layout the daemon was built for. log: the kind of socket
  // the sink (the daemon's /dev/log) is.
  explicit daemon_harness(int abi = FW_ABI, sink_socket log = sink_socket::datagram);
  ~daemon_harness();

  // The server's administrative command; fails the test unless it succeeds.
  std::string admin(const std::string& words);

  // Starts hostreapd with args. with_syslog: under its own /dev/log (the
  // sink); otherwise plainly (so a pending signal survives to it). cwd: the
  // working directory (empty: the test's).
  child_process start(const std::vector<std::string>& args, bool with_syslog = true, int pending_signal = 0,
                      const std::string& cwd = "");

  // Requests of this opcode the server has taken so far (each counted as it
  // comes in, before a reply that a fault holds back has gone out).
  long requests(int opcode);
  // Waits until at least n requests of this opcode have come, reading the
  // syslog sink meanwhile; with a sweeper's PID, asking it for cycles now
  // and then as wait_for_lists does.
  bool wait_for_requests(int opcode, long n, int timeout_ms, pid_t sweeper = -1);
  // Waits until at least n list requests have come (the last one's reply
  // may not have reached the daemon yet: what a cycle does after its
  // listing is waited for by itself, or by wait_in_pause). Reads the
  // syslog sink meanwhile (see wait_exit). With a sweeper's PID, asks it for
  // a cycle now and then with SIGHUP (once it has its handler), so that
  // cycles follow each other without the daemon's pause.
  bool wait_for_lists(long n, int timeout_ms, pid_t sweeper = -1);
  // Waits at most timeout_ms for a hostreapd started here to end, reading
  // the syslog sink meanwhile: a datagram socket queues only a few messages
  // (net.unix.max_dgram_qlen, 10 by default), and a daemon that logs more
  // waits until they are read (a stop ends the wait, dropping the line).
  exit_result wait_exit(child_process& d, int timeout_ms);

  // The hostreapd processes whose environment names this server (running).
  std::vector<pid_t> daemons();
  // Waits until exactly one such process runs and returns it (-1 if none).
  pid_t find_daemon(int timeout_ms);
  // Waits until the process has ended.
  bool wait_gone(pid_t pid, int timeout_ms);
  // Waits until no hostreapd process names this server.
  bool wait_no_daemons(int timeout_ms);
  // Waits until the daemon is blocked in this system call (see
  // blocked_syscall), reading the syslog sink meanwhile.
  bool wait_in_syscall(pid_t pid, long syscall, int timeout_ms);
  // Waits until the daemon sits in its pause between cycles: blocked in
  // sigtimedwait, which is where the pause, and only the pause, waits. A
  // cycle it was to run before pausing has run by then, so a test can count
  // what the cycles so far did without waiting an arbitrary time for one
  // more that must not come.
  bool wait_in_pause(pid_t pid, int timeout_ms);
  // Waits until the daemon is blocked waiting for a reply from the server
  // (in poll).
  bool wait_in_request(pid_t pid, int timeout_ms);

  // Texts of the syslog messages received so far, and those of one level.
  std::vector<std::string> log_texts();
  std::vector<std::string> removal_lines();

  temp_dir dir;
  emu_server emu;
  syslog_sink sink;
  std::vector<pid_t> found;
};

// Whether the process waits for syslogd to make room: blocked in poll(2)
// with the log sender's wait for room (no request of the control channel
// waits that long and no longer).
bool waits_for_log_room(pid_t pid);
