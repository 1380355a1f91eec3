// SPDX-License-Identifier: BSD-2-Clause
#include "emu/entry_key.h"

#include <cerrno>
#include <cstring>

namespace {

// Copies the first `bits` bits of `width` bytes from src to dst and clears
// the rest of those bytes.
void copy_prefix(uint8_t* dst, const uint8_t* src, unsigned width, unsigned bits) {
  for (unsigned i = 0; i < width; i++) {
    unsigned first = i * 8;
    uint8_t mask;
    if (bits >= first + 8)
      mask = 0xff;
    else if (bits <= first)
      mask = 0;
    else
      mask = static_cast<uint8_t>(0xff << (8 - (bits - first)));
    dst[i] = src[i] & mask;
  }
}

int normalise_address(uint8_t family, uint8_t masklen, const uint8_t* key, uint8_t* out) {
  if (family == FW_AF_INET && masklen <= 32) {
    copy_prefix(out, key, 4, masklen);
    return 0;
  }
  if (family == FW_AF_INET6 && masklen <= 128) {
    copy_prefix(out, key, 16, masklen);
    return 0;
  }
  return EINVAL;
}

int normalise_flow(uint8_t tflags, uint8_t family, const uint8_t* key, uint8_t* out) {
  if (family != FW_AF_UNSPEC && family != FW_AF_INET && family != FW_AF_INET6) return EINVAL;
  ipfw_flow_key in;
  memcpy(&in, key, sizeof in);
  ipfw_flow_key f;
  memset(&f, 0, sizeof f);
  f.af = family;
  if (tflags & IPFW_TFFLAG_PROTO) f.proto = in.proto;
  if (tflags & IPFW_TFFLAG_SRCPORT) f.sport = in.sport;
  if (tflags & IPFW_TFFLAG_DSTPORT) f.dport = in.dport;
  size_t alen = family == FW_AF_INET ? 4 : family == FW_AF_INET6 ? 16 : 0;
  if (tflags & IPFW_TFFLAG_SRCIP) memcpy(f.addr, in.addr, alen);
  if (tflags & IPFW_TFFLAG_DSTIP) memcpy(f.addr + alen, in.addr + alen, alen);
  memcpy(out, &f, sizeof f);
  return 0;
}

}  // namespace

int emu_normalise_key(uint8_t type, uint8_t tflags, uint8_t family, uint8_t masklen, const uint8_t* key40,
                      emu_entry_key* out) {
  emu_entry_key k;
  uint8_t* key = k.bytes.data() + 1;
  switch (type) {
    case IPFW_TABLE_ADDR:
      if (normalise_address(family, masklen, key40, key) != 0) return EINVAL;
      break;
    case IPFW_TABLE_INTERFACE: {
      if (family != FW_AF_UNSPEC) return EINVAL;
      const void* nul = memchr(key40, 0, 16);
      if (nul == nullptr || key40[0] == 0) return EINVAL;
      memcpy(key, key40, static_cast<const uint8_t*>(nul) - key40);
      masklen = 128;
      break;
    }
    case IPFW_TABLE_NUMBER:
      if (family != FW_AF_UNSPEC) return EINVAL;
      memcpy(key, key40, 4);
      masklen = 32;
      break;
    case IPFW_TABLE_FLOW:
      if (normalise_flow(tflags, family, key40, key) != 0) return EINVAL;
      masklen = 0;
      break;
    case IPFW_TABLE_MAC:
      if (family != FW_AF_LINK || masklen > 48) return EINVAL;
      copy_prefix(key, key40, 6, masklen);
      break;
    default:
      return EINVAL;
  }
  k.bytes[0] = family;
  k.bytes[41] = masklen;
  *out = k;
  return 0;
}
