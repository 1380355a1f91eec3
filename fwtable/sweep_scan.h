// SPDX-License-Identifier: BSD-2-Clause
// The sweep's pass over the entries of an address table's list reply: each
// entry's length checked, its key and expiry read straight from its bytes
// and the due decision made in place (fwtable/sweep_cycle.h), with no call
// and no copy per entry, until the first due entry. A cycle with nothing
// due thus reads each entry once and does nothing else with it.
//
// It applies where a value's expiry is a number in the record: the legacy
// value (the tag) or a value whose leading field can hold a time
// (value_field_holds_time). Any other value (an address leads, a field too
// narrow for a time does, or no field does) goes the general way, through
// the renderer (fwtable/entry_render.h), which reads the same expiry.
//
// Owns: nothing. Failure: sweep_scan answers false for a reply whose
// entries do not lie within it; it prints nothing.
#pragma once

#include <cstdint>

#include "fwtable/sweep_cycle.h"
#include "fwtable/value_fields.h"

// The length of an entry record in both layouts: the least an entry of a
// listing takes.
constexpr uint32_t ENTRY_RECORD_SIZE = 120;

// Where the expiry of an entry lies: the leading value field, read as a
// number of its width.
struct sweep_reading {
  uint32_t offset;  // from the start of the entry
  uint8_t width;  // 1, 2 or 4 bytes
};

// The reading for a table of value mask vmask in a kernel's layout; false
// when the value's expiry is not a number in the record (an address leads
// the value text, a field that cannot hold a time does, or no field does).
bool sweep_reading_of(uint32_t vmask, const value_record_layout& layout, sweep_reading* r);

// A place in a list reply: the entry's index and its offset from the start
// of the reply.
struct reply_position {
  uint32_t index;
  uint64_t offset;
};

// Reads the entries of an address table's reply (reply_len bytes, count
// entries) from *at on, each at least ENTRY_RECORD_SIZE bytes long by its
// own length and lying within the reply, and asks the sweep's due test of
// each (sweep_count_entry, counted into c's tally), until one is due. *at
// is left at that entry (counted as due), or past the last entry when none
// is. False when an entry's length does not keep it inside the reply (*at
// is then left at that entry; the entries before it are counted).
bool sweep_scan(const uint8_t* reply, uint64_t reply_len, uint32_t count, sweep_reading r, sweep_cycle* c,
                reply_position* at);
