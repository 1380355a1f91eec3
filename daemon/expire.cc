// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/expire.h"

#include <syslog.h>

#include <cstdint>
#include <cstdio>

#include "daemon/process_state.h"
#include "fwtable/platform.h"
#include "fwtable/table_command.h"

namespace {

// The cycle's time, as read_cycle_clock last read it, and the tally. Before
// the first read no expiry (the least being 0) is past the time.
sweep_cycle cycle;

void log_removal(const char* key_text) {
  // The key text is at most 127 characters, the table name 63: the line
  // always fits.
  char message[256];
  snprintf(message, sizeof message, "Removing host %s from table %s", key_text, table_name);
  platform_log(LOG_INFO, message);
}

bool past(uint32_t expiry) { return sweep_past(&cycle, expiry); }

// A removal in hand, from its log line to the end of its deletion; set by
// a scope, so that a deletion the guard abandons (a throw) clears it too.
bool removing = false;
struct removal_scope {
  removal_scope() { removing = true; }
  ~removal_scope() { removing = false; }
  removal_scope(const removal_scope&) = delete;
  removal_scope& operator=(const removal_scope&) = delete;
};

}  // namespace

void read_cycle_clock() { cycle.now = platform_now(); }

bool expiry_is_due(uint32_t expiry, bool removable) { return sweep_count_entry(&cycle, expiry, removable); }

int expire_if_due(char* key_text, uint32_t expiry) {
  if (!past(expiry)) return 0;

  char word_table[] = "table";
  char word_delete[] = "delete";
  // Four slots in the call's own storage: building the vector cannot fail.
  char* argv[4] = {word_table, table_name, word_delete, key_text};

  const removal_scope in_hand;
  log_removal(key_text);
  // An entry the kernel no longer had (ENOENT, passed over) was not removed
  // by this deletion and is not counted as removed.
  if (run_table_command(4, argv) == 0) cycle.tally.removed++;
  return 0;
}

int report_if_due(char* key_text, uint32_t expiry) {
  if (past(expiry)) platform_printf("would remove host %s from table %s\n", key_text, table_name);
  return 0;
}

void sweep_tally_start_cycle() {
  const uint64_t removed = cycle.tally.removed;
  cycle.tally = sweep_tally{};
  cycle.tally.removed = removed;
}

const sweep_tally* sweep_tally_now() { return &cycle.tally; }

bool removal_in_hand() { return removing; }

listing_handler sweep_listing_handler(address_entry_fn on_address, listing_stop_fn stop) {
  listing_handler h;
  h.on_address = on_address;
  h.stop = stop;
  h.before_list = read_cycle_clock;
  h.cycle = &cycle;
  return h;
}
