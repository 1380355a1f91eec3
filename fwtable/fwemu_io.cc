// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/fwemu_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fwtable/fwemu_wire.h"
#include "fwtable/platform.h"

const char* fwemu_socket_path() {
  const char* env = getenv(FWEMU_SOCKET_ENV);
  return (env != nullptr && env[0] != '\0') ? env : FWEMU_DEFAULT_SOCKET;
}

int fwemu_connect(const char* path) {
  sockaddr_un sun;
  memset(&sun, 0, sizeof sun);
  sun.sun_family = AF_UNIX;
  size_t n = strlen(path);
  if (n >= sizeof sun.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(sun.sun_path, path, n);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
#ifdef SO_NOSIGPIPE
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  if (connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

namespace {

// When a wait first saw that a stop had come; -1 until then.
int64_t stop_seen_ms = -1;

// Whether a stop has come: the platform's answer when it has the question,
// else whether a signal interrupted the wait.
bool stop_has_come(bool interrupted) {
  bool (*stopping)() = current_platform().stopping;
  return stopping != nullptr ? stopping() : interrupted;
}

}  // namespace

int fwemu_read_all(int fd, void* buf, size_t len, int64_t* deadline) {
  auto* p = static_cast<char*>(buf);
  const bool asks = current_platform().stopping != nullptr;
  bool interrupted = false;
  while (len > 0) {
    if (deadline != nullptr) {
      const bool stop_now = stop_has_come(interrupted);
      if (stop_seen_ms < 0 && stop_now) stop_seen_ms = fwemu_monotonic_ms();
      // From the stop on, the bound runs from it and is never renewed; a
      // program that asks is bound only while its question says so (a
      // request it carries through a stop is asked by a question that
      // says no).
      const bool bound_by_stop =
          stop_seen_ms >= 0 && (!asks || stop_now) && stop_seen_ms + FWEMU_GRACE_MS <= *deadline;
      if (bound_by_stop) *deadline = stop_seen_ms + FWEMU_GRACE_MS;
      int64_t left = *deadline - fwemu_monotonic_ms();
      if (left <= 0) {
        // A wait the stop cut short is given up, not timed out.
        if (bound_by_stop) {
          errno = ECANCELED;
          return FWCTL_GIVEN_UP;
        }
        errno = ETIMEDOUT;
        return -1;
      }
      // A program that can be asked looks again now and then: a stop that
      // came while it was not waiting interrupts no wait.
      if (asks && stop_seen_ms < 0) left = std::min(left, FWEMU_STOP_LOOK_MS);
      pollfd pfd{fd, POLLIN, 0};
      int rc = poll(&pfd, 1, static_cast<int>(left));
      if (rc < 0) {
        if (errno != EINTR) return -1;
        interrupted = true;
        continue;
      }
      if (rc == 0) continue;
    }
    ssize_t n = read(fd, p, len);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    if (n == 0) {
      errno = ECONNRESET;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int64_t fwemu_monotonic_ms() { return monotonic_ns() / 1000000; }
