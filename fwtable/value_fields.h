// SPDX-License-Identifier: BSD-2-Clause
// The value record of each kernel, described field by field: for every
// value type its word, its bit in the value mask, where it lies in the
// record (offset and width), whether its number is written signed, what
// kind of value it holds, the largest number the kernel takes in it, and
// how many bits of a number ipfw(8) keeps there.
// FreeBSD 14's record (fw14::value_layout) and FreeBSD 15's
// (fw15::value_layout) hold the same fields in other places and widths;
// fw_built::value_layout is this build's (fw_built names the build's
// layout: fwtable/fw_records.h).
//
// This is the one place the fields are written out: the renderer, the
// sweep's reading of an entry's expiry, the emulator's value texts and
// words, and the tests' model of a table all read their fields from here.
// The records of fw_records.h are checked against it at compile time
// below, in both layouts, so a description that strays from its record
// fails the build.
//
// Owns: nothing; constants only.
// Failure: none (no code that can fail).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fwtable/fw_records.h"

// What a value field holds.
enum class value_kind : uint8_t {
  number,  // an unsigned number of its width, in host order
  ipv4,  // an IPv4 address, 4 bytes in host order
  ipv6,  // an IPv6 address, 16 bytes in network order; its scope id lies apart
};

struct value_field {
  const char* word;  // the value type's name: "skipto", "ipv4", ...
  uint32_t bit;  // its bit in the value mask
  uint8_t offset;  // in the value record
  uint8_t width;  // bytes: 1, 2 or 4 (16 for the IPv6 address)
  bool is_signed;  // its number is written as a signed 32-bit one ("%d")
  value_kind kind;
  uint32_t max;  // the largest number the kernel takes (0 for an address)
  // The low bits of a number given to ipfw(8) that the table keeps: the
  // field's width, or fewer where ipfw(8) stores the number narrower than
  // the record (pipe, divert, fib and nat in 16 bits, dscp in 6); 0 for an
  // address.
  uint8_t kept_bits;
};

// The value types, one bit each from 0x001 to 0x800.
constexpr size_t VALUE_FIELD_COUNT = 12;

// A kernel's value record: its fields in bit order (fields[i].bit is
// 1 << i), so a field's bit order is its place here; and where the IPv6
// field's scope id lies.
struct value_record_layout {
  value_field fields[VALUE_FIELD_COUNT];
  uint8_t zoneid_offset;
};

namespace fw15 {
inline constexpr value_record_layout value_layout = {
    {
        {"skipto", IPFW_VTYPE_SKIPTO, 8, 4, true, value_kind::number, UINT32_MAX, 32},
        {"pipe", IPFW_VTYPE_PIPE, 4, 2, false, value_kind::number, UINT16_MAX, 16},
        {"fib", IPFW_VTYPE_FIB, 24, 2, false, value_kind::number, UINT16_MAX, 16},
        {"nat", IPFW_VTYPE_NAT, 16, 4, false, value_kind::number, UINT32_MAX, 16},
        {"dscp", IPFW_VTYPE_DSCP, 26, 1, true, value_kind::number, 63, 6},
        {"tag", IPFW_VTYPE_TAG, 0, 4, false, value_kind::number, UINT32_MAX, 32},
        {"divert", IPFW_VTYPE_DIVERT, 6, 2, true, value_kind::number, UINT16_MAX, 16},
        {"netgraph", IPFW_VTYPE_NETGRAPH, 12, 4, false, value_kind::number, UINT32_MAX, 32},
        {"limit", IPFW_VTYPE_LIMIT, 48, 4, false, value_kind::number, UINT32_MAX, 32},
        {"ipv4", IPFW_VTYPE_NH4, 20, 4, false, value_kind::ipv4, 0, 0},
        {"ipv6", IPFW_VTYPE_NH6, 32, 16, false, value_kind::ipv6, 0, 0},
        {"mark", IPFW_VTYPE_MARK, 56, 4, false, value_kind::number, UINT32_MAX, 32},
    },
    52,
};
}  // namespace fw15

namespace fw14 {
inline constexpr value_record_layout value_layout = {
    {
        {"skipto", IPFW_VTYPE_SKIPTO, 10, 2, true, value_kind::number, UINT16_MAX, 16},
        {"pipe", IPFW_VTYPE_PIPE, 4, 4, false, value_kind::number, UINT32_MAX, 16},
        {"fib", IPFW_VTYPE_FIB, 16, 4, false, value_kind::number, UINT32_MAX, 16},
        {"nat", IPFW_VTYPE_NAT, 20, 4, false, value_kind::number, UINT32_MAX, 16},
        {"dscp", IPFW_VTYPE_DSCP, 28, 1, true, value_kind::number, 63, 6},
        {"tag", IPFW_VTYPE_TAG, 0, 4, false, value_kind::number, UINT32_MAX, 32},
        {"divert", IPFW_VTYPE_DIVERT, 8, 2, true, value_kind::number, UINT16_MAX, 16},
        {"netgraph", IPFW_VTYPE_NETGRAPH, 12, 4, false, value_kind::number, UINT32_MAX, 32},
        {"limit", IPFW_VTYPE_LIMIT, 48, 4, false, value_kind::number, UINT32_MAX, 32},
        {"ipv4", IPFW_VTYPE_NH4, 24, 4, false, value_kind::ipv4, 0, 0},
        {"ipv6", IPFW_VTYPE_NH6, 32, 16, false, value_kind::ipv6, 0, 0},
        {"mark", IPFW_VTYPE_MARK, 56, 4, false, value_kind::number, UINT32_MAX, 32},
    },
    52,
};
}  // namespace fw14

// The field of a value type's bit (a single bit from 0x001 to 0x800).
constexpr const value_field& value_field_of(const value_record_layout& layout, uint32_t bit) {
  return layout.fields[__builtin_ctz(bit)];
}

// The field that holds a legacy value (one number): the tag.
constexpr const value_field& legacy_value_field(const value_record_layout& layout) {
  return value_field_of(layout, IPFW_VTYPE_TAG);
}

// The field a value text starts with: the one of the lowest bit the mask
// sets, the tag for the legacy mask; null when the mask sets no bit that
// names a field (the text is then empty).
constexpr const value_field* leading_value_field(const value_record_layout& layout, uint32_t vmask) {
  if (vmask == IPFW_VTYPE_LEGACY) return &legacy_value_field(layout);
  const uint32_t lowest = vmask & (0u - vmask);
  if (lowest == 0 || lowest > IPFW_VTYPE_MARK) return nullptr;
  return &value_field_of(layout, lowest);
}

// Whether a field can hold a time: a number the table keeps in 32 bits. A
// time written into a narrower one comes back as another number (31233 in
// 16 bits, 1 in 6), long past, so a value led by such a field is never
// read as a time.
constexpr bool value_field_holds_time(const value_field& f) {
  return f.kind == value_kind::number && f.width == 4 && f.kept_bits == 32;
}

// The number a numeric field holds, read from the value record at record
// (the record's bytes, whatever their alignment), widened without a sign.
inline uint32_t value_field_number(const value_field& f, const void* record) {
  const auto* at = static_cast<const uint8_t*>(record) + f.offset;
  if (f.width == 1) return *at;
  if (f.width == 2) {
    uint16_t n;
    memcpy(&n, at, sizeof n);
    return n;
  }
  uint32_t n;
  memcpy(&n, at, sizeof n);
  return n;
}

// Writes n into a numeric field of the record at record; n must be at most
// what the field's width holds.
inline void set_value_field_number(const value_field& f, void* record, uint32_t n) {
  auto* at = static_cast<uint8_t*>(record) + f.offset;
  if (f.width == 1) {
    *at = static_cast<uint8_t>(n);
  } else if (f.width == 2) {
    const auto narrow = static_cast<uint16_t>(n);
    memcpy(at, &narrow, sizeof narrow);
  } else {
    memcpy(at, &n, sizeof n);
  }
}

// ---- the records against their descriptions ---------------------------------

namespace value_fields_check {

// A description in good order: the fields in bit order, each inside the
// 64-byte record, no two sharing a byte, the scope id apart from them all,
// and each number's largest value and kept bits within its width.
constexpr bool well_formed(const value_record_layout& l) {
  uint64_t taken = 0;
  for (size_t i = 0; i < VALUE_FIELD_COUNT; i++) {
    const value_field& f = l.fields[i];
    if (f.bit != 1u << i || f.offset + f.width > 64 || f.offset % (f.width < 4 ? f.width : 4) != 0)
      return false;
    const uint64_t bytes = ((uint64_t{1} << f.width) - 1) << f.offset;
    if ((taken & bytes) != 0) return false;
    taken |= bytes;
    const uint64_t widest = f.width >= 4 ? UINT32_MAX : (uint64_t{1} << (8 * f.width)) - 1;
    if (f.kind == value_kind::number ? f.max > widest || f.max == 0 : f.max != 0) return false;
    if ((f.kind == value_kind::ipv4 && f.width != 4) || (f.kind == value_kind::ipv6 && f.width != 16))
      return false;
    if (f.kind == value_kind::number ? f.kept_bits == 0 || f.kept_bits > 8 * f.width : f.kept_bits != 0)
      return false;
  }
  return (taken & (uint64_t{0xf} << l.zoneid_offset)) == 0;
}

constexpr bool same_words(const value_record_layout& a, const value_record_layout& b) {
  for (size_t i = 0; i < VALUE_FIELD_COUNT; i++) {
    const char* x = a.fields[i].word;
    const char* y = b.fields[i].word;
    while (*x != '\0' && *x == *y) {
      x++;
      y++;
    }
    if (*x != *y || a.fields[i].kind != b.fields[i].kind) return false;
  }
  return true;
}

// Whether the field of bit lies where the record's member does.
template <typename Member>
constexpr bool placed(const value_record_layout& l, uint32_t bit, size_t offset, const Member&) {
  const value_field& f = value_field_of(l, bit);
  return f.offset == offset && f.width == sizeof(Member);
}

// Every field of a kernel's value record where its description says.
template <typename Value>
constexpr bool record_matches(const value_record_layout& l) {
  const Value v{};
  return sizeof(Value) == 64 && placed(l, IPFW_VTYPE_SKIPTO, offsetof(Value, skipto), v.skipto) &&
         placed(l, IPFW_VTYPE_PIPE, offsetof(Value, pipe), v.pipe) &&
         placed(l, IPFW_VTYPE_FIB, offsetof(Value, fib), v.fib) &&
         placed(l, IPFW_VTYPE_NAT, offsetof(Value, nat), v.nat) &&
         placed(l, IPFW_VTYPE_DSCP, offsetof(Value, dscp), v.dscp) &&
         placed(l, IPFW_VTYPE_TAG, offsetof(Value, tag), v.tag) &&
         placed(l, IPFW_VTYPE_DIVERT, offsetof(Value, divert), v.divert) &&
         placed(l, IPFW_VTYPE_NETGRAPH, offsetof(Value, netgraph), v.netgraph) &&
         placed(l, IPFW_VTYPE_LIMIT, offsetof(Value, limit), v.limit) &&
         placed(l, IPFW_VTYPE_NH4, offsetof(Value, nh4), v.nh4) &&
         placed(l, IPFW_VTYPE_NH6, offsetof(Value, nh6), v.nh6) &&
         placed(l, IPFW_VTYPE_MARK, offsetof(Value, mark), v.mark) &&
         l.zoneid_offset == offsetof(Value, zoneid) && sizeof v.zoneid == 4;
}

static_assert(well_formed(fw15::value_layout) && well_formed(fw14::value_layout));
static_assert(same_words(fw15::value_layout, fw14::value_layout));
static_assert(record_matches<fw15::ipfw_table_value>(fw15::value_layout));
static_assert(record_matches<fw14::ipfw_table_value>(fw14::value_layout));

}  // namespace value_fields_check
