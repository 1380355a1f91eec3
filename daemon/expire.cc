#include "daemon/expire.h"

#include <syslog.h>

#include <cstdio>
#include <ctime>

#include "daemon/process_state.h"
#include "fwtable/table_command.h"

namespace {

expiry_clock_fn clock_seam = nullptr;
expiry_log_fn log_seam = nullptr;
expiry_command_fn command_seam = nullptr;
sweep_tally tally;

int64_t now() { return clock_seam != nullptr ? clock_seam() : static_cast<int64_t>(time(nullptr)); }

void log_removal(const char* key_text) {
  if (log_seam == nullptr) {
    syslog(LOG_INFO, "Removing host %s from table %d", key_text, table_number);
    return;
  }
  char message[256];
  snprintf(message, sizeof message, "Removing host %s from table %d", key_text, table_number);
  log_seam(LOG_INFO, message);
}

// The expiry is widened without sign extension: 4294967295 is a time far
// ahead, not -1.
bool past(uint32_t expiry) { return now() > static_cast<int64_t>(expiry); }

}  // namespace

bool expiry_is_due(uint32_t expiry) {
  bool due = past(expiry);
  tally.entries++;
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

  char number[100] = {};
  snprintf(number, sizeof number, "%d", table_number);
  char word_table[] = "table";
  char word_delete[] = "delete";
  // Four slots in the call's own storage: building the vector cannot fail.
  char* argv[4] = {word_table, number, word_delete, key_text};

  log_removal(key_text);
  if (command_seam != nullptr)
    command_seam(4, argv);
  else
    run_table_command(4, argv);
  tally.removed++;
  return 0;
}

int report_if_due(char* key_text, uint32_t expiry) {
  if (past(expiry)) printf("would remove host %s from table %d\n", key_text, table_number);
  return 0;
}

void sweep_tally_start_cycle() {
  uint64_t removed = tally.removed;
  tally = sweep_tally{};
  tally.removed = removed;
}

const sweep_tally* sweep_tally_now() { return &tally; }

void set_expiry_clock(expiry_clock_fn clock) { clock_seam = clock; }

void set_expiry_log(expiry_log_fn log) { log_seam = log; }

void set_expiry_command(expiry_command_fn run) { command_seam = run; }
