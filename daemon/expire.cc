// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/expire.h"

#include <syslog.h>

#include <cstdint>
#include <cstdio>

#include "daemon/due_batch.h"
#include "daemon/process_state.h"
#include "daemon/stop_signals.h"
#include "fwtable/log_sender.h"
#include "fwtable/platform.h"

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

// A removal in hand, from its log line until its key is in the batch, and
// a batch's deletion from its first request to its answer; set by a scope,
// so that a deletion the guard abandons (a throw) clears it too.
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
  const uint64_t dropped_before = system_log_dropped();
  const removal_scope in_hand;
  log_removal(key_text);
  // A line that a stop kept from syslogd (it waited for room) is not
  // followed by its deletion: the entry stays for the next start. The walk
  // ends at its next look at the stop flag, and the batch of the entries
  // whose lines did reach syslogd is still sent as the walk ends.
  if (system_log_dropped() != dropped_before && stop_requested()) return 0;
  // An entry the kernel no longer had (passed over) was not removed by the
  // deletion and is not counted as removed.
  cycle.tally.removed += due_batch_add(key_text);
  return 0;
}

void send_due_batch() {
  const removal_scope in_hand;
  cycle.tally.removed += due_batch_send();
}

int report_if_due(char* key_text, uint32_t expiry) {
  if (past(expiry)) platform_printf("would remove host %s from table %s\n", key_text, table_name);
  return 0;
}

void sweep_tally_start_cycle() {
  const uint64_t removed = cycle.tally.removed;
  cycle.tally = sweep_tally{};
  cycle.tally.removed = removed;
  due_batch_clear();
}

const sweep_tally* sweep_tally_now() { return &cycle.tally; }

bool removal_in_hand() { return removing; }

listing_handler sweep_listing_handler(address_entry_fn on_address, listing_stop_fn stop) {
  listing_handler h;
  h.on_address = on_address;
  h.stop = stop;
  h.before_list = read_cycle_clock;
  h.after_walk = send_due_batch;
  h.cycle = &cycle;
  return h;
}
