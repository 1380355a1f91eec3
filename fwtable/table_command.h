// SPDX-License-Identifier: BSD-2-Clause
// The table command interpreter: the one entry through which all work on a
// firewall table is done. A command vector "table", NAME, WORD, ARGS... is
// checked (name first, then the command word, then whether the command
// needs a named table) and handed to its handler: "list" to the listing,
// "delete" to the record change. The table administration commands keep
// their keywords (they decide which abbreviations are unique) but are not
// built; reaching one ends the process with status 64.
//
// Owns: nothing between calls; every command keeps its state in the call,
// so the interpreter may be re-entered (a delete runs inside a list).
// Failure: usage errors end the process with status 64 (fatal_errx); the
// handlers end it on their own failures.
#pragma once

#include <cstddef>

#include "fwtable/table_list.h"

// Runs one command. argv holds exactly argc entries, no terminating null
// is needed; a null entry or one at or past argc is missing. handler is
// used by "list" only (listing_handler, fwtable/table_list.h). Returns 0,
// or for "delete" ENOENT when the kernel found no such entry to delete
// (passed over: the entry is gone either way; the other keys of the
// command were deleted all the same). deleted is used by "delete" only:
// when not null, it receives the number of keys the kernel says it
// deleted (fwtable/record_change.h).
int run_table_command(int argc, char** argv, const listing_handler* handler = nullptr,
                      size_t* deleted = nullptr);

// 0 when name is a table name (1 to 63 bytes of ASCII letters, digits, '-',
// '.', '_', and not exactly "all"), else 22 (EINVAL).
int validate_table_name(const char* name);

// A keyword table: rows of keyword and token, ended by a row whose word is
// null.
struct keyword_row {
  const char* word;
  int token;
};

// The token of the one row whose keyword begins with word (case-sensitive,
// every row tested). No row, more than one, an empty word or a negative
// token end the process: "ambiguous LABEL WORD", status 64.
int match_keyword(const keyword_row* table, const char* word, const char* label);

// The command keyword table of the interpreter, and its tokens.
extern const keyword_row table_command_keywords[];
enum table_command_token : int {
  TOK_LOOKUP = 129,
  TOK_CREATE = 134,
  TOK_DESTROY = 135,
  TOK_LIST = 136,
  TOK_INFO = 137,
  TOK_DETAIL = 138,
  TOK_MODIFY = 139,
  TOK_FLUSH = 140,
  TOK_SWAP = 141,
  TOK_ADD = 142,
  TOK_DEL = 143,
  TOK_ATOMIC = 147,
  TOK_LOCK = 148,
  TOK_UNLOCK = 149,
};
