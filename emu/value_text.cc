#include "emu/value_text.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "emu/number_word.h"
#include "emu/table_words.h"
#include "emu/word_split.h"

namespace {

bool parse_field(uint32_t bit, const std::string& v, ipfw_table_value* out) {
  uint32_t n = 0;
  switch (bit) {
    case IPFW_VTYPE_SKIPTO:
      return emu_parse_u32(v, UINT32_MAX, &out->skipto);
    case IPFW_VTYPE_PIPE:
      if (!emu_parse_u32(v, UINT16_MAX, &n)) return false;
      out->pipe = static_cast<uint16_t>(n);
      return true;
    case IPFW_VTYPE_FIB:
      if (!emu_parse_u32(v, UINT16_MAX, &n)) return false;
      out->fib = static_cast<uint16_t>(n);
      return true;
    case IPFW_VTYPE_NAT:
      return emu_parse_u32(v, UINT32_MAX, &out->nat);
    case IPFW_VTYPE_DSCP:
      if (!emu_parse_u32(v, 63, &n)) return false;
      out->dscp = static_cast<uint8_t>(n);
      return true;
    case IPFW_VTYPE_TAG:
      return emu_parse_u32(v, UINT32_MAX, &out->tag);
    case IPFW_VTYPE_DIVERT:
      if (!emu_parse_u32(v, UINT16_MAX, &n)) return false;
      out->divert = static_cast<uint16_t>(n);
      return true;
    case IPFW_VTYPE_NETGRAPH:
      return emu_parse_u32(v, UINT32_MAX, &out->netgraph);
    case IPFW_VTYPE_LIMIT:
      return emu_parse_u32(v, UINT32_MAX, &out->limit);
    case IPFW_VTYPE_MARK:
      return emu_parse_u32(v, UINT32_MAX, &out->mark);
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

}  // namespace

bool emu_parse_value(uint32_t vmask, const std::string& text, ipfw_table_value* out, std::string* why) {
  ipfw_table_value v;
  memset(&v, 0, sizeof v);
  if (vmask == IPFW_VTYPE_LEGACY) {
    if (!emu_parse_u32(text, UINT32_MAX, &v.tag)) {
      *why = "a legacy value is a number from 0 to 4294967295";
      return false;
    }
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
    if (!parse_field(bit, pair.substr(eq + 1), &v)) {
      *why = "bad value: " + pair;
      return false;
    }
  }
  *out = v;
  return true;
}
