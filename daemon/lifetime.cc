// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/lifetime.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t TIME_MAX = UINT32_MAX;

// The units, largest first, with their lengths in seconds.
struct unit {
  char letter;
  uint64_t seconds;
};
constexpr unit UNITS[] = {{'w', 604800}, {'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};

// Reads the digits at *p into *n, moving *p past them. False when there are
// none, or when the number is past TIME_MAX (however many digits follow).
bool read_number(const char** p, uint64_t* n) {
  const char* s = *p;
  if (*s < '0' || *s > '9') return false;
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    v = v * 10 + static_cast<uint64_t>(*s - '0');
    if (v > TIME_MAX) return false;
  }
  *p = s;
  *n = v;
  return true;
}

bool refuse(char* why, const char* text) {
  snprintf(
      why, LIFETIME_WHY_SIZE,
      "bad lifetime %.40s%s: give seconds (3600), a sum of w, d, h, m and s (1h30m), or @ and a Unix time",
      text, strlen(text) > 40 ? "..." : "");
  return false;
}

}  // namespace

bool parse_lifetime(const char* text, lifetime* out, char* why) {
  const char* p = text;
  uint64_t n;
  if (*p == '@') {
    p++;
    if (!read_number(&p, &n) || *p != '\0') {
      if (*p >= '0' && *p <= '9') {
        snprintf(why, LIFETIME_WHY_SIZE, "time %.40s is past 4294967295, the largest a table value holds",
                 text + 1);
        return false;
      }
      return refuse(why, text);
    }
    *out = {true, n};
    return true;
  }

  uint64_t total = 0;
  size_t next_unit = 0;  // units before this one have been used or passed
  bool any = false;
  while (*p != '\0') {
    const char* at = p;
    if (!read_number(&p, &n)) {
      if (*at >= '0' && *at <= '9') {
        snprintf(why, LIFETIME_WHY_SIZE, "lifetime %.40s is longer than a table value holds", text);
        return false;
      }
      return refuse(why, text);
    }
    uint64_t length = n;
    if (*p == '\0') {
      // A bare number is seconds, and only as the whole text.
      if (any) return refuse(why, text);
    } else {
      size_t u = next_unit;
      while (u < sizeof UNITS / sizeof UNITS[0] && UNITS[u].letter != *p) u++;
      if (u == sizeof UNITS / sizeof UNITS[0]) return refuse(why, text);
      length = n * UNITS[u].seconds;
      next_unit = u + 1;
      p++;
    }
    any = true;
    total += length;
    if (total > TIME_MAX) {
      snprintf(why, LIFETIME_WHY_SIZE, "lifetime %.40s is longer than a table value holds", text);
      return false;
    }
  }
  if (!any) return refuse(why, text);
  *out = {false, total};
  return true;
}

bool lifetime_deadline(const lifetime& l, int64_t now, uint32_t* deadline) {
  const int64_t t = l.absolute ? static_cast<int64_t>(l.seconds) : now + static_cast<int64_t>(l.seconds);
  if (t < 0 || static_cast<uint64_t>(t) > TIME_MAX) return false;
  *deadline = static_cast<uint32_t>(t);
  return true;
}
