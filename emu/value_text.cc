// SPDX-License-Identifier: BSD-2-Clause
#include "emu/value_text.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "emu/number_word.h"
#include "emu/table_words.h"
#include "emu/word_split.h"
#include "fwtable/entry_render.h"
#include "fwtable/value_fields.h"

namespace {

// One field's text into the record at record, where layout places the
// field: a number no larger than the field takes, or an address (an IPv6
// one with its scope id after a '%').
bool parse_field(const value_field& f, const value_record_layout& layout, const std::string& v,
                 uint8_t* record) {
  switch (f.kind) {
    case value_kind::number: {
      uint32_t n = 0;
      if (!emu_parse_u32(v, f.max, &n)) return false;
      set_value_field_number(f, record, n);
      return true;
    }
    case value_kind::ipv4: {
      in_addr a;
      if (inet_pton(AF_INET, v.c_str(), &a) != 1) return false;
      set_value_field_number(f, record, ntohl(a.s_addr));
      return true;
    }
    case value_kind::ipv6: {
      size_t pct = v.find('%');
      uint8_t a[16];
      if (inet_pton(AF_INET6, v.substr(0, pct).c_str(), a) != 1) return false;
      uint32_t zone = 0;
      if (pct != std::string::npos && !emu_parse_u32(v.substr(pct + 1), UINT32_MAX, &zone)) return false;
      memcpy(record + f.offset, a, sizeof a);
      memcpy(record + layout.zoneid_offset, &zone, sizeof zone);
      return true;
    }
  }
  return false;
}

bool parse_value(const value_record_layout& layout, uint32_t vmask, const std::string& text, emu_value* out,
                 std::string* why) {
  emu_value v;
  memset(&v, 0, sizeof v);
  if (vmask == IPFW_VTYPE_LEGACY) {
    const value_field& tag = legacy_value_field(layout);
    uint32_t n = 0;
    if (!emu_parse_u32(text, tag.max, &n)) {
      *why = "a legacy value is a number from 0 to 4294967295";
      return false;
    }
    set_value_field_number(tag, v.bytes, n);
    *out = v;
    return true;
  }
  uint32_t seen = 0;
  for (const std::string& pair : emu_split(text, ',')) {
    size_t eq = pair.find('=');
    uint32_t bit = eq == std::string::npos ? 0 : emu_value_type_bit(pair.substr(0, eq));
    if (bit == 0) {
      *why = "expected FIELD=VALUE with FIELD one of " + emu_vmask_words(vmask) + ": " + pair;
      return false;
    }
    if ((vmask & bit) == 0) {
      *why = "the table's value types are " + emu_vmask_words(vmask) + ": " + pair;
      return false;
    }
    if ((seen & bit) != 0) {
      *why = "given twice: " + pair;
      return false;
    }
    seen |= bit;
    if (!parse_field(value_field_of(layout, bit), layout, pair.substr(eq + 1), v.bytes)) {
      *why = "bad value: " + pair;
      return false;
    }
  }
  *out = v;
  return true;
}

}  // namespace

bool emu_parse_value(int abi, uint32_t vmask, const std::string& text, emu_value* out, std::string* why) {
  return parse_value(abi == 14 ? fw14::value_layout : fw15::value_layout, vmask, text, out, why);
}

void emu_value_text(int abi, uint32_t vmask, const emu_value& v, char* text) {
  if (abi == 14) {
    fw14::ipfw_table_value r = emu_value_as<fw14::ipfw_table_value>(v);
    format_entry_value(vmask, &r, text);
  } else {
    fw15::ipfw_table_value r = emu_value_as<fw15::ipfw_table_value>(v);
    format_entry_value(vmask, &r, text);
  }
}
