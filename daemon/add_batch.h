// SPDX-License-Identifier: BSD-2-Clause
// The writer's batch: up to ENTRY_WRITE_MAX address keys, each with its
// deadline, added to the process's table or renewed in place, in one add
// request flagged update-if-present (fwtable/entry_write.h), with the
// deadline in the field the sweep reads as the entry's time.
//
// Each batch first asks for the table's info, so that a batch always knows
// the table it writes to: an address table whose values begin with a field
// that holds a time (the tag for the legacy value type, else the first of
// its value fields in ipfw(8)'s order, a number kept in 32 bits). An absent
// key is added with the other fields of its value zero. A present key keeps
// its other fields: when the table's values have fields besides the time,
// the present entries' values are looked up first, key by key with the find
// request for a batch of up to ADD_FIND_KEYS_MAX keys, else in one listing
// of the table, and written back with the time alone replaced. A table
// whose values hold the time alone needs no lookup: a batch is then an info
// and an add request. Between the lookup and the add another writer's
// change to a present entry's other fields is overwritten.
//
// Every key the kernel added is logged at LOG_INFO as "Adding host KEY to
// table TABLE until DATE", every key it renewed as "Renewing host KEY in
// table TABLE until DATE" (DATE the local "%Y-%m-%d %H:%M:%S %Z" of the
// deadline, KEY as the sweep names the entry), after the kernel's answer
// and through the platform's log. A dry run logs nothing, sends no add
// and writes "would add host KEY to table TABLE until DATE" or "would
// renew host KEY in table TABLE until DATE" to standard output instead.
//
// Owns: nothing between batches; a lookup's listing uses the table layer's
// list buffer (fwtable/table_list.h).
// Failure: a key the kernel did not take (the table full, or any result but
// added or updated) is reported on standard error ("table T is full: KEY
// was not added", "KEY was not added: the kernel answered WORD") and
// counted; the rest of the batch stands. What refuses the table ends the
// process: 65 for a table that is not an address table ("table T is not an
// address table") or whose values cannot hold a time ("table T: its values
// begin with F, which cannot hold a time; its entries are never removed",
// the daemon's own warning); 71 for a failed info or list request, and for
// an add the kernel refused as a whole ("cannot add to table T: table is
// locked", "...: table not found", or the error's text), after the keys
// the kernel reports written are logged.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fwtable/entry_write.h"
#include "fwtable/fw_records.h"

// A batch this small looks its keys up one by one; a larger one lists the
// table once.
constexpr size_t ADD_FIND_KEYS_MAX = 16;

struct add_batch {
  ipfw_obj_tentry entries[ENTRY_WRITE_MAX];  // keys as parse_address_key set them
  uint32_t deadlines[ENTRY_WRITE_MAX];
  size_t n = 0;
};

// What the batches of a run did.
struct add_tally {
  uint64_t added = 0;
  uint64_t renewed = 0;
  uint64_t refused = 0;  // keys the kernel did not take
};

// Asks for the info of table (a name, or a number's digits) and refuses it
// as above when it cannot take a writer's keys. Returns only for a table
// that can.
void check_add_table(const char* table);

// Sends the batch's keys to table and empties the batch; dry_run: shows
// what it would do instead. Counts into *tally.
void send_add_batch(const char* table, add_batch* batch, bool dry_run, add_tally* tally);
