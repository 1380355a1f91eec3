// SPDX-License-Identifier: BSD-2-Clause
// The sweep's own pass over a reply against the general road: random
// entries of both kernels' layouts, whose due decisions and tally the scan
// must make exactly as the renderer's reading of the same entries does
// (the key text the sweep would name, the time the value text starts
// with), and a listing that must hand on the same entries with the same
// tally whether its due test is the sweep's own or a function's.
//
// Replay a failure with HOSTREAPD_SEED set to the seed the failure prints.
#include "fwtable/sweep_scan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fwtable/entry_render.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "fwtable/table_list.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/table_records.h"

namespace {

using rng_t = std::mt19937_64;

uint64_t seed_from_environment() {
  const char* text = getenv("HOSTREAPD_SEED");
  if (text != nullptr && text[0] != '\0') return strtoull(text, nullptr, 0);
  return static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

uint32_t below(rng_t& rng, uint64_t n) { return static_cast<uint32_t>(rng() % n); }
bool chance(rng_t& rng, unsigned percent) { return below(rng, 100) < percent; }

// The clock of a cycle: mostly a time of today, at times one that every
// narrow field is past or none is, and the ends of the range.
int64_t random_now(rng_t& rng) {
  switch (below(rng, 8)) {
    case 0:
      return INT64_MIN;
    case 1:
      return -1 - static_cast<int64_t>(below(rng, 1000));
    case 2:
      return below(rng, 300);
    case 3:
      return below(rng, 70000);
    case 4:
      return int64_t{UINT32_MAX} + below(rng, 2);
    default:
      return 1700000000 + below(rng, 100000000);
  }
}

// A number of a field of width bytes around now (or anywhere).
uint32_t random_number(rng_t& rng, unsigned width, int64_t now) {
  const uint64_t top = width >= 4 ? uint64_t{UINT32_MAX} : (uint64_t{1} << (8 * width)) - 1;
  uint64_t n;
  if (chance(rng, 60) && now >= 0) {
    n = static_cast<uint64_t>(now) + below(rng, 5) - 2;
  } else if (chance(rng, 15)) {
    n = chance(rng, 50) ? 0 : top;
  } else {
    n = rng();
  }
  return static_cast<uint32_t>(n & top);
}

// A value mask: legacy, one of the numeric fields first, an address or no
// field first, or bits no field has.
uint32_t random_vmask(rng_t& rng) {
  switch (below(rng, 6)) {
    case 0:
      return IPFW_VTYPE_LEGACY;
    case 1:
      return below(rng, 2) == 0 ? 0 : 0x1000u << below(rng, 20);
    case 2:
      return (chance(rng, 50) ? IPFW_VTYPE_NH4 : IPFW_VTYPE_NH6) | (below(rng, 0x1000) & ~0x3FFu);
    default: {
      uint32_t mask = below(rng, 0x1000) | (chance(rng, 10) ? 0x1000u << below(rng, 19) : 0);
      return mask == 0 ? IPFW_VTYPE_TAG : mask;
    }
  }
}

// An entry in the layout of Entry: a key of every kind the sweep meets
// (IPv4, IPv6, IPv4-compatible IPv6, other families, mask lengths past the
// address's width), a length of at least one record, and a value whose
// numeric fields lie around now.
template <typename Entry>
Entry random_entry(rng_t& rng, const value_record_layout& layout, int64_t now) {
  Entry e;
  auto* bytes = reinterpret_cast<uint8_t*>(&e);
  for (size_t i = 0; i < sizeof e; i++) bytes[i] = static_cast<uint8_t>(rng());
  const unsigned kind = below(rng, 10);
  e.subtype = kind < 5 ? FW_AF_INET : kind < 9 ? FW_AF_INET6 : static_cast<uint8_t>(rng());
  const unsigned width = e.subtype == FW_AF_INET ? 32 : 128;
  e.masklen = static_cast<uint8_t>(chance(rng, 80) ? width - below(rng, 3) * below(rng, 20) : rng());
  if (e.subtype == FW_AF_INET6 && chance(rng, 20)) {
    memset(e.k.addr6, 0, 15);
    e.k.addr6[15] = static_cast<uint8_t>(below(rng, 4));
    if (chance(rng, 50)) e.k.addr6[12] = 192;
  }
  e.head.length = static_cast<uint32_t>(sizeof e + (chance(rng, 10) ? below(rng, 9) : 0));
  for (const value_field& f : layout.fields)
    if (f.kind == value_kind::number)
      set_value_field_number(f, &e.v, random_number(rng, f.width, now) % (uint64_t{f.max} + 1));
  return e;
}

// The general road's reading of an entry: the key the sweep would name
// (the key lies alike in both layouts) and the time its value text starts
// with.
template <typename Entry>
bool general_reading(uint32_t vmask, const Entry& e, uint32_t* expiry) {
  ipfw_obj_tentry key = blank_entry();
  key.subtype = e.subtype;
  key.masklen = e.masklen;
  memcpy(&key.k, &e.k, sizeof key.k);
  char key_text[ENTRY_TEXT_SIZE];
  char value_text[ENTRY_TEXT_SIZE];
  format_entry_value(vmask, &e.v, value_text);
  *expiry = 0;
  const bool timed = value_text_expiry(value_text, expiry);
  const bool named = format_sweep_key(&key, key_text);
  if (!named) *expiry = 0;
  return named && timed;
}

void expect_same_tally(const sweep_tally& got, const sweep_tally& want) {
  EXPECT_EQ(got.entries, want.entries);
  EXPECT_EQ(got.unremovable, want.unremovable);
  EXPECT_EQ(got.due, want.due);
  EXPECT_EQ(got.has_next, want.has_next);
  if (want.has_next) {
    EXPECT_EQ(got.next_expiry, want.next_expiry);
  }
}

// A reply of the entries: header and info record, then each entry with
// filler up to its own length.
template <typename Entry>
std::vector<uint8_t> reply_of(const std::vector<Entry>& entries) {
  std::vector<uint8_t> r(FW_LIST_ENTRIES_OFFSET, 0);
  for (const Entry& e : entries) {
    const auto* b = reinterpret_cast<const uint8_t*>(&e);
    r.insert(r.end(), b, b + sizeof e);
    r.insert(r.end(), e.head.length - sizeof e, 0xEE);
  }
  return r;
}

// One table in layout L: random entries, one of them perhaps with a length
// that runs out of the reply or falls short of a record, or the reply cut
// inside an entry. The scan runs from each due entry to the next; every
// decision and the tally must be the general road's, and so must the place
// where the scan finds the reply malformed.
template <typename L>
void scan_against_general(rng_t& rng, const value_record_layout& layout) {
  using entry_t = typename L::obj_tentry;
  const int64_t now = random_now(rng);
  const uint32_t vmask = random_vmask(rng);
  SCOPED_TRACE("layout " + std::to_string(L::abi) + ", vmask " + std::to_string(vmask) + ", now " +
               std::to_string(now));
  std::vector<entry_t> entries(below(rng, 40));
  for (auto& e : entries) e = random_entry<entry_t>(rng, layout, now);
  std::vector<uint8_t> reply = reply_of(entries);
  uint64_t reply_len = reply.size();

  // Where the reply goes bad, if it does: from this entry on nothing is
  // read, and the scan answers false there.
  size_t bad_at = entries.size();
  if (!entries.empty() && chance(rng, 20)) {
    bad_at = below(rng, entries.size());
    uint64_t off = FW_LIST_ENTRIES_OFFSET;
    for (size_t i = 0; i < bad_at; i++) off += entries[i].head.length;
    uint32_t len;
    switch (below(rng, 3)) {
      case 0:
        len = below(rng, ENTRY_RECORD_SIZE);
        memcpy(reply.data() + off + 4, &len, sizeof len);
        break;
      case 1:
        len = static_cast<uint32_t>(reply_len - off + 1 + below(rng, 300));
        memcpy(reply.data() + off + 4, &len, sizeof len);
        break;
      default:
        reply_len = off + below(rng, entries[bad_at].head.length);
        break;
    }
  }

  sweep_reading reading;
  const bool applies = sweep_reading_of(vmask, layout, &reading);
  const value_field* lead = leading_value_field(layout, vmask);
  ASSERT_EQ(applies, lead != nullptr && value_field_holds_time(*lead));
  if (!applies) return;

  sweep_cycle general;
  general.now = now;
  sweep_cycle fast = general;
  reply_position at{0, FW_LIST_ENTRIES_OFFSET};
  for (size_t i = 0; i <= entries.size(); i++) {
    // The general road up to its next due entry.
    size_t due_at = i;
    while (due_at < bad_at) {
      uint32_t expiry;
      const bool removable = general_reading(vmask, entries[due_at], &expiry);
      if (sweep_count_entry(&general, expiry, removable)) break;
      due_at++;
    }
    SCOPED_TRACE("scanned from entry " + std::to_string(i));
    const bool well_formed =
        sweep_scan(reply.data(), reply_len, static_cast<uint32_t>(entries.size()), reading, &fast, &at);
    expect_same_tally(fast.tally, general.tally);
    if (due_at == bad_at) {
      EXPECT_EQ(well_formed, bad_at == entries.size());
      EXPECT_EQ(at.index, bad_at);
      return;
    }
    ASSERT_TRUE(well_formed);
    ASSERT_EQ(at.index, due_at) << "the due entry the scan stops at";
    at.offset += entries[due_at].head.length;
    at.index++;
    i = due_at;
  }
}

TEST(SweepScan, DecidesAndCountsAsTheGeneralRoadInBothLayouts) {
  const uint64_t seed = seed_from_environment();
  SCOPED_TRACE("HOSTREAPD_SEED=" + std::to_string(seed));
  rng_t rng(seed);
  for (int round = 0; round < 2000 && !testing::Test::HasFailure(); round++) {
    scan_against_general<fw15::layout>(rng, fw15::value_layout);
    scan_against_general<fw14::layout>(rng, fw14::value_layout);
  }
}

// ---- the listing ------------------------------------------------------------

using calls_t = std::vector<std::pair<std::string, uint32_t>>;
calls_t received;
sweep_cycle by_function;

int capture_address(char* key_text, uint32_t expiry) {
  received.emplace_back(key_text, expiry);
  return 0;
}

bool due_by_function(uint32_t expiry, bool removable) {
  return sweep_count_entry(&by_function, expiry, removable);
}

// The same reply listed twice, once with the sweep's own decision (the
// cycle) and once with a function that makes the same decision on a cycle
// of its own: the same entries are handed on, in the same order, with the
// same tally, whatever leads the value and wherever the due entries lie.
TEST(SweepScan, ListingHandsOnTheSameEntriesWithEitherDueTest) {
  const uint64_t seed = seed_from_environment();
  SCOPED_TRACE("HOSTREAPD_SEED=" + std::to_string(seed));
  rng_t rng(seed);
  fake_kernel fk;
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t5", 0);
  for (int round = 0; round < 300 && !testing::Test::HasFailure(); round++) {
    const int64_t now = random_now(rng);
    ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR, random_vmask(rng));
    SCOPED_TRACE("vmask " + std::to_string(info.vmask) + ", now " + std::to_string(now));
    std::vector<ipfw_obj_tentry> entries(below(rng, 30));
    for (auto& e : entries) e = random_entry<ipfw_obj_tentry>(rng, fw_built::value_layout, now);
    std::vector<uint8_t> reply = reply_of(entries);
    info.count = static_cast<uint32_t>(entries.size());
    info.size = static_cast<uint32_t>(reply.size());
    memcpy(reply.data() + sizeof(ipfw_obj_header), &info, sizeof info);
    // A kernel never writes past the length it is given: a buffer too small
    // for the reply (its entries may be longer than a record, and the
    // listing sizes its first request from the item count) is answered
    // ENOMEM with the info record, as the kernel does.
    fk.answer = [&](uint16_t, uint8_t* buf, uint32_t* len) {
      if (*len < reply.size()) {
        if (*len >= FW_INFO_REQUEST_SIZE) memcpy(buf + sizeof(ipfw_obj_header), &info, sizeof info);
        errno = ENOMEM;
        return -1;
      }
      memcpy(buf, reply.data(), reply.size());
      *len = static_cast<uint32_t>(reply.size());
      return 0;
    };

    sweep_cycle own;
    own.now = now;
    by_function = own;
    listing_handler with_cycle;
    with_cycle.on_address = capture_address;
    with_cycle.cycle = &own;
    received.clear();
    list_table_entries(&oh, &info, with_cycle);
    const calls_t by_cycle = received;

    listing_handler with_function;
    with_function.on_address = capture_address;
    with_function.is_due = due_by_function;
    received.clear();
    list_table_entries(&oh, &info, with_function);
    EXPECT_EQ(by_cycle, received);
    expect_same_tally(own.tally, by_function.tally);
    EXPECT_EQ(own.tally.entries, entries.size());
  }
}

}  // namespace
