// SPDX-License-Identifier: BSD-2-Clause
#include "emu/table.h"

#include <cerrno>
#include <cstring>

namespace {

// Largest entry count whose listing size still fits a 32-bit length.
constexpr uint64_t MAX_ENTRIES = (UINT32_MAX - FW_LIST_ENTRIES_OFFSET) / sizeof(ipfw_obj_tentry);

}  // namespace

uint64_t emu_table_listing_size(const emu_table& t) {
  return FW_LIST_ENTRIES_OFFSET + sizeof(ipfw_obj_tentry) * static_cast<uint64_t>(t.entries.size());
}

int emu_table_add(emu_table* t, const emu_entry_key& key, const emu_value& value, uint8_t* result,
                  bool update, emu_value* old) {
  auto present = t->entries.find(key);
  if (present != t->entries.end()) {
    if (!update) {
      *result = IPFW_TR_EXISTS;
      return EEXIST;
    }
    if (old != nullptr) *old = present->second;
    present->second = value;
    *result = IPFW_TR_UPDATED;
    return 0;
  }
  if ((t->limit != 0 && t->entries.size() >= t->limit) || t->entries.size() >= MAX_ENTRIES) {
    *result = IPFW_TR_LIMIT;
    return EFBIG;
  }
  t->entries.emplace(key, value);
  *result = IPFW_TR_ADDED;
  return 0;
}

int emu_table_delete(emu_table* t, const emu_entry_key& key, emu_value* removed, uint8_t* result) {
  auto it = t->entries.find(key);
  if (it == t->entries.end()) {
    *result = IPFW_TR_NOTFOUND;
    return ENOENT;
  }
  if (removed != nullptr) *removed = it->second;
  t->entries.erase(it);
  *result = IPFW_TR_DELETED;
  return 0;
}

const std::pair<const emu_entry_key, emu_value>* emu_table_find(const emu_table& t,
                                                                const emu_entry_key& key) {
  if (t.type != IPFW_TABLE_ADDR) {
    auto it = t.entries.find(key);
    return it == t.entries.end() ? nullptr : &*it;
  }
  const int width = key.family() == FW_AF_INET ? 32 : key.family() == FW_AF_INET6 ? 128 : -1;
  for (int m = width; m >= 0; m--) {
    emu_entry_key prefix;
    if (emu_normalise_key(t.type, t.tflags, key.family(), static_cast<uint8_t>(m), key.key(), &prefix) != 0)
      continue;
    auto it = t.entries.find(prefix);
    if (it != t.entries.end()) return &*it;
  }
  return nullptr;
}

void emu_table_info(const emu_table& t, ipfw_xtable_info* info) {
  memset(info, 0, sizeof *info);
  info->type = t.type;
  info->tflags = t.type == IPFW_TABLE_FLOW ? t.tflags : 0;
  info->flags = t.locked ? IPFW_TGFLAGS_LOCKED : 0;
  info->vmask = t.vmask;
  info->set = 0;  // table sets are disabled: every table is in set 0
  info->kidx = t.kidx;
  info->count = static_cast<uint32_t>(t.entries.size());
  info->size = static_cast<uint32_t>(emu_table_listing_size(t));
  info->limit = t.limit;
  size_t n = t.name.size() < IPFW_TABLE_NAME_MAX ? t.name.size() : IPFW_TABLE_NAME_MAX;
  memcpy(info->tablename, t.name.data(), n);
  const char* algo = emu_algorithm_name(t.type);
  memcpy(info->algoname, algo, strlen(algo));
}

const char* emu_algorithm_name(uint8_t type) {
  switch (type) {
    case IPFW_TABLE_ADDR:
      return "addr:radix";
    case IPFW_TABLE_INTERFACE:
      return "iface:array";
    case IPFW_TABLE_NUMBER:
      return "number:array";
    case IPFW_TABLE_FLOW:
      return "flow:hash";
    case IPFW_TABLE_MAC:
      return "mac:hash";
    default:
      return "";
  }
}
