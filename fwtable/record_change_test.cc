// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/record_change.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fwtable/fwctl.h"
#include "fwtable/table_command.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/table_records.h"

namespace {

constexpr int EXIT_USAGE = 64;
constexpr int EXIT_DATAERR = 65;
constexpr int EXIT_OSERR = 71;

// The key texts of one command, writable as the parser needs them.
struct key_args {
  explicit key_args(const std::vector<std::string>& t) : texts(t) {
    for (std::string& s : texts) ptrs.push_back(s.data());
  }
  key_args(const key_args&) = delete;
  key_args& operator=(const key_args&) = delete;
  int argc() const { return static_cast<int>(ptrs.size()); }
  char** argv() { return ptrs.data(); }

  std::vector<std::string> texts;
  std::vector<char*> ptrs;
};

ipfw_obj_header table_header() {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t5", 0);
  return oh;
}

// A scripted kernel. The info request finds table t5 of the given type with
// legacy values. A change request gets results[i] in entry i's result byte
// (entries past the list keep theirs) and then fails with error, or
// succeeds when error is 0. A second change request ends the process with
// status 99: a command sends at most one.
void script_kernel(fake_kernel& fk, uint8_t type, int error, std::vector<uint8_t> results = {}) {
  fk.answer = [type, error, results, changes = 0](uint16_t opcode, uint8_t* buf, uint32_t* len) mutable {
    if (opcode == IP_FW_TABLE_XINFO) return answer_info(table_info(type), opcode, buf, len);
    if (opcode != IP_FW_TABLE_XDEL && opcode != IP_FW_TABLE_XADD) {
      errno = EINVAL;
      return -1;
    }
    if (++changes > 1) {
      fprintf(stderr, "a second change request was sent\n");
      _exit(99);
    }
    for (size_t i = 0; i < results.size() && FW_CHANGE_ENTRIES_OFFSET + (i + 1) * 120 <= *len; i++)
      buf[FW_CHANGE_ENTRIES_OFFSET + i * 120 + offsetof(ipfw_obj_tentry, result)] = results[i];
    if (error != 0) {
      errno = error;
      return -1;
    }
    return 0;
  };
}

template <typename T>
T read_at(const std::vector<uint8_t>& bytes, size_t off) {
  T v;
  EXPECT_LE(off + sizeof v, bytes.size());
  memcpy(&v, bytes.data() + off, sizeof v);
  return v;
}

TEST(RecordChange, OneKeyGoesOutInA232ByteRequest) {
  struct row {
    uint8_t type;
    const char* key;
    uint8_t family;
    uint8_t masklen;
  };
  const std::vector<row> rows = {
      {IPFW_TABLE_ADDR, "192.0.2.1", FW_AF_INET, 32},
      {IPFW_TABLE_NUMBER, "42", FW_AF_UNSPEC, 32},
      {IPFW_TABLE_MAC, "00:11:22:33:44:55", FW_AF_LINK, 48},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.key);
    fake_kernel fk;
    script_kernel(fk, r.type, 0);
    ipfw_obj_header oh = table_header();
    key_args keys({r.key});
    testing::internal::CaptureStdout();
    change_table_records(&oh, 0, 0, keys.argc(), keys.argv());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ASSERT_EQ(fk.requests_of(IP_FW_TABLE_XINFO).size(), 1u);
    auto dels = fk.requests_of(IP_FW_TABLE_XDEL);
    ASSERT_EQ(dels.size(), 1u);
    EXPECT_EQ(fk.requests.size(), 2u);
    const std::vector<uint8_t>& b = dels[0].bytes;
    ASSERT_EQ(dels[0].len, 232u);
    ASSERT_EQ(b.size(), 232u);

    // The command's header, at the kernel's version and with the table
    // type in its name record.
    ipfw_obj_header expect = table_header();
    expect.opheader.opcode = IP_FW_TABLE_XDEL;
    expect.opheader.version = fw_request_version(IP_FW_TABLE_XDEL);
    expect.ntlv.type = r.type;
    EXPECT_EQ(memcmp(b.data(), &expect, sizeof expect), 0);
    EXPECT_EQ(b[16 + offsetof(ipfw_obj_ntlv, type)], r.type);

    ipfw_obj_ctlv ctlv = read_at<ipfw_obj_ctlv>(b, 96);
    EXPECT_EQ(ctlv.head.type, 0);
    EXPECT_EQ(ctlv.head.flags, 0);
    EXPECT_EQ(ctlv.head.length, 136u);
    EXPECT_EQ(ctlv.count, 1u);
    EXPECT_EQ(ctlv.flags, 0);

    ipfw_obj_tentry e = read_at<ipfw_obj_tentry>(b, 112);
    EXPECT_EQ(e.head.type, 0);
    EXPECT_EQ(e.head.flags, 0);
    EXPECT_EQ(e.head.length, 120u);
    EXPECT_EQ(e.idx, 1u);
    EXPECT_EQ(e.subtype, r.family);
    EXPECT_EQ(e.masklen, r.masklen);
    EXPECT_EQ(e.result, 0);
  }
}

TEST(RecordChange, TwoKeysGoOutTogetherAfterOneInfoRequest) {
  fake_kernel fk;
  script_kernel(fk, IPFW_TABLE_ADDR, 0, {IPFW_TR_DELETED, IPFW_TR_DELETED});
  ipfw_obj_header oh = table_header();
  key_args keys({"192.0.2.1", "2001:db8::/64"});
  testing::internal::CaptureStdout();
  change_table_records(&oh, 0, 0, keys.argc(), keys.argv());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  EXPECT_EQ(fk.requests_of(IP_FW_TABLE_XINFO).size(), 1u);
  auto dels = fk.requests_of(IP_FW_TABLE_XDEL);
  ASSERT_EQ(dels.size(), 1u);
  const std::vector<uint8_t>& b = dels[0].bytes;
  ASSERT_EQ(dels[0].len, 352u);
  ASSERT_EQ(b.size(), 352u);
  ipfw_obj_ctlv ctlv = read_at<ipfw_obj_ctlv>(b, 96);
  EXPECT_EQ(ctlv.head.length, 256u);
  EXPECT_EQ(ctlv.count, 2u);

  ipfw_obj_tentry first = read_at<ipfw_obj_tentry>(b, 112);
  ipfw_obj_tentry second = read_at<ipfw_obj_tentry>(b, 232);
  for (const ipfw_obj_tentry& e : {first, second}) {
    EXPECT_EQ(e.head.length, 120u);
    EXPECT_EQ(e.idx, 1u);
  }
  EXPECT_EQ(first.subtype, FW_AF_INET);
  EXPECT_EQ(first.masklen, 32);
  uint8_t want4[4] = {192, 0, 2, 1};
  EXPECT_EQ(memcmp(first.k.addr4, want4, 4), 0);
  EXPECT_EQ(second.subtype, FW_AF_INET6);
  EXPECT_EQ(second.masklen, 64);
  uint8_t want6[16] = {0x20, 0x01, 0x0d, 0xb8};
  EXPECT_EQ(memcmp(second.k.addr6, want6, 16), 0);
}

TEST(RecordChange, QuietOutcomes) {
  struct row {
    const char* what;
    int add;
    int atomic;
    int error;
    uint8_t result;
  };
  const std::vector<row> rows = {
      {"deleted", 0, 0, 0, IPFW_TR_DELETED},
      {"success whatever the result byte says", 0, 0, 0, IPFW_TR_NOTFOUND},
      {"success with an error result", 0, 0, 0, IPFW_TR_ERROR},
      {"delete of a record already gone", 0, 0, ENOENT, IPFW_TR_NOTFOUND},
      {"added", 1, 0, 0, IPFW_TR_ADDED},
      {"add of a record already there", 1, 0, EEXIST, IPFW_TR_EXISTS},
      {"atomic add", 1, 1, 0, IPFW_TR_ADDED},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    fake_kernel fk;
    script_kernel(fk, IPFW_TABLE_ADDR, r.error, {r.result});
    ipfw_obj_header oh = table_header();
    key_args keys({"192.0.2.1"});
    testing::internal::CaptureStdout();
    change_table_records(&oh, r.add, r.atomic, keys.argc(), keys.argv());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    auto changes = fk.requests_of(r.add != 0 ? IP_FW_TABLE_XADD : IP_FW_TABLE_XDEL);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(fk.requests.size(), 2u);
    EXPECT_EQ(changes[0].bytes.size(), 232u);
    EXPECT_EQ(changes[0].bytes[111], r.atomic != 0 ? IPFW_CTF_ATOMIC : 0);
  }
}

TEST(RecordChangeDeathTest, FailureReportThenExit71) {
  struct row {
    const char* what;
    int add;
    int atomic;
    std::vector<std::string> keys;
    int error;
    std::vector<uint8_t> results;
    std::string output;  // report lines, then the message on the next line
  };
  const std::string einval = strerror(EINVAL);
  const std::vector<row> rows = {
      {"locked table",
       0,
       0,
       {"192.0.2.1"},
       EACCES,
       {},
       "ignored: 192\\.0\\.2\\.1 0\n[^\n]*: Deleting record failed: table is locked\n"},
      {"error outside the table",
       0,
       0,
       {"192.0.2.1"},
       EINVAL,
       {IPFW_TR_ERROR},
       "error: 192\\.0\\.2\\.1 0\n[^\n]*: Deleting record failed: " + einval + "\n"},
      {"missing table",
       0,
       0,
       {"2001:db8::/64"},
       ESRCH,
       {},
       "ignored: 2001:db8::/64 0\n[^\n]*: Deleting record failed: table not found\n"},
      {"limit", 0, 0, {"192.0.2.1"}, EFBIG, {IPFW_TR_LIMIT}, "limit: 192\\.0\\.2\\.1 0\n[^\n]*: limit hit\n"},
      {"EEXIST on delete",
       0,
       0,
       {"192.0.2.1"},
       EEXIST,
       {IPFW_TR_EXISTS},
       "exists: 192\\.0\\.2\\.1 0\n[^\n]*: Deleting record failed: record already exists\n"},
      {"ENOENT on add",
       1,
       0,
       {"192.0.2.1"},
       ENOENT,
       {IPFW_TR_NOTFOUND},
       "notfound: 192\\.0\\.2\\.1 0\n[^\n]*: Adding record failed: record not found\n"},
      {"every result word, in order",
       0,
       0,
       {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5", "192.0.2.6", "192.0.2.7",
        "192.0.2.8", "192.0.2.9"},
       EACCES,
       {0, 1, 2, 3, 4, 5, 6, 7, 200},
       "ignored: 192\\.0\\.2\\.1 0\nadded: 192\\.0\\.2\\.2 0\nupdated: 192\\.0\\.2\\.3 0\n"
       "deleted: 192\\.0\\.2\\.4 0\nlimit: 192\\.0\\.2\\.5 0\nnotfound: 192\\.0\\.2\\.6 0\n"
       "exists: 192\\.0\\.2\\.7 0\nerror: 192\\.0\\.2\\.8 0\nunknown: 192\\.0\\.2\\.9 0\n"
       "[^\n]*: Deleting record failed: table is locked\n"},
      // Only an atomic add reports changed records as reverted.
      {"add",
       1,
       0,
       {"192.0.2.1"},
       EFBIG,
       {IPFW_TR_ADDED},
       "added: 192\\.0\\.2\\.1 0\n[^\n]*: Adding record failed"},
      {"atomic add, added",
       1,
       1,
       {"192.0.2.1"},
       EFBIG,
       {IPFW_TR_ADDED},
       "added\\(reverted\\): 192\\.0\\.2\\.1 0\n"},
      {"atomic add, updated",
       1,
       1,
       {"192.0.2.1"},
       EFBIG,
       {IPFW_TR_UPDATED},
       "updated\\(reverted\\): 192\\.0"},
      {"atomic add, deleted",
       1,
       1,
       {"192.0.2.1"},
       EFBIG,
       {IPFW_TR_DELETED},
       "deleted\\(reverted\\): 192\\.0"},
      {"atomic add, limit",
       1,
       1,
       {"192.0.2.1"},
       EFBIG,
       {IPFW_TR_LIMIT},
       "limit: 192\\.0\\.2\\.1 0\n[^\n]*: limit hit"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EXIT(
        {
          // The report goes to standard output; joined with standard error
          // it must come out whole before the final message.
          fflush(stdout);
          dup2(STDERR_FILENO, STDOUT_FILENO);
          fake_kernel fk;
          script_kernel(fk, IPFW_TABLE_ADDR, r.error, r.results);
          ipfw_obj_header oh = table_header();
          key_args keys(r.keys);
          change_table_records(&oh, r.add, r.atomic, keys.argc(), keys.argv());
        },
        testing::ExitedWithCode(EXIT_OSERR), r.output);
  }
}

TEST(RecordChangeDeathTest, NothingIsSentUnlessEveryKeyParses) {
  struct row {
    int add;
    std::vector<std::string> keys;
    int status;
    const char* message;
  };
  const std::vector<row> rows = {
      {0, {}, EXIT_USAGE, "address required"},
      {0, {"192.0.2.1", "192.0.2.0/33"}, EXIT_DATAERR, "bad IPv4 mask width: 33"},
      {0, {"no-such-host.invalid", "192.0.2.1"}, 68, "hostname ``no-such-host\\.invalid'' unknown"},
      // A value this program cannot read is not dropped from the entry.
      {1, {"192.0.2.1", "300"}, EXIT_USAGE, "table values are not supported by this program"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.message);
    EXPECT_EXIT(
        {
          fake_kernel fk;
          // Any change request would end the process with status 99.
          script_kernel(fk, IPFW_TABLE_ADDR, 0);
          fk.answer = [inner = fk.answer](uint16_t opcode, uint8_t* buf, uint32_t* len) {
            if (opcode != IP_FW_TABLE_XINFO) _exit(99);
            return inner(opcode, buf, len);
          };
          ipfw_obj_header oh = table_header();
          key_args keys(r.keys);
          change_table_records(&oh, r.add, 0, keys.argc(), keys.argc() > 0 ? keys.argv() : nullptr);
        },
        testing::ExitedWithCode(r.status), r.message);
  }
  // The interpreter hands on a vector whose arguments may be missing.
  char* missing[] = {nullptr};
  ipfw_obj_header oh = table_header();
  EXPECT_EXIT(change_table_records(&oh, 0, 0, 1, missing), testing::ExitedWithCode(EXIT_USAGE),
              "address required");
}

// What the daemon does with an address entry that is due: delete it.
int delete_again(char* key_text, uint32_t) {
  char table[] = "table", name[] = "t5", word[] = "delete";
  char* argv[] = {table, name, word, key_text};
  run_table_command(4, argv);
  return 0;
}

// A failed deletion inside the daemon's walk: the report shows the record
// but never hands it back to the expiry decision (the delete command takes
// no handler), so no second deletion is started (the scripted kernel ends
// the process with 99 on one).
TEST(RecordChangeDeathTest, FailedDeletionStartsNoOther) {
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        fake_kernel fk;
        script_kernel(fk, IPFW_TABLE_ADDR, EACCES);
        char key[] = "192.0.2.1";
        delete_again(key, 0);
      },
      testing::ExitedWithCode(EXIT_OSERR),
      "ignored: 192\\.0\\.2\\.1 0\n[^\n]*: Deleting record failed: table is locked\n");
}

// Against the emulated kernel's tables.
TEST(RecordChange, DeletesFromTheTable) {
  fake_kernel fk;
  fk.admin("create t5 type addr");
  fk.admin("add t5 192.0.2.1 100");
  fk.admin("add t5 2001:db8::/64 200");
  fk.admin("add t5 192.0.2.9 300");
  ipfw_obj_header oh = table_header();
  key_args both({"192.0.2.1", "2001:db8::/64"});
  testing::internal::CaptureStdout();
  change_table_records(&oh, 0, 0, both.argc(), both.argv());
  // Gone already: the kernel's ENOENT is passed over.
  ipfw_obj_header again = table_header();
  key_args gone({"192.0.2.1"});
  change_table_records(&again, 0, 0, gone.argc(), gone.argv());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  auto dels = fk.requests_of(IP_FW_TABLE_XDEL);
  ASSERT_EQ(dels.size(), 2u);
  EXPECT_EQ(dels[0].result, 0);
  EXPECT_EQ(dels[1].result, -1);
  EXPECT_EQ(dels[1].error, ENOENT);
  EXPECT_EQ(fk.admin("list t5"), "192.0.2.9 300\n");
}

TEST(RecordChangeDeathTest, LockedTableIsReported) {
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        fake_kernel fk;
        fk.admin("create t5 type addr");
        fk.admin("add t5 192.0.2.1 100");
        fk.admin("lock t5");
        ipfw_obj_header oh = table_header();
        key_args keys({"192.0.2.1"});
        change_table_records(&oh, 0, 0, keys.argc(), keys.argv());
      },
      testing::ExitedWithCode(EXIT_OSERR),
      "ignored: 192\\.0\\.2\\.1 0\n[^\n]*: Deleting record failed: table is locked\n");
}

}  // namespace
