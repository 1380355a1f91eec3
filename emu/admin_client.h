// SPDX-License-Identifier: BSD-2-Clause
// The client side of an administrative command: the words of the fwemu tool
// sent to the server as one frame (fwtable/fwemu_wire.h), and its status and
// text read back.
//
// Owns: the connection, for the duration of the call.
// Failure: returns the command's exit status (0 or more), or -1 with errno:
// the connect or I/O error, or EPROTO for a reply that makes no sense.
// Nothing prints.
#pragma once

#include <string>
#include <vector>

int emu_admin_call(const char* path, const std::vector<std::string>& words, std::string* text);
