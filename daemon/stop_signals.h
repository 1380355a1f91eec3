// SPDX-License-Identifier: BSD-2-Clause
// Signal handling of the sweep loop. SIGINT and SIGTERM stop the daemon;
// SIGHUP asks for a cycle now; SIGINFO, where the system has it, and
// SIGUSR1 ask for the line of state (daemon/status_line.h); SIGPIPE is
// ignored.
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
//  - The status signals are blocked from the start, like SIGHUP, and taken
//    only by the pause, the loop's look at the stop flag between cycles:
//    one that came during a cycle is answered as the pause begins, with
//    the cycle whole. Never between entries of a listing or its deletions,
//    nor while a request waits for its reply: the emulator's channel looks
//    at the stop flag there, FreeBSD's kernel does not, and the line comes
//    at the same moment on both. One during the pause is answered at once,
//    and the pause goes on to its end. Several pending together are one
//    request, answered with one line. The line is written with the stop
//    signals let through, so that a write that blocks does not hold a stop
//    up. No handler runs for them: the loop writes the line. A single
//    cycle (-1) has no pause and answers none.
//
// Owns: the process's dispositions and mask of those signals (the stop
// flag lives in process_state).
// Failure: none reported; the calls used cannot fail with valid arguments.
#pragma once

// Installs the handlers, ignores SIGPIPE, lets SIGINT and SIGTERM through
// should the process have been started with them blocked, and blocks
// SIGHUP and the status signals.
void install_stop_handling();

enum class wake_reason { stop, timeout, sweep_now };

// Writes the line of state (the caller's).
using status_report_fn = void (*)();

// Pauses up to seconds (0: only looks) between cycles. Returns stop when
// the stop flag is set (at once if it already was), sweep_now when SIGHUP
// arrived (also one that came during the cycle before, or while starting in
// the foreground), timeout when the
// time ran out. A status signal (also one that came during the cycle
// before, or while starting in the foreground) calls report (may be null)
// and the pause goes on. Before it returns, the stop signals are let
// through again for the cycle that follows.
wake_reason pause_between_cycles(unsigned seconds, status_report_fn report);

// True once a stop signal has arrived: what the listing asks before each
// entry.
bool stop_requested();
