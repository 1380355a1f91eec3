// Value texts of the fwemu tool, read into value records: for a table with
// the legacy value mask one number from 0 to 4294967295 (kept in the tag
// field); for any other table FIELD=V pairs joined by commas, each field one
// of the table's value types (skipto=100,tag=5,mark=7,ipv4=192.0.2.1,
// ipv6=2001:db8::1%2 — the number after % is the scope id). Value bits no
// keyword names have no field: such a value is left zero.
//
// Owns: nothing.
// Failure: false with the reason in *why; nothing prints.
#pragma once

#include <cstdint>
#include <string>

#include "fwtable/fw_records.h"

bool emu_parse_value(uint32_t vmask, const std::string& text, ipfw_table_value* out, std::string* why);
