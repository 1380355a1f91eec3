// SPDX-License-Identifier: BSD-2-Clause
#include "emu/table_growth.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

// The value no expiry check ever finds due.
constexpr uint32_t NEVER_DUE = 4000000000u;
// 198.18.0.0, the first address the new keys use (host order).
constexpr uint32_t FIRST_ADDRESS = 0xC6120000u;

// NEVER_DUE, or the most the field (and the value type, below max) holds.
template <typename Field>
void far_number(uint32_t max, Field* out) {
  *out = static_cast<Field>(std::min({NEVER_DUE, max, uint32_t{std::numeric_limits<Field>::max()}}));
}

template <typename Value>
emu_value never_due_value(uint32_t vmask) {
  Value v;
  memset(&v, 0, sizeof v);
  if (vmask == IPFW_VTYPE_LEGACY) {
    v.tag = NEVER_DUE;
    return emu_value_of(v);
  }
  if (vmask & IPFW_VTYPE_SKIPTO) far_number(UINT32_MAX, &v.skipto);
  if (vmask & IPFW_VTYPE_PIPE) far_number(UINT32_MAX, &v.pipe);
  if (vmask & IPFW_VTYPE_FIB) far_number(UINT32_MAX, &v.fib);
  if (vmask & IPFW_VTYPE_NAT) far_number(UINT32_MAX, &v.nat);
  if (vmask & IPFW_VTYPE_DSCP) far_number(63, &v.dscp);
  if (vmask & IPFW_VTYPE_TAG) far_number(UINT32_MAX, &v.tag);
  if (vmask & IPFW_VTYPE_DIVERT) far_number(UINT32_MAX, &v.divert);
  if (vmask & IPFW_VTYPE_NETGRAPH) far_number(UINT32_MAX, &v.netgraph);
  if (vmask & IPFW_VTYPE_LIMIT) far_number(UINT32_MAX, &v.limit);
  if (vmask & IPFW_VTYPE_MARK) far_number(UINT32_MAX, &v.mark);
  return emu_value_of(v);
}

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Candidate c for a table of t's type, in its stored form.
bool candidate(const emu_table& t, uint32_t c, emu_entry_key* out) {
  uint8_t key[40] = {};
  uint8_t family = FW_AF_UNSPEC;
  uint8_t masklen = 0;
  switch (t.type) {
    case IPFW_TABLE_ADDR:
      family = FW_AF_INET;
      masklen = 32;
      put_be32(key, FIRST_ADDRESS + c);
      break;
    case IPFW_TABLE_NUMBER:
      memcpy(key, &c, sizeof c);
      break;
    case IPFW_TABLE_INTERFACE:
      snprintf(reinterpret_cast<char*>(key), 16, "grow%u", c);
      break;
    case IPFW_TABLE_MAC:
      family = FW_AF_LINK;
      masklen = 48;
      key[0] = 0x02;
      put_be32(key + 2, c);
      break;
    case IPFW_TABLE_FLOW: {
      family = FW_AF_INET;
      ipfw_flow_key f;
      memset(&f, 0, sizeof f);
      f.af = FW_AF_INET;
      f.proto = static_cast<uint8_t>(c);
      const uint16_t port = static_cast<uint16_t>(c);
      const uint8_t port_be[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
      memcpy(&f.sport, port_be, 2);
      memcpy(&f.dport, port_be, 2);
      put_be32(f.addr, FIRST_ADDRESS + c);
      put_be32(f.addr + 4, FIRST_ADDRESS + c);
      memcpy(key, &f, sizeof f);
      break;
    }
    default:
      return false;
  }
  return emu_normalise_key(t.type, t.tflags, family, masklen, key, out) == 0;
}

}  // namespace

uint32_t emu_table_grow(emu_table* t, int abi, uint32_t n) {
  const emu_value value = abi == 14 ? never_due_value<fw14::ipfw_table_value>(t->vmask)
                                    : never_due_value<fw15::ipfw_table_value>(t->vmask);
  // Every candidate that is not added is either held already or, for a
  // flow table that keeps few fields, the same key as an earlier one: past
  // this many the sequence has nothing new to give.
  const uint64_t tries = std::min<uint64_t>(uint64_t{UINT32_MAX} + 1, t->entries.size() + uint64_t{n});
  uint32_t added = 0;
  for (uint64_t c = 0; c < tries && added < n; c++) {
    emu_entry_key k;
    if (!candidate(*t, static_cast<uint32_t>(c), &k) || t->entries.count(k) != 0) continue;
    uint8_t result;
    if (emu_table_add(t, k, value, &result) != 0) break;  // the limit: nothing more goes in
    added++;
  }
  return added;
}
