#include "daemon/expiry_listing.h"

#include <sysexits.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
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
  uint32_t expiry;
  uint32_t position;  // in listing order
  uint32_t text_at;  // the key text's offset in the shared text
  bool removable;
};

struct listing {
  std::vector<listing_row> rows;
  std::string texts;  // every key text, each ended by a NUL
};

void collect_entry(const ipfw_xtable_info* reply_info, const ipfw_obj_tentry* entry, void* ctx) {
  auto* l = static_cast<listing*>(ctx);
  char key[ENTRY_TEXT_SIZE];
  bool removable = format_sweep_key(entry, key);
  listing_row row;
  row.expiry = value_leading_number(reply_info->vmask, &entry->v);
  row.position = static_cast<uint32_t>(l->rows.size());
  row.text_at = static_cast<uint32_t>(l->texts.size());
  row.removable = removable;
  l->rows.push_back(row);
  l->texts.append(key[0] != '\0' ? key : "-");
  l->texts.push_back('\0');
}

// The expiry as local date and time; the text of the last one asked for is
// kept, as neighbours in the sorted listing often share their expiry.
const char* local_date(uint32_t expiry) {
  static bool have = false;
  static uint32_t last = 0;
  static char text[64];
  if (have && last == expiry) return text;
  time_t t = static_cast<time_t>(expiry);
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm) == 0)
    snprintf(text, sizeof text, "?");
  have = true;
  last = expiry;
  return text;
}

}  // namespace

int print_expiry_listing(const char* number_text) {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, number_text, 0);
  ipfw_xtable_info info;
  fetch_table_info(&oh, &info);
  if (info.type != IPFW_TABLE_ADDR) fatal_errx(EX_USAGE, "table %s is not an address table", number_text);

  listing l;
  l.rows.reserve(info.count);
  for_each_table_entry(&info, collect_entry, &l);
  // An entry is due once the clock is past its expiry: it has
  // expiry + 1 - now seconds left.
  const int64_t now = platform_now();
  std::sort(l.rows.begin(), l.rows.end(), [](const listing_row& a, const listing_row& b) {
    return a.expiry != b.expiry ? a.expiry < b.expiry : a.position < b.position;
  });

  // The real standard output takes the lines in large blocks.
  static char out_buffer[1 << 16];
  setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  uint64_t due = 0;
  uint64_t never = 0;
  const listing_row* next = nullptr;
  for (const listing_row& r : l.rows) {
    const int64_t left = static_cast<int64_t>(r.expiry) + 1 - now;
    platform_printf("%s %" PRIu32 " %" PRId64 " %s%s\n", l.texts.c_str() + r.text_at, r.expiry, left,
                    local_date(r.expiry), r.removable ? "" : " (never removed)");
    if (!r.removable) {
      never++;
    } else if (left <= 0) {
      due++;
    } else if (next == nullptr) {
      next = &r;
    }
  }
  platform_printf("%zu entries, %" PRIu64 " due now, ", l.rows.size(), due);
  if (next != nullptr)
    platform_printf("next due in %" PRId64 " s at %s", static_cast<int64_t>(next->expiry) + 1 - now,
                    local_date(next->expiry));
  else
    platform_printf("none ahead");
  if (never > 0) platform_printf(", %" PRIu64 " never removed", never);
  platform_printf("\n");
  if (platform_flush() != 0) return EX_IOERR;
  return 0;
}
