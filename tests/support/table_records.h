// SPDX-License-Identifier: BSD-2-Clause
// Table records as tests, benchmarks and fuzz targets build them: an entry
// (blank, or keyed by an address text), a table's info record, and the
// kernel's answer to the info request carrying such a record. Header-only
// and free of any test framework, so every kind of target can use it.
//
// Owns: nothing; every record is returned by value.
// Failure: address_entry leaves the key family 0 (and the key zero) when
// the text is neither an IPv4 nor an IPv6 address, which the renderer
// passes over; answer_info refuses with -1 and EINVAL what is not an info
// request of the full 296 bytes, as the kernel does.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "fwtable/fw_records.h"

// An entry with nothing set but its TLV length (120) and name index 1.
inline ipfw_obj_tentry blank_entry() {
  ipfw_obj_tentry e;
  memset(&e, 0, sizeof e);
  e.head.length = sizeof e;
  e.idx = 1;
  return e;
}

// An address entry: the key from text ("192.0.2.7", "fd00:1::"), its family
// by the text, the mask length, and the legacy value tag.
inline ipfw_obj_tentry address_entry(const char* text, uint8_t masklen, uint32_t tag = 0) {
  ipfw_obj_tentry e = blank_entry();
  if (inet_pton(AF_INET, text, e.k.addr4) == 1) {
    e.subtype = FW_AF_INET;
  } else if (inet_pton(AF_INET6, text, e.k.addr6) == 1) {
    e.subtype = FW_AF_INET6;
  }
  e.masklen = masklen;
  e.v.tag = tag;
  return e;
}

// A table's info record with the given type, value mask, flow-field byte
// and name; every other field zero.
inline ipfw_xtable_info table_info(uint8_t type, uint32_t vmask = IPFW_VTYPE_LEGACY, uint8_t tflags = 0,
                                   const char* name = "t5") {
  ipfw_xtable_info info;
  memset(&info, 0, sizeof info);
  info.type = type;
  info.vmask = vmask;
  info.tflags = tflags;
  strncpy(info.tablename, name, sizeof info.tablename - 1);
  return info;
}

// The kernel's answer to the info request, in the shape of a scripted
// fake_kernel answer: info after the request's header, and the full 296
// bytes as the reply's length.
inline int answer_info(const ipfw_xtable_info& info, uint16_t opcode, uint8_t* buf, uint32_t* len) {
  if (opcode != IP_FW_TABLE_XINFO || *len < FW_INFO_REQUEST_SIZE) {
    errno = EINVAL;
    return -1;
  }
  memcpy(buf + sizeof(ipfw_obj_header), &info, sizeof info);
  *len = FW_INFO_REQUEST_SIZE;
  return 0;
}
