// A fatal hook that throws instead of ending the process, for tests and
// fuzz targets that must see a fatal exit and carry on: install it with
// fatal_set_hook(throw_fatal) and catch fatal_exit.
//
// Owns: nothing; installing the hook is the caller's, and so is removing it
// (fatal_set_hook(nullptr)).
// Failure: throw_fatal never returns; it throws fatal_exit with the status
// the process would have ended with.
#pragma once

// Thrown in place of exit(status).
struct fatal_exit {
  int status;
};

[[noreturn]] inline void throw_fatal(int status) { throw fatal_exit{status}; }
