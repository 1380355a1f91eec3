// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/sandbox.h"

#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "fwtable/capability_mode.h"
#include "fwtable/fatal.h"
#include "fwtable/platform.h"

namespace {

// Limits every descriptor of keep (none for -1), until one is refused:
// 0, or -1 with errno and its use in *refused.
int limit_all(const sandbox_keep& keep, fd_use* refused) {
  const struct {
    int fd;
    fd_use use;
  } kept[] = {
      {keep.control, fd_use::control},
      {keep.log_socket, fd_use::log_socket},
      {keep.log_directory, fd_use::log_directory},
      {keep.metrics_directory, fd_use::metrics_directory},
      {keep.pid_file, fd_use::pid_file},
      {keep.pid_directory, fd_use::pid_directory},
      {keep.standard ? STDIN_FILENO : -1, keep.reads_input ? fd_use::key_input : fd_use::input},
      {keep.standard ? STDOUT_FILENO : -1, fd_use::output},
      {keep.standard ? STDERR_FILENO : -1, fd_use::output},
  };
  for (const auto& k : kept) {
    if (k.fd >= 0 && current_platform().limit_fd(k.fd, k.use) != 0) {
      *refused = k.use;
      return -1;
    }
  }
  return 0;
}

}  // namespace

int limit_descriptors(const sandbox_keep& keep, fd_use* refused) {
  if (limit_all(keep, refused) == 0 || errno == ENOSYS) return 0;
  return -1;
}

void fatal_limit_refused(fd_use use) {
  fatal_err(EX_OSERR, "cannot limit the rights of %s", fd_use_name(use));
}

void enter_sandbox(const sandbox_keep& keep, void (*warn)(const char* text)) {
  // Local dates (the listing's, the log lines') come from the zone loaded
  // now: its file cannot be opened once the process is in capability mode.
  tzset();
  fd_use refused = fd_use::input;
  bool available = true;
  if (limit_all(keep, &refused) != 0) {
    if (errno != ENOSYS) fatal_limit_refused(refused);
    available = false;
  } else if (current_platform().enter_capability_mode() != 0) {
    if (errno != ENOSYS) fatal_err(EX_OSERR, "cannot enter capability mode");
    available = false;
  }
  if (!available && warn != nullptr) warn(SANDBOX_UNAVAILABLE);
}
