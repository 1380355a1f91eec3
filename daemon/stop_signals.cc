#include "daemon/stop_signals.h"

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "daemon/process_state.h"

namespace {

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

constexpr int64_t max_wait_ns = int64_t{86400} * 1000000000;

int64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void install_stop_handling() {
  signal(SIGINT, handle_stop_signal);
  signal(SIGTERM, handle_stop_signal);
  signal(SIGPIPE, SIG_IGN);
  // A mask inherited from whoever started us must not hold a stop back:
  // one already pending is taken here, by the handler.
  sigset_t set = stop_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void block_stop_signals() {
  sigset_t set = stop_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool wait_for_stop(unsigned seconds) {
  if (stop_flag) return true;
  sigset_t set = stop_set();
  const int64_t deadline = monotonic_ns() + static_cast<int64_t>(seconds) * 1000000000;
  for (;;) {
    int64_t left = deadline - monotonic_ns();
    if (left < 0) left = 0;
    // One day at a time: a pause of up to 2^32 - 1 seconds fits a 32-bit
    // time_t this way, and the deadline is recomputed after each wait.
    if (left > max_wait_ns) left = max_wait_ns;
    timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    int sig = sigtimedwait(&set, nullptr, &ts);
    if (sig == SIGINT || sig == SIGTERM) {
      handle_stop_signal(sig);
      return true;
    }
    if (stop_flag) return true;
    if (sig < 0 && errno == EAGAIN && monotonic_ns() >= deadline) return false;
    if (sig < 0 && errno != EAGAIN && errno != EINTR) return false;
  }
}
