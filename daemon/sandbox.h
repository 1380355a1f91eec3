// SPDX-License-Identifier: BSD-2-Clause
// The end of a start-up: the program gives up every privilege its work no
// longer needs. Each descriptor it keeps is limited to the rights of its
// use, and the process enters capability mode (fwtable/capability_mode.h,
// through the platform's limit_fd and enter_capability_mode): from then on
// it reaches the firewall, syslogd, its PID file and its metrics file only
// through those descriptors, and nothing else at all, for good. Every mode
// that talks to the firewall calls enter_sandbox once, when everything it
// opens is open: the sweeping daemon (after detaching and writing its PID),
// the listing of -l, the adding of -a.
//
// Before entering, the process's view of its surroundings is taken in for
// the rest of its life: the local time zone (local dates stay right), the
// PID and the host's name its log lines carry (the PID read again only
// after detaching, the host's name once a cycle, by the caller).
//
// Owns: nothing; the descriptors are the callers'.
// Failure: a kernel without capability mode (ENOSYS, from the entry or
// from a limit) is no failure: the process runs as before, and
// enter_sandbox says so once through its warn function (null: silently).
// Any other failure to limit a descriptor or to enter ends the process
// with status 71 (EX_OSERR, through fatal_err): "cannot limit the rights
// of WHAT: REASON" (WHAT: "the control socket", "the pid file's
// directory", ..., fd_use_name) or "cannot enter capability mode: REASON".
#pragma once

#include "fwtable/capability_mode.h"

// The descriptors a mode keeps once its start-up is done, by what it does
// with them; -1 for one it does not have.
struct sandbox_keep {
  int control = -1;  // the control socket
  int log_socket = -1;  // the socket to syslogd
  int log_directory = -1;  // its directory, for connecting anew
  int metrics_directory = -1;  // the metrics file's directory
  int pid_file = -1;  // the PID file, locked
  int pid_directory = -1;  // its directory, for its removal
  bool standard = true;  // standard input, output and error
  bool reads_input = false;  // standard input is read (keys given on it)
};

// The warning when the kernel has no capability mode.
constexpr char SANDBOX_UNAVAILABLE[] =
    "capability mode is not available (a kernel without Capsicum); running without it";

// Limits each descriptor of keep to the rights of its use (the standard
// ones too when asked), without entering: for those a program holds before
// it detaches, so that a refusal reaches whoever started it. Returns 0
// (also for a kernel without capability mode, where nothing is done), or
// -1 with errno and the use of the descriptor refused in *refused.
// Limiting them again later (by enter_sandbox) to the same rights
// succeeds.
int limit_descriptors(const sandbox_keep& keep, fd_use* refused);

// Ends the process for a descriptor of this use that could not be limited
// (the reason in errno): status 71, "cannot limit the rights of WHAT".
[[noreturn]] void fatal_limit_refused(fd_use use);

// Loads what the process needs from outside to run in capability mode (the
// time zone), limits every descriptor of keep and enters capability mode.
// warn gets SANDBOX_UNAVAILABLE when the kernel has none.
void enter_sandbox(const sandbox_keep& keep, void (*warn)(const char* text));
