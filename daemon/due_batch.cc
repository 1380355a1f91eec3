// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/due_batch.h"

#include <cstring>

#include "daemon/process_state.h"
#include "fwtable/entry_render.h"
#include "fwtable/table_command.h"

namespace {

// The key texts of the batch, and how many are waiting.
char keys[DUE_BATCH_KEYS][ENTRY_TEXT_SIZE];
size_t waiting = 0;

// The command vector: the three words, then a pointer to each key text.
char word_table[] = "table";
char word_delete[] = "delete";
char* command[3 + DUE_BATCH_KEYS];

}  // namespace

uint64_t due_batch_add(const char* key_text) {
  const size_t len = strnlen(key_text, ENTRY_TEXT_SIZE - 1);
  memcpy(keys[waiting], key_text, len);
  keys[waiting][len] = '\0';
  waiting++;
  return waiting == DUE_BATCH_KEYS ? due_batch_send() : 0;
}

size_t due_batch_size() { return waiting; }

uint64_t due_batch_send() {
  if (waiting == 0) return 0;
  const size_t n = waiting;
  // Emptied before the command runs: a cycle abandoned during its requests
  // leaves nothing behind.
  waiting = 0;
  command[0] = word_table;
  command[1] = table_name;
  command[2] = word_delete;
  for (size_t i = 0; i < n; i++) command[3 + i] = keys[i];
  size_t deleted = 0;
  run_table_command(static_cast<int>(3 + n), command, nullptr, &deleted);
  return deleted;
}

void due_batch_clear() { waiting = 0; }
