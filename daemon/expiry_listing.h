// SPDX-License-Identifier: BSD-2-Clause
// hostreapd -l: what is in the table and when each entry goes. The table is
// listed once, with the same info and list requests as a sweep cycle;
// nothing is deleted and nothing is logged. Standard output gets one line
// per address entry, earliest expiry first (entries with the same expiry in
// listing order):
//
//   KEY EXPIRY LEFT DATE
//
// KEY is the key text exactly as the sweep names the entry in its log line,
// EXPIRY the value's time in seconds since the epoch, LEFT the seconds until
// the entry is due (0 or negative: due now, removed by the next cycle), DATE
// the expiry as local date and time. An entry the sweep passes over (it has
// no key text a deletion could name, or its value is not a time) shows its
// address as far as it has a text ("-" when none), "-" for each of EXPIRY,
// LEFT and DATE when its value is not a time (such entries come last, in
// listing order), and ends with "(never removed)". A summary line follows:
//
//   N entries, D due now, next due in S s at DATE
//
// where DATE is when the next entry becomes due, the second after its
// expiry ("none ahead" when nothing is waiting; ", P never removed" when
// some are passed over).
//
// Owns: an index of the listed entries (expiry, listing position, and the
// key text in one shared block of text), for the call.
// Failure: as a cycle's (status 69 for the control socket, 71 for a failed
// request, through fatal_err); 71 too when the index cannot be held
// ("cannot hold the listing of table T"); a listing that cannot be written
// returns 74 after the warning "cannot write the listing"; a table that is
// not an address table ends with status 64 and "table T is not an address
// table" (T: the table's name or number).
#pragma once

// Lists the table named by table (a name, or a number's digits) and returns
// the exit status (0, or 74 when the listing could not be written).
int print_expiry_listing(const char* table);
