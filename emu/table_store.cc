// SPDX-License-Identifier: BSD-2-Clause
// Answers the table requests as the kernel does. Every read of the request
// is bounded by the length passed in and copied out with memcpy (the buffer
// may be misaligned); every write stays below that length. The answering
// code is written once for both kernels' layouts (L: fw14::layout or
// fw15::layout); the store's kernel picks one per request.
#include "emu/table_store.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "emu/entry_key.h"
#include "emu/store_state.h"
#include "emu/table_growth.h"
#include "fwtable/fw_records.h"

namespace {

// The sizes and the result byte's place are the same in both layouts.
constexpr size_t HEADER_SIZE = sizeof(fw15::ipfw_obj_header);
constexpr size_t ENTRY_SIZE = sizeof(fw15::ipfw_obj_tentry);
constexpr size_t RESULT_OFFSET = offsetof(fw15::ipfw_obj_tentry, result);
static_assert(HEADER_SIZE == sizeof(fw14::ipfw_obj_header) && ENTRY_SIZE == sizeof(fw14::ipfw_obj_tentry) &&
              RESULT_OFFSET == offsetof(fw14::ipfw_obj_tentry, result));

// Whether a name record's TLV type is one the kernel reads as a table name:
// 0 or the table-name type.
bool names_a_table(uint16_t tlv_type) { return tlv_type == 0 || tlv_type == IPFW_TLV_TBL_NAME; }

// Whether a name record's name is one a table can have: 1 to 63 bytes and
// the NUL.
template <typename Ntlv>
bool table_name_ok(const Ntlv& nt) {
  return memchr(nt.name, 0, sizeof nt.name) != nullptr && nt.name[0] != '\0';
}

// The table a name record names, or null. Its set takes no part: table
// sets are disabled, as by default, so every table is looked up as if in
// set 0.
template <typename Ntlv>
emu_table* table_named(emu_store* s, const Ntlv& nt) {
  auto it = s->tables.find(nt.name);
  return it == s->tables.end() ? nullptr : &it->second;
}

// Finds the table an info or list request names. Neither the object
// header's index nor the name record's index or table type is read; a name
// record the lookup cannot take (another TLV type or length, a name that is
// empty or fills all 64 bytes) finds nothing, as a missing table does:
// ESRCH. The caller has checked that the header fits.
template <typename L>
int find_listed_table(emu_store* s, const uint8_t* b, emu_table** out) {
  typename L::obj_header oh;
  memcpy(&oh, b, sizeof oh);
  const auto& nt = oh.ntlv;
  if (!names_a_table(nt.head.type) || nt.head.length != sizeof nt || !table_name_ok(nt)) return ESRCH;
  *out = table_named(s, nt);
  return *out == nullptr ? ESRCH : 0;
}

// Finds the table an add or delete request names, its entries referring to
// the name record by name_idx. A record of another TLV type, or one whose
// index is not the entries', is not found (ESRCH); one of another length
// or with a name no table can have is EINVAL; the record must give the
// table's own type (0 too is EINVAL). The caller has checked that the
// header fits.
template <typename L>
int find_changed_table(emu_store* s, const uint8_t* b, uint32_t name_idx, emu_table** out) {
  typename L::obj_header oh;
  memcpy(&oh, b, sizeof oh);
  const auto& nt = oh.ntlv;
  if (!names_a_table(nt.head.type)) return ESRCH;
  if (nt.head.length != sizeof nt) return EINVAL;
  if (nt.idx != name_idx) return ESRCH;
  if (!table_name_ok(nt)) return EINVAL;
  emu_table* t = table_named(s, nt);
  if (t == nullptr) return ESRCH;
  if (nt.type != t->type) return EINVAL;
  *out = t;
  return 0;
}

// An info record about to be written into a reply states what a pending
// claim says, not what the table holds.
void take_claim(emu_store* s, ipfw_xtable_info* info) {
  uint32_t items;
  uint32_t size;
  if (!emu_fault_take_claim(&s->faults, &items, &size)) return;
  info->count = items;
  info->size = size;
}

template <typename L>
int answer_info(emu_store* s, uint8_t* b, uint32_t* len) {
  if (*len < FW_INFO_REQUEST_SIZE) return EINVAL;
  emu_table* t;
  if (int e = find_listed_table<L>(s, b, &t)) return e;
  ipfw_xtable_info info;
  emu_table_info(*t, &info);
  take_claim(s, &info);
  memcpy(b + HEADER_SIZE, &info, sizeof info);
  s->written_end = FW_INFO_REQUEST_SIZE;
  emu_fault_arm_grow(&s->faults, t->name);
  uint32_t short_len;
  *len = emu_fault_take_short_info(&s->faults, &short_len) ? short_len : FW_INFO_REQUEST_SIZE;
  return 0;
}

// Spoils a list reply as a pending fault asks.
void corrupt_list(emu_list_fault kind, uint8_t* b, uint32_t count) {
  uint32_t len;
  switch (kind) {
    case emu_list_fault::zero_length:
      len = 0;
      memcpy(b + FW_LIST_ENTRIES_OFFSET + offsetof(ipfw_obj_tlv, length), &len, sizeof len);
      break;
    case emu_list_fault::past_end:
      // The last entry claims twice its size: it runs 120 bytes past the
      // reported end of the reply.
      len = 2 * ENTRY_SIZE;
      memcpy(b + FW_LIST_ENTRIES_OFFSET + (count - 1) * ENTRY_SIZE + offsetof(ipfw_obj_tlv, length), &len,
             sizeof len);
      break;
    case emu_list_fault::count:
      len = count + 1;
      memcpy(b + HEADER_SIZE + offsetof(ipfw_xtable_info, count), &len, sizeof len);
      break;
    case emu_list_fault::none:
      break;
  }
}

// A list buffer smaller than the listing: ENOMEM. The kernel has written
// the table's info record, with its current size and count, behind the
// request's header by then (where the buffer holds it), and that stays in
// the caller's buffer; the length is left as passed, as on every failure.
int list_too_small(emu_store* s, const emu_table& t, uint8_t* b, uint32_t len) {
  if (len >= FW_INFO_REQUEST_SIZE) {
    ipfw_xtable_info info;
    emu_table_info(t, &info);
    take_claim(s, &info);
    memcpy(b + HEADER_SIZE, &info, sizeof info);
    s->written_end = FW_INFO_REQUEST_SIZE;
  }
  return ENOMEM;
}

template <typename L>
int answer_list(emu_store* s, uint8_t* b, uint32_t* len) {
  // A buffer without room for the info record is refused before anything
  // is looked up or written.
  if (*len < FW_INFO_REQUEST_SIZE) return EINVAL;
  emu_table* t;
  if (int e = find_listed_table<L>(s, b, &t)) return e;
  // The table is held from here to the end of the reply: nothing else
  // changes it while the listing is written.
  ipfw_xtable_info info;
  emu_table_info(*t, &info);
  if (*len < info.size) return list_too_small(s, *t, b, *len);
  memcpy(b + HEADER_SIZE, &info, sizeof info);
  size_t off = FW_LIST_ENTRIES_OFFSET;
  for (const auto& [key, value] : t->entries) {
    typename L::obj_tentry e;
    memset(&e, 0, sizeof e);
    e.head.length = ENTRY_SIZE;
    emu_key_to_entry(key, &e);
    e.v = emu_value_as<typename L::table_value>(value);
    memcpy(b + off, &e, sizeof e);
    off += ENTRY_SIZE;
  }
  corrupt_list(emu_fault_take_list(&s->faults, info.count), b, info.count);
  s->written_end = info.size;
  *len = info.size;
  if (emu_fault_take_destroy_after_list(&s->faults)) {
    const std::string name = t->name;  // the key outlives the table it names
    s->tables.erase(name);
  }
  std::vector<std::string> remake;
  if (emu_fault_take_recreate_after_list(&s->faults, &remake)) {
    // Checked when the fault was set: it succeeds but for memory.
    const std::string name = t->name;
    std::string ignored;
    emu_store_remake_table(s, name, remake, &ignored);
  }
  return 0;
}

// What an atomic add request has changed so far: a key it added, or one
// it updated with the value the key had before.
struct applied_add {
  emu_entry_key key;
  bool updated;
  emu_value old;
};

// Undoes the changes of an atomic add request made so far, in reverse: an
// added key is deleted, an updated one gets its old value back.
void undo_adds(emu_table* t, const std::vector<applied_add>& applied) {
  uint8_t ignored;
  for (auto it = applied.rbegin(); it != applied.rend(); ++it) {
    if (it->updated)
      t->entries[it->key] = it->old;
    else
      emu_table_delete(t, it->key, nullptr, &ignored);
  }
}

template <typename L>
int answer_change(emu_store* s, bool add, uint8_t* b, uint32_t* len) {
  const uint64_t n_len = *len;
  if (n_len < FW_CHANGE_ENTRIES_OFFSET) return EINVAL;
  ipfw_obj_ctlv ctlv;
  memcpy(&ctlv, b + HEADER_SIZE, sizeof ctlv);
  if (HEADER_SIZE + static_cast<uint64_t>(ctlv.head.length) != n_len) return EINVAL;
  if (FW_CHANGE_ENTRIES_OFFSET + ENTRY_SIZE * static_cast<uint64_t>(ctlv.count) != n_len) return EINVAL;

  // A request of no entries succeeds before anything else is read, and
  // writes back length 0.
  const uint32_t n = ctlv.count;
  if (n == 0) {
    *len = 0;
    return 0;
  }

  // Every entry's shape first; nothing is applied unless all are sound.
  // Entries of one request refer to one name record: indexes that differ
  // are a request the kernel does not support.
  auto entry_at = [b](uint32_t i) {
    typename L::obj_tentry e;
    memcpy(&e, b + FW_CHANGE_ENTRIES_OFFSET + static_cast<size_t>(i) * ENTRY_SIZE, ENTRY_SIZE);
    return e;
  };
  const uint32_t name_idx = entry_at(0).idx;
  for (uint32_t i = 0; i < n; i++) {
    typename L::obj_tentry e = entry_at(i);
    if (e.head.length != ENTRY_SIZE) return EINVAL;
    if (e.idx != name_idx) return ENOTSUP;
  }
  emu_table* t;
  if (int e = find_changed_table<L>(s, b, name_idx, &t)) return e;
  if (t->locked) return EACCES;
  std::vector<emu_entry_key> keys(n);
  for (uint32_t i = 0; i < n; i++) {
    typename L::obj_tentry e = entry_at(i);
    if (emu_normalise_key(t->type, t->tflags, e.subtype, e.masklen, e.k.raw, &keys[i]) != 0) return EINVAL;
  }

  // Every entry is tried and the first failure is the request's answer;
  // the entries that could be applied stay applied. An added entry whose
  // TLV flags hold the update flag replaces the value of a present key
  // (result updated) instead of failing with EEXIST; other flag bits are
  // not read. An atomic add stops at its first failure and undoes what it
  // added and updated; the atomic flag does not undo a delete. The result
  // bytes say what became of each entry; an entry's value record is left
  // as the request sent it (a delete does not report the value it removed,
  // nor an update the value it replaced).
  const bool undo_on_failure = add && (ctlv.flags & IPFW_CTF_ATOMIC) != 0;
  std::vector<applied_add> applied;
  if (undo_on_failure) applied.reserve(n);  // no allocation between applying and recording
  int first_error = 0;
  for (uint32_t i = 0; i < n; i++) {
    uint8_t result;
    const typename L::obj_tentry e_i = entry_at(i);
    applied_add done{keys[i], false, {}};
    int e = add ? emu_table_add(t, keys[i], emu_value_of(e_i.v), &result,
                                (e_i.head.flags & IPFW_TF_UPDATE) != 0, &done.old)
                : emu_table_delete(t, keys[i], nullptr, &result);
    b[FW_CHANGE_ENTRIES_OFFSET + static_cast<size_t>(i) * ENTRY_SIZE + RESULT_OFFSET] = result;
    s->written_end =
        static_cast<uint32_t>(FW_CHANGE_ENTRIES_OFFSET + (static_cast<size_t>(i) + 1) * ENTRY_SIZE);
    if (e == 0) {
      done.updated = result == IPFW_TR_UPDATED;
      if (undo_on_failure) applied.push_back(done);
      continue;
    }
    if (first_error == 0) first_error = e;
    if (undo_on_failure) {
      undo_adds(t, applied);
      return e;
    }
  }
  return first_error;
}

// The find request: the object header and one entry (no container),
// exactly 216 bytes. The name record is read as an add's is (its length
// must be 80, its index the entry's, its table type the table's own); the
// entry's key family, mask length and key are read, not its TLV head. The
// reply is the request with the entry's key, mask length and value those
// of the entry found (emu_table_find: an address table answers the longest
// prefix holding the key's address, whatever mask length the request
// gives); its length stays 216. No entry found: ENOENT.
template <typename L>
int answer_find(emu_store* s, uint8_t* b, uint32_t* len) {
  if (*len != FW_FIND_REQUEST_SIZE) return EINVAL;
  typename L::obj_tentry e;
  memcpy(&e, b + HEADER_SIZE, sizeof e);
  emu_table* t;
  if (int err = find_changed_table<L>(s, b, e.idx, &t)) return err;
  // An address is looked up whatever mask length comes with it.
  uint8_t masklen = e.masklen;
  if (t->type == IPFW_TABLE_ADDR) masklen = e.subtype == FW_AF_INET6 ? 128 : 32;
  emu_entry_key key;
  if (emu_normalise_key(t->type, t->tflags, e.subtype, masklen, e.k.raw, &key) != 0) return ENOENT;
  const auto* found = emu_table_find(*t, key);
  if (found == nullptr) return ENOENT;
  emu_key_to_entry(found->first, &e);
  e.v = emu_value_as<typename L::table_value>(found->second);
  memcpy(b + HEADER_SIZE, &e, sizeof e);
  s->written_end = FW_FIND_REQUEST_SIZE;
  return 0;
}

// A pending injected failure for this request, if any: its errno, or 0
// when none. An injected ENOMEM on a list request answers as a buffer too
// small for the listing does.
template <typename L>
int injected_failure(emu_store* s, uint16_t opcode, uint8_t* b, uint32_t len) {
  emu_faults::fail f;
  if (!emu_fault_take_fail(&s->faults, opcode, &f)) return 0;
  emu_table* t;
  if (f.error == ENOMEM && opcode == IP_FW_TABLE_XLIST && len >= HEADER_SIZE &&
      find_listed_table<L>(s, b, &t) == 0)
    return list_too_small(s, *t, b, len);
  return f.error;
}

// A table that grows between an info request and the list request that
// follows it (fault grow) gets its new entries before the list request is
// answered, whatever the answer is.
template <typename L>
void grow_before_list(emu_store* s, const uint8_t* b, uint32_t len) {
  emu_table* t;
  if (len < HEADER_SIZE || find_listed_table<L>(s, b, &t) != 0) return;
  uint32_t n;
  if (emu_fault_take_grow(&s->faults, t->name, &n)) emu_table_grow(t, s->abi, n);
}

// Whether the kernel has a handler for this opcode at this version.
template <typename L>
bool has_request(uint16_t opcode, uint16_t version) {
  switch (opcode) {
    case IP_FW_TABLE_XINFO:
    case IP_FW_TABLE_XLIST:
    case IP_FW_TABLE_XDEL:
    case IP_FW_TABLE_XADD:
    case IP_FW_TABLE_XFIND:
      return version == L::version(opcode);
    default:
      return false;
  }
}

template <typename L>
int answer_as(emu_store* s, const ip_fw3_opheader& op, uint8_t* b, uint32_t* len) {
  // The kernel looks the request up by opcode and version before anything
  // else; one it has no handler for is refused as a whole.
  if (!has_request<L>(op.opcode, op.version)) return EINVAL;
  if (op.opcode == IP_FW_TABLE_XLIST) grow_before_list<L>(s, b, *len);
  if (int e = injected_failure<L>(s, op.opcode, b, *len)) return e;
  switch (op.opcode) {
    case IP_FW_TABLE_XINFO:
      return answer_info<L>(s, b, len);
    case IP_FW_TABLE_XLIST:
      return answer_list<L>(s, b, len);
    case IP_FW_TABLE_XDEL:
      return answer_change<L>(s, false, b, len);
    case IP_FW_TABLE_XFIND:
      return answer_find<L>(s, b, len);
    default:
      return answer_change<L>(s, true, b, len);
  }
}

int answer(emu_store* s, uint8_t* b, uint32_t* len) {
  s->written_end = 0;
  if (*len < sizeof(ip_fw3_opheader)) {
    s->stats.requests[0]++;
    return EINVAL;
  }
  ip_fw3_opheader op;
  memcpy(&op, b, sizeof op);
  s->stats.requests[op.opcode]++;
  emu_fault_delay(&s->faults);
  return s->abi == 14 ? answer_as<fw14::layout>(s, op, b, len) : answer_as<fw15::layout>(s, op, b, len);
}

}  // namespace

emu_store* emu_store_new(int abi) {
  emu_store* s = new emu_store;
  s->abi = abi == 14 ? 14 : 15;
  return s;
}

void emu_store_free(emu_store* store) { delete store; }

int emu_store_get(emu_store* store, void* buf, uint32_t* len) {
  // getsockopt copies the option length back only when the request
  // succeeds: a failed one leaves the caller's length as it was passed.
  uint32_t reply_len = *len;
  int e;
  try {
    e = answer(store, static_cast<uint8_t*>(buf), &reply_len);
  } catch (const std::bad_alloc&) {
    e = ENOMEM;
  }
  if (e == 0) {
    *len = reply_len;
    return 0;
  }
  errno = e;
  return -1;
}

int emu_store_fwctl_handler(void* ctx, void* buf, uint32_t* len) {
  return emu_store_get(static_cast<emu_store*>(ctx), buf, len);
}

void emu_store_count_connection(emu_store* store) { store->stats.connections++; }
