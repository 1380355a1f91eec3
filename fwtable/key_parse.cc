// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/key_parse.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sysexits.h>
#if defined(__FreeBSD__)
#include <net/ethernet.h>
#else
#include <netinet/ether.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fwtable/fatal.h"
#include "fwtable/fwctl.h"

namespace {

// The table name of the request header, for messages. The record holds at
// most 63 characters and a NUL; the precision keeps a header that lacks the
// NUL from being read past its name field.
#define TABLE_NAME_FMT "%.63s"

// Fills the caller's cache with the table's info record, once per command.
void fetch_info_once(const ipfw_obj_header* oh, int add, ipfw_xtable_info* cache) {
  if (cache->tablename[0] != '\0') return;

  uint8_t req[FW_INFO_REQUEST_SIZE];
  memset(req, 0, sizeof req);
  memcpy(req, oh, sizeof *oh);
  uint64_t size = sizeof req;
  if (fwctl_get(IP_FW_TABLE_XINFO, req, &size) == 0) {
    if (size < FW_INFO_REQUEST_SIZE) {
      // Too short to hold the info record: the answer is malformed.
      errno = EBADMSG;
      fatal_err(EX_OSERR, "Error requesting table " TABLE_NAME_FMT " info", oh->ntlv.name);
    }
    memcpy(cache, req + sizeof(ipfw_obj_header), sizeof *cache);
    return;
  }
  if (errno == ESRCH) {
    if (add == 0) fatal_errx(EX_DATAERR, "Table " TABLE_NAME_FMT " does not exist", oh->ntlv.name);
    // An add to a missing table is the add command's business; the cache
    // stays empty and the key is judged by the type it holds (none).
    return;
  }
  // The kernel's reason goes with the message, as the list request's does.
  fatal_err(EX_OSERR, "Error requesting table " TABLE_NAME_FMT " info", oh->ntlv.name);
}

// The width after a slash, read as atoi reads it (leading blanks, a sign,
// digits, anything after them ignored, no digits is 0) but without atoi's
// undefined overflow: a width too large for a long saturates, and so is
// refused by the upper bound of every caller.
long read_width(const char* text) { return strtol(text, nullptr, 10); }

// Cuts key at its first slash. Returns the text after the slash, or null
// when there is none.
char* cut_at_slash(char* key) {
  char* slash = strchr(key, '/');
  if (slash == nullptr) return nullptr;
  *slash = '\0';
  return slash + 1;
}

struct parsed_key {
  uint8_t family;
  uint8_t masklen;
};

// Address table: IPv4 or IPv6 with an optional width, else the shortened
// IPv4 forms, else a host name. The width has an upper bound only: a
// smaller one, negative included, goes into the 8-bit mask length as its
// low eight bits.
parsed_key parse_address_key(char* key, ipfw_obj_tentry* entry) {
  const char* width_text = cut_at_slash(key);
  long width = width_text != nullptr ? read_width(width_text) : 0;

  uint8_t a4[4];
  if (inet_pton(AF_INET, key, a4) == 1) {
    if (width_text != nullptr && width >= 33) fatal_errx(EX_DATAERR, "bad IPv4 mask width: %s", width_text);
    memcpy(entry->k.addr4, a4, sizeof a4);
    return {FW_AF_INET, static_cast<uint8_t>(width_text != nullptr ? width : 32)};
  }

  uint8_t a6[16];
  if (inet_pton(AF_INET6, key, a6) == 1) {
    static const uint8_t zero12[12] = {};
    uint32_t low = (uint32_t{a6[12]} << 24) | (uint32_t{a6[13]} << 16) | (uint32_t{a6[14]} << 8) | a6[15];
    if (memcmp(a6, zero12, sizeof zero12) == 0 && low > 1)
      fatal_errx(EX_DATAERR, "Use IPv4 instead of v4-compatible");
    if (width_text != nullptr && width >= 129) fatal_errx(EX_DATAERR, "bad IPv6 mask width: %s", width_text);
    memcpy(entry->k.addr6, a6, sizeof a6);
    return {FW_AF_INET6, static_cast<uint8_t>(width_text != nullptr ? width : 128)};
  }

  // The fallbacks take a host: any width is ignored.
  in_addr ia;
  if (inet_aton(key, &ia) != 0) {
    memcpy(entry->k.addr4, &ia.s_addr, 4);
    return {FW_AF_INET, 32};
  }
  const hostent* he = gethostbyname(key);
  if (he == nullptr || he->h_addrtype != AF_INET || he->h_length != 4 || he->h_addr_list == nullptr ||
      he->h_addr_list[0] == nullptr)
    fatal_errx(EX_NOHOST, "hostname ``%s'' unknown", key);
  memcpy(entry->k.addr4, he->h_addr_list[0], 4);
  return {FW_AF_INET, 32};
}

// Interface table: the first 15 bytes of the name; the entry arrives
// zeroed, so the sixteenth stays the terminating NUL.
parsed_key parse_iface_key(const char* key, ipfw_obj_tentry* entry) {
  size_t n = strnlen(key, sizeof entry->k.iface - 1);
  memcpy(entry->k.iface, key, n);
  return {FW_AF_UNSPEC, 128};
}

// Number table: strtol's value, its low 32 bits; there is no range check.
parsed_key parse_number_key(const char* key, ipfw_obj_tentry* entry) {
  char* end = nullptr;
  long v = strtol(key, &end, 10);
  if (*end != '\0') fatal_errx(EX_DATAERR, "Invalid number: %s", key);
  uint32_t number = static_cast<uint32_t>(v);
  memcpy(&entry->k.number, &number, sizeof number);
  return {FW_AF_UNSPEC, 32};
}

// Cuts the fields of a flow text one by one: each runs to the next comma,
// which is overwritten; the first field is the start of the text (it may be
// empty), and a later one needs text after a comma, else the process ends
// with the missing message (the first field never needs one).
struct flow_cutter {
  char* rest;
  bool first;
};

char* next_flow_field(flow_cutter* c, const char* missing) {
  char* field;
  if (c->first) {
    field = c->rest;
    c->first = false;
  } else {
    if (c->rest == nullptr) fatal_errx(EX_DATAERR, "%s", missing);
    field = c->rest;
  }
  char* comma = strchr(field, ',');
  if (comma != nullptr) {
    *comma = '\0';
    c->rest = comma + 1;
  } else {
    c->rest = nullptr;
  }
  return field;
}

// A port, numeric or a service name, in network order. A number keeps its
// low 16 bits; there is no range check.
uint16_t parse_flow_port(const char* field) {
  char* end = nullptr;
  long v = strtol(field, &end, 10);
  if (*end == '\0') return htons(static_cast<uint16_t>(v));
  const servent* se = getservbyname(field, nullptr);
  if (se == nullptr) fatal_errx(EX_DATAERR, "Unknown service: %s", field);
  // The services database keeps the port in network order already.
  return static_cast<uint16_t>(se->s_port);
}

uint8_t parse_flow_proto(const char* field) {
  char* end = nullptr;
  long v = strtol(field, &end, 10);
  if (*end != '\0') {
    const protoent* pe = getprotobyname(field);
    if (pe == nullptr) fatal_errx(EX_DATAERR, "Unknown proto: %s", field);
    v = pe->p_proto;
  }
  // The number is taken as an unsigned 32-bit value.
  uint32_t proto = static_cast<uint32_t>(v);
  if (proto >= 256) fatal_errx(EX_DATAERR, "Bad protocol number: %u", proto);
  return static_cast<uint8_t>(v);
}

parsed_key parse_flow_key(char* key, uint8_t tflags, ipfw_obj_tentry* entry) {
  ipfw_flow_key flow;
  memset(&flow, 0, sizeof flow);
  flow_cutter cut{key, true};
  uint8_t family = FW_AF_UNSPEC;
  bool src_is_v6 = false;

  if (tflags & IPFW_TFFLAG_SRCIP) {
    char* field = next_flow_field(&cut, nullptr);
    uint8_t a[16];
    if (inet_pton(AF_INET, field, a) == 1) {
      memcpy(flow.addr, a, 4);
      family = FW_AF_INET;
    } else if (inet_pton(AF_INET6, field, a) == 1) {
      memcpy(flow.addr, a, 16);
      family = FW_AF_INET6;
      src_is_v6 = true;
    } else {
      family = FW_AF_UNSPEC;
    }
  }
  if (tflags & IPFW_TFFLAG_PROTO) {
    flow.proto = parse_flow_proto(next_flow_field(&cut, "invalid key: proto missing"));
  }
  if (tflags & IPFW_TFFLAG_SRCPORT) {
    flow.sport = parse_flow_port(next_flow_field(&cut, "invalid key: src port missing"));
  }
  if (tflags & IPFW_TFFLAG_DSTIP) {
    char* field = next_flow_field(&cut, "invalid key: dst ip missing");
    uint8_t a[16];
    if (inet_pton(AF_INET, field, a) == 1) {
      if (src_is_v6) fatal_errx(EX_DATAERR, "Inconsistent address family");
      memcpy(flow.addr + 4, a, 4);
      family = FW_AF_INET;
    } else if (inet_pton(AF_INET6, field, a) == 1) {
      if (family == FW_AF_INET) fatal_errx(EX_DATAERR, "Inconsistent address family");
      memcpy(flow.addr + 16, a, 16);
      family = FW_AF_INET6;
    }
  }
  if (tflags & IPFW_TFFLAG_DSTPORT) {
    flow.dport = parse_flow_port(next_flow_field(&cut, "invalid key: dst port missing"));
  }

  flow.af = family;
  memcpy(&entry->k.flow, &flow, sizeof flow);
  return {family, 0};
}

// MAC table: an address with an optional width of at most 48; smaller
// widths, negative ones included, are stored as an address's are.
parsed_key parse_mac_key(char* key, ipfw_obj_tentry* entry) {
  const char* width_text = cut_at_slash(key);
  long width = 48;
  if (width_text != nullptr) {
    width = read_width(width_text);
    if (width >= 49) fatal_errx(EX_DATAERR, "bad MAC mask width: %s", width_text);
  }
  const ether_addr* ea = ether_aton(key);
  if (ea == nullptr) fatal_errx(EX_DATAERR, "Incorrect MAC address");
  static_assert(sizeof(ether_addr) == sizeof entry->k.mac);
  memcpy(entry->k.mac, ea, sizeof entry->k.mac);
  return {FW_AF_LINK, static_cast<uint8_t>(width)};
}

}  // namespace

void parse_entry_key(const ipfw_obj_header* oh, ipfw_obj_tentry* entry, char* key, int add, uint8_t* type,
                     uint32_t* vmask, ipfw_xtable_info* cache) {
  fetch_info_once(oh, add, cache);

  uint8_t table_type = cache->type;
  uint8_t tflags = cache->tflags;
  uint32_t mask = cache->vmask;

  parsed_key k;
  switch (table_type) {
    case IPFW_TABLE_ADDR:
      k = parse_address_key(key, entry);
      break;
    case IPFW_TABLE_INTERFACE:
      k = parse_iface_key(key, entry);
      break;
    case IPFW_TABLE_NUMBER:
      k = parse_number_key(key, entry);
      break;
    case IPFW_TABLE_FLOW:
      k = parse_flow_key(key, tflags, entry);
      break;
    case IPFW_TABLE_MAC:
      k = parse_mac_key(key, entry);
      break;
    default:
      fatal_errx(EX_DATAERR, "Unsupported table type: %d", table_type);
  }

  entry->subtype = k.family;
  entry->masklen = k.masklen;
  *type = table_type;
  *vmask = mask;
}
