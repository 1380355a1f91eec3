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

sigset_t signal_set(bool with_hup) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (with_hup) sigaddset(&set, SIGHUP);
  return set;
}

void install(int sig, void (*handler)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a stop ends a blocked write
  sigaction(sig, &sa, nullptr);
}

constexpr int64_t max_wait_ns = int64_t{86400} * 1000000000;

// Lets the stop signals through for a cycle.
void open_for_cycle() {
  sigset_t set = signal_set(false);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

wake_reason wait_blocked(unsigned seconds) {
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
    if (sig == SIGHUP) return wake_reason::sweep_now;
    if (stop_flag) return wake_reason::stop;
    if (sig < 0 && errno == EAGAIN && monotonic_ns() >= deadline) return wake_reason::timeout;
    if (sig < 0 && errno != EAGAIN && errno != EINTR) return wake_reason::timeout;
  }
}

}  // namespace

void install_stop_handling() {
  install(SIGINT, handle_stop_signal);
  install(SIGTERM, handle_stop_signal);
  install(SIGHUP, handle_sweep_now_signal);
  signal(SIGPIPE, SIG_IGN);
  // A mask inherited from whoever started us must not hold a stop back:
  // one already pending is taken here, by its handler.
  sigset_t stops = signal_set(false);
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  sigset_t hup;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  sigprocmask(SIG_BLOCK, &hup, nullptr);
}

wake_reason pause_between_cycles(unsigned seconds) {
  sigset_t set = signal_set(false);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  wake_reason why = wait_blocked(seconds);
  open_for_cycle();
  return why;
}

bool stop_requested() { return stop_flag != 0; }
