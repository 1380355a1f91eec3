// SPDX-License-Identifier: BSD-2-Clause
// ipfw(8)'s words for a table, as the emulator's administrative commands:
// what `fwemu ipfw WORDS...` runs, so that a program written for ipfw(8)
// (fwconform's ADMIN, the rows' set-up, a stand-in ipfw) drives the
// emulator with the words it gives FreeBSD.
//
//   [set N] table NAME create [OPTION VALUE]...  create NAME OPTIONS [set N]
//                                                 (no "valtype legacy",
//                                                 which ipfw(8) refuses)
//   table NAME add KEY [VALUE] [KEY VALUE]...     add NAME KEY [VALUE], one
//                                                 an entry, in order
//   table NAME VERB                               VERB NAME, for lock,
//                                                 unlock, destroy, list, info
//
// A value is read as ipfw(8) reads it: one number for a table of the
// legacy value type; for a table of other value types its fields joined by
// commas, as many as the table has types, in ipfw(8)'s fixed order
// (skipto, pipe, fib, nat, dscp, tag, divert, netgraph, limit, ipv4, ipv6,
// mark) whatever order the table was created with; a mark in hexadecimal;
// a number cut to the low bits ipfw(8) keeps in its field
// (fwtable/value_fields.h: 16 for pipe, fib, nat, divert and, on FreeBSD
// 14, skipto; 32 for the others), but a dscp above 63, which ipfw(8)
// refuses.
//
// Owns: nothing.
// Failure: false, with the reason in *why, for words or a value it does not
// know; nothing prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The emulator's commands for ipfw(8)'s words (after the program name and
// its -q), values as written.
bool emu_commands_from_ipfw(const std::vector<std::string>& words,
                            std::vector<std::vector<std::string>>* commands, std::string* why);

// ipfw(8)'s value text for a table of value mask vmask, in the layout of
// FreeBSD abi's kernel, as the emulator's value text (skipto=N,tag=N,...).
bool emu_value_from_ipfw(int abi, uint32_t vmask, const std::string& text, std::string* value,
                         std::string* why);
