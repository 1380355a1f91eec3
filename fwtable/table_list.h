// SPDX-License-Identifier: BSD-2-Clause
// The "list" command for one named table: the table's info record, then all
// its entries, each handed to the renderer (or to a caller's function).
//
// Owns: the list buffer, kept from one listing to the next: allocated at the
// first listing, replaced by a larger one when a listing needs more, freed
// on a failed listing, and freed when a listing ends with it larger than
// the last reply had in it needed by more than an eighth and 1 MiB (a table
// grown much smaller, or an ENOMEM answer that claimed far more than the
// table holds, leaves no large buffer behind). Between listings the
// pages of a large reply (2 MiB and more) are given back to the system
// (madvise MADV_FREE where there is one) without being unmapped, and a large
// buffer asks for large pages. The buffer serves one listing at a time: a listing
// started while another one's walk is still reading it (from inside the
// walk, as a nested command) gets a buffer of its own, freed before it
// returns.
// Failure: a failure the table layer sees ends the process with status 71
// (fatal_err / fatal_errx). A request the program's fwctl_get abandons (it
// may throw: fwtable/platform.h; the daemon does for a stop, and for a
// missing table with -w) unwinds through the listing instead, freeing a
// listing's own buffer and leaving the kept one ready for the next listing.
// So does a throw from the program's outgrown or no_memory call (see
// listing_handler): the daemon drops the cycle there rather than end.
#pragma once

#include <cstdint>

#include "fwtable/entry_render.h"
#include "fwtable/fw_records.h"
#include "fwtable/sweep_cycle.h"

// The info request alone, errno-style: 0 with *info filled, or -1 with
// errno set (EBADMSG for a reply shorter than 296 bytes); prints nothing.
// The control socket must be open or openable (see fwctl_open).
int request_table_info(const ipfw_obj_header* oh, ipfw_xtable_info* info);

// Asks the kernel for the info record of the table that oh names
// (IP_FW_TABLE_XINFO) and stores it in *info. Ends the process with
// "failed to request table info" (71) when the request fails (with its
// errno) or its reply is shorter than 296 bytes (EBADMSG).
void fetch_table_info(const ipfw_obj_header* oh, ipfw_xtable_info* info);

// Receives one entry of a listing: the info record of the reply and the
// entry. The entry is read where it lies in the reply; one that the kernel
// placed off the record's alignment is handed over as an aligned copy.
// Either is valid for the call only.
using table_entry_fn = void (*)(const ipfw_xtable_info* reply_info, const ipfw_obj_tentry* entry, void* ctx);

// Called right before a list request goes out (before each attempt, a
// retry after ENOMEM included).
using list_request_fn = void (*)();

// Called when the last attempt of a listing has been answered ENOMEM: the
// table grew faster than it could be listed. The program may throw from it
// to abandon the command in progress (the daemon drops the cycle and lists
// the table again at the next); when it returns, the listing fails as
// without it.
using list_outgrown_fn = void (*)();

// Called when the list buffer cannot be had at the last attempt of a
// listing (the system refused the memory): as with list_outgrown_fn, the
// program may throw from it to abandon the command in progress; when it
// returns, the listing fails as without it.
using list_no_memory_fn = void (*)();

// Called once a listing's walk is over.
using walk_end_fn = void (*)();

// What a listing does with each address entry: the program's own callback
// into the walk, not a service of the system, so it is passed to the one
// command that uses it rather than kept in a process-wide setting. The
// daemon passes its expiry decision, its sweep_cycle (the cycle's time and
// tally, fwtable/sweep_cycle.h), its stop question, and the reading of its
// clock for the cycle (before_list, so that every due test of the walk
// compares with a time taken before the listing was); a command run from
// inside the walk (the deletion) gets none, so it can never start another
// walk's handler. Without on_address, the listing prints each address
// entry as "KEY VALUE".
//
// The due test, given with on_address, lets the listing pass over address
// entries that are not due before any text is written for them; it is
// asked exactly once of each address entry. It is the sweep's own when
// cycle is given (sweep_count_entry: due once the cycle's time is past the
// expiry, counted into the cycle's tally): the listing then makes the
// decision itself, and over a reply with nothing due reads each entry once
// with no call per entry (fwtable/sweep_scan.h). Else it is is_due, when
// given, called for each entry. stop, when given, is asked before each
// entry is rendered: once it answers true no further entry is (the entry
// in hand has been dealt with whole). outgrown, when given, is called
// before a listing whose every attempt was answered ENOMEM fails, and
// no_memory before one whose buffer the system refused at every attempt.
// after_walk, when given, is called once the walk has handed over its last
// entry (a walk that stop cut short included), after the list buffer is
// let go: the daemon sends there the deletions it gathered during the walk.
struct listing_handler {
  address_entry_fn on_address = nullptr;
  address_due_fn is_due = nullptr;  // not asked when cycle is given
  listing_stop_fn stop = nullptr;
  list_request_fn before_list = nullptr;
  walk_end_fn after_walk = nullptr;
  sweep_cycle* cycle = nullptr;
  list_outgrown_fn outgrown = nullptr;
  list_no_memory_fn no_memory = nullptr;
};

// Lists the entries of the table that oh names (the object header the
// command built for it) and info describes (IP_FW_TABLE_XLIST), sizing the
// request from info's listing size plus 44 and retrying on ENOMEM (at most
// 8 attempts) with the listing size of the info record the kernel wrote
// into the failed reply, plus slack that grows with the table and with each
// retry (the length of a failed request is never a size; each listing size
// is believed only as far as listing_size_claimed allows), checks the bounds of the
// whole reply, then hands every entry to fn in the kernel's order. The
// request names the table as info does. Ends the process with "Error
// requesting table %s list" (71), the table named as oh names it, on
// failure: a refused request with its errno, a buffer that cannot be had
// with ENOMEM, a reply whose length, item count or entry lengths do not keep
// every entry (at least 120 bytes each) inside it with EBADMSG, before fn
// sees any entry. fn may run table commands, listings included.
void for_each_table_entry(const ipfw_obj_header* oh, const ipfw_xtable_info* info, table_entry_fn fn,
                          void* ctx);

// The listing size an info record states (an info reply's, or the one an
// ENOMEM answer leaves in the reply), believed no further than the
// record's own item count allows: the header, the info record and count
// entry records of 120 bytes, which is what the kernel states for count
// entries. A larger claim is a kernel's mistake (or a lie), and no memory
// is reserved for it; the listing's retries find the size if the table
// really needs more.
uint64_t listing_size_claimed(uint32_t size, uint32_t count);

// The size of the list buffer kept for the next listing, 0 when none is:
// what the table layer holds between listings.
uint64_t kept_list_buffer_size();

// for_each_table_entry with every entry rendered with the reply's info
// record, as the handler says (see listing_handler).
void list_table_entries(const ipfw_obj_header* oh, const ipfw_xtable_info* info,
                        const listing_handler& handler);
