// Stop handling of the sweep loop: SIGINT and SIGTERM go to
// handle_stop_signal, SIGPIPE is ignored. Once the process is the one that
// will sweep (after detaching), the two stop signals are kept blocked so
// that they never cut into a cycle's kernel requests; the loop takes them
// only while it waits, atomically, so none is lost between the test of the
// stop flag and the pause. Until then the handler sets the flag, which a
// detached child inherits (a signal merely pending would not be).
//
// Owns: the process's dispositions and mask of those three signals.
// Failure: none reported; the calls used cannot fail with valid arguments.
#pragma once

// Installs the handlers, ignores SIGPIPE, and lets SIGINT and SIGTERM
// through should the process have been started with them blocked.
void install_stop_handling();

// Blocks SIGINT and SIGTERM; from here on only wait_for_stop takes them.
void block_stop_signals();

// Waits up to seconds (0: only looks) for a stop signal. Returns true when
// the stop flag is set, at once if it already was; false when the time ran
// out without one.
bool wait_for_stop(unsigned seconds);
