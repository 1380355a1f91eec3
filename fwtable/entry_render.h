// Entry rendering: one table entry turned into text, guided by the table's
// info record. The value text follows the table's value mask; the key text
// the table's type. Address entries are handed, as key text and the leading
// number of the value text, to the address-entry handler; entries of
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
// the renderer's, valid for the call; the handler may change it) and the
// leading number of its value text as an unsigned 32-bit number. The result
// is ignored.
using address_entry_fn = int (*)(char* key_text, uint32_t expiry);

constexpr size_t ENTRY_TEXT_SIZE = 128;

// Writes the value text for vmask and v into buf (ENTRY_TEXT_SIZE bytes):
// the legacy mask gives the tag as one number; any other mask its fields in
// bit order, comma-separated. A field that would not fit whole is left out
// with every field after it, so the text stays within its 127 characters
// and ends on a whole field. No field at all gives the empty text.
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

// Tells whether an address entry whose value text leads with this number
// is due. The renderer asks before it writes the entry's key text: an entry
// that is not due is passed over without any text written, which is what
// keeps a sweep of a large table cheap.
using address_due_fn = bool (*)(uint32_t expiry);

// Asked by a listing before each entry; true ends the walk there (a stop
// has been asked for: the rest of the entries wait for the next start).
using listing_stop_fn = bool (*)();

// The leading number of the value text that format_entry_value writes for
// vmask and v, as atoi reads it, modulo 2^32: the tag for the legacy mask,
// the first field's number when that field is numeric, and the leading
// digits of the address text when it is the next hop (0 without a field).
// No text is written unless the first field is an address.
uint32_t value_leading_number(uint32_t vmask, const ipfw_table_value* v);

// Renders one entry. For an address table the key text and expiry go to
// on_address; when is_due is given and answers false for the expiry, the
// entry is passed over before its key text is written (on_address would
// have left it alone). When on_address is null (the failure report of a
// record change) the address entry is printed as "KEY VALUE\n" instead, so
// that rendering can never start a deletion. An address entry whose key a
// deletion could not name (a family without text, a mask length past the
// address's width, or an IPv4-compatible IPv6 address, which key parsing
// refuses) is passed over.
void render_table_entry(const ipfw_xtable_info* info, const ipfw_obj_tentry* entry, address_entry_fn on_address,
                        address_due_fn is_due = nullptr);
