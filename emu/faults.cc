// SPDX-License-Identifier: BSD-2-Clause
#include "emu/faults.h"

#include <sysexits.h>

#include <cerrno>
#include <ctime>

#include "emu/errno_word.h"
#include "emu/number_word.h"
#include "fwtable/fw_records.h"

namespace {

constexpr uint32_t MAX_DELAY_MS = 60000;
// The most entries one grow adds: enough for any test, few enough that a
// mistyped number does not fill the emulator's memory.
constexpr uint32_t MAX_GROW = 1000000;

const char* usage_text =
    "usage: fault fail OPCODE ERRNO [COUNT] | fault short-info LEN [COUNT] |\n"
    "       fault corrupt-list zero-length|past-end|count [COUNT] | fault delay MS [COUNT] |\n"
    "       fault destroy-after-list [COUNT] | fault short-data LEN [COUNT] | fault drip MS [COUNT] |\n"
    "       fault grow N [COUNT] |\n"
    "       fault recreate-after-list [type T] [valtype V] [limit N] [set N] [add KEY VALUE]... |\n"
    "       fault hold MS [COUNT] | fault claim ITEMS SIZE [COUNT] | fault clear | fault show";

int usage(std::string* out) {
  *out = usage_text;
  return EX_USAGE;
}

int bad(std::string* out, const std::string& what, const std::string& word) {
  *out = "bad " + what + ": " + word;
  return EX_DATAERR;
}

bool opcode_from_word(const std::string& w, uint16_t* op) {
  if (w == "add")
    *op = IP_FW_TABLE_XADD;
  else if (w == "delete")
    *op = IP_FW_TABLE_XDEL;
  else if (w == "list")
    *op = IP_FW_TABLE_XLIST;
  else if (w == "info")
    *op = IP_FW_TABLE_XINFO;
  else {
    uint32_t n;
    if (!emu_parse_u32(w, UINT16_MAX, &n)) return false;
    *op = static_cast<uint16_t>(n);
  }
  return true;
}

// Reads an optional COUNT at words[i] into *c (default 1, 0 for ever).
bool count_from_words(const std::vector<std::string>& words, size_t i, emu_fault_count* c) {
  uint32_t n = 1;
  if (i < words.size() && !emu_parse_u32(words[i], UINT32_MAX, &n)) return false;
  c->forever = n == 0;
  c->left = n;
  return true;
}

std::string count_text(const emu_fault_count& c) {
  return c.forever ? "every request" : std::to_string(c.left) + " more";
}

std::string show(const emu_faults& f) {
  std::string s;
  for (const auto& x : f.fails) {
    if (!x.times.pending()) continue;
    s += "fail " + std::to_string(x.opcode) + " " + emu_errno_word(x.error) + ": " + count_text(x.times) +
         "\n";
  }
  if (f.short_info.pending())
    s += "short-info " + std::to_string(f.short_info_len) + ": " + count_text(f.short_info) + "\n";
  if (f.list_times.pending()) {
    const char* kind = f.list_fault == emu_list_fault::zero_length ? "zero-length"
                       : f.list_fault == emu_list_fault::past_end  ? "past-end"
                                                                   : "count";
    s += std::string("corrupt-list ") + kind + ": " + count_text(f.list_times) + "\n";
  }
  if (f.delay_times.pending())
    s += "delay " + std::to_string(f.delay_ms) + ": " + count_text(f.delay_times) + "\n";
  if (f.destroy_after_list.pending()) s += "destroy-after-list: " + count_text(f.destroy_after_list) + "\n";
  if (f.recreate_pending) {
    s += "recreate-after-list";
    for (const auto& w : f.recreate_words) s += " " + w;
    s += ": once\n";
  }
  if (f.short_data.pending())
    s += "short-data " + std::to_string(f.short_data_len) + ": " + count_text(f.short_data) + "\n";
  if (f.drip_times.pending())
    s += "drip " + std::to_string(f.drip_ms) + ": " + count_text(f.drip_times) + "\n";
  if (f.grow_times.pending()) {
    s += "grow " + std::to_string(f.grow_by);
    if (f.grow_armed) s += " (armed for table " + f.grow_table + ")";
    s +=
        ": " + (f.grow_times.forever ? std::string("every info/list pair") : count_text(f.grow_times)) + "\n";
  }
  if (f.hold_times.pending())
    s += "hold " + std::to_string(f.hold_ms) + ": " + count_text(f.hold_times) + "\n";
  if (f.claim_times.pending())
    s += "claim " + std::to_string(f.claim_items) + " " + std::to_string(f.claim_size) + ": " +
         count_text(f.claim_times) + "\n";
  return s;
}

}  // namespace

bool emu_fault_count::take() {
  if (forever) return true;
  if (left == 0) return false;
  left--;
  return true;
}

int emu_fault_command(emu_faults* f, const std::vector<std::string>& w, std::string* out) {
  out->clear();
  if (w.empty()) return usage(out);
  const std::string& verb = w[0];
  if (verb == "clear" && w.size() == 1) {
    *f = emu_faults{};
    return 0;
  }
  if (verb == "show" && w.size() == 1) {
    *out = show(*f);
    return 0;
  }
  if (verb == "fail" && w.size() >= 3 && w.size() <= 4) {
    emu_faults::fail x{};
    if (!opcode_from_word(w[1], &x.opcode)) return bad(out, "opcode", w[1]);
    if (!emu_errno_from_word(w[2], &x.error)) return bad(out, "errno", w[2]);
    if (!count_from_words(w, 3, &x.times)) return bad(out, "count", w[3]);
    std::erase_if(f->fails, [&](const emu_faults::fail& old) { return old.opcode == x.opcode; });
    f->fails.push_back(x);
    return 0;
  }
  if (verb == "short-info" && w.size() >= 2 && w.size() <= 3) {
    uint32_t len;
    if (!emu_parse_u32(w[1], FW_INFO_REQUEST_SIZE - 1, &len)) return bad(out, "length (0 to 295)", w[1]);
    emu_fault_count c;
    if (!count_from_words(w, 2, &c)) return bad(out, "count", w[2]);
    f->short_info_len = len;
    f->short_info = c;
    return 0;
  }
  if (verb == "corrupt-list" && w.size() >= 2 && w.size() <= 3) {
    emu_list_fault kind;
    if (w[1] == "zero-length")
      kind = emu_list_fault::zero_length;
    else if (w[1] == "past-end")
      kind = emu_list_fault::past_end;
    else if (w[1] == "count")
      kind = emu_list_fault::count;
    else
      return usage(out);
    emu_fault_count c;
    if (!count_from_words(w, 2, &c)) return bad(out, "count", w[2]);
    f->list_fault = kind;
    f->list_times = c;
    return 0;
  }
  if (verb == "delay" && w.size() >= 2 && w.size() <= 3) {
    uint32_t ms;
    if (!emu_parse_u32(w[1], MAX_DELAY_MS, &ms)) return bad(out, "delay (0 to 60000 ms)", w[1]);
    emu_fault_count c;
    if (!count_from_words(w, 2, &c)) return bad(out, "count", w[2]);
    f->delay_ms = ms;
    f->delay_times = c;
    return 0;
  }
  if (verb == "recreate-after-list") {
    // The words were checked against a table of their own by the caller
    // (emu_store_admin), which knows how tables are made.
    f->recreate_pending = true;
    f->recreate_words.assign(w.begin() + 1, w.end());
    return 0;
  }
  if (verb == "destroy-after-list" && w.size() <= 2) {
    emu_fault_count c;
    if (!count_from_words(w, 1, &c)) return bad(out, "count", w[1]);
    f->destroy_after_list = c;
    return 0;
  }
  if (verb == "short-data" && w.size() >= 2 && w.size() <= 3) {
    uint32_t len;
    if (!emu_parse_u32(w[1], UINT32_MAX, &len)) return bad(out, "length", w[1]);
    emu_fault_count c;
    if (!count_from_words(w, 2, &c)) return bad(out, "count", w[2]);
    f->short_data_len = len;
    f->short_data = c;
    return 0;
  }
  if (verb == "drip" && w.size() >= 2 && w.size() <= 3) {
    uint32_t ms;
    if (!emu_parse_u32(w[1], MAX_DELAY_MS, &ms) || ms == 0) return bad(out, "drip (1 to 60000 ms)", w[1]);
    emu_fault_count c;
    if (!count_from_words(w, 2, &c)) return bad(out, "count", w[2]);
    f->drip_ms = ms;
    f->drip_times = c;
    return 0;
  }
  if (verb == "grow" && w.size() >= 2 && w.size() <= 3) {
    uint32_t n;
    if (!emu_parse_u32(w[1], MAX_GROW, &n) || n == 0) return bad(out, "entries (1 to 1000000)", w[1]);
    emu_fault_count c;
    if (!count_from_words(w, 2, &c)) return bad(out, "count", w[2]);
    f->grow_by = n;
    f->grow_times = c;
    f->grow_armed = false;
    f->grow_table.clear();
    return 0;
  }
  if (verb == "hold" && w.size() >= 2 && w.size() <= 3) {
    uint32_t ms;
    if (!emu_parse_u32(w[1], MAX_DELAY_MS, &ms) || ms == 0) return bad(out, "hold (1 to 60000 ms)", w[1]);
    emu_fault_count c;
    if (!count_from_words(w, 2, &c)) return bad(out, "count", w[2]);
    f->hold_ms = ms;
    f->hold_times = c;
    return 0;
  }
  if (verb == "claim" && w.size() >= 3 && w.size() <= 4) {
    uint32_t items;
    uint32_t size;
    if (!emu_parse_u32(w[1], UINT32_MAX, &items)) return bad(out, "item count", w[1]);
    if (!emu_parse_u32(w[2], UINT32_MAX, &size)) return bad(out, "size", w[2]);
    emu_fault_count c;
    if (!count_from_words(w, 3, &c)) return bad(out, "count", w[3]);
    f->claim_items = items;
    f->claim_size = size;
    f->claim_times = c;
    return 0;
  }
  return usage(out);
}

void emu_fault_delay(emu_faults* f) {
  if (!f->delay_times.take()) return;
  timespec ts{static_cast<time_t>(f->delay_ms / 1000), static_cast<long>(f->delay_ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool emu_fault_take_fail(emu_faults* f, uint16_t opcode, emu_faults::fail* out) {
  for (auto& x : f->fails) {
    if (x.opcode == opcode && x.times.take()) {
      *out = x;
      return true;
    }
  }
  return false;
}

bool emu_fault_take_short_info(emu_faults* f, uint32_t* len) {
  if (!f->short_info.take()) return false;
  *len = f->short_info_len;
  return true;
}

bool emu_fault_take_destroy_after_list(emu_faults* f) { return f->destroy_after_list.take(); }

bool emu_fault_take_recreate_after_list(emu_faults* f, std::vector<std::string>* words) {
  if (!f->recreate_pending) return false;
  f->recreate_pending = false;
  *words = std::move(f->recreate_words);
  f->recreate_words.clear();
  return true;
}

bool emu_fault_take_short_data(emu_faults* f, uint32_t* len) {
  if (!f->short_data.take()) return false;
  *len = f->short_data_len;
  return true;
}

bool emu_fault_take_hold(emu_faults* f, uint32_t* ms) {
  if (!f->hold_times.take()) return false;
  *ms = f->hold_ms;
  return true;
}

bool emu_fault_take_claim(emu_faults* f, uint32_t* items, uint32_t* size) {
  if (!f->claim_times.take()) return false;
  *items = f->claim_items;
  *size = f->claim_size;
  return true;
}

bool emu_fault_take_drip(emu_faults* f, uint32_t* ms) {
  if (!f->drip_times.take()) return false;
  *ms = f->drip_ms;
  return true;
}

void emu_fault_arm_grow(emu_faults* f, const std::string& name) {
  if (!f->grow_times.pending()) return;
  f->grow_armed = true;
  f->grow_table = name;
}

bool emu_fault_take_grow(emu_faults* f, const std::string& name, uint32_t* entries) {
  if (!f->grow_armed || f->grow_table != name || !f->grow_times.take()) return false;
  f->grow_armed = false;
  f->grow_table.clear();
  *entries = f->grow_by;
  return true;
}

emu_list_fault emu_fault_take_list(emu_faults* f, uint32_t entries) {
  if (!f->list_times.pending()) return emu_list_fault::none;
  if (entries == 0 && f->list_fault != emu_list_fault::count) return emu_list_fault::none;
  f->list_times.take();
  return f->list_fault;
}
