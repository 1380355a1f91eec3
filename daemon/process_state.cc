// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/process_state.h"

char table_name[IPFW_TABLE_NAME_MAX + 1] = "";
volatile sig_atomic_t stop_flag = 0;
volatile sig_atomic_t status_flag = 0;

extern "C" void handle_stop_signal(int) { stop_flag = 1; }

extern "C" void handle_status_signal(int) { status_flag = 1; }
