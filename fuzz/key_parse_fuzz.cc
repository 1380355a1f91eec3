// SPDX-License-Identifier: BSD-2-Clause
// Key texts through parse_entry_key, for every table type and flow-field
// set, with the table's info record answered by a scripted kernel.
//
// Input:
//   byte 0  bits 0-2: table type in the info record (0..7)
//           bit 3:    the add flag
//           bits 4-7: the info answer: 0-11 the record, 12 ESRCH, 13 EACCES,
//                     14 a 295-byte reply, 15 an empty reply
//   byte 1  the flow-field byte of the info record
//   rest    the key text; it is copied into a heap block of its exact size
//           plus the NUL, so a read past the terminator is an overread
//
// The text is parsed once with an empty cache, and, if that returns, again
// from a fresh copy with the filled cache: the second parse must ask the
// kernel nothing and give the same entry.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fake_name_lookups.h"
#include "fuzz/fuzz_support.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "fwtable/key_parse.h"
#include "tests/support/table_records.h"

namespace {

constexpr int EXIT_DATAERR = 65;
constexpr int EXIT_NOHOST = 68;
constexpr int EXIT_OSERR = 71;

constexpr uint32_t TABLE_VMASK = IPFW_VTYPE_SKIPTO | IPFW_VTYPE_TAG;

enum class info_answer { record, missing, refused, short_reply, empty_reply };

info_answer answer_of(uint8_t code) {
  switch (code) {
    case 12:
      return info_answer::missing;
    case 13:
      return info_answer::refused;
    case 14:
      return info_answer::short_reply;
    case 15:
      return info_answer::empty_reply;
    default:
      return info_answer::record;
  }
}

struct info_script {
  uint8_t type;
  uint8_t tflags;
  info_answer answer;
  int calls;
};

// The kernel's side of the info request: the request must be the 296-byte
// info request, and the buffer must really hold the length it is given.
int answer_info_request(void* ctx, void* buf, uint32_t* len) {
  auto* s = static_cast<info_script*>(ctx);
  s->calls++;
  auto* bytes = static_cast<uint8_t*>(buf);
  ip_fw3_opheader op;
  memcpy(&op, bytes, sizeof op);
  FUZZ_CHECK(op.opcode == IP_FW_TABLE_XINFO && op.version == fw_request_version(IP_FW_TABLE_XINFO));
  FUZZ_CHECK(*len == FW_INFO_REQUEST_SIZE);
  bytes[*len - 1] = 0;  // the last byte the parser said it has

  switch (s->answer) {
    case info_answer::missing:
      errno = ESRCH;
      return -1;
    case info_answer::refused:
      errno = EACCES;
      return -1;
    case info_answer::short_reply:
      *len = FW_INFO_REQUEST_SIZE - 1;
      return 0;
    case info_answer::empty_reply:
      *len = 0;
      return 0;
    case info_answer::record:
      break;
  }
  return answer_info(table_info(s->type, TABLE_VMASK, s->tflags), op.opcode, bytes, len);
}

struct parse_result {
  ipfw_obj_tentry entry;
  uint8_t type;
  uint32_t vmask;
};

// Parses a fresh exact-size copy of text; a process exit comes back as
// fatal_exit.
parse_result parse_copy(const ipfw_obj_header* oh, const uint8_t* text, size_t len, int add,
                        ipfw_xtable_info* cache) {
  std::unique_ptr<char[]> key(new char[len + 1]);
  memcpy(key.get(), text, len);
  key[len] = '\0';
  parse_result r;
  memset(&r, 0, sizeof r);
  parse_entry_key(oh, &r.entry, key.get(), add, &r.type, &r.vmask, cache);
  return r;
}

bool all_zero(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  for (size_t i = 0; i < n; i++)
    if (b[i] != 0) return false;
  return true;
}

// What a parse that returned must have produced for the table's type.
void check_entry(const parse_result& r, uint8_t type) {
  const ipfw_obj_tentry& e = r.entry;
  FUZZ_CHECK(r.type == type);
  FUZZ_CHECK(r.vmask == TABLE_VMASK);
  // Only the key family, the mask length and the key area are written.
  FUZZ_CHECK(all_zero(&e.head, sizeof e.head) && e.result == 0 && e.reserved == 0 && e.idx == 0);
  FUZZ_CHECK(all_zero(&e.v, sizeof e.v));
  switch (type) {
    case IPFW_TABLE_ADDR:
      FUZZ_CHECK(e.subtype == FW_AF_INET || e.subtype == FW_AF_INET6);
      if (e.subtype == FW_AF_INET)
        FUZZ_CHECK(all_zero(e.k.raw + 4, sizeof e.k.raw - 4));
      else
        FUZZ_CHECK(all_zero(e.k.raw + 16, sizeof e.k.raw - 16));
      break;
    case IPFW_TABLE_INTERFACE:
      FUZZ_CHECK(e.subtype == FW_AF_UNSPEC && e.masklen == 128);
      FUZZ_CHECK(all_zero(e.k.raw + 15, sizeof e.k.raw - 15));
      break;
    case IPFW_TABLE_NUMBER:
      FUZZ_CHECK(e.subtype == FW_AF_UNSPEC && e.masklen == 32);
      FUZZ_CHECK(all_zero(e.k.raw + 4, sizeof e.k.raw - 4));
      break;
    case IPFW_TABLE_FLOW:
      FUZZ_CHECK(e.subtype == FW_AF_UNSPEC || e.subtype == FW_AF_INET || e.subtype == FW_AF_INET6);
      FUZZ_CHECK(e.k.flow.af == e.subtype && e.masklen == 0);
      FUZZ_CHECK(all_zero(e.k.flow.reserved, sizeof e.k.flow.reserved));
      break;
    case IPFW_TABLE_MAC:
      FUZZ_CHECK(e.subtype == FW_AF_LINK);
      FUZZ_CHECK(all_zero(e.k.raw + 6, sizeof e.k.raw - 6));
      break;
    default:
      fuzz_fail("a parse of an unsupported table type returned", __FILE__, __LINE__);
  }
}

// The exit a failed parse may take, by the info answer and the table type.
void check_exit(int status, const info_script& s) {
  bool info_failed = s.answer == info_answer::refused || s.answer == info_answer::short_reply ||
                     s.answer == info_answer::empty_reply;
  if (info_failed) {
    FUZZ_CHECK(status == EXIT_OSERR);
    return;
  }
  if (s.answer == info_answer::missing || s.type != IPFW_TABLE_ADDR) {
    FUZZ_CHECK(status == EXIT_DATAERR);
    return;
  }
  FUZZ_CHECK(status == EXIT_DATAERR || status == EXIT_NOHOST);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  install_throwing_exit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  input_reader in{data, size};
  uint8_t control = in.u8();
  info_script script{};
  script.type = control & 0x07;
  int add = (control >> 3) & 1;
  script.answer = answer_of(control >> 4);
  script.tflags = in.u8();
  const uint8_t* text = in.data;
  size_t text_len = in.left;

  // The request header in a heap block of its own size, its table name
  // filled to the last byte without a NUL: a message that printed the name
  // without its bound would read past the block.
  std::unique_ptr<ipfw_obj_header> oh(new ipfw_obj_header);
  memset(oh.get(), 0, sizeof *oh);
  init_request_header(oh.get(), "t5", 0);
  memset(oh->ntlv.name, 'n', sizeof oh->ntlv.name);

  platform_scope kernel(with_fwctl(answer_info_request, &script));
  ipfw_xtable_info cache;
  memset(&cache, 0, sizeof cache);
  try {
    parse_result first = parse_copy(oh.get(), text, text_len, add, &cache);
    FUZZ_CHECK(script.calls == 1);
    check_entry(first, script.type);

    parse_result again = parse_copy(oh.get(), text, text_len, add, &cache);
    FUZZ_CHECK(script.calls == 1);
    // The bytes a request would carry, padding included, are the same.
    // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
    FUZZ_CHECK(memcmp(&first.entry, &again.entry, sizeof first.entry) == 0);
    FUZZ_CHECK(first.type == again.type && first.vmask == again.vmask);
  } catch (const fatal_exit& e) {
    check_exit(e.status, script);
  }
  return 0;
}
