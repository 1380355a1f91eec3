// SPDX-License-Identifier: BSD-2-Clause
// What an emu_store holds, for the modules of the emulator that work on it
// (request answering in table_store.cc, the administrative commands in
// admin_command.cc, the server's counters): the kernel emulated, the tables
// by name, the pending faults and the counters that
// "stats" prints.
//
// Owns: the tables (by value, in a std::map), the faults and the counters.
// Failure: none (definitions only).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "emu/faults.h"
#include "emu/table.h"
#include "emu/table_store.h"

struct emu_stats {
  uint64_t connections = 0;
  uint64_t admin_commands = 0;
  std::map<uint16_t, uint64_t> requests;  // get requests by opcode
};

struct emu_store {
  // The kernel emulated: FreeBSD 14 or 15, whose record layout and request
  // versions the store speaks.
  int abi = FW_ABI;
  std::map<std::string, emu_table> tables;
  emu_faults faults;
  emu_stats stats;
  // End of the bytes the last get request wrote into its buffer (0 when it
  // wrote nothing): what of the buffer a reply must carry back.
  uint32_t written_end = 0;
};

// Counts one accepted client connection (the server calls it).
void emu_store_count_connection(emu_store* store);
