// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/address_key.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The longest text an address and its prefix length can take: an IPv6
// address in its longest form (45 characters) and "/128".
constexpr size_t ADDRESS_TEXT_MAX = INET6_ADDRSTRLEN + 4;

// Clears the bits of addr past the first masklen.
void clear_host_bits(uint8_t* addr, size_t bytes, unsigned masklen) {
  for (size_t i = 0; i < bytes; i++) {
    const unsigned first = static_cast<unsigned>(i) * 8;
    if (masklen >= first + 8) continue;
    addr[i] &= masklen <= first ? 0 : static_cast<uint8_t>(0xFF << (8 - (masklen - first)));
  }
}

}  // namespace

bool parse_address_key(const char* text, ipfw_obj_tentry* entry, char* why) {
  const size_t len = strnlen(text, ADDRESS_TEXT_MAX + 1);
  if (len == 0 || len > ADDRESS_TEXT_MAX) {
    snprintf(why, ADDRESS_KEY_WHY_SIZE, "not an IPv4 or IPv6 address");
    return false;
  }
  char address[ADDRESS_TEXT_MAX + 1];
  memcpy(address, text, len + 1);
  char* slash = strchr(address, '/');
  const char* width_text = nullptr;
  if (slash != nullptr) {
    *slash = '\0';
    width_text = slash + 1;
  }

  uint8_t key[16] = {};
  uint8_t family;
  unsigned width;
  if (inet_pton(AF_INET, address, key) == 1) {
    family = FW_AF_INET;
    width = 32;
  } else if (inet_pton(AF_INET6, address, key) == 1) {
    family = FW_AF_INET6;
    width = 128;
    static const uint8_t zero12[12] = {};
    const bool low_is_address = key[12] != 0 || key[13] != 0 || key[14] != 0 || key[15] > 1;
    if (memcmp(key, zero12, sizeof zero12) == 0 && low_is_address) {
      snprintf(why, ADDRESS_KEY_WHY_SIZE, "an IPv4-compatible IPv6 address: give the IPv4 address");
      return false;
    }
  } else {
    snprintf(why, ADDRESS_KEY_WHY_SIZE, "not an IPv4 or IPv6 address");
    return false;
  }

  unsigned masklen = width;
  if (width_text != nullptr) {
    const size_t digits = strspn(width_text, "0123456789");
    const char* more = strlen(width_text) > 8 ? "..." : "";
    if (digits == 0 || width_text[digits] != '\0') {
      snprintf(why, ADDRESS_KEY_WHY_SIZE, "prefix length %.8s%s is not a number", width_text, more);
      return false;
    }
    unsigned n = 0;
    for (size_t i = 0; i < digits && n <= width; i++) n = n * 10 + static_cast<unsigned>(width_text[i] - '0');
    if (n > width) {
      snprintf(why, ADDRESS_KEY_WHY_SIZE, "prefix length %.8s%s is more than %u", width_text, more, width);
      return false;
    }
    masklen = n;
  }
  clear_host_bits(key, family == FW_AF_INET ? 4 : 16, masklen);

  entry->subtype = family;
  entry->masklen = static_cast<uint8_t>(masklen);
  memset(entry->k.raw, 0, sizeof entry->k.raw);
  memcpy(entry->k.raw, key, family == FW_AF_INET ? 4 : 16);
  return true;
}
