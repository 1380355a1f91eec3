#include "fwtable/fatal.h"

#include <err.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool mirror_to_syslog = false;
fatal_hook_fn fatal_hook = nullptr;

[[noreturn]] void fatal_end(int status) {
  if (fatal_hook != nullptr) fatal_hook(status);
  exit(status);
}

// Writes the message as err(3) or errx(3) would, and to syslog once asked.
void report(bool with_errno, const char* fmt, va_list ap) {
  int saved = errno;
  va_list copy;
  va_copy(copy, ap);
  errno = saved;
  if (with_errno)
    vwarn(fmt, ap);
  else
    vwarnx(fmt, ap);
  if (mirror_to_syslog) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, copy);
    if (with_errno)
      syslog(LOG_ERR, "%s: %s", text, strerror(saved));
    else
      syslog(LOG_ERR, "%s", text);
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

void fatal_mirror_to_syslog(bool on) { mirror_to_syslog = on; }

void fatal_set_hook(fatal_hook_fn hook) { fatal_hook = hook; }
