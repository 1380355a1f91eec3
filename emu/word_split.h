// SPDX-License-Identifier: BSD-2-Clause
// Splitting a word of the fwemu tool at a separator ("src-ip,dst-port",
// "skipto=5,tag=7"): every piece is kept, empty ones included, so "a,,b"
// gives three pieces and "" one empty piece.
//
// Owns: nothing. Failure: none.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> emu_split(const std::string& s, char sep);
