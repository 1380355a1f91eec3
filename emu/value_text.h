// SPDX-License-Identifier: BSD-2-Clause
// Value texts of the fwemu tool, read into value records: for a table with
// the legacy value mask one number from 0 to 4294967295 (kept in the tag
// field); for any other table FIELD=V pairs joined by commas, each field one
// of the table's value types (skipto=100,tag=5,mark=7,ipv4=192.0.2.1,
// ipv6=2001:db8::1%2 — the number after % is the scope id). Value bits no
// keyword names have no field: such a value is left zero. A number must
// fit its field in the layout of the kernel emulated (FreeBSD 14 or 15: the
// widths of pipe, fib and skipto differ). And back: the text of a stored
// value, as the daemon's renderer writes it.
//
// Owns: nothing.
// Failure: false with the reason in *why; nothing prints.
#pragma once

#include <cstdint>
#include <string>

#include "emu/stored_value.h"

// abi: 14 or 15, the layout of the kernel the store emulates.
bool emu_parse_value(int abi, uint32_t vmask, const std::string& text, emu_value* out, std::string* why);

// The value text of v into text (ENTRY_TEXT_SIZE bytes), read in the layout
// of abi.
void emu_value_text(int abi, uint32_t vmask, const emu_value& v, char* text);
