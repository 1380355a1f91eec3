// SPDX-License-Identifier: BSD-2-Clause
// Inputs the fuzz targets found faulty, kept as ordinary tests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fwtable/entry_render.h"
#include "fwtable/fwctl.h"
#include "fwtable/key_parse.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/table_records.h"

namespace {

std::vector<std::string> handed_on;

int record_key(char* key_text, uint32_t) {
  handed_on.emplace_back(key_text);
  return 0;
}

// The delete command's parse of a key text, against an address table.
ipfw_obj_tentry parse_address_text(const std::string& text) {
  fake_kernel fk;
  fk.answer = [](uint16_t opcode, uint8_t* buf, uint32_t* len) {
    return answer_info(table_info(IPFW_TABLE_ADDR), opcode, buf, len);
  };
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t5", 0);
  ipfw_xtable_info cache;
  memset(&cache, 0, sizeof cache);
  ipfw_obj_tentry parsed;
  memset(&parsed, 0, sizeof parsed);
  std::vector<char> key(text.begin(), text.end());
  key.push_back('\0');
  uint8_t type = 0;
  uint32_t vmask = 0;
  parse_entry_key(&oh, &parsed, key.data(), 0, &type, &vmask, &cache);
  return parsed;
}

// value_format_fuzz: an address entry whose key is an IPv4-compatible IPv6
// address (::a.b.c.d other than :: and ::1) went to the expiry decision,
// and the deletion's parse of its text ended the process with status 65,
// "Use IPv4 instead of v4-compatible", in every cycle once it was due. The
// renderer now passes it over, as it does a mask length past the address's
// width. Every key it hands on parses back to the entry's own key.
TEST(FuzzRegression, AddressKeysHandedOnParseBackToTheSameKey) {
  struct row {
    const char* address;
    uint8_t masklen;
    const char* key_text;  // nullptr: passed over
  };
  const std::vector<row> rows = {
      {"::192.0.2.1", 128, nullptr},
      {"::0.0.0.2", 64, nullptr},
      {"::1", 128, "::1"},
      {"::", 0, "::/0"},
      {"::ffff:192.0.2.1", 128, "::ffff:192.0.2.1"},
      {"198.51.100.0", 24, "198.51.100.0/24"},
      // A mask length past the width: the IPv4 text would be the bare host
      // (another key), the IPv6 one would not parse.
      {"198.51.100.7", 33, nullptr},
      {"fd00::5", 129, nullptr},
  };
  ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR);
  for (const row& r : rows) {
    SCOPED_TRACE(r.address);
    ipfw_obj_tentry entry = address_entry(r.address, r.masklen, 1);  // long past
    EXPECT_NE(entry.subtype, FW_AF_UNSPEC) << "not an address: " << r.address;
    handed_on.clear();
    render_table_entry(&info, &entry, record_key);
    if (r.key_text == nullptr) {
      EXPECT_TRUE(handed_on.empty());
      continue;
    }
    ASSERT_EQ(handed_on, std::vector<std::string>{r.key_text});
    ipfw_obj_tentry parsed = parse_address_text(handed_on[0]);
    EXPECT_EQ(parsed.subtype, entry.subtype);
    EXPECT_EQ(parsed.masklen, entry.masklen);
    EXPECT_EQ(memcmp(parsed.k.raw, entry.k.raw, sizeof entry.k.raw), 0);
  }
}

}  // namespace
