// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/stop_signals.h"

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "daemon/process_state.h"
#include "fwtable/platform.h"

namespace {

// SIGHUP is blocked from the moment its handler is installed and taken
// only by the pause's sigtimedwait, so this never runs; it is there so that
// the signal's disposition is never the default end of the process.
extern "C" void handle_sweep_now_signal(int) {}

// The signals that ask for the line of state: SIGUSR1 everywhere, SIGINFO
// where the system has it.
sigset_t status_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
#ifdef SIGINFO
  sigaddset(&set, SIGINFO);
#endif
  return set;
}

bool is_status_signal(int sig) {
  if (sig == SIGUSR1) return true;
#ifdef SIGINFO
  if (sig == SIGINFO) return true;
#endif
  return false;
}

// The stop signals; for the pause also SIGHUP and the status signals.
sigset_t signal_set(bool for_pause) {
  sigset_t set;
  if (for_pause) {
    set = status_set();
  } else {
    sigemptyset(&set);
  }
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (for_pause) sigaddset(&set, SIGHUP);
  return set;
}

// restart: whether a call the handler interrupted is restarted (SA_RESTART).
void install(int sig, void (*handler)(int), bool restart) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = restart ? SA_RESTART : 0;
  sigaction(sig, &sa, nullptr);
}

constexpr int64_t max_wait_ns = int64_t{86400} * 1000000000;

// Lets the stop signals through.
void open_for_stops() {
  sigset_t set = signal_set(false);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Lets the status signals through to their handler.
void open_for_status() {
  sigset_t set = status_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Writes the line of state, with the stop signals let through meanwhile:
// a line to standard error that blocks (a pipe nobody reads) must not hold
// a stop up, and their handler, installed without SA_RESTART, ends such a
// write. The pause then takes them blocked again.
void report_with_stops_open(status_report_fn report) {
  if (report == nullptr) return;
  open_for_stops();
  report();
  sigset_t set = signal_set(false);
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

// Takes every status signal still pending and answers them, with the one
// just taken if asked is true and one the cycle's handler flagged, with one
// line (none when none was asked). The status signals are blocked: the
// flag is not set meanwhile.
void answer_status(status_report_fn report, bool asked) {
  if (status_flag != 0) asked = true;
  status_flag = 0;
  sigset_t set = status_set();
  const timespec now{0, 0};
  while (is_status_signal(sigtimedwait(&set, nullptr, &now))) asked = true;
  if (asked) report_with_stops_open(report);
}

wake_reason wait_blocked(unsigned seconds, status_report_fn report) {
  if (stop_flag) return wake_reason::stop;
  // A request that came during the cycle after its last look at the stop
  // flag is answered first, ahead of a SIGHUP that came with it.
  answer_status(report, false);
  if (stop_flag) return wake_reason::stop;
  sigset_t set = signal_set(true);
  const int64_t deadline = monotonic_ns() + static_cast<int64_t>(seconds) * 1000000000;
  for (;;) {
    int64_t left = deadline - monotonic_ns();
    if (left < 0) left = 0;
    // One day at a time: the deadline is recomputed after each wait.
    if (left > max_wait_ns) left = max_wait_ns;
    timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    int sig = sigtimedwait(&set, nullptr, &ts);
    if (sig == SIGINT || sig == SIGTERM) {
      handle_stop_signal(sig);
      return wake_reason::stop;
    }
    // Answered, and the pause goes on to its deadline.
    if (is_status_signal(sig)) answer_status(report, true);
    if (sig == SIGHUP) {
      answer_status(report, false);
      if (!stop_flag) return wake_reason::sweep_now;
    }
    if (stop_flag) return wake_reason::stop;
    if (sig < 0 && errno == EAGAIN && monotonic_ns() >= deadline) return wake_reason::timeout;
    if (sig < 0 && errno != EAGAIN && errno != EINTR) return wake_reason::timeout;
  }
}

}  // namespace

void install_stop_handling() {
  // No SA_RESTART for a stop: it ends a write that blocks.
  install(SIGINT, handle_stop_signal, false);
  install(SIGTERM, handle_stop_signal, false);
  install(SIGHUP, handle_sweep_now_signal, false);
  // SA_RESTART for a request for the line: it must not cut short a write
  // to standard output, a line sent to the log or a read, which are
  // restarted; a wait in poll(2) is not (on Linux and FreeBSD alike it
  // fails with EINTR whatever the flag), so a request's wait for its reply
  // looks at the flag at once.
  install(SIGUSR1, handle_status_signal, true);
#ifdef SIGINFO
  install(SIGINFO, handle_status_signal, true);
#endif
  signal(SIGPIPE, SIG_IGN);
  // A mask inherited from whoever started us must not hold a stop back:
  // one already pending is taken here, by its handler.
  sigset_t stops = signal_set(false);
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  sigset_t taken_in_pause = status_set();
  sigaddset(&taken_in_pause, SIGHUP);
  sigprocmask(SIG_BLOCK, &taken_in_pause, nullptr);
}

wake_reason pause_between_cycles(unsigned seconds, status_report_fn report) {
  sigset_t set = signal_set(false);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  // The status signals too, before their flag is read: from here on one is
  // kept pending for sigtimedwait, never taken by the handler unseen.
  set = status_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  wake_reason why = wait_blocked(seconds, report);
  open_for_stops();
  open_for_status();
  return why;
}

void open_status_requests() { open_for_status(); }

void answer_status_request(status_report_fn report) {
  if (status_flag == 0) return;
  // Cleared first: a request that comes while the line is written gets a
  // line of its own.
  status_flag = 0;
  if (report != nullptr) report();
}

bool stop_requested() { return stop_flag != 0; }
