// SPDX-License-Identifier: BSD-2-Clause
// The one way this system ends a process on a fatal error: the err(3)
// family, with two additions the daemon needs.
//
//  - After the daemon has detached, standard error is the null device, so a
//    fatal message would leave no trace. While the platform in force says
//    fatal_to_log (the daemon installs such a platform once detached),
//    every message of fatal_err and fatal_errx is also sent to the log at
//    LOG_ERR with the same text (without the invocation name).
//  - The message on standard error gives way to a stop as every line
//    there does (fwtable/error_line.h): one a stop cut short is dropped,
//    and the process ends all the same.
//  - The process ends through the platform's exit (fwtable/platform.h),
//    and the syslog copy goes through the platform's log: a test or fuzz
//    target that installs a throwing exit sees a fatal exit and carries on.
//    If that exit returns, the process ends with exit(3) as usual.
//
// Owns: nothing.
// Failure: these functions do not fail; fatal_err and fatal_errx never
// return.
#pragma once

#include <cstdarg>

// Like err(3): "name: message: error text" on standard error, then exit.
[[noreturn]] void fatal_err(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Like errx(3): "name: message" on standard error, then exit.
[[noreturn]] void fatal_errx(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
