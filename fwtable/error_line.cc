// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/error_line.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "fwtable/platform.h"

namespace {

// Lines written in part just now (marks nest).
int open_lines = 0;

// The invocation name err(3) puts before its messages.
const char* program_name() {
#if defined(__linux__)
  return program_invocation_short_name;
#elif defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || defined(__DragonFly__) || \
    defined(__APPLE__)
  return getprogname();
#else
  return nullptr;
#endif
}

// The longest line formatted; a longer one is cut, its line feed kept.
constexpr size_t LINE_MAX_BYTES = 4096;

}  // namespace

open_line_mark::open_line_mark() { open_lines++; }
open_line_mark::~open_line_mark() { open_lines--; }

bool output_line_open() { return open_lines > 0; }

int error_line_write(int fd, const char* text, size_t len, bool (*stopping)()) {
  size_t done = 0;
  std::optional<open_line_mark> mark;
  while (done < len) {
    pollfd p{fd, POLLOUT, 0};
    const int ready = poll(&p, 1, stopping != nullptr ? ERROR_LINE_LOOK_MS : -1);
    if (ready > 0) {
      const ssize_t n = write(fd, text + done, std::min<size_t>(len - done, PIPE_BUF));
      if (n > 0) {
        done += static_cast<size_t>(n);
        if (done < len && !mark) mark.emplace();
        continue;
      }
      if (n == 0) {
        errno = EIO;
        return -1;
      }
      if (errno != EINTR && errno != EAGAIN) return -1;
    } else if (ready < 0 && errno != EINTR) {
      return -1;
    }
    // No room yet, or a signal came: a stop drops the rest of the line.
    if (stopping != nullptr && stopping()) {
      errno = ECANCELED;
      return -1;
    }
  }
  return 0;
}

void stderr_vwarn(bool with_errno, const char* fmt, va_list ap) {
  const int saved = errno;
  char line[LINE_MAX_BYTES];
  size_t len = 0;
  // Appends what snprintf wrote, as far as it fits (one byte is kept for
  // the line feed).
  auto add = [&](int n) {
    if (n > 0) len = std::min(len + static_cast<size_t>(n), sizeof line - 2);
  };
  const char* name = program_name();
  if (name != nullptr) add(snprintf(line, sizeof line - 1, "%s: ", name));
  add(vsnprintf(line + len, sizeof line - 1 - len, fmt, ap));
  if (with_errno) add(snprintf(line + len, sizeof line - 1 - len, ": %s", strerror(saved)));
  line[len++] = '\n';
  error_line_write(STDERR_FILENO, line, len, current_platform().stopping);
  errno = saved;
}

void stderr_warn(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  stderr_vwarn(true, fmt, ap);
  va_end(ap);
}

void stderr_warnx(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  stderr_vwarn(false, fmt, ap);
  va_end(ap);
}
