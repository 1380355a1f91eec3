// SPDX-License-Identifier: BSD-2-Clause
// A request of a row of kernel answers, apart from its layout, and the
// bytes it is in either kernel's layout. Info and list requests are their
// object header at the start of a buffer of `length` bytes, the rest of
// the buffer filled with FILL (so that a byte the kernel writes shows);
// add and delete requests carry one IPv4 host entry per key after the
// header and the container; a find request carries its one key's entry
// right after the header (216 bytes), or after a container when asked.
//
// Owns: nothing; the bytes built are the caller's.
// Failure: none.
#pragma once

#include <cstdint>
#include <vector>

#include "conform/conform_target.h"

struct answer_request {
  uint16_t opcode;
  uint32_t length = 0;  // info and list: the buffer's length
  table_role table = table_role::main;  // the table the name record names
  int version = -1;  // the op header's version; -1: the one the kernel takes
  uint8_t type = 0;  // the name record's table type
  uint8_t set = 0;  // the name record's set
  uint32_t object_idx = 1;  // the object header's index
  uint16_t name_tlv = IPFW_TLV_TBL_NAME;  // the name record's TLV type
  uint32_t name_idx = 1;  // the name record's index
  uint32_t name_length = 80;  // the name record's TLV length
  std::vector<const char*> keys = {};
  uint32_t entry_length = 120;  // each entry's TLV length
  // Each entry's table index; entries past the end take the last one.
  std::vector<uint32_t> entry_idx = {1};
  uint32_t value = 0;  // each entry's value record: this legacy value
  uint16_t entry_flags = 0;  // each entry's TLV flags
  uint8_t flags = 0;  // the container's flags
  bool find_container = false;  // a find's entry behind a container, as an add's is
  int extra = 0;  // bytes added to (or, negative, cut from) an add or delete
};

// What fills an info or list buffer past its header.
constexpr uint8_t ANSWER_FILL = 0xA5;

// The request's bytes in the layout of FreeBSD abi's kernel (14 or 15),
// naming its table as the role's name under prefix.
std::vector<uint8_t> build_answer_request(const answer_request& r, int abi, const std::string& prefix);

// Where the i-th entry's result byte and value record are in an add or
// delete request (the same places in both layouts).
size_t answer_result_at(size_t i);
size_t answer_value_at(size_t i);
