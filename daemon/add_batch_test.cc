// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/add_batch.h"

#include <errno.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "emu/table_words.h"
#include "fwtable/address_key.h"
#include "fwtable/entry_render.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/fake_platform.h"

namespace {

constexpr int EXIT_DATAERR = 65;
constexpr int EXIT_OSERR = 71;

std::vector<std::string> logged;
void keep_log(int, const char* text) { logged.emplace_back(text); }

// The kernel is the emulator's store; the log lines are kept, a fatal exit
// throws; dates are in UTC.
struct add_batch_test : testing::Test {
  add_batch_test() : scope(quiet_platform()) {
    logged.clear();
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~add_batch_test() override {
    unsetenv("TZ");
    tzset();
  }
  static platform quiet_platform() {
    platform p = with_throwing_exit();
    p.log = keep_log;
    return p;
  }

  // The batch of these keys, each with this deadline.
  add_batch batch_of(const std::vector<std::string>& keys, uint32_t deadline) {
    add_batch b;
    for (const std::string& k : keys) {
      char why[ADDRESS_KEY_WHY_SIZE];
      EXPECT_TRUE(parse_address_key(k.c_str(), &b.entries[b.n], why)) << k;
      b.deadlines[b.n++] = deadline;
    }
    return b;
  }

  // Sends a batch; the status a fatal exit gave (0: none), and what went
  // to standard output and error.
  int send(add_batch* b, bool dry_run = false) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = 0;
    try {
      send_add_batch("t", b, dry_run, &tally);
    } catch (const fatal_exit& e) {
      status = e.status;
    }
    out = testing::internal::GetCapturedStdout();
    err = as_hostreapd(testing::internal::GetCapturedStderr());
    return status;
  }

  // Standard error's lines as the program writes them: err(3) names the
  // test program where hostreapd would be named.
  static std::string as_hostreapd(std::string text) {
    const std::string mine = std::string(program_invocation_short_name) + ": ";
    for (size_t at = 0; (at = text.find(mine, at)) != std::string::npos;) {
      if (at == 0 || text[at - 1] == '\n') text.replace(at, mine.size(), "hostreapd: ");
      at++;
    }
    return text;
  }

  long requests(uint16_t opcode) const { return static_cast<long>(fk.requests_of(opcode).size()); }

  fake_kernel fk;
  platform_scope scope;
  add_tally tally;
  std::string out;
  std::string err;
};

// For each layout of values both kernels have: an absent key gets the
// deadline where the sweep reads the time and zero elsewhere; a present
// key gets the deadline there and keeps every other field (an IPv6 next
// hop with its scope id). A table whose values are the time alone is
// written without a lookup: an info and an add request.
TEST_F(add_batch_test, TheTimeGoesWhereTheSweepReadsItAndOtherFieldsAreKept) {
  struct row {
    const char* valtype;
    const char* present;  // the present key's value as fwemu takes it
    const char* listed;  // the table afterwards: 192.0.2.1 renewed, 192.0.2.2 added
    bool lookup;
  };
  std::vector<row> rows = {
      {"legacy", "5", "192.0.2.1 1900000000\n192.0.2.2 1900000000\n", false},
      {"tag", "tag=5", "192.0.2.1 1900000000\n192.0.2.2 1900000000\n", false},
      {"mark", "mark=5", "192.0.2.1 1900000000\n192.0.2.2 1900000000\n", false},
      {"tag,mark", "tag=5,mark=77", "192.0.2.1 1900000000,77\n192.0.2.2 1900000000,0\n", true},
      {"netgraph,limit,ipv4", "netgraph=5,limit=6,ipv4=198.51.100.1",
       "192.0.2.1 1900000000,6,198.51.100.1\n192.0.2.2 1900000000,0,0.0.0.0\n", true},
      {"limit,ipv6", "limit=5,ipv6=fe80::1%4000",
       "192.0.2.1 1900000000,fe80::1%4000\n192.0.2.2 1900000000,::\n", true},
  };
  if (FW_ABI == 15)
    rows.push_back(
        {"skipto,tag", "skipto=5,tag=42", "192.0.2.1 1900000000,42\n192.0.2.2 1900000000,0\n", true});
  for (const row& r : rows) {
    SCOPED_TRACE(r.valtype);
    fk.admin_status("destroy t");
    fk.admin(std::string("create t valtype ") + r.valtype);
    fk.admin(std::string("add t 192.0.2.1 ") + r.present);
    fk.requests.clear();
    logged.clear();
    add_batch b = batch_of({"192.0.2.1", "192.0.2.2"}, 1900000000);
    ASSERT_EQ(send(&b), 0) << err;
    EXPECT_EQ(b.n, 0u);
    EXPECT_EQ(fk.admin("list t"), r.listed);
    EXPECT_EQ(requests(IP_FW_TABLE_XINFO), 1);
    EXPECT_EQ(requests(IP_FW_TABLE_XADD), 1);
    EXPECT_EQ(requests(IP_FW_TABLE_XFIND), r.lookup ? 2 : 0);
    EXPECT_EQ(requests(IP_FW_TABLE_XLIST), 0);
    // The value written is the one the sweep reads as the entry's time.
    std::vector<fake_kernel::request> adds = fk.requests_of(IP_FW_TABLE_XADD);
    uint32_t vmask = 0;
    ASSERT_TRUE(emu_vmask_from_word(r.valtype, &vmask));
    for (size_t i = 0; i < 2; i++) {
      ipfw_obj_tentry sent;
      memcpy(&sent, adds[0].bytes.data() + 112 + 120 * i, sizeof sent);
      uint32_t expiry = 0;
      EXPECT_TRUE(value_expiry(vmask, &sent.v, &expiry)) << i;
      EXPECT_EQ(expiry, 1900000000u) << i;
    }
    EXPECT_EQ(logged, (std::vector<std::string>{
                          "Renewing host 192.0.2.1 in table t until 2030-03-17 17:46:40 UTC",
                          "Adding host 192.0.2.2 to table t until 2030-03-17 17:46:40 UTC",
                      }));
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");
  }
  EXPECT_EQ(tally.added, rows.size());
  EXPECT_EQ(tally.renewed, rows.size());
  EXPECT_EQ(tally.refused, 0u);
}

// More keys than are worth finding one by one: one listing of the table.
// Among them IPv6 hosts and prefixes, a host beside the prefix of the same
// address, and a key given twice (both places get its value).
TEST_F(add_batch_test, ALargerBatchLooksItsKeysUpInOneListing) {
  fk.admin("create t valtype tag,mark");
  std::vector<std::string> keys;
  for (int i = 1; i <= 40; i++) {
    keys.push_back("192.0.2." + std::to_string(i));
    if (i % 2 == 0) fk.admin("add t 192.0.2." + std::to_string(i) + " tag=1,mark=" + std::to_string(i));
  }
  fk.admin("add t 192.0.2.200 tag=1,mark=200");
  fk.admin("add t 2001:db8::1 tag=1,mark=61");
  fk.admin("add t 2001:db8::/64 tag=1,mark=64");
  fk.admin("add t 2001:db8::/48 tag=1,mark=48");
  for (const char* k : {"2001:db8::1", "2001:db8::/64", "2001:db8::/56", "192.0.2.4"}) keys.push_back(k);
  fk.requests.clear();
  add_batch b = batch_of(keys, 1900000000);
  ASSERT_EQ(send(&b), 0) << err;
  EXPECT_EQ(requests(IP_FW_TABLE_XFIND), 0);
  EXPECT_EQ(requests(IP_FW_TABLE_XLIST), 1);
  EXPECT_EQ(fk.requests.size(), 3u) << "info, list, add";
  std::string want;
  for (int i = 1; i <= 40; i++)
    want += "192.0.2." + std::to_string(i) + " 1900000000," + std::to_string(i % 2 == 0 ? i : 0) + "\n";
  want +=
      "192.0.2.200 1,200\n2001:db8::1 1900000000,61\n2001:db8::/64 1900000000,64\n"
      "2001:db8::/56 1900000000,0\n2001:db8::/48 1,48\n";
  // The listing's order is the keys' bytes', not the text's.
  std::string listed = fk.admin("list t");
  auto lines = [](const std::string& s) {
    std::vector<std::string> v;
    size_t at = 0;
    for (size_t nl; (nl = s.find('\n', at)) != std::string::npos; at = nl + 1)
      v.push_back(s.substr(at, nl - at));
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(lines(listed), lines(want));
  EXPECT_EQ(tally.added, 21u);
  EXPECT_EQ(tally.renewed, 23u);
}

// A find answers the longest prefix that holds an address: a host at a
// prefix's own address hides the prefix from it. The prefix's fields are
// then found in a listing, not taken as absent (which would zero them).
TEST_F(add_batch_test, AFindAnsweringAMoreSpecificEntryIsSettledByAListing) {
  fk.admin("create t valtype tag,mark");
  fk.admin("add t 192.0.2.0 tag=1,mark=9");
  fk.admin("add t 192.0.2.0/24 tag=2,mark=8");
  fk.admin("add t 198.51.100.0/24 tag=3,mark=7");
  fk.requests.clear();
  // 198.51.100.7 finds only its covering prefix: absent.
  add_batch b = batch_of({"192.0.2.0/24", "198.51.100.7"}, 1900000000);
  ASSERT_EQ(send(&b), 0) << err;
  EXPECT_EQ(fk.admin("list t"),
            "192.0.2.0/24 1900000000,8\n192.0.2.0 1,9\n198.51.100.0/24 3,7\n198.51.100.7 1900000000,0\n");
  EXPECT_EQ(requests(IP_FW_TABLE_XLIST), 1);
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "Renewing host 192.0.2.0/24 in table t until 2030-03-17 17:46:40 UTC",
                        "Adding host 198.51.100.7 to table t until 2030-03-17 17:46:40 UTC",
                    }));
}

// The kernel's answer for each key: one that did not fit a full table is
// named and counted, the rest of the batch stands; a locked table refuses
// the batch whole (71), nothing logged.
TEST_F(add_batch_test, AFullTableNamesTheKeysThatDidNotFitAndALockedOneEndsTheRun) {
  fk.admin("create t limit 2");
  fk.admin("add t 192.0.2.1 5");
  add_batch b = batch_of({"192.0.2.1", "192.0.2.2", "192.0.2.3", "2001:db8::/64"}, 1900000100);
  ASSERT_EQ(send(&b), 0);
  EXPECT_EQ(err,
            "hostreapd: table t is full: 192.0.2.3 was not added\n"
            "hostreapd: table t is full: 2001:db8::/64 was not added\n");
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "Renewing host 192.0.2.1 in table t until 2030-03-17 17:48:20 UTC",
                        "Adding host 192.0.2.2 to table t until 2030-03-17 17:48:20 UTC",
                    }));
  EXPECT_EQ(tally.added, 1u);
  EXPECT_EQ(tally.renewed, 1u);
  EXPECT_EQ(tally.refused, 2u);

  fk.admin("lock t");
  logged.clear();
  b = batch_of({"192.0.2.1"}, 1900000000);
  EXPECT_EQ(send(&b), EXIT_OSERR);
  EXPECT_EQ(err, "hostreapd: cannot add to table t: table is locked\n");
  EXPECT_TRUE(logged.empty());
  EXPECT_EQ(fk.admin("list t"), "192.0.2.1 1900000100\n192.0.2.2 1900000100\n");
}

// A table the keys cannot go into is refused before anything is written.
TEST_F(add_batch_test, TablesThatCannotTakeTheKeysAreRefused) {
  struct row {
    const char* create;  // empty: no table
    int status;
    std::string err;
  };
  std::vector<row> rows = {
      {"", EXIT_OSERR, "hostreapd: failed to request table info: No such process\n"},
      {"create t type number", EXIT_DATAERR, "hostreapd: table t is not an address table\n"},
      {"create t type iface", EXIT_DATAERR, "hostreapd: table t is not an address table\n"},
      {"create t valtype pipe,tag", EXIT_DATAERR,
       "hostreapd: table t: its values begin with pipe, which cannot hold a time; its entries are never "
       "removed\n"},
      {"create t valtype dscp", EXIT_DATAERR,
       "hostreapd: table t: its values begin with dscp, which cannot hold a time; its entries are never "
       "removed\n"},
      {"create t valtype ipv4,mark", EXIT_DATAERR,
       "hostreapd: table t: its values begin with ipv4, which cannot hold a time; its entries are never "
       "removed\n"},
  };
  if (FW_ABI == 14)
    rows.push_back(
        {"create t valtype skipto,tag", EXIT_DATAERR,
         "hostreapd: table t: its values begin with skipto, which cannot hold a time; its entries are "
         "never removed\n"});
  for (const row& r : rows) {
    SCOPED_TRACE(r.create);
    fk.admin_status("destroy t");
    if (r.create[0] != '\0') fk.admin(r.create);
    fk.requests.clear();
    add_batch b = batch_of({"192.0.2.1"}, 1900000000);
    EXPECT_EQ(send(&b), r.status);
    EXPECT_EQ(err, r.err);
    EXPECT_EQ(requests(IP_FW_TABLE_XADD), 0);
    EXPECT_EQ(requests(IP_FW_TABLE_XFIND), 0);
    testing::internal::CaptureStderr();
    int status = 0;
    try {
      check_add_table("t");
    } catch (const fatal_exit& e) {
      status = e.status;
    }
    EXPECT_EQ(as_hostreapd(testing::internal::GetCapturedStderr()), r.err);
    EXPECT_EQ(status, r.status);
  }
  EXPECT_TRUE(logged.empty());
}

// A dry run looks every key up, says what it would do, and changes and
// logs nothing.
TEST_F(add_batch_test, ADryRunSaysWhatItWouldDoAndChangesNothing) {
  fk.admin("create t");
  fk.admin("add t 192.0.2.1 5");
  add_batch b = batch_of({"192.0.2.1", "2001:db8::/64"}, 1900000000);
  ASSERT_EQ(send(&b, true), 0);
  EXPECT_EQ(out,
            "would renew host 192.0.2.1 in table t until 2030-03-17 17:46:40 UTC\n"
            "would add host 2001:db8::/64 to table t until 2030-03-17 17:46:40 UTC\n");
  EXPECT_EQ(fk.admin("list t"), "192.0.2.1 5\n");
  EXPECT_EQ(requests(IP_FW_TABLE_XADD), 0);
  EXPECT_EQ(requests(IP_FW_TABLE_XFIND), 2);
  EXPECT_TRUE(logged.empty());
  EXPECT_EQ(b.n, 0u);
}

}  // namespace
