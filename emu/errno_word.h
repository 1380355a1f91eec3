// SPDX-License-Identifier: BSD-2-Clause
// Error numbers as words: the symbolic names (ENOMEM, EACCES, ...) that the
// fault commands accept and print, for the error numbers a table request
// can plausibly fail with.
//
// Owns: nothing (a constant table).
// Failure: emu_errno_from_word returns false for a word that is neither a
// known name nor a number from 1 to 4095.
#pragma once

#include <string>

// Reads "ENOMEM" or "12" into *err.
bool emu_errno_from_word(const std::string& word, int* err);

// "ENOMEM" for 12; the number in decimal for an error without a name here.
std::string emu_errno_word(int err);
