// SPDX-License-Identifier: BSD-2-Clause
#include "conform/answer_request.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

static_assert(offsetof(fw14::ipfw_obj_tentry, result) == offsetof(fw15::ipfw_obj_tentry, result) &&
              offsetof(fw14::ipfw_obj_tentry, v) == offsetof(fw15::ipfw_obj_tentry, v));

template <typename L>
std::vector<uint8_t> build(const answer_request& r, const std::string& prefix) {
  typename L::obj_header oh;
  memset(&oh, 0, sizeof oh);
  oh.opheader.opcode = r.opcode;
  oh.opheader.version = r.version >= 0 ? static_cast<uint16_t>(r.version) : L::version(r.opcode);
  oh.idx = static_cast<decltype(oh.idx)>(r.object_idx);
  oh.ntlv.head.type = r.name_tlv;
  oh.ntlv.head.length = r.name_length;
  oh.ntlv.idx = static_cast<decltype(oh.ntlv.idx)>(r.name_idx);
  oh.ntlv.set = r.set;
  oh.ntlv.type = r.type;
  const std::string name = conform_table_name(prefix, r.table);
  memcpy(oh.ntlv.name, name.data(), std::min(name.size(), sizeof oh.ntlv.name));
  if (r.opcode == IP_FW_TABLE_XINFO || r.opcode == IP_FW_TABLE_XLIST) {
    std::vector<uint8_t> b(r.length, ANSWER_FILL);
    memcpy(b.data(), &oh, std::min<size_t>(r.length, sizeof oh));
    return b;
  }
  const size_t n = r.keys.size();
  const bool container = r.opcode != IP_FW_TABLE_XFIND || r.find_container;
  const size_t entries_at = sizeof oh + (container ? sizeof(ipfw_obj_ctlv) : 0);
  const size_t natural = entries_at + n * sizeof(typename L::obj_tentry);
  std::vector<uint8_t> b(natural);
  memcpy(b.data(), &oh, sizeof oh);
  if (container) {
    ipfw_obj_ctlv c;
    memset(&c, 0, sizeof c);
    c.head.length = static_cast<uint32_t>(sizeof c + n * sizeof(typename L::obj_tentry));
    c.count = static_cast<uint32_t>(n);
    c.flags = r.flags;
    memcpy(b.data() + sizeof oh, &c, sizeof c);
  }
  for (size_t i = 0; i < n; i++) {
    typename L::obj_tentry e;
    memset(&e, 0, sizeof e);
    e.head.flags = r.entry_flags;
    e.head.length = r.entry_length;
    e.subtype = FW_AF_INET;
    e.masklen = 32;
    e.idx = static_cast<decltype(e.idx)>(r.entry_idx[std::min(i, r.entry_idx.size() - 1)]);
    inet_pton(AF_INET, r.keys[i], e.k.addr4);
    e.v.tag = r.value;
    memcpy(b.data() + entries_at + i * sizeof e, &e, sizeof e);
  }
  b.resize(static_cast<size_t>(static_cast<ptrdiff_t>(natural) + r.extra));
  return b;
}

}  // namespace

std::vector<uint8_t> build_answer_request(const answer_request& r, int abi, const std::string& prefix) {
  return abi == 14 ? build<fw14::layout>(r, prefix) : build<fw15::layout>(r, prefix);
}

size_t answer_result_at(size_t i) {
  return FW_CHANGE_ENTRIES_OFFSET + i * sizeof(ipfw_obj_tentry) + offsetof(ipfw_obj_tentry, result);
}

size_t answer_value_at(size_t i) {
  return FW_CHANGE_ENTRIES_OFFSET + i * sizeof(ipfw_obj_tentry) + offsetof(ipfw_obj_tentry, v);
}
