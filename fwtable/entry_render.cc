// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/entry_render.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fwtable/bounded_text.h"
#include "fwtable/platform.h"

namespace {

// Wire family to the host's, or 0 for a family that has no address text.
int host_family(uint8_t fw_family) {
  if (fw_family == FW_AF_INET) return AF_INET;
  if (fw_family == FW_AF_INET6) return AF_INET6;
  return 0;
}

// The address at addr (4 or 16 bytes by family) as text into buf of size
// len; an empty text for any other family or a failed conversion.
void address_text(uint8_t fw_family, const void* addr, char* buf, size_t len) {
  if (fw_family == FW_AF_INET && len >= INET_ADDRSTRLEN) {
    // Dotted decimal, exactly as inet_ntop writes it, without the
    // formatting machinery it goes through: a listing of a million IPv4
    // entries spends a sixth of its time there otherwise.
    const auto* b = static_cast<const uint8_t*>(addr);
    char* p = buf;
    for (int i = 0; i < 4; i++) {
      unsigned v = b[i];
      if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
      if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
      *p++ = static_cast<char>('0' + v % 10);
      *p++ = i < 3 ? '.' : '\0';
    }
    return;
  }
  int af = host_family(fw_family);
  if (af == 0 || inet_ntop(af, addr, buf, static_cast<socklen_t>(len)) == nullptr) buf[0] = '\0';
}

// The IPv6 value field with its scope, as getnameinfo writes it; false when
// it cannot be converted (the field is then left out).
template <typename Value>
bool ipv6_value_text(const Value* v, char* host, size_t len) {
  sockaddr_in6 sa;
  memset(&sa, 0, sizeof sa);
#ifdef SIN6_LEN
  sa.sin6_len = sizeof sa;
#endif
  sa.sin6_family = AF_INET6;
  memcpy(&sa.sin6_addr, v->nh6, sizeof v->nh6);
  sa.sin6_scope_id = v->zoneid;
  return getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, static_cast<socklen_t>(len),
                     nullptr, 0, NI_NUMERICHOST) == 0;
}

// The leading number of a value text as atoi reads it (blanks, a sign,
// digits; 0 without digits), taken modulo 2^32: "-1" gives 4294967295 and
// "4294967295" arrives unchanged. strtoll keeps this free of overflow for
// every text the value formatter writes.
uint32_t leading_number(const char* text) {
  long long n = strtoll(text, nullptr, 10);
  return static_cast<uint32_t>(static_cast<unsigned long long>(n));
}

// An IPv4-compatible IPv6 address (::a.b.c.d other than :: and ::1). Key
// parsing refuses its text, so a deletion by it would end the process.
bool v4_compatible_key(const ipfw_obj_tentry* entry) {
  static const uint8_t zero12[12] = {};
  const uint8_t* a = entry->k.addr6;
  uint32_t low = uint32_t{a[12]} << 24 | uint32_t{a[13]} << 16 | uint32_t{a[14]} << 8 | a[15];
  return entry->subtype == FW_AF_INET6 && memcmp(a, zero12, sizeof zero12) == 0 && low > 1;
}

void print_flow_line(const ipfw_xtable_info* info, const ipfw_obj_tentry* entry, const char* value) {
  const ipfw_flow_key& flow = entry->k.flow;
  char text[ENTRY_TEXT_SIZE];
  const char* sep = "";
  if (info->tflags & IPFW_TFFLAG_SRCIP) {
    address_text(flow.af, &flow.addr[0], text, sizeof text);
    platform_printf("%s%s", sep, text);
    sep = ",";
  }
  if (info->tflags & IPFW_TFFLAG_PROTO) {
    platform_printf("%s%d", sep, flow.proto);
    sep = ",";
  }
  if (info->tflags & IPFW_TFFLAG_SRCPORT) {
    platform_printf("%s%d", sep, ntohs(flow.sport));
    sep = ",";
  }
  if (info->tflags & IPFW_TFFLAG_DSTIP) {
    // An IPv4 flow keeps its destination right after the 4-byte source;
    // every other family after a 16-byte one.
    const uint8_t* dst = flow.af == FW_AF_INET ? &flow.addr[4] : &flow.addr[16];
    address_text(flow.af, dst, text, sizeof text);
    platform_printf("%s%s", sep, text);
    sep = ",";
  }
  if (info->tflags & IPFW_TFFLAG_DSTPORT) platform_printf("%s%d", sep, ntohs(flow.dport));
  platform_printf(" %s\n", value);
}

// What sweep_key_nameable answers. An address of a family that has no
// text, or with a mask length past its width, names no key a deletion
// could find: it is passed over rather than handed on as an empty key. So
// is an IPv4-compatible IPv6 address, whose text the deletion refuses.
// Every other address has its text (see format_address_key).
inline bool key_nameable(const ipfw_obj_tentry* entry) {
  if (entry->subtype == FW_AF_INET) return entry->masklen <= 32;
  if (entry->subtype == FW_AF_INET6) return entry->masklen <= 128 && !v4_compatible_key(entry);
  return false;
}

// value_expiry for an IPv6 next hop leading the value. Its text is never a
// number, but one that cannot be converted is left out, and the mark after
// it may then lead: the text itself is read. Rare, so kept out of the
// sweep's own path.
__attribute__((noinline)) bool ipv6_led_expiry(uint32_t vmask, const ipfw_table_value* v, uint32_t* expiry) {
  char value[ENTRY_TEXT_SIZE];
  format_entry_value(vmask, v, value);
  return value_text_expiry(value, expiry);
}

// What value_expiry answers, read from the record. The first field present
// leads the text; a numeric field is written whole (it is at most 11
// characters), so it is a number and its number is the field's value: "%d"
// of a signed skipto reads back, modulo 2^32, as its bits.
inline bool record_expiry(uint32_t vmask, const ipfw_table_value* v, uint32_t* expiry) {
  if (vmask == IPFW_VTYPE_LEGACY) {
    *expiry = v->tag;
    return true;
  }
  switch (vmask & -vmask) {
    case IPFW_VTYPE_SKIPTO:
      *expiry = v->skipto;
      return true;
    case IPFW_VTYPE_PIPE:
      *expiry = v->pipe;
      return true;
    case IPFW_VTYPE_FIB:
      *expiry = v->fib;
      return true;
    case IPFW_VTYPE_NAT:
      *expiry = v->nat;
      return true;
    case IPFW_VTYPE_DSCP:
      *expiry = v->dscp;
      return true;
    case IPFW_VTYPE_TAG:
      *expiry = v->tag;
      return true;
    case IPFW_VTYPE_DIVERT:
      *expiry = v->divert;
      return true;
    case IPFW_VTYPE_NETGRAPH:
      *expiry = v->netgraph;
      return true;
    case IPFW_VTYPE_LIMIT:
      *expiry = v->limit;
      return true;
    case IPFW_VTYPE_MARK:
      *expiry = v->mark;
      return true;
    case IPFW_VTYPE_NH4:
      // Dotted decimal always: never a number.
      return false;
    case IPFW_VTYPE_NH6:
      return ipv6_led_expiry(vmask, v, expiry);
    default:
      // No bit that names a field: the empty text.
      return false;
  }
}

// What sweep_expiry answers.
inline bool sweep_reading(uint32_t vmask, const ipfw_obj_tentry* entry, uint32_t* expiry) {
  *expiry = 0;
  return key_nameable(entry) && record_expiry(vmask, &entry->v, expiry);
}

}  // namespace

namespace {

// The value text never passes its 128 bytes: a field that would not fit
// whole is left out, and so is every field after it (bounded_text). With
// every field at its widest only the IPv6 field can be lost this way.
// Fields are separated by commas, each written before its field, so a
// field counts as fitting when it fits without a comma after it.
// The same for either kernel's value record: the fields differ in place and
// width, not in name.
template <typename Value>
void format_value(uint32_t vmask, const Value* v, char* buf) {
  buf[0] = '\0';
  if (vmask == IPFW_VTYPE_LEGACY) {
    snprintf(buf, ENTRY_TEXT_SIZE, "%u", v->tag);
    return;
  }
  bounded_text text(buf, ENTRY_TEXT_SIZE);
  const char* sep = "";
  // Bits above the mark's name no field, and bit 31 is never looked at, so
  // the walk stops after the mark bit.
  for (uint32_t bit = IPFW_VTYPE_SKIPTO; bit <= IPFW_VTYPE_MARK && !text.full; bit <<= 1) {
    if ((vmask & bit) == 0) continue;
    switch (bit) {
      case IPFW_VTYPE_SKIPTO:
        bounded_append(&text, "%s%d", sep, static_cast<int32_t>(v->skipto));
        break;
      case IPFW_VTYPE_PIPE:
        bounded_append(&text, "%s%u", sep, v->pipe);
        break;
      case IPFW_VTYPE_FIB:
        bounded_append(&text, "%s%u", sep, v->fib);
        break;
      case IPFW_VTYPE_NAT:
        bounded_append(&text, "%s%u", sep, v->nat);
        break;
      case IPFW_VTYPE_DSCP:
        bounded_append(&text, "%s%d", sep, v->dscp);
        break;
      case IPFW_VTYPE_TAG:
        bounded_append(&text, "%s%u", sep, v->tag);
        break;
      case IPFW_VTYPE_DIVERT:
        bounded_append(&text, "%s%d", sep, v->divert);
        break;
      case IPFW_VTYPE_NETGRAPH:
        bounded_append(&text, "%s%u", sep, v->netgraph);
        break;
      case IPFW_VTYPE_LIMIT:
        bounded_append(&text, "%s%u", sep, v->limit);
        break;
      case IPFW_VTYPE_NH4: {
        char addr[64];
        uint32_t net = htonl(v->nh4);
        if (inet_ntop(AF_INET, &net, addr, sizeof addr) == nullptr) addr[0] = '\0';
        bounded_append(&text, "%s%s", sep, addr);
        break;
      }
      case IPFW_VTYPE_NH6: {
        char addr[64];
        // A field that cannot be converted is left out, with its comma.
        if (!ipv6_value_text(v, addr, sizeof addr)) continue;
        bounded_append(&text, "%s%s", sep, addr);
        break;
      }
      case IPFW_VTYPE_MARK:
        bounded_append(&text, "%s%u", sep, v->mark);
        break;
      default:
        continue;
    }
    sep = ",";
  }
}

}  // namespace

void format_entry_value(uint32_t vmask, const fw15::ipfw_table_value* v, char* buf) {
  format_value(vmask, v, buf);
}

void format_entry_value(uint32_t vmask, const fw14::ipfw_table_value* v, char* buf) {
  format_value(vmask, v, buf);
}

void format_address_key(const ipfw_obj_tentry* entry, char* buf) {
  // A mask length past the address's width names no key: an IPv4 one would
  // read as the bare host, whose deletion removes another /32, and an IPv6
  // "/129" is refused by key parsing, which ends the process.
  unsigned width = entry->subtype == FW_AF_INET ? 32 : 128;
  if (entry->masklen > width) {
    buf[0] = '\0';
    return;
  }
  address_text(entry->subtype, &entry->k, buf, ENTRY_TEXT_SIZE);
  if (buf[0] == '\0') return;
  if (entry->masklen < width) {
    size_t len = strlen(buf);
    snprintf(buf + len, ENTRY_TEXT_SIZE - len, "/%u", entry->masklen);
  }
}

bool sweep_key_nameable(const ipfw_obj_tentry* entry) { return key_nameable(entry); }

bool format_sweep_key(const ipfw_obj_tentry* entry, char* buf) {
  format_address_key(entry, buf);
  return key_nameable(entry) && buf[0] != '\0';
}

bool value_text_expiry(const char* text, uint32_t* expiry) {
  const char* p = text;
  if (*p == '-') p++;
  const char* digits = p;
  while (*p >= '0' && *p <= '9') p++;
  if (p == digits || (*p != '\0' && *p != ',')) return false;
  *expiry = leading_number(text);
  return true;
}

bool value_expiry(uint32_t vmask, const ipfw_table_value* v, uint32_t* expiry) {
  return record_expiry(vmask, v, expiry);
}

bool sweep_expiry(uint32_t vmask, const ipfw_obj_tentry* entry, uint32_t* expiry) {
  return sweep_reading(vmask, entry, expiry);
}

void render_table_entry(const ipfw_xtable_info* info, const ipfw_obj_tentry* entry,
                        address_entry_fn on_address, address_due_fn is_due) {
  char value[ENTRY_TEXT_SIZE];

  if (info->type == IPFW_TABLE_ADDR && on_address != nullptr) {
    // The sweep's own path, once per entry of every cycle: the expiry is
    // read straight from the value record, and an entry that is not due,
    // or that the sweep cannot remove, costs no text.
    uint32_t expiry;
    const bool removable = sweep_reading(info->vmask, entry, &expiry);
    if (is_due != nullptr && !is_due(expiry, removable)) return;
    if (!removable) return;
    char key[ENTRY_TEXT_SIZE];
    format_address_key(entry, key);
    on_address(key, expiry);
    return;
  }

  format_entry_value(info->vmask, &entry->v, value);
  switch (info->type) {
    case IPFW_TABLE_ADDR: {
      // No handler: the failure report of a record change prints the entry.
      char key[ENTRY_TEXT_SIZE];
      format_address_key(entry, key);
      platform_printf("%s %s\n", key, value);
      break;
    }
    case IPFW_TABLE_INTERFACE:
      platform_printf("%.*s %s\n", static_cast<int>(strnlen(entry->k.iface, sizeof entry->k.iface)),
                      entry->k.iface, value);
      break;
    case IPFW_TABLE_NUMBER:
      platform_printf("%u %s\n", entry->k.number, value);
      break;
    case IPFW_TABLE_FLOW:
      print_flow_line(info, entry, value);
      break;
    case IPFW_TABLE_MAC: {
      const uint8_t* m = entry->k.mac;
      platform_printf("%02x:%02x:%02x:%02x:%02x:%02x/%u %s\n", m[0], m[1], m[2], m[3], m[4], m[5],
                      entry->masklen, value);
      break;
    }
    default:
      break;
  }
}
