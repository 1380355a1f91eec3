// SPDX-License-Identifier: BSD-2-Clause
// Decimal numbers in command words, read strictly: digits only (no sign, no
// blanks, no base prefix), no overflow.
//
// Owns: nothing.
// Failure: false for a word that is not such a number or exceeds max.
#pragma once

#include <cstdint>
#include <string>

bool emu_parse_u32(const std::string& word, uint32_t max, uint32_t* out);
