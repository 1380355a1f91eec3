// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/sweep_scan.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "fwtable/fw_records.h"
#include "fwtable/sweep_key.h"

namespace {

constexpr size_t ENTRY_LENGTH_AT = offsetof(ipfw_obj_tlv, length);
constexpr size_t ENTRY_VALUE_AT = 56;
static_assert(sizeof(fw15::ipfw_obj_tentry) == ENTRY_RECORD_SIZE &&
              sizeof(fw14::ipfw_obj_tentry) == ENTRY_RECORD_SIZE);
static_assert(offsetof(fw15::ipfw_obj_tentry, v) == ENTRY_VALUE_AT &&
              offsetof(fw14::ipfw_obj_tentry, v) == ENTRY_VALUE_AT);
static_assert(offsetof(fw15::ipfw_obj_tentry, head) == 0 && offsetof(fw14::ipfw_obj_tentry, head) == 0);

// No expiry ahead yet: above every 32-bit one.
constexpr uint64_t NO_NEXT = uint64_t{1} << 32;

template <typename T>
T load(const uint8_t* p) {
  T v;
  memcpy(&v, p, sizeof v);
  return v;
}

// The scan with the expiry a Field at value_at of each entry. Every
// instruction of the loop is paid for each entry of every cycle, so it is
// kept lean: the tally is kept in locals and written back once, at the
// end; the entries left are counted down; and of the room left in the
// reply only what lies past one more entry record is kept (spare), so that
// an entry fits when spare is not negative and its own length is within
// spare plus one record (a length below one record wraps around as
// unsigned and fails the same test).
template <typename Field>
bool scan(const uint8_t* reply, uint64_t reply_len, uint32_t count, uint32_t value_at, sweep_cycle* c,
          reply_position* at) {
  const int64_t now = c->now;
  const uint8_t* p = reply + at->offset;
  // A reply's length is at most 32 bits: no overflow either way.
  int64_t spare = static_cast<int64_t>(reply_len - at->offset) - int64_t{ENTRY_RECORD_SIZE};
  const uint32_t to_scan = count > at->index ? count - at->index : 0;
  uint32_t left = to_scan;
  uint64_t unremovable = 0;
  uint64_t next = c->tally.has_next ? c->tally.next_expiry : NO_NEXT;
  bool well_formed = true;
  bool found = false;
  for (; left != 0; left--) {
    if (spare < 0) {
      well_formed = false;
      break;
    }
    const uint32_t len = load<uint32_t>(p + ENTRY_LENGTH_AT);
    if (uint64_t{len} - ENTRY_RECORD_SIZE > static_cast<uint64_t>(spare)) {
      well_formed = false;
      break;
    }
    if (sweep_key_nameable_at(p)) {
      const uint32_t expiry = load<Field>(p + value_at);
      if (now > static_cast<int64_t>(expiry)) {
        found = true;
        break;
      }
      next = std::min<uint64_t>(next, expiry);
    } else {
      unremovable++;
    }
    p += len;
    spare -= len;
  }
  const uint32_t scanned = to_scan - left;
  sweep_tally& t = c->tally;
  t.entries += scanned + (found ? 1 : 0);
  t.unremovable += unremovable;
  if (found) t.due++;
  if (next != NO_NEXT) {
    t.has_next = true;
    t.next_expiry = static_cast<uint32_t>(next);
  }
  *at = {at->index + scanned, static_cast<uint64_t>(p - reply)};
  return well_formed;
}

}  // namespace

bool sweep_reading_of(uint32_t vmask, const value_record_layout& layout, sweep_reading* r) {
  const value_field* f = leading_value_field(layout, vmask);
  if (f == nullptr || !value_field_holds_time(*f)) return false;
  *r = {static_cast<uint32_t>(ENTRY_VALUE_AT + f->offset), f->width};
  return true;
}

bool sweep_scan(const uint8_t* reply, uint64_t reply_len, uint32_t count, sweep_reading r, sweep_cycle* c,
                reply_position* at) {
  switch (r.width) {
    case 1:
      return scan<uint8_t>(reply, reply_len, count, r.offset, c, at);
    case 2:
      return scan<uint16_t>(reply, reply_len, count, r.offset, c, at);
    default:
      return scan<uint32_t>(reply, reply_len, count, r.offset, c, at);
  }
}
