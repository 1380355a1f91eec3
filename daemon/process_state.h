// The daemon's process-wide state: the table number and the stop flag.
//
// Owns: both values for the life of the process. The table number is -1
// until -t sets it to 0..127 and never changes after start-up. The stop
// flag goes from 0 to 1 once (handle_stop_signal) and is never cleared.
// Failure: none.
#pragma once

#include <csignal>
#include <cstdint>

extern int32_t table_number;
extern volatile sig_atomic_t stop_flag;

// The stop-signal handler: sets the stop flag, nothing else.
extern "C" void handle_stop_signal(int signo);
