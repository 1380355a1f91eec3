// SPDX-License-Identifier: BSD-2-Clause
// What FreeBSD's kernel answers to the table requests, one fact a row, each
// row tried against a store emulating FreeBSD 14 and one emulating 15, with
// the request built in that kernel's layout.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "emu/store_state.h"
#include "emu/table_store.h"
#include "fwtable/fw_records.h"
#include "tests/support/fake_kernel.h"

namespace {

using bytes = std::vector<uint8_t>;

struct store_deleter {
  void operator()(emu_store* s) const { emu_store_free(s); }
};

// A request apart from its layout. Info and list requests are their object
// header in a buffer of `length` bytes; add and delete requests carry one
// IPv4 host entry per key after the header and the container.
struct request {
  uint16_t opcode;
  uint32_t length = 0;  // info and list: the buffer's length
  std::string name = "t";
  uint8_t type = 0;  // the name record's table type
  uint8_t set = 0;  // the name record's set
  uint32_t object_idx = 1;  // the object header's index
  uint32_t name_idx = 1;  // the name record's index
  uint32_t name_length = 80;  // the name record's TLV length
  std::vector<const char*> keys = {};
  uint32_t entry_length = 120;  // each entry's TLV length
  uint32_t entry_idx = 1;  // each entry's table index
  int extra = 0;  // bytes added to (or, negative, cut from) an add or delete
};

template <typename L>
bytes build(const request& r) {
  typename L::obj_header oh;
  memset(&oh, 0, sizeof oh);
  oh.opheader.opcode = r.opcode;
  oh.opheader.version = L::version(r.opcode);
  oh.idx = static_cast<decltype(oh.idx)>(r.object_idx);
  oh.ntlv.head.type = IPFW_TLV_TBL_NAME;
  oh.ntlv.head.length = r.name_length;
  oh.ntlv.idx = static_cast<decltype(oh.ntlv.idx)>(r.name_idx);
  oh.ntlv.set = r.set;
  oh.ntlv.type = r.type;
  memcpy(oh.ntlv.name, r.name.data(), std::min(r.name.size(), sizeof oh.ntlv.name));
  if (r.opcode == IP_FW_TABLE_XINFO || r.opcode == IP_FW_TABLE_XLIST) {
    bytes b(r.length);
    memcpy(b.data(), &oh, std::min<size_t>(r.length, sizeof oh));
    return b;
  }
  const size_t n = r.keys.size();
  const size_t natural = FW_CHANGE_ENTRIES_OFFSET + n * sizeof(typename L::obj_tentry);
  bytes b(natural);
  memcpy(b.data(), &oh, sizeof oh);
  ipfw_obj_ctlv c;
  memset(&c, 0, sizeof c);
  c.head.length = static_cast<uint32_t>(sizeof c + n * sizeof(typename L::obj_tentry));
  c.count = static_cast<uint32_t>(n);
  memcpy(b.data() + sizeof oh, &c, sizeof c);
  for (size_t i = 0; i < n; i++) {
    typename L::obj_tentry e;
    memset(&e, 0, sizeof e);
    e.head.length = r.entry_length;
    e.subtype = FW_AF_INET;
    e.masklen = 32;
    e.idx = static_cast<decltype(e.idx)>(r.entry_idx);
    inet_pton(AF_INET, r.keys[i], e.k.addr4);
    memcpy(b.data() + FW_CHANGE_ENTRIES_OFFSET + i * sizeof e, &e, sizeof e);
  }
  b.resize(static_cast<size_t>(static_cast<ptrdiff_t>(natural) + r.extra));
  return b;
}

// What the kernel does with the request. A failure always leaves the
// length as it was passed and the header as it was sent.
struct outcome {
  int err = 0;  // 0: the request succeeds
  uint32_t len = 0;  // the length written back by a success
  // The info record at byte 96: its item count and listing size, or -1
  // when none is written (a refused request is then left as it was sent,
  // but for a delete's result byte).
  int info_count = -1;
  uint32_t info_size = 0;
  uint8_t result = 0;  // the first entry's result byte; 0: not looked at
  int entries_after = -1;  // the table's entries afterwards; -1: not counted
};

struct fact {
  const char* what;
  std::string setup;  // admin commands, ';'-separated, after the common ones
  request req;
  outcome want;
};

// Every row starts from table "t", an address table of two hosts (its
// listing 296 + 2 * 120 = 536 bytes).
constexpr const char* COMMON_SETUP =
    "create t type addr;add t 192.0.2.1 1700000000;add t 192.0.2.2 1800000000";

const std::string NAME_63(63, 'n');
const std::string NAME_64(64, 'n');

const std::vector<fact> FACTS = {
    // Lengths: written back only on success, and then the bytes written.
    {"info succeeds with the header as sent and the table's info record, and writes back 296",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 296},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"info in a buffer larger than 296 writes back 296, the bytes it wrote",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 400},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"a list that fits succeeds whole and writes back the listing's size",
     "",
     {.opcode = IP_FW_TABLE_XLIST, .length = 536 + 44},
     {.len = 536, .info_count = 2, .info_size = 536}},
    {"a list one entry short of the listing fails with ENOMEM, writes the header and the info record "
     "(the table's size and count) and leaves the length as passed",
     "",
     {.opcode = IP_FW_TABLE_XLIST, .length = 416},
     {.err = ENOMEM, .info_count = 2, .info_size = 536}},
    {"a list buffer of header and info record alone gets the info record with its ENOMEM",
     "",
     {.opcode = IP_FW_TABLE_XLIST, .length = 296},
     {.err = ENOMEM, .info_count = 2, .info_size = 536}},
    {"the info record of an undersized list is the table's current one",
     "add t 192.0.2.3",
     {.opcode = IP_FW_TABLE_XLIST, .length = 536},
     {.err = ENOMEM, .info_count = 3, .info_size = 656}},
    {"a failed request in a buffer larger than it needs leaves that larger length",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 400, .name = "gone"},
     {.err = ESRCH}},

    // Finding the table: the name record whose index is the object header's.
    {"the name record's TLV length must be 80",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 296, .name_length = 72},
     {.err = EINVAL}},
    {"the name record's index must equal the object header's",
     "",
     {.opcode = IP_FW_TABLE_XLIST, .length = 580, .name_idx = 2},
     {.err = EINVAL}},
    {"indexes other than 1 find the table when the header's and the name record's agree",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 296, .object_idx = 3, .name_idx = 3},
     {.len = 296, .info_count = 2, .info_size = 536}},

    // Table sets are disabled: the set a request names is ignored.
    {"info ignores the request's set",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 296, .set = 7},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"list ignores the request's set",
     "",
     {.opcode = IP_FW_TABLE_XLIST, .length = 580, .set = 31},
     {.len = 536, .info_count = 2, .info_size = 536}},
    {"delete ignores the request's set",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .type = IPFW_TABLE_ADDR, .set = 3, .keys = {"192.0.2.1"}},
     {.len = 232, .result = IPFW_TR_DELETED, .entries_after = 1}},
    {"a table created in another set is found through set 0",
     "create s set 5",
     {.opcode = IP_FW_TABLE_XINFO, .length = 296, .name = "s"},
     {.len = 296, .info_count = 0, .info_size = 296}},

    // A missing table.
    {"info of a missing table is ESRCH",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 296, .name = "gone"},
     {.err = ESRCH}},
    {"list of a missing table is ESRCH",
     "",
     {.opcode = IP_FW_TABLE_XLIST, .length = 580, .name = "gone"},
     {.err = ESRCH}},
    {"delete from a missing table is ESRCH",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .name = "gone", .type = IPFW_TABLE_ADDR, .keys = {"192.0.2.1"}},
     {.err = ESRCH}},
    {"a destroyed table is missing",
     "destroy t",
     {.opcode = IP_FW_TABLE_XLIST, .length = 580},
     {.err = ESRCH}},

    // Delete.
    {"a delete of a present entry succeeds, marks it deleted and writes back its own length",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .type = IPFW_TABLE_ADDR, .keys = {"192.0.2.1"}},
     {.len = 232, .result = IPFW_TR_DELETED, .entries_after = 1}},
    {"a delete a byte longer than header, container and entries is EINVAL",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .type = IPFW_TABLE_ADDR, .keys = {"192.0.2.1"}, .extra = 1},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete a byte shorter than header, container and entries is EINVAL",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .type = IPFW_TABLE_ADDR, .keys = {"192.0.2.1", "192.0.2.2"}, .extra = -1},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete entry whose TLV length is not 120 is EINVAL",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .type = IPFW_TABLE_ADDR, .keys = {"192.0.2.1"}, .entry_length = 112},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete entry whose table index is not the name record's is EINVAL",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .type = IPFW_TABLE_ADDR, .keys = {"192.0.2.1"}, .entry_idx = 2},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete whose name record gives type 0 is EINVAL",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .type = 0, .keys = {"192.0.2.1"}},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete whose name record gives another table type is EINVAL",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .type = IPFW_TABLE_NUMBER, .keys = {"192.0.2.1"}},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete of an entry that is not there is ENOENT",
     "",
     {.opcode = IP_FW_TABLE_XDEL, .type = IPFW_TABLE_ADDR, .keys = {"192.0.2.9"}},
     {.err = ENOENT, .result = IPFW_TR_NOTFOUND, .entries_after = 2}},
    {"a delete from a locked table is EACCES",
     "lock t",
     {.opcode = IP_FW_TABLE_XDEL, .type = IPFW_TABLE_ADDR, .keys = {"192.0.2.1"}},
     {.err = EACCES, .entries_after = 2}},

    // Names: non-empty and shorter than 64 bytes, nothing more.
    {"a name of 63 bytes is found",
     "create " + NAME_63,
     {.opcode = IP_FW_TABLE_XINFO, .length = 296, .name = NAME_63},
     {.len = 296, .info_count = 0, .info_size = 296}},
    {"a name that fills all 64 bytes, with no NUL, is EINVAL",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 296, .name = NAME_64},
     {.err = EINVAL}},
    {"an empty name is EINVAL",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 296, .name = ""},
     {.err = EINVAL}},
    {"a name with a blank and a control character is looked up like any other: ESRCH",
     "",
     {.opcode = IP_FW_TABLE_XINFO, .length = 296, .name = "a b\x01"},
     {.err = ESRCH}},
};

// The first entry's result byte (the same place in both layouts).
constexpr size_t RESULT_AT = FW_CHANGE_ENTRIES_OFFSET + offsetof(fw15::ipfw_obj_tentry, result);
static_assert(offsetof(fw14::ipfw_obj_tentry, result) == offsetof(fw15::ipfw_obj_tentry, result));

int entries_in(emu_store* store, const std::string& table) {
  std::string listed;
  if (store_admin(store, "list " + table, &listed) != 0) return -1;
  return static_cast<int>(std::count(listed.begin(), listed.end(), '\n'));
}

void check(const fact& f, int abi) {
  std::unique_ptr<emu_store, store_deleter> store{emu_store_new(abi)};
  std::istringstream in(std::string(COMMON_SETUP) + ";" + f.setup);
  for (std::string cmd; std::getline(in, cmd, ';');) {
    if (!cmd.empty()) {
      ASSERT_EQ(store_admin(store.get(), cmd), 0) << cmd;
    }
  }

  bytes b = abi == 14 ? build<fw14::layout>(f.req) : build<fw15::layout>(f.req);
  const bytes sent = b;
  const uint32_t passed = static_cast<uint32_t>(b.size());
  uint32_t len = passed;
  errno = 0;
  int rc = emu_store_get(store.get(), b.data(), &len);
  const outcome& w = f.want;
  if (w.err == 0) {
    ASSERT_EQ(rc, 0) << strerror(errno);
    EXPECT_EQ(len, w.len);
  } else {
    ASSERT_EQ(rc, -1);
    EXPECT_EQ(errno, w.err) << strerror(errno);
    EXPECT_EQ(len, passed) << "the length is left as passed";
  }
  EXPECT_TRUE(std::equal(b.begin(), b.begin() + std::min<size_t>(b.size(), 96), sent.begin()))
      << "the header is left as it was sent";
  if (w.info_count >= 0) {
    ipfw_xtable_info info;
    memcpy(&info, b.data() + 96, sizeof info);
    EXPECT_EQ(info.count, static_cast<uint32_t>(w.info_count));
    EXPECT_EQ(info.size, w.info_size);
    // The server sends back what the store wrote: a failed list's info
    // record too.
    EXPECT_EQ(store->written_end, w.err == 0 ? w.len : 296u);
  } else if (w.err != 0) {
    bytes unmarked = b;
    unmarked[RESULT_AT] = sent[RESULT_AT];
    EXPECT_EQ(unmarked, sent) << "a refused request is left as it was sent";
  }
  if (w.result != 0) {
    EXPECT_EQ(b[RESULT_AT], w.result);
  }
  if (w.entries_after >= 0) {
    EXPECT_EQ(entries_in(store.get(), "t"), w.entries_after);
  }
}

TEST(KernelAnswers, EachFactUnderFreeBSD14And15) {
  for (const fact& f : FACTS) {
    for (int abi : {14, 15}) {
      SCOPED_TRACE(std::string(f.what) + " (FreeBSD " + std::to_string(abi) + ")");
      check(f, abi);
    }
  }
}

}  // namespace
