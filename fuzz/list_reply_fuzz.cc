// SPDX-License-Identifier: BSD-2-Clause
// Kernel replies to the "list" command through fetch_table_info and
// list_table_entries, and from there through the rendering walk: several
// listings in a row, so that the list buffer kept from one listing to the
// next meets replies of different sizes (and stays with the process from
// one input to the next as well).
//
// Input, a script of the kernel's answers for up to MAX_LISTINGS listings,
// one after another while input is left, each:
//   1 byte    by its low bit: the listing sweeps (a due test is given);
//             by the next bit, the due test is the sweep's own (a
//             sweep_cycle whose time is the bound), not a function
//   4 bytes   the due test's bound: a leading value below it is due
//   1 byte    by its low 2 bits the info answer: 0 the record with the
//             length 296; 1 the record with the length below; 2 ESRCH;
//             3 EACCES
//   4 bytes   the info reply's length, for answer 1
//   200 bytes the info record of the info reply
//   then one answer per list request, each
//     1 byte  by its low 2 bits: 0 the reply, with the length written;
//             1 ENOMEM, the info record with the listing size below
//             written into the reply where the request holds one (the
//             length is left as passed; a size beyond what the record's
//             item count needs is believed only that far); 2 the reply, with the length
//             below, whatever was written; 3 EINVAL
//     4 bytes a length (for answer 1, the listing size)
//     for answers 0 and 2: 2 bytes, a count, then that many bytes of the
//             reply from byte 96 on (the info record of the reply, then the
//             entries), written as far as the request's length allows; the
//             listing's script ends there.
//
// The listing may ask for up to 4 GiB on the kernel's word; the kernel's
// sizes are kept below LENGTH_LIMIT here so the fuzzer's memory limit
// measures the code, not the script.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fwtable/entry_render.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "fwtable/sweep_cycle.h"
#include "fwtable/table_list.h"

namespace {

constexpr int EXIT_OSERR = 71;
constexpr uint32_t LENGTH_LIMIT = 1u << 16;
constexpr int LIST_ATTEMPTS = 8;
constexpr int MAX_LISTINGS = 4;

// The script of one listing, and what the listing did with it.
struct kernel_script {
  input_reader* in;
  ipfw_xtable_info info;  // as the info reply carries it
  int info_calls;
  int list_calls;
  uint64_t expected_len;  // the length the next list request must carry
  std::vector<uint8_t> reply;  // the buffer from offset 96 up to the reported length, as the reply left it
  uint32_t reply_len;  // the length the reply reported
  bool replied;
};

struct address_record {
  int calls;
  uint32_t last_expiry;
};

address_record addresses;

// The due test of a sweeping listing: a removable entry whose expiry is
// below the bound.
uint32_t due_bound;
bool due_below_bound(uint32_t expiry, bool removable) { return removable && expiry < due_bound; }

// The address handler: every key text ends within its 128 bytes, and all
// 128 of them belong to the renderer's writable buffer.
int record_address(char* key_text, uint32_t expiry) {
  FUZZ_CHECK(memchr(key_text, '\0', ENTRY_TEXT_SIZE) != nullptr);
  memset(key_text, 'x', ENTRY_TEXT_SIZE - 1);
  key_text[ENTRY_TEXT_SIZE - 1] = '\0';
  addresses.calls++;
  addresses.last_expiry = expiry;
  return 0;
}

bool all_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i] != 0) return false;
  return true;
}

// A listing size as the listing believes it: no more than the header, the
// info record and count entries of 120 bytes.
uint64_t believed_size(uint32_t size, uint32_t count) {
  return std::min<uint64_t>(size, FW_LIST_ENTRIES_OFFSET + uint64_t{count} * sizeof(ipfw_obj_tentry));
}

// The list buffer's size for the first request, from the listing size of
// the info record the listing was given (as believed): that size plus 44,
// never below the request header.
uint64_t first_list_len(const ipfw_xtable_info& info) {
  const uint64_t want = believed_size(info.size, info.count) + 44;
  return want < sizeof(ipfw_obj_header) ? sizeof(ipfw_obj_header) : want;
}

// The size after the retry-th ENOMEM answer (1, 2, ...) to a request of
// sent bytes, whose reply's info record asked for needed bytes (0 when the
// request could not hold the record): the larger of the two, plus slack of
// at least a sixteenth of it and at least 44 bytes doubled at each retry,
// within 32 bits.
uint64_t retry_list_len(uint64_t sent, uint64_t needed, int retry) {
  const uint64_t base = std::max(needed, sent);
  return std::min<uint64_t>(base + std::max<uint64_t>(uint64_t{44} << (retry - 1), base / 16), UINT32_MAX);
}

int answer_info(kernel_script* s, uint8_t* buf, uint32_t* len) {
  s->info_calls++;
  FUZZ_CHECK(s->info_calls == 1);
  FUZZ_CHECK(*len == FW_INFO_REQUEST_SIZE);
  uint8_t answer = s->in->u8() & 3;
  uint32_t reported = s->in->u32();
  s->in->bytes(&s->info, sizeof s->info);
  s->info.size %= LENGTH_LIMIT;
  if (answer == 2) {
    errno = ESRCH;
    return -1;
  }
  if (answer == 3) {
    errno = EACCES;
    return -1;
  }
  memcpy(buf + sizeof(ipfw_obj_header), &s->info, sizeof s->info);
  *len = answer == 0 ? FW_INFO_REQUEST_SIZE : reported;
  s->expected_len = first_list_len(s->info);
  return 0;
}

// Checks the list request as the listing built it: its length follows the
// size rule, the buffer holds that many bytes (the last one is read), and
// the header names the table of the info record with nothing else set.
void check_list_request(kernel_script* s, const uint8_t* buf, uint32_t len) {
  FUZZ_CHECK(len == s->expected_len);
  volatile uint8_t last = buf[len - 1];
  (void)last;

  ipfw_obj_header oh;
  memcpy(&oh, buf, sizeof oh);
  FUZZ_CHECK(oh.opheader.opcode == IP_FW_TABLE_XLIST &&
             oh.opheader.version == fw_request_version(IP_FW_TABLE_XLIST));
  FUZZ_CHECK(all_zero(oh.opheader.reserved, sizeof oh.opheader.reserved));
  FUZZ_CHECK(oh.idx == 1 && all_zero(reinterpret_cast<const uint8_t*>(&oh.reserved), sizeof oh.reserved));
  FUZZ_CHECK(oh.ntlv.head.type == IPFW_TLV_TBL_NAME && oh.ntlv.head.flags == 0 &&
             oh.ntlv.head.length == sizeof(ipfw_obj_ntlv));
  FUZZ_CHECK(oh.ntlv.idx == 1 && oh.ntlv.set == (s->info.set & 0xff) && oh.ntlv.type == 0);
  size_t name_len = strnlen(s->info.tablename, IPFW_TABLE_NAME_MAX);
  FUZZ_CHECK(memcmp(oh.ntlv.name, s->info.tablename, name_len) == 0);
  FUZZ_CHECK(
      all_zero(reinterpret_cast<const uint8_t*>(oh.ntlv.name) + name_len, sizeof oh.ntlv.name - name_len));
}

int answer_list(kernel_script* s, uint8_t* buf, uint32_t* len) {
  s->list_calls++;
  FUZZ_CHECK(!s->replied);
  FUZZ_CHECK(s->list_calls <= LIST_ATTEMPTS);
  check_list_request(s, buf, *len);

  uint8_t answer = s->in->u8() & 3;
  uint32_t length = s->in->u32();
  if (answer == 1) {
    // The kernel leaves the info record, with the size the listing needs
    // now, in a reply that holds it; the length stays as it was passed.
    const uint32_t needed = length % LENGTH_LIMIT;
    const bool holds_info = *len >= FW_INFO_REQUEST_SIZE;
    const uint32_t info_count = s->info.count;
    if (holds_info) {
      ipfw_xtable_info info = s->info;
      info.size = needed;
      memcpy(buf + sizeof(ipfw_obj_header), &info, sizeof info);
    }
    s->expected_len = retry_list_len(*len, holds_info ? believed_size(needed, info_count) : 0, s->list_calls);
    errno = ENOMEM;
    return -1;
  }
  if (answer == 3) {
    errno = EINVAL;
    return -1;
  }
  // The reply: never a byte past the length the request carries. The
  // buffer may hold an earlier reply past what this one writes.
  size_t room = *len - sizeof(ipfw_obj_header);
  size_t count = uint32_t{s->in->u8()} | uint32_t{s->in->u8()} << 8;
  size_t given = std::min(count, s->in->left);
  size_t n = std::min(given, room);
  if (n > 0) memcpy(buf + sizeof(ipfw_obj_header), s->in->data, n);
  s->in->data += given;
  s->in->left -= given;
  s->replied = true;
  *len = answer == 0 ? static_cast<uint32_t>(sizeof(ipfw_obj_header) + n) : length;
  s->reply_len = *len;
  // What the listing will read, if it takes the reply: the buffer up to the
  // reported length, which it accepts only within the request's.
  size_t seen = std::min<size_t>(*len, room + sizeof(ipfw_obj_header));
  s->reply.assign(buf + sizeof(ipfw_obj_header), buf + std::max(seen, sizeof(ipfw_obj_header)));
  return 0;
}

// The address entries of a reply the listing accepted: those of an address
// table whose key has a text that a deletion accepts (named_address_key;
// any other names no key a deletion could find) and whose value is a time
// and, when the listing sweeps, that are due. The reply is read as the listing saw it.
// *listed: every entry of the reply when it is an address table's, else 0.
uint32_t address_entries_of(const kernel_script& s, bool sweeping, uint32_t* listed) {
  constexpr size_t entries_at = sizeof(ipfw_xtable_info);
  const std::vector<uint8_t>& reply = s.reply;
  FUZZ_CHECK(reply.size() == s.reply_len - sizeof(ipfw_obj_header));
  FUZZ_CHECK(reply.size() >= entries_at);
  ipfw_xtable_info info;
  memcpy(&info, reply.data(), sizeof info);
  *listed = 0;
  if (info.type != IPFW_TABLE_ADDR) return 0;
  *listed = info.count;
  uint32_t found = 0;
  size_t off = entries_at;
  for (uint32_t i = 0; i < info.count; i++) {
    FUZZ_CHECK(reply.size() - off >= sizeof(ipfw_obj_tentry));
    ipfw_obj_tentry e;
    memcpy(&e, reply.data() + off, sizeof e);
    uint32_t expiry = 0;
    bool removable = named_address_key(e) && value_expiry(info.vmask, &e.v, &expiry);
    if (removable && (!sweeping || expiry < due_bound)) found++;
    off += e.head.length;
  }
  return found;
}

int answer_request(void* ctx, void* buf, uint32_t* len) {
  auto* s = static_cast<kernel_script*>(ctx);
  auto* bytes = static_cast<uint8_t*>(buf);
  ip_fw3_opheader op;
  memcpy(&op, bytes, sizeof op);
  if (op.opcode == IP_FW_TABLE_XINFO) return answer_info(s, bytes, len);
  FUZZ_CHECK(op.opcode == IP_FW_TABLE_XLIST);
  FUZZ_CHECK(s->info_calls == 1);
  return answer_list(s, bytes, len);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  install_throwing_exit();
  silence_stdout();
  return 0;
}

namespace {

// One listing by the script at the front of in.
void run_listing(input_reader* in) {
  kernel_script s{};
  s.in = in;
  addresses = address_record{};
  const uint8_t mode = in->u8();
  const bool sweeping = (mode & 1) != 0;
  const bool own_test = sweeping && (mode & 2) != 0;
  due_bound = in->u32();
  sweep_cycle cycle;
  cycle.now = due_bound;

  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t5", 0);
  bool listed = false;
  platform_scope kernel(with_fwctl(answer_request, &s));
  try {
    ipfw_xtable_info info;
    fetch_table_info(&oh, &info);
    FUZZ_CHECK(memcmp(&info, &s.info, sizeof info) == 0);
    listing_handler handler;
    handler.on_address = record_address;
    handler.is_due = sweeping && !own_test ? due_below_bound : nullptr;
    handler.cycle = own_test ? &cycle : nullptr;
    list_table_entries(&oh, &info, handler);
    listed = true;
  } catch (const fatal_exit& e) {
    FUZZ_CHECK(e.status == EXIT_OSERR);
    // A reply is checked whole before any entry of it is rendered.
    FUZZ_CHECK(addresses.calls == 0);
  }

  if (listed) {
    // Every address entry of the reply that comes to something reached the
    // handler, and nothing else did.
    FUZZ_CHECK(s.replied && s.reply_len >= FW_LIST_ENTRIES_OFFSET);
    uint32_t listed_entries = 0;
    FUZZ_CHECK(static_cast<uint32_t>(addresses.calls) == address_entries_of(s, sweeping, &listed_entries));
    // The sweep's own test counts every address entry once, and the due
    // ones among them.
    if (own_test) {
      FUZZ_CHECK(cycle.tally.entries == listed_entries);
      FUZZ_CHECK(cycle.tally.due == static_cast<uint64_t>(addresses.calls));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  input_reader in{data, size};
  for (int i = 0; i < MAX_LISTINGS && (i == 0 || in.left > 0); i++) run_listing(&in);
  return 0;
}
