// SPDX-License-Identifier: BSD-2-Clause
// The two requests of a writer of entries: one that finds an entry
// (IP_FW_TABLE_XFIND) and one that adds entries or, where their key is
// present, replaces their value in place (IP_FW_TABLE_XADD with the
// update-if-present flag on every entry). An entry is never deleted to be
// written again, so a key being renewed is in the table throughout.
//
// Owns: nothing; the request buffers live in the call (the add's, for up to
// ENTRY_WRITE_MAX entries, 30,832 bytes).
// Failure: errno-style: 0, or the error number of the failed request;
// nothing is printed and nothing ends the process. A request the
// program's fwctl_get abandons (it may throw: fwtable/platform.h) unwinds
// through these calls.
#pragma once

#include <cstddef>

#include "fwtable/fw_records.h"

// The most entries one add request carries.
constexpr size_t ENTRY_WRITE_MAX = 256;

// Asks for the entry the kernel finds for entry's key in the table oh names
// (oh's name record must give the table's type). 0 with the found entry's
// key family, mask length, key and value written over *entry's (an address
// table answers the longest prefix that holds the key's address, which
// need not be the key asked about: the caller compares); ENOENT when no
// entry is found; EBADMSG when a reply claims success but is not the
// 216-byte entry; else the request's errno (ESRCH: no such table).
int find_table_entry(const ipfw_obj_header* oh, ipfw_obj_tentry* entry);

// Sends entries[0..n) (1 to ENTRY_WRITE_MAX, each with its key and value)
// in one add request to the table oh names (its name record must give the
// table's type), each flagged update-if-present, with TLV length 120 and
// the header's object index. Each entry's result byte is set from the
// reply, whatever the request's answer: added (1), updated (2), limit (4:
// the table was full), ... Returns 0, or the error of the first entry that
// failed (EFBIG for a full table; the entries that could be written are
// written), or the error of the request as a whole (EACCES for a locked
// table, ESRCH for a missing one), after which no result byte is to be
// trusted but what the kernel wrote.
int write_table_entries(const ipfw_obj_header* oh, ipfw_obj_tentry* entries, size_t n);
