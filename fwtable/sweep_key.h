// SPDX-License-Identifier: BSD-2-Clause
// Whether the sweep could name an address entry's key to a deletion, read
// from the entry's own bytes (where the listing has them, in either
// kernel's layout: the key lies in the same place in both).
//
// An address of a family that has no text, or with a mask length past its
// width, names no key a deletion could find: the sweep passes it over
// rather than hand it on as an empty key or as another entry's. So it does
// an IPv4-compatible IPv6 address (::a.b.c.d other than :: and ::1), whose
// text key parsing refuses. Every other IPv4 or IPv6 address has its text.
//
// Owns: nothing. Failure: none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fwtable/fw_records.h"

// Where an entry's key fields lie, in both layouts.
constexpr size_t ENTRY_SUBTYPE_AT = 8;
constexpr size_t ENTRY_MASKLEN_AT = 9;
constexpr size_t ENTRY_KEY_AT = 16;
static_assert(offsetof(fw15::ipfw_obj_tentry, subtype) == ENTRY_SUBTYPE_AT &&
              offsetof(fw14::ipfw_obj_tentry, subtype) == ENTRY_SUBTYPE_AT &&
              offsetof(fw15::ipfw_obj_tentry, masklen) == ENTRY_MASKLEN_AT &&
              offsetof(fw14::ipfw_obj_tentry, masklen) == ENTRY_MASKLEN_AT &&
              offsetof(fw15::ipfw_obj_tentry, k) == ENTRY_KEY_AT &&
              offsetof(fw14::ipfw_obj_tentry, k) == ENTRY_KEY_AT);

// An IPv6 key of the entry at entry that is IPv4-compatible.
inline bool v4_compatible_key_at(const uint8_t* entry) {
  const uint8_t* a = entry + ENTRY_KEY_AT;
  uint64_t high;
  uint32_t middle;
  memcpy(&high, a, sizeof high);
  memcpy(&middle, a + 8, sizeof middle);
  const uint32_t low = uint32_t{a[12]} << 24 | uint32_t{a[13]} << 16 | uint32_t{a[14]} << 8 | a[15];
  return high == 0 && middle == 0 && low > 1;
}

// Whether the sweep could name the key of the address entry whose bytes
// start at entry.
inline bool sweep_key_nameable_at(const uint8_t* entry) {
  const uint8_t family = entry[ENTRY_SUBTYPE_AT];
  const uint8_t masklen = entry[ENTRY_MASKLEN_AT];
  if (family == FW_AF_INET) return masklen <= 32;
  if (family == FW_AF_INET6) return masklen <= 128 && !v4_compatible_key_at(entry);
  return false;
}
