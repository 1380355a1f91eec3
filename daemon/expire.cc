// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/expire.h"

#include <syslog.h>

#include <cstdint>
#include <cstdio>

#include "daemon/process_state.h"
#include "fwtable/platform.h"
#include "fwtable/table_command.h"

namespace {

sweep_tally tally;

// The cycle's time: the clock as read_cycle_clock last read it. Before the
// first read no expiry (the least being 0) is past it.
int64_t cycle_now = INT64_MIN;

void log_removal(const char* key_text) {
  // The key text is at most 127 characters, the table name 63: the line
  // always fits.
  char message[256];
  snprintf(message, sizeof message, "Removing host %s from table %s", key_text, table_name);
  platform_log(LOG_INFO, message);
}

// The expiry is widened without sign extension: 4294967295 is a time far
// ahead, not -1.
bool past(uint32_t expiry) { return cycle_now > static_cast<int64_t>(expiry); }

}  // namespace

void read_cycle_clock() { cycle_now = platform_now(); }

bool expiry_is_due(uint32_t expiry, bool removable) {
  tally.entries++;
  if (!removable) {
    tally.unremovable++;
    return false;
  }
  bool due = past(expiry);
  if (due) {
    tally.due++;
  } else if (!tally.has_next || expiry < tally.next_expiry) {
    tally.has_next = true;
    tally.next_expiry = expiry;
  }
  return due;
}

int expire_if_due(char* key_text, uint32_t expiry) {
  if (!past(expiry)) return 0;

  char word_table[] = "table";
  char word_delete[] = "delete";
  // Four slots in the call's own storage: building the vector cannot fail.
  char* argv[4] = {word_table, table_name, word_delete, key_text};

  log_removal(key_text);
  // An entry the kernel no longer had (ENOENT, passed over) was not removed
  // by this deletion and is not counted as removed.
  if (run_table_command(4, argv) == 0) tally.removed++;
  return 0;
}

int report_if_due(char* key_text, uint32_t expiry) {
  if (past(expiry)) platform_printf("would remove host %s from table %s\n", key_text, table_name);
  return 0;
}

void sweep_tally_start_cycle() {
  uint64_t removed = tally.removed;
  tally = sweep_tally{};
  tally.removed = removed;
}

const sweep_tally* sweep_tally_now() { return &tally; }
