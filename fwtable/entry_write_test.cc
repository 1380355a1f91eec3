// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/entry_write.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fwtable/fwctl.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/table_records.h"

namespace {

template <typename T>
T read_at(const std::vector<uint8_t>& bytes, size_t off) {
  T v;
  EXPECT_LE(off + sizeof v, bytes.size());
  memcpy(&v, bytes.data() + off, sizeof v);
  return v;
}

ipfw_obj_header addr_table_header(const char* name) {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, name, 0);
  oh.ntlv.type = IPFW_TABLE_ADDR;
  return oh;
}

// The request's header as the kernel must get it: the table's, at the
// kernel's version for the opcode.
void expect_header(const std::vector<uint8_t>& b, const ipfw_obj_header& oh, uint16_t opcode) {
  ipfw_obj_header want = oh;
  want.opheader.opcode = opcode;
  want.opheader.version = fw_request_version(opcode);
  EXPECT_EQ(memcmp(b.data(), &want, sizeof want), 0);
}

TEST(EntryWrite, AddRequestFlagsEveryEntryUpdateAndReadsBackEachResult) {
  fake_kernel fk;
  fk.admin("create t valtype tag,mark");
  fk.admin("add t 192.0.2.1 tag=5,mark=6");
  ipfw_obj_header oh = addr_table_header("t");
  // What the caller leaves in the head, result and index is not sent.
  ipfw_obj_tentry entries[2] = {address_entry("192.0.2.1", 32), address_entry("2001:db8::", 64)};
  for (ipfw_obj_tentry& e : entries) {
    e.head.type = 7;
    e.head.flags = 0x80;
    e.result = 9;
    e.idx = 5;
  }
  entries[0].v.tag = 1900000000;
  entries[0].v.mark = 6;
  entries[1].v.tag = 1900000001;

  ASSERT_EQ(write_table_entries(&oh, entries, 2), 0);
  EXPECT_EQ(entries[0].result, IPFW_TR_UPDATED);
  EXPECT_EQ(entries[1].result, IPFW_TR_ADDED);
  EXPECT_EQ(fk.admin("list t"), "192.0.2.1 1900000000,6\n2001:db8::/64 1900000001,0\n");

  ASSERT_EQ(fk.requests.size(), 1u);
  const fake_kernel::request& r = fk.requests[0];
  ASSERT_EQ(r.opcode, IP_FW_TABLE_XADD);
  ASSERT_EQ(r.len, 352u);
  expect_header(r.bytes, oh, IP_FW_TABLE_XADD);
  ipfw_obj_ctlv c = read_at<ipfw_obj_ctlv>(r.bytes, 96);
  EXPECT_EQ(c.head.type, 0);
  EXPECT_EQ(c.head.flags, 0);
  EXPECT_EQ(c.head.length, 256u);
  EXPECT_EQ(c.count, 2u);
  EXPECT_EQ(c.flags, 0) << "not atomic: a full table takes what it can";
  for (size_t i = 0; i < 2; i++) {
    SCOPED_TRACE(i);
    ipfw_obj_tentry sent = read_at<ipfw_obj_tentry>(r.bytes, 112 + 120 * i);
    EXPECT_EQ(sent.head.type, 0);
    EXPECT_EQ(sent.head.flags, IPFW_TF_UPDATE);
    EXPECT_EQ(sent.head.length, 120u);
    EXPECT_EQ(sent.result, 0);
    EXPECT_EQ(sent.idx, 1u);
    EXPECT_EQ(sent.subtype, entries[i].subtype);
    EXPECT_EQ(sent.masklen, entries[i].masklen);
    EXPECT_EQ(memcmp(sent.k.raw, entries[i].k.raw, sizeof sent.k.raw), 0);
    EXPECT_EQ(memcmp(&sent.v, &entries[i].v, sizeof sent.v), 0);
  }
}

TEST(EntryWrite, AFullTableMarksWhatDidNotFitAndALockedOneRefusesAll) {
  fake_kernel fk;
  fk.admin("create t limit 1");
  fk.admin("add t 192.0.2.1 7");
  ipfw_obj_header oh = addr_table_header("t");
  ipfw_obj_tentry entries[2] = {address_entry("192.0.2.1", 32, 8), address_entry("192.0.2.2", 32, 9)};
  EXPECT_EQ(write_table_entries(&oh, entries, 2), EFBIG);
  EXPECT_EQ(entries[0].result, IPFW_TR_UPDATED);
  EXPECT_EQ(entries[1].result, IPFW_TR_LIMIT);

  fk.admin("lock t");
  ipfw_obj_tentry one = address_entry("192.0.2.1", 32, 10);
  EXPECT_EQ(write_table_entries(&oh, &one, 1), EACCES);
  EXPECT_EQ(one.result, IPFW_TR_IGNORED);
  EXPECT_EQ(fk.admin("list t"), "192.0.2.1 8\n");
  EXPECT_EQ(write_table_entries(&oh, &one, 0), EINVAL);
  EXPECT_EQ(fk.requests_of(IP_FW_TABLE_XADD).size(), 2u) << "no request for no entries";
}

TEST(EntryWrite, FindSendsTheKeyAloneAndTakesTheEntryFound) {
  fake_kernel fk;
  fk.admin("create t valtype tag,mark");
  fk.admin("add t 198.51.100.0/24 tag=1900000000,mark=42");
  ipfw_obj_header oh = addr_table_header("t");
  ipfw_obj_tentry e = address_entry("198.51.100.7", 32);
  e.head.flags = 3;
  e.idx = 9;
  ASSERT_EQ(find_table_entry(&oh, &e), 0);
  // The longest prefix holding the address, with its value.
  EXPECT_EQ(e.subtype, FW_AF_INET);
  EXPECT_EQ(e.masklen, 24);
  const uint8_t want[4] = {198, 51, 100, 0};
  EXPECT_EQ(memcmp(e.k.addr4, want, 4), 0);
  EXPECT_EQ(e.v.tag, 1900000000u);
  EXPECT_EQ(e.v.mark, 42u);

  ASSERT_EQ(fk.requests.size(), 1u);
  const fake_kernel::request& r = fk.requests[0];
  EXPECT_EQ(r.opcode, IP_FW_TABLE_XFIND);
  ASSERT_EQ(r.len, 216u);
  expect_header(r.bytes, oh, IP_FW_TABLE_XFIND);
  ipfw_obj_tentry sent = read_at<ipfw_obj_tentry>(r.bytes, 96);
  EXPECT_EQ(sent.head.type, 0);
  EXPECT_EQ(sent.head.flags, 0);
  EXPECT_EQ(sent.head.length, 120u);
  EXPECT_EQ(sent.idx, 1u);
  EXPECT_EQ(sent.subtype, FW_AF_INET);
  EXPECT_EQ(sent.masklen, 32);

  ipfw_obj_tentry absent = address_entry("192.0.2.1", 32);
  EXPECT_EQ(find_table_entry(&oh, &absent), ENOENT);
  ipfw_obj_header missing = addr_table_header("u");
  EXPECT_EQ(find_table_entry(&missing, &absent), ESRCH);
}

// A reply that claims success but is not the whole entry is not read.
TEST(EntryWrite, AShortFindReplyIsABadMessage) {
  fake_kernel fk;
  fk.answer = [](uint16_t, uint8_t* buf, uint32_t* len) {
    memset(buf + 96, 0xEE, 120);
    *len = 200;
    return 0;
  };
  ipfw_obj_header oh = addr_table_header("t");
  ipfw_obj_tentry e = address_entry("192.0.2.1", 32, 5);
  EXPECT_EQ(find_table_entry(&oh, &e), EBADMSG);
  EXPECT_EQ(e.masklen, 32);
  EXPECT_EQ(e.v.tag, 5u);
}

}  // namespace
