// SPDX-License-Identifier: BSD-2-Clause
// Value records and masks through format_entry_value, and random entries of
// random table types through format_address_key and render_table_entry.
//
// Input:
//   4 bytes   the value mask (little-endian)
//   1 byte    the table type of the info record
//   1 byte    the flow-field byte of the info record
//   120 bytes the entry, value record included; missing bytes are zero
//
// Every record is a heap block of its own size and every text buffer one of
// exactly 128 bytes, so a read or write past any of them is caught.
//
// The key text of an address entry then takes the daemon's road back: the
// delete command parses it, and it must name the same key.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/fake_name_lookups.h"
#include "fuzz/fuzz_support.h"
#include "fwtable/entry_render.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "fwtable/key_parse.h"
#include "tests/support/table_records.h"

namespace {

struct address_record {
  int calls;
  uint32_t expiry;
  char key_text[ENTRY_TEXT_SIZE];
};

address_record addresses;

int record_address(char* key_text, uint32_t expiry) {
  FUZZ_CHECK(memchr(key_text, '\0', ENTRY_TEXT_SIZE) != nullptr);
  memcpy(addresses.key_text, key_text, ENTRY_TEXT_SIZE);
  // The whole 128-byte buffer is the renderer's and writable.
  memset(key_text, 'x', ENTRY_TEXT_SIZE - 1);
  key_text[ENTRY_TEXT_SIZE - 1] = '\0';
  addresses.calls++;
  addresses.expiry = expiry;
  return 0;
}

// A fresh 128-byte text buffer, filled with a byte no text holds, so an
// unterminated text is seen.
std::unique_ptr<char[]> text_buffer() {
  std::unique_ptr<char[]> buf(new char[ENTRY_TEXT_SIZE]);
  memset(buf.get(), 0x7f, ENTRY_TEXT_SIZE);
  return buf;
}

bool terminated(const char* text) { return memchr(text, '\0', ENTRY_TEXT_SIZE) != nullptr; }

// A value text is whole fields joined by commas: no empty field, no comma
// at either end, and no more fields than the mask names.
void check_value_text(uint32_t vmask, const ipfw_table_value* v, const char* text) {
  FUZZ_CHECK(terminated(text));
  size_t len = strlen(text);
  FUZZ_CHECK(len <= ENTRY_TEXT_SIZE - 1);
  if (vmask == IPFW_VTYPE_LEGACY) {
    char tag[16];
    snprintf(tag, sizeof tag, "%u", v->tag);
    FUZZ_CHECK(strcmp(text, tag) == 0);
    return;
  }
  if (len == 0) return;
  FUZZ_CHECK(text[0] != ',' && text[len - 1] != ',');
  FUZZ_CHECK(strstr(text, ",,") == nullptr);
  int fields = 1;
  for (size_t i = 0; i < len; i++)
    if (text[i] == ',') fields++;
  FUZZ_CHECK(fields <= __builtin_popcount(vmask & 0xfff));
}

// The expiry handed on for an address entry: the value text is a time when
// its first field (up to the first comma) is digits with at most a leading
// minus sign, and the time is its number as atoi reads it, modulo 2^32.
bool text_expiry(const char* text, uint32_t* expiry) {
  size_t first = strcspn(text, ",");
  size_t sign = text[0] == '-' ? 1 : 0;
  if (first == sign || strspn(text + sign, "0123456789") != first - sign) return false;
  *expiry = static_cast<uint32_t>(static_cast<unsigned long long>(strtoll(text, nullptr, 10)));
  return true;
}

// Whether a value of this mask is led by a number the table keeps in fewer
// than 32 bits, which cannot hold a time: pipe, fib, nat, dscp and divert
// (ipfw(8) stores them narrower), and skipto in FreeBSD 14's record.
bool led_by_narrow_number(uint32_t vmask) {
  if (vmask == IPFW_VTYPE_LEGACY) return false;
  const uint32_t lowest = vmask & (0u - vmask);
  uint32_t narrow = IPFW_VTYPE_PIPE | IPFW_VTYPE_FIB | IPFW_VTYPE_NAT | IPFW_VTYPE_DSCP | IPFW_VTYPE_DIVERT;
  if (FW_ABI == 14) narrow |= IPFW_VTYPE_SKIPTO;
  return (lowest & narrow) != 0;
}

// The kernel's answer to the delete command's info request: an address
// table.
int answer_address_table_info(void*, void* buf, uint32_t* len) {
  ip_fw3_opheader op;
  memcpy(&op, buf, sizeof op);
  FUZZ_CHECK(op.opcode == IP_FW_TABLE_XINFO && *len == FW_INFO_REQUEST_SIZE);
  return answer_info(table_info(IPFW_TABLE_ADDR), op.opcode, static_cast<uint8_t*>(buf), len);
}

// The delete command's parse of the key text gives back the entry's key:
// its family, mask length and address. A process exit on this road would
// end the daemon.
void check_key_round_trip(const ipfw_obj_tentry& e, const char* key_text) {
  size_t len = strlen(key_text);
  std::unique_ptr<char[]> key(new char[len + 1]);
  memcpy(key.get(), key_text, len + 1);
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t5", 0);
  ipfw_xtable_info cache;
  memset(&cache, 0, sizeof cache);
  ipfw_obj_tentry parsed;
  memset(&parsed, 0, sizeof parsed);
  uint8_t type = 0;
  uint32_t vmask = 0;

  {
    platform_scope kernel(with_fwctl(answer_address_table_info, nullptr));
    try {
      parse_entry_key(&oh, &parsed, key.get(), 0, &type, &vmask, &cache);
    } catch (const fatal_exit&) {
      fuzz_fail("the key text of an address entry does not parse", __FILE__, __LINE__);
    }
  }
  FUZZ_CHECK(parsed.subtype == e.subtype && parsed.masklen == e.masklen);
  size_t n = e.subtype == FW_AF_INET ? 4 : 16;
  FUZZ_CHECK(memcmp(parsed.k.raw, e.k.raw, n) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  install_throwing_exit();
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  input_reader in{data, size};
  std::unique_ptr<ipfw_xtable_info> info(new ipfw_xtable_info);
  memset(info.get(), 0, sizeof *info);
  info->vmask = in.u32();
  info->type = in.u8();
  info->tflags = in.u8();
  std::unique_ptr<ipfw_obj_tentry> entry(new ipfw_obj_tentry);
  in.bytes(entry.get(), sizeof *entry);
  std::unique_ptr<ipfw_table_value> value(new ipfw_table_value);
  memcpy(value.get(), &entry->v, sizeof *value);

  try {
    std::unique_ptr<char[]> value_text = text_buffer();
    format_entry_value(info->vmask, value.get(), value_text.get());
    check_value_text(info->vmask, value.get(), value_text.get());
    uint32_t want_expiry = 0;
    const bool timed = text_expiry(value_text.get(), &want_expiry) && !led_by_narrow_number(info->vmask);
    uint32_t expiry = 0;
    FUZZ_CHECK(value_expiry(info->vmask, value.get(), &expiry) == timed);
    FUZZ_CHECK(!timed || expiry == want_expiry);

    std::unique_ptr<char[]> key_text = text_buffer();
    format_address_key(entry.get(), key_text.get());
    FUZZ_CHECK(terminated(key_text.get()));
    // A key without a text: a family other than IPv4 and IPv6, or a mask
    // length past the address's width.
    bool in_width = (entry->subtype == FW_AF_INET && entry->masklen <= 32) ||
                    (entry->subtype == FW_AF_INET6 && entry->masklen <= 128);
    FUZZ_CHECK(in_width == (key_text[0] != '\0'));

    addresses = address_record{};
    render_table_entry(info.get(), entry.get(), record_address);
    // Only an address entry whose key has a text that a deletion accepts,
    // and whose value is a time, is handed on, and that text parses back to
    // the entry's key: any other names no key a deletion could find, or
    // has no time to pass.
    if (info->type == IPFW_TABLE_ADDR && named_address_key(*entry) && timed) {
      FUZZ_CHECK(addresses.calls == 1);
      FUZZ_CHECK(addresses.expiry == want_expiry);
      check_key_round_trip(*entry, addresses.key_text);
    } else {
      FUZZ_CHECK(addresses.calls == 0);
    }

    // Without a handler (the failure report) nothing is handed on.
    addresses = address_record{};
    render_table_entry(info.get(), entry.get(), nullptr);
    FUZZ_CHECK(addresses.calls == 0);
  } catch (const fatal_exit&) {
    fuzz_fail("rendering ended the process", __FILE__, __LINE__);
  }
  return 0;
}
