// SPDX-License-Identifier: BSD-2-Clause
// A writer's lifetime text, and the deadline it gives: the Unix time after
// which an entry is no longer wanted, as a table value holds it.
//
//   3600          seconds
//   1h30m, 7d     a sum of whole numbers each with its unit, largest unit
//                 first and each unit once: w (weeks), d (days), h (hours),
//                 m (minutes), s (seconds)
//   @1796964640   an absolute Unix time
//
// Nothing else is taken: no sign, blank, fraction or other unit. A
// relative lifetime counts from the time it is read against. A deadline
// must fit a table value's 32 bits (4294967295, in 2106 at most); one
// already past is taken (the entry is then due at the next sweep).
//
// Owns: nothing.
// Failure: errno-style; parse_lifetime returns false with the reason in
// why, lifetime_deadline false when the deadline would be past 4294967295.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest reason written, its NUL included.
constexpr size_t LIFETIME_WHY_SIZE = 192;

struct lifetime {
  bool absolute = false;  // @TIME
  uint64_t seconds = 0;  // the length, or the absolute time; at most 2^32 - 1
};

// Reads text into *out. why: LIFETIME_WHY_SIZE bytes for the reason.
bool parse_lifetime(const char* text, lifetime* out, char* why);

// The deadline of l read against now (seconds since the epoch): false when
// it would be past the largest time a table value holds.
bool lifetime_deadline(const lifetime& l, int64_t now, uint32_t* deadline);
