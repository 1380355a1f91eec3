// SPDX-License-Identifier: BSD-2-Clause
// A randomized end-to-end check of the one thing the daemon must get right:
// after it has swept a table, exactly the entries whose time had passed are
// gone, each logged once, and every other entry is still there with its
// value unchanged.
//
// Tables are built at random in a real fwemu server, numbered or named: IPv4
// and IPv6 hosts and prefixes; the legacy value or value masks of several
// fields, where the expiry is the number of the value text's first field
// (in bit order), and a value whose first field is an address, or that has
// no field at all (a value type no keyword names), is no time and never
// removed; expiry times below, at and above the current second, 0 and
// 4294967295. The real hostreapd sweeps each table for a few cycles and is
// stopped with SIGTERM.
//
// The daemon reads the real clock, so the check brackets it: t0 is taken
// before the start and t1 after the stop. An entry that expired before t0 must
// be gone, one that expires at t1 or later must stay; in between either is
// right, but a removal is still logged exactly once and a remaining entry
// keeps its value.
//
// Replay a failure with HOSTREAPD_SEED set to the seed the failure prints.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fwtable/fw_records.h"
#include "fwtable/value_fields.h"
#include "tests/support/daemon_harness.h"

namespace {

constexpr int TABLES = 300;
constexpr int MAX_ENTRIES = 20;
constexpr int TABLES_PER_SERVER = 128;  // table numbers 0..127 (or names tab-N), each used once
constexpr long CYCLES = 3;
constexpr int LIMIT_MS = 10000;  // guards against hangs only

using rng_t = std::mt19937_64;

uint64_t seed_from_environment() {
  const char* text = getenv("HOSTREAPD_SEED");
  if (text != nullptr && text[0] != '\0') return strtoull(text, nullptr, 0);
  return static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

uint32_t below(rng_t& rng, uint64_t n) { return static_cast<uint32_t>(rng() % n); }
bool chance(rng_t& rng, unsigned percent) { return below(rng, 100) < percent; }

// The value fields of a value mask, in bit order, as this build's kernel
// lays out its value record (fwtable/value_fields.h): skipto, pipe, fib and
// divert are as wide as it makes them (FreeBSD 14's and 15's differ). A
// number can hold a time when the record keeps 32 bits of it and ipfw(8)
// does too: not pipe, fib, nat, dscp or divert, which it keeps in 16 bits
// or 6, whatever the record.
struct value_field_model {
  uint32_t bit;
  const char* word;
  uint32_t max;  // the largest number the field holds (0 for an address)
  bool holds_time;
};
const std::vector<value_field_model> FIELDS = [] {
  const std::set<std::string> kept_narrow = {"pipe", "fib", "nat", "dscp", "divert"};
  std::vector<value_field_model> fields;
  for (const value_field& f : fw_built::value_layout.fields)
    fields.push_back({f.bit, f.word, f.kind == value_kind::number ? f.max : 0,
                      f.kind == value_kind::number && f.width == 4 && kept_narrow.count(f.word) == 0});
  return fields;
}();
constexpr uint32_t LEGACY = 0xffffffff;

std::string address_text(int family, const uint8_t* bytes) {
  char buf[INET6_ADDRSTRLEN];
  return inet_ntop(family, bytes, buf, sizeof buf) != nullptr ? buf : "?";
}

// An expiry time around now: long past, just past, this second, just ahead,
// far ahead, and the edges of the 32 bits (2147483648 and above print as
// negative numbers in a skipto field and must still count as far ahead).
uint32_t random_expiry(rng_t& rng, uint32_t now) {
  switch (below(rng, 13)) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 2:
      return now - 1 - below(rng, 100000);
    case 3:
      return now - 1;
    case 4:
      return now;
    case 5:
      return now + 1;
    case 6:
      return now + 2 + below(rng, 100000);
    case 7:
      return UINT32_MAX;
    case 8:
      return UINT32_MAX - 1;
    case 9:
      return 2147483647u;
    case 10:
      return 2147483648u + below(rng, 2147483648u);
    case 11:
      return now - 1 - below(rng, now);
    default:
      return static_cast<uint32_t>(rng());
  }
}

// The high bytes of IPv6 addresses for value fields: texts that start with
// digits, which atoi would read as a time long past, and one that does not.
const uint8_t IPV6_VALUE_HIGH[][4] = {
    {0x20, 0x01, 0x0d, 0xb8},  // 2001:db8::...
    {0xfd, 0x00, 0x00, 0x00},  // fd00::...
    {0x00, 0x64, 0xff, 0x9b},  // 64:ff9b::...
    {0x01, 0x00, 0x00, 0x00},  // 100::...
};

// One field's text for the emulator's add command, and the time it is when
// it comes first in the value: a number is its own time, an address none.
struct field_value {
  std::string text;
  bool timed;
  uint32_t expiry;
};

field_value random_field(rng_t& rng, const value_field_model& f, bool lead, uint32_t now) {
  if (f.bit == 0x200) {
    uint8_t a[4];
    for (auto& b : a) b = static_cast<uint8_t>(rng());
    return {address_text(AF_INET, a), false, 0};
  }
  if (f.bit == 0x400) {
    uint8_t a[16] = {};
    memcpy(a, IPV6_VALUE_HIGH[below(rng, std::size(IPV6_VALUE_HIGH))], 4);
    a[14] = static_cast<uint8_t>(1 + below(rng, 255));
    a[15] = static_cast<uint8_t>(rng());
    return {address_text(AF_INET6, a), false, 0};
  }
  uint32_t n = f.max == UINT32_MAX && lead ? random_expiry(rng, now) : below(rng, uint64_t{f.max} + 1);
  return {std::to_string(n), f.holds_time, n};
}

struct planned_entry {
  std::string key;  // as the emulator lists it and the daemon renders it
  std::string value;  // the value as the emulator's add command takes it (may be empty)
  bool timed;  // the value is a time: the entry goes once expiry has passed
  uint32_t expiry;
};

struct planned_table {
  std::string name;  // the table's number or name
  uint32_t vmask;
  std::string valtype;
  std::vector<planned_entry> entries;
  std::string narrow_lead;  // the leading field, when it is a number that cannot hold a time
};

// A key of an address table: an IPv4 or IPv6 host or prefix (host bits
// cleared), never an IPv4-compatible IPv6 address (the first byte of an
// IPv6 address is not zero unless a short prefix clears it all).
std::string random_key(rng_t& rng) {
  bool v6 = chance(rng, 50);
  bool prefix = chance(rng, 40);
  unsigned full = v6 ? 128 : 32;
  unsigned masklen = prefix ? below(rng, full) : full;
  uint8_t a[16];
  for (auto& b : a) b = static_cast<uint8_t>(rng());
  if (v6) {
    a[0] |= 0x20;
    if (chance(rng, 10)) {  // an IPv4-mapped address
      memset(a, 0, 10);
      a[10] = a[11] = 0xff;
    }
  }
  for (unsigned i = 0; i < full / 8; i++) {
    unsigned first = i * 8;
    if (masklen <= first)
      a[i] = 0;
    else if (masklen < first + 8)
      a[i] &= static_cast<uint8_t>(0xff << (first + 8 - masklen));
  }
  std::string text = address_text(v6 ? AF_INET6 : AF_INET, a);
  if (masklen != full) text += "/" + std::to_string(masklen);
  return text;
}

planned_table random_table(rng_t& rng, int number, uint32_t now) {
  planned_table t;
  t.name = chance(rng, 30) ? "tab-" + std::to_string(number) : std::to_string(number);
  std::vector<const value_field_model*> fields;
  if (chance(rng, 40)) {
    t.vmask = LEGACY;
    t.valtype = "legacy";
  } else if (chance(rng, 5)) {
    // Value types no keyword names: no field, no time.
    t.vmask = 0x1000;
    t.valtype = "0x1000";
  } else {
    // The leading field, mostly a 32-bit number that can hold any time; then
    // some of the fields after it.
    std::vector<size_t> wide, narrow;
    for (size_t i = 0; i < std::size(FIELDS); i++) (FIELDS[i].max == UINT32_MAX ? wide : narrow).push_back(i);
    size_t lead = chance(rng, 70) ? wide[below(rng, wide.size())] : narrow[below(rng, narrow.size())];
    fields.push_back(&FIELDS[lead]);
    if (FIELDS[lead].max != 0 && !FIELDS[lead].holds_time) t.narrow_lead = FIELDS[lead].word;
    for (size_t i = lead + 1; i < std::size(FIELDS); i++)
      if (chance(rng, 40)) fields.push_back(&FIELDS[i]);
    t.vmask = 0;
    for (const value_field_model* f : fields) {
      t.vmask |= f->bit;
      if (!t.valtype.empty()) t.valtype += ',';
      t.valtype += f->word;
    }
  }

  std::set<std::string> keys;
  unsigned n = 1 + below(rng, MAX_ENTRIES);
  while (t.entries.size() < n) {
    planned_entry e;
    e.key = random_key(rng);
    if (!keys.insert(e.key).second) continue;
    e.timed = false;
    e.expiry = 0;
    if (t.vmask == LEGACY) {
      e.timed = true;
      e.expiry = random_expiry(rng, now);
      e.value = std::to_string(e.expiry);
    } else {
      for (size_t i = 0; i < fields.size(); i++) {
        field_value v = random_field(rng, *fields[i], i == 0, now);
        if (i == 0) {
          e.timed = v.timed;
          e.expiry = v.expiry;
        }
        if (i > 0) e.value += ',';
        e.value += fields[i]->word;
        e.value += '=';
        e.value += v.text;
      }
    }
    t.entries.push_back(e);
  }
  return t;
}

// The emulator's listing as key -> value text.
std::map<std::string, std::string> listing(daemon_harness& h, const std::string& table) {
  std::map<std::string, std::string> out;
  std::istringstream in(h.admin("list " + table));
  for (std::string line; std::getline(in, line);) {
    size_t blank = line.find(' ');
    out[line.substr(0, blank)] = blank == std::string::npos ? "" : line.substr(blank + 1);
  }
  return out;
}

std::string describe(const planned_table& t) {
  std::string s = "table " + t.name + " valtype " + t.valtype + ":";
  for (const auto& e : t.entries)
    s += "\n  " + e.key + " " + e.value +
         (e.timed ? " (expiry " + std::to_string(e.expiry) + ")" : " (no time)");
  return s;
}

// Builds the table, sweeps it with the real daemon and checks the outcome.
void sweep_and_check(daemon_harness& h, const planned_table& t) {
  SCOPED_TRACE(describe(t));
  const std::string& name = t.name;
  h.admin("create " + name + " type addr valtype " + t.valtype);
  for (const auto& e : t.entries)
    h.admin("add " + name + " " + e.key + (e.value.empty() ? "" : " " + e.value));
  const std::map<std::string, std::string> before = listing(h, t.name);
  ASSERT_EQ(before.size(), t.entries.size());
  for (const auto& e : t.entries)
    ASSERT_EQ(before.count(e.key), 1u) << "the emulator lists " << e.key << " otherwise";

  const long lists = h.requests(89);
  const int64_t t0 = time(nullptr);
  child_process d = h.start({"-t", name, "-f", "-s", "60"});
  const pid_t pid = d.pid;
  EXPECT_TRUE(h.wait_for_lists(lists + CYCLES, LIMIT_MS, pid)) << "fewer than " << CYCLES << " cycles";
  d.send(SIGTERM);
  exit_result r = h.wait_exit(d, LIMIT_MS);
  const int64_t t1 = time(nullptr);
  ASSERT_TRUE(r.finished) << "no exit after SIGTERM";
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0);
  // A table led by a field that cannot hold a time is warned of, once.
  const std::string warning = t.narrow_lead.empty()
                                  ? ""
                                  : "table " + name + ": its values begin with " + t.narrow_lead +
                                        ", which cannot hold a time; its entries are never removed";
  EXPECT_EQ(d.err(), warning.empty() ? "" : "hostreapd: " + warning + "\n");
  EXPECT_EQ(d.out(), "");

  // This daemon's log: the start, the warning, then nothing but removals
  // from its table.
  std::map<std::string, int> removed;
  const std::string head = "Removing host ";
  const std::string tail = " from table " + name;
  for (const auto& m : h.sink.messages()) {
    if (m.pid != pid) continue;
    if (!warning.empty() && m.text == warning) {
      EXPECT_EQ(m.priority, 36) << m.raw;  // LOG_AUTH | LOG_WARNING
      continue;
    }
    EXPECT_EQ(m.priority, 38) << m.raw;  // LOG_AUTH | LOG_INFO
    if (m.text == "starting....") continue;
    ASSERT_TRUE(m.text.starts_with(head) && m.text.ends_with(tail)) << m.text;
    removed[m.text.substr(head.size(), m.text.size() - head.size() - tail.size())]++;
  }

  const std::map<std::string, std::string> after = listing(h, t.name);
  for (const auto& [key, count] : removed)
    EXPECT_EQ(before.count(key), 1u) << "logged a key never listed: " << key;
  for (const auto& e : t.entries) {
    SCOPED_TRACE(e.key + " expiry " + std::to_string(e.expiry) + ", swept between " + std::to_string(t0) +
                 " and " + std::to_string(t1));
    auto left = after.find(e.key);
    int logged = removed.count(e.key) != 0 ? removed.at(e.key) : 0;
    if (!e.timed) {
      EXPECT_NE(left, after.end()) << "its value is no time, yet it is gone";
    } else if (e.expiry < t0) {
      EXPECT_EQ(left, after.end()) << "due but still there";
    }
    if (e.timed && e.expiry >= t1) {
      EXPECT_NE(left, after.end()) << "not due but gone";
    }
    if (left == after.end()) {
      EXPECT_EQ(logged, 1) << "a removal is logged exactly once";
    } else {
      EXPECT_EQ(logged, 0) << "logged as removed but still there";
      EXPECT_EQ(left->second, before.at(e.key)) << "the value changed";
    }
  }
  EXPECT_LE(after.size(), before.size());
}

TEST(RandomSweep, ExactlyTheDueEntriesLeaveAndEveryOtherKeepsItsValue) {
  const uint64_t seed = seed_from_environment();
  SCOPED_TRACE("HOSTREAPD_SEED=" + std::to_string(seed));
  rng_t rng(seed);
  for (int done = 0; done < TABLES && !testing::Test::HasFailure();) {
    // One server and syslog sink for as many tables as there are numbers.
    daemon_harness h;
    for (int number = 0; number < TABLES_PER_SERVER && done < TABLES && !testing::Test::HasFailure();
         number++, done++) {
      planned_table t = random_table(rng, number, static_cast<uint32_t>(time(nullptr)));
      sweep_and_check(h, t);
    }
  }
}

}  // namespace
