#include "daemon/expire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

std::string log_line(const std::string& key, int table) {
  return "log " + std::to_string(LOG_INFO) + " Removing host " + key + " from table " + std::to_string(table);
}

// A delete request as "XDEL TABLE address/length".
std::string deleted_key(const uint8_t* req, uint32_t len) {
  if (len < FW_CHANGE_ENTRIES_OFFSET + sizeof(ipfw_obj_tentry)) return "short request";
  ipfw_obj_header oh;
  memcpy(&oh, req, sizeof oh);
  ipfw_obj_tentry e;
  memcpy(&e, req + FW_CHANGE_ENTRIES_OFFSET, sizeof e);
  char text[INET6_ADDRSTRLEN] = "";
  inet_ntop(e.subtype == FW_AF_INET ? AF_INET : AF_INET6, &e.k, text, sizeof text);
  return "XDEL " + std::string(oh.ntlv.name) + " " + text + "/" + std::to_string(e.masklen);
}

// The decision with a fake clock and log, against a kernel whose every
// table is an address table with the entries of listed (when a test lists
// one) and that takes every delete, recorded in events.
struct Expire : testing::Test {
  void SetUp() override {
    events.clear();
    table_number = 5;
    fk.answer = [this](uint16_t opcode, uint8_t* buf, uint32_t* len) {
      ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR, IPFW_VTYPE_LEGACY, 0, "5");
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
        events.push_back(deleted_key(buf, *len));
        return 0;
      }
      errno = EINVAL;
      return -1;
    };
  }
  void TearDown() override { table_number = -1; }

  // One cycle's list command for address table "5", through the
  // interpreter, the listing, the expiry decision and the record change. A
  // process exit on the way fails the test.
  void sweep_once(const std::vector<ipfw_obj_tentry>& entries) {
    listed = entries;
    platform_scope throws(with_throwing_exit());
    char w_table[] = "table", w_number[] = "5", w_list[] = "list";
    char* argv[] = {w_table, w_number, w_list};
    const listing_handler sweep = {expire_if_due, expiry_is_due};
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
    char key[ENTRY_TEXT_SIZE] = "192.0.2.7";
    EXPECT_EQ(expire_if_due(key, r.expiry), 0);
    if (r.due)
      EXPECT_EQ(events, (std::vector<std::string>{log_line("192.0.2.7", 5), "XDEL 5 192.0.2.7/32"}));
    else
      EXPECT_TRUE(events.empty());
  }
}

// The log line comes first, then the delete command of the table by the
// key, parsed from the caller's own buffer, not a copy: the parse cuts it
// at the '/'.
TEST_F(Expire, LogsThenDeletesWithTheCallersKeyText) {
  struct row {
    int32_t table;
    const char* key;
    const char* cut;
  };
  const std::vector<row> rows = {{0, "198.51.100.0/24", "198.51.100.0"}, {127, "fd00:1::/64", "fd00:1::"}};
  fake_now = 2000;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.key);
    events.clear();
    table_number = r.table;
    char key[ENTRY_TEXT_SIZE];
    snprintf(key, sizeof key, "%s", r.key);
    expire_if_due(key, 1999);
    std::string number = std::to_string(r.table);
    EXPECT_EQ(events, (std::vector<std::string>{log_line(r.key, r.table), "XDEL " + number + " " + r.key}));
    EXPECT_STREQ(key, r.cut);
  }
}

// ---- through the interpreter, the listing and the record change ----------

// A sweep of address table "5": the kernel lists four entries; the two
// whose time has passed and the prefix are each logged and then deleted by
// their own key, in listing order. Needs the key parser and the record
// change in place.
TEST_F(Expire, SweepLogsAndDeletesEachDueEntryInListingOrder) {
  fake_now = 1000;
  sweep_once({
      address_entry("192.0.2.1", 32, 999),
      address_entry("192.0.2.2", 32, 5000),
      address_entry("198.51.100.0", 24, 0),
      address_entry("fd00:1::", 64, 1),
  });
  EXPECT_EQ(events, (std::vector<std::string>{
                        log_line("192.0.2.1", 5),
                        "XDEL 5 192.0.2.1/32",
                        log_line("198.51.100.0/24", 5),
                        "XDEL 5 198.51.100.0/24",
                        log_line("fd00:1::/64", 5),
                        "XDEL 5 fd00:1::/64",
                    }));
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
  EXPECT_EQ(events, (std::vector<std::string>{log_line("192.0.2.2", 5), "XDEL 5 192.0.2.2/32"}));
}

}  // namespace
