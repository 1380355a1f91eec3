// SPDX-License-Identifier: BSD-2-Clause
// The words of the fwemu tool for a table's settings: the table type
// ("addr", "iface", "number", "flow:FIELD,...", "mac"), the flow fields
// ("src-ip", "dst-ip", "src-port", "dst-port", "proto") and the value types
// ("legacy", or "skipto", "pipe", "fib", "nat", "dscp", "tag", "divert",
// "netgraph", "limit", "ipv4", "ipv6", "mark" joined by commas; a number,
// such as 0x1000, in place of a keyword sets its bits as they are, so that
// a table can carry value bits no keyword names).
//
// Owns: nothing (constant tables).
// Failure: the readers return false for a word they do not know; nothing
// prints.
#pragma once

#include <cstdint>
#include <string>

// "flow:src-ip,dst-port" gives the flow type and its fields; plain "flow"
// a flow table with no field.
bool emu_type_from_word(const std::string& word, uint8_t* type, uint8_t* tflags);
// "addr", ...; "unknown" for another number.
const char* emu_type_word(uint8_t type);
// Flow fields in the fixed key order, comma-separated; "none" for none.
std::string emu_tflags_words(uint8_t tflags);

bool emu_vmask_from_word(const std::string& word, uint32_t* vmask);
// "legacy", or the value types in bit order, then the bits no keyword names
// as one hex number ("tag,0x1000"); "none" for an empty mask.
std::string emu_vmask_words(uint32_t vmask);
// The bit of one value-type keyword; 0 for an unknown word.
uint32_t emu_value_type_bit(const std::string& word);

// The flow fields in key order: src-ip, proto, src-port, dst-ip, dst-port.
struct emu_flow_field {
  uint8_t bit;
  const char* word;
};
extern const emu_flow_field emu_flow_fields[5];
