// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/key_parse.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "fwtable/fwctl.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/table_records.h"

namespace {

constexpr int EXIT_DATAERR = 65;
constexpr int EXIT_NOHOST = 68;
constexpr int EXIT_OSERR = 71;

// Answers the info request with a table of the given type, as the kernel
// does; anything else is refused.
void script_info(fake_kernel& fk, uint8_t type, uint8_t tflags = 0, uint32_t vmask = IPFW_VTYPE_LEGACY) {
  fk.answer = [info = table_info(type, vmask, tflags)](uint16_t opcode, uint8_t* buf, uint32_t* len) {
    return answer_info(info, opcode, buf, len);
  };
}

ipfw_obj_header table_header(const char* name) {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, name, 0);
  return oh;
}

struct parsed {
  ipfw_obj_tentry entry;
  uint8_t type;
  uint32_t vmask;
  std::string text_after;  // the key text as the parser left it
};

// Parses one key text against a table of the given type, with a fresh cache.
parsed parse_one(uint8_t type, uint8_t tflags, const std::string& text, int add = 0) {
  fake_kernel fk;
  script_info(fk, type, tflags);
  ipfw_obj_header oh = table_header("t5");
  ipfw_xtable_info cache;
  memset(&cache, 0, sizeof cache);
  std::vector<char> key(text.begin(), text.end());
  key.push_back('\0');
  parsed p;
  memset(&p.entry, 0, sizeof p.entry);
  p.type = 0xEE;
  p.vmask = 0;
  parse_entry_key(&oh, &p.entry, key.data(), add, &p.type, &p.vmask, &cache);
  p.text_after = key.data();
  return p;
}

std::vector<uint8_t> v4(const char* text) {
  std::vector<uint8_t> b(4);
  EXPECT_EQ(inet_pton(AF_INET, text, b.data()), 1) << text;
  return b;
}

std::vector<uint8_t> v6(const char* text) {
  std::vector<uint8_t> b(16);
  EXPECT_EQ(inet_pton(AF_INET6, text, b.data()), 1) << text;
  return b;
}

std::vector<uint8_t> number_key(uint32_t n) {
  std::vector<uint8_t> b(4);
  memcpy(b.data(), &n, 4);
  return b;
}

// The 40-byte key of a flow: family, protocol, ports in network order, then
// the addresses (IPv4 source at 24 and destination at 28 of the entry,
// IPv6 at 24 and 40).
std::vector<uint8_t> flow_key(uint8_t af, uint8_t proto, uint16_t sport, uint16_t dport,
                              const std::vector<uint8_t>& src = {}, const std::vector<uint8_t>& dst = {}) {
  std::vector<uint8_t> b(40, 0);
  b[0] = af;
  b[1] = proto;
  uint16_t s = htons(sport), d = htons(dport);
  memcpy(&b[4], &s, 2);
  memcpy(&b[6], &d, 2);
  std::copy(src.begin(), src.end(), b.begin() + 8);
  const std::ptrdiff_t dst_at = af == FW_AF_INET6 ? 24 : 12;
  std::copy(dst.begin(), dst.end(), b.begin() + dst_at);
  return b;
}

std::vector<uint8_t> key_area(const ipfw_obj_tentry& e) {
  return std::vector<uint8_t>(e.k.raw, e.k.raw + 40);
}

std::vector<uint8_t> padded(std::vector<uint8_t> b) {
  b.resize(40, 0);
  return b;
}

constexpr uint8_t SRC_DST_DPORT = IPFW_TFFLAG_SRCIP | IPFW_TFFLAG_DSTIP | IPFW_TFFLAG_DSTPORT;
constexpr uint8_t ALL_FLOW_FIELDS = 0x1f;

TEST(KeyParse, AcceptedKeysOfEveryTableType) {
  struct row {
    uint8_t type;
    uint8_t tflags;
    std::string text;
    uint8_t family;
    uint8_t masklen;
    std::vector<uint8_t> key;  // leading bytes of the key area; the rest is zero
  };
  const std::string long_name = "abcdefghijklmnopqrst";
  const std::vector<row> rows = {
      {IPFW_TABLE_ADDR, 0, "192.0.2.1", FW_AF_INET, 32, v4("192.0.2.1")},
      {IPFW_TABLE_ADDR, 0, "192.0.2.0/24", FW_AF_INET, 24, v4("192.0.2.0")},
      {IPFW_TABLE_ADDR, 0, "192.0.2.0/x", FW_AF_INET, 0, v4("192.0.2.0")},
      {IPFW_TABLE_ADDR, 0, "192.0.2.0/32", FW_AF_INET, 32, v4("192.0.2.0")},
      // The width has an upper bound only: a negative one keeps its low
      // eight bits.
      {IPFW_TABLE_ADDR, 0, "192.0.2.0/-232", FW_AF_INET, 24, v4("192.0.2.0")},
      {IPFW_TABLE_ADDR, 0, "2001:db8::/-200", FW_AF_INET6, 56, v6("2001:db8::")},
      {IPFW_TABLE_ADDR, 0, "2001:db8::1", FW_AF_INET6, 128, v6("2001:db8::1")},
      {IPFW_TABLE_ADDR, 0, "2001:db8::/64", FW_AF_INET6, 64, v6("2001:db8::")},
      {IPFW_TABLE_ADDR, 0, "fd00::/128", FW_AF_INET6, 128, v6("fd00::")},
      {IPFW_TABLE_ADDR, 0, "::", FW_AF_INET6, 128, v6("::")},
      {IPFW_TABLE_ADDR, 0, "::1", FW_AF_INET6, 128, v6("::1")},
      // The shortened IPv4 forms and host names take no width.
      {IPFW_TABLE_ADDR, 0, "10.1", FW_AF_INET, 32, v4("10.0.0.1")},
      {IPFW_TABLE_ADDR, 0, "10.1/99", FW_AF_INET, 32, v4("10.0.0.1")},
      {IPFW_TABLE_ADDR, 0, "localhost/8", FW_AF_INET, 32, v4("127.0.0.1")},
      {IPFW_TABLE_INTERFACE, 0, "em0", FW_AF_UNSPEC, 128, {'e', 'm', '0'}},
      {IPFW_TABLE_INTERFACE, 0, long_name, FW_AF_UNSPEC, 128,
       std::vector<uint8_t>(long_name.begin(), long_name.begin() + 15)},
      {IPFW_TABLE_INTERFACE, 0, "", FW_AF_UNSPEC, 128, {}},
      {IPFW_TABLE_NUMBER, 0, "42", FW_AF_UNSPEC, 32, number_key(42)},
      {IPFW_TABLE_NUMBER, 0, "", FW_AF_UNSPEC, 32, number_key(0)},
      {IPFW_TABLE_NUMBER, 0, " +7", FW_AF_UNSPEC, 32, number_key(7)},
      {IPFW_TABLE_NUMBER, 0, "4294967295", FW_AF_UNSPEC, 32, number_key(4294967295u)},
      // No range check: the low 32 bits of the number.
      {IPFW_TABLE_NUMBER, 0, "-1", FW_AF_UNSPEC, 32, number_key(4294967295u)},
      {IPFW_TABLE_NUMBER, 0, "4294967298", FW_AF_UNSPEC, 32, number_key(2)},
      {IPFW_TABLE_FLOW, SRC_DST_DPORT, "192.0.2.1,192.0.2.2,80", FW_AF_INET, 0,
       flow_key(FW_AF_INET, 0, 0, 80, v4("192.0.2.1"), v4("192.0.2.2"))},
      {IPFW_TABLE_FLOW, SRC_DST_DPORT, "2001:db8::1,2001:db8::2,443", FW_AF_INET6, 0,
       flow_key(FW_AF_INET6, 0, 0, 443, v6("2001:db8::1"), v6("2001:db8::2"))},
      {IPFW_TABLE_FLOW, ALL_FLOW_FIELDS, "192.0.2.1,6,1234,192.0.2.2,22", FW_AF_INET, 0,
       flow_key(FW_AF_INET, 6, 1234, 22, v4("192.0.2.1"), v4("192.0.2.2"))},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_PROTO, "tcp", FW_AF_UNSPEC, 0, flow_key(0, 6, 0, 0)},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_PROTO, "255", FW_AF_UNSPEC, 0, flow_key(0, 255, 0, 0)},
      // The protocol is judged as an unsigned 32-bit value; ports keep their
      // low 16 bits.
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_PROTO, "4294967302", FW_AF_UNSPEC, 0, flow_key(0, 6, 0, 0)},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_SRCPORT | IPFW_TFFLAG_DSTPORT, "70000,-1", FW_AF_UNSPEC, 0,
       flow_key(0, 0, 4464, 65535)},
      // An empty field is present; text after the last field is ignored.
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_PROTO, "", FW_AF_UNSPEC, 0, flow_key(0, 0, 0, 0)},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_PROTO, "17,whatever", FW_AF_UNSPEC, 0, flow_key(0, 17, 0, 0)},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_SRCPORT | IPFW_TFFLAG_DSTPORT, "http,65535", FW_AF_UNSPEC, 0,
       flow_key(0, 0, 80, 65535)},
      // A source that is no address leaves the source and family zero; a
      // destination that is none keeps the source's family.
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_SRCIP | IPFW_TFFLAG_PROTO, "nohost,6", FW_AF_UNSPEC, 0,
       flow_key(0, 6, 0, 0)},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_SRCIP | IPFW_TFFLAG_DSTIP, "192.0.2.1,nohost", FW_AF_INET, 0,
       flow_key(FW_AF_INET, 0, 0, 0, v4("192.0.2.1"))},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_SRCIP | IPFW_TFFLAG_DSTIP, ",2001:db8::2", FW_AF_INET6, 0,
       flow_key(FW_AF_INET6, 0, 0, 0, {}, v6("2001:db8::2"))},
      {IPFW_TABLE_FLOW, 0, "192.0.2.1", FW_AF_UNSPEC, 0, flow_key(0, 0, 0, 0)},
      {IPFW_TABLE_MAC, 0, "00:11:22:33:44:55", FW_AF_LINK, 48, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
      {IPFW_TABLE_MAC, 0, "0a:1b:2c:3d:4e:5f/24", FW_AF_LINK, 24, {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f}},
      {IPFW_TABLE_MAC, 0, "00:11:22:33:44:55/48", FW_AF_LINK, 48, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
      {IPFW_TABLE_MAC, 0, "00:11:22:33:44:55/-208", FW_AF_LINK, 48, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE("type " + std::to_string(r.type) + " key '" + r.text + "'");
    parsed p = parse_one(r.type, r.tflags, r.text);
    EXPECT_EQ(p.entry.subtype, r.family);
    EXPECT_EQ(p.entry.masklen, r.masklen);
    EXPECT_EQ(key_area(p.entry), padded(r.key));
    EXPECT_EQ(p.type, r.type);
    // Nothing outside the key family, mask length and key area is written.
    EXPECT_EQ(p.entry.head.length, 0u);
    EXPECT_EQ(p.entry.result, 0);
    EXPECT_EQ(p.entry.idx, 0u);
    ipfw_table_value zero_value;
    memset(&zero_value, 0, sizeof zero_value);
    EXPECT_EQ(memcmp(&p.entry.v, &zero_value, sizeof zero_value), 0);
  }
}

TEST(KeyParse, CutsTheTextInPlaceAndHandsBackTypeAndValueMask) {
  fake_kernel fk;
  script_info(fk, IPFW_TABLE_ADDR, 0, IPFW_VTYPE_SKIPTO | IPFW_VTYPE_TAG);
  ipfw_obj_header oh = table_header("t5");
  ipfw_xtable_info cache;
  memset(&cache, 0, sizeof cache);
  ipfw_obj_tentry e;
  memset(&e, 0, sizeof e);
  char key[] = "2001:db8::/64";
  uint8_t type = 0;
  uint32_t vmask = 0;
  parse_entry_key(&oh, &e, key, 0, &type, &vmask, &cache);
  EXPECT_STREQ(key, "2001:db8::");
  EXPECT_EQ(type, IPFW_TABLE_ADDR);
  EXPECT_EQ(vmask, IPFW_VTYPE_SKIPTO | IPFW_VTYPE_TAG);

  EXPECT_EQ(parse_one(IPFW_TABLE_FLOW, SRC_DST_DPORT, "192.0.2.1,192.0.2.2,80").text_after, "192.0.2.1");
}

TEST(KeyParse, OneInfoRequestPerCommand) {
  fake_kernel fk;
  script_info(fk, IPFW_TABLE_ADDR);
  ipfw_obj_header oh = table_header("t5");
  ipfw_xtable_info cache;
  memset(&cache, 0, sizeof cache);
  ipfw_obj_tentry first, second;
  memset(&first, 0, sizeof first);
  memset(&second, 0, sizeof second);
  char key1[] = "192.0.2.1";
  char key2[] = "2001:db8::/64";
  uint8_t type = 0;
  uint32_t vmask = 0;
  parse_entry_key(&oh, &first, key1, 0, &type, &vmask, &cache);
  parse_entry_key(&oh, &second, key2, 0, &type, &vmask, &cache);

  auto infos = fk.requests_of(IP_FW_TABLE_XINFO);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(fk.requests.size(), 1u);
  EXPECT_EQ(second.subtype, FW_AF_INET6);
  EXPECT_EQ(second.masklen, 64);
  EXPECT_STREQ(cache.tablename, "t5");

  // The request: the command's header (opcode 93 at the kernel's version),
  // then 200 zero bytes, 296 in all.
  const auto& req = infos[0];
  ASSERT_EQ(req.len, FW_INFO_REQUEST_SIZE);
  ASSERT_EQ(req.bytes.size(), FW_INFO_REQUEST_SIZE);
  ipfw_obj_header sent;
  memcpy(&sent, req.bytes.data(), sizeof sent);
  EXPECT_EQ(sent.opheader.opcode, IP_FW_TABLE_XINFO);
  EXPECT_EQ(sent.opheader.version, fw_request_version(IP_FW_TABLE_XINFO));
  ipfw_obj_header expect = oh;
  expect.opheader.opcode = IP_FW_TABLE_XINFO;
  expect.opheader.version = fw_request_version(IP_FW_TABLE_XINFO);
  EXPECT_EQ(memcmp(&sent, &expect, sizeof sent), 0);
  EXPECT_EQ(std::vector<uint8_t>(req.bytes.begin() + 96, req.bytes.end()), std::vector<uint8_t>(200, 0));
}

TEST(KeyParseDeathTest, InfoRequestFailures) {
  struct row {
    const char* what;
    int error;  // 0: the request succeeds with reply_len
    uint32_t reply_len;
    int add;
    int status;
    const char* message;
  };
  const std::vector<row> rows = {
      {"missing table", ESRCH, 0, 0, EXIT_DATAERR, "Table t5 does not exist"},
      // The kernel's reason follows the message, whatever it is.
      {"refused", EPERM, 0, 0, EXIT_OSERR, "Error requesting table t5 info: Operation not permitted\n"},
      {"locked out", EACCES, 0, 0, EXIT_OSERR, "Error requesting table t5 info: Permission denied\n"},
      {"failed", EIO, 0, 0, EXIT_OSERR, "Error requesting table t5 info: Input/output error\n"},
      {"refused on the add road", EPERM, 0, 1, EXIT_OSERR,
       "Error requesting table t5 info: Operation not permitted\n"},
      {"short reply", 0, 295, 0, EXIT_OSERR, "Error requesting table t5 info: Bad message\n"},
      {"empty reply", 0, 0, 0, EXIT_OSERR, "Error requesting table t5 info: Bad message\n"},
      // A missing table is not this parser's error on the add road, but
      // without a type no key can be read.
      {"add to a missing table", ESRCH, 0, 1, EXIT_DATAERR, "Unsupported table type: 0"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EXIT(
        {
          fake_kernel fk;
          fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
            if (r.error != 0) {
              errno = r.error;
              return -1;
            }
            ipfw_xtable_info xi = table_info(IPFW_TABLE_ADDR, 0);
            memcpy(buf + 96, &xi, sizeof xi);
            *len = r.reply_len;
            return 0;
          };
          ipfw_obj_header oh = table_header("t5");
          ipfw_xtable_info cache;
          memset(&cache, 0, sizeof cache);
          ipfw_obj_tentry e;
          memset(&e, 0, sizeof e);
          char key[] = "192.0.2.1";
          uint8_t type;
          uint32_t vmask;
          parse_entry_key(&oh, &e, key, r.add, &type, &vmask, &cache);
        },
        testing::ExitedWithCode(r.status), r.message);
  }
}

TEST(KeyParseDeathTest, RefusedKeys) {
  struct row {
    uint8_t type;
    uint8_t tflags;
    const char* text;
    int status;
    const char* message;
  };
  const std::vector<row> rows = {
      {0, 0, "192.0.2.1", EXIT_DATAERR, "Unsupported table type: 0"},
      {6, 0, "192.0.2.1", EXIT_DATAERR, "Unsupported table type: 6"},
      {IPFW_TABLE_ADDR, 0, "192.0.2.0/33", EXIT_DATAERR, "bad IPv4 mask width: 33"},
      {IPFW_TABLE_ADDR, 0, "2001:db8::/129", EXIT_DATAERR, "bad IPv6 mask width: 129"},
      {IPFW_TABLE_ADDR, 0, "192.0.2.0/99999999999999999999", EXIT_DATAERR, "bad IPv4 mask width: 9999"},
      {IPFW_TABLE_ADDR, 0, "::192.0.2.1", EXIT_DATAERR, "Use IPv4 instead of v4-compatible"},
      {IPFW_TABLE_ADDR, 0, "::0.0.0.2/64", EXIT_DATAERR, "Use IPv4 instead of v4-compatible"},
      // The message shows the text before the slash only.
      {IPFW_TABLE_ADDR, 0, "no-such-host.invalid/24", EXIT_NOHOST,
       "hostname ``no-such-host\\.invalid'' unknown"},
      {IPFW_TABLE_ADDR, 0, "", EXIT_NOHOST, "hostname ``'' unknown"},
      {IPFW_TABLE_NUMBER, 0, "42x", EXIT_DATAERR, "Invalid number: 42x"},
      {IPFW_TABLE_FLOW, SRC_DST_DPORT, "192.0.2.1", EXIT_DATAERR, "invalid key: dst ip missing"},
      {IPFW_TABLE_FLOW, SRC_DST_DPORT, "192.0.2.1,192.0.2.2", EXIT_DATAERR, "invalid key: dst port missing"},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_SRCIP | IPFW_TFFLAG_PROTO, "192.0.2.1", EXIT_DATAERR,
       "invalid key: proto missing"},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_SRCIP | IPFW_TFFLAG_SRCPORT, "192.0.2.1", EXIT_DATAERR,
       "invalid key: src port missing"},
      {IPFW_TABLE_FLOW, SRC_DST_DPORT, "192.0.2.1,2001:db8::1,80", EXIT_DATAERR,
       "Inconsistent address family"},
      {IPFW_TABLE_FLOW, SRC_DST_DPORT, "2001:db8::1,192.0.2.2,80", EXIT_DATAERR,
       "Inconsistent address family"},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_PROTO, "256", EXIT_DATAERR, "Bad protocol number: 256"},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_PROTO, "-1", EXIT_DATAERR, "Bad protocol number: 4294967295"},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_PROTO, "nosuchproto", EXIT_DATAERR, "Unknown proto: nosuchproto"},
      {IPFW_TABLE_FLOW, IPFW_TFFLAG_SRCPORT, "nosuchservice", EXIT_DATAERR, "Unknown service: nosuchservice"},
      {IPFW_TABLE_MAC, 0, "00:11:22:33:44:55/49", EXIT_DATAERR, "bad MAC mask width: 49"},
      {IPFW_TABLE_MAC, 0, "00:11:22:33:44", EXIT_DATAERR, "Incorrect MAC address"},
      {IPFW_TABLE_MAC, 0, "00:11:22:33:44:zz/24", EXIT_DATAERR, "Incorrect MAC address"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE("type " + std::to_string(r.type) + " key '" + r.text + "'");
    EXPECT_EXIT(parse_one(r.type, r.tflags, r.text), testing::ExitedWithCode(r.status), r.message);
  }
}

}  // namespace
