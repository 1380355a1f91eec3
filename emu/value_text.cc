// SPDX-License-Identifier: BSD-2-Clause
#include "emu/value_text.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "emu/number_word.h"
#include "emu/table_words.h"
#include "emu/word_split.h"
#include "fwtable/entry_render.h"

namespace {

// A number no larger than max and than the field can hold, into the field.
template <typename Field>
bool parse_number(const std::string& v, uint32_t max, Field* out) {
  uint32_t n = 0;
  if (!emu_parse_u32(v, std::min<uint32_t>(max, std::numeric_limits<Field>::max()), &n)) return false;
  *out = static_cast<Field>(n);
  return true;
}

template <typename Value>
bool parse_field(uint32_t bit, const std::string& v, Value* out) {
  switch (bit) {
    case IPFW_VTYPE_SKIPTO:
      return parse_number(v, UINT32_MAX, &out->skipto);
    case IPFW_VTYPE_PIPE:
      return parse_number(v, UINT32_MAX, &out->pipe);
    case IPFW_VTYPE_FIB:
      return parse_number(v, UINT32_MAX, &out->fib);
    case IPFW_VTYPE_NAT:
      return parse_number(v, UINT32_MAX, &out->nat);
    case IPFW_VTYPE_DSCP:
      return parse_number(v, 63, &out->dscp);
    case IPFW_VTYPE_TAG:
      return parse_number(v, UINT32_MAX, &out->tag);
    case IPFW_VTYPE_DIVERT:
      return parse_number(v, UINT32_MAX, &out->divert);
    case IPFW_VTYPE_NETGRAPH:
      return parse_number(v, UINT32_MAX, &out->netgraph);
    case IPFW_VTYPE_LIMIT:
      return parse_number(v, UINT32_MAX, &out->limit);
    case IPFW_VTYPE_MARK:
      return parse_number(v, UINT32_MAX, &out->mark);
    case IPFW_VTYPE_NH4: {
      in_addr a;
      if (inet_pton(AF_INET, v.c_str(), &a) != 1) return false;
      out->nh4 = ntohl(a.s_addr);
      return true;
    }
    case IPFW_VTYPE_NH6: {
      size_t pct = v.find('%');
      uint8_t a[16];
      if (inet_pton(AF_INET6, v.substr(0, pct).c_str(), a) != 1) return false;
      uint32_t zone = 0;
      if (pct != std::string::npos && !emu_parse_u32(v.substr(pct + 1), UINT32_MAX, &zone)) return false;
      memcpy(out->nh6, a, sizeof a);
      out->zoneid = zone;
      return true;
    }
    default:
      return false;
  }
}

template <typename Value>
bool parse_value(uint32_t vmask, const std::string& text, emu_value* out, std::string* why) {
  Value v;
  memset(&v, 0, sizeof v);
  if (vmask == IPFW_VTYPE_LEGACY) {
    if (!emu_parse_u32(text, UINT32_MAX, &v.tag)) {
      *why = "a legacy value is a number from 0 to 4294967295";
      return false;
    }
    *out = emu_value_of(v);
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
    if (!parse_field(bit, pair.substr(eq + 1), &v)) {
      *why = "bad value: " + pair;
      return false;
    }
  }
  *out = emu_value_of(v);
  return true;
}

}  // namespace

bool emu_parse_value(int abi, uint32_t vmask, const std::string& text, emu_value* out, std::string* why) {
  return abi == 14 ? parse_value<fw14::ipfw_table_value>(vmask, text, out, why)
                   : parse_value<fw15::ipfw_table_value>(vmask, text, out, why);
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
