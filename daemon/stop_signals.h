// Signal handling of the sweep loop. SIGINT and SIGTERM stop the daemon;
// SIGHUP asks for a cycle now; SIGPIPE is ignored.
//
//  - Until the process is the one that sweeps (before detaching), the
//    handlers set flags, which a detached child inherits (a signal merely
//    pending would not be).
//  - During a cycle the stop signals are let through to their handler,
//    which only sets the stop flag. The handler is installed without
//    SA_RESTART, so a write to standard output that blocks (a pipe nobody
//    reads) is ended by a stop; the listing looks at the flag before each
//    entry, so the cycle ends after the entry in hand. SIGHUP stays blocked
//    during a cycle: it never cuts into a request, and one that arrives then
//    is kept pending for the pause, which it ends at once.
//  - During the pause all three are blocked and taken only by
//    sigtimedwait, so none is lost between the test of a flag and the wait.
//
// Owns: the process's dispositions and mask of those four signals, and the
// sweep-now flag (the stop flag lives in process_state).
// Failure: none reported; the calls used cannot fail with valid arguments.
#pragma once

// Installs the handlers, ignores SIGPIPE, and lets SIGINT, SIGTERM and
// SIGHUP through should the process have been started with them blocked.
void install_stop_handling();

// From here on the process sweeps: SIGHUP is taken only in the pause.
void enter_sweep_loop();

enum class wake_reason { stop, timeout, sweep_now };

// Pauses up to seconds (0: only looks) between cycles. Returns stop when
// the stop flag is set (at once if it already was), sweep_now when SIGHUP
// arrived (also one that came during the cycle before), timeout when the
// time ran out. Before it returns, the stop signals are let through again
// for the cycle that follows.
wake_reason pause_between_cycles(unsigned seconds);

// True once a stop signal has arrived: what the listing asks before each
// entry.
bool stop_requested();
