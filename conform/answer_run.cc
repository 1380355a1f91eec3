// SPDX-License-Identifier: BSD-2-Clause
#include "conform/answer_run.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

bool is_change(uint16_t opcode) { return opcode == IP_FW_TABLE_XADD || opcode == IP_FW_TABLE_XDEL; }

// Collects what differed, one clause each.
struct verdict {
  std::string text;
  void differs(const std::string& what) { text += (text.empty() ? "" : "; ") + what; }
  void expect(bool ok, const std::string& what) {
    if (!ok) differs(what);
  }
};

std::string setup(const std::vector<std::string>& commands, const conform_target& t) {
  for (const std::string& c : commands) {
    std::vector<std::string> words = conform_admin_words(t.prefix, c);
    if (int st = t.admin(words)) {
      std::string said;
      for (const std::string& w : words) said += (said.empty() ? "" : " ") + w;
      return "setup \"" + said + "\" failed with status " + std::to_string(st);
    }
  }
  return "";
}

// The request's bytes as sent with the result bytes of its entries taken
// from the reply: what a request that may mark only those comes back as.
bytes with_results(const bytes& sent, const bytes& reply, size_t entries) {
  bytes b = sent;
  for (size_t i = 0; i < entries; i++) {
    const size_t at = answer_result_at(i);
    if (at < b.size()) b[at] = reply[at];
  }
  return b;
}

// The legacy values of the IPv4 hosts of the main table, from one list
// request in the target's layout: "" with *values filled, or what failed.
std::string listed_values(const conform_target& t, std::map<std::string, uint32_t>* values) {
  ipfw_xtable_info info;
  if (int e = conform_info(t, conform_table_name(t.prefix, table_role::main), &info))
    return "info afterwards failed with " + conform_errno_name(e);
  answer_request list{.opcode = IP_FW_TABLE_XLIST, .length = info.size + 44};
  bytes b = build_answer_request(list, t.abi, t.prefix);
  uint32_t len = static_cast<uint32_t>(b.size());
  if (t.get(t.get_ctx, b.data(), &len) != 0)
    return "the list afterwards failed with " + conform_errno_name(errno);
  for (size_t off = FW_LIST_ENTRIES_OFFSET; off + sizeof(ipfw_obj_tentry) <= len;
       off += sizeof(ipfw_obj_tentry)) {
    ipfw_obj_tentry e;
    memcpy(&e, b.data() + off, sizeof e);
    if (e.subtype != FW_AF_INET || e.masklen != 32) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, e.k.addr4, text, sizeof text);
    uint32_t tag;
    memcpy(&tag, b.data() + off + offsetof(ipfw_obj_tentry, v), sizeof tag);
    (*values)[text] = tag;
  }
  return "";
}

}  // namespace

std::string run_kernel_answer(const kernel_answer& row, const conform_target& t) {
  if (row.sequence != nullptr) return row.sequence(t);
  if (std::string e = setup(kernel_answer_common_setup(), t); !e.empty()) return e;
  if (std::string e = setup(row.setup, t); !e.empty()) return e;

  const answer_request& r = row.req;
  const answer_outcome& w = row.want;
  bytes b = build_answer_request(r, t.abi, t.prefix);
  const bytes sent = b;
  const uint32_t passed = static_cast<uint32_t>(b.size());
  uint32_t len = passed;
  errno = 0;
  const int rc = t.get(t.get_ctx, b.data(), &len);
  const int err = rc == 0 ? 0 : errno;

  verdict v;
  if (w.err == 0) {
    if (rc != 0) return "failed with " + conform_errno_name(err) + ", not success";
    v.expect(len == w.len, "wrote back length " + std::to_string(len) + ", not " + std::to_string(w.len));
  } else {
    if (rc == 0) return "succeeded (length " + std::to_string(len) + "), not " + conform_errno_name(w.err);
    if (err != w.err) return "failed with " + conform_errno_name(err) + ", not " + conform_errno_name(w.err);
    v.expect(len == passed, "changed the length of a failed request to " + std::to_string(len));
  }
  const size_t header = std::min<size_t>(b.size(), sizeof(ipfw_obj_header));
  v.expect(std::equal(b.begin(), b.begin() + static_cast<ptrdiff_t>(header), sent.begin()),
           "changed the object header");

  const size_t entries = is_change(r.opcode) ? r.keys.size() : 0;
  if (w.info_count >= 0) {
    ipfw_xtable_info info;
    memcpy(&info, b.data() + sizeof(ipfw_obj_header), sizeof info);
    v.expect(info.count == static_cast<uint32_t>(w.info_count),
             "info record's count " + std::to_string(info.count) + ", not " + std::to_string(w.info_count));
    v.expect(info.size == w.info_size,
             "info record's size " + std::to_string(info.size) + ", not " + std::to_string(w.info_size));
    if (w.info_set >= 0)
      v.expect(info.set == static_cast<uint32_t>(w.info_set),
               "info record's set " + std::to_string(info.set) + ", not " + std::to_string(w.info_set));
  } else if (w.err != 0) {
    v.expect(b == with_results(sent, b, entries), "a refused request was not left as it was sent");
  }
  for (size_t i = 0; i < w.results.size(); i++) {
    const uint8_t got = b[answer_result_at(i)];
    v.expect(got == w.results[i], "entry " + std::to_string(i + 1) + "'s result " + std::to_string(got) +
                                      ", not " + std::to_string(w.results[i]));
  }
  if (r.opcode == IP_FW_TABLE_XDEL) {
    // A delete does not report the values it removed.
    const size_t value_size = sizeof(ipfw_table_value);
    for (size_t i = 0; i < entries && answer_value_at(i) + value_size <= b.size(); i++)
      v.expect(memcmp(b.data() + answer_value_at(i), sent.data() + answer_value_at(i), value_size) == 0,
               "entry " + std::to_string(i + 1) + "'s value record is not as sent");
  }
  if (w.found_key != nullptr && rc == 0 && b.size() >= FW_FIND_REQUEST_SIZE) {
    // The tag lies first in both layouts' value records.
    ipfw_obj_tentry e;
    memcpy(&e, b.data() + sizeof(ipfw_obj_header), sizeof e);
    uint8_t want_key[4] = {};
    inet_pton(AF_INET, w.found_key, want_key);
    uint32_t tag;
    memcpy(&tag, b.data() + sizeof(ipfw_obj_header) + offsetof(ipfw_obj_tentry, v), sizeof tag);
    char got[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, e.k.addr4, got, sizeof got);
    v.expect(e.subtype == FW_AF_INET && memcmp(e.k.addr4, want_key, 4) == 0 && e.masklen == w.found_masklen,
             "found " + std::string(got) + "/" + std::to_string(e.masklen) + " (family " +
                 std::to_string(e.subtype) + "), not " + w.found_key + "/" + std::to_string(w.found_masklen));
    v.expect(tag == w.found_value,
             "found the value " + std::to_string(tag) + ", not " + std::to_string(w.found_value));
  }
  if (!w.values_after.empty()) {
    std::map<std::string, uint32_t> values;
    if (std::string e = listed_values(t, &values); !e.empty()) {
      v.differs(e);
    } else {
      for (const auto& [key, value] : w.values_after) {
        auto it = values.find(key);
        if (it == values.end())
          v.differs(std::string(key) + " is not in the table afterwards");
        else
          v.expect(it->second == value, std::string(key) + " holds " + std::to_string(it->second) +
                                            " afterwards, not " + std::to_string(value));
      }
    }
  }
  if (w.entries_after >= 0) {
    ipfw_xtable_info info;
    if (int e = conform_info(t, conform_table_name(t.prefix, table_role::main), &info))
      v.differs("info afterwards failed with " + conform_errno_name(e));
    else
      v.expect(info.count == static_cast<uint32_t>(w.entries_after),
               "the table holds " + std::to_string(info.count) + " entries afterwards, not " +
                   std::to_string(w.entries_after));
  }
  return v.text;
}
