// SPDX-License-Identifier: BSD-2-Clause
// The batch of deletions a sweep cycle gathers: the key texts of due
// entries, added as the walk finds them (each already logged), sent as one
// "delete" command of the table command interpreter with every key of the
// batch ("table", table name, "delete", KEY, KEY, ...) when the batch is
// full and when the walk ends. The interpreter asks for the table's info
// once (to learn how the keys parse) and sends all the keys in one delete
// request: a batch costs two kernel requests, whatever its size.
//
// DUE_BATCH_KEYS is 256. Two requests a batch make under 0.01 request per
// deleted entry, where the kernel's own work per entry takes over from the
// cost of a request; the request is 112 + 256 * 120 = 30832 bytes in both
// record layouts, well inside what a socket option carries; and an entry
// is deleted at most 255 log lines after its own, which a larger batch
// would stretch without saving anything worth having.
//
// Owns: the key texts and the command vector, in storage kept for the
// life of the process (no heap).
// Failure: as the interpreter's "delete": keys already gone (the kernel's
// ENOENT) are passed over, the rest deleted; any other failure ends the
// process with the interpreter's report of the batch's records (71). A
// request the cycle guard abandons unwinds through due_batch_send
// (cycle_abandoned, daemon/cycle_guard.h); the batch is emptied before its
// command runs, so nothing of it is left for the next cycle.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t DUE_BATCH_KEYS = 256;

// Adds a copy of key_text (a key text as the listing renders it, shorter
// than ENTRY_TEXT_SIZE) to the batch, and sends the batch (due_batch_send)
// when that fills it. Returns the number of entries that send deleted, 0
// when none was sent.
uint64_t due_batch_add(const char* key_text);

// The number of keys waiting.
size_t due_batch_size();

// Sends the keys waiting, if any, as one delete command of the process's
// table (process_state.h's table_name) and empties the batch. Returns the
// number of entries the kernel says it deleted (their result byte), which
// keys already gone are not among.
uint64_t due_batch_send();

// Empties the batch without sending it.
void due_batch_clear();
