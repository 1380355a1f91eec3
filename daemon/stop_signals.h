// SPDX-License-Identifier: BSD-2-Clause
// Signal handling of the sweep loop. SIGINT and SIGTERM stop the daemon;
// SIGHUP asks for a cycle now; SIGPIPE is ignored.
//
//  - Until the process is the one that sweeps (before detaching), the stop
//    handler sets the stop flag, which a detached child inherits (a signal
//    merely pending would not be).
//  - SIGHUP is blocked from the start and taken only in the pause: it never
//    cuts into anything, the checks of the start included. One that
//    arrives before the daemon detaches stays with the starter, which
//    leaves; the first cycle follows at once anyway.
//  - During a cycle the stop signals are let through to their handler,
//    which only sets the stop flag. The handler is installed without
//    SA_RESTART, so a write to standard output that blocks (a pipe nobody
//    reads) is ended by a stop; the listing looks at the flag before each
//    entry, so the cycle ends after the entry in hand. A SIGHUP that
//    arrives during a cycle is kept pending for the pause, which it ends at
//    once.
//  - During the pause all three are blocked and taken only by
//    sigtimedwait, so none is lost between the test of a flag and the wait.
//
// Owns: the process's dispositions and mask of those four signals (the
// stop flag lives in process_state).
// Failure: none reported; the calls used cannot fail with valid arguments.
#pragma once

// Installs the handlers, ignores SIGPIPE, lets SIGINT and SIGTERM through
// should the process have been started with them blocked, and blocks
// SIGHUP.
void install_stop_handling();

enum class wake_reason { stop, timeout, sweep_now };

// Pauses up to seconds (0: only looks) between cycles. Returns stop when
// the stop flag is set (at once if it already was), sweep_now when SIGHUP
// arrived (also one that came during the cycle before, or while starting in
// the foreground), timeout when the
// time ran out. Before it returns, the stop signals are let through again
// for the cycle that follows.
wake_reason pause_between_cycles(unsigned seconds);

// True once a stop signal has arrived: what the listing asks before each
// entry.
bool stop_requested();
