// SPDX-License-Identifier: BSD-2-Clause
// The daemon's process-wide state: the table's name, the stop flag and the
// flag of a request for the line of state.
//
// Owns: both for the life of the process. The table name is empty until -t
// sets it, and never changes after start-up: a table number's decimal
// digits ("5") or a table's name ("blocklist"), the text every request,
// log line and metric names the table by. The stop flag goes from 0 to 1
// once (handle_stop_signal) and is never cleared. The status flag is set
// by handle_status_signal when SIGINFO or SIGUSR1 arrives during a cycle,
// and cleared by whoever answers it (daemon/stop_signals.h).
// Failure: none.
#pragma once

#include <csignal>
#include <cstdint>

#include "fwtable/fw_records.h"

extern char table_name[IPFW_TABLE_NAME_MAX + 1];
extern volatile sig_atomic_t stop_flag;
extern volatile sig_atomic_t status_flag;

// The stop-signal handler: sets the stop flag, nothing else.
extern "C" void handle_stop_signal(int signo);
// The status-signal handler: sets the status flag, nothing else.
extern "C" void handle_status_signal(int signo);
