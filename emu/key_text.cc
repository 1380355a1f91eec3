// SPDX-License-Identifier: BSD-2-Clause
#include "emu/key_text.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "emu/number_word.h"
#include "emu/table_words.h"
#include "emu/word_split.h"

namespace {

// One address in text, as the wire family and its bytes (4 or 16).
bool parse_address(const std::string& text, uint8_t* family, uint8_t* bytes) {
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
    *family = FW_AF_INET;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
    *family = FW_AF_INET6;
    return true;
  }
  return false;
}

std::string address_text(uint8_t family, const uint8_t* bytes) {
  char buf[INET6_ADDRSTRLEN];
  int host = family == FW_AF_INET ? AF_INET : family == FW_AF_INET6 ? AF_INET6 : -1;
  if (host < 0 || inet_ntop(host, bytes, buf, sizeof buf) == nullptr) return "";
  return buf;
}

// "TEXT[/N]": the text before the slash and the width, or full without one.
bool split_width(const std::string& text, unsigned full, std::string* head, unsigned* width) {
  size_t slash = text.find('/');
  *head = text.substr(0, slash);
  *width = full;
  if (slash == std::string::npos) return true;
  uint32_t w;
  if (!emu_parse_u32(text.substr(slash + 1), full, &w)) return false;
  *width = w;
  return true;
}

bool parse_addr_key(const std::string& text, uint8_t* family, uint8_t* masklen, uint8_t* key) {
  if (!parse_address(text.substr(0, text.find('/')), family, key)) return false;
  std::string head;
  unsigned width;
  if (!split_width(text, *family == FW_AF_INET ? 32 : 128, &head, &width)) return false;
  *masklen = static_cast<uint8_t>(width);
  return true;
}

bool parse_mac(const std::string& text, uint8_t* masklen, uint8_t* key) {
  std::string head;
  unsigned width;
  if (!split_width(text, 48, &head, &width)) return false;
  std::vector<std::string> parts = emu_split(head, ':');
  if (parts.size() != 6) return false;
  for (size_t i = 0; i < 6; i++) {
    const std::string& p = parts[i];
    if (p.empty() || p.size() > 2 || p.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return false;
    key[i] = static_cast<uint8_t>(std::stoul(p, nullptr, 16));
  }
  *masklen = static_cast<uint8_t>(width);
  return true;
}

bool parse_flow(uint8_t tflags, const std::string& text, uint8_t* family, uint8_t* key, std::string* why) {
  std::vector<const emu_flow_field*> fields;
  for (const auto& f : emu_flow_fields)
    if (tflags & f.bit) fields.push_back(&f);
  std::vector<std::string> parts = emu_split(text, ',');
  if (fields.empty() ? !text.empty() : parts.size() != fields.size()) {
    *why = "the table's flow fields are " + emu_tflags_words(tflags);
    return false;
  }
  ipfw_flow_key f;
  memset(&f, 0, sizeof f);
  uint8_t src[16] = {}, dst[16] = {};
  uint8_t src_family = FW_AF_UNSPEC, dst_family = FW_AF_UNSPEC;
  for (size_t i = 0; i < fields.size(); i++) {
    const std::string& p = parts[i];
    uint32_t n;
    switch (fields[i]->bit) {
      case IPFW_TFFLAG_SRCIP:
      case IPFW_TFFLAG_DSTIP: {
        bool is_src = fields[i]->bit == IPFW_TFFLAG_SRCIP;
        if (!p.empty() && !parse_address(p, is_src ? &src_family : &dst_family, is_src ? src : dst)) {
          *why = std::string("bad ") + fields[i]->word + ": " + p;
          return false;
        }
        break;
      }
      case IPFW_TFFLAG_PROTO:
        if (!emu_parse_u32(p, 255, &n)) {
          *why = "bad proto (0 to 255): " + p;
          return false;
        }
        f.proto = static_cast<uint8_t>(n);
        break;
      default:
        if (!emu_parse_u32(p, 65535, &n)) {
          *why = std::string("bad ") + fields[i]->word + " (0 to 65535): " + p;
          return false;
        }
        (fields[i]->bit == IPFW_TFFLAG_SRCPORT ? f.sport : f.dport) = htons(static_cast<uint16_t>(n));
        break;
    }
  }
  if (src_family != FW_AF_UNSPEC && dst_family != FW_AF_UNSPEC && src_family != dst_family) {
    *why = "source and destination of different families";
    return false;
  }
  *family = src_family != FW_AF_UNSPEC ? src_family : dst_family;
  size_t alen = *family == FW_AF_INET ? 4 : *family == FW_AF_INET6 ? 16 : 0;
  memcpy(f.addr, src, alen);
  memcpy(f.addr + alen, dst, alen);
  f.af = *family;
  memcpy(key, &f, sizeof f);
  return true;
}

std::string flow_text(uint8_t tflags, const uint8_t* key) {
  ipfw_flow_key f;
  memcpy(&f, key, sizeof f);
  size_t alen = f.af == FW_AF_INET ? 4 : 16;
  std::string s;
  bool first = true;
  for (const auto& field : emu_flow_fields) {
    if ((tflags & field.bit) == 0) continue;
    if (!first) s += ',';
    first = false;
    switch (field.bit) {
      case IPFW_TFFLAG_SRCIP:
        s += address_text(f.af, f.addr);
        break;
      case IPFW_TFFLAG_DSTIP:
        s += address_text(f.af, f.addr + alen);
        break;
      case IPFW_TFFLAG_PROTO:
        s += std::to_string(f.proto);
        break;
      case IPFW_TFFLAG_SRCPORT:
        s += std::to_string(ntohs(f.sport));
        break;
      default:
        s += std::to_string(ntohs(f.dport));
        break;
    }
  }
  return s;
}

}  // namespace

bool emu_parse_key(const emu_table& t, const std::string& text, emu_entry_key* out, std::string* why) {
  uint8_t family = FW_AF_UNSPEC, masklen = 0;
  uint8_t key[40] = {};
  why->clear();
  bool ok = false;
  switch (t.type) {
    case IPFW_TABLE_ADDR:
      ok = parse_addr_key(text, &family, &masklen, key);
      break;
    case IPFW_TABLE_INTERFACE:
      ok = !text.empty() && text.size() <= 15 && text.find('\0') == std::string::npos;
      if (ok) memcpy(key, text.data(), text.size());
      if (!ok) *why = "an interface name has 1 to 15 characters";
      break;
    case IPFW_TABLE_NUMBER: {
      uint32_t n;
      ok = emu_parse_u32(text, UINT32_MAX, &n);
      memcpy(key, &n, sizeof n);
      break;
    }
    case IPFW_TABLE_FLOW:
      ok = parse_flow(t.tflags, text, &family, key, why);
      break;
    case IPFW_TABLE_MAC:
      family = FW_AF_LINK;
      ok = parse_mac(text, &masklen, key);
      break;
    default:
      break;
  }
  if (ok && emu_normalise_key(t.type, t.tflags, family, masklen, key, out) != 0) ok = false;
  return ok;
}

std::string emu_key_text(const emu_table& t, const emu_entry_key& k) {
  const uint8_t* key = k.key();
  char buf[64];
  switch (t.type) {
    case IPFW_TABLE_ADDR: {
      std::string s = address_text(k.family(), key);
      unsigned full = k.family() == FW_AF_INET ? 32 : 128;
      // Appended piece by piece: "/" + std::to_string(...) would build the
      // suffix by inserting at the front of a temporary, a copy GCC 12
      // cannot prove free of overlap at -O3 (-Wrestrict).
      if (k.masklen() != full) {
        s += '/';
        s += std::to_string(k.masklen());
      }
      return s;
    }
    case IPFW_TABLE_INTERFACE:
      return std::string(reinterpret_cast<const char*>(key), strnlen(reinterpret_cast<const char*>(key), 16));
    case IPFW_TABLE_NUMBER: {
      uint32_t n;
      memcpy(&n, key, sizeof n);
      return std::to_string(n);
    }
    case IPFW_TABLE_FLOW:
      return flow_text(t.tflags, key);
    case IPFW_TABLE_MAC:
      snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x/%u", key[0], key[1], key[2], key[3], key[4],
               key[5], k.masklen());
      return buf;
    default:
      return "";
  }
}
