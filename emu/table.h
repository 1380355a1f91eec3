// SPDX-License-Identifier: BSD-2-Clause
// One emulated table: its settings (type, flow fields, value mask,
// kernel index, entry limit, lock) and its entries, kept sorted in listing
// order, each with its value record exactly as it was added (in the layout
// of the kernel the store emulates, emu/stored_value.h).
//
// Owns: its entries (std::map).
// Failure: the entry operations return an errno (EEXIST, EFBIG, ENOENT) and
// write the kernel's per-entry result code; nothing here prints.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "emu/entry_key.h"
#include "emu/stored_value.h"
#include "fwtable/fw_records.h"

struct emu_table {
  std::string name;
  uint8_t type = IPFW_TABLE_ADDR;
  uint8_t tflags = 0;  // flow fields, flow tables only
  uint32_t vmask = IPFW_VTYPE_LEGACY;
  uint32_t kidx = 0;
  uint32_t limit = 0;  // 0: no limit
  bool locked = false;
  std::map<emu_entry_key, emu_value> entries;
};

// Bytes of a full listing of the table: 296 + 120 per entry.
uint64_t emu_table_listing_size(const emu_table& t);

// Adds key with value. Returns 0 (result IPFW_TR_ADDED), EEXIST
// (IPFW_TR_EXISTS) or EFBIG when the entry limit is reached or the listing
// size would no longer fit in 32 bits (IPFW_TR_LIMIT). With update (the
// entry's update-if-present flag), a key that is present has its value
// replaced instead: 0 (IPFW_TR_UPDATED), whatever the limit, the value it
// had put in *old when old is not null.
int emu_table_add(emu_table* t, const emu_entry_key& key, const emu_value& value, uint8_t* result,
                  bool update = false, emu_value* old = nullptr);

// The entry the find request answers for key, or null. An address table
// (a radix tree in the kernel) answers the longest prefix that holds the
// key's address, whatever the key's own mask length: a host finds the
// prefix it lies in. Other tables answer the key itself.
const std::pair<const emu_entry_key, emu_value>* emu_table_find(const emu_table& t, const emu_entry_key& key);

// Removes key, handing its value to *removed when not null. Returns 0
// (IPFW_TR_DELETED) or ENOENT (IPFW_TR_NOTFOUND).
int emu_table_delete(emu_table* t, const emu_entry_key& key, emu_value* removed, uint8_t* result);

// The table's info record as the kernel reports it.
void emu_table_info(const emu_table& t, ipfw_xtable_info* info);

// The lookup algorithm's name for a table type ("addr:radix", ...); "" for
// an unknown type.
const char* emu_algorithm_name(uint8_t type);
