// SPDX-License-Identifier: BSD-2-Clause
// The administrative commands of the fwemu tool, run against the store:
// create, add, fill, delete, list, info, lock, unlock, flush, destroy,
// fault, stats, and ipfw (ipfw(8)'s words for these, emu/ipfw_words.h).
// Words come as the tool received them after the program name.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "emu/admin_status.h"
#include "emu/ipfw_words.h"
#include "emu/key_text.h"
#include "emu/number_word.h"
#include "emu/store_state.h"
#include "emu/table_store.h"
#include "emu/table_words.h"
#include "emu/value_text.h"
#include "fwtable/entry_render.h"

namespace {

using words_t = std::vector<std::string>;

const char* usage_text =
    "usage: create NAME [type addr|iface|number|flow:FIELD,...|mac] [valtype legacy|TYPE,...]\n"
    "              [limit N] [set N]\n"
    "       add NAME KEY [VALUE] | fill NAME ADDRESS COUNT [VALUE [STEP]]\n"
    "       delete NAME KEY | list NAME | info NAME\n"
    "       lock NAME | unlock NAME | flush NAME | destroy NAME\n"
    "       fault ... | stats\n"
    "       ipfw [set N] table NAME create|add|lock|unlock|destroy|list|info ...";

int fail(std::string* out, int status, const std::string& message) {
  *out = message;
  return status;
}

int usage(std::string* out) { return fail(out, EMU_USAGE, usage_text); }

bool valid_table_name(const std::string& name) {
  if (name.empty() || name.size() > IPFW_TABLE_NAME_MAX) return false;
  for (unsigned char c : name)
    if (c <= ' ' || c >= 0x7f) return false;
  return true;
}

// The named table, or a failure status with its message.
int find(emu_store* s, const std::string& name, emu_table** t, std::string* out) {
  auto it = s->tables.find(name);
  if (it == s->tables.end()) return fail(out, EMU_NO_TABLE, "no such table: " + name);
  *t = &it->second;
  return 0;
}

int refused(std::string* out, const emu_table& t, const std::string& what, int err) {
  const char* text = err == EEXIST   ? "record already exists"
                     : err == ENOENT ? "record not found"
                     : err == EFBIG  ? "limit hit"
                     : err == EACCES ? "table is locked"
                                     : strerror(err);
  return fail(out, EMU_REFUSED, t.name + (what.empty() ? "" : ": " + what) + ": " + text);
}

// The kernel index a new table gets: the lowest one no table holds (a
// destroyed table's index is free again).
uint32_t lowest_free_kidx(const emu_store& s) {
  std::vector<bool> used(s.tables.size() + 2, false);
  for (const auto& [name, t] : s.tables)
    if (t.kidx < used.size()) used[t.kidx] = true;
  uint32_t k = 1;
  while (used[k]) k++;
  return k;
}

int create(emu_store* s, const words_t& w, std::string* out) {
  if (w.size() < 2 || w.size() % 2 != 0) return usage(out);
  emu_table t;
  t.name = w[1];
  if (!valid_table_name(t.name))
    return fail(out, EMU_BAD_DATA, "bad table name (1 to 63 printable characters, no blanks): " + t.name);
  for (size_t i = 2; i < w.size(); i += 2) {
    const std::string& opt = w[i];
    const std::string& arg = w[i + 1];
    if (opt == "type") {
      if (!emu_type_from_word(arg, &t.type, &t.tflags))
        return fail(out, EMU_BAD_DATA, "bad table type: " + arg);
    } else if (opt == "valtype") {
      if (!emu_vmask_from_word(arg, &t.vmask)) return fail(out, EMU_BAD_DATA, "bad value type: " + arg);
    } else if (opt == "limit") {
      if (!emu_parse_u32(arg, UINT32_MAX, &t.limit)) return fail(out, EMU_BAD_DATA, "bad limit: " + arg);
    } else if (opt == "set") {
      // Taken and checked, and then, as table sets are disabled, not used.
      uint32_t set;
      if (!emu_parse_u32(arg, 31, &set)) return fail(out, EMU_BAD_DATA, "bad set (0 to 31): " + arg);
    } else {
      return usage(out);
    }
  }
  if (s->tables.count(t.name) != 0) return fail(out, EMU_REFUSED, "table already exists: " + t.name);
  t.kidx = lowest_free_kidx(*s);
  std::string name = t.name;
  s->tables.emplace(name, std::move(t));
  return 0;
}

int parse_key(const emu_table& t, const std::string& text, emu_entry_key* key, std::string* out) {
  std::string why;
  if (emu_parse_key(t, text, key, &why)) return 0;
  std::string msg = std::string("bad key for ") + emu_type_word(t.type) + " table: " + text;
  if (!why.empty()) msg += " (" + why + ")";
  return fail(out, EMU_BAD_DATA, msg);
}

int add(emu_store* s, const words_t& w, std::string* out) {
  if (w.size() != 3 && w.size() != 4) return usage(out);
  emu_table* t;
  if (int st = find(s, w[1], &t, out)) return st;
  emu_entry_key key;
  if (int st = parse_key(*t, w[2], &key, out)) return st;
  emu_value value{};
  std::string why;
  if (w.size() == 4 && !emu_parse_value(s->abi, t->vmask, w[3], &value, &why))
    return fail(out, EMU_BAD_DATA, "bad value " + w[3] + ": " + why);
  if (t->locked) return refused(out, *t, "", EACCES);
  uint8_t result;
  if (int e = emu_table_add(t, key, value, &result)) return refused(out, *t, w[2], e);
  return 0;
}

// Adds n << shift to the big-endian number a[0..len); false when the sum
// does not fit (a is then unusable).
bool add_shifted(uint8_t* a, size_t len, uint64_t n, unsigned shift) {
  unsigned q = shift / 8, r = shift % 8;
  // n << r in nine bytes, least significant first.
  uint8_t addend[9];
  uint64_t lo = n << r;
  uint64_t hi = r == 0 ? 0 : n >> (64 - r);
  for (unsigned j = 0; j < 8; j++) addend[j] = static_cast<uint8_t>(lo >> (8 * j));
  addend[8] = static_cast<uint8_t>(hi);
  unsigned carry = 0;
  for (size_t j = 0; j < len; j++) {
    size_t pos = len - 1 - j;
    unsigned add = (j >= q && j - q < sizeof addend) ? addend[j - q] : 0;
    unsigned sum = a[pos] + add + carry;
    a[pos] = static_cast<uint8_t>(sum);
    carry = sum >> 8;
  }
  if (carry != 0) return false;
  for (unsigned j = 0; j < sizeof addend; j++)
    if (addend[j] != 0 && j + q >= len) return false;
  return true;
}

// fill NAME ADDRESS COUNT [VALUE [STEP]]: COUNT entries of an address
// table, the first ADDRESS (a host or a prefix), each next one STEP
// prefixes of the same length further on, all with VALUE. All or nothing:
// a key that exists, the limit or the end of the family refuses the whole
// fill before anything is added.
int fill(emu_store* s, const words_t& w, std::string* out) {
  if (w.size() < 4 || w.size() > 6) return usage(out);
  emu_table* t;
  if (int st = find(s, w[1], &t, out)) return st;
  if (t->type != IPFW_TABLE_ADDR) return fail(out, EMU_BAD_DATA, "fill needs an address table: " + t->name);
  emu_entry_key first;
  if (int st = parse_key(*t, w[2], &first, out)) return st;
  uint32_t count = 0, step = 1;
  if (!emu_parse_u32(w[3], UINT32_MAX, &count)) return fail(out, EMU_BAD_DATA, "bad count: " + w[3]);
  emu_value value{};
  std::string why;
  if (w.size() >= 5 && !emu_parse_value(s->abi, t->vmask, w[4], &value, &why))
    return fail(out, EMU_BAD_DATA, "bad value " + w[4] + ": " + why);
  if (w.size() == 6 && (!emu_parse_u32(w[5], UINT32_MAX, &step) || step == 0))
    return fail(out, EMU_BAD_DATA, "bad step: " + w[5]);
  if (t->locked) return refused(out, *t, "", EACCES);
  if (count == 0) return 0;

  const size_t len = first.family() == FW_AF_INET ? 4 : 16;
  const unsigned shift = static_cast<unsigned>(len * 8 - first.masklen());
  auto key_at = [&](uint32_t i, emu_entry_key* k) {
    *k = first;
    return add_shifted(k->bytes.data() + 1, len, uint64_t{i} * step, shift);
  };
  emu_entry_key k;
  if (!key_at(count - 1, &k)) return fail(out, EMU_BAD_DATA, "fill runs past the last address: " + w[2]);
  uint64_t room =
      t->limit == 0 ? UINT64_MAX : (t->entries.size() < t->limit ? t->limit - t->entries.size() : 0);
  uint64_t listing = emu_table_listing_size(*t) + uint64_t{count} * sizeof(ipfw_obj_tentry);
  if (count > room || listing > UINT32_MAX) return refused(out, *t, "", EFBIG);
  for (uint32_t i = 0; i < count; i++) {
    key_at(i, &k);
    if (t->entries.count(k) != 0) return refused(out, *t, emu_key_text(*t, k), EEXIST);
  }
  // Keys come in listing order: each goes in right after the one before.
  auto hint = t->entries.end();
  for (uint32_t i = 0; i < count; i++) {
    key_at(i, &k);
    hint = t->entries.emplace_hint(hint, k, value);
    ++hint;
  }
  return 0;
}

int del(emu_store* s, const words_t& w, std::string* out) {
  if (w.size() != 3) return usage(out);
  emu_table* t;
  if (int st = find(s, w[1], &t, out)) return st;
  emu_entry_key key;
  if (int st = parse_key(*t, w[2], &key, out)) return st;
  if (t->locked) return refused(out, *t, "", EACCES);
  uint8_t result;
  if (int e = emu_table_delete(t, key, nullptr, &result)) return refused(out, *t, w[2], e);
  return 0;
}

int list(emu_store* s, const words_t& w, std::string* out) {
  if (w.size() != 2) return usage(out);
  emu_table* t;
  if (int st = find(s, w[1], &t, out)) return st;
  out->clear();
  for (const auto& [key, value] : t->entries) {
    char text[ENTRY_TEXT_SIZE];
    emu_value_text(s->abi, t->vmask, value, text);
    text[ENTRY_TEXT_SIZE - 1] = '\0';
    *out += emu_key_text(*t, key) + " " + text + "\n";
  }
  return 0;
}

int info(emu_store* s, const words_t& w, std::string* out) {
  if (w.size() != 2) return usage(out);
  emu_table* t;
  if (int st = find(s, w[1], &t, out)) return st;
  ipfw_xtable_info i;
  emu_table_info(*t, &i);
  *out = "name: " + t->name + "\n" +  //
         "type: " + emu_type_word(t->type) + "\n" +  //
         "algorithm: " + i.algoname + "\n" +  //
         "flow fields: " + emu_tflags_words(i.tflags) + "\n" +  //
         "value mask: " + emu_vmask_words(t->vmask) + "\n" +  //
         "set: " + std::to_string(i.set) + "\n" +  //
         "kernel index: " + std::to_string(i.kidx) + "\n" +  //
         "count: " + std::to_string(i.count) + "\n" +  //
         "size: " + std::to_string(i.size) + "\n" +  //
         "limit: " + std::to_string(i.limit) + "\n" +  //
         "locked: " + (t->locked ? "yes" : "no") + "\n";
  return 0;
}

// lock, unlock, flush, destroy.
int table_verb(emu_store* s, const words_t& w, std::string* out) {
  if (w.size() != 2) return usage(out);
  emu_table* t;
  if (int st = find(s, w[1], &t, out)) return st;
  const std::string& verb = w[0];
  if (verb == "lock") {
    t->locked = true;
  } else if (verb == "unlock") {
    t->locked = false;
  } else if (t->locked) {
    return refused(out, *t, "", EACCES);
  } else if (verb == "flush") {
    t->entries.clear();
  } else {
    s->tables.erase(w[1]);
  }
  return 0;
}

int stats(emu_store* s, const words_t& w, std::string* out) {
  if (w.size() != 1) return usage(out);
  const emu_stats& st = s->stats;
  auto count = [&](uint16_t op) {
    auto it = st.requests.find(op);
    return std::to_string(it == st.requests.end() ? 0 : it->second);
  };
  uint64_t other = 0;
  for (const auto& [op, n] : st.requests)
    if (op != IP_FW_TABLE_XINFO && op != IP_FW_TABLE_XLIST && op != IP_FW_TABLE_XDEL &&
        op != IP_FW_TABLE_XADD && op != IP_FW_TABLE_XFIND)
      other += n;
  *out = "connections: " + std::to_string(st.connections) + "\n" +  //
         "admin commands: " + std::to_string(st.admin_commands) + "\n" +  //
         "requests 93: " + count(IP_FW_TABLE_XINFO) + "\n" +  //
         "requests 89: " + count(IP_FW_TABLE_XLIST) + "\n" +  //
         "requests 87: " + count(IP_FW_TABLE_XDEL) + "\n" +  //
         "requests 86: " + count(IP_FW_TABLE_XADD) + "\n" +  //
         "requests 106: " + count(IP_FW_TABLE_XFIND) + "\n" +  //
         "requests other: " + std::to_string(other) + "\n";
  return 0;
}

int run_verb(emu_store* s, const words_t& w, std::string* out);

// ipfw WORDS...: the commands ipfw(8)'s words stand for, run in turn, each
// add's value read as ipfw(8) reads it for the table it names; the first
// that fails ends it with its status and message. The texts of list and
// info are printed as those verbs print them.
int ipfw(emu_store* s, const words_t& w, std::string* out) {
  std::vector<words_t> commands;
  std::string why;
  if (!emu_commands_from_ipfw(words_t(w.begin() + 1, w.end()), &commands, &why))
    return fail(out, EMU_USAGE, why);
  std::string text;
  for (words_t& c : commands) {
    if (c[0] == "add" && c.size() == 4) {
      // A missing table is left to the add to report.
      auto it = s->tables.find(c[1]);
      std::string value;
      if (it != s->tables.end()) {
        if (!emu_value_from_ipfw(s->abi, it->second.vmask, c[3], &value, &why))
          return fail(out, EMU_BAD_DATA, "bad value " + c[3] + ": " + why);
        c[3] = value;
      }
    }
    std::string part;
    if (int st = run_verb(s, c, &part)) return fail(out, st, part);
    text += part;
  }
  *out = text;
  return 0;
}

// Every verb but ipfw.
int run_verb(emu_store* s, const words_t& w, std::string* out) {
  if (w.empty()) return usage(out);
  const std::string& verb = w[0];
  if (verb == "create") return create(s, w, out);
  if (verb == "add") return add(s, w, out);
  if (verb == "fill") return fill(s, w, out);
  if (verb == "delete") return del(s, w, out);
  if (verb == "list") return list(s, w, out);
  if (verb == "info") return info(s, w, out);
  if (verb == "lock" || verb == "unlock" || verb == "flush" || verb == "destroy")
    return table_verb(s, w, out);
  if (verb == "fault") {
    // A table to be made anew must be one that can be made: tried first on
    // a store of its own.
    if (w.size() >= 2 && w[1] == "recreate-after-list") {
      emu_store* scratch = emu_store_new(s->abi);
      int st = emu_store_remake_table(scratch, "t", words_t(w.begin() + 2, w.end()), out);
      emu_store_free(scratch);
      if (st != 0) return st;
    }
    return emu_fault_command(&s->faults, words_t(w.begin() + 1, w.end()), out);
  }
  if (verb == "stats") return stats(s, w, out);
  if (verb == "help" && w.size() == 1) {
    *out = usage_text;
    return 0;
  }
  return usage(out);
}

int run(emu_store* s, const words_t& w, std::string* out) {
  if (!w.empty() && w[0] == "ipfw") return ipfw(s, w, out);
  return run_verb(s, w, out);
}

}  // namespace

int emu_store_admin(emu_store* store, const std::vector<std::string>& words, std::string* out) {
  out->clear();
  store->stats.admin_commands++;
  try {
    return run(store, words, out);
  } catch (const std::bad_alloc&) {
    return fail(out, EMU_SYSTEM, strerror(ENOMEM));
  }
}

int emu_store_remake_table(emu_store* store, const std::string& name, const std::vector<std::string>& words,
                           std::string* out) {
  out->clear();
  store->tables.erase(name);
  words_t create_words = {"create", name};
  size_t i = 0;
  for (; i < words.size() && words[i] != "add"; i++) create_words.push_back(words[i]);
  if (int st = create(store, create_words, out)) return st;
  while (i < words.size()) {
    if (i + 3 > words.size()) return usage(out);
    if (int st = add(store, {"add", name, words[i + 1], words[i + 2]}, out)) return st;
    i += 3;
  }
  return 0;
}
