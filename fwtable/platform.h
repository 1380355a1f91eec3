// SPDX-License-Identifier: BSD-2-Clause
// How this program meets the operating system: the one place that names
// every service the table library and the daemon take from outside.
//
//   now        the clock, seconds since the epoch        time(3)
//   fwctl_get  one get request on the control channel    the control socket
//   log        one finished log line at a priority       the system log
//              socket, through the program's own sender, which waits
//              while syslogd is behind (fwtable/log_sender.h)
//   print      formatted text on standard output         vfprintf(stdout)
//   write      text as it is on standard output          fwrite(stdout)
//   flush      standard output written out               fflush(stdout)
//   exit       the end of the process on a fatal error   exit(3)
//   fatal_to_log   whether a fatal message goes to the log as well as to
//              standard error: false, until a detached daemon, whose
//              standard error is the null device, installs a platform
//              that says true
//   stopping   whether the program has been asked to stop: a request
//              still waiting for its reply then gives it up soon (the
//              emulator's channel: fwtable/fwemu_io.h), and so does a log
//              line waiting for syslogd to make room; null, the real
//              platform's, until a program that can be stopped installs
//              its own question
//   limit_fd   a descriptor limited to the rights of its use      cap_rights_limit
//   enter_capability_mode   capability mode, for good             cap_enter
//              (fwtable/capability_mode.h: FreeBSD's Capsicum; a build
//              for another system has neither and answers success)
//
// The real platform is installed from the start. A test (or fuzz target)
// installs its own for a scope: it copies the current platform, replaces
// the services it fakes and hands the copy to a platform_scope, which puts
// the previous one back when it ends. Scopes nest and end in the reverse
// order of their start, as blocks do; nothing is reset by hand.
//
// Owns: the pointer to the platform in force (process-wide); a scope owns
// the copy it installed.
// Failure: the services report as the calls they stand for do (fwctl_get,
// limit_fd, enter_capability_mode: 0, or -1 with errno set; flush: 0 or
// EOF); exit must not return (it ends the process, or throws or jumps
// away); if it does, the caller ends the process with exit(3) all the
// same. A program's fwctl_get may also throw,
// to abandon the table command in progress: everything the table layer
// holds during a request is owned by RAII, so the unwinding frees it. A
// scope ended out of order is a fault of the program: abort(3), after a
// line on standard error.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "fwtable/capability_mode.h"

// getsockopt's contract: the request in buf[0..*len), the reply written
// over it; 0 with *len set to the length of the reply, or -1 with errno set
// and *len left as passed (the length is copied back only on success; what
// the kernel wrote before it failed is in buf). A request given up because
// the program was asked to stop (see stopping) returns FWCTL_GIVEN_UP
// instead, errno ECANCELED for a program that reports it as a failure: a
// result no kernel answer makes, so that a kernel's own ECANCELED (-1) is
// never taken for the stop.
using platform_fwctl_fn = int (*)(void* ctx, void* buf, uint32_t* len);
constexpr int FWCTL_GIVEN_UP = -2;

struct platform {
  int64_t (*now)();
  platform_fwctl_fn fwctl_get;
  void* fwctl_ctx;  // handed to fwctl_get as it is
  void (*log)(int priority, const char* text);
  int (*print)(const char* fmt, va_list ap);
  size_t (*write)(const char* text, size_t len);
  int (*flush)();
  void (*exit)(int status);
  bool fatal_to_log;
  bool (*stopping)();
  int (*limit_fd)(int fd, fd_use use);
  int (*enter_capability_mode)();
};

// The platform in force (read inline: asked for often), and the real one.
namespace platform_detail {
extern const platform* in_force;
}
inline const platform& current_platform() { return *platform_detail::in_force; }
const platform& real_platform();

// Installs a copy of p for the life of the scope. A scope is neither copied
// nor moved: the platform in force points into it. Ending a scope that is
// not the innermost one aborts the process with a message, since the
// platform in force would be left pointing into the scope that ended.
class platform_scope {
 public:
  explicit platform_scope(const platform& p);
  ~platform_scope();
  platform_scope(const platform_scope&) = delete;
  platform_scope& operator=(const platform_scope&) = delete;
  platform_scope(platform_scope&&) = delete;
  platform_scope& operator=(platform_scope&&) = delete;

 private:
  platform installed_;
  const platform* previous_;
};

// The services of the platform in force, for callers.
inline int64_t platform_now() { return current_platform().now(); }
inline void platform_log(int priority, const char* text) { current_platform().log(priority, text); }
int platform_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// CLOCK_MONOTONIC in nanoseconds, for measuring spans and waits. Not a
// service of the platform: nothing a test fakes depends on it.
int64_t monotonic_ns();

inline size_t platform_write(const char* text, size_t len) { return current_platform().write(text, len); }
inline int platform_flush() { return current_platform().flush(); }
