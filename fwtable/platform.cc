// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/platform.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "fwtable/fwctl.h"
#include "fwtable/log_sender.h"

namespace {

int64_t real_now() { return static_cast<int64_t>(time(nullptr)); }
int real_print(const char* fmt, va_list ap) { return vfprintf(stdout, fmt, ap); }
size_t real_write(const char* text, size_t len) { return fwrite(text, 1, len, stdout); }
int real_flush() { return fflush(stdout); }
void real_exit(int status) { exit(status); }

const platform real = {
    .now = real_now,
    .fwctl_get = fwctl_socket_get,
    .fwctl_ctx = nullptr,
    .log = system_log_send,
    .print = real_print,
    .write = real_write,
    .flush = real_flush,
    .exit = real_exit,
    .fatal_to_log = false,
    .stopping = nullptr,
    .limit_fd = capability_limit,
    .enter_capability_mode = capability_enter,
};

}  // namespace

const platform* platform_detail::in_force = &real;

const platform& real_platform() { return real; }

platform_scope::platform_scope(const platform& p) : installed_(p), previous_(platform_detail::in_force) {
  platform_detail::in_force = &installed_;
}

platform_scope::~platform_scope() {
  if (platform_detail::in_force != &installed_) {
    static const char message[] =
        "platform_scope: a scope ended while one started after it was still in force\n";
    ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    abort();
  }
  platform_detail::in_force = previous_;
}

int64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int platform_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = current_platform().print(fmt, ap);
  va_end(ap);
  return n;
}
