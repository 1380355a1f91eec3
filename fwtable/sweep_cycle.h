// SPDX-License-Identifier: BSD-2-Clause
// The sweep's due decision, as the program above the table layer hands it
// to a listing: the cycle's time and the tally the decision keeps. An
// address entry is due when the sweep can remove it and the cycle's time is
// strictly past its expiry; every entry asked about is counted.
//
// The daemon keeps one sweep_cycle, sets its time once per cycle (right
// before the list request) and passes it to the listing in its handler
// (listing_handler.cycle, fwtable/table_list.h); the listing then makes the
// decision itself, with no call per entry, and over a reply with nothing
// due reads each entry once (fwtable/sweep_scan.h).
//
// Owns: nothing; the caller owns the sweep_cycle.
// Failure: none.
#pragma once

#include <cstdint>

// What the sweep has seen: address entries asked about in the current
// cycle, the ones among them it passes over whatever their time (no key a
// deletion could name, or a value that is not a time), the due ones among
// the rest, the earliest expiry still ahead among the rest, and the entries
// removed since the start (the program counts these).
struct sweep_tally {
  uint64_t entries = 0;
  uint64_t unremovable = 0;
  uint64_t due = 0;
  bool has_next = false;
  uint32_t next_expiry = 0;
  uint64_t removed = 0;
};

struct sweep_cycle {
  // The cycle's time, in seconds since the epoch. Before it is first set no
  // expiry (the least being 0) is past it.
  int64_t now = INT64_MIN;
  sweep_tally tally;
};

// Whether the cycle's time is past expiry. The expiry is widened without
// sign extension: 4294967295 is a time far ahead, not -1.
inline bool sweep_past(const sweep_cycle* c, uint32_t expiry) {
  return c->now > static_cast<int64_t>(expiry);
}

// The due test of one address entry, counted into the tally: true when the
// entry is removable and the cycle's time is past expiry. removable is
// false for an entry the sweep passes over whatever the clock says (expiry
// is then not looked at).
inline bool sweep_count_entry(sweep_cycle* c, uint32_t expiry, bool removable) {
  sweep_tally& t = c->tally;
  t.entries++;
  if (!removable) {
    t.unremovable++;
    return false;
  }
  const bool due = sweep_past(c, expiry);
  if (due) {
    t.due++;
  } else if (!t.has_next || expiry < t.next_expiry) {
    t.has_next = true;
    t.next_expiry = expiry;
  }
  return due;
}
