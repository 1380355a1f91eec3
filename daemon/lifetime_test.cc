// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/lifetime.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int64_t NOW = 1796964640;

TEST(Lifetime, DeadlinesOfEachForm) {
  struct row {
    const char* text;
    int64_t deadline;
  };
  const std::vector<row> rows = {
      {"3600", NOW + 3600},
      {"0", NOW},
      {"90s", NOW + 90},
      {"15m", NOW + 900},
      {"1h30m", NOW + 5400},
      {"7d", NOW + 604800},
      {"2w", NOW + 1209600},
      {"1w2d3h4m5s", NOW + 604800 + 172800 + 10800 + 240 + 5},
      {"0100m", NOW + 6000},
      {"@1900000000", 1900000000},
      {"@0", 0},  // long past: due at the next sweep
      {"@4294967295", 4294967295},
      {"4294967295", -1},  // a length that takes the deadline past 2106
      {"2497502655", 4294467295},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    lifetime l;
    char why[LIFETIME_WHY_SIZE] = "";
    ASSERT_TRUE(parse_lifetime(r.text, &l, why)) << why;
    uint32_t d = 0;
    EXPECT_EQ(lifetime_deadline(l, NOW, &d), r.deadline >= 0);
    if (r.deadline >= 0) {
      EXPECT_EQ(d, static_cast<uint32_t>(r.deadline));
    }
  }
}

TEST(Lifetime, RefusedWithTheirReason) {
  const std::string grammar =
      ": give seconds (3600), a sum of w, d, h, m and s (1h30m), or @ and a Unix time";
  struct row {
    const char* text;
    std::string why;
  };
  const std::vector<row> rows = {
      {"", "bad lifetime " + grammar},
      {"1y", "bad lifetime 1y" + grammar},
      {"-5", "bad lifetime -5" + grammar},
      {"+5", "bad lifetime +5" + grammar},
      {" 5", "bad lifetime  5" + grammar},
      {"1.5h", "bad lifetime 1.5h" + grammar},
      {"h", "bad lifetime h" + grammar},
      {"1H", "bad lifetime 1H" + grammar},
      {"1h30", "bad lifetime 1h30" + grammar},  // a bare number only alone
      {"30m1h", "bad lifetime 30m1h" + grammar},  // largest unit first
      {"1h1h", "bad lifetime 1h1h" + grammar},
      {"1h 30m", "bad lifetime 1h 30m" + grammar},
      {"@", "bad lifetime @" + grammar},
      {"@-1", "bad lifetime @-1" + grammar},
      {"@1h", "bad lifetime @1h" + grammar},
      {"@4294967296", "time 4294967296 is past 4294967295, the largest a table value holds"},
      {"4294967296", "lifetime 4294967296 is longer than a table value holds"},
      {"7102w", "lifetime 7102w is longer than a table value holds"},
      {"7101w99999d", "lifetime 7101w99999d is longer than a table value holds"},
      {"99999999999999999999999s", "lifetime 99999999999999999999999s is longer than a table value holds"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    lifetime l;
    char why[LIFETIME_WHY_SIZE] = "";
    EXPECT_FALSE(parse_lifetime(r.text, &l, why));
    EXPECT_EQ(why, r.why);
  }
}

}  // namespace
