// SPDX-License-Identifier: BSD-2-Clause
// A value record as the emulator keeps it: the 64 bytes a client added, in
// the layout of the kernel that the store emulates (FreeBSD 14's and 15's
// value records are the same size but place their fields differently), so
// that a listing gives back exactly what was added. Its fields are read and
// written only through that layout's record (emu_value_as, emu_value_of).
//
// Owns: nothing. Failure: none.
#pragma once

#include <cstdint>
#include <cstring>

#include "fwtable/fw_records.h"

struct emu_value {
  uint8_t bytes[sizeof(fw15::ipfw_table_value)];
};
static_assert(sizeof(emu_value) == 64 && sizeof(fw14::ipfw_table_value) == sizeof(emu_value));

template <typename Value>
emu_value emu_value_of(const Value& v) {
  static_assert(sizeof v == sizeof(emu_value));
  emu_value e;
  memcpy(e.bytes, &v, sizeof e.bytes);
  return e;
}

template <typename Value>
Value emu_value_as(const emu_value& e) {
  static_assert(sizeof(Value) == sizeof(emu_value));
  Value v;
  memcpy(&v, e.bytes, sizeof v);
  return v;
}
