// SPDX-License-Identifier: BSD-2-Clause
// The two kernels' record layouts byte by byte: the requests the table
// commands send (info, list, delete) with every index, set, type and version
// at the offset the build's kernel reads it from, and a value record with
// every field the renderer knows set at its kernel's offsets.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fwtable/entry_render.h"
#include "fwtable/fw_records.h"
#include "fwtable/table_command.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/fake_platform.h"

namespace {

// A field of a record: width bytes (1, 2 or 4, little-endian) at offset.
struct field {
  size_t offset;
  size_t width;
  uint32_t value;
};

void put(std::vector<uint8_t>* bytes, const field& f) {
  for (size_t i = 0; i < f.width; i++) (*bytes)[f.offset + i] = static_cast<uint8_t>(f.value >> (8 * i));
}

// One request as the build's kernel must receive it: its opcode, the number
// of leading bytes compared, and every byte in them that is not zero (the
// table name "blk" at 32 aside).
struct request_case {
  const char* what;
  uint16_t opcode;
  size_t compared;
  std::vector<field> fields;
};

// The table "blk" is in set 5: the list request names the set the info
// reply gave, the interpreter's own requests set 0. The delete names the
// table's type (1, address) and carries one IPv4 host entry at 112.
const std::vector<request_case> freebsd15_requests = {
    {"info", IP_FW_TABLE_XINFO, 296, {{0, 2, 93}, {2, 2, 1}, {8, 4, 1}, {16, 2, 1}, {20, 4, 80}, {24, 4, 1}}},
    {"list",
     IP_FW_TABLE_XLIST,
     96,
     {{0, 2, 89}, {2, 2, 1}, {8, 4, 1}, {16, 2, 1}, {20, 4, 80}, {24, 4, 1}, {28, 1, 5}}},
    {"delete",
     IP_FW_TABLE_XDEL,
     232,
     {{0, 2, 87},
      {2, 2, 1},
      {8, 4, 1},
      {16, 2, 1},
      {20, 4, 80},
      {24, 4, 1},
      {29, 1, 1},
      {100, 4, 136},
      {104, 4, 1},  // container: length, count
      {116, 4, 120},
      {120, 1, 2},
      {121, 1, 32},
      {124, 4, 1},
      {128, 4, 0x010200C0}}},
};

const std::vector<request_case> freebsd14_requests = {
    {"info",
     IP_FW_TABLE_XINFO,
     296,
     {{0, 2, 93}, {2, 2, 0}, {12, 2, 1}, {16, 2, 1}, {20, 4, 80}, {24, 2, 1}}},
    {"list",
     IP_FW_TABLE_XLIST,
     96,
     {{0, 2, 89}, {2, 2, 1}, {12, 2, 1}, {16, 2, 1}, {20, 4, 80}, {24, 2, 1}, {26, 1, 5}}},
    {"delete",
     IP_FW_TABLE_XDEL,
     232,
     {{0, 2, 87},
      {2, 2, 1},
      {12, 2, 1},
      {16, 2, 1},
      {20, 4, 80},
      {24, 2, 1},
      {27, 1, 1},
      {100, 4, 136},
      {104, 4, 1},  // container: length, count
      {116, 4, 120},
      {120, 1, 2},
      {121, 1, 32},
      {124, 2, 1},
      {128, 4, 0x010200C0}}},
};

// Runs one table command; a fatal end (a request the kernel refused) fails
// the test instead of ending the test program.
void run(std::vector<const char*> words) {
  std::vector<std::string> store(words.begin(), words.end());
  std::vector<char*> argv;
  argv.reserve(store.size());
  for (std::string& w : store) argv.push_back(w.data());
  platform_scope throws(with_throwing_exit());
  try {
    run_table_command(static_cast<int>(argv.size()), argv.data());
  } catch (const fatal_exit& e) {
    ADD_FAILURE() << store[2] << " ended with status " << e.status;
  }
}

void expect_requests(const std::vector<request_case>& cases) {
  fake_kernel k;
  k.admin("create blk type addr");
  // A table whose info reports set 5 (a kernel with table sets enabled; the
  // emulator's tables are all in set 0), so that the set's place in the
  // list request shows.
  k.answer = [&k](uint16_t opcode, uint8_t* buf, uint32_t* len) {
    const int rc = emu_store_get(k.store, buf, len);
    if (rc == 0 && opcode == IP_FW_TABLE_XINFO)
      buf[sizeof(ipfw_obj_header) + offsetof(ipfw_xtable_info, set)] = 5;
    return rc;
  };
  run({"table", "blk", "list"});
  k.admin("add blk 192.0.2.1 7");
  run({"table", "blk", "delete", "192.0.2.1"});
  for (const fake_kernel::request& r : k.requests) EXPECT_EQ(r.result, 0) << "request " << r.opcode;

  std::vector<fake_kernel::request> sent;
  for (const request_case& c : cases) {
    std::vector<fake_kernel::request> of = k.requests_of(c.opcode);
    ASSERT_FALSE(of.empty()) << "no " << c.what << " request was sent";
    sent.push_back(of[0]);
  }
  for (size_t i = 0; i < cases.size(); i++) {
    const request_case& c = cases[i];
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> want(c.compared, 0);
    for (const field& f : c.fields) put(&want, f);
    memcpy(want.data() + 32, "blk", 3);
    ASSERT_EQ(sent[i].opcode, c.opcode);
    ASSERT_GE(sent[i].bytes.size(), c.compared);
    std::vector<uint8_t> got(sent[i].bytes.begin(), sent[i].bytes.begin() + static_cast<long>(c.compared));
    for (size_t at = 0; at < c.compared; at++) EXPECT_EQ(got[at], want[at]) << "byte " << at;
  }
}

// The requests come from code built for one kernel: each build holds its
// own to that kernel's table (CI builds both).
TEST(RequestLayout, OfTheKernelBuiltFor) {
  SCOPED_TRACE("built for FreeBSD " + std::to_string(FW_ABI));
  expect_requests(FW_ABI == 14 ? freebsd14_requests : freebsd15_requests);
}

// A value record with every field the renderer knows, each set at its
// kernel's offset to a number that only its own width holds, and the fields
// it does not render (the kernel's index and reference count) set too. The
// renderer reads either kernel's record, so both run in every build.
template <typename Value>
std::string render(const std::vector<field>& fields) {
  std::vector<uint8_t> raw(sizeof(Value), 0);
  for (const field& f : fields) put(&raw, f);
  Value v;
  memcpy(&v, raw.data(), sizeof v);
  char text[ENTRY_TEXT_SIZE];
  format_entry_value(0x7FF, &v, text);
  return text;
}

// 2001:db8::1 in network order, as four 32-bit little-endian fields at 32.
const std::vector<field> nh6_fields = {{32, 4, 0xB80D0120}, {36, 4, 0}, {40, 4, 0}, {44, 4, 0x01000000}};

TEST(ValueLayout, FreeBSD15) {
  std::vector<field> fields = {
      {0, 4, 4000000001u},  // tag
      {4, 2, 65001},  // pipe
      {6, 2, 65002},  // divert
      {8, 4, 100000},  // skipto
      {12, 4, 4000000002u},  // netgraph
      {16, 4, 4000000003u},  // nat
      {20, 4, 0xC0000201},  // nh4, host order
      {24, 2, 65003},  // fib
      {26, 1, 46},  // dscp
      {28, 4, 0xFFFFFFFF},  // kernel index: not rendered
      {48, 4, 4000000004u},  // limit
      {60, 4, 0xFFFFFFFF},  // reference count: not rendered
  };
  fields.insert(fields.end(), nh6_fields.begin(), nh6_fields.end());
  EXPECT_EQ(render<fw15::ipfw_table_value>(fields),
            "100000,65001,65003,4000000003,46,4000000001,65002,4000000002,4000000004,192.0.2.1,2001:db8::1");
}

TEST(ValueLayout, FreeBSD14) {
  std::vector<field> fields = {
      {0, 4, 4000000001u},  // tag
      {4, 4, 70001},  // pipe
      {8, 2, 65002},  // divert
      {10, 2, 65004},  // skipto
      {12, 4, 4000000002u},  // netgraph
      {16, 4, 70003},  // fib
      {20, 4, 4000000003u},  // nat
      {24, 4, 0xC0000201},  // nh4, host order
      {28, 1, 46},  // dscp
      {29, 1, 0xFF},  // reserved
      {30, 2, 0xFFFF},  // kernel index: not rendered
      {48, 4, 4000000004u},  // limit
      {60, 4, 0xFFFFFFFF},  // reference count: not rendered
  };
  fields.insert(fields.end(), nh6_fields.begin(), nh6_fields.end());
  EXPECT_EQ(render<fw14::ipfw_table_value>(fields),
            "65004,70001,70003,4000000003,46,4000000001,65002,4000000002,4000000004,192.0.2.1,2001:db8::1");
}

}  // namespace
