// SPDX-License-Identifier: BSD-2-Clause
// Fakes of the platform's services (fwtable/platform.h) for tests and fuzz
// targets, each a copy of the platform in force with one service replaced,
// ready to hand to a platform_scope:
//
//   platform_scope throws(with_throwing_exit());
//   platform_scope kernel(with_fwctl(answer, &script));
//
// A fatal exit then throws fatal_exit instead of ending the process; a
// control request goes to the given function instead of a socket.
// Header-only and free of any test framework, so fuzz targets use it too.
//
// Owns: nothing; the scope owns what it installs.
// Failure: throw_fatal never returns; it throws fatal_exit with the status
// the process would have ended with.
#pragma once

#include "fwtable/platform.h"

// Thrown in place of exit(status).
struct fatal_exit {
  int status;
};

[[noreturn]] inline void throw_fatal(int status) { throw fatal_exit{status}; }

inline platform with_throwing_exit() {
  platform p = current_platform();
  p.exit = throw_fatal;
  return p;
}

inline platform with_fwctl(platform_fwctl_fn get, void* ctx) {
  platform p = current_platform();
  p.fwctl_get = get;
  p.fwctl_ctx = ctx;
  return p;
}
