// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/fatal.h"

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fwtable/error_line.h"
#include "fwtable/platform.h"

namespace {

[[noreturn]] void fatal_end(int status) {
  current_platform().exit(status);
  exit(status);
}

// Writes the message as err(3) or errx(3) would, and to syslog once asked.
void report(bool with_errno, const char* fmt, va_list ap) {
  int saved = errno;
  va_list copy;
  va_copy(copy, ap);
  errno = saved;
  // Standard error gives way to a stop: a pipe nobody reads does not hold
  // the end of the process.
  stderr_vwarn(with_errno, fmt, ap);
  if (current_platform().fatal_to_log) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, copy);
    if (with_errno) {
      char line[sizeof text + 256];
      snprintf(line, sizeof line, "%s: %s", text, strerror(saved));
      platform_log(LOG_ERR, line);
    } else {
      platform_log(LOG_ERR, text);
    }
  }
  va_end(copy);
}

}  // namespace

void fatal_err(int status, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  report(true, fmt, ap);
  va_end(ap);
  fatal_end(status);
}

void fatal_errx(int status, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  report(false, fmt, ap);
  va_end(ap);
  fatal_end(status);
}
