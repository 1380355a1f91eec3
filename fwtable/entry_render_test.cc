// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/entry_render.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fwtable/value_fields.h"
#include "tests/support/table_records.h"

namespace {

using calls_t = std::vector<std::pair<std::string, uint32_t>>;

// What the address-entry handler received, in order.
calls_t received;

int capture_address(char* key_text, uint32_t expiry) {
  received.emplace_back(key_text, expiry);
  return 0;
}

ipfw_obj_tentry legacy(ipfw_obj_tentry e, uint32_t tag) {
  e.v.tag = tag;
  return e;
}

template <typename Value>
std::string value_text(uint32_t vmask, const Value& v) {
  char buf[ENTRY_TEXT_SIZE];
  memset(buf, 0xAA, sizeof buf);
  format_entry_value(vmask, &v, buf);
  return buf;
}

TEST(FormatAddressKey, HostsBareAndPrefixesWithTheirLength) {
  struct row {
    const char* addr;
    uint8_t masklen;
    const char* want;
  };
  const std::vector<row> rows = {
      {"192.0.2.7", 32, "192.0.2.7"},
      {"198.51.100.0", 24, "198.51.100.0/24"},
      {"0.0.0.0", 0, "0.0.0.0/0"},
      {"10.0.0.0", 31, "10.0.0.0/31"},
      {"fd00::5", 128, "fd00::5"},
      {"fd00:1::", 64, "fd00:1::/64"},
      {"::", 0, "::/0"},
      {"2001:db8::1", 127, "2001:db8::1/127"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.want);
    ipfw_obj_tentry e = address_entry(r.addr, r.masklen);
    char buf[ENTRY_TEXT_SIZE];
    memset(buf, 0xAA, sizeof buf);
    format_address_key(&e, buf);
    EXPECT_STREQ(buf, r.want);
  }
}

// IPv4 texts are written without inet_ntop, and must read exactly as its:
// every octet value at every place, beside the widths it meets.
TEST(FormatAddressKey, Ipv4TextIsInetNtopsOwn) {
  for (unsigned v = 0; v < 256; v++) {
    for (unsigned other : {0u, 9u, 10u, 99u, 100u, 255u}) {
      const uint8_t octets[][4] = {{static_cast<uint8_t>(v), static_cast<uint8_t>(other),
                                    static_cast<uint8_t>(255 - v), static_cast<uint8_t>(v ^ other)},
                                   {static_cast<uint8_t>(other), static_cast<uint8_t>(v),
                                    static_cast<uint8_t>(other), static_cast<uint8_t>(v)}};
      for (const auto& o : octets) {
        ipfw_obj_tentry e = address_entry("0.0.0.0", 32);
        memcpy(e.k.addr4, o, 4);
        char want[INET_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, o, want, sizeof want), nullptr);
        char key[ENTRY_TEXT_SIZE];
        format_address_key(&e, key);
        ASSERT_STREQ(key, want);
      }
    }
  }
}

TEST(FormatAddressKey, UnknownFamilyGivesEmptyText) {
  for (uint8_t family : {FW_AF_UNSPEC, FW_AF_LINK, uint8_t{10}, uint8_t{255}}) {
    SCOPED_TRACE(family);
    ipfw_obj_tentry e = address_entry("192.0.2.7", 24);
    e.subtype = family;
    char buf[ENTRY_TEXT_SIZE];
    memset(buf, 0xAA, sizeof buf);
    format_address_key(&e, buf);
    EXPECT_STREQ(buf, "");
  }
}

// A mask length past the address's width names no key: no text rather
// than the bare host (IPv4) or a "/129" that key parsing refuses (IPv6).
TEST(FormatAddressKey, MaskLengthPastTheWidthGivesEmptyText) {
  struct row {
    const char* addr;
    uint8_t masklen;
  };
  const std::vector<row> rows = {{"192.0.2.7", 33}, {"192.0.2.7", 255}, {"fd00::5", 129}, {"fd00::5", 255}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.addr) + "/" + std::to_string(r.masklen));
    ipfw_obj_tentry e = address_entry(r.addr, r.masklen);
    char buf[ENTRY_TEXT_SIZE];
    memset(buf, 0xAA, sizeof buf);
    format_address_key(&e, buf);
    EXPECT_STREQ(buf, "");
  }
}

// The value text's rules, shown on FreeBSD 15's value record in every build
// (the renderer reads either kernel's; where each field lies in each is
// request_layout_test.cc's).
TEST(FormatEntryValue, FieldsInBitOrder) {
  struct row {
    const char* name;
    uint32_t vmask;
    std::function<void(fw15::ipfw_table_value&)> set;
    const char* want;
  };
  auto nh6 = [](fw15::ipfw_table_value& v, const char* text, uint32_t zone) {
    ASSERT_EQ(inet_pton(AF_INET6, text, v.nh6), 1);
    v.zoneid = zone;
  };
  const std::vector<row> rows = {
      {"legacy", IPFW_VTYPE_LEGACY, [](auto& v) { v.tag = 500; }, "500"},
      {"legacy widest", IPFW_VTYPE_LEGACY, [](auto& v) { v.tag = 4294967295u; }, "4294967295"},
      {"skipto", IPFW_VTYPE_SKIPTO, [](auto& v) { v.skipto = 100; }, "100"},
      {"skipto signed", IPFW_VTYPE_SKIPTO, [](auto& v) { v.skipto = 4294967295u; }, "-1"},
      {"pipe", IPFW_VTYPE_PIPE, [](auto& v) { v.pipe = 65535; }, "65535"},
      {"fib", IPFW_VTYPE_FIB, [](auto& v) { v.fib = 3; }, "3"},
      {"nat", IPFW_VTYPE_NAT, [](auto& v) { v.nat = 4000000000u; }, "4000000000"},
      {"dscp", IPFW_VTYPE_DSCP, [](auto& v) { v.dscp = 255; }, "255"},
      {"tag", IPFW_VTYPE_TAG, [](auto& v) { v.tag = 5; }, "5"},
      {"divert", IPFW_VTYPE_DIVERT, [](auto& v) { v.divert = 65535; }, "65535"},
      {"netgraph", IPFW_VTYPE_NETGRAPH, [](auto& v) { v.netgraph = 7; }, "7"},
      {"limit", IPFW_VTYPE_LIMIT, [](auto& v) { v.limit = 9; }, "9"},
      {"ipv4 from host order", IPFW_VTYPE_NH4, [](auto& v) { v.nh4 = 0xC0000201; }, "192.0.2.1"},
      {"ipv6", IPFW_VTYPE_NH6, [&](auto& v) { nh6(v, "2001:db8::1", 0); }, "2001:db8::1"},
      {"ipv6 with scope", IPFW_VTYPE_NH6, [&](auto& v) { nh6(v, "fe80::1", 4000000); }, "fe80::1%4000000"},
      {"skipto and tag", IPFW_VTYPE_SKIPTO | IPFW_VTYPE_TAG,
       [](auto& v) {
         v.skipto = 100;
         v.tag = 5;
       },
       "100,5"},
      {"pipe, ipv4, ipv6", 0x602,
       [&](auto& v) {
         v.pipe = 7;
         v.nh4 = 0xC0000201;
         nh6(v, "2001:db8::1", 0);
       },
       "7,192.0.2.1,2001:db8::1"},
      {"mark", IPFW_VTYPE_MARK, [](auto& v) { v.mark = 4294967295u; }, "4294967295"},
      {"tag, ipv6, mark", IPFW_VTYPE_TAG | IPFW_VTYPE_NH6 | IPFW_VTYPE_MARK,
       [&](auto& v) {
         v.tag = 5;
         nh6(v, "2001:db8::1", 0);
         v.mark = 9;
       },
       "5,2001:db8::1,9"},
      {"only high bits", 0x7FFFF000, [](auto& v) { v.tag = 5; }, ""},
      {"mark among high bits", 0x7FFFF800, [](auto& v) { v.mark = 6; }, "6"},
      {"no bits", 0, [](auto& v) { v.tag = 5; }, ""},
      {"bit 31 is not a field", 0x80000000u | IPFW_VTYPE_TAG, [](auto& v) { v.tag = 5; }, "5"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fw15::ipfw_table_value v;
    memset(&v, 0, sizeof v);
    r.set(v);
    EXPECT_EQ(value_text(r.vmask, v), r.want);
  }
}

// Every field at its widest passes 127 characters: the text keeps the whole
// fields that fit, drops the rest, and nothing is written past 128 bytes.
TEST(FormatEntryValue, WidestFieldsStayWithinTheBuffer) {
  fw15::ipfw_table_value v;
  memset(&v, 0, sizeof v);
  v.skipto = 0x80000000u;
  v.pipe = v.fib = v.divert = 65535;
  v.dscp = 255;
  v.nat = v.tag = v.netgraph = v.limit = 4294967295u;
  v.nh4 = 0xFFFFFFFFu;
  memset(v.nh6, 0xFF, sizeof v.nh6);
  v.nh6[0] = 0xFE;
  v.nh6[1] = 0x80;
  v.zoneid = 4294967295u;

  char buf[ENTRY_TEXT_SIZE + 64];
  memset(buf, 0xAA, sizeof buf);
  format_entry_value(0x7FF, &v, buf);
  EXPECT_STREQ(
      buf, "-2147483648,65535,65535,4294967295,255,4294967295,65535,4294967295,4294967295,255.255.255.255");
  for (size_t i = ENTRY_TEXT_SIZE; i < sizeof buf; i++) ASSERT_EQ(static_cast<uint8_t>(buf[i]), 0xAA) << i;

  // A field that fills the text to exactly 127 characters once its comma
  // goes is kept whole.
  const uint8_t six[16] = {0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44,
                           0x55, 0x55, 0x66, 0x66, 0,    7,    0,    8};
  memcpy(v.nh6, six, sizeof six);
  v.zoneid = 0;
  std::string exact = value_text(0x7FF, v);
  EXPECT_EQ(exact,
            "-2147483648,65535,65535,4294967295,255,4294967295,65535,4294967295,4294967295,255.255.255.255,"
            "1111:2222:3333:4444:5555:6666:7:8");
  EXPECT_EQ(exact.size(), ENTRY_TEXT_SIZE - 1);

  // With small numbers the same IPv6 field fits and is kept.
  memset(v.nh6, 0xFF, sizeof v.nh6);
  v.nh6[0] = 0xFE;
  v.nh6[1] = 0x80;
  v.zoneid = 4294967295u;
  v.skipto = v.nat = v.tag = v.netgraph = v.limit = 1;
  EXPECT_EQ(
      value_text(0x7FF, v),
      "1,65535,65535,1,255,1,65535,1,1,255.255.255.255,fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295");
}

// An address table hands every entry to the handler and prints nothing.
TEST(RenderTableEntry, AddressEntriesGoToTheHandler) {
  struct row {
    const char* name;
    uint32_t vmask;
    ipfw_obj_tentry entry;
    std::string key;
    uint32_t expiry;
  };
  ipfw_obj_tentry netgraph_limit = address_entry("192.0.2.8", 32);
  netgraph_limit.v.netgraph = 100;
  netgraph_limit.v.limit = 5;
  // All ones: -1 in FreeBSD 15's 32-bit field, the expiry its bits (14's
  // 16-bit field cannot hold a time: below).
  ipfw_obj_tentry skip_minus = address_entry("192.0.2.9", 32);
  skip_minus.v.skipto = std::numeric_limits<decltype(skip_minus.v.skipto)>::max();
  ipfw_obj_tentry mark = address_entry("192.0.2.10", 32, 5);
  mark.v.mark = 1700000000;
  ipfw_obj_tentry no_family = address_entry("192.0.2.11", 32, 3);
  no_family.subtype = FW_AF_UNSPEC;
  std::vector<row> rows = {
      {"legacy IPv4 host", IPFW_VTYPE_LEGACY, address_entry("192.0.2.7", 32, 500), "192.0.2.7", 500},
      {"IPv4 prefix", IPFW_VTYPE_LEGACY, address_entry("198.51.100.0", 24, 1), "198.51.100.0/24", 1},
      {"IPv6 prefix", IPFW_VTYPE_LEGACY, address_entry("fd00:1::", 64, 2), "fd00:1::/64", 2},
      {"IPv6 host", IPFW_VTYPE_LEGACY, address_entry("fd00::5", 128, 2), "fd00::5", 2},
      {"legacy widest", IPFW_VTYPE_LEGACY, address_entry("192.0.2.7", 32, 4294967295u), "192.0.2.7",
       4294967295u},
      {"leading number of several fields", IPFW_VTYPE_NETGRAPH | IPFW_VTYPE_LIMIT, netgraph_limit,
       "192.0.2.8", 100},
      {"mark", IPFW_VTYPE_MARK, mark, "192.0.2.10", 1700000000},
      {"mark behind high bits", IPFW_VTYPE_MARK | 0x1000, mark, "192.0.2.10", 1700000000},
  };
  if (FW_ABI == 15)
    rows.push_back({"skipto all ones", IPFW_VTYPE_SKIPTO, skip_minus, "192.0.2.9", skip_minus.v.skipto});
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    received.clear();
    ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR, r.vmask);
    testing::internal::CaptureStdout();
    render_table_entry(&info, &r.entry, capture_address);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(received, (calls_t{{r.key, r.expiry}}));
  }

  // An address of a family with no text names no key a deletion could
  // find, and a value that is not a time has no time to pass: such entries
  // are passed over, never handed on as an empty key or as expiry 0; so is
  // a value led by a number too narrow for a time, whatever the field after
  // it holds.
  ipfw_obj_tentry nat_tag = address_entry("192.0.2.17", 32, 4000000000u);
  nat_tag.v.nat = 1;
  ipfw_obj_tentry nh4_value = address_entry("192.0.2.12", 32, 5);
  nh4_value.v.nh4 = 0xC0000202;
  ipfw_obj_tentry nh6_value = address_entry("192.0.2.13", 32, 5);
  inet_pton(AF_INET6, "2001:db8::2", nh6_value.v.nh6);
  nh6_value.v.mark = 1;
  std::vector<std::pair<uint32_t, ipfw_obj_tentry>> passed_over = {
      {IPFW_VTYPE_LEGACY, no_family},
      {IPFW_VTYPE_NAT | IPFW_VTYPE_TAG, nat_tag},
      {IPFW_VTYPE_NH4, nh4_value},
      {IPFW_VTYPE_NH4 | IPFW_VTYPE_MARK, nh4_value},
      {IPFW_VTYPE_NH6 | IPFW_VTYPE_MARK, nh6_value},
      {0x1000, address_entry("192.0.2.14", 32, 5)},
      {0x80000000u, address_entry("192.0.2.15", 32, 5)},
      {0, address_entry("192.0.2.16", 32, 5)},
  };
  if (FW_ABI == 14) passed_over.push_back({IPFW_VTYPE_SKIPTO, skip_minus});
  for (const auto& [vmask, entry] : passed_over) {
    SCOPED_TRACE("vmask " + std::to_string(vmask));
    received.clear();
    ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR, vmask);
    testing::internal::CaptureStdout();
    render_table_entry(&info, &entry, capture_address);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(received.empty());
  }
}

// A value text is a time only when its first field is digits with at most
// a leading minus sign; its number is then atoi's reading, modulo 2^32.
TEST(ValueTextExpiry, OnlyADecimalFirstFieldIsATime) {
  struct row {
    const char* text;
    bool timed;
    uint32_t expiry;
  };
  const std::vector<row> rows = {
      {"123", true, 123},
      {"0", true, 0},
      {"-5", true, 4294967291u},
      {"-1", true, 4294967295u},
      {"4294967295", true, 4294967295u},
      {"12,34", true, 12},
      {"-2147483648,65535", true, 2147483648u},
      {"12,192.0.2.2", true, 12},
      {"", false, 0},
      {"-", false, 0},
      {"-,5", false, 0},
      {",5", false, 0},
      {"192.0.2.2", false, 0},
      {"192.0.2.2,5", false, 0},
      {"2001:db8::1", false, 0},
      {"12abc", false, 0},
      {"12 ", false, 0},
      {"+5", false, 0},
      {" 5", false, 0},
      {"--5", false, 0},
      {"5-", false, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string("\"") + r.text + "\"");
    uint32_t expiry = 77;
    EXPECT_EQ(value_text_expiry(r.text, &expiry), r.timed);
    EXPECT_EQ(expiry, r.timed ? r.expiry : 77u);
  }
}

// The expiry read straight from the value record is what the value text
// says, time or not, for every mask of fields and values at their edges;
// except that a text led by a field that cannot hold a time is no time.
TEST(ValueExpiry, AgreesWithTheValueText) {
  ipfw_table_value widest;
  memset(&widest, 0xFF, sizeof widest);
  // The top bit alone: skipto's longest text (it is written signed).
  widest.skipto = std::numeric_limits<decltype(widest.skipto)>::max() / 2 + 1;
  ipfw_table_value small;
  memset(&small, 0, sizeof small);
  small.skipto = 7;
  small.pipe = 1;
  small.dscp = 63;
  small.tag = 1700000000;
  small.nh4 = 0x0A000001;
  inet_pton(AF_INET6, "2001:db8::1", small.nh6);
  ipfw_table_value scoped = small;
  inet_pton(AF_INET6, "fe80::1", scoped.nh6);
  scoped.zoneid = 3;
  ipfw_table_value zero;
  memset(&zero, 0, sizeof zero);
  const ipfw_table_value values[] = {widest, small, scoped, zero};

  std::vector<uint32_t> masks = {IPFW_VTYPE_LEGACY, 0x1000,      0x80000000u,
                                 0xFFFFF000u,       0xFFFFF800u, 0xFFFFFFFEu};
  for (uint32_t m = 0; m <= 0xFFF; m++) masks.push_back(m);
  for (const auto& v : values) {
    for (uint32_t m : masks) {
      std::string text = value_text(m, v);
      uint32_t want = 0;
      const value_field* lead = leading_value_field(fw_built::value_layout, m);
      const bool timed =
          value_text_expiry(text.c_str(), &want) &&
          (lead == nullptr || lead->kind != value_kind::number || value_field_holds_time(*lead));
      uint32_t got = 0;
      ASSERT_EQ(value_expiry(m, &v, &got), timed) << "mask " << m << " text \"" << text << "\"";
      if (timed) {
        ASSERT_EQ(got, want) << "mask " << m << " text \"" << text << "\"";
      }
    }
  }
}

namespace {

std::vector<std::pair<uint32_t, bool>> asked;

// Due when the entry is removable and its expiry below 100.
bool due_below_100(uint32_t expiry, bool removable) {
  asked.emplace_back(expiry, removable);
  return removable && expiry < 100;
}

}  // namespace

// With a due test, asked once of every entry, an entry that is not due
// never reaches the handler; a due one does, with its key text. The test
// is told of an entry the sweep cannot remove (no deletable key, or a value
// that is not a time), which is passed over whatever the clock says.
TEST(RenderTableEntry, EntriesNotDueArePassedOverEarly) {
  ipfw_obj_tentry no_family = address_entry("192.0.2.11", 32, 3);
  no_family.subtype = FW_AF_UNSPEC;
  ipfw_obj_tentry netgraph_due = address_entry("192.0.2.12", 32);
  netgraph_due.v.netgraph = 99;
  netgraph_due.v.limit = 500;
  ipfw_obj_tentry netgraph_not_due = address_entry("192.0.2.13", 32);
  netgraph_not_due.v.netgraph = 100;
  netgraph_not_due.v.limit = 5;
  ipfw_obj_tentry pipe_due = address_entry("192.0.2.16", 32, 5);
  pipe_due.v.pipe = 1;
  ipfw_obj_tentry nh4_value = address_entry("192.0.2.14", 32, 5);
  nh4_value.v.nh4 = 0xC0000201;
  struct row {
    const char* name;
    uint32_t vmask;
    ipfw_obj_tentry entry;
    std::pair<uint32_t, bool> asked;
    calls_t want;
  };
  const std::vector<row> rows = {
      {"due", IPFW_VTYPE_LEGACY, address_entry("fd00:1::", 64, 99), {99, true}, {{"fd00:1::/64", 99}}},
      {"not due", IPFW_VTYPE_LEGACY, address_entry("192.0.2.7", 32, 100), {100, true}, {}},
      {"due without a key", IPFW_VTYPE_LEGACY, no_family, {0, false}, {}},
      {"due, IPv4 mask length 33", IPFW_VTYPE_LEGACY, address_entry("192.0.2.7", 33, 1), {0, false}, {}},
      {"due, IPv6 mask length 129", IPFW_VTYPE_LEGACY, address_entry("fd00::5", 129, 1), {0, false}, {}},
      {"due, IPv4-compatible", IPFW_VTYPE_LEGACY, address_entry("::192.0.2.7", 128, 1), {0, false}, {}},
      {"due by its first field",
       IPFW_VTYPE_NETGRAPH | IPFW_VTYPE_LIMIT,
       netgraph_due,
       {99, true},
       {{"192.0.2.12", 99}}},
      {"not due by its first field",
       IPFW_VTYPE_LIMIT | IPFW_VTYPE_NETGRAPH,
       netgraph_not_due,
       {100, true},
       {}},
      {"led by a field too narrow for a time", IPFW_VTYPE_PIPE | IPFW_VTYPE_TAG, pipe_due, {0, false}, {}},
      {"an address value", IPFW_VTYPE_NH4, nh4_value, {0, false}, {}},
      {"no field", 0x1000, address_entry("192.0.2.15", 32, 1), {0, false}, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    received.clear();
    asked.clear();
    ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR, r.vmask);
    render_table_entry(&info, &r.entry, capture_address, due_below_100);
    EXPECT_EQ(asked, (std::vector<std::pair<uint32_t, bool>>{r.asked}));
    EXPECT_EQ(received, r.want);
  }
}

// Without a handler (the failure report of a record change) an address
// entry is printed, and nothing can start a deletion.
TEST(RenderTableEntry, AddressEntryWithoutHandlerIsPrinted) {
  ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR, IPFW_VTYPE_LEGACY);
  ipfw_obj_tentry e = address_entry("198.51.100.0", 24, 500);
  testing::internal::CaptureStdout();
  render_table_entry(&info, &e, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "198.51.100.0/24 500\n");
}

TEST(RenderTableEntry, OtherTablesPrintOneLine) {
  struct row {
    const char* name;
    ipfw_xtable_info info;
    ipfw_obj_tentry entry;
    const char* want;
  };
  ipfw_obj_tentry iface = legacy(blank_entry(), 3);
  strcpy(iface.k.iface, "em0");
  iface.masklen = 128;
  ipfw_obj_tentry iface_full = legacy(blank_entry(), 4);
  memcpy(iface_full.k.iface, "abcdefghijklmnop", 16);  // no NUL in its 16 bytes
  iface_full.k.raw[16] = 'X';
  ipfw_obj_tentry number = legacy(blank_entry(), 0);
  number.k.number = 80;
  ipfw_obj_tentry mac = legacy(blank_entry(), 9);
  const uint8_t mac_bytes[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  memcpy(mac.k.mac, mac_bytes, 6);
  mac.subtype = FW_AF_LINK;
  mac.masklen = 48;

  ipfw_obj_tentry flow4 = legacy(blank_entry(), 7);
  flow4.subtype = flow4.k.flow.af = FW_AF_INET;
  flow4.k.flow.proto = 6;
  flow4.k.flow.sport = htons(1234);
  flow4.k.flow.dport = htons(22);
  inet_pton(AF_INET, "192.0.2.1", &flow4.k.flow.addr[0]);
  inet_pton(AF_INET, "192.0.2.9", &flow4.k.flow.addr[4]);
  ipfw_obj_tentry flow6 = legacy(blank_entry(), 7);
  flow6.subtype = flow6.k.flow.af = FW_AF_INET6;
  flow6.k.flow.proto = 17;
  flow6.k.flow.sport = htons(53);
  flow6.k.flow.dport = htons(5353);
  inet_pton(AF_INET6, "2001:db8::1", &flow6.k.flow.addr[0]);
  inet_pton(AF_INET6, "2001:db8::2", &flow6.k.flow.addr[16]);
  ipfw_obj_tentry flow_none = flow4;
  flow_none.subtype = flow_none.k.flow.af = FW_AF_UNSPEC;

  const std::vector<row> rows = {
      {"iface", table_info(IPFW_TABLE_INTERFACE, IPFW_VTYPE_LEGACY), iface, "em0 3\n"},
      {"iface name filling its field", table_info(IPFW_TABLE_INTERFACE, IPFW_VTYPE_LEGACY), iface_full,
       "abcdefghijklmnop 4\n"},
      {"number", table_info(IPFW_TABLE_NUMBER, IPFW_VTYPE_LEGACY), number, "80 0\n"},
      {"mac", table_info(IPFW_TABLE_MAC, IPFW_VTYPE_LEGACY), mac, "00:11:22:33:44:55/48 9\n"},
      {"flow src-ip, proto, dst-port", table_info(IPFW_TABLE_FLOW, IPFW_VTYPE_LEGACY, 0x19), flow4,
       "192.0.2.1,6,22 7\n"},
      {"flow src-port before dst-ip", table_info(IPFW_TABLE_FLOW, IPFW_VTYPE_LEGACY, 0x06), flow4,
       "1234,192.0.2.9 7\n"},
      {"flow all fields, IPv6", table_info(IPFW_TABLE_FLOW, IPFW_VTYPE_LEGACY, 0x1F), flow6,
       "2001:db8::1,17,53,2001:db8::2,5353 7\n"},
      {"flow no fields", table_info(IPFW_TABLE_FLOW, IPFW_VTYPE_LEGACY, 0), flow4, " 7\n"},
      {"flow without a family", table_info(IPFW_TABLE_FLOW, IPFW_VTYPE_LEGACY, 0x03), flow_none, ", 7\n"},
      {"number with several value fields", table_info(IPFW_TABLE_NUMBER, 0x21), number, "80 0,0\n"},
      {"type 0", table_info(0, IPFW_VTYPE_LEGACY), number, ""},
      {"type 6", table_info(6, IPFW_VTYPE_LEGACY), number, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    received.clear();
    testing::internal::CaptureStdout();
    render_table_entry(&r.info, &r.entry, capture_address);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), r.want);
    EXPECT_TRUE(received.empty());
  }
}

}  // namespace
