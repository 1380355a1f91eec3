// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/table_command.h"

#include <sysexits.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "fwtable/fatal.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "fwtable/record_change.h"
#include "fwtable/table_list.h"

const keyword_row table_command_keywords[] = {
    {"add", TOK_ADD},       {"delete", TOK_DEL},    {"create", TOK_CREATE}, {"destroy", TOK_DESTROY},
    {"flush", TOK_FLUSH},   {"modify", TOK_MODIFY}, {"swap", TOK_SWAP},     {"info", TOK_INFO},
    {"detail", TOK_DETAIL}, {"list", TOK_LIST},     {"lookup", TOK_LOOKUP}, {"atomic", TOK_ATOMIC},
    {"lock", TOK_LOCK},     {"unlock", TOK_UNLOCK}, {nullptr, 0},
};

namespace {

// An entry of the vector, or null when it is missing.
char* vector_entry(int argc, char** argv, int i) { return (i < argc && argv != nullptr) ? argv[i] : nullptr; }

// The table administration commands are not part of this program: their
// keywords only take part in the matching.
[[noreturn]] void not_supported(const char* word) {
  fatal_errx(EX_USAGE, "table command %s is not supported by this program", word);
}

bool is_name_byte(unsigned char c) {
  // Letters and digits of the default locale are exactly the ASCII ones;
  // anything at or above 0x80 is refused whatever the locale says.
  if (c >= 0x80) return false;
  return isalnum(c) != 0 || c == '-' || c == '.' || c == '_';
}

}  // namespace

int validate_table_name(const char* name) {
  size_t len = strlen(name);
  if (len == 0 || len > IPFW_TABLE_NAME_MAX) return EINVAL;
  for (size_t i = 0; i < len; i++)
    if (!is_name_byte(static_cast<unsigned char>(name[i]))) return EINVAL;
  if (strcmp(name, "all") == 0) return EINVAL;
  return 0;
}

int match_keyword(const keyword_row* table, const char* word, const char* label) {
  size_t len = strlen(word);
  int matches = 0;
  int token = -1;
  if (len > 0) {
    for (const keyword_row* row = table; row->word != nullptr; row++) {
      if (strncmp(row->word, word, len) == 0) {
        matches++;
        token = row->token;
      }
    }
  }
  if (matches != 1 || token < 0) fatal_errx(EX_USAGE, "%s %s %s", "ambiguous", label, word);
  return token;
}

int run_table_command(int argc, char** argv, const listing_handler* handler, size_t* deleted) {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  bool named = false;

  const char* name = vector_entry(argc, argv, 1);
  if (name == nullptr) fatal_errx(EX_USAGE, "table needs name");
  if (validate_table_name(name) == 0) {
    init_request_header(&oh, name, 0);
    named = true;
  } else if (strcmp(name, "all") != 0) {
    fatal_errx(EX_USAGE, "table name %s is invalid", name);
  }

  const char* word = vector_entry(argc, argv, 2);
  if (word == nullptr) fatal_errx(EX_USAGE, "table needs command");
  int token = match_keyword(table_command_keywords, word, "table command");

  switch (token) {
    case TOK_LIST:
      if (!named) not_supported("list all");
      {
        ipfw_xtable_info info;
        fetch_table_info(&oh, &info);
        const listing_handler none;
        list_table_entries(&oh, &info, handler != nullptr ? *handler : none);
      }
      return 0;
    case TOK_INFO:
    case TOK_DETAIL:
    case TOK_DESTROY:
    case TOK_FLUSH:
    case TOK_ATOMIC:
      for (const keyword_row* row = table_command_keywords; row->word != nullptr; row++)
        if (row->token == token) not_supported(row->word);
      break;
    default:
      break;
  }

  if (!named) fatal_errx(EX_USAGE, "table name required");

  if (token == TOK_DEL) {
    int nargs = argc > 3 ? argc - 3 : 0;
    return change_table_records(&oh, 0, 0, nargs, nargs > 0 ? argv + 3 : nullptr, deleted);
  }
  for (const keyword_row* row = table_command_keywords; row->word != nullptr; row++)
    if (row->token == token) not_supported(row->word);
  return 0;
}
