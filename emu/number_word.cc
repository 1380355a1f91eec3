// SPDX-License-Identifier: BSD-2-Clause
#include "emu/number_word.h"

bool emu_parse_u32(const std::string& word, uint32_t max, uint32_t* out) {
  if (word.empty() || word.size() > 10) return false;
  uint64_t n = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > max) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}
