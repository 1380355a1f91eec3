// SPDX-License-Identifier: BSD-2-Clause
// The entries the "fault grow" fault adds to a table, standing in for
// whoever adds entries between a client's info and list requests (a
// login-failure watcher adding hosts while a sweep runs). The new keys are
// the first ones of a fixed sequence, by table type, that the table does not
// hold yet; candidate number c (c = 0, 1, 2, ...) is
//   addr    the IPv4 host 198.18.0.0 + c (/32)
//   number  the number c
//   iface   the interface name "grow" followed by c in decimal
//   mac     02:00 followed by c as four bytes, big-endian (/48)
//   flow    an IPv4 flow whose addresses are both 198.18.0.0 + c, whose
//           ports are c modulo 65536 and whose protocol c modulo 256, of
//           which the table keeps the fields it selects
// No new entry is ever one the daemon removes: for the legacy value type
// the value is the number 4000000000; for other value types every number
// field of the table's types holds 4000000000, or the largest number it can
// hold where it is narrower (dscp 63; divert, FreeBSD 15's pipe and fib,
// FreeBSD 14's skipto 65535), and the address fields (ipv4, ipv6) stay
// zero. A value led by a 32-bit field reads as a time in 2096; one led by a
// narrower field or by an address is no time, and the daemon never removes
// such an entry.
//
// Owns: nothing; the entries go into the table.
// Failure: none. Fewer than asked are added when the table's limit, or the
// 32-bit listing size, is reached, or when the table's flow fields have no
// more keys among the candidates tried (at most the table's entries plus
// the entries asked for).
#pragma once

#include <cstdint>

#include "emu/table.h"

// Adds up to n entries to t, values in the layout of abi (14 or 15).
// Returns the number added.
uint32_t emu_table_grow(emu_table* t, int abi, uint32_t n);
