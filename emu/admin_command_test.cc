// SPDX-License-Identifier: BSD-2-Clause
// The fwemu tool's words, run in-process against a store: key and value
// texts of every table type, table settings, info and stats, and ipfw(8)'s
// words for them.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "emu/store_state.h"
#include "emu/table_store.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "tests/support/fake_kernel.h"

namespace {

struct store_deleter {
  void operator()(emu_store* s) const { emu_store_free(s); }
};

class AdminTest : public testing::Test {
 protected:
  std::unique_ptr<emu_store, store_deleter> store{emu_store_new()};

  int run(const std::string& words, std::string* text = nullptr) {
    return store_admin(store.get(), words, text);
  }
  std::string ok(const std::string& words) {
    std::string out;
    EXPECT_EQ(run(words, &out), 0) << words << ": " << out;
    return out;
  }
  // The entries as a list request returns them.
  std::vector<ipfw_obj_tentry> listed(const char* name) {
    std::vector<uint8_t> b(1 << 16);
    ipfw_obj_header oh;
    memset(&oh, 0, sizeof oh);
    init_request_header(&oh, name, 0);
    oh.opheader.opcode = IP_FW_TABLE_XLIST;
    oh.opheader.version = fw_request_version(IP_FW_TABLE_XLIST);
    memcpy(b.data(), &oh, sizeof oh);
    uint32_t len = static_cast<uint32_t>(b.size());
    EXPECT_EQ(emu_store_get(store.get(), b.data(), &len), 0);
    std::vector<ipfw_obj_tentry> out((len - 296) / 120);
    for (size_t i = 0; i < out.size(); i++) memcpy(&out[i], b.data() + 296 + 120 * i, 120);
    return out;
  }
  std::string first_key(const std::string& name) {
    std::string text = ok("list " + name);
    return text.substr(0, text.find(' '));
  }
};

// ---- key texts -----------------------------------------------------------------

struct key_case {
  const char* type;
  const char* text;
  const char* listed;  // nullptr: refused with status 65
};

class AdminKeyText : public AdminTest, public testing::WithParamInterface<key_case> {};

INSTANTIATE_TEST_SUITE_P(
    , AdminKeyText,
    testing::Values(
        key_case{"addr", "192.0.2.1", "192.0.2.1"}, key_case{"addr", "192.0.2.1/32", "192.0.2.1"},
        key_case{"addr", "198.51.100.7/24", "198.51.100.0/24"}, key_case{"addr", "10.1.2.3/0", "0.0.0.0/0"},
        key_case{"addr", "2001:db8::1", "2001:db8::1"}, key_case{"addr", "2001:db8::1/128", "2001:db8::1"},
        key_case{"addr", "2001:db8:ffff::/33", "2001:db8:8000::/33"},
        key_case{"addr", "192.0.2.1/33", nullptr}, key_case{"addr", "2001:db8::/129", nullptr},
        key_case{"addr", "192.0.2.1/", nullptr}, key_case{"addr", "192.0.2.1/x", nullptr},
        key_case{"addr", "192.0.2.1/-1", nullptr}, key_case{"addr", "10.1", nullptr},
        key_case{"addr", "host.example", nullptr}, key_case{"iface", "em0", "em0"},
        key_case{"iface", "fifteen-chars-x", "fifteen-chars-x"},
        key_case{"iface", "sixteen-chars-xy", nullptr}, key_case{"number", "0", "0"},
        key_case{"number", "4294967295", "4294967295"}, key_case{"number", "4294967296", nullptr},
        key_case{"number", "-1", nullptr}, key_case{"number", "42x", nullptr},
        key_case{"flow:src-ip,proto,src-port,dst-ip,dst-port", "192.0.2.1,6,1024,192.0.2.2,80",
                 "192.0.2.1,6,1024,192.0.2.2,80"},
        key_case{"flow:dst-port,src-ip", "2001:db8::1,53", "2001:db8::1,53"},
        key_case{"flow:src-ip,proto,src-port,dst-ip,dst-port", ",6,1,,2", ",6,1,,2"},
        key_case{"flow:src-ip,dst-ip", "192.0.2.1,2001:db8::1", nullptr},
        key_case{"flow:src-ip,dst-ip", "192.0.2.1", nullptr},
        key_case{"flow:src-ip,dst-ip", "192.0.2.1,192.0.2.2,80", nullptr},
        key_case{"flow:proto", "256", nullptr}, key_case{"flow:dst-port", "65536", nullptr},
        key_case{"flow:src-ip", "not-an-address", nullptr},
        key_case{"mac", "00:11:22:33:44:55", "00:11:22:33:44:55/48"},
        key_case{"mac", "0:1:2:3:4:5", "00:01:02:03:04:05/48"},
        key_case{"mac", "AA:BB:CC:DD:EE:FF/8", "aa:00:00:00:00:00/8"},
        key_case{"mac", "00:11:22:33:44:55/49", nullptr}, key_case{"mac", "00:11:22:33:44", nullptr},
        key_case{"mac", "00:11:22:33:44:gg", nullptr}, key_case{"mac", "001:1:2:3:4:5", nullptr}));

TEST_P(AdminKeyText, ReadAndWrittenBack) {
  const key_case& c = GetParam();
  ok(std::string("create t type ") + c.type);
  std::string text;
  int st = run(std::string("add t ") + c.text, &text);
  if (c.listed == nullptr) {
    EXPECT_EQ(st, 65) << text;
    EXPECT_NE(text.find(std::string("bad key for ")), std::string::npos) << text;
    EXPECT_EQ(ok("list t"), "");
    return;
  }
  ASSERT_EQ(st, 0) << text;
  EXPECT_EQ(first_key("t"), c.listed);
  // The written form reads back as the same key.
  EXPECT_EQ(run(std::string("add t ") + c.listed), 1);
  ok(std::string("delete t ") + c.listed);
  EXPECT_EQ(ok("list t"), "");
}

// ---- value texts -----------------------------------------------------------------

struct value_case {
  const char* valtype;
  const char* text;
  bool accepted;
  std::function<void(ipfw_table_value*)> expect;  // fills the fields set
};

class AdminValueText : public AdminTest, public testing::WithParamInterface<value_case> {};

INSTANTIATE_TEST_SUITE_P(
    , AdminValueText,
    testing::Values(
        value_case{"legacy", "4294967295", true, [](ipfw_table_value* v) { v->tag = 4294967295u; }},
        value_case{"legacy", "4294967296", false, nullptr}, value_case{"legacy", "-1", false, nullptr},
        value_case{"legacy", "tag=5", false, nullptr},
        value_case{"skipto,tag", "skipto=100,tag=5", true,
                   [](ipfw_table_value* v) {
                     v->skipto = 100;
                     v->tag = 5;
                   }},
        value_case{"skipto,tag", "tag=5", true, [](ipfw_table_value* v) { v->tag = 5; }},
        value_case{"pipe,fib,nat,dscp,divert,netgraph,limit",
                   "pipe=65535,fib=2,nat=3,dscp=63,divert=4,netgraph=5,limit=6", true,
                   [](ipfw_table_value* v) {
                     v->pipe = 65535;
                     v->fib = 2;
                     v->nat = 3;
                     v->dscp = 63;
                     v->divert = 4;
                     v->netgraph = 5;
                     v->limit = 6;
                   }},
        value_case{"ipv4", "ipv4=192.0.2.1", true, [](ipfw_table_value* v) { v->nh4 = 0xC0000201u; }},
        value_case{"tag,mark", "mark=4294967295,tag=1", true,
                   [](ipfw_table_value* v) {
                     v->mark = 4294967295u;
                     v->tag = 1;
                   }},
        value_case{"mark,0x1000", "mark=7", true, [](ipfw_table_value* v) { v->mark = 7; }},
        value_case{"ipv6", "ipv6=2001:db8::1%3", true,
                   [](ipfw_table_value* v) {
                     inet_pton(AF_INET6, "2001:db8::1", v->nh6);
                     v->zoneid = 3;
                   }},
        value_case{"dscp", "dscp=64", false, nullptr}, value_case{"skipto", "fib=1", false, nullptr},
        value_case{"skipto", "skipto=1,skipto=2", false, nullptr},
        value_case{"skipto", "skipto", false, nullptr},
        value_case{"ipv4", "ipv4=2001:db8::1", false, nullptr},
        value_case{"ipv6", "ipv6=2001:db8::1%x", false, nullptr}));

TEST_P(AdminValueText, StoredInItsFields) {
  const value_case& c = GetParam();
  ok(std::string("create t valtype ") + c.valtype);
  std::string text;
  int st = run(std::string("add t 192.0.2.1 ") + c.text, &text);
  if (!c.accepted) {
    EXPECT_EQ(st, 65) << text;
    EXPECT_TRUE(listed("t").empty());
    return;
  }
  ASSERT_EQ(st, 0) << text;
  ipfw_table_value want;
  memset(&want, 0, sizeof want);
  c.expect(&want);
  auto entries = listed("t");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(memcmp(&entries[0].v, &want, sizeof want), 0);
}

TEST_F(AdminTest, ValueDefaultsToZero) {
  ok("create t valtype skipto,ipv6");
  ok("add t 192.0.2.1");
  ipfw_table_value zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(memcmp(&listed("t")[0].v, &zero, sizeof zero), 0);
}

// ---- tables -----------------------------------------------------------------------

struct create_case {
  const char* words;
  int status;
};

class AdminCreate : public AdminTest, public testing::WithParamInterface<create_case> {};

INSTANTIATE_TEST_SUITE_P(
    , AdminCreate,
    testing::Values(create_case{"create t", 0},
                    create_case{"create t type mac valtype legacy limit 5 set 31", 0},
                    create_case{"create t set 5 limit 0 type flow", 0}, create_case{"create t set 32", 65},
                    create_case{"create t limit -1", 65}, create_case{"create t type ipv7", 65},
                    create_case{"create t type flow:src-ip,,dst-ip", 65},
                    create_case{"create t valtype legacy,tag", 65}, create_case{"create t valtype 0x", 65},
                    create_case{"create t valtype 0x1g", 65}, create_case{"create t valtype 0x100000000", 65},
                    create_case{"create t valtype tag,-1", 65}, create_case{"create t type", 64},
                    create_case{"create t colour red", 64}, create_case{"create", 64},
                    create_case{"create t\x01", 65}));

TEST_P(AdminCreate, Status) {
  std::string text;
  EXPECT_EQ(run(GetParam().words, &text), GetParam().status) << text;
  EXPECT_EQ(run("info t") == 0, GetParam().status == 0);
}

TEST_F(AdminTest, SecondTableOfTheSameNameIsRefused) {
  ok("create t type number");
  std::string text;
  EXPECT_EQ(run("create t", &text), 1);
  EXPECT_EQ(text, "table already exists: t");
  EXPECT_NE(ok("info t").find("type: number"), std::string::npos);
}

// The set a table was created in is not reported: table sets are disabled,
// and every table is in set 0.
TEST_F(AdminTest, InfoDescribesTheTable) {
  ok("create a");
  ok("create t type flow:dst-port,src-ip valtype tag,skipto limit 9 set 4");
  ok("add t 192.0.2.1,80 skipto=1");
  ok("lock t");
  EXPECT_EQ(
      ok("info t"),
      "name: t\ntype: flow\nalgorithm: flow:hash\nflow fields: src-ip,dst-port\nvalue mask: skipto,tag\n"
      "set: 0\nkernel index: 2\ncount: 1\nsize: 416\nlimit: 9\nlocked: yes\n");
  // Value bits no keyword names follow the keywords as one number.
  ok("create u valtype 0x1000,mark,4096,0x80000000");
  EXPECT_NE(ok("info u").find("\nvalue mask: mark,0x80001000\n"), std::string::npos) << ok("info u");
}

struct verb_case {
  const char* words;
  int status;
  const char* text;
};

class AdminVerbs : public AdminTest, public testing::WithParamInterface<verb_case> {};

INSTANTIATE_TEST_SUITE_P(
    , AdminVerbs,
    testing::Values(verb_case{"list nosuch", 66, "no such table: nosuch"},
                    verb_case{"info nosuch", 66, "no such table: nosuch"},
                    verb_case{"lock nosuch", 66, "no such table: nosuch"},
                    verb_case{"destroy nosuch", 66, "no such table: nosuch"},
                    verb_case{"delete t 192.0.2.9", 1, "t: 192.0.2.9: record not found"},
                    verb_case{"add t 192.0.2.1", 1, "t: 192.0.2.1: record already exists"},
                    verb_case{"list t extra", 64, nullptr}, verb_case{"delete t", 64, nullptr},
                    verb_case{"stats now", 64, nullptr}, verb_case{"", 64, nullptr},
                    verb_case{"LIST t", 64, nullptr}));

TEST_P(AdminVerbs, Refusals) {
  ok("create t");
  ok("add t 192.0.2.1");
  std::string text;
  EXPECT_EQ(run(GetParam().words, &text), GetParam().status);
  if (GetParam().text != nullptr) {
    EXPECT_EQ(text, GetParam().text);
  } else {
    EXPECT_EQ(text.rfind("usage:", 0), 0u) << text;
  }
}

TEST_F(AdminTest, LockGuardsEntriesAndTheTable) {
  ok("create t");
  ok("add t 192.0.2.1");
  ok("lock t");
  for (const char* words : {"add t 192.0.2.2", "delete t 192.0.2.1", "flush t", "destroy t"}) {
    std::string text;
    EXPECT_EQ(run(words, &text), 1) << words;
    EXPECT_EQ(text, "t: table is locked");
  }
  EXPECT_EQ(ok("list t").substr(0, 10), "192.0.2.1 ");
  ok("unlock t");
  ok("flush t");
  EXPECT_EQ(ok("list t"), "");
  ok("destroy t");
  EXPECT_EQ(run("list t"), 66);
}

// fill: consecutive hosts or prefixes, STEP apart, across byte and family
// boundaries; refused whole when a key exists, the limit is reached, the
// family ends or the table is not an address table.
TEST_F(AdminTest, FillAddsConsecutiveAddressesOrNothing) {
  struct row {
    const char* words;
    int status;
    const char* listing;  // the whole table afterwards; refusals leave it as it was
  };
  const std::vector<row> rows = {
      {"fill a 10.0.0.254 3 7", 0, "10.0.0.254 7\n10.0.0.255 7\n10.0.1.0 7\n"},
      {"fill a 10.0.0.0/24 3 5 2", 0, "10.0.0.0/24 5\n10.0.2.0/24 5\n10.0.4.0/24 5\n"},
      {"fill a 255.255.255.254 2", 0, "255.255.255.254 0\n255.255.255.255 0\n"},
      {"fill a fd00::ffff:ffff:ffff:ffff 2 9", 0, "fd00::ffff:ffff:ffff:ffff 9\nfd00:0:0:1:: 9\n"},
      {"fill a fd00:1::/64 2 1 65536", 0, "fd00:1::/64 1\nfd00:1:1::/64 1\n"},
      {"fill a 0.0.0.0/0 1 3", 0, "0.0.0.0/0 3\n"},
      {"fill a 10.0.0.1 0 3", 0, ""},
      {"fill a 255.255.255.255 2", 65, "10.0.0.3 1\n"},
      {"fill a 0.0.0.0/0 2", 65, "10.0.0.3 1\n"},
      {"fill a ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe 2 1 2", 65, "10.0.0.3 1\n"},
      {"fill a 10.0.0.1 3", 1, "10.0.0.3 1\n"},
      {"fill a 10.0.0.1 2 1 0", 65, "10.0.0.3 1\n"},
      {"fill a 10.0.0.1 x", 65, "10.0.0.3 1\n"},
      {"fill a 10.0.0.1", 64, "10.0.0.3 1\n"},
      {"fill n 1 2", 65, nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.words);
    store.reset(emu_store_new());
    ok("create a limit 4");
    ok("create n type number");
    if (r.status != 0) ok("add a 10.0.0.3 1");
    std::string text;
    EXPECT_EQ(run(r.words, &text), r.status) << text;
    if (r.listing != nullptr) {
      EXPECT_EQ(ok("list a"), r.listing);
    }
  }
  // The limit counts what is there already.
  store.reset(emu_store_new());
  ok("create a limit 4");
  ok("fill a 10.0.0.0 2");
  std::string text;
  EXPECT_EQ(run("fill a 10.1.0.0 3", &text), 1);
  EXPECT_EQ(text, "a: limit hit");
  ok("fill a 10.1.0.0 2");
  ok("lock a");
  EXPECT_EQ(run("fill a 10.2.0.0 0", &text), 1);
  EXPECT_EQ(text, "a: table is locked");
}

TEST_F(AdminTest, StatsCountConnectionsCommandsAndRequests) {
  ok("create t");
  emu_store_count_connection(store.get());
  std::vector<uint8_t> b(296);
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t", 0);
  for (uint16_t op : {IP_FW_TABLE_XINFO, IP_FW_TABLE_XINFO, IP_FW_TABLE_XLIST, IP_FW_TABLE_XDEL,
                      IP_FW_TABLE_XFIND, uint16_t{50}}) {
    oh.opheader.opcode = op;
    memcpy(b.data(), &oh, sizeof oh);
    uint32_t len = 296;
    emu_store_get(store.get(), b.data(), &len);
  }
  EXPECT_EQ(ok("stats"),
            "connections: 1\nadmin commands: 2\nrequests 93: 2\nrequests 89: 1\nrequests 87: 1\n"
            "requests 86: 0\nrequests 106: 1\nrequests other: 1\n");
}

// ---- ipfw(8)'s words ---------------------------------------------------------------

// Commands as ipfw(8) is given them, run in turn against a store emulating
// FreeBSD abi's kernel: every one before the last succeeds; the last ends
// with status, and then table t lists as listed (status 0) or the last
// command said text.
struct ipfw_case {
  const char* what;
  int abi;
  std::vector<std::string> commands;
  int status;
  std::string text;
};

TEST(AdminIpfwWords, AsIpfwReadsThem) {
  const std::vector<ipfw_case> cases = {
      {"the set goes last, the fields in ipfw(8)'s order whatever valtype's, a mark in hexadecimal",
       15,
       {"set 3 table t create type addr valtype mark,tag,pipe", "table t add 192.0.2.1 1796964640,5,3"},
       0,
       "192.0.2.1 33056,5,3\n"},
      {"a mark with and without 0x, cut to 32 bits",
       15,
       {"table t create valtype mark", "table t add 192.0.2.5 0x6b1b8120 192.0.2.6 1796964640"},
       0,
       "192.0.2.5 1796964640\n192.0.2.6 2526430784\n"},
      {"FreeBSD 15 keeps a time in skipto, cut to 32 bits",
       15,
       {"table t create valtype skipto,tag", "table t add 192.0.2.1 4294967295,1 192.0.2.2 4294967296,1"},
       0,
       "192.0.2.1 -1,1\n192.0.2.2 0,1\n"},
      {"FreeBSD 14 cuts skipto to 16 bits",
       14,
       {"table t create valtype skipto,tag", "table t add 192.0.2.3 1796977761,1"},
       0,
       "192.0.2.3 46177,1\n"},
      {"a legacy value is one number; a key alone is added with 0",
       15,
       {"table t create type addr", "table t add 192.0.2.1 5 192.0.2.2"},
       0,
       "192.0.2.1 5\n192.0.2.2 0\n"},
      {"list and info", 15, {"table t create", "table t info", "table t list"}, 0, ""},
      {"the first add refused ends the command",
       15,
       {"table t create", "table t add 192.0.2.1 1 192.0.2.1 2 192.0.2.3 3"},
       1,
       "t: 192.0.2.1: record already exists"},
      {"a locked table",
       15,
       {"table t create", "table t lock", "table t add 192.0.2.1 1"},
       1,
       "t: table is locked"},
      {"a dscp above 63", 15, {"table t create valtype dscp", "table t add 192.0.2.1 64"}, 65, ""},
      {"fewer fields than value types",
       15,
       {"table t create valtype skipto,tag", "table t add 192.0.2.1 5"},
       65,
       "bad value 5: the table has 2 value types; the value gives 1 fields"},
      {"a mark that is not hexadecimal",
       15,
       {"table t create valtype mark", "table t add 192.0.2.1 0xg"},
       65,
       "bad value 0xg: mark is a hexadecimal number: 0xg"},
      {"a missing table", 15, {"table t add 192.0.2.1 5"}, 66, "no such table: t"},
      {"a verb it does not know",
       15,
       {"table t flush"},
       64,
       "not an ipfw(8) table command the emulator knows: table t flush"},
      {"valtype legacy, which ipfw(8) refuses", 15, {"table t create valtype legacy"}, 64, ""},
      {"a set before add", 15, {"table t create", "set 1 table t add 192.0.2.1 5"}, 64, ""},
      {"a word after lock", 15, {"table t create", "table t lock now"}, 64, ""},
      {"not a table command", 15, {"tables t list"}, 64, ""},
  };
  for (const ipfw_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<emu_store, store_deleter> store{emu_store_new(c.abi)};
    std::string text;
    for (size_t i = 0; i < c.commands.size(); i++) {
      const int st = store_admin(store.get(), "ipfw " + c.commands[i], &text);
      if (i + 1 < c.commands.size())
        ASSERT_EQ(st, 0) << c.commands[i] << ": " << text;
      else
        EXPECT_EQ(st, c.status) << text;
    }
    if (c.status == 0) {
      std::string listed;
      EXPECT_EQ(store_admin(store.get(), "list t", &listed), 0);
      EXPECT_EQ(listed, c.text);
    } else if (!c.text.empty()) {
      EXPECT_EQ(text, c.text);
    }
  }
}

}  // namespace
