// SPDX-License-Identifier: BSD-2-Clause
// Entry key parsing: a key text of a table command turned into the key of
// one table entry, by the type of the table the request header names. The
// first key of a command fetches the table's info record into a cache that
// the caller keeps for the rest of the command.
//
// Owns: nothing; the info cache belongs to the caller.
// Failure: every failure the parser sees ends the process with its message
// and a sysexits status (fatal_errx): 65 for a text that does not parse or
// a missing table, 68 for an unknown host, 71 for a failed info request. An
// info request the program's fwctl_get abandons (it may throw:
// fwtable/platform.h) unwinds through the parser instead. Widths have
// an upper bound only; numbers, ports and smaller widths keep their low 32,
// 16 and 8 bits.
#pragma once

#include <cstdint>

#include "fwtable/fw_records.h"

// Parses key (cut in place at a '/' and at the commas of a flow) into
// entry's key family, mask length and key area. entry arrives zeroed.
// add is non-zero for the add command. *type receives the table type and
// *vmask the table's value mask. cache is zero before the first key of a
// command; an empty table name in it means "not fetched yet". On the add
// road a missing table is not an error of the info request; the cache then
// holds no type and the key is refused as of an unsupported type.
void parse_entry_key(const ipfw_obj_header* oh, ipfw_obj_tentry* entry, char* key, int add, uint8_t* type,
                     uint32_t* vmask, ipfw_xtable_info* cache);
