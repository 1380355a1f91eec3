// SPDX-License-Identifier: BSD-2-Clause
// Key texts of the fwemu tool, by table type, read into stored keys and
// written back:
//   addr    192.0.2.1, 198.51.100.7/24, 2001:db8::1, 2001:db8::/64 (written
//           with "/N" for prefixes, bare for hosts; host bits are cleared,
//           so 198.51.100.7/24 is kept and written as 198.51.100.0/24)
//   iface   an interface name of 1 to 15 characters
//   number  a decimal number, 0 to 4294967295
//   flow    the table's flow fields, comma-separated, in the order src-ip,
//           proto, src-port, dst-ip, dst-port (numbers for the protocol and
//           ports; an empty address field holds no address)
//   mac     00:11:22:33:44:55[/N] (written always with "/N")
//
// Owns: nothing.
// Failure: emu_parse_key returns false with the reason in *why; nothing
// prints.
#pragma once

#include <string>

#include "emu/entry_key.h"
#include "emu/table.h"

bool emu_parse_key(const emu_table& t, const std::string& text, emu_entry_key* out, std::string* why);

std::string emu_key_text(const emu_table& t, const emu_entry_key& k);
