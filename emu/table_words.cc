// SPDX-License-Identifier: BSD-2-Clause
#include "emu/table_words.h"

#include <cstdio>

#include "emu/number_word.h"
#include "emu/word_split.h"
#include "fwtable/fw_records.h"
#include "fwtable/value_fields.h"

const emu_flow_field emu_flow_fields[5] = {
    {IPFW_TFFLAG_SRCIP, "src-ip"}, {IPFW_TFFLAG_PROTO, "proto"},      {IPFW_TFFLAG_SRCPORT, "src-port"},
    {IPFW_TFFLAG_DSTIP, "dst-ip"}, {IPFW_TFFLAG_DSTPORT, "dst-port"},
};

namespace {

// The value types' words, the same in both kernels' value records
// (fwtable/value_fields.h), in bit order.
constexpr const value_record_layout& value_words = fw_built::value_layout;

// The bits of every value-type keyword.
constexpr uint32_t named_bits = (1u << VALUE_FIELD_COUNT) - 1;

// A number in place of a keyword: "0x" and one to eight hex digits, or
// decimal digits up to 4294967295. The bits it sets are taken as they are.
bool bits_from_number(const std::string& word, uint32_t* bits) {
  if (word.starts_with("0x") || word.starts_with("0X")) {
    if (word.size() < 3 || word.size() > 10) return false;
    uint32_t n = 0;
    for (char c : word.substr(2)) {
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        return false;
      n = n << 4 | static_cast<uint32_t>(d);
    }
    *bits = n;
    return true;
  }
  return emu_parse_u32(word, UINT32_MAX, bits);
}

}  // namespace

bool emu_type_from_word(const std::string& word, uint8_t* type, uint8_t* tflags) {
  *tflags = 0;
  if (word == "addr")
    *type = IPFW_TABLE_ADDR;
  else if (word == "iface")
    *type = IPFW_TABLE_INTERFACE;
  else if (word == "number")
    *type = IPFW_TABLE_NUMBER;
  else if (word == "mac")
    *type = IPFW_TABLE_MAC;
  else if (word == "flow")
    *type = IPFW_TABLE_FLOW;
  else if (word.starts_with("flow:")) {
    uint8_t flags = 0;
    for (const std::string& part : emu_split(word.substr(5), ',')) {
      uint8_t bit = 0;
      for (const auto& f : emu_flow_fields)
        if (part == f.word) bit = f.bit;
      if (bit == 0) return false;
      flags |= bit;
    }
    *type = IPFW_TABLE_FLOW;
    *tflags = flags;
  } else {
    return false;
  }
  return true;
}

const char* emu_type_word(uint8_t type) {
  switch (type) {
    case IPFW_TABLE_ADDR:
      return "addr";
    case IPFW_TABLE_INTERFACE:
      return "iface";
    case IPFW_TABLE_NUMBER:
      return "number";
    case IPFW_TABLE_FLOW:
      return "flow";
    case IPFW_TABLE_MAC:
      return "mac";
    default:
      return "unknown";
  }
}

std::string emu_tflags_words(uint8_t tflags) {
  std::string s;
  for (const auto& f : emu_flow_fields) {
    if ((tflags & f.bit) == 0) continue;
    if (!s.empty()) s += ',';
    s += f.word;
  }
  return s.empty() ? "none" : s;
}

uint32_t emu_value_type_bit(const std::string& word) {
  for (const value_field& f : value_words.fields)
    if (word == f.word) return f.bit;
  return 0;
}

bool emu_vmask_from_word(const std::string& word, uint32_t* vmask) {
  if (word == "legacy") {
    *vmask = IPFW_VTYPE_LEGACY;
    return true;
  }
  uint32_t mask = 0;
  for (const std::string& part : emu_split(word, ',')) {
    uint32_t bit = emu_value_type_bit(part);
    if (bit == 0 && !bits_from_number(part, &bit)) return false;
    mask |= bit;
  }
  *vmask = mask;
  return true;
}

std::string emu_vmask_words(uint32_t vmask) {
  if (vmask == IPFW_VTYPE_LEGACY) return "legacy";
  std::string s;
  for (const value_field& f : value_words.fields) {
    if ((vmask & f.bit) == 0) continue;
    if (!s.empty()) s += ',';
    s += f.word;
  }
  if ((vmask & ~named_bits) != 0) {
    char bits[16];
    snprintf(bits, sizeof bits, "0x%x", vmask & ~named_bits);
    if (!s.empty()) s += ',';
    s += bits;
  }
  return s.empty() ? "none" : s;
}
