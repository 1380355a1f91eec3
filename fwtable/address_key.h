// SPDX-License-Identifier: BSD-2-Clause
// The key of an address table's entry from the text a writer gives: an
// IPv4 or IPv6 address, alone (a host) or with "/N" (a prefix). Only the
// numeric forms are taken: a dotted quad of four decimal numbers, an IPv6
// address as inet_pton(3) reads it, and N of decimal digits from 0 to 32
// (IPv4) or 128 (IPv6). No host name is looked up and no shortened IPv4
// form ("10.1") is read, so that what is added is exactly what was
// written. A prefix is stored as the kernel stores it, its host bits
// cleared (192.0.2.7/24 is 192.0.2.0/24). An IPv4-compatible IPv6 address
// (::192.0.2.7, which ipfw(8) refuses as a key) is refused.
//
// Owns: nothing.
// Failure: errno-style; false with a reason of its own words ("not an IPv4
// or IPv6 address", "prefix length 33 is more than 32", ...) in why, the
// entry left alone. Nothing is printed.
#pragma once

#include <cstddef>

#include "fwtable/fw_records.h"

// The longest reason written, its NUL included.
constexpr size_t ADDRESS_KEY_WHY_SIZE = 96;

// Parses text into entry's key family, mask length and key area (all of its
// 40 bytes written). why: ADDRESS_KEY_WHY_SIZE bytes for the reason.
bool parse_address_key(const char* text, ipfw_obj_tentry* entry, char* why);
