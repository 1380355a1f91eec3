// The one way this system ends a process on a fatal error: the err(3)
// family, with two additions the daemon needs.
//
//  - After the daemon has detached, standard error is the null device, so a
//    fatal message would leave no trace. Once fatal_mirror_to_syslog(true)
//    has been called, every message of fatal_err and fatal_errx is also sent
//    to syslog at LOG_ERR with the same text (without the invocation name).
//  - A fuzzing or test build may not let the process end: a hook set with
//    fatal_set_hook runs instead of exit(). It must not return (it throws or
//    jumps away); if it does return, the process exits as usual.
//
// Owns: the mirror switch and the hook, process-wide, set at start-up.
// Failure: these functions do not fail; fatal_err and fatal_errx never
// return.
#pragma once

#include <cstdarg>

// Like err(3): "name: message: error text" on standard error, then exit.
[[noreturn]] void fatal_err(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Like errx(3): "name: message" on standard error, then exit.
[[noreturn]] void fatal_errx(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Turns the syslog copy of fatal messages on or off.
void fatal_mirror_to_syslog(bool on);

// Runs instead of exit(status) when set; nullptr restores exit().
using fatal_hook_fn = void (*)(int status);
void fatal_set_hook(fatal_hook_fn hook);
