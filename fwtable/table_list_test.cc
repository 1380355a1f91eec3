// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/table_list.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fwtable/fatal.h"
#include "fwtable/fwctl.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/fake_platform.h"
#include "tests/support/table_records.h"

namespace {

using calls_t = std::vector<std::pair<std::string, uint32_t>>;

calls_t received;

int capture_address(char* key_text, uint32_t expiry) {
  received.emplace_back(key_text, expiry);
  return 0;
}

// The object header of a command for table "t5", which the listing's
// messages name.
const ipfw_obj_header* t5() {
  static const ipfw_obj_header oh = [] {
    ipfw_obj_header h;
    memset(&h, 0, sizeof h);
    init_request_header(&h, "t5", 0);
    return h;
  }();
  return &oh;
}

// For replies that must render nothing: a call ends the (death test) child
// with a status of its own.
int must_not_render(char*, uint32_t) { _exit(98); }

// The info record of a listed table: legacy values, count entries taking
// size bytes of list reply.
ipfw_xtable_info listed_info(const char* name, uint8_t type, uint32_t count, uint32_t size) {
  ipfw_xtable_info info = table_info(type, IPFW_VTYPE_LEGACY, 0, name);
  info.count = count;
  info.size = size;
  return info;
}

// The entries a listing of size bytes holds (rounded up): a kernel states
// the size of count entries exactly, and a claim beyond it is not believed.
uint32_t entries_in(uint32_t size) {
  return size <= FW_LIST_ENTRIES_OFFSET
             ? 0
             : static_cast<uint32_t>((size - FW_LIST_ENTRIES_OFFSET + sizeof(ipfw_obj_tentry) - 1) /
                                     sizeof(ipfw_obj_tentry));
}

ipfw_obj_tentry addr4(const char* text, uint32_t tag, uint32_t length = sizeof(ipfw_obj_tentry)) {
  ipfw_obj_tentry e = address_entry(text, 32, tag);
  EXPECT_EQ(e.subtype, FW_AF_INET) << text;
  e.head.length = length;
  return e;
}

// A list reply: header, info record, then each entry followed by filler up
// to its own length (filler that would read as garbage if taken for an
// entry).
std::vector<uint8_t> list_reply(const ipfw_xtable_info& info, const std::vector<ipfw_obj_tentry>& entries) {
  std::vector<uint8_t> r(FW_LIST_ENTRIES_OFFSET, 0);
  memcpy(r.data() + sizeof(ipfw_obj_header), &info, sizeof info);
  for (const auto& e : entries) {
    const auto* b = reinterpret_cast<const uint8_t*>(&e);
    r.insert(r.end(), b, b + sizeof e);
    if (e.head.length > sizeof e) r.insert(r.end(), e.head.length - sizeof e, 0xEE);
  }
  return r;
}

void set_u32(std::vector<uint8_t>& bytes, size_t off, uint32_t value) {
  memcpy(bytes.data() + off, &value, 4);
}

// Answers a list request as the kernel does: the whole reply when it fits;
// else ENOMEM, with the header and the info record (the size the listing
// needs) written where the buffer holds them and the length left as passed.
// Every byte of the buffer the caller claims is written on success, so a
// buffer smaller than the size handed over shows.
int answer_list(const std::vector<uint8_t>& reply, uint8_t* buf, uint32_t* len) {
  if (reply.size() > *len) {
    if (*len >= FW_INFO_REQUEST_SIZE)
      memcpy(buf + sizeof(ipfw_obj_header), reply.data() + sizeof(ipfw_obj_header), sizeof(ipfw_xtable_info));
    errno = ENOMEM;
    return -1;
  }
  memset(buf, 0, *len);
  memcpy(buf, reply.data(), reply.size());
  *len = static_cast<uint32_t>(reply.size());
  return 0;
}

struct TableList : testing::Test {
  void SetUp() override { received.clear(); }
  fake_kernel fk;
};

TEST_F(TableList, InfoRequestCarriesHeaderAndReturnsTheReplyRecord) {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t5", 0);
  ipfw_xtable_info kernel_info = listed_info("t5", IPFW_TABLE_ADDR, 3, 656);
  kernel_info.set = 7;
  fk.answer = [&](uint16_t opcode, uint8_t* buf, uint32_t* len) {
    EXPECT_EQ(opcode, IP_FW_TABLE_XINFO);
    memcpy(buf + sizeof(ipfw_obj_header), &kernel_info, sizeof kernel_info);
    *len = FW_INFO_REQUEST_SIZE;
    return 0;
  };

  ipfw_xtable_info info;
  fetch_table_info(&oh, &info);

  EXPECT_EQ(memcmp(&info, &kernel_info, sizeof info), 0);
  ASSERT_EQ(fk.requests.size(), 1u);
  const auto& req = fk.requests[0];
  EXPECT_EQ(req.len, FW_INFO_REQUEST_SIZE);
  ipfw_obj_header want = oh;
  want.opheader.opcode = IP_FW_TABLE_XINFO;
  want.opheader.version = fw_request_version(IP_FW_TABLE_XINFO);
  std::vector<uint8_t> want_bytes(FW_INFO_REQUEST_SIZE, 0);
  memcpy(want_bytes.data(), &want, sizeof want);
  EXPECT_EQ(req.bytes, want_bytes);
}

TEST_F(TableList, FailedInfoRequestEndsTheProcess) {
  struct row {
    const char* name;
    int result;
    uint32_t reply_len;
  };
  const std::vector<row> rows = {
      {"request refused", ESRCH, 0},
      {"reply one byte short", 0, FW_INFO_REQUEST_SIZE - 1},
      {"empty reply", 0, 0},
  };
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t5", 0);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fk.answer = [&](uint16_t, uint8_t*, uint32_t* len) {
      *len = r.reply_len;
      if (r.result == 0) return 0;
      errno = r.result;
      return -1;
    };
    ipfw_xtable_info info;
    EXPECT_EXIT(fetch_table_info(&oh, &info), testing::ExitedWithCode(71), "failed to request table info");
  }
}

// The list buffer follows the kernel: listing size plus 44 at first; after
// an ENOMEM answer, which leaves the length as it was, the size the info
// record in the reply asks for plus a sixteenth of it, or 44 doubled at
// each retry where that is more. An
// answer whose info record asks for no more than was sent (or that wrote
// none) still grows the request, so no two attempts ask alike.
TEST_F(TableList, BufferSizedFromListingSizeAndEnomemAnswers) {
  constexpr uint32_t NONE = 0;  // the answer writes no info record
  struct row {
    const char* name;
    uint32_t listing_size;
    std::vector<uint32_t> enomem_sizes;  // listing sizes the ENOMEM answers state
    std::vector<uint32_t> want;  // length of every request made
  };
  const std::vector<row> rows = {
      {"first request", 536, {}, {580}},
      {"the size the reply states, plus a sixteenth", 536, {1000}, {580, 1062}},
      {"a large listing gets a sixteenth more", 536, {160000}, {580, 170000}},
      {"growing twice", 536, {1000, 2000}, {580, 1062, 2125}},
      {"the least slack doubles at each retry", 536, {600, 700, 800}, {580, 644, 788, 976}},
      {"no info record written: grown from the size sent", 536, {NONE}, {580, 624}},
      {"a stated size below the one sent: grown from the size sent", 536, {296}, {580, 624}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fk.requests.clear();
    ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, entries_in(r.listing_size), r.listing_size);
    std::vector<uint8_t> reply = list_reply(listed_info("t5", IPFW_TABLE_ADDR, 0, r.listing_size), {});
    size_t calls = 0;
    fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
      if (calls < r.enomem_sizes.size()) {
        const uint32_t stated = r.enomem_sizes[calls++];
        if (stated != NONE) {
          ipfw_xtable_info now = listed_info("t5", IPFW_TABLE_ADDR, entries_in(stated), stated);
          memcpy(buf + sizeof(ipfw_obj_header), &now, sizeof now);
        }
        *len = 1;  // never copied back
        errno = ENOMEM;
        return -1;
      }
      calls++;
      // The reply itself fits whatever was asked for.
      if (*len < reply.size()) return answer_list(reply, buf, len);
      memcpy(buf, reply.data(), reply.size());
      *len = static_cast<uint32_t>(reply.size());
      return 0;
    };
    list_table_entries(t5(), &info, {capture_address});
    std::vector<uint32_t> lens;
    for (const auto& req : fk.requests_of(IP_FW_TABLE_XLIST)) lens.push_back(req.len);
    EXPECT_EQ(lens, r.want);
    EXPECT_EQ(fk.requests.size(), r.want.size());
  }
}

// A listing size is believed only as far as the record's own item count
// allows (the header, the info record and 120 bytes an entry, which is
// what the kernel states): a claim beyond it, in the info reply or in an
// ENOMEM answer, reserves no memory for itself, and the listing goes on
// from what the count allows.
TEST_F(TableList, SizeClaimsAreBelievedOnlyAsFarAsTheirItemCount) {
  struct claim {
    uint32_t count;
    uint32_t size;
  };
  struct row {
    const char* name;
    claim info;
    std::vector<claim> enomem;  // what each ENOMEM answer's info record states
    std::vector<uint32_t> want;  // length of every request made
  };
  const std::vector<row> rows = {
      {"an info reply claiming 4 GiB for 2 entries", {2, UINT32_MAX}, {}, {580}},
      {"an info reply claiming 1000 bytes for no entry", {0, 1000}, {}, {340}},
      {"a claim the count bears out is followed", {2, 536}, {}, {580}},
      {"an ENOMEM answer claiming 4 GiB for 3 entries", {2, 536}, {{3, UINT32_MAX}}, {580, 700}},
      {"an ENOMEM answer whose count bears out its claim", {2, 536}, {{900, 108296}}, {580, 115064}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fk.requests.clear();
    received.clear();
    ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, r.info.count, r.info.size);
    std::vector<uint8_t> reply = list_reply(listed_info("t5", IPFW_TABLE_ADDR, 0, 296), {});
    size_t calls = 0;
    fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
      if (calls < r.enomem.size()) {
        const claim c = r.enomem[calls++];
        ipfw_xtable_info now = listed_info("t5", IPFW_TABLE_ADDR, c.count, c.size);
        memcpy(buf + sizeof(ipfw_obj_header), &now, sizeof now);
        errno = ENOMEM;
        return -1;
      }
      return answer_list(reply, buf, len);
    };
    list_table_entries(t5(), &info, {capture_address});
    std::vector<uint32_t> lens;
    for (const auto& req : fk.requests_of(IP_FW_TABLE_XLIST)) lens.push_back(req.len);
    EXPECT_EQ(lens, r.want);
    EXPECT_LE(kept_list_buffer_size(), uint64_t{2} << 20) << "a buffer kept for a claim";
  }
}

// A table that grows between the info request and the list request (a
// watcher adding hosts), or before every list request, is listed whole: the
// kernel answers an undersized buffer with ENOMEM and the size it needs now
// in the reply's info record, never in the length.
TEST_F(TableList, TableGrowingWhileListedIsListedWhole) {
  struct row {
    const char* name;
    uint32_t start;  // entries when the info request was answered
    uint32_t grow_first;  // added before the first list request
    uint32_t grow_each;  // added before every list request after it
    size_t most_requests;
  };
  const std::vector<row> rows = {
      {"one entry more", 3, 1, 0, 2},
      {"ten more", 3, 10, 0, 2},
      {"ten thousand more", 3, 10000, 0, 2},
      {"a sixteenth more before every request", 20000, 1250, 1300, 8},
      {"one more before every request of a small table", 0, 1, 1, 8},
      {"ten more before every request of a small table", 0, 10, 10, 8},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fk.requests.clear();
    received.clear();
    uint32_t count = r.start;
    auto listing_size = [&] {
      return static_cast<uint32_t>(FW_LIST_ENTRIES_OFFSET + count * sizeof(ipfw_obj_tentry));
    };
    ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, count, listing_size());
    size_t lists = 0;
    fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
      count += lists++ == 0 ? r.grow_first : r.grow_each;
      ipfw_xtable_info now = listed_info("t5", IPFW_TABLE_ADDR, count, listing_size());
      memcpy(buf + sizeof(ipfw_obj_header), &now, sizeof now);
      if (*len < now.size) {
        errno = ENOMEM;
        return -1;
      }
      for (uint32_t i = 0; i < count; i++) {
        ipfw_obj_tentry e = addr4("10.0.0.1", i);
        memcpy(buf + FW_LIST_ENTRIES_OFFSET + i * sizeof e, &e, sizeof e);
      }
      *len = now.size;
      return 0;
    };
    list_table_entries(t5(), &info, {capture_address});
    EXPECT_EQ(received.size(), count);
    EXPECT_LE(fk.requests_of(IP_FW_TABLE_XLIST).size(), r.most_requests);
  }
}

// Only the object header carries meaning: name and the low 8 bits of the set
// from the info record, op version 1 (in both kernels); every other byte of
// it is zero. The rest of the request's length is room for the reply (a kept
// buffer may still hold an earlier one there).
TEST_F(TableList, ListRequestBytes) {
  struct row {
    const char* name;
    std::string table_name;  // as the info record holds it
    std::string sent_name;
  };
  const std::vector<row> rows = {
      {"plain name", "tbl-one", "tbl-one"},
      {"name filling the whole field is cut to 63", std::string(64, 'n'), std::string(63, 'n')},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fk.requests.clear();
    ipfw_xtable_info info = listed_info("", IPFW_TABLE_ADDR, 2, 536);
    memcpy(info.tablename, r.table_name.data(), r.table_name.size());
    info.set = 0x1234;
    ipfw_xtable_info emptied = info;  // the table is emptied before its listing
    emptied.count = 0;
    std::vector<uint8_t> reply = list_reply(emptied, {});
    fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) { return answer_list(reply, buf, len); };

    list_table_entries(t5(), &info, {capture_address});

    ipfw_obj_header want;
    memset(&want, 0, sizeof want);
    want.opheader.opcode = IP_FW_TABLE_XLIST;
    want.opheader.version = 1;
    want.idx = 1;
    want.ntlv.head.type = 1;
    want.ntlv.head.length = 80;
    want.ntlv.idx = 1;
    want.ntlv.set = 0x34;
    memcpy(want.ntlv.name, r.sent_name.data(), r.sent_name.size());
    std::vector<uint8_t> want_bytes(sizeof want, 0);
    memcpy(want_bytes.data(), &want, sizeof want);
    ASSERT_EQ(fk.requests.size(), 1u);
    EXPECT_EQ(fk.requests[0].opcode, IP_FW_TABLE_XLIST);
    EXPECT_EQ(fk.requests[0].len, 580u);
    ASSERT_EQ(fk.requests[0].bytes.size(), 580u);
    EXPECT_EQ(std::vector<uint8_t>(fk.requests[0].bytes.begin(), fk.requests[0].bytes.begin() + sizeof want),
              want_bytes);
  }
}

TEST_F(TableList, FailedListRequestsEndTheProcess) {
  struct row {
    const char* name;
    int error;
    int allowed;  // requests that may be made before the end
  };
  const std::vector<row> rows = {
      {"eight ENOMEM answers and no ninth request", ENOMEM, 8},
      {"another error at once", EPERM, 1},
      {"table gone at once", ESRCH, 1},
  };
  ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, 0, 536);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    int calls = 0;
    fk.answer = [&](uint16_t, uint8_t*, uint32_t* len) {
      if (++calls > r.allowed) _exit(99);
      *len = 1000;
      errno = r.error;
      return -1;
    };
    EXPECT_EXIT(list_table_entries(t5(), &info, {must_not_render}), testing::ExitedWithCode(71),
                "Error requesting table t5 list");
  }
}

// The last attempt outgrown is handed to the program's outgrown call
// before the listing fails: a throw from it abandons the listing, which
// rendered nothing and leaves the kept buffer free for the next. Seven
// outgrown attempts and an eighth that fits never make the call.
TEST_F(TableList, LastAttemptOutgrownIsHandedToTheProgram) {
  struct outgrown_thrown {};
  static int outgrown_calls;
  ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, 1, 416);
  std::vector<uint8_t> reply = list_reply(info, {addr4("192.0.2.1", 1)});
  listing_handler handler{capture_address};
  handler.outgrown = [] {
    outgrown_calls++;
    throw outgrown_thrown{};
  };
  for (int outgrown : {7, 8, 0}) {
    SCOPED_TRACE(outgrown);
    received.clear();
    outgrown_calls = 0;
    int calls = 0;
    fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
      if (calls++ < outgrown) {
        memcpy(buf + sizeof(ipfw_obj_header), &info, sizeof info);
        errno = ENOMEM;
        return -1;
      }
      return answer_list(reply, buf, len);
    };
    if (outgrown == 8) {
      EXPECT_THROW(list_table_entries(t5(), &info, handler), outgrown_thrown);
      EXPECT_EQ(outgrown_calls, 1);
      EXPECT_EQ(calls, 8);
      EXPECT_TRUE(received.empty());
    } else {
      list_table_entries(t5(), &info, handler);
      EXPECT_EQ(outgrown_calls, 0);
      EXPECT_EQ(received, (calls_t{{"192.0.2.1", 1}}));
    }
  }
}

// The buffer kept between listings stays within an eighth and 1 MiB of
// what the last reply needed: one ENOMEM answer claiming far more than the
// table holds, or a table far smaller than at the listing before, leaves
// no large buffer reserved for the rest of the process's life.
TEST_F(TableList, KeptBufferFollowsTheLastReply) {
  constexpr uint64_t SLACK = uint64_t{1} << 20;
  struct row {
    const char* name;
    uint32_t claimed;  // listing size a first ENOMEM answer states (0: none)
    uint32_t before;  // entries of a listing made before (0: none)
  };
  const std::vector<row> rows = {
      {"one ENOMEM answer claiming 16 MiB", 16u << 20, 0},
      {"a table of 40000 entries down to one", 0, 40000},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.before != 0) {
      std::vector<ipfw_obj_tentry> many;
      for (uint32_t i = 0; i < r.before; i++) many.push_back(addr4("10.0.0.1", i));
      ipfw_xtable_info big = listed_info("t5", IPFW_TABLE_ADDR, r.before,
                                         FW_LIST_ENTRIES_OFFSET + r.before * sizeof(ipfw_obj_tentry));
      std::vector<uint8_t> big_reply = list_reply(big, many);
      fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) { return answer_list(big_reply, buf, len); };
      list_table_entries(t5(), &big, {capture_address});
      EXPECT_GE(kept_list_buffer_size(), big_reply.size());
    }
    ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, 1, 416);
    std::vector<uint8_t> reply = list_reply(info, {addr4("192.0.2.1", 1)});
    bool claimed = r.claimed == 0;
    fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
      if (!claimed) {
        claimed = true;
        ipfw_xtable_info huge = listed_info("t5", IPFW_TABLE_ADDR, entries_in(r.claimed), r.claimed);
        memcpy(buf + sizeof(ipfw_obj_header), &huge, sizeof huge);
        errno = ENOMEM;
        return -1;
      }
      return answer_list(reply, buf, len);
    };
    fk.requests.clear();
    received.clear();
    list_table_entries(t5(), &info, {capture_address});
    if (r.claimed != 0) {
      ASSERT_EQ(fk.requests_of(IP_FW_TABLE_XLIST).size(), 2u);
      EXPECT_GT(fk.requests_of(IP_FW_TABLE_XLIST)[1].len, r.claimed) << "the claim was followed";
    }
    EXPECT_LE(kept_list_buffer_size(), reply.size() + SLACK);
  }
}

// The message names the table as the command gave it, whatever name the
// info reply held: none (a reply cut short), or another.
TEST_F(TableList, FailedListingNamesTheTableAsGiven) {
  for (const char* info_name : {"", "other"}) {
    SCOPED_TRACE(info_name);
    ipfw_xtable_info info = listed_info(info_name, IPFW_TABLE_ADDR, 0, 536);
    fk.answer = [&](uint16_t, uint8_t*, uint32_t*) {
      errno = EINVAL;
      return -1;
    };
    EXPECT_EXIT(list_table_entries(t5(), &info, {must_not_render}), testing::ExitedWithCode(71),
                "^[^:]*: Error requesting table t5 list: Invalid argument\n$");
  }
}

TEST_F(TableList, EmptyTableRendersNothing) {
  ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, 0, 296);
  std::vector<uint8_t> reply = list_reply(info, {});
  fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) { return answer_list(reply, buf, len); };
  testing::internal::CaptureStdout();
  list_table_entries(t5(), &info, {capture_address});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(fk.requests_of(IP_FW_TABLE_XLIST).size(), 1u);
}

// The count walked and the info record handed on are the reply's, not the
// ones from the info request.
TEST_F(TableList, CountAndInfoComeFromTheReply) {
  ipfw_xtable_info asked = listed_info("t5", IPFW_TABLE_NUMBER, 5, 1000);
  ipfw_xtable_info in_reply = listed_info("t5", IPFW_TABLE_ADDR, 2, 656);
  std::vector<uint8_t> reply =
      list_reply(in_reply, {addr4("192.0.2.1", 10), addr4("192.0.2.2", 20), addr4("192.0.2.3", 30)});
  fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) { return answer_list(reply, buf, len); };
  testing::internal::CaptureStdout();
  list_table_entries(t5(), &asked, {capture_address});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(received, (calls_t{{"192.0.2.1", 10}, {"192.0.2.2", 20}}));
}

// Entries are stepped over by their own length, which need not keep the
// next entry aligned.
TEST_F(TableList, EntriesSteppedByTheirOwnLength) {
  ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, 4, 1000);
  std::vector<uint8_t> reply = list_reply(info, {addr4("192.0.2.1", 1, 120), addr4("192.0.2.2", 2, 200),
                                                 addr4("192.0.2.3", 3, 121), addr4("192.0.2.4", 4, 120)});
  fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) { return answer_list(reply, buf, len); };
  list_table_entries(t5(), &info, {capture_address});
  EXPECT_EQ(received, (calls_t{{"192.0.2.1", 1}, {"192.0.2.2", 2}, {"192.0.2.3", 3}, {"192.0.2.4", 4}}));
}

// A reply whose count or lengths do not keep every entry inside it renders
// nothing and ends the process as a failed listing.
TEST_F(TableList, MalformedReplyRendersNothingAndEndsTheProcess) {
  constexpr size_t count_at = sizeof(ipfw_obj_header) + offsetof(ipfw_xtable_info, count);
  constexpr size_t first_len_at = FW_LIST_ENTRIES_OFFSET + 4;
  constexpr size_t second_len_at = first_len_at + sizeof(ipfw_obj_tentry);
  struct row {
    const char* name;
    std::function<void(std::vector<uint8_t>& reply, uint32_t& reported, uint32_t buf_len)> spoil;
  };
  const std::vector<row> rows = {
      {"first entry of length 0", [](auto& r, auto&, auto) { set_u32(r, first_len_at, 0); }},
      {"second entry of length 0", [](auto& r, auto&, auto) { set_u32(r, second_len_at, 0); }},
      {"entry shorter than its fields", [](auto& r, auto&, auto) { set_u32(r, first_len_at, 119); }},
      {"entry running past the end", [](auto& r, auto&, auto) { set_u32(r, second_len_at, 121); }},
      {"entry length near 4 GiB", [](auto& r, auto&, auto) { set_u32(r, second_len_at, 0xFFFFFFF0u); }},
      {"item count one too many", [](auto& r, auto&, auto) { set_u32(r, count_at, 3); }},
      {"item count huge", [](auto& r, auto&, auto) { set_u32(r, count_at, 0xFFFFFFFFu); }},
      {"reported length past the buffer",
       [](auto&, auto& reported, auto buf_len) { reported = buf_len + 1; }},
      {"reported length cuts the last entry", [](auto&, auto& reported, auto) { reported -= 1; }},
      {"reply shorter than the info record",
       [](auto& r, auto& reported, auto) {
         set_u32(r, count_at, 0);
         reported = FW_LIST_ENTRIES_OFFSET - 1;
       }},
  };
  ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, 2, 536);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
      std::vector<uint8_t> reply = list_reply(info, {addr4("192.0.2.1", 1), addr4("192.0.2.2", 2)});
      uint32_t reported = static_cast<uint32_t>(reply.size());
      r.spoil(reply, reported, *len);
      memcpy(buf, reply.data(), std::min<size_t>(reply.size(), *len));
      *len = reported;
      return 0;
    };
    EXPECT_EXIT(list_table_entries(t5(), &info, {must_not_render}), testing::ExitedWithCode(71),
                "Error requesting table t5 list");
  }
}

// A sweep (handler and due test given) passes over the address entries
// that are not due or that it cannot remove (a due one without a key a
// deletion could name, here a mask length of 33), wherever they lie;
// entries of other tables all print.
// A reply that fails its check renders nothing, due entries before the
// fault included.
TEST_F(TableList, SweepRendersEveryDueEntryAndNothingElse) {
  struct row {
    const char* name;
    uint8_t type;
    std::vector<uint32_t> expiries;  // of the entries 192.0.2.1, .2, ...
    calls_t want;
    std::string want_out;  // KEY: the entry's key as a number
    std::vector<size_t> keyless = {};  // entries given a mask length of 33
  };
  const std::vector<row> rows = {
      {"due entries between others",
       IPFW_TABLE_ADDR,
       {200, 5, 300, 7},
       {{"192.0.2.2", 5}, {"192.0.2.4", 7}},
       ""},
      {"the first and the last due", IPFW_TABLE_ADDR, {1, 200, 2}, {{"192.0.2.1", 1}, {"192.0.2.3", 2}}, ""},
      {"nothing due", IPFW_TABLE_ADDR, {200, 300}, {}, ""},
      {"due ones without a key first and last",
       IPFW_TABLE_ADDR,
       {1, 200, 2, 3},
       {{"192.0.2.3", 2}},
       "",
       {0, 3}},
      {"a number table prints every entry", IPFW_TABLE_NUMBER, {200, 5}, {}, "KEY 200\nKEY 5\n"},
  };
  auto due_below_100 = [](uint32_t expiry, bool removable) { return removable && expiry < 100; };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    received.clear();
    std::vector<ipfw_obj_tentry> entries;
    for (size_t i = 0; i < r.expiries.size(); i++)
      entries.push_back(addr4(("192.0.2." + std::to_string(i + 1)).c_str(), r.expiries[i]));
    for (size_t i : r.keyless) entries[i].masklen = 33;
    ipfw_xtable_info info = listed_info("t5", r.type, static_cast<uint32_t>(entries.size()), 1000);
    std::vector<uint8_t> reply = list_reply(info, entries);
    fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) { return answer_list(reply, buf, len); };
    std::string want_out = r.want_out;
    for (const auto& e : entries)
      if (size_t at = want_out.find("KEY"); at != std::string::npos)
        want_out.replace(at, 3, std::to_string(e.k.number));
    testing::internal::CaptureStdout();
    list_table_entries(t5(), &info, {capture_address, due_below_100});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), want_out);
    EXPECT_EQ(received, r.want);
  }

  ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, 3, 1000);
  std::vector<uint8_t> reply =
      list_reply(info, {addr4("192.0.2.1", 1), addr4("192.0.2.2", 2), addr4("192.0.2.3", 3)});
  set_u32(reply, FW_LIST_ENTRIES_OFFSET + 2 * sizeof(ipfw_obj_tentry) + 4, 121);
  fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) { return answer_list(reply, buf, len); };
  EXPECT_EXIT(list_table_entries(t5(), &info, (listing_handler{must_not_render, due_below_100})),
              testing::ExitedWithCode(71), "Error requesting table t5 list");
}

// The list buffer outlives the listing: the next listing asks the kernel
// with the same memory, a larger one replaces it, and a smaller listing
// after that keeps the larger.
TEST_F(TableList, BufferKeptFromOneListingToTheNext) {
  std::vector<const uint8_t*> bufs;
  std::vector<uint8_t> reply;
  fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
    bufs.push_back(buf);
    return answer_list(reply, buf, len);
  };
  auto list = [&](uint32_t listing_size, const std::vector<ipfw_obj_tentry>& entries) {
    ipfw_xtable_info info =
        listed_info("t5", IPFW_TABLE_ADDR, static_cast<uint32_t>(entries.size()), listing_size);
    reply = list_reply(info, entries);
    received.clear();
    list_table_entries(t5(), &info, {capture_address});
  };

  list(656, {addr4("192.0.2.1", 1), addr4("192.0.2.2", 2), addr4("192.0.2.3", 3)});
  list(536, {addr4("192.0.2.4", 4), addr4("192.0.2.5", 5)});
  EXPECT_EQ(received, (calls_t{{"192.0.2.4", 4}, {"192.0.2.5", 5}}));
  std::vector<ipfw_obj_tentry> many;
  for (uint32_t i = 0; i < 40; i++) many.push_back(addr4(("198.51.100." + std::to_string(i)).c_str(), i));
  list(FW_LIST_ENTRIES_OFFSET + size_t{40} * 120, many);
  EXPECT_EQ(received.size(), 40u);
  list(296, {});
  EXPECT_TRUE(received.empty());

  ASSERT_EQ(bufs.size(), 4u);
  EXPECT_EQ(bufs[1], bufs[0]) << "the same size again";
  EXPECT_EQ(bufs[3], bufs[2]) << "a smaller listing after a larger one";
}

// A handler that lists the table again when the first outer entry (expiry
// 1) arrives; with fail_nested set, the nested listing's walk ends in a
// fatal exit.
bool fail_nested = false;
int nesting = 0;

int fail_at_once(char*, uint32_t) { fatal_errx(71, "nested"); }

int nested_listing(char* key_text, uint32_t expiry) {
  capture_address(key_text, expiry);
  if (expiry != 1) return 0;
  ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_ADDR, 3, 656);
  nesting++;
  struct leave {
    ~leave() { nesting--; }
  } on_return;
  list_table_entries(t5(), &info, {fail_nested ? fail_at_once : capture_address});
  return 0;
}

// A listing run from inside another's walk (a command of the handler's)
// never shares the buffer that walk reads: the outer entries come through
// whole after a nested listing of the same size with other entries. A
// walk left by a fatal exit from its handler does not keep the buffer
// taken either.
TEST_F(TableList, NestedListingHasABufferOfItsOwn) {
  std::vector<uint8_t> outer, nested;
  std::vector<const uint8_t*> bufs;
  ipfw_xtable_info outer_info = listed_info("t5", IPFW_TABLE_ADDR, 3, 656);
  outer = list_reply(outer_info, {addr4("192.0.2.1", 1), addr4("192.0.2.2", 2), addr4("192.0.2.3", 3)});
  std::vector<ipfw_obj_tentry> other;
  for (uint32_t i = 0; i < 3; i++)
    other.push_back(addr4(("198.51.100." + std::to_string(i)).c_str(), 100 + i));
  nested = list_reply(listed_info("t5", IPFW_TABLE_ADDR, 3, 656), other);

  fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
    bufs.push_back(buf);
    return answer_list(nesting > 0 ? nested : outer, buf, len);
  };
  list_table_entries(t5(), &outer_info, {nested_listing});
  EXPECT_EQ(received, (calls_t{{"192.0.2.1", 1},
                               {"198.51.100.0", 100},
                               {"198.51.100.1", 101},
                               {"198.51.100.2", 102},
                               {"192.0.2.2", 2},
                               {"192.0.2.3", 3}}));
  ASSERT_EQ(bufs.size(), 2u);
  EXPECT_NE(bufs[1], bufs[0]);

  // A fatal exit thrown out of both walks (as the fuzz targets' hook does).
  {
    platform_scope throws(with_throwing_exit());
    fail_nested = true;
    EXPECT_THROW(list_table_entries(t5(), &outer_info, {nested_listing}), fatal_exit);
    fail_nested = false;
  }
  ASSERT_EQ(bufs.size(), 4u);
  EXPECT_NE(bufs[3], bufs[2]);

  // The kept buffer is free again: the next outer listing has it, and so
  // does the one after.
  received.clear();
  list_table_entries(t5(), &outer_info, {capture_address});
  list_table_entries(t5(), &outer_info, {capture_address});
  ASSERT_EQ(bufs.size(), 6u);
  EXPECT_EQ(bufs[4], bufs[0]);
  EXPECT_EQ(bufs[5], bufs[0]);
}

// The walk for callers of their own: the reply's info record and every
// entry, in order and in place; an entry off its alignment comes as an
// aligned copy.
TEST_F(TableList, ForEachEntryHandsOverEveryEntryInPlace) {
  ipfw_xtable_info info = listed_info("t5", IPFW_TABLE_NUMBER, 3, 1000);
  ipfw_xtable_info in_reply = listed_info("t5", IPFW_TABLE_ADDR, 3, 1000);
  std::vector<uint8_t> reply =
      list_reply(in_reply, {addr4("192.0.2.1", 1), addr4("192.0.2.2", 2, 121), addr4("192.0.2.3", 3)});
  const uint8_t* buf_seen = nullptr;
  fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
    buf_seen = buf;
    return answer_list(reply, buf, len);
  };
  struct seen_entry {
    const void* at;
    uint8_t type;
    uint32_t tag;
  };
  std::vector<seen_entry> seen;
  for_each_table_entry(
      t5(), &info,
      [](const ipfw_xtable_info* ri, const ipfw_obj_tentry* e, void* ctx) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(e) % alignof(ipfw_obj_tentry), 0u);
        static_cast<std::vector<seen_entry>*>(ctx)->push_back({e, ri->type, e->v.tag});
      },
      &seen);
  ASSERT_EQ(seen.size(), 3u);
  for (const auto& s : seen) EXPECT_EQ(s.type, IPFW_TABLE_ADDR);
  EXPECT_EQ(seen[0].at, buf_seen + FW_LIST_ENTRIES_OFFSET);
  EXPECT_EQ(seen[1].at, buf_seen + FW_LIST_ENTRIES_OFFSET + 120);
  EXPECT_NE(seen[2].at, buf_seen + FW_LIST_ENTRIES_OFFSET + 241) << "the third entry lies off its alignment";
  EXPECT_EQ((std::vector<uint32_t>{seen[0].tag, seen[1].tag, seen[2].tag}), (std::vector<uint32_t>{1, 2, 3}));
}

}  // namespace
