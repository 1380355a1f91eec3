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
//  - The status signals are blocked from the start, like SIGHUP, until
//    the sweep loop begins (open_status_requests). During a cycle they are
//    let through to their handler, which only sets the status flag; the
//    cycle answers it (answer_status_request) wherever it looks at the stop
//    flag: before each entry of the listing, and while a request waits for
//    its reply (the emulator's channel looks every FWEMU_STOP_LOOK_MS, and
//    at once when the signal interrupts its poll; FreeBSD's kernel answers
//    at once, so there the line comes at the next entry or the pause).
//    Never inside an entry's own work: not while it is rendered, nor
//    between a removal's log line and the end of its deletion (the daemon
//    asks expire.h whether one is in hand). The handler is installed with
//    SA_RESTART, unlike the stop's: a write to standard output or to the
//    log, or a read, that it interrupts goes on as if nothing came, so no
//    line is cut short or lost for it; poll(2) is not restarted whatever
//    the flag, and the wait for a reply goes on after it, for the same
//    reply. During the pause they are blocked and taken by sigtimedwait, as
//    SIGHUP is: a flag the cycle left set is answered as the pause begins,
//    one that comes during the pause at once, and the pause goes on to its
//    end. Several pending together are one request, answered with one
//    line. The pause writes the line with the stop signals let through, so
//    that a write that blocks does not hold a stop up. A single cycle (-1)
//    answers those that come before its last look at the stop flag.
//
// Owns: the process's dispositions and mask of those signals (the stop
// and status flags live in process_state).
// Failure: none reported; the calls used cannot fail with valid arguments.
#pragma once

// Installs the handlers, ignores SIGPIPE, lets SIGINT and SIGTERM through
// should the process have been started with them blocked, and blocks
// SIGHUP and the status signals.
void install_stop_handling();

// Lets the status signals through to their handler for the cycle that
// follows: called once, as the sweep loop begins (the pause lets them
// through again as it ends). One pending since the start is flagged now.
void open_status_requests();

enum class wake_reason { stop, timeout, sweep_now };

// Writes the line of state (the caller's).
using status_report_fn = void (*)();

// Pauses up to seconds (0: only looks) between cycles. Returns stop when
// the stop flag is set (at once if it already was), sweep_now when SIGHUP
// arrived (also one that came during the cycle before, or while starting in
// the foreground), timeout when the
// time ran out. A status signal (also one that came during the cycle
// before, or while starting in the foreground) calls report (may be null)
// and the pause goes on; so too does one the cycle before flagged and did
// not answer. Before it returns, the stop and status signals are let
// through again for the cycle that follows.
wake_reason pause_between_cycles(unsigned seconds, status_report_fn report);

// Answers a request for the line of state flagged during a cycle: calls
// report (may be null) and clears the flag; nothing when none is flagged.
// The caller calls it where it looks at the stop flag, with the stop
// signals let through (as they are during a cycle).
void answer_status_request(status_report_fn report);

// True once a stop signal has arrived: what the listing asks before each
// entry.
bool stop_requested();
