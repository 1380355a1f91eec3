// SPDX-License-Identifier: BSD-2-Clause
// Tests of the line of state: its exact text in each state the daemon can
// be in, the times at the ends of their ranges, and the longest line.
#include "daemon/status_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// 2026-12-11T05:00:00Z
constexpr int64_t ended = 1796965200;

daemon_status whole_cycle() {
  daemon_status s;
  s.table = "5";
  s.has_cycle = true;
  s.entries = 1200;
  s.due = 3;
  s.unremovable = 1;
  s.ended_unix = ended;
  s.duration_ns = 12345678;
  s.has_next = true;
  s.next_expiry = 1796965799;  // due the second after: 05:10:00
  return s;
}

std::string format(const daemon_status& s, uint64_t removed) {
  char buf[STATUS_LINE_MAX];
  status_line_format(&s, removed, buf, sizeof buf);
  return buf;
}

struct line_case {
  const char* name;
  daemon_status status;
  uint64_t removed;
  const char* line;
};

daemon_status with(daemon_status s, void (*change)(daemon_status*)) {
  change(&s);
  return s;
}

TEST(StatusLine, EachStateHasItsExactText) {
  const line_case cases[] = {
      {"a whole cycle, an entry ahead", whole_cycle(), 57,
       "table 5: last cycle 1200 entries, 3 due, 1 unremovable, ended 2026-12-11T05:00:00Z after 12.345 ms; "
       "57 "
       "removed since start; next due 2026-12-11T05:10:00Z"},
      {"nothing ahead", with(whole_cycle(), [](daemon_status* s) { s->has_next = false; }), 0,
       "table 5: last cycle 1200 entries, 3 due, 1 unremovable, ended 2026-12-11T05:00:00Z after 12.345 ms; "
       "0 "
       "removed since start; nothing due ahead"},
      {"no cycle yet", with(daemon_status{}, [](daemon_status* s) { s->table = "blocklist"; }), 0,
       "table blocklist: no cycle yet; 0 removed since start; nothing due ahead"},
      {"table gone after a whole cycle",
       with(whole_cycle(), [](daemon_status* s) { s->table_missing = true; }), 60,
       "table 5: last cycle 1200 entries, 3 due, 1 unremovable, ended 2026-12-11T05:00:00Z after 12.345 ms; "
       "60 "
       "removed since start; next due 2026-12-11T05:10:00Z; table gone, waiting for it"},
      {"table gone before any whole cycle",
       with(daemon_status{}, [](daemon_status* s) { s->table = "0", s->table_missing = true; }), 2,
       "table 0: no cycle yet; 2 removed since start; nothing due ahead; table gone, waiting for it"},
      // A cycle shorter than a microsecond, an empty table.
      {"an empty table's short cycle",
       with(whole_cycle(),
            [](daemon_status* s) {
              s->entries = s->due = s->unremovable = 0;
              s->duration_ns = 999;
              s->has_next = false;
            }),
       0,
       "table 5: last cycle 0 entries, 0 due, 0 unremovable, ended 2026-12-11T05:00:00Z after 0.000 ms; 0 "
       "removed since start; nothing due ahead"},
      // The last expiry there is falls due at 2^32; the epoch's first second
      // is due at 1.
      {"the last expiry",
       with(whole_cycle(), [](daemon_status* s) { s->next_expiry = UINT32_MAX, s->duration_ns = 1000; }), 0,
       "table 5: last cycle 1200 entries, 3 due, 1 unremovable, ended 2026-12-11T05:00:00Z after 0.001 ms; 0 "
       "removed since start; next due 2106-02-07T06:28:16Z"},
      {"the first expiry",
       with(whole_cycle(), [](daemon_status* s) { s->next_expiry = 0, s->ended_unix = 0; }), 0,
       "table 5: last cycle 1200 entries, 3 due, 1 unremovable, ended 1970-01-01T00:00:00Z after 12.345 ms; "
       "0 "
       "removed since start; next due 1970-01-01T00:00:01Z"},
  };
  for (const line_case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(format(c.status, c.removed), c.line);
  }
}

// No clock gives a time past the year 9999; one that did is written as
// its seconds rather than as a date of more than four digits.
TEST(StatusLine, ATimeNoYearOfFourDigitsHoldsIsWrittenAsSeconds) {
  daemon_status s = whole_cycle();
  s.ended_unix = INT64_MAX;
  EXPECT_EQ(
      format(s, 0),
      "table 5: last cycle 1200 entries, 3 due, 1 unremovable, ended @9223372036854775807 after 12.345 ms; 0 "
      "removed since start; next due 2026-12-11T05:10:00Z");
}

// The widest line there is fits STATUS_LINE_MAX whole; a smaller buffer
// gets as much of it as fits, terminated.
TEST(StatusLine, TheLongestLineFitsAndASmallerBufferIsCut) {
  const std::string name(63, 'n');
  daemon_status s = whole_cycle();
  s.table = name.c_str();
  s.entries = s.due = s.unremovable = UINT64_MAX;
  s.ended_unix = INT64_MIN;
  s.duration_ns = INT64_MAX;
  s.next_expiry = UINT32_MAX;
  s.table_missing = true;
  const std::string whole =
      "table " + name +
      ": last cycle 18446744073709551615 entries, 18446744073709551615 due, "
      "18446744073709551615 unremovable, ended @-9223372036854775808 after 9223372036854.775 ms; "
      "18446744073709551615 removed since start; next due 2106-02-07T06:28:16Z; table gone, "
      "waiting for it";
  EXPECT_EQ(format(s, UINT64_MAX), whole);
  EXPECT_LT(whole.size(), STATUS_LINE_MAX);
  for (size_t size : {size_t{1}, size_t{7}, size_t{100}, whole.size(), whole.size() + 1}) {
    SCOPED_TRACE(size);
    char buf[STATUS_LINE_MAX];
    memset(buf, 'x', sizeof buf);
    status_line_format(&s, UINT64_MAX, buf, size);
    EXPECT_EQ(std::string(buf), whole.substr(0, size - 1));
  }
}

}  // namespace
