// SPDX-License-Identifier: BSD-2-Clause
// The table store's answers, byte for byte, and its administrative words.
#include "emu/table_store.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "emu/table_words.h"
#include "fwtable/fw_records.h"
#include "tests/support/fake_kernel.h"

namespace {

using bytes = std::vector<uint8_t>;

struct store_deleter {
  void operator()(emu_store* s) const { emu_store_free(s); }
};

struct answer {
  int rc;
  int err;
  uint32_t len;
};

template <typename T>
T read_at(const bytes& b, size_t off) {
  T v;
  memcpy(&v, b.data() + off, sizeof v);
  return v;
}

template <typename T>
void write_at(bytes& b, size_t off, const T& v) {
  memcpy(b.data() + off, &v, sizeof v);
}

// An object header in layout L (fw14::layout or fw15::layout), at the
// version L's kernel takes for the opcode.
template <typename L>
typename L::obj_header header_in(uint16_t opcode, const char* name, uint8_t type = 0) {
  typename L::obj_header oh;
  memset(&oh, 0, sizeof oh);
  oh.opheader.opcode = opcode;
  oh.opheader.version = L::version(opcode);
  oh.idx = 1;
  oh.ntlv.head.type = IPFW_TLV_TBL_NAME;
  oh.ntlv.head.length = sizeof oh.ntlv;
  oh.ntlv.idx = 1;
  oh.ntlv.type = type;
  strncpy(oh.ntlv.name, name, sizeof oh.ntlv.name - 1);
  return oh;
}

// The header in this build's layout (the store's by default).
ipfw_obj_header header(uint16_t opcode, const char* name, uint8_t type = 0) {
  return header_in<fw_built::layout>(opcode, name, type);
}

bytes info_request(const char* name, size_t len = FW_INFO_REQUEST_SIZE) {
  bytes b(len);
  ipfw_obj_header oh = header(IP_FW_TABLE_XINFO, name);
  memcpy(b.data(), &oh, std::min(len, sizeof oh));
  return b;
}

bytes list_request(const char* name, size_t len) {
  bytes b(len);
  ipfw_obj_header oh = header(IP_FW_TABLE_XLIST, name);
  memcpy(b.data(), &oh, std::min(len, sizeof oh));
  return b;
}

ipfw_obj_tentry entry(uint8_t family, uint8_t masklen, const bytes& key, uint32_t tag = 0) {
  ipfw_obj_tentry e;
  memset(&e, 0, sizeof e);
  e.head.length = sizeof e;
  e.subtype = family;
  e.masklen = masklen;
  e.idx = 1;
  if (!key.empty()) memcpy(e.k.raw, key.data(), key.size());
  e.v.tag = tag;
  return e;
}

ipfw_obj_tentry v4(const char* text, uint8_t masklen = 32, uint32_t tag = 0) {
  bytes k(4);
  inet_pton(AF_INET, text, k.data());
  return entry(FW_AF_INET, masklen, k, tag);
}

ipfw_obj_tentry v6(const char* text, uint8_t masklen = 128, uint32_t tag = 0) {
  bytes k(16);
  inet_pton(AF_INET6, text, k.data());
  return entry(FW_AF_INET6, masklen, k, tag);
}

// An add or delete request; its name record gives the table type `type`
// (a delete must give the table's own).
bytes change_request(uint16_t opcode, const char* name, const std::vector<ipfw_obj_tentry>& entries,
                     uint8_t flags = 0, uint8_t type = IPFW_TABLE_ADDR) {
  bytes b(FW_CHANGE_ENTRIES_OFFSET + entries.size() * sizeof(ipfw_obj_tentry));
  ipfw_obj_header oh = header(opcode, name, type);
  memcpy(b.data(), &oh, sizeof oh);
  ipfw_obj_ctlv c;
  memset(&c, 0, sizeof c);
  c.head.length = static_cast<uint32_t>(16 + 120 * entries.size());
  c.count = static_cast<uint32_t>(entries.size());
  c.flags = flags;
  memcpy(b.data() + 96, &c, sizeof c);
  for (size_t i = 0; i < entries.size(); i++) memcpy(b.data() + 112 + 120 * i, &entries[i], 120);
  return b;
}

uint8_t result_of(const bytes& b, size_t i) { return b[112 + 120 * i + 10]; }

class StoreTest : public testing::Test {
 protected:
  std::unique_ptr<emu_store, store_deleter> store{emu_store_new()};

  int admin_status(const std::string& words, std::string* text = nullptr) {
    return store_admin(store.get(), words, text);
  }
  std::string admin(const std::string& words) {
    std::string out;
    EXPECT_EQ(admin_status(words, &out), 0) << words << ": " << out;
    return out;
  }

  // One request over a buffer of exactly b.size() bytes (heap, so that a
  // read or write past it is caught by the address sanitizer).
  answer get(bytes& b, uint32_t len) {
    answer a{};
    a.len = len;
    errno = 0;
    a.rc = emu_store_get(store.get(), b.data(), &a.len);
    a.err = a.rc == 0 ? 0 : errno;
    return a;
  }
  answer get(bytes& b) { return get(b, static_cast<uint32_t>(b.size())); }

  // The table's type, from the tool's "info" (no request is spent on it);
  // 0 for a missing table.
  uint8_t type_of(const char* name) {
    std::string out;
    if (admin_status(std::string("info ") + name, &out) != 0) return 0;
    size_t at = out.find("\ntype: ") + 7;
    uint8_t type = 0, tflags = 0;
    emu_type_from_word(out.substr(at, out.find('\n', at) - at), &type, &tflags);
    return type;
  }

  // An add or delete request naming the table by its own type.
  answer change(uint16_t opcode, const char* name, const std::vector<ipfw_obj_tentry>& entries,
                uint8_t flags = 0, bytes* reply = nullptr) {
    bytes b = change_request(opcode, name, entries, flags, type_of(name));
    answer a = get(b);
    if (reply != nullptr) *reply = b;
    return a;
  }

  ipfw_xtable_info info_of(const char* name) {
    bytes b = info_request(name);
    answer a = get(b);
    EXPECT_EQ(a.rc, 0) << name;
    return read_at<ipfw_xtable_info>(b, 96);
  }

  // The stored entries, through a list request.
  std::vector<ipfw_obj_tentry> entries_of(const char* name) {
    bytes b = list_request(name, info_of(name).size);
    answer a = get(b);
    EXPECT_EQ(a.rc, 0);
    std::vector<ipfw_obj_tentry> out;
    uint32_t count = read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count));
    for (uint32_t i = 0; i < count; i++) out.push_back(read_at<ipfw_obj_tentry>(b, 296 + 120 * i));
    return out;
  }

  // The key texts of the "list" command, in order.
  std::vector<std::string> keys_listed(const std::string& name) {
    std::istringstream in(admin("list " + name));
    std::vector<std::string> keys;
    for (std::string line; std::getline(in, line);) keys.push_back(line.substr(0, line.find(' ')));
    return keys;
  }
};

// ---- requests the kernel refuses ---------------------------------------------

struct malformed_case {
  const char* what;
  std::function<bytes()> build;
  int err;
};

class StoreMalformedTest : public StoreTest, public testing::WithParamInterface<malformed_case> {};

bytes with(bytes b, size_t off, std::initializer_list<uint8_t> v) {
  std::copy(v.begin(), v.end(), b.begin() + static_cast<ptrdiff_t>(off));
  return b;
}

bytes with_u32(bytes b, size_t off, uint32_t v) {
  write_at(b, off, v);
  return b;
}

bytes del1(ipfw_obj_tentry e) { return change_request(IP_FW_TABLE_XDEL, "t", {e}); }
// An add whose name record gives type 0, which an add takes for any table.
bytes add_to(const char* name, ipfw_obj_tentry e) {
  return change_request(IP_FW_TABLE_XADD, name, {e}, 0, 0);
}

bytes mac_key(uint8_t family, uint8_t masklen) {
  return add_to("m", entry(family, masklen, {0, 0x11, 0x22, 0x33, 0x44, 0x55}));
}

const malformed_case malformed_cases[] = {
    {"shorter than an op header", [] { return bytes(7); }, EINVAL},
    {"unknown opcode",
     [] {
       return with(info_request("t"), 0, {88, 0});
     },
     EINVAL},
    {"info request of 295 bytes", [] { return info_request("t", 295); }, EINVAL},
    {"list request shorter than its header", [] { return list_request("t", 95); }, EINVAL},
    {"change request shorter than header and container",
     [] {
       bytes b = del1(v4("192.0.2.1"));
       b.resize(111);
       return b;
     },
     EINVAL},
    {"container length disagrees", [] { return with_u32(del1(v4("192.0.2.1")), 100, 16); }, EINVAL},
    {"container count disagrees", [] { return with_u32(del1(v4("192.0.2.1")), 104, 2); }, EINVAL},
    {"container count that overflows 32 bits",
     [] { return with_u32(del1(v4("192.0.2.1")), 104, 0x2222223u); }, EINVAL},
    {"entry TLV length 119", [] { return with_u32(del1(v4("192.0.2.1")), 112 + 4, 119); }, EINVAL},
    // A name record info cannot read finds no table.
    {"name record of TLV type 2", [] { return with(info_request("t"), 16, {2}); }, ESRCH},
    {"name record of length 79", [] { return with_u32(info_request("t"), 20, 79); }, ESRCH},
    {"name without a NUL",
     [] { return with(info_request(std::string(63, 'x').c_str()), 16 + 16 + 63, {'y'}); }, ESRCH},
    {"empty name", [] { return info_request(""); }, ESRCH},
    {"delete with a name record of length 79", [] { return with_u32(del1(v4("192.0.2.1")), 20, 79); },
     EINVAL},
    {"version the kernel has not",
     [] { return with(info_request("t"), offsetof(ip_fw3_opheader, version), {FW_ABI == 15 ? 0 : 1}); },
     EINVAL},
    {"entry name index other than the name's",
     [] {
       ipfw_obj_tentry e = v4("192.0.2.1");
       e.idx = 2;
       return del1(e);
     },
     ESRCH},
    {"entries of different name indexes",
     [] {
       ipfw_obj_tentry e = v4("192.0.2.2");
       e.idx = 7;
       return change_request(IP_FW_TABLE_XDEL, "t", {v4("192.0.2.1"), e});
     },
     ENOTSUP},
    {"type byte of another table type",
     [] {
       return with(del1(v4("192.0.2.1")), offsetof(ipfw_obj_header, ntlv) + offsetof(ipfw_obj_ntlv, type),
                   {IPFW_TABLE_NUMBER});
     },
     EINVAL},
    {"IPv4 mask length 33", [] { return del1(v4("192.0.2.1", 33)); }, EINVAL},
    {"IPv6 mask length 129", [] { return del1(v6("2001:db8::", 129)); }, EINVAL},
    {"address key of the link family",
     [] {
       return del1(entry(FW_AF_LINK, 48, {1, 2, 3, 4, 5, 6}));
     },
     EINVAL},
    {"address key of the host's AF_INET6 number",
     [] {
       return del1(entry(10, 128, {0x20, 0x01}));
     },
     EINVAL},
    {"MAC key of the IPv4 family", [] { return mac_key(FW_AF_INET, 48); }, EINVAL},
    {"MAC mask length 49", [] { return mac_key(FW_AF_LINK, 49); }, EINVAL},
    {"interface name without a NUL", [] { return add_to("i", entry(0, 128, bytes(16, 'e'))); }, EINVAL},
    {"empty interface name", [] { return add_to("i", entry(0, 128, {})); }, EINVAL},
    {"number key with a family", [] { return add_to("n", entry(FW_AF_INET, 32, {1})); }, EINVAL},
    {"flow key of the link family",
     [] {
       return add_to("f", entry(FW_AF_LINK, 0, {FW_AF_LINK, 6}));
     },
     EINVAL},
    {"missing table, info", [] { return info_request("nosuch"); }, ESRCH},
    {"missing table, list", [] { return list_request("nosuch", 4096); }, ESRCH},
    {"missing table, delete", [] { return change_request(IP_FW_TABLE_XDEL, "nosuch", {v4("192.0.2.1")}); },
     ESRCH},
    {"missing table, add", [] { return add_to("nosuch", v4("192.0.2.1")); }, ESRCH},
};

INSTANTIATE_TEST_SUITE_P(Cases, StoreMalformedTest, testing::ValuesIn(malformed_cases), [](const auto& info) {
  std::string n;
  for (char c : std::string(info.param.what)) n += isalnum(c) ? c : '_';
  return n;
});

TEST_P(StoreMalformedTest, FailsAndChangesNothing) {
  admin("create t type addr");
  admin("add t 192.0.2.1");
  admin("create m type mac");
  admin("create i type iface");
  admin("create n type number");
  admin("create f type flow:src-ip,proto");
  bytes b = GetParam().build();
  bytes before = b;
  answer a = get(b);
  EXPECT_EQ(a.rc, -1);
  EXPECT_EQ(a.err, GetParam().err);
  EXPECT_EQ(b, before) << "a refused request is left as it was";
  EXPECT_EQ(a.len, before.size());
  EXPECT_EQ(info_of("t").count, 1u);
  for (const char* t : {"m", "i", "n", "f"}) EXPECT_EQ(info_of(t).count, 0u) << t;
}

// ---- info --------------------------------------------------------------------

struct info_case {
  const char* create;
  uint8_t type;
  uint8_t tflags;
  uint32_t vmask;
  uint32_t set;
  uint32_t limit;
  const char* algo;
};

class StoreInfoTest : public StoreTest, public testing::WithParamInterface<info_case> {};

INSTANTIATE_TEST_SUITE_P(
    Types, StoreInfoTest,
    testing::Values(
        info_case{"create t", IPFW_TABLE_ADDR, 0, IPFW_VTYPE_LEGACY, 0, 0, "addr:radix"},
        info_case{"create t type iface valtype skipto,tag set 3", IPFW_TABLE_INTERFACE, 0,
                  IPFW_VTYPE_SKIPTO | IPFW_VTYPE_TAG, 3, 0, "iface:array"},
        info_case{"create t type number limit 10", IPFW_TABLE_NUMBER, 0, IPFW_VTYPE_LEGACY, 0, 10,
                  "number:array"},
        info_case{"create t type flow:dst-port,src-ip valtype ipv4,ipv6,pipe", IPFW_TABLE_FLOW,
                  IPFW_TFFLAG_SRCIP | IPFW_TFFLAG_DSTPORT, IPFW_VTYPE_NH4 | IPFW_VTYPE_NH6 | IPFW_VTYPE_PIPE,
                  0, 0, "flow:hash"},
        info_case{"create t type mac set 31", IPFW_TABLE_MAC, 0, IPFW_VTYPE_LEGACY, 31, 0, "mac:hash"},
        info_case{"create t valtype mark,0x1000,tag", IPFW_TABLE_ADDR, 0,
                  IPFW_VTYPE_MARK | 0x1000 | IPFW_VTYPE_TAG, 0, 0, "addr:radix"},
        info_case{"create t valtype 0x80000000", IPFW_TABLE_ADDR, 0, 0x80000000u, 0, 0, "addr:radix"}));

TEST_P(StoreInfoTest, ReplyHoldsHeaderAndInfo) {
  const info_case& c = GetParam();
  admin("create other");
  admin(c.create);
  bytes b = info_request("t");
  bytes request = b;
  answer a = get(b);
  ASSERT_EQ(a.rc, 0);
  EXPECT_EQ(a.len, 296u);
  EXPECT_TRUE(std::equal(b.begin(), b.begin() + 96, request.begin())) << "the header is echoed";

  ipfw_xtable_info want;
  memset(&want, 0, sizeof want);
  want.type = c.type;
  want.tflags = c.tflags;
  want.vmask = c.vmask;
  want.set = 0;  // whatever set it was created in: table sets are disabled
  want.kidx = 2;
  want.size = 296;
  want.limit = c.limit;
  snprintf(want.tablename, sizeof want.tablename, "t");
  snprintf(want.algoname, sizeof want.algoname, "%s", c.algo);
  EXPECT_EQ(memcmp(b.data() + 96, &want, sizeof want), 0);
}

TEST_F(StoreTest, InfoCountSizeAndLockFollowTheTable) {
  admin("create t");
  admin("add t 192.0.2.1");
  admin("add t 2001:db8::/32");
  admin("lock t");
  ipfw_xtable_info i = info_of("t");
  EXPECT_EQ(i.count, 2u);
  EXPECT_EQ(i.size, 296u + 240u);
  EXPECT_EQ(i.flags, IPFW_TGFLAGS_LOCKED);
  admin("unlock t");
  EXPECT_EQ(info_of("t").flags, 0);
}

TEST_F(StoreTest, InfoLeavesALongerBufferAlonePastTheInfo) {
  admin("create t");
  bytes b = info_request("t", 400);
  std::fill(b.begin() + 296, b.end(), 0xEE);
  answer a = get(b);
  ASSERT_EQ(a.rc, 0);
  EXPECT_EQ(a.len, 296u);
  EXPECT_TRUE(std::all_of(b.begin() + 296, b.end(), [](uint8_t x) { return x == 0xEE; }));
}

// ---- list ----------------------------------------------------------------------

// A buffer too small even for the info record (the kernel's answers to
// larger ones are in the table of kernel answers): EINVAL, nothing written,
// the length left as passed.
TEST_F(StoreTest, ListTooSmallForTheInfoRecordWritesNothing) {
  admin("create t");
  admin("add t 192.0.2.1");
  for (uint32_t len : {96u, 200u, 295u}) {
    SCOPED_TRACE(len);
    bytes b = list_request("t", len);
    const bytes sent = b;
    answer a = get(b);
    EXPECT_EQ(a.rc, -1);
    EXPECT_EQ(a.err, EINVAL);
    EXPECT_EQ(a.len, len);
    EXPECT_EQ(b, sent);
  }
}

TEST_F(StoreTest, ListReplyHoldsInfoAndEntriesInKeyOrder) {
  admin("create t");
  // Added out of order: IPv6 after IPv4 (family 28 > 2), by key bytes, then
  // by mask length.
  for (const char* k : {"2001:db8::/32", "198.51.100.0/24", "192.0.2.1", "2001:db8::1", "10.0.0.0/8",
                        "198.51.100.0/23", "::"})
    admin(std::string("add t ") + k);
  EXPECT_EQ(keys_listed("t"),
            (std::vector<std::string>{"10.0.0.0/8", "192.0.2.1", "198.51.100.0/23", "198.51.100.0/24",
                                      "::", "2001:db8::/32", "2001:db8::1"}));

  const uint32_t needed = 296 + 7 * 120;
  bytes b = list_request("t", needed + 44);
  std::fill(b.begin() + needed, b.end(), 0xEE);
  answer a = get(b);
  ASSERT_EQ(a.rc, 0);
  EXPECT_EQ(a.len, needed);
  EXPECT_TRUE(std::all_of(b.begin() + needed, b.end(), [](uint8_t x) { return x == 0xEE; }));
  ipfw_xtable_info i = read_at<ipfw_xtable_info>(b, 96);
  EXPECT_EQ(i.count, 7u);
  EXPECT_EQ(i.size, needed);
  EXPECT_STREQ(i.tablename, "t");

  ipfw_obj_tentry want = v4("192.0.2.1");
  want.idx = 0;
  ipfw_obj_tentry got = read_at<ipfw_obj_tentry>(b, 296 + 120);
  // The wire bytes, padding included, are what is compared.
  EXPECT_EQ(memcmp(&got, &want, sizeof want), 0)  // NOLINT(bugprone-suspicious-memory-comparison)
      << "second entry, 192.0.2.1/32, byte for byte";
}

TEST_F(StoreTest, ValuesAreStoredAndListedUnchanged) {
  admin("create t valtype skipto,tag");
  ipfw_obj_tentry e = v4("192.0.2.9");
  uint8_t pattern[64];
  for (int i = 0; i < 64; i++) pattern[i] = static_cast<uint8_t>(0xA0 + i);
  memcpy(&e.v, pattern, sizeof pattern);
  ASSERT_EQ(change(IP_FW_TABLE_XADD, "t", {e}).rc, 0);
  auto listed = entries_of("t");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(memcmp(&listed[0].v, pattern, sizeof pattern), 0);
}

// ---- add and delete ------------------------------------------------------------

struct normalise_case {
  const char* create;
  ipfw_obj_tentry sent;
  ipfw_obj_tentry stored;
};

class StoreNormaliseTest : public StoreTest, public testing::WithParamInterface<normalise_case> {};

ipfw_obj_tentry junk_after(ipfw_obj_tentry e, size_t from) {
  for (size_t i = from; i < 40; i++) e.k.raw[i] = 0x5A;
  return e;
}

ipfw_obj_tentry flow4(uint8_t proto, uint16_t sport, uint16_t dport, const char* src, const char* dst) {
  ipfw_obj_tentry e = entry(FW_AF_INET, 0, {});
  e.k.flow.af = FW_AF_INET;
  e.k.flow.proto = proto;
  e.k.flow.sport = htons(sport);
  e.k.flow.dport = htons(dport);
  inet_pton(AF_INET, src, e.k.flow.addr);
  inet_pton(AF_INET, dst, e.k.flow.addr + 4);
  return e;
}

INSTANTIATE_TEST_SUITE_P(
    Types, StoreNormaliseTest,
    testing::Values(
        normalise_case{"create t", v4("198.51.100.7", 24), v4("198.51.100.0", 24)},
        normalise_case{"create t", junk_after(v4("192.0.2.1"), 4), v4("192.0.2.1")},
        normalise_case{"create t", v4("192.0.2.255", 0), v4("0.0.0.0", 0)},
        normalise_case{"create t", v6("2001:db8:1:2:3::1", 33), v6("2001:db8::", 33)},
        normalise_case{"create t type iface", junk_after(entry(0, 0, {'e', 'm', '0', 0}), 4),
                       entry(0, 128, {'e', 'm', '0'})},
        normalise_case{"create t type number", junk_after(entry(0, 7, {80}), 4), entry(0, 32, {80})},
        normalise_case{"create t type mac", entry(FW_AF_LINK, 20, {0, 0x11, 0x22, 0x33, 0x44, 0x55}),
                       entry(FW_AF_LINK, 20, {0, 0x11, 0x20})},
        normalise_case{"create t type flow:src-ip,dst-port", flow4(6, 1234, 22, "192.0.2.1", "192.0.2.2"),
                       flow4(0, 0, 22, "192.0.2.1", "0.0.0.0")},
        normalise_case{"create t type flow:proto,dst-ip", flow4(17, 1, 2, "192.0.2.1", "192.0.2.2"),
                       flow4(17, 0, 0, "0.0.0.0", "192.0.2.2")}));

TEST_P(StoreNormaliseTest, KeyIsStoredInItsNormalForm) {
  const normalise_case& c = GetParam();
  admin(c.create);
  ASSERT_EQ(change(IP_FW_TABLE_XADD, "t", {c.sent}).rc, 0);
  auto listed = entries_of("t");
  ASSERT_EQ(listed.size(), 1u);
  ipfw_obj_tentry want = c.stored;
  want.idx = 0;
  EXPECT_EQ(listed[0].subtype, want.subtype);
  EXPECT_EQ(listed[0].masklen, want.masklen);
  EXPECT_EQ(memcmp(listed[0].k.raw, want.k.raw, 40), 0);

  // The same key in its other form finds the entry.
  bytes reply;
  answer a = change(IP_FW_TABLE_XADD, "t", {c.stored}, 0, &reply);
  EXPECT_EQ(a.err, EEXIST);
  a = change(IP_FW_TABLE_XDEL, "t", {c.sent}, 0, &reply);
  EXPECT_EQ(a.rc, 0);
  EXPECT_EQ(result_of(reply, 0), IPFW_TR_DELETED);
  EXPECT_TRUE(entries_of("t").empty());
}

struct one_record_case {
  const char* what;
  const char* setup;  // admin commands, ';'-separated
  uint16_t opcode;
  int err;
  uint8_t result;
  size_t count_after;
};

class StoreOneRecordTest : public StoreTest, public testing::WithParamInterface<one_record_case> {};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, StoreOneRecordTest,
    testing::Values(one_record_case{"add_new", "create t", IP_FW_TABLE_XADD, 0, IPFW_TR_ADDED, 1},
                    one_record_case{"add_present", "create t;add t 192.0.2.1", IP_FW_TABLE_XADD, EEXIST,
                                    IPFW_TR_EXISTS, 1},
                    one_record_case{"add_past_limit", "create t limit 1;add t 192.0.2.2", IP_FW_TABLE_XADD,
                                    EFBIG, IPFW_TR_LIMIT, 1},
                    one_record_case{"delete_present", "create t;add t 192.0.2.1", IP_FW_TABLE_XDEL, 0,
                                    IPFW_TR_DELETED, 0},
                    one_record_case{"delete_absent", "create t;add t 192.0.2.2", IP_FW_TABLE_XDEL, ENOENT,
                                    IPFW_TR_NOTFOUND, 1},
                    one_record_case{"add_locked", "create t;lock t", IP_FW_TABLE_XADD, EACCES, 0xAA, 0},
                    one_record_case{"delete_locked", "create t;add t 192.0.2.1;lock t", IP_FW_TABLE_XDEL,
                                    EACCES, 0xAA, 1}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_P(StoreOneRecordTest, MarksTheRecordAndAnswersItsErrno) {
  const one_record_case& c = GetParam();
  std::istringstream in(c.setup);
  for (std::string cmd; std::getline(in, cmd, ';');) admin(cmd);
  ipfw_obj_tentry e = v4("192.0.2.1");
  e.result = 0xAA;  // left alone when the table refuses the request
  bytes b = change_request(c.opcode, "t", {e}, 0, IPFW_TABLE_ADDR);
  answer a = get(b);
  EXPECT_EQ(a.rc, c.err == 0 ? 0 : -1);
  EXPECT_EQ(a.err, c.err);
  EXPECT_EQ(a.len, 232u);
  EXPECT_EQ(result_of(b, 0), c.result);
  EXPECT_EQ(info_of("t").count, c.count_after);
}

// Every record is tried; the request answers the first failure (the length
// left as passed), and what could be applied stays applied.
TEST_F(StoreTest, SeveralRecordsApplyWhatTheyCanAndAnswerTheFirstFailure) {
  admin("create t limit 3");
  admin("add t 192.0.2.2");
  bytes reply;
  answer a = change(IP_FW_TABLE_XADD, "t",
                    {v4("192.0.2.1"), v4("192.0.2.2"), v4("192.0.2.3"), v4("192.0.2.4")}, 0, &reply);
  // Every record is tried; the request answers the first record's failure.
  EXPECT_EQ(a.rc, -1);
  EXPECT_EQ(a.err, EEXIST);
  EXPECT_EQ(a.len, 112u + 480u);
  EXPECT_EQ(result_of(reply, 0), IPFW_TR_ADDED);
  EXPECT_EQ(result_of(reply, 1), IPFW_TR_EXISTS);
  EXPECT_EQ(result_of(reply, 2), IPFW_TR_ADDED);
  EXPECT_EQ(result_of(reply, 3), IPFW_TR_LIMIT);
  EXPECT_EQ(keys_listed("t"), (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "192.0.2.3"}));

  a = change(IP_FW_TABLE_XDEL, "t", {v4("192.0.2.1"), v4("192.0.2.9"), v4("192.0.2.3")}, 0, &reply);
  EXPECT_EQ(a.rc, -1);
  EXPECT_EQ(a.err, ENOENT) << "one record missing fails the request, after the rest are deleted";
  EXPECT_EQ(result_of(reply, 0), IPFW_TR_DELETED);
  EXPECT_EQ(result_of(reply, 1), IPFW_TR_NOTFOUND);
  EXPECT_EQ(result_of(reply, 2), IPFW_TR_DELETED);
  EXPECT_EQ(keys_listed("t"), (std::vector<std::string>{"192.0.2.2"}));
}

// An atomic add stops at its first failing record and undoes the rest; an
// atomic delete is a delete like any other.
TEST_F(StoreTest, AtomicAddUndoesEverythingOnAFailingRecordAndADeleteDoesNot) {
  admin("create t");
  admin("add t 192.0.2.2 7");
  admin("add t 192.0.2.3 8");
  bytes reply;
  answer a = change(IP_FW_TABLE_XADD, "t", {v4("192.0.2.1"), v4("192.0.2.2"), v4("192.0.2.4")},
                    IPFW_CTF_ATOMIC, &reply);
  EXPECT_EQ(a.rc, -1);
  EXPECT_EQ(a.err, EEXIST);
  EXPECT_EQ(result_of(reply, 0), IPFW_TR_ADDED);
  EXPECT_EQ(result_of(reply, 1), IPFW_TR_EXISTS);
  EXPECT_EQ(result_of(reply, 2), 0) << "records after the failing one are not tried";
  EXPECT_EQ(keys_listed("t"), (std::vector<std::string>{"192.0.2.2", "192.0.2.3"}));

  a = change(IP_FW_TABLE_XDEL, "t", {v4("192.0.2.9"), v4("192.0.2.3")}, IPFW_CTF_ATOMIC, &reply);
  EXPECT_EQ(a.err, ENOENT);
  EXPECT_EQ(result_of(reply, 0), IPFW_TR_NOTFOUND);
  EXPECT_EQ(result_of(reply, 1), IPFW_TR_DELETED);
  EXPECT_EQ(keys_listed("t"), std::vector<std::string>{"192.0.2.2"});
}

// An entry flagged update-if-present replaces a present key's value, at
// the table's limit too (no entry is added); an atomic add that fails
// after such an update puts the old value back.
TEST_F(StoreTest, UpdateFlagReplacesAPresentValueAndAnAtomicFailureRestoresIt) {
  admin("create t limit 2");
  admin("add t 192.0.2.1 7");
  admin("add t 192.0.2.2 8");
  auto update = [](ipfw_obj_tentry e) {
    e.head.flags = IPFW_TF_UPDATE;
    return e;
  };
  bytes reply;
  answer a = change(IP_FW_TABLE_XADD, "t", {update(v4("192.0.2.1", 32, 70))}, 0, &reply);
  EXPECT_EQ(a.rc, 0);
  EXPECT_EQ(result_of(reply, 0), IPFW_TR_UPDATED);
  EXPECT_EQ(admin("list t"), "192.0.2.1 70\n192.0.2.2 8\n");

  a = change(IP_FW_TABLE_XADD, "t", {update(v4("192.0.2.2", 32, 80)), update(v4("192.0.2.3", 32, 90))},
             IPFW_CTF_ATOMIC, &reply);
  EXPECT_EQ(a.rc, -1);
  EXPECT_EQ(a.err, EFBIG);
  EXPECT_EQ(result_of(reply, 0), IPFW_TR_UPDATED);
  EXPECT_EQ(result_of(reply, 1), IPFW_TR_LIMIT);
  EXPECT_EQ(admin("list t"), "192.0.2.1 70\n192.0.2.2 8\n");
}

TEST_F(StoreTest, TypeByteOfTheTablesOwnTypeIsAccepted) {
  admin("create t type number");
  bytes b = change_request(IP_FW_TABLE_XADD, "t", {entry(0, 32, {42})}, 0, IPFW_TABLE_NUMBER);
  EXPECT_EQ(get(b).rc, 0);
  EXPECT_EQ(keys_listed("t"), std::vector<std::string>{"42"});
}

TEST_F(StoreTest, SetDoesNotTakePartInTheLookup) {
  admin("create t set 5");
  bytes b = info_request("t");
  b[28] = 0;  // the name record's set
  EXPECT_EQ(get(b).rc, 0);
}

// ---- injected faults -------------------------------------------------------------

TEST_F(StoreTest, InjectedFailuresLastTheirCount) {
  admin("create t");
  admin("add t 192.0.2.1");
  admin("fault fail info EIO 2");
  for (int i = 0; i < 2; i++) {
    bytes b = info_request("t");
    answer a = get(b);
    EXPECT_EQ(a.err, EIO);
    EXPECT_EQ(a.len, 296u);
  }
  bytes b = info_request("t");
  EXPECT_EQ(get(b).rc, 0);

  // An injected ENOMEM on a list request answers as a buffer too small for
  // the listing does: the info record written, the length left as passed.
  admin("fault fail 89 ENOMEM");
  b = list_request("t", 4096);
  answer a = get(b);
  EXPECT_EQ(a.err, ENOMEM);
  EXPECT_EQ(a.len, 4096u);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), 1u);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, size)), 416u);
  EXPECT_EQ(read_at<uint32_t>(b, 296 + 4), 0u) << "no entry is written";

  admin("fault fail delete EPERM 0");
  for (int i = 0; i < 3; i++) EXPECT_EQ(change(IP_FW_TABLE_XDEL, "t", {v4("192.0.2.1")}).err, EPERM);
  EXPECT_EQ(admin("fault show"), "fail 87 EPERM: every request\n");
  admin("fault clear");
  EXPECT_EQ(admin("fault show"), "");
  EXPECT_EQ(change(IP_FW_TABLE_XDEL, "t", {v4("192.0.2.1")}).rc, 0);
}

// A claim puts its figures into the info record of an info reply and of an
// ENOMEM answer, one record a use; the listing itself is the table's.
TEST_F(StoreTest, ClaimStatesItsFiguresInTheInfoRecord) {
  admin("create t");
  admin("add t 192.0.2.1");
  admin("fault claim 7 4000000000 2");
  EXPECT_EQ(admin("fault show"), "claim 7 4000000000: 2 more\n");
  bytes b = info_request("t");
  EXPECT_EQ(get(b).rc, 0);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), 7u);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, size)), 4000000000u);
  b = list_request("t", 300);
  EXPECT_EQ(get(b).err, ENOMEM);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), 7u);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, size)), 4000000000u);
  b = list_request("t", 416);
  EXPECT_EQ(get(b).rc, 0);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), 1u);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, size)), 416u);
  EXPECT_EQ(admin("fault show"), "");
}

TEST_F(StoreTest, ShortInfoSucceedsWithTheChosenLength) {
  admin("create t");
  admin("fault short-info 295");
  bytes b = info_request("t");
  answer a = get(b);
  EXPECT_EQ(a.rc, 0);
  EXPECT_EQ(a.len, 295u);
  b = info_request("t");
  EXPECT_EQ(get(b).len, 296u);
}

struct corrupt_case {
  const char* kind;
  size_t offset;  // of the spoiled 32-bit field, for a two-entry table
  uint32_t value;
};

class StoreCorruptListTest : public StoreTest, public testing::WithParamInterface<corrupt_case> {};

INSTANTIATE_TEST_SUITE_P(Kinds, StoreCorruptListTest,
                         testing::Values(corrupt_case{"zero-length", 296 + 4, 0},
                                         corrupt_case{"past-end", 296 + 120 + 4, 240},
                                         corrupt_case{"count", 96 + 28, 3}),
                         [](const auto& info) {
                           std::string n = info.param.kind;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

TEST_P(StoreCorruptListTest, OneReplyIsSpoiled) {
  admin("create t");
  admin("add t 192.0.2.1");
  admin("add t 192.0.2.2");
  admin(std::string("fault corrupt-list ") + GetParam().kind);
  bytes b = list_request("t", 536);
  answer a = get(b);
  EXPECT_EQ(a.rc, 0);
  EXPECT_EQ(a.len, 536u);
  EXPECT_EQ(read_at<uint32_t>(b, GetParam().offset), GetParam().value);
  b = list_request("t", 536);
  get(b);
  EXPECT_NE(read_at<uint32_t>(b, GetParam().offset), GetParam().value) << "the next reply is sound";
}

TEST_F(StoreTest, EntryCorruptionWaitsForAReplyWithEntries) {
  admin("create t");
  admin("fault corrupt-list zero-length");
  bytes b = list_request("t", 296);
  EXPECT_EQ(get(b).rc, 0);
  admin("add t 192.0.2.1");
  b = list_request("t", 416);
  get(b);
  EXPECT_EQ(read_at<uint32_t>(b, 296 + 4), 0u);
}

TEST_F(StoreTest, DelayedRequestIsStillAnswered) {
  admin("create t");
  admin("fault delay 5 2");
  EXPECT_EQ(admin("fault show"), "delay 5: 2 more\n");
  for (int i = 0; i < 3; i++) {
    bytes b = info_request("t");
    EXPECT_EQ(get(b).rc, 0);
  }
  EXPECT_EQ(admin("fault show"), "");
}

// The table goes right after a whole list reply, not after one too small
// for the listing; the reply itself is whole.
TEST_F(StoreTest, DestroyAfterListTakesTheTableAwayAfterAWholeReply) {
  admin("create t");
  admin("add t 192.0.2.1");
  admin("fault destroy-after-list");
  EXPECT_EQ(admin("fault show"), "destroy-after-list: 1 more\n");
  bytes b = list_request("t", 296);
  EXPECT_EQ(get(b).err, ENOMEM);
  b = info_request("t");
  EXPECT_EQ(get(b).rc, 0);

  b = list_request("t", 416);
  answer a = get(b);
  EXPECT_EQ(a.rc, 0);
  EXPECT_EQ(a.len, 416u);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + 28), 1u) << "the reply lists the entry";
  b = info_request("t");
  EXPECT_EQ(get(b).err, ESRCH);
  EXPECT_EQ(admin("fault show"), "");
}

// The table is made anew right after a whole list reply, as given: its new
// type, value type and entries are what the next requests see; its kernel
// index is the old one, the lowest free.
TEST_F(StoreTest, RecreateAfterListMakesTheTableAnewAfterAWholeReply) {
  admin("create t");
  admin("add t 192.0.2.1 0");
  const uint32_t old_kidx = info_of("t").kidx;
  admin("fault recreate-after-list type number valtype mark add 10 mark=5 add 11 mark=6");
  EXPECT_EQ(admin("fault show"),
            "recreate-after-list type number valtype mark add 10 mark=5 add 11 mark=6: once\n");
  bytes b = list_request("t", 416);
  ASSERT_EQ(get(b).rc, 0);
  EXPECT_EQ(read_at<uint8_t>(b, 96), IPFW_TABLE_ADDR) << "the reply is the old table's";
  const ipfw_xtable_info now = info_of("t");
  EXPECT_EQ(now.type, IPFW_TABLE_NUMBER);
  EXPECT_EQ(now.vmask, IPFW_VTYPE_MARK);
  EXPECT_EQ(now.kidx, old_kidx) << "the lowest free index: the one the old table freed";
  EXPECT_EQ(admin("list t"), "10 5\n11 6\n");
  EXPECT_EQ(admin("fault show"), "");
}

struct fault_word_case {
  const char* words;
  int status;
};

class StoreFaultWordsTest : public StoreTest, public testing::WithParamInterface<fault_word_case> {};

INSTANTIATE_TEST_SUITE_P(
    Words, StoreFaultWordsTest,
    testing::Values(
        fault_word_case{"fault", 64}, fault_word_case{"fault fail 89", 64},
        fault_word_case{"fault fail xlist ENOMEM", 65}, fault_word_case{"fault fail 89 ENOSUCH", 65},
        fault_word_case{"fault fail 89 0", 65}, fault_word_case{"fault fail 89 12 x", 65},
        fault_word_case{"fault fail 89 12 1 -1", 64}, fault_word_case{"fault fail 89 12 1 2 3", 64},
        fault_word_case{"fault short-info 296", 65}, fault_word_case{"fault corrupt-list sideways", 64},
        fault_word_case{"fault delay 60001", 65}, fault_word_case{"fault clear now", 64},
        fault_word_case{"fault fail 93 ETIMEDOUT 3", 0}, fault_word_case{"fault fail 93 ETIMEDOUT 3 17", 64},
        fault_word_case{"fault short-info 0 0", 0}, fault_word_case{"fault destroy-after-list x", 65},
        fault_word_case{"fault destroy-after-list 1 2", 64}, fault_word_case{"fault destroy-after-list 0", 0},
        fault_word_case{"fault short-data 96 2", 0}, fault_word_case{"fault short-data x", 65},
        fault_word_case{"fault drip 200", 0}, fault_word_case{"fault drip 0", 65},
        fault_word_case{"fault drip 60001", 65}, fault_word_case{"fault drip 5 1 1", 64},
        fault_word_case{"fault grow", 64}, fault_word_case{"fault grow 0", 65},
        fault_word_case{"fault grow 1000001", 65}, fault_word_case{"fault grow x", 65},
        fault_word_case{"fault grow 1 x", 65}, fault_word_case{"fault grow 1 2 3", 64},
        fault_word_case{"fault grow 1000000 0", 0}, fault_word_case{"fault recreate-after-list", 0},
        fault_word_case{"fault recreate-after-list type iface add em0 5", 0},
        fault_word_case{"fault recreate-after-list type sideways", 65},
        fault_word_case{"fault recreate-after-list type addr add 192.0.2.1", 64},
        fault_word_case{"fault recreate-after-list type number add 192.0.2.1 5", 65},
        fault_word_case{"fault hold 500", 0}, fault_word_case{"fault hold 0", 65},
        fault_word_case{"fault hold 60001", 65}, fault_word_case{"fault hold 5 1 1", 64},
        fault_word_case{"fault claim 1 4294967295", 0}, fault_word_case{"fault claim 1", 64},
        fault_word_case{"fault claim 1 4294967296", 65}, fault_word_case{"fault claim x 5", 65},
        fault_word_case{"fault claim 1 5 0", 0}, fault_word_case{"fault claim 1 5 1 1", 64}));

TEST_P(StoreFaultWordsTest, Status) {
  std::string text;
  EXPECT_EQ(admin_status(GetParam().words, &text), GetParam().status) << text;
  if (GetParam().status != 0) {
    EXPECT_FALSE(text.empty());
  }
}

// ---- nothing a client sends takes the store down --------------------------------

TEST_F(StoreTest, MangledRequestsNeverReachPastTheBuffer) {
  admin("create t");
  admin("add t 192.0.2.1");
  admin("create f type flow:src-ip,dst-ip,proto,src-port,dst-port");
  std::mt19937 rng(12345);
  std::vector<bytes> seeds = {
      info_request("t"), list_request("t", 416),
      change_request(IP_FW_TABLE_XADD, "t", {v4("192.0.2.2"), v6("2001:db8::1")}),
      change_request(IP_FW_TABLE_XDEL, "f", {flow4(6, 1, 2, "192.0.2.1", "192.0.2.2")}, 0, IPFW_TABLE_FLOW)};
  for (int round = 0; round < 20000; round++) {
    bytes b = seeds[rng() % seeds.size()];
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; i++) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    if (rng() % 8 == 0) b.resize(rng() % (b.size() + 1));
    bytes copy = b;
    // The length passed in never exceeds the buffer; the store must stay
    // inside it whatever the bytes say.
    uint32_t len = static_cast<uint32_t>(b.size());
    answer a = get(b, len);
    ASSERT_TRUE(a.rc == 0 || a.rc == -1);
    if (a.rc == -1) {
      ASSERT_NE(a.err, 0);
    }
  }
  EXPECT_GE(info_of("t").count, 1u);
}

// ---- FreeBSD 14 and 15 ---------------------------------------------------------
// A store speaks the kernel it emulates whatever layout this build is for,
// so both are tried in every build, each with requests in its own layout.

// One request of layout L's kernel on table "t" (an address table holding
// 192.0.2.1): info, list (room for two entries), delete or find of
// 192.0.2.1 or add of 192.0.2.2, at the given version.
template <typename L>
bytes request_in(uint16_t opcode, uint16_t version) {
  const bool change = opcode == IP_FW_TABLE_XADD || opcode == IP_FW_TABLE_XDEL;
  const bool find = opcode == IP_FW_TABLE_XFIND;
  typename L::obj_header oh = header_in<L>(opcode, "t", change || find ? IPFW_TABLE_ADDR : 0);
  oh.opheader.version = version;
  bytes b;
  if (opcode == IP_FW_TABLE_XINFO || opcode == IP_FW_TABLE_XLIST) {
    b.resize(opcode == IP_FW_TABLE_XINFO ? 296 : 296 + 240);
    memcpy(b.data(), &oh, sizeof oh);
    return b;
  }
  // A find's entry follows the header; an add's or delete's a container.
  const size_t at = find ? 96 : 112;
  b.resize(at + 120);
  memcpy(b.data(), &oh, sizeof oh);
  if (!find) {
    ipfw_obj_ctlv c;
    memset(&c, 0, sizeof c);
    c.head.length = 16 + 120;
    c.count = 1;
    memcpy(b.data() + 96, &c, sizeof c);
  }
  typename L::obj_tentry e;
  memset(&e, 0, sizeof e);
  e.head.length = sizeof e;
  e.subtype = FW_AF_INET;
  e.masklen = 32;
  e.idx = 1;
  inet_pton(AF_INET, opcode == IP_FW_TABLE_XADD ? "192.0.2.2" : "192.0.2.1", e.k.addr4);
  memcpy(b.data() + at, &e, sizeof e);
  return b;
}

bytes request_for(int abi, uint16_t opcode, uint16_t version) {
  return abi == 14 ? request_in<fw14::layout>(opcode, version) : request_in<fw15::layout>(opcode, version);
}

// The kernel finds a request by opcode and version: FreeBSD 15 has every
// table request at version 1; FreeBSD 14 the info request at 0 only, and
// list, delete and add at 1 (their version 0, an older entry format, is
// refused here too). Any other pair is EINVAL, and nothing is changed.
TEST(StoreKernels, RequestsAreTakenOnlyAtTheKernelsVersions) {
  struct row {
    int abi;
    uint16_t opcode;
    uint16_t version;
    bool taken;
  };
  const std::vector<row> rows = {
      {15, IP_FW_TABLE_XINFO, 1, true},  {15, IP_FW_TABLE_XINFO, 0, false}, {15, IP_FW_TABLE_XLIST, 1, true},
      {15, IP_FW_TABLE_XLIST, 0, false}, {15, IP_FW_TABLE_XDEL, 1, true},   {15, IP_FW_TABLE_XDEL, 0, false},
      {15, IP_FW_TABLE_XADD, 1, true},   {15, IP_FW_TABLE_XADD, 2, false},  {14, IP_FW_TABLE_XINFO, 0, true},
      {14, IP_FW_TABLE_XINFO, 1, false}, {14, IP_FW_TABLE_XLIST, 1, true},  {14, IP_FW_TABLE_XLIST, 0, false},
      {14, IP_FW_TABLE_XDEL, 1, true},   {14, IP_FW_TABLE_XDEL, 0, false},  {14, IP_FW_TABLE_XADD, 1, true},
      {14, IP_FW_TABLE_XADD, 0, false},  {15, IP_FW_TABLE_XFIND, 1, true},  {15, IP_FW_TABLE_XFIND, 0, false},
      {14, IP_FW_TABLE_XFIND, 0, true},  {14, IP_FW_TABLE_XFIND, 1, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE("FreeBSD " + std::to_string(r.abi) + ", opcode " + std::to_string(r.opcode) + " version " +
                 std::to_string(r.version));
    std::unique_ptr<emu_store, store_deleter> store{emu_store_new(r.abi)};
    ASSERT_EQ(store_admin(store.get(), "create t type addr"), 0);
    ASSERT_EQ(store_admin(store.get(), "add t 192.0.2.1 7"), 0);
    bytes b = request_for(r.abi, r.opcode, r.version);
    const bytes sent = b;
    uint32_t len = static_cast<uint32_t>(b.size());
    errno = 0;
    int rc = emu_store_get(store.get(), b.data(), &len);
    std::string listed;
    store_admin(store.get(), "list t", &listed);
    if (r.taken) {
      EXPECT_EQ(rc, 0) << strerror(errno);
      continue;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(b, sent);
    EXPECT_EQ(listed, "192.0.2.1 7\n");
  }
}

// FreeBSD 14's kernel, whatever this build is for: the info reply, a
// listing with its entries and values in 14's layout, an add and a delete
// in that layout, and the tool's words reading and writing 14's values.
TEST(StoreKernels, FreeBSD14AnswersInItsLayout) {
  std::unique_ptr<emu_store, store_deleter> store{emu_store_new(14)};
  auto admin = [&](const std::string& words) {
    std::string out;
    EXPECT_EQ(store_admin(store.get(), words, &out), 0) << words << ": " << out;
    return out;
  };
  admin("create t type addr valtype skipto,pipe,fib,tag set 3");
  admin("add t 192.0.2.1 skipto=65000,pipe=70000,fib=70001,tag=5");

  bytes info = request_in<fw14::layout>(IP_FW_TABLE_XINFO, 0);
  uint32_t len = static_cast<uint32_t>(info.size());
  ASSERT_EQ(emu_store_get(store.get(), info.data(), &len), 0);
  EXPECT_EQ(len, 296u);
  EXPECT_EQ(read_at<uint32_t>(info, 96 + offsetof(ipfw_xtable_info, set)), 0u);
  EXPECT_EQ(read_at<uint32_t>(info, 96 + offsetof(ipfw_xtable_info, count)), 1u);

  bytes list = request_in<fw14::layout>(IP_FW_TABLE_XLIST, 1);
  len = static_cast<uint32_t>(list.size());
  ASSERT_EQ(emu_store_get(store.get(), list.data(), &len), 0);
  ASSERT_EQ(len, 296u + 120u);
  // The entry at 296, its value at 296 + 56: pipe u32 at 4, skipto u16 at
  // 10, fib u32 at 16, tag u32 at 0.
  EXPECT_EQ(read_at<uint32_t>(list, 296 + 4), 120u);
  EXPECT_EQ(list[296 + 8], FW_AF_INET);
  EXPECT_EQ(read_at<uint32_t>(list, 296 + 16), 0x010200C0u);
  EXPECT_EQ(read_at<uint32_t>(list, 352 + 0), 5u);
  EXPECT_EQ(read_at<uint32_t>(list, 352 + 4), 70000u);
  EXPECT_EQ(read_at<uint16_t>(list, 352 + 10), 65000u);
  EXPECT_EQ(read_at<uint32_t>(list, 352 + 16), 70001u);

  // An add whose entry names the table by 14's 16-bit name index, with a
  // value in 14's layout; the tool lists it as the daemon would render it.
  bytes add = request_in<fw14::layout>(IP_FW_TABLE_XADD, 1);
  fw14::ipfw_table_value v;
  memset(&v, 0, sizeof v);
  v.skipto = 7;
  v.pipe = 100000;
  v.fib = 2;
  v.tag = 9;
  memcpy(add.data() + 112 + 56, &v, sizeof v);
  len = static_cast<uint32_t>(add.size());
  ASSERT_EQ(emu_store_get(store.get(), add.data(), &len), 0);
  EXPECT_EQ(result_of(add, 0), IPFW_TR_ADDED);
  EXPECT_EQ(admin("list t"), "192.0.2.1 65000,70000,70001,5\n192.0.2.2 7,100000,2,9\n");

  bytes del = request_in<fw14::layout>(IP_FW_TABLE_XDEL, 1);
  len = static_cast<uint32_t>(del.size());
  ASSERT_EQ(emu_store_get(store.get(), del.data(), &len), 0);
  EXPECT_EQ(result_of(del, 0), IPFW_TR_DELETED);
  EXPECT_EQ(admin("list t"), "192.0.2.2 7,100000,2,9\n");

  // A delete in FreeBSD 15's layout, though at a version 14 has, puts its
  // entry's 32-bit name index where 14 has a 16-bit one and a reserved
  // word, and the name record's type byte two places later: 14 reads type
  // 0, and refuses it.
  bytes fifteen = request_in<fw15::layout>(IP_FW_TABLE_XDEL, 1);
  len = static_cast<uint32_t>(fifteen.size());
  EXPECT_EQ(emu_store_get(store.get(), fifteen.data(), &len), -1);
  EXPECT_EQ(errno, EINVAL);
}

// A value number must fit its field in the kernel emulated: pipe and fib
// are 16 bits wide in FreeBSD 15's value record and 32 in 14's, skipto 32
// bits in 15's and 16 in 14's.
TEST(StoreKernels, ValueNumbersFitTheKernelsFields) {
  struct row {
    int abi;
    const char* value;
    bool taken;
  };
  const std::vector<row> rows = {
      {15, "pipe=65535", true},      {15, "pipe=65536", false},  {14, "pipe=65536", true},
      {14, "pipe=4294967295", true}, {15, "fib=65536", false},   {14, "fib=65536", true},
      {15, "skipto=65536", true},    {14, "skipto=65535", true}, {14, "skipto=65536", false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE("FreeBSD " + std::to_string(r.abi) + ": " + r.value);
    std::unique_ptr<emu_store, store_deleter> store{emu_store_new(r.abi)};
    ASSERT_EQ(store_admin(store.get(), "create t valtype skipto,pipe,fib"), 0);
    std::string text;
    int st = store_admin(store.get(), std::string("add t 192.0.2.1 ") + r.value, &text);
    if (!r.taken) {
      EXPECT_EQ(st, 65) << text;
      continue;
    }
    ASSERT_EQ(st, 0) << text;
    // The listing reads the number back from the field it went into.
    std::string number = std::string(r.value).substr(std::string(r.value).find('=') + 1);
    store_admin(store.get(), "list t", &text);
    EXPECT_NE(text.find(number), std::string::npos) << text;
  }
}

// ---- a table that grows between a sweep's two requests (fault grow) ------------

// An info or list request of table `name`, len bytes, in the layout of the
// kernel abi names.
bytes sized_request(int abi, uint16_t opcode, const char* name, size_t len) {
  bytes b(len);
  if (abi == 14) {
    fw14::ipfw_obj_header oh = header_in<fw14::layout>(opcode, name);
    memcpy(b.data(), &oh, std::min(len, sizeof oh));
  } else {
    fw15::ipfw_obj_header oh = header_in<fw15::layout>(opcode, name);
    memcpy(b.data(), &oh, std::min(len, sizeof oh));
  }
  return b;
}

answer ask(emu_store* store, bytes& b) {
  answer a{};
  a.len = static_cast<uint32_t>(b.size());
  errno = 0;
  a.rc = emu_store_get(store, b.data(), &a.len);
  a.err = a.rc == 0 ? 0 : errno;
  return a;
}

uint32_t info_field(const bytes& b, size_t field) { return read_at<uint32_t>(b, 96 + field); }

// A sweep sizes its list buffer from the info reply (+44); the table grows
// by 3 in between, so that list fails with ENOMEM, its info record counting
// the new entries, and a list sized from that record has every entry.
TEST(StoreGrow, ListSizedBeforeTheGrowthFailsAndTheNextOneHasEveryEntry) {
  for (int abi : {14, 15}) {
    SCOPED_TRACE("FreeBSD " + std::to_string(abi));
    std::unique_ptr<emu_store, store_deleter> store{emu_store_new(abi)};
    ASSERT_EQ(store_admin(store.get(), "create t"), 0);
    ASSERT_EQ(store_admin(store.get(), "add t 192.0.2.1 5"), 0);
    ASSERT_EQ(store_admin(store.get(), "fault grow 3"), 0);

    bytes info = sized_request(abi, IP_FW_TABLE_XINFO, "t", 296);
    ASSERT_EQ(ask(store.get(), info).rc, 0);
    const uint32_t size = info_field(info, offsetof(ipfw_xtable_info, size));
    EXPECT_EQ(size, 296u + 120u);

    bytes list = sized_request(abi, IP_FW_TABLE_XLIST, "t", size + 44);
    answer a = ask(store.get(), list);
    EXPECT_EQ(a.err, ENOMEM);
    EXPECT_EQ(a.len, size + 44) << "a failure leaves the length as passed";
    EXPECT_EQ(info_field(list, offsetof(ipfw_xtable_info, count)), 4u);
    const uint32_t grown = info_field(list, offsetof(ipfw_xtable_info, size));
    EXPECT_EQ(grown, 296u + 4 * 120u);

    list = sized_request(abi, IP_FW_TABLE_XLIST, "t", grown + 44);
    a = ask(store.get(), list);
    ASSERT_EQ(a.rc, 0) << strerror(a.err);
    EXPECT_EQ(a.len, grown);
    EXPECT_EQ(info_field(list, offsetof(ipfw_xtable_info, count)), 4u);
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(read_at<uint32_t>(list, 296 + 120 * i + 4), 120u) << i;
    std::string listed;
    store_admin(store.get(), "list t", &listed);
    EXPECT_EQ(listed, "192.0.2.1 5\n198.18.0.0 4000000000\n198.18.0.1 4000000000\n198.18.0.2 4000000000\n");
    store_admin(store.get(), "fault show", &listed);
    EXPECT_EQ(listed, "");
  }
}

// What the growth adds, by table type and value type: keys of a fixed
// sequence that the table lacks, values that hostreapd never removes: a
// time in 2096 where a 32-bit number leads, else a narrow field's largest
// number or an address (emu/table_growth.h).
TEST(StoreGrow, AddsKeysTheTableLacksWithValuesNeverDue) {
  struct row {
    int abi;
    const char* setup;  // admin commands, ';'-separated; the table is "t"
    const char* grow;
    const char* listed;  // "list t" afterwards
  };
  const std::vector<row> rows = {
      {15, "create t;add t 198.18.0.1 5", "fault grow 3",
       "198.18.0.0 4000000000\n198.18.0.1 5\n198.18.0.2 4000000000\n198.18.0.3 4000000000\n"},
      {14, "create t valtype skipto,tag", "fault grow 1", "198.18.0.0 65535,4000000000\n"},
      {15, "create t valtype mark,pipe,dscp,ipv4", "fault grow 1",
       "198.18.0.0 65535,63,0.0.0.0,4000000000\n"},
      {14, "create t valtype pipe,fib", "fault grow 1", "198.18.0.0 4000000000,4000000000\n"},
      {15, "create t valtype fib,nat", "fault grow 1", "198.18.0.0 65535,4000000000\n"},
      {15, "create t valtype dscp", "fault grow 1", "198.18.0.0 63\n"},
      {14, "create t valtype divert,limit", "fault grow 1", "198.18.0.0 65535,4000000000\n"},
      {15, "create t valtype divert", "fault grow 1", "198.18.0.0 65535\n"},
      {15, "create t valtype ipv6,mark", "fault grow 1", "198.18.0.0 ::,4000000000\n"},
      {15, "create t limit 2;add t 192.0.2.1", "fault grow 3", "192.0.2.1 0\n198.18.0.0 4000000000\n"},
      {15, "create t type number;add t 1 1", "fault grow 2", "0 4000000000\n1 1\n2 4000000000\n"},
      {15, "create t type iface", "fault grow 2", "grow0 4000000000\ngrow1 4000000000\n"},
      {15, "create t type mac", "fault grow 2",
       "02:00:00:00:00:00/48 4000000000\n02:00:00:00:00:01/48 4000000000\n"},
      {15, "create t type flow:src-ip,dst-port", "fault grow 2",
       "198.18.0.0,0 4000000000\n198.18.0.1,1 4000000000\n"},
      // A flow table that keeps only the protocol has 256 keys: no more
      // than that are added, however many are asked for.
      {14, "create t type flow:proto", "fault grow 300", nullptr},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::to_string(r.abi) + ": " + r.setup);
    std::unique_ptr<emu_store, store_deleter> store{emu_store_new(r.abi)};
    std::istringstream in(r.setup);
    for (std::string cmd; std::getline(in, cmd, ';');) ASSERT_EQ(store_admin(store.get(), cmd), 0) << cmd;
    ASSERT_EQ(store_admin(store.get(), r.grow), 0);
    bytes info = sized_request(r.abi, IP_FW_TABLE_XINFO, "t", 296);
    ASSERT_EQ(ask(store.get(), info).rc, 0);
    bytes list = sized_request(r.abi, IP_FW_TABLE_XLIST, "t", 296);
    ask(store.get(), list);
    std::string listed;
    ASSERT_EQ(store_admin(store.get(), "list t", &listed), 0);
    if (r.listed != nullptr) {
      EXPECT_EQ(listed, r.listed);
    } else {
      EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 256);
    }
  }
}

// An info request arms the growth for its table; the next list request of
// that table takes it, one of another table does not; with COUNT 0 every
// info/list pair grows the table until "fault clear".
TEST_F(StoreTest, GrowthIsArmedByAnInfoAndTakenByThatTablesList) {
  admin("create t");
  admin("create u");
  admin("fault grow 2");
  EXPECT_EQ(admin("fault show"), "grow 2: 1 more\n");
  bytes b = list_request("t", 4096);
  ASSERT_EQ(get(b).rc, 0);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), 0u) << "no info came first";

  EXPECT_EQ(info_of("t").count, 0u);
  EXPECT_EQ(admin("fault show"), "grow 2 (armed for table t): 1 more\n");
  b = list_request("u", 4096);
  ASSERT_EQ(get(b).rc, 0);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), 0u) << "another table's list";
  b = list_request("t", 4096);
  ASSERT_EQ(get(b).rc, 0);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), 2u);
  EXPECT_EQ(admin("fault show"), "");
  EXPECT_EQ(info_of("t").count, 2u);
  b = list_request("t", 4096);
  ASSERT_EQ(get(b).rc, 0);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), 2u) << "used up";

  admin("fault grow 1 0");
  for (uint32_t pair = 1; pair <= 3; pair++) {
    info_of("u");
    b = list_request("u", 4096);
    ASSERT_EQ(get(b).rc, 0);
    EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), pair);
  }
  EXPECT_EQ(admin("fault show"), "grow 1: every info/list pair\n");
  admin("fault clear");
  info_of("u");
  b = list_request("u", 4096);
  ASSERT_EQ(get(b).rc, 0);
  EXPECT_EQ(read_at<uint32_t>(b, 96 + offsetof(ipfw_xtable_info, count)), 3u);
}

}  // namespace
