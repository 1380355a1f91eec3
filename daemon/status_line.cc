// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/status_line.h"

#include <time.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace {

// Appends to the text in buf (size bytes) as snprintf would, the text cut
// to the buffer.
struct line_buffer {
  char* buf;
  size_t size;
  size_t used = 0;

  void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (used + 1 >= size) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + used, size - used, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    used += static_cast<size_t>(n);
    if (used >= size) used = size - 1;
  }
};

// YYYY-MM-DDTHH:MM:SSZ; @SECONDS for a time no four-digit year holds.
void add_time(line_buffer* line, int64_t unix) {
  const time_t t = static_cast<time_t>(unix);
  tm utc;
  if (static_cast<int64_t>(t) == unix && gmtime_r(&t, &utc) != nullptr && utc.tm_year >= -1900 &&
      utc.tm_year <= 9999 - 1900) {
    line->add("%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
              utc.tm_min, utc.tm_sec);
  } else {
    line->add("@%" PRId64, unix);
  }
}

}  // namespace

void status_line_format(const daemon_status* s, uint64_t removed, char* buf, size_t size) {
  line_buffer line{buf, size};
  buf[0] = '\0';
  line.add("table %s: ", s->table);
  if (s->has_cycle) {
    line.add("last cycle %" PRIu64 " entries, %" PRIu64 " due, %" PRIu64 " unremovable, ended ", s->entries,
             s->due, s->unremovable);
    add_time(&line, s->ended_unix);
    const int64_t us = s->duration_ns > 0 ? s->duration_ns / 1000 : 0;
    line.add(" after %" PRId64 ".%03" PRId64 " ms", us / 1000, us % 1000);
  } else {
    line.add("no cycle yet");
  }
  line.add("; %" PRIu64 " removed since start; ", removed);
  if (s->has_cycle && s->has_next) {
    line.add("next due ");
    add_time(&line, static_cast<int64_t>(s->next_expiry) + 1);
  } else {
    line.add("nothing due ahead");
  }
  if (s->table_missing) line.add("; table gone, waiting for it");
}
