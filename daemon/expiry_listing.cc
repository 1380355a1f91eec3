// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/expiry_listing.h"

#include <err.h>
#include <sysexits.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "fwtable/entry_render.h"
#include "fwtable/fatal.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "fwtable/platform.h"
#include "fwtable/table_list.h"

namespace {

struct listing_row {
  uint32_t expiry;  // 0 when the value is not a time
  uint32_t position;  // in listing order
  uint32_t text_at;  // the key text's offset in the shared text
  bool timed;  // the value is a time
  bool removable;
};

struct listing {
  std::vector<listing_row> rows;
  std::string texts;  // every key text, each ended by a NUL
};

void collect_entry(const ipfw_xtable_info* reply_info, const ipfw_obj_tentry* entry, void* ctx) {
  auto* l = static_cast<listing*>(ctx);
  char key[ENTRY_TEXT_SIZE];
  const bool named = format_sweep_key(entry, key);
  listing_row row;
  row.expiry = 0;
  row.timed = value_expiry(reply_info->vmask, &entry->v, &row.expiry);
  row.position = static_cast<uint32_t>(l->rows.size());
  row.text_at = static_cast<uint32_t>(l->texts.size());
  row.removable = named && row.timed;
  l->rows.push_back(row);
  l->texts.append(key[0] != '\0' ? key : "-");
  l->texts.push_back('\0');
}

// The expiry as local date and time, "%Y-%m-%d %H:%M:%S %Z". Sorted by
// expiry, a large listing comes by the same minute many times over: the
// local time of a minute is worked out once, and its seconds written in,
// when the minute's first and last second read as the same local minute
// (no change of offset within it, and an offset of whole minutes).
struct date_cache {
  bool have_minute = false;
  int64_t minute = 0;  // the first second of the minute, since the epoch
  bool minute_whole = false;  // the minute's texts differ in the seconds alone
  char head[48];  // "YYYY-MM-DD HH:MM:"
  char zone[16];  // " ZONE"
  char text[72];
};

bool format_local(time_t t, char* buf, size_t size, const char* format) {
  struct tm tm;
  return localtime_r(&t, &tm) != nullptr && strftime(buf, size, format, &tm) != 0;
}

const char* local_date(date_cache* c, int64_t expiry) {
  const int64_t minute = expiry - expiry % 60;
  if (!c->have_minute || c->minute != minute) {
    c->have_minute = true;
    c->minute = minute;
    struct tm first;
    struct tm last;
    time_t t0 = static_cast<time_t>(minute);
    time_t t1 = static_cast<time_t>(minute + 59);
    c->minute_whole = localtime_r(&t0, &first) != nullptr && localtime_r(&t1, &last) != nullptr &&
                      first.tm_sec == 0 && last.tm_sec == 59 && first.tm_min == last.tm_min &&
                      first.tm_hour == last.tm_hour && first.tm_isdst == last.tm_isdst &&
                      strftime(c->head, sizeof c->head, "%Y-%m-%d %H:%M:", &first) != 0 &&
                      strftime(c->zone, sizeof c->zone, " %Z", &first) != 0;
  }
  if (!c->minute_whole) {
    if (!format_local(static_cast<time_t>(expiry), c->text, sizeof c->text, "%Y-%m-%d %H:%M:%S %Z"))
      snprintf(c->text, sizeof c->text, "?");
    return c->text;
  }
  // head and zone are bounded by their arrays: the whole fits in text.
  static_assert(sizeof c->head + 2 + sizeof c->zone <= sizeof c->text);
  const unsigned sec = static_cast<unsigned>(expiry % 60);
  size_t n = strlen(c->head);
  memcpy(c->text, c->head, n);
  c->text[n++] = static_cast<char>('0' + sec / 10);
  c->text[n++] = static_cast<char>('0' + sec % 10);
  size_t z = strlen(c->zone);
  memcpy(c->text + n, c->zone, z + 1);
  return c->text;
}

// Text into a line under construction; each returns the end. A listing of
// a million entries is mostly these lines, so they are put together by
// hand rather than by printf.
char* put_text(char* p, const char* text) {
  size_t n = strlen(text);
  memcpy(p, text, n);
  return p + n;
}

char* put_number(char* p, int64_t v) {
  char digits[24];
  int n = 0;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  return p;
}

}  // namespace

int print_expiry_listing(const char* table) {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, table, 0);
  ipfw_xtable_info info;
  fetch_table_info(&oh, &info);
  if (info.type != IPFW_TABLE_ADDR) fatal_errx(EX_USAGE, "table %s is not an address table", table);

  listing l;
  try {
    // Room for the usual table at once, so that nothing is copied as it
    // grows (an IPv4 host's text and its NUL take at most 16 bytes); the
    // kernel's count is believed only as far as its listing size bears it
    // out.
    const size_t expected = std::min<size_t>(info.count, info.size / sizeof(ipfw_obj_tentry));
    l.rows.reserve(expected);
    l.texts.reserve(expected * 16);
    for_each_table_entry(&oh, &info, collect_entry, &l);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    fatal_err(EX_OSERR, "cannot hold the listing of table %s", table);
  }
  // An entry is due once the clock is past its expiry: it has
  // expiry + 1 - now seconds left.
  const int64_t now = platform_now();
  // Entries without a time go last.
  std::sort(l.rows.begin(), l.rows.end(), [](const listing_row& a, const listing_row& b) {
    if (a.timed != b.timed) return a.timed;
    return a.expiry != b.expiry ? a.expiry < b.expiry : a.position < b.position;
  });

  // The real standard output takes the lines in large blocks.
  static char out_buffer[1 << 20];
  setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  date_cache dates;
  int write_error = 0;  // the first failure to write, if any
  uint64_t due = 0;
  uint64_t never = 0;
  const listing_row* next = nullptr;
  for (const listing_row& r : l.rows) {
    const int64_t left = static_cast<int64_t>(r.expiry) + 1 - now;
    // Key (below ENTRY_TEXT_SIZE), two numbers, the date (below 64) and
    // the marker fit with room to spare.
    char line[ENTRY_TEXT_SIZE + 160];
    char* p = put_text(line, l.texts.c_str() + r.text_at);
    if (r.timed) {
      *p++ = ' ';
      p = put_number(p, r.expiry);
      *p++ = ' ';
      p = put_number(p, left);
      *p++ = ' ';
      p = put_text(p, local_date(&dates, r.expiry));
    } else {
      p = put_text(p, " - - -");
    }
    if (!r.removable) p = put_text(p, " (never removed)");
    *p++ = '\n';
    const size_t len = static_cast<size_t>(p - line);
    if (platform_write(line, len) != len && write_error == 0) write_error = errno != 0 ? errno : EIO;
    if (!r.removable) {
      never++;
    } else if (left <= 0) {
      due++;
    } else if (next == nullptr) {
      next = &r;
    }
  }
  platform_printf("%zu entries, %" PRIu64 " due now, ", l.rows.size(), due);
  if (next != nullptr) {
    // It is due once the clock is past its expiry: from the second after.
    const int64_t goes = static_cast<int64_t>(next->expiry) + 1;
    platform_printf("next due in %" PRId64 " s at %s", goes - now, local_date(&dates, goes));
  } else {
    platform_printf("none ahead");
  }
  if (never > 0) platform_printf(", %" PRIu64 " never removed", never);
  if (platform_printf("\n") < 0 && write_error == 0) write_error = errno != 0 ? errno : EIO;
  if (platform_flush() != 0 && write_error == 0) write_error = errno != 0 ? errno : EIO;
  if (write_error != 0) {
    errno = write_error;
    warn("cannot write the listing");
    return EX_IOERR;
  }
  return 0;
}
