// SPDX-License-Identifier: BSD-2-Clause
// Entry rendering: one table entry turned into text, guided by the table's
// info record. The value text follows the table's value mask; the key text
// the table's type. Address entries whose value text is a time are handed,
// as key text and that time, to the address-entry handler; entries of
// interface, number, flow and MAC tables print one line on the platform's
// standard output (fwtable/platform.h); other table types produce nothing.
//
// Owns: nothing; every buffer is local to the call (no heap, no kernel
// request), so calls may nest.
// Failure: none; nothing here ends the process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fwtable/fw_records.h"

// Receives an address entry: its key text (a writable 128-byte buffer of
// the renderer's, valid for the call; the handler may change it) and its
// expiry, the number of its value text's first field as an unsigned 32-bit
// number (see value_text_expiry). The result is ignored.
using address_entry_fn = int (*)(char* key_text, uint32_t expiry);

constexpr size_t ENTRY_TEXT_SIZE = 128;

// Writes the value text for vmask and v into buf (ENTRY_TEXT_SIZE bytes):
// the legacy mask gives the tag as one number; any other mask its fields in
// bit order (skipto, pipe, fib, nat, dscp, tag, divert, netgraph, limit,
// ipv4, ipv6, mark), comma-separated; higher bits name no field. A field
// that would not fit whole is left out with every field after it, so the
// text stays within its 127 characters and ends on a whole field. No field
// at all gives the empty text.
// Either kernel's value record is read (the emulator lists both); this
// build's own is ipfw_table_value.
void format_entry_value(uint32_t vmask, const fw15::ipfw_table_value* v, char* buf);
void format_entry_value(uint32_t vmask, const fw14::ipfw_table_value* v, char* buf);

// Writes the key text of an address entry into buf (ENTRY_TEXT_SIZE bytes):
// the address, with "/N" after it when the mask length is below 32 for
// IPv4, and below 128 for IPv6. A key that no text names gives the empty
// text: a family other than IPv4 and IPv6, or a mask length above 32 for
// IPv4 or above 128 for IPv6.
void format_address_key(const ipfw_obj_tentry* entry, char* buf);

// The key text of an address entry as the sweep names it, into buf
// (ENTRY_TEXT_SIZE bytes). False when the sweep passes the entry over: a
// family without text, a mask length past the address's width, or an
// IPv4-compatible IPv6 address, which key parsing refuses (buf then holds
// format_address_key's text, possibly empty).
bool format_sweep_key(const ipfw_obj_tentry* entry, char* buf);

// Whether the sweep could name the entry's key to a deletion: what
// format_sweep_key answers, without writing the text.
bool sweep_key_nameable(const ipfw_obj_tentry* entry);

// Tells whether an address entry is due. removable is false for an entry
// the sweep passes over whatever the clock says (no key a deletion could
// name, or a value that is not a time; expiry is then 0): the test must
// answer false for it, and may count it. The renderer asks before it writes
// the entry's key text: an entry that is not due is passed over without any
// text written, which is what keeps a sweep of a large table cheap.
using address_due_fn = bool (*)(uint32_t expiry, bool removable);

// Asked by a listing before each entry; true ends the walk there (a stop
// has been asked for: the rest of the entries wait for the next start).
using listing_stop_fn = bool (*)();

// Whether a value text is a time: true when its first field (up to the
// first comma, or the whole text) is a decimal number, digits with at most
// a leading minus sign, and then *expiry is that number as atoi reads it,
// modulo 2^32 ("-1" gives 4294967295). False for anything else: the empty
// text, an address ("192.0.2.2"), "12abc", "+5", " 5"; *expiry is then
// left alone.
bool value_text_expiry(const char* text, uint32_t* expiry);

// value_text_expiry of the value text that format_entry_value writes for
// vmask and v, read straight from the record: the tag for the legacy mask,
// the first field's number when that field is numeric; false when an
// address leads or no field is written. No text is written unless the
// first field is the IPv6 next hop. Unlike the text, a number in a field
// that cannot hold a time (value_field_holds_time, fwtable/value_fields.h:
// pipe, divert, fib, nat, dscp, and FreeBSD 14's skipto) is no time: false.
bool value_expiry(uint32_t vmask, const ipfw_table_value* v, uint32_t* expiry);

// What the sweep makes of an address entry, without any text written: true
// with *expiry when it can remove the entry at all (its value is a time
// and its key can be named to a deletion); false when it passes the entry
// over whatever the clock says (*expiry is then 0).
bool sweep_expiry(uint32_t vmask, const ipfw_obj_tentry* entry, uint32_t* expiry);

// Renders one entry. For an address table the key text and expiry go to
// on_address; when is_due is given it is asked of every address entry, and
// when it answers false the entry is passed over before its key text is
// written (on_address would have left it alone). When on_address is null
// (the failure report of a record change) the address entry is printed as
// "KEY VALUE\n" instead, so that rendering can never start a deletion. An
// address entry the sweep cannot remove (see sweep_expiry: a key a
// deletion could not name, such as a family without text, a mask length
// past the address's width or an IPv4-compatible IPv6 address, which key
// parsing refuses; or a value that is not a time) is passed over.
void render_table_entry(const ipfw_xtable_info* info, const ipfw_obj_tentry* entry,
                        address_entry_fn on_address, address_due_fn is_due = nullptr);
