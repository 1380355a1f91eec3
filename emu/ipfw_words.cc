// SPDX-License-Identifier: BSD-2-Clause
#include "emu/ipfw_words.h"

#include "emu/word_split.h"
#include "fwtable/fw_records.h"
#include "fwtable/value_fields.h"

namespace {

using words_t = std::vector<std::string>;

std::string joined(const words_t& w) {
  std::string s;
  for (const std::string& x : w) s += (s.empty() ? "" : " ") + x;
  return s;
}

bool unknown(const words_t& w, std::string* why) {
  *why = "not an ipfw(8) table command the emulator knows: " + joined(w);
  return false;
}

// A number of up to 64 bits in base 10 or, for 16, with or without "0x";
// false for anything else.
bool parse_u64(const std::string& text, int base, uint64_t* out) {
  size_t at = 0;
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) at = 2;
  if (at == text.size()) return false;
  uint64_t n = 0;
  for (; at < text.size(); at++) {
    const char c = text[at];
    unsigned d;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    if (n > (UINT64_MAX - d) / static_cast<unsigned>(base)) return false;
    n = n * static_cast<unsigned>(base) + d;
  }
  *out = n;
  return true;
}

// One field of an ipfw(8) value as the emulator's number or address text.
bool field_text(const value_field& f, const std::string& text, std::string* out, std::string* why) {
  if (f.kind != value_kind::number) {
    *out = text;
    return true;
  }
  const bool is_mark = f.bit == IPFW_VTYPE_MARK;
  uint64_t n;
  if (!parse_u64(text, is_mark ? 16 : 10, &n)) {
    *why = std::string(f.word) + " is " + (is_mark ? "a hexadecimal" : "a decimal") + " number: " + text;
    return false;
  }
  if (f.bit != IPFW_VTYPE_DSCP && f.kept_bits < 64) n &= (uint64_t{1} << f.kept_bits) - 1;
  *out = std::to_string(n);
  return true;
}

}  // namespace

bool emu_commands_from_ipfw(const words_t& w, std::vector<words_t>* commands, std::string* why) {
  commands->clear();
  words_t set;
  size_t at = 0;
  if (w.size() >= 2 && w[0] == "set") {
    set = {"set", w[1]};
    at = 2;
  }
  if (w.size() < at + 3 || w[at] != "table") return unknown(w, why);
  const std::string& name = w[at + 1];
  const std::string& verb = w[at + 2];
  const words_t rest(w.begin() + static_cast<ptrdiff_t>(at) + 3, w.end());
  if (verb == "create") {
    // ipfw(8) has no word for the default value type: FreeBSD 15's refuses
    // "legacy", 14's does not know it.
    for (size_t i = 0; i + 1 < rest.size(); i += 2)
      if (rest[i] == "valtype" && rest[i + 1] == "legacy") return unknown(w, why);
    words_t c = {"create", name};
    c.insert(c.end(), rest.begin(), rest.end());
    c.insert(c.end(), set.begin(), set.end());
    commands->push_back(c);
    return true;
  }
  if (!set.empty()) return unknown(w, why);
  if (verb == "add" && !rest.empty()) {
    for (size_t i = 0; i < rest.size(); i += 2) {
      words_t a = {"add", name, rest[i]};
      if (i + 1 < rest.size()) a.push_back(rest[i + 1]);
      commands->push_back(a);
    }
    return true;
  }
  if ((verb == "lock" || verb == "unlock" || verb == "destroy" || verb == "list" || verb == "info") &&
      rest.empty()) {
    commands->push_back({verb, name});
    return true;
  }
  return unknown(w, why);
}

bool emu_value_from_ipfw(int abi, uint32_t vmask, const std::string& text, std::string* value,
                         std::string* why) {
  if (vmask == IPFW_VTYPE_LEGACY) {
    *value = text;
    return true;
  }
  const value_record_layout& layout = abi == 14 ? fw14::value_layout : fw15::value_layout;
  const words_t given = emu_split(text, ',');
  size_t types = 0;
  for (const value_field& f : layout.fields) types += (vmask & f.bit) != 0 ? 1 : 0;
  if (given.size() != types) {
    *why = "the table has " + std::to_string(types) + " value types; the value gives " +
           std::to_string(given.size()) + " fields";
    return false;
  }
  words_t fields;
  for (const value_field& f : layout.fields) {
    if ((vmask & f.bit) == 0) continue;
    std::string n;
    if (!field_text(f, given[fields.size()], &n, why)) return false;
    fields.push_back(std::string(f.word) + "=" + n);
  }
  value->clear();
  for (const std::string& f : fields) *value += (value->empty() ? "" : ",") + f;
  return true;
}
