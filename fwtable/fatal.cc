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

[[noreturn]] void fatal_v(int status, bool with_errno, const char* fmt, va_list ap) {
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
  fatal_end(status);
}

}  // namespace

void fatal_err(int status, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fatal_v(status, true, fmt, ap);
}

void fatal_errx(int status, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fatal_v(status, false, fmt, ap);
}

void fatal_mirror_to_syslog(bool on) { mirror_to_syslog = on; }

void fatal_set_hook(fatal_hook_fn hook) { fatal_hook = hook; }
