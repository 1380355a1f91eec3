// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/due_batch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/process_state.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/fake_platform.h"
#include "tests/support/table_records.h"

namespace {

// The batch of table "5", sent against a fake kernel whose store holds an
// address table "5"; a process exit on the way throws fatal_exit.
struct DueBatch : testing::Test {
  void SetUp() override {
    snprintf(table_name, sizeof table_name, "5");
    due_batch_clear();
    fk.admin("create 5 type addr");
  }
  void TearDown() override {
    due_batch_clear();
    table_name[0] = '\0';
  }

  void add_all(const std::vector<std::string>& keys) {
    for (const std::string& k : keys) EXPECT_EQ(due_batch_add(k.c_str()), 0u);
  }

  fake_kernel fk;
  platform_scope throws{with_throwing_exit()};
};

// Three keys go out in one delete request of 112 + 3 * 120 bytes, after
// the one info request the interpreter makes for the batch: the header at
// the kernel's version with the address type in its name record, the
// container with its length and count, then each key's record in the order
// added.
TEST_F(DueBatch, KeysGoOutInOneRequestInTheOrderAdded) {
  fk.admin("add 5 192.0.2.1 1");
  fk.admin("add 5 198.51.100.0/24 1");
  fk.admin("add 5 2001:db8::/32 1");
  add_all({"192.0.2.1", "198.51.100.0/24", "2001:db8::/32"});
  EXPECT_TRUE(fk.requests.empty()) << "nothing is sent before the batch is";
  EXPECT_EQ(due_batch_size(), 3u);
  EXPECT_EQ(due_batch_send(), 3u);
  EXPECT_EQ(due_batch_size(), 0u);

  ASSERT_EQ(fk.requests.size(), 2u);
  EXPECT_EQ(fk.requests[0].opcode, IP_FW_TABLE_XINFO);
  ASSERT_EQ(fk.requests[1].opcode, IP_FW_TABLE_XDEL);

  std::vector<uint8_t> want(FW_CHANGE_ENTRIES_OFFSET + 3 * sizeof(ipfw_obj_tentry), 0);
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "5", 0);
  oh.opheader.opcode = IP_FW_TABLE_XDEL;
  oh.opheader.version = fw_request_version(IP_FW_TABLE_XDEL);
  oh.ntlv.type = IPFW_TABLE_ADDR;
  memcpy(want.data(), &oh, sizeof oh);
  ipfw_obj_ctlv ctlv;
  memset(&ctlv, 0, sizeof ctlv);
  ctlv.head.length = sizeof ctlv + 3 * sizeof(ipfw_obj_tentry);
  ctlv.count = 3;
  memcpy(want.data() + sizeof oh, &ctlv, sizeof ctlv);
  const ipfw_obj_tentry records[] = {address_entry("192.0.2.1", 32), address_entry("198.51.100.0", 24),
                                     address_entry("2001:db8::", 32)};
  for (size_t i = 0; i < 3; i++)
    memcpy(want.data() + FW_CHANGE_ENTRIES_OFFSET + i * sizeof(ipfw_obj_tentry), &records[i],
           sizeof records[i]);
  EXPECT_EQ(fk.requests[1].len, want.size());
  EXPECT_EQ(fk.requests[1].bytes, want);
  EXPECT_EQ(fk.admin("info 5").find("count: 0") != std::string::npos, true) << fk.admin("info 5");
}

// What a batch counts is what each record's result byte says the kernel
// deleted: keys someone else deleted first (notfound; the request answers
// ENOENT) are passed over in silence and not counted, the rest deleted.
TEST_F(DueBatch, CountsTheRecordsTheKernelSaysItDeleted) {
  struct row {
    const char* name;
    std::vector<std::string> present;
    std::vector<std::string> batch;
    uint64_t deleted;
  };
  const std::vector<row> rows = {
      {"all there", {"192.0.2.1", "192.0.2.2", "192.0.2.3"}, {"192.0.2.1", "192.0.2.2", "192.0.2.3"}, 3},
      {"the middle one gone", {"192.0.2.1", "192.0.2.3"}, {"192.0.2.1", "192.0.2.2", "192.0.2.3"}, 2},
      {"the first one gone", {"192.0.2.2", "192.0.2.3"}, {"192.0.2.1", "192.0.2.2", "192.0.2.3"}, 2},
      {"all gone", {}, {"192.0.2.1", "192.0.2.2"}, 0},
      {"one key, gone", {}, {"192.0.2.1"}, 0},
      {"one key, there", {"192.0.2.1"}, {"192.0.2.1"}, 1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    fk.admin("flush 5");
    for (const std::string& k : r.present) fk.admin("add 5 " + k + " 1");
    add_all(r.batch);
    testing::internal::CaptureStdout();
    uint64_t deleted = 0;
    try {
      deleted = due_batch_send();
    } catch (const fatal_exit& e) {
      ADD_FAILURE() << "the batch would end the process with status " << e.status;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(deleted, r.deleted);
    EXPECT_NE(fk.admin("info 5").find("count: 0"), std::string::npos) << "every key of the batch is gone";
  }
}

// A locked table refuses the batch: the interpreter's report names every
// record of it, and the process ends with status 71.
TEST_F(DueBatch, ALockedTableEndsTheProcessWithTheReportOfTheBatch) {
  fk.admin("add 5 192.0.2.1 1");
  fk.admin("add 5 192.0.2.2 1");
  fk.admin("lock 5");
  add_all({"192.0.2.1", "192.0.2.2"});
  testing::internal::CaptureStdout();
  int status = 0;
  try {
    due_batch_send();
  } catch (const fatal_exit& e) {
    status = e.status;
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 71);
  EXPECT_NE(out.find("192.0.2.1"), std::string::npos) << out;
  EXPECT_NE(out.find("192.0.2.2"), std::string::npos) << out;
  EXPECT_EQ(fk.requests_of(IP_FW_TABLE_XDEL).size(), 1u);
  EXPECT_EQ(due_batch_size(), 0u) << "a batch that failed is not sent again";
}

// An empty batch sends nothing.
TEST_F(DueBatch, AnEmptyBatchSendsNothing) {
  EXPECT_EQ(due_batch_send(), 0u);
  EXPECT_TRUE(fk.requests.empty());
}

}  // namespace
