// The "list" command for one named table: the table's info record, then all
// its entries, each handed to the renderer.
//
// Owns: the list buffer, for the duration of one call (freed before it
// returns or before the process ends); nothing between calls.
// Failure: every failure ends the process with status 71 (fatal_err /
// fatal_errx).
#pragma once

#include "fwtable/entry_render.h"
#include "fwtable/fw_records.h"

// The info request alone, errno-style: 0 with *info filled, or -1 with
// errno set (EBADMSG for a reply shorter than 296 bytes); prints nothing.
// The control socket must be open or openable (see fwctl_open).
int request_table_info(const ipfw_obj_header* oh, ipfw_xtable_info* info);

// Asks the kernel for the info record of the table that oh names
// (IP_FW_TABLE_XINFO) and stores it in *info. Ends the process with
// "failed to request table info" (71) when the request fails (with its
// errno) or its reply is shorter than 296 bytes (EBADMSG).
void fetch_table_info(const ipfw_obj_header* oh, ipfw_xtable_info* info);

// Lists the entries of the table that info describes (IP_FW_TABLE_XLIST),
// sizing the buffer from info's listing size and retrying on ENOMEM (at most
// 8 attempts), checks the whole reply, then renders every entry with the
// reply's info record, passing on_address to the renderer. Ends the process
// with "Error requesting table %s list" (71) on failure: a refused request
// with its errno, a reply whose length, item count or entry lengths do not
// keep every entry (at least 120 bytes each) inside it with EBADMSG, before
// any entry is rendered. is_due, when given, lets the renderer pass over
// address entries that are not due before it writes any text for them.
// stop, when given, is asked before each entry: once it answers true the
// walk ends there (the entry in hand has been dealt with whole).
void list_table_entries(const ipfw_xtable_info* info, address_entry_fn on_address, address_due_fn is_due = nullptr,
                        listing_stop_fn stop = nullptr);
