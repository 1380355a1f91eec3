// SPDX-License-Identifier: BSD-2-Clause
// Record deletion (and its twin, addition): every key of a command becomes
// one table entry record, all records go to the kernel in one request, and
// either the call returns quietly (saying whether the kernel changed
// anything) or it reports each record and ends the process.
//
// Owns: the info cache of one call; a one-key command uses no heap. The
// record array and the request buffer of a command of more keys are kept
// from one command to the next (grown when one needs more, never freed
// while the process runs), so that the daemon's batches of deletions
// allocate nothing after the first.
// Failure: "address required" (64); "Unable to allocate memory for all
// entries" (71); key texts that do not parse end the process as the key
// parser says; a failed request other than a delete's ENOENT (or an add's
// EEXIST) prints the failure report and ends with "%s: %s" (71). The report
// renders each record with no address handler (an address record is
// printed, never handed to the expiry decision, so a failed deletion can
// not start another) and is flushed before the final message; both go to
// the platform's standard output (fwtable/platform.h). A request the
// program's fwctl_get abandons (it may throw: fwtable/platform.h) unwinds
// through the change instead, its request memory freed, nothing printed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fwtable/fw_records.h"

// oh: the command's object header, filled by the interpreter. add: non-zero
// for add (opcode 86), zero for delete (87). atomic: non-zero only under
// the atomic command. keys: the argc texts after the command word; they end
// at the first null one. On the add road a key may be followed by a value,
// which this program cannot interpret: it is refused (64) rather than sent
// as an entry without it. Returns 0 when the request succeeded, or the
// error the kernel answered that the call passes over: ENOENT for a delete
// whose entry was not there, EEXIST for an add whose entry already was.
// The kernel tries every record of a request that is not atomic and
// answers the first record's failure (ENOENT when a deleted key was
// missing), with each record's result byte set: when deleted is not null,
// it receives the number of records whose result byte says deleted (3),
// whenever the call returns.
int change_table_records(ipfw_obj_header* oh, int add, int atomic, int argc, char** keys,
                         size_t* deleted = nullptr);

// The word of a change's per-entry result byte: "ignored", "added",
// "updated", "deleted", "limit", "notfound", "exists", "error", or
// "unknown" for a byte the kernel does not name.
const char* record_result_word(uint8_t result);

// The text of a failed change request's error number, in the words of the
// failure report ("table is locked", "table not found", "limit hit", ...;
// strerror(3) for the others).
const char* change_error_text(int error);
