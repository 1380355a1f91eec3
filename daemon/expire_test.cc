// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/expire.h"

#include <arpa/inet.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/due_batch.h"
#include "daemon/process_state.h"
#include "fwtable/fw_records.h"
#include "fwtable/platform.h"
#include "fwtable/table_command.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/fake_platform.h"
#include "tests/support/table_records.h"

namespace {

int64_t fake_now = 0;
int64_t fake_clock() { return fake_now; }

// Log lines and delete requests, in the order they happened.
std::vector<std::string> events;

void record_log(int priority, const char* message) {
  events.push_back("log " + std::to_string(priority) + " " + message);
}

// The platform in force with the fake clock and the recording log.
platform clock_and_log() {
  platform p = current_platform();
  p.now = fake_clock;
  p.log = record_log;
  return p;
}

std::string log_line(const std::string& key, const std::string& table) {
  return "log " + std::to_string(LOG_INFO) + " Removing host " + key + " from table " + table;
}

void set_table(const char* name) { snprintf(table_name, sizeof table_name, "%s", name); }

// A delete request as "XDEL TABLE address/length address/length ...", one
// key for each record the container counts; each record's result byte is
// set to deleted, as the kernel does.
std::string deleted_keys(uint8_t* req, uint32_t len) {
  if (len < FW_CHANGE_ENTRIES_OFFSET) return "short request";
  ipfw_obj_header oh;
  memcpy(&oh, req, sizeof oh);
  ipfw_obj_ctlv ctlv;
  memcpy(&ctlv, req + sizeof oh, sizeof ctlv);
  if (ctlv.count == 0 || len != FW_CHANGE_ENTRIES_OFFSET + ctlv.count * sizeof(ipfw_obj_tentry))
    return "bad request";
  std::string line = "XDEL " + std::string(oh.ntlv.name);
  for (uint32_t i = 0; i < ctlv.count; i++) {
    uint8_t* at = req + FW_CHANGE_ENTRIES_OFFSET + i * sizeof(ipfw_obj_tentry);
    ipfw_obj_tentry e;
    memcpy(&e, at, sizeof e);
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(e.subtype == FW_AF_INET ? AF_INET : AF_INET6, &e.k, text, sizeof text);
    line += " " + std::string(text) + "/" + std::to_string(e.masklen);
    at[offsetof(ipfw_obj_tentry, result)] = IPFW_TR_DELETED;
  }
  return line;
}

// The decision with a fake clock and log, against a kernel whose every
// table is an address table with the entries of listed (when a test lists
// one) and that takes every delete, recorded in events.
struct Expire : testing::Test {
  void SetUp() override {
    events.clear();
    sweep_tally_start_cycle();
    set_table("5");
    fk.answer = [this](uint16_t opcode, uint8_t* buf, uint32_t* len) {
      ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR, vmask, 0, "5");
      info.count = static_cast<uint32_t>(listed.size());
      info.size = static_cast<uint32_t>(FW_LIST_ENTRIES_OFFSET + listed.size() * sizeof(ipfw_obj_tentry));
      if (opcode == IP_FW_TABLE_XINFO) return answer_info(info, opcode, buf, len);
      if (opcode == IP_FW_TABLE_XLIST) {
        if (*len < info.size) {
          *len = info.size;
          errno = ENOMEM;
          return -1;
        }
        memcpy(buf + sizeof(ipfw_obj_header), &info, sizeof info);
        for (size_t i = 0; i < listed.size(); i++)
          memcpy(buf + FW_LIST_ENTRIES_OFFSET + i * sizeof(ipfw_obj_tentry), &listed[i], sizeof listed[i]);
        *len = info.size;
        return 0;
      }
      if (opcode == IP_FW_TABLE_XDEL) {
        events.push_back(deleted_keys(buf, *len));
        return 0;
      }
      errno = EINVAL;
      return -1;
    };
  }
  void TearDown() override { set_table(""); }

  // One cycle's list command for address table "5", through the
  // interpreter, the listing, the expiry decision and the record change. A
  // process exit on the way fails the test.
  void sweep_once(const std::vector<ipfw_obj_tentry>& entries) {
    listed = entries;
    platform_scope throws(with_throwing_exit());
    char w_table[] = "table", w_number[] = "5", w_list[] = "list";
    char* argv[] = {w_table, w_number, w_list};
    const listing_handler sweep = sweep_listing_handler(expire_if_due, nullptr);
    testing::internal::CaptureStdout();
    try {
      run_table_command(3, argv, &sweep);
    } catch (const fatal_exit& e) {
      ADD_FAILURE() << "the sweep would end the process with status " << e.status;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }

  platform_scope seam{clock_and_log()};
  fake_kernel fk;
  std::vector<ipfw_obj_tentry> listed;
  uint32_t vmask = IPFW_VTYPE_LEGACY;  // of the listed table
};

TEST_F(Expire, DueOnlyOnceTheClockIsPastTheExpiry) {
  struct row {
    const char* name;
    int64_t now;
    uint32_t expiry;
    bool due;
  };
  const std::vector<row> rows = {
      {"one second past", 1000, 999, true},
      {"the very second", 1000, 1000, false},
      {"the next second", 1001, 1000, true},
      {"still ahead", 1000, 1001, false},
      {"no leading number", 1000, 0, true},
      {"zero at the epoch", 0, 0, false},
      {"largest expiry is far ahead, not -1", 2000000000, 4294967295u, false},
      {"largest expiry at its second", 4294967295, 4294967295u, false},
      {"largest expiry passed", 4294967296, 4294967295u, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    events.clear();
    fake_now = r.now;
    read_cycle_clock();
    char key[ENTRY_TEXT_SIZE] = "192.0.2.7";
    EXPECT_EQ(expire_if_due(key, r.expiry), 0);
    send_due_batch();
    if (r.due)
      EXPECT_EQ(events, (std::vector<std::string>{log_line("192.0.2.7", "5"), "XDEL 5 192.0.2.7/32"}));
    else
      EXPECT_TRUE(events.empty());
  }
}

// The log line comes first, then the delete command of the table, by its
// number or its name, by the key; the batch holds a copy of the key text
// (the listing reuses its buffer for the next entry), so the parse, which
// cuts the text at the '/', leaves the caller's whole.
TEST_F(Expire, LogsThenDeletesWithTheCallersKeyText) {
  struct row {
    const char* table;
    const char* key;
  };
  const std::string longest(IPFW_TABLE_NAME_MAX, 'n');
  const std::vector<row> rows = {{"0", "198.51.100.0/24"},
                                 {"127", "fd00:1::/64"},
                                 {"blocklist", "192.0.2.7"},
                                 {longest.c_str(), "192.0.2.8"}};
  fake_now = 2000;
  read_cycle_clock();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.key);
    events.clear();
    set_table(r.table);
    char key[ENTRY_TEXT_SIZE];
    snprintf(key, sizeof key, "%s", r.key);
    expire_if_due(key, 1999);
    EXPECT_EQ(events, (std::vector<std::string>{log_line(r.key, r.table)})) << "logged at once";
    send_due_batch();
    const std::string key_text = r.key;
    const std::string deleted = key_text.find('/') == std::string::npos ? key_text + "/32" : key_text;
    const std::string deletion = "XDEL " + std::string(r.table) + " " + deleted;
    EXPECT_EQ(events, (std::vector<std::string>{log_line(r.key, r.table), deletion}));
    EXPECT_STREQ(key, r.key);
  }
}

// ---- through the interpreter, the listing and the record change ----------

// A sweep of address table "5": the kernel lists four entries; the two
// whose time has passed and the prefix are each logged as the walk finds
// them, then deleted together by one delete request with their keys in
// listing order when the walk ends. Needs the key parser and the record
// change in place.
TEST_F(Expire, SweepLogsEachDueEntryAndDeletesThemInOneRequest) {
  fake_now = 1000;
  const uint64_t removed_before = sweep_tally_now()->removed;
  sweep_once({
      address_entry("192.0.2.1", 32, 999),
      address_entry("192.0.2.2", 32, 5000),
      address_entry("198.51.100.0", 24, 0),
      address_entry("fd00:1::", 64, 1),
  });
  EXPECT_EQ(events, (std::vector<std::string>{
                        log_line("192.0.2.1", "5"),
                        log_line("198.51.100.0/24", "5"),
                        log_line("fd00:1::/64", "5"),
                        "XDEL 5 192.0.2.1/32 198.51.100.0/24 fd00:1::/64",
                    }));
  EXPECT_EQ(sweep_tally_now()->removed, removed_before + 3);
}

// A batch goes the moment it is full, in the middle of the walk: every
// line is logged before its entry's deletion is sent and at most one
// batch before it, and each entry is deleted once.
TEST_F(Expire, AFullBatchGoesAtOnceAndTheRestAtTheWalksEnd) {
  struct row {
    const char* name;
    size_t due;
  };
  const std::vector<row> rows = {{"one batch, full", DUE_BATCH_KEYS},
                                 {"one key past a full batch", DUE_BATCH_KEYS + 1},
                                 {"two batches and some", 2 * DUE_BATCH_KEYS + 3}};
  fake_now = 1000;
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    events.clear();
    sweep_tally_start_cycle();
    const uint64_t removed_before = sweep_tally_now()->removed;
    std::vector<ipfw_obj_tentry> entries;
    std::vector<std::string> want;
    std::string request = "XDEL 5";
    for (size_t i = 0; i < r.due; i++) {
      // One entry not due after each due one.
      char text[32];
      snprintf(text, sizeof text, "10.0.%zu.%zu", i / 256, i % 256);
      entries.push_back(address_entry(text, 32, 1));
      entries.push_back(address_entry("10.255.0.1", 32, 5000));
      want.push_back(log_line(text, "5"));
      request.append(" ").append(text).append("/32");
      if ((i + 1) % DUE_BATCH_KEYS == 0 || i + 1 == r.due) {
        want.push_back(request);
        request = "XDEL 5";
      }
    }
    sweep_once(entries);
    EXPECT_EQ(events, want);
    EXPECT_EQ(sweep_tally_now()->removed, removed_before + r.due);
  }
}

// Mask lengths past the address's width, which only a broken kernel would
// list: due, yet neither logged nor deleted (the IPv4 one would have
// deleted 192.0.2.1/32, the IPv6 one ended the process), and the sweep goes
// on to the entries after them.
TEST_F(Expire, SweepPassesOverKeysWithAMaskLengthPastTheirWidth) {
  fake_now = 1000;
  sweep_once({
      address_entry("192.0.2.1", 33, 1),
      address_entry("fd00::1", 129, 1),
      address_entry("192.0.2.1", 255, 1),
      address_entry("fd00::1", 255, 1),
      address_entry("192.0.2.2", 32, 1),
  });
  EXPECT_EQ(events, (std::vector<std::string>{log_line("192.0.2.2", "5"), "XDEL 5 192.0.2.2/32"}));
}

// The tally of a cycle counts the entries the sweep can never remove apart
// from the due ones: a due entry without a key a deletion could name is
// neither due nor deleted, and a keyless one not due is not the next
// expiry. In a table whose values are addresses, no entry is a time.
TEST_F(Expire, TallyCountsTheEntriesItCannotRemoveApart) {
  fake_now = 1000;
  sweep_tally_start_cycle();
  const uint64_t removed_before = sweep_tally_now()->removed;
  sweep_once({
      address_entry("192.0.2.1", 32, 999),
      address_entry("192.0.2.2", 32, 5000),
      address_entry("192.0.2.3", 33, 1),
      address_entry("fd00::1", 129, 3000),
      address_entry("::192.0.2.7", 128, 1),
  });
  EXPECT_EQ(events, (std::vector<std::string>{log_line("192.0.2.1", "5"), "XDEL 5 192.0.2.1/32"}));
  const sweep_tally* t = sweep_tally_now();
  EXPECT_EQ(t->entries, 5u);
  EXPECT_EQ(t->unremovable, 3u);
  EXPECT_EQ(t->due, 1u);
  EXPECT_TRUE(t->has_next);
  EXPECT_EQ(t->next_expiry, 5000u);
  EXPECT_EQ(t->removed, removed_before + 1);

  events.clear();
  sweep_tally_start_cycle();
  vmask = IPFW_VTYPE_NH4;
  ipfw_obj_tentry next_hop = address_entry("192.0.2.4", 32);
  next_hop.v.nh4 = 0xC0000202;  // 192.0.2.2: its text starts with 192
  sweep_once({next_hop, address_entry("192.0.2.5", 32)});
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(t->entries, 2u);
  EXPECT_EQ(t->unremovable, 2u);
  EXPECT_EQ(t->due, 0u);
  EXPECT_FALSE(t->has_next);
}

// ---- one time per cycle ---------------------------------------------------

// A clock that moves on a second at every read, and says so in events.
int64_t ticking_clock() {
  events.push_back("clock");
  return fake_now++;
}

// A cycle reads the clock once, after the info request and right before
// the list request, and tests every entry against that one time, in the
// deletion, the dry run and the tally alike. With the clock read per
// entry, the entries after the first would each see a later second (all
// of them have the same expiry) and be found due.
TEST_F(Expire, OneCycleTestsEveryEntryAgainstTheTimeReadBeforeItsListRequest) {
  struct row {
    const char* name;
    address_entry_fn handler;
    int64_t clock;  // what the cycle's one read returns
    std::vector<std::string> after_list;  // events after the list request
    uint64_t due;
    bool has_next;
  };
  const std::string keys[] = {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4"};
  std::vector<std::string> all_deleted;
  std::string request = "XDEL 5";
  for (const auto& k : keys) {
    all_deleted.push_back(log_line(k, "5"));
    request += " " + k + "/32";
  }
  all_deleted.push_back("XINFO");  // the batch's own, for the keys' type
  all_deleted.push_back(request);
  std::vector<std::string> all_reported;
  for (const auto& k : keys) all_reported.push_back("out would remove host " + k + " from table 5");
  const std::vector<row> rows = {
      {"the expiry's own second: nothing due", expire_if_due, 1000, {}, 0, true},
      {"the second after: all due", expire_if_due, 1001, all_deleted, 4, false},
      {"dry run, the expiry's own second", report_if_due, 1000, {}, 0, true},
      {"dry run, the second after", report_if_due, 1001, all_reported, 4, false},
  };
  platform ticking = current_platform();
  ticking.now = ticking_clock;
  ticking.print = [](const char* fmt, va_list ap) {
    char line[256];
    int n = vsnprintf(line, sizeof line, fmt, ap);
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    events.push_back("out " + text);
    return n;
  };
  platform_scope clock_scope(ticking);
  auto store_answer = fk.answer;
  fk.answer = [&](uint16_t opcode, uint8_t* buf, uint32_t* len) {
    if (opcode == IP_FW_TABLE_XINFO) events.push_back("XINFO");
    if (opcode == IP_FW_TABLE_XLIST) events.push_back("XLIST");
    return store_answer(opcode, buf, len);
  };
  listed.clear();
  for (const auto& k : keys) listed.push_back(address_entry(k.c_str(), 32, 1000));

  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    events.clear();
    fake_now = r.clock;
    sweep_tally_start_cycle();
    char w_table[] = "table", w_number[] = "5", w_list[] = "list";
    char* argv[] = {w_table, w_number, w_list};
    const listing_handler sweep = sweep_listing_handler(r.handler, nullptr);
    platform_scope throws(with_throwing_exit());
    try {
      run_table_command(3, argv, &sweep);
    } catch (const fatal_exit& e) {
      ADD_FAILURE() << "the sweep would end the process with status " << e.status;
    }
    std::vector<std::string> want = {"XINFO", "clock", "XLIST"};
    want.insert(want.end(), r.after_list.begin(), r.after_list.end());
    EXPECT_EQ(events, want);
    const sweep_tally* t = sweep_tally_now();
    EXPECT_EQ(t->entries, 4u);
    EXPECT_EQ(t->due, r.due);
    EXPECT_EQ(t->has_next, r.has_next);
    if (r.has_next) {
      EXPECT_EQ(t->next_expiry, 1000u);
    }
  }
}

}  // namespace
