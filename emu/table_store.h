// SPDX-License-Identifier: BSD-2-Clause
// The emulator's table store: tables held in memory that answer the IPFW
// table requests (info 93, list 89, delete 87, add 86, find 106) in the
// kernel's byte layouts and with its error behaviour, plus the
// administrative commands of the fwemu tool and fault injection for tests.
// Used by the fwemu server and, in-process, by unit tests (as the
// platform's control channel).
//
// A store emulates one kernel for its life, FreeBSD 14 or 15: it reads and
// writes that kernel's record layout and takes each request only at the
// versions that kernel has (15: every request at 1; 14: info and find at
// 0, list, delete and add at 1). A request of another version is EINVAL, as
// the kernel answers a request it has no handler for.
//
// It emulates a system with table sets disabled (the default,
// net.inet.ip.fw.tables_sets=0): a request's set number takes no part in
// finding the table, and a table's info reports set 0. Info and list find
// the table by the name alone (a name record they cannot read finds
// nothing: ESRCH); add, delete and find must give the table's own type in
// their name record, and their entries its index. A change request applies
// every entry it can and answers the first failure (only an atomic add
// undoes what it applied); an added entry flagged update-if-present
// replaces the value of a key that is there. A find answers the entry
// found, an address table's longest prefix holding the address. A new
// table gets the lowest free kernel index.
//
// Owns: every table and entry, and the pending faults.
// Failure: emu_store_get has getsockopt's contract (0, or -1 with errno,
// the length left as passed);
// emu_store_admin returns an exit status (emu/admin_status.h) with a
// message in its text.
// Malformed requests are refused as the kernel refuses them (EINVAL,
// ENOTSUP, or ESRCH where it finds no table by them); nothing a client
// sends crashes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fwtable/fw_records.h"

struct emu_store;

// A store emulating FreeBSD abi's kernel: 14 or 15 (anything else is taken
// as 15); by default the one this build's records are for.
emu_store* emu_store_new(int abi = FW_ABI);
void emu_store_free(emu_store* store);

// One get request: the opcode in the op header at the start of buf, the
// request in buf[0..*len), the reply written over it (never past *len).
// On success *len is set to the length of the reply; a failed request, like
// a failed getsockopt, leaves *len as it was passed, though it may have
// written part of a reply (a list buffer too small for the listing holds
// the table's info record).
int emu_store_get(emu_store* store, void* buf, uint32_t* len);

// The platform's control request (platform_fwctl_fn); ctx is the emu_store.
int emu_store_fwctl_handler(void* ctx, void* buf, uint32_t* len);

// One administrative command, as the words of the fwemu tool after the
// program name ("create", "t5", "type", "addr"). Returns the exit status
// (0 on success) and the text to print in *out.
int emu_store_admin(emu_store* store, const std::vector<std::string>& words, std::string* out);

// Makes the table `name` anew: destroys it if it is there, then creates it
// with the settings and entries of words, as the fault recreate-after-list
// takes them ([type T] [valtype V] [limit N] [set N] [add KEY VALUE]...).
// Returns the exit status of the first administrative command that fails
// (its message in *out), or 0.
int emu_store_remake_table(emu_store* store, const std::string& name, const std::vector<std::string>& words,
                           std::string* out);
