// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/address_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fwtable/entry_render.h"

namespace {

// A text taken: the key as the sweep then names it, and its mask length.
TEST(AddressKey, TakenAsTheSweepNamesThem) {
  struct row {
    const char* text;
    const char* named;
    uint8_t family;
    uint8_t masklen;
  };
  const std::vector<row> rows = {
      {"192.0.2.7", "192.0.2.7", FW_AF_INET, 32},
      {"192.0.2.7/32", "192.0.2.7", FW_AF_INET, 32},
      // A prefix is kept as the kernel keeps it, without its host bits.
      {"192.0.2.7/24", "192.0.2.0/24", FW_AF_INET, 24},
      {"198.51.100.200/25", "198.51.100.128/25", FW_AF_INET, 25},
      {"10.255.255.255/0", "0.0.0.0/0", FW_AF_INET, 0},
      {"192.0.2.0/024", "192.0.2.0/24", FW_AF_INET, 24},
      {"2001:db8::1", "2001:db8::1", FW_AF_INET6, 128},
      {"2001:db8:0:1:2::/63", "2001:db8::/63", FW_AF_INET6, 63},
      {"2001:DB8::FFFF/128", "2001:db8::ffff", FW_AF_INET6, 128},
      {"::1", "::1", FW_AF_INET6, 128},
      {"::ffff:192.0.2.1", "::ffff:192.0.2.1", FW_AF_INET6, 128},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    ipfw_obj_tentry e;
    memset(&e, 0xA5, sizeof e);
    char why[ADDRESS_KEY_WHY_SIZE] = "";
    ASSERT_TRUE(parse_address_key(r.text, &e, why)) << why;
    EXPECT_EQ(e.subtype, r.family);
    EXPECT_EQ(e.masklen, r.masklen);
    // The whole key area is written: nothing of what was there is left.
    const size_t used = r.family == FW_AF_INET ? 4 : 16;
    for (size_t i = used; i < sizeof e.k.raw; i++) ASSERT_EQ(e.k.raw[i], 0) << i;
    char named[ENTRY_TEXT_SIZE];
    EXPECT_TRUE(format_sweep_key(&e, named));
    EXPECT_STREQ(named, r.named);
  }
}

TEST(AddressKey, RefusedWithTheirReason) {
  struct row {
    const char* text;
    const char* why;
  };
  const std::vector<row> rows = {
      {"", "not an IPv4 or IPv6 address"},
      {"host.example", "not an IPv4 or IPv6 address"},
      {"10.1", "not an IPv4 or IPv6 address"},  // inet_aton would read 10.0.0.1
      {"192.0.2.256", "not an IPv4 or IPv6 address"},
      {" 192.0.2.1", "not an IPv4 or IPv6 address"},
      {"192.0.2.1 ", "not an IPv4 or IPv6 address"},
      {"fe80::1%em0", "not an IPv4 or IPv6 address"},
      {"192.0.2.1/33", "prefix length 33 is more than 32"},
      {"2001:db8::/129", "prefix length 129 is more than 128"},
      {"192.0.2.0/", "prefix length  is not a number"},
      {"192.0.2.0/-1", "prefix length -1 is not a number"},
      {"192.0.2.0/+8", "prefix length +8 is not a number"},
      {"192.0.2.0/4294967320", "prefix length 42949673... is more than 32"},
      {"192.0.2.0/24/8", "prefix length 24/8 is not a number"},
      {"::192.0.2.7", "an IPv4-compatible IPv6 address: give the IPv4 address"},
      {"::2/120", "an IPv4-compatible IPv6 address: give the IPv4 address"},
      {"2001:db8::1/64xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", "not an IPv4 or IPv6 address"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    ipfw_obj_tentry e;
    memset(&e, 0, sizeof e);
    char why[ADDRESS_KEY_WHY_SIZE] = "";
    EXPECT_FALSE(parse_address_key(r.text, &e, why));
    EXPECT_STREQ(why, r.why);
    EXPECT_EQ(e.subtype, 0) << "the entry is left alone";
  }
}

}  // namespace
