// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/add_batch.h"

#include <err.h>
#include <sysexits.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fwtable/entry_render.h"
#include "fwtable/fatal.h"
#include "fwtable/fwctl.h"
#include "fwtable/platform.h"
#include "fwtable/record_change.h"
#include "fwtable/table_list.h"
#include "fwtable/value_fields.h"

namespace {

// The value-type bits that name a field.
constexpr uint32_t KNOWN_VALUE_BITS = (IPFW_VTYPE_MARK << 1) - 1;

// The field the sweep reads an entry's time from, for a table's value mask;
// ends the process (65) when no field that can hold a time leads, with the
// words of the daemon's warning.
const value_field& time_field(const char* table, uint32_t vmask) {
  const value_field* lead = leading_value_field(fw_built::value_layout, vmask);
  if (lead == nullptr)
    fatal_errx(EX_DATAERR,
               "table %s: its values have no field that can hold a time; its entries are never removed",
               table);
  if (!value_field_holds_time(*lead))
    fatal_errx(EX_DATAERR,
               "table %s: its values begin with %s, which cannot hold a time; its entries are never removed",
               table, lead->word);
  return *lead;
}

// The table's info, refused as check_add_table says.
ipfw_xtable_info checked_info(const char* table, ipfw_obj_header* oh) {
  memset(oh, 0, sizeof *oh);
  init_request_header(oh, table, 0);
  ipfw_xtable_info info;
  fetch_table_info(oh, &info);
  if (info.type != IPFW_TABLE_ADDR) fatal_errx(EX_DATAERR, "table %s is not an address table", table);
  time_field(table, info.vmask);
  oh->ntlv.type = info.type;
  return info;
}

// Whether the table's values have fields besides the time, which a renewal
// must keep.
bool has_other_fields(uint32_t vmask, const value_field& time) {
  return vmask != IPFW_VTYPE_LEGACY && (vmask & KNOWN_VALUE_BITS & ~time.bit) != 0;
}

// A key as the listing and the find answer it: family, mask length and
// the address bytes (IPv4 in the first 4, the rest zero).
struct key_bytes {
  uint8_t family;
  uint8_t masklen;
  uint8_t addr[16];
};

key_bytes key_of(const ipfw_obj_tentry& e) {
  key_bytes k;
  memset(&k, 0, sizeof k);
  k.family = e.subtype;
  k.masklen = e.masklen;
  memcpy(k.addr, e.k.raw, e.subtype == FW_AF_INET6 ? 16 : 4);
  return k;
}

bool same_key(const key_bytes& a, const key_bytes& b) { return memcmp(&a, &b, sizeof a) == 0; }

// What the lookup learns of each key of a batch: whether it is present,
// and then its value.
struct lookup {
  bool present[ENTRY_WRITE_MAX];
  ipfw_table_value value[ENTRY_WRITE_MAX];
};

// The batch's keys, for the walk over a listing: an open-addressing hash
// of their places (1024 slots for at most 256 keys), so that a listed entry
// costs a hash and a slot or two, whatever the batch holds. A key given
// twice has a slot for each place.
constexpr size_t INDEX_SLOTS = 1024;
static_assert(INDEX_SLOTS >= 4 * ENTRY_WRITE_MAX && (INDEX_SLOTS & (INDEX_SLOTS - 1)) == 0);

struct batch_index {
  uint16_t slot[INDEX_SLOTS];  // a place in the batch + 1; 0: empty
  key_bytes keys[ENTRY_WRITE_MAX];
  lookup* found;
};

size_t slot_of(const key_bytes& k) {
  uint32_t words[4];
  memcpy(words, k.addr, sizeof words);
  const uint32_t h =
      (words[0] ^ words[1] ^ words[2] ^ words[3] ^ (uint32_t{k.masklen} << 8) ^ k.family) * 2654435761u;
  return h >> (32 - 10);
}

void take_listed(const ipfw_xtable_info*, const ipfw_obj_tentry* entry, void* ctx) {
  auto* x = static_cast<batch_index*>(ctx);
  if (entry->subtype != FW_AF_INET && entry->subtype != FW_AF_INET6) return;
  const key_bytes k = key_of(*entry);
  for (size_t s = slot_of(k); x->slot[s] != 0; s = (s + 1) & (INDEX_SLOTS - 1)) {
    const size_t i = x->slot[s] - 1u;
    if (!same_key(x->keys[i], k)) continue;
    x->found->present[i] = true;
    memcpy(&x->found->value[i], &entry->v, sizeof entry->v);
  }
}

// The present keys of the batch and their values, from one listing.
void look_up_in_listing(const ipfw_obj_header* oh, const ipfw_xtable_info* info, const add_batch* b,
                        lookup* found) {
  batch_index x;
  memset(x.slot, 0, sizeof x.slot);
  x.found = found;
  for (size_t i = 0; i < b->n; i++) {
    x.keys[i] = key_of(b->entries[i]);
    size_t s = slot_of(x.keys[i]);
    while (x.slot[s] != 0) s = (s + 1) & (INDEX_SLOTS - 1);
    x.slot[s] = static_cast<uint16_t>(i + 1);
  }
  // The table grows batch by batch as keys are added: the listing is asked
  // for with room for a sixteenth more, so that the list buffer the table
  // layer keeps serves batch after batch instead of being made anew for
  // each one.
  ipfw_xtable_info roomy = *info;
  roomy.size = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{info->size} + info->size / 16, UINT32_MAX));
  for_each_table_entry(oh, &roomy, take_listed, &x);
}

// The present keys of the batch and their values, key by key. A find
// answers the longest prefix holding the key's address: the key itself
// when present, a shorter prefix (or none) when not. An answer more
// specific than the key asked about says nothing of the key: the batch is
// then looked up in a listing. Returns false for that.
bool look_up_one_by_one(const char* table, const ipfw_obj_header* oh, const add_batch* b, lookup* found) {
  for (size_t i = 0; i < b->n; i++) {
    ipfw_obj_tentry e = b->entries[i];
    const int error = find_table_entry(oh, &e);
    if (error == ENOENT) continue;
    if (error != 0) {
      errno = error;
      fatal_err(EX_OSERR, "Error requesting an entry of table %s", table);
    }
    if (e.subtype != b->entries[i].subtype || e.masklen > b->entries[i].masklen) return false;
    if (e.masklen < b->entries[i].masklen) continue;
    if (!same_key(key_of(e), key_of(b->entries[i]))) continue;
    found->present[i] = true;
    memcpy(&found->value[i], &e.v, sizeof e.v);
  }
  return true;
}

// The value to write for a key: zero but for the fields it keeps from the
// present entry (every field of the table's value types but the time, and
// an IPv6 field's scope id with it), and the deadline in the time field.
ipfw_table_value value_for(uint32_t vmask, const value_field& time, const ipfw_table_value* kept,
                           uint32_t deadline) {
  ipfw_table_value v;
  memset(&v, 0, sizeof v);
  auto* to = reinterpret_cast<uint8_t*>(&v);
  if (kept != nullptr && vmask != IPFW_VTYPE_LEGACY) {
    const auto* from = reinterpret_cast<const uint8_t*>(kept);
    for (const value_field& f : fw_built::value_layout.fields) {
      if ((vmask & f.bit) == 0 || f.bit == time.bit) continue;
      memcpy(to + f.offset, from + f.offset, f.width);
      if (f.kind == value_kind::ipv6) {
        const size_t z = fw_built::value_layout.zoneid_offset;
        memcpy(to + z, from + z, 4);
      }
    }
  }
  set_value_field_number(time, &v, deadline);
  return v;
}

// The deadline as local date and time.
void date_text(uint32_t t, char* buf, size_t size) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (localtime_r(&tt, &tm) == nullptr || strftime(buf, size, "%Y-%m-%d %H:%M:%S %Z", &tm) == 0)
    snprintf(buf, size, "%u", t);
}

// Logs, or reports, what the kernel did with each entry. refused_whole:
// the request was refused as a whole, and an entry the kernel did not mark
// is not reported on its own.
void report_results(const char* table, const add_batch* b, bool refused_whole, add_tally* tally) {
  for (size_t i = 0; i < b->n; i++) {
    if (refused_whole && b->entries[i].result == IPFW_TR_IGNORED) continue;
    char key[ENTRY_TEXT_SIZE];
    format_address_key(&b->entries[i], key);
    char date[64];
    date_text(b->deadlines[i], date, sizeof date);
    char line[ENTRY_TEXT_SIZE + IPFW_TABLE_NAME_MAX + 128];
    const uint8_t result = b->entries[i].result;
    if (result == IPFW_TR_ADDED) {
      snprintf(line, sizeof line, "Adding host %s to table %s until %s", key, table, date);
      platform_log(LOG_INFO, line);
      tally->added++;
    } else if (result == IPFW_TR_UPDATED) {
      snprintf(line, sizeof line, "Renewing host %s in table %s until %s", key, table, date);
      platform_log(LOG_INFO, line);
      tally->renewed++;
    } else if (result == IPFW_TR_LIMIT) {
      warnx("table %s is full: %s was not added", table, key);
      tally->refused++;
    } else {
      warnx("%s was not added: the kernel answered %s", key, record_result_word(result));
      tally->refused++;
    }
  }
}

}  // namespace

void check_add_table(const char* table) {
  ipfw_obj_header oh;
  checked_info(table, &oh);
}

void send_add_batch(const char* table, add_batch* batch, bool dry_run, add_tally* tally) {
  if (batch->n == 0) return;
  ipfw_obj_header oh;
  const ipfw_xtable_info info = checked_info(table, &oh);
  const value_field& time = time_field(table, info.vmask);
  const bool keep = has_other_fields(info.vmask, time);

  lookup found;
  memset(found.present, 0, sizeof found.present);
  if (keep || dry_run) {
    if (batch->n > ADD_FIND_KEYS_MAX || !look_up_one_by_one(table, &oh, batch, &found)) {
      memset(found.present, 0, sizeof found.present);
      look_up_in_listing(&oh, &info, batch, &found);
    }
  }
  for (size_t i = 0; i < batch->n; i++) {
    batch->entries[i].v =
        value_for(info.vmask, time, found.present[i] ? &found.value[i] : nullptr, batch->deadlines[i]);
    batch->entries[i].result = 0;
  }

  if (dry_run) {
    for (size_t i = 0; i < batch->n; i++) {
      char key[ENTRY_TEXT_SIZE];
      format_address_key(&batch->entries[i], key);
      char date[64];
      date_text(batch->deadlines[i], date, sizeof date);
      if (found.present[i])
        platform_printf("would renew host %s in table %s until %s\n", key, table, date);
      else
        platform_printf("would add host %s to table %s until %s\n", key, table, date);
    }
    batch->n = 0;
    return;
  }

  // A full table refuses the keys it has no room for, each marked limit;
  // any other failure refuses the request as a whole, and nothing of it
  // was written but what the result bytes say.
  const int error = write_table_entries(&oh, batch->entries, batch->n);
  const bool refused_whole = error != 0 && error != EFBIG;
  report_results(table, batch, refused_whole, tally);
  batch->n = 0;
  if (refused_whole) fatal_errx(EX_OSERR, "cannot add to table %s: %s", table, change_error_text(error));
}
