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
#include "fwtable/sweep_key.h"
#include "fwtable/value_fields.h"

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
bool ipv6_value_text(const uint8_t* record, const value_record_layout& layout, char* host, size_t len) {
  const value_field& f = value_field_of(layout, IPFW_VTYPE_NH6);
  sockaddr_in6 sa;
  memset(&sa, 0, sizeof sa);
#ifdef SIN6_LEN
  sa.sin6_len = sizeof sa;
#endif
  sa.sin6_family = AF_INET6;
  memcpy(&sa.sin6_addr, record + f.offset, sizeof sa.sin6_addr);
  uint32_t zone;
  memcpy(&zone, record + layout.zoneid_offset, sizeof zone);
  sa.sin6_scope_id = zone;
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

// What sweep_key_nameable answers (fwtable/sweep_key.h).
inline bool key_nameable(const ipfw_obj_tentry* entry) {
  return sweep_key_nameable_at(reinterpret_cast<const uint8_t*>(entry));
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

// What value_expiry answers, read from the record. The leading field leads
// the text; a numeric field is written whole (it is at most 11
// characters), so it is a number and its number is the field's value: "%d"
// of a signed skipto reads back, modulo 2^32, as its bits. An IPv4 address
// is dotted decimal, never a number; no field at all is the empty text. A
// number in a field that cannot hold a time (value_field_holds_time: one
// the table keeps in fewer than 32 bits) is not one either.
inline bool record_expiry(uint32_t vmask, const ipfw_table_value* v, uint32_t* expiry) {
  const value_field* f = leading_value_field(fw_built::value_layout, vmask);
  if (f == nullptr) return false;
  switch (f->kind) {
    case value_kind::number:
      if (!value_field_holds_time(*f)) return false;
      *expiry = value_field_number(*f, v);
      return true;
    case value_kind::ipv6:
      return ipv6_led_expiry(vmask, v, expiry);
    case value_kind::ipv4:
    default:
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
// The same for either kernel's value record: its fields are read where
// the kernel's description (fwtable/value_fields.h) places them.
void format_value(uint32_t vmask, const void* value, const value_record_layout& layout, char* buf) {
  const auto* record = static_cast<const uint8_t*>(value);
  buf[0] = '\0';
  if (vmask == IPFW_VTYPE_LEGACY) {
    snprintf(buf, ENTRY_TEXT_SIZE, "%u", value_field_number(legacy_value_field(layout), record));
    return;
  }
  bounded_text text(buf, ENTRY_TEXT_SIZE);
  const char* sep = "";
  // Bits above the mark's name no field, and bit 31 is never looked at, so
  // the walk stops after the mark bit.
  for (const value_field& f : layout.fields) {
    if (text.full) break;
    if ((vmask & f.bit) == 0) continue;
    switch (f.kind) {
      case value_kind::number: {
        const uint32_t n = value_field_number(f, record);
        if (f.is_signed)
          bounded_append(&text, "%s%d", sep, static_cast<int32_t>(n));
        else
          bounded_append(&text, "%s%u", sep, n);
        break;
      }
      case value_kind::ipv4: {
        char addr[64];
        uint32_t net = htonl(value_field_number(f, record));
        if (inet_ntop(AF_INET, &net, addr, sizeof addr) == nullptr) addr[0] = '\0';
        bounded_append(&text, "%s%s", sep, addr);
        break;
      }
      case value_kind::ipv6: {
        char addr[64];
        // A field that cannot be converted is left out, with its comma.
        if (!ipv6_value_text(record, layout, addr, sizeof addr)) continue;
        bounded_append(&text, "%s%s", sep, addr);
        break;
      }
    }
    sep = ",";
  }
}

}  // namespace

void format_entry_value(uint32_t vmask, const fw15::ipfw_table_value* v, char* buf) {
  format_value(vmask, v, fw15::value_layout, buf);
}

void format_entry_value(uint32_t vmask, const fw14::ipfw_table_value* v, char* buf) {
  format_value(vmask, v, fw14::value_layout, buf);
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
