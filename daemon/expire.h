// SPDX-License-Identifier: BSD-2-Clause
// The expiry decision for one address entry: the entry's value is the Unix
// time after which it is no longer wanted. When that time has passed, the
// removal is logged ("Removing host %s from table %s", LOG_INFO, with the
// table's name or number as -t gave it) and the entry's key text joins the
// cycle's batch of deletions (daemon/due_batch.h), which goes to the table
// command interpreter as one command "table", table name, "delete", key
// text, key text, ... when it is full and when the walk ends
// (send_due_batch, the sweep listing handler's after_walk). An entry's
// line has thus always reached syslogd before its deletion is sent, at
// most one batch before it (the log sender waits while syslogd is behind:
// fwtable/log_sender.h); a line that a stop kept from syslogd is not
// followed by its deletion.
//
// A cycle reads the clock once, right before its list request is sent
// (read_cycle_clock, the listing's before_list), and every due test of the
// cycle compares with that time: an entry is removed only when its time
// had passed before the listing was taken, so an entry renewed before its
// time passed shows its new time in the listing and is never undone.
// Entries that fall due while the cycle walks its listing wait for the next
// cycle.
//
// The clock, the log line and standard output are the platform's
// (fwtable/platform.h). The deletion is not a service of the system but
// this program's own road: it always runs through run_table_command, and a
// test sees it where it leaves the program, as the delete request that
// reaches the platform's control channel (a fake kernel).
//
// Owns: the sweep's cycle: the cycle's time and the sweep tally, whose
// removals count the entries the kernel says each batch deleted (an entry
// someone else deleted first is not counted).
// Failure: reports nothing; a failed deletion is dealt with (and may end the
// process) inside the interpreter. A deletion the cycle guard abandons (a
// stop, the table gone with -w, or the table made again:
// daemon/cycle_guard.h) throws cycle_abandoned through the decision to the
// sweep loop.
#pragma once

#include <cstdint>

#include "fwtable/sweep_cycle.h"
#include "fwtable/table_list.h"

// Reads the clock into the cycle's time, which every due test below uses
// until the next read. Until the first read nothing is due.
void read_cycle_clock();

// Key text (copied into the batch) and expiry in seconds since the epoch.
// Due when the cycle's time is strictly past the expiry: logged, and added
// to the batch, which is sent when that fills it. Returns 0.
int expire_if_due(char* key_text, uint32_t expiry);

// Sends the deletions waiting in the batch, if any.
void send_due_batch();

// The same test alone, as a due test of the listing's (address_due_fn):
// true when the entry is removable and the cycle's time is strictly past
// expiry; it counts the entry into the sweep tally. The daemon's own
// listing makes this decision itself (sweep_listing_handler).
bool expiry_is_due(uint32_t expiry, bool removable);

// Whether a removal is in hand: expire_if_due between a removal's log line
// and its key's place in the batch (or the batch's deletion, when that key
// fills it), or a batch's deletion under way. Nothing else of the daemon's
// (a line of state) is written meanwhile, so a line of state never counts
// a batch half answered.
bool removal_in_hand();

// The dry run's handler in place of expire_if_due: a due entry is written
// to standard output as "would remove host %s from table %s"; nothing is
// logged or deleted.
int report_if_due(char* key_text, uint32_t expiry);

// The sweep's tally (fwtable/sweep_cycle.h): address entries asked about
// in the current cycle, the ones it passes over whatever their time, the
// due ones, the earliest expiry still ahead, and the entries removed since
// the start.
// Clears the counts of a cycle (not the removals since the start) and
// the batch of deletions.
void sweep_tally_start_cycle();
const sweep_tally* sweep_tally_now();

// The listing handler of a sweep cycle: on_address for each due entry
// (expire_if_due, or report_if_due for a dry run), the daemon's cycle
// (its time and tally, so that the listing makes the due decision itself),
// the clock read right before the list request, stop asked before each
// entry is dealt with (may be null), and the batch sent when the walk
// ends (a walk a stop cut short too: every entry logged is deleted).
listing_handler sweep_listing_handler(address_entry_fn on_address, listing_stop_fn stop);
