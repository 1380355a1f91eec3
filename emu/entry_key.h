// SPDX-License-Identifier: BSD-2-Clause
// The stored form of a table entry's key: key family, the 40-byte key area
// and mask length, normalised by the table's type so that one entry has
// exactly one form. Address and MAC prefixes have their host bits cleared,
// a flow key keeps only the fields the table selects, interface and number
// keys carry their fixed mask lengths (128 and 32), and every key byte the
// type does not use is zero. The byte order of the form is the listing
// order: family, key bytes, mask length.
//
// Owns: nothing (plain values).
// Failure: emu_normalise_key returns EINVAL for a key the table's type
// cannot hold (wrong family, mask length past the family's width, an
// interface name that is empty or not NUL-terminated); it prints nothing.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>

#include "fwtable/fw_records.h"

struct emu_entry_key {
  // [0] key family, [1..40] key area, [41] mask length.
  std::array<uint8_t, 42> bytes{};

  uint8_t family() const { return bytes[0]; }
  const uint8_t* key() const { return bytes.data() + 1; }
  uint8_t masklen() const { return bytes[41]; }

  auto operator<=>(const emu_entry_key&) const = default;
};

// Builds the stored form of a key for a table of type `type` with flow
// fields `tflags` from the family, mask length and 40-byte key area of an
// entry. Returns 0, or EINVAL with *out untouched.
int emu_normalise_key(uint8_t type, uint8_t tflags, uint8_t family, uint8_t masklen, const uint8_t* key40,
                      emu_entry_key* out);

// Writes the key family, mask length and key area of k into an entry of
// either layout (they keep these in the same places).
template <typename Entry>
void emu_key_to_entry(const emu_entry_key& k, Entry* entry) {
  entry->subtype = k.family();
  entry->masklen = k.masklen();
  memcpy(&entry->k, k.key(), sizeof entry->k);
}
