// SPDX-License-Identifier: BSD-2-Clause
// Exit statuses of the fwemu tool's commands (emu_store_admin's result and,
// through the server, the tool's exit status).
//
// Owns: nothing. Failure: none (constants).
#pragma once

#include <sysexits.h>

constexpr int EMU_OK = 0;
// The command was understood but the table's state refuses it: the table
// exists already (create), the record exists (add), the record is absent
// (delete), the entry limit is reached, the table is locked.
constexpr int EMU_REFUSED = 1;
constexpr int EMU_USAGE = EX_USAGE;  // 64: unknown verb, missing or extra words
constexpr int EMU_BAD_DATA = EX_DATAERR;  // 65: a bad name, key, value, number or type word
constexpr int EMU_NO_TABLE = EX_NOINPUT;  // 66: no table of that name
constexpr int EMU_NO_SERVER = EX_UNAVAILABLE;  // 69: the tool cannot reach a server
constexpr int EMU_PROTOCOL = EX_PROTOCOL;  // 76: the server's reply makes no sense
constexpr int EMU_SYSTEM = EX_OSERR;  // 71: a system call of the server failed
