// SPDX-License-Identifier: BSD-2-Clause
// Wire records of the IPFW table interface (IP_FW3 socket option), in the
// subset this system reads and writes, and the named constants that go with
// them. Two kernels lay four of the records out differently and number
// their requests differently: FreeBSD 14 (namespace fw14) and FreeBSD 15
// (namespace fw15). Both layouts are defined side by side, so that the
// emulator can speak either; the daemon and the table client use the one
// this build was made for, under the plain names (ipfw_obj_header, ...),
// chosen at compile time:
//   - on FreeBSD, by the system built on: __FreeBSD_version below 1500000
//     selects FreeBSD 14, any other FreeBSD 15;
//   - elsewhere, by HOSTREAPD_FW_ABI (14 or 15), which the build passes to
//     every file (CMake's option of the same name, 15 by default).
//
// Owns: nothing at run time; only layouts and constants. Every size and
// offset is checked at compile time below, for both layouts (the value
// record's fields against their description in fwtable/value_fields.h),
// so a change in any field fails the build instead of corrupting a request.
// Failure: none (no code). A missing or unknown HOSTREAPD_FW_ABI fails the
// build.
//
// Multi-byte fields are in host byte order unless a comment says network
// order. Requests are always built in zero-filled buffers, so fields marked
// reserved are zero in everything this system sends.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__FreeBSD__)
#include <sys/param.h>
#if __FreeBSD_version < 1500000
#define FW_RECORDS_ABI 14
#else
#define FW_RECORDS_ABI 15
#endif
#elif !defined(HOSTREAPD_FW_ABI)
// Every file must agree on the layout, so none may fall back on its own.
#error "HOSTREAPD_FW_ABI is not defined (the build passes 14 or 15)"
#elif HOSTREAPD_FW_ABI == 14
#define FW_RECORDS_ABI 14
#elif HOSTREAPD_FW_ABI == 15
#define FW_RECORDS_ABI 15
#else
#error "HOSTREAPD_FW_ABI must be 14 or 15"
#endif

// The socket option and its level on FreeBSD.
constexpr int IP_FW3_OPTION = 48;

// Opcodes carried in ip_fw3_opheader.opcode.
constexpr uint16_t IP_FW_TABLE_XADD = 86;
constexpr uint16_t IP_FW_TABLE_XDEL = 87;
constexpr uint16_t IP_FW_TABLE_XLIST = 89;
constexpr uint16_t IP_FW_TABLE_XINFO = 93;
constexpr uint16_t IP_FW_TABLE_XFIND = 106;

// TLV type of the table-name record; containers and entries are sent as 0.
constexpr uint16_t IPFW_TLV_TBL_NAME = 1;

// Table types (ipfw_xtable_info.type).
constexpr uint8_t IPFW_TABLE_ADDR = 1;
constexpr uint8_t IPFW_TABLE_INTERFACE = 2;
constexpr uint8_t IPFW_TABLE_NUMBER = 3;
constexpr uint8_t IPFW_TABLE_FLOW = 4;
constexpr uint8_t IPFW_TABLE_MAC = 5;

// Flow-field bits (ipfw_xtable_info.tflags of a flow table). A flow key
// holds the selected fields in the order src-ip, proto, src-port, dst-ip,
// dst-port.
constexpr uint8_t IPFW_TFFLAG_SRCIP = 0x01;
constexpr uint8_t IPFW_TFFLAG_DSTIP = 0x02;
constexpr uint8_t IPFW_TFFLAG_SRCPORT = 0x04;
constexpr uint8_t IPFW_TFFLAG_DSTPORT = 0x08;
constexpr uint8_t IPFW_TFFLAG_PROTO = 0x10;

// Value-type bits (ipfw_xtable_info.vmask).
constexpr uint32_t IPFW_VTYPE_SKIPTO = 0x001;
constexpr uint32_t IPFW_VTYPE_PIPE = 0x002;
constexpr uint32_t IPFW_VTYPE_FIB = 0x004;
constexpr uint32_t IPFW_VTYPE_NAT = 0x008;
constexpr uint32_t IPFW_VTYPE_DSCP = 0x010;
constexpr uint32_t IPFW_VTYPE_TAG = 0x020;
constexpr uint32_t IPFW_VTYPE_DIVERT = 0x040;
constexpr uint32_t IPFW_VTYPE_NETGRAPH = 0x080;
constexpr uint32_t IPFW_VTYPE_LIMIT = 0x100;
constexpr uint32_t IPFW_VTYPE_NH4 = 0x200;
constexpr uint32_t IPFW_VTYPE_NH6 = 0x400;
constexpr uint32_t IPFW_VTYPE_MARK = 0x800;
// All bits set: the value is one legacy number, held in the tag field.
constexpr uint32_t IPFW_VTYPE_LEGACY = 0xFFFFFFFFu;

// Table flags (ipfw_xtable_info.flags) and modification flags (mflags).
constexpr uint16_t IPFW_TGFLAGS_LOCKED = 0x01;
constexpr uint16_t IPFW_TMFLAGS_LIMIT = 0x02;
constexpr uint16_t IPFW_TMFLAGS_LOCK = 0x04;

// Container flags (ipfw_obj_ctlv.flags).
constexpr uint8_t IPFW_CTF_ATOMIC = 0x01;

// Entry flags (the TLV flags of an ipfw_obj_tentry in an add request): an
// entry whose key is present has its value replaced (result updated)
// instead of being refused (result exists, EEXIST).
constexpr uint16_t IPFW_TF_UPDATE = 0x01;

// Per-entry results the kernel writes into add and delete replies.
constexpr uint8_t IPFW_TR_IGNORED = 0;
constexpr uint8_t IPFW_TR_ADDED = 1;
constexpr uint8_t IPFW_TR_UPDATED = 2;
constexpr uint8_t IPFW_TR_DELETED = 3;
constexpr uint8_t IPFW_TR_LIMIT = 4;
constexpr uint8_t IPFW_TR_NOTFOUND = 5;
constexpr uint8_t IPFW_TR_EXISTS = 6;
constexpr uint8_t IPFW_TR_ERROR = 7;

// Key families as the kernel numbers them (FreeBSD's AF_INET, AF_INET6 and
// AF_LINK). They are wire values, so they are fixed here rather than taken
// from the host's <sys/socket.h>, whose AF_INET6 differs on Linux.
constexpr uint8_t FW_AF_UNSPEC = 0;
constexpr uint8_t FW_AF_INET = 2;
constexpr uint8_t FW_AF_LINK = 18;
constexpr uint8_t FW_AF_INET6 = 28;

// Longest table name, without the terminating NUL.
constexpr size_t IPFW_TABLE_NAME_MAX = 63;

// Common 8-byte TLV head.
struct ipfw_obj_tlv {
  uint16_t type;
  uint16_t flags;
  uint32_t length;  // whole record, head included
};

// Op header: the first 8 bytes of every request.
struct ip_fw3_opheader {
  uint16_t opcode;  // written by fwctl_get
  uint16_t version;  // written by fwctl_get: the kernel's version of the opcode
  uint8_t reserved[4];
};

// Table info record, filled by the kernel in info and list replies.
struct ipfw_xtable_info {
  uint8_t type;  // table type, 1..5
  uint8_t tflags;  // flow fields of a flow table
  uint16_t mflags;  // modification flags
  uint16_t flags;  // table flags; bit 0: locked
  uint8_t reserved[6];
  uint32_t vmask;  // value mask
  uint32_t set;
  uint32_t kidx;  // kernel index
  uint32_t refcnt;
  uint32_t count;  // item count
  uint32_t size;  // listing size in bytes
  uint32_t limit;  // entry limit, 0 for none
  char tablename[64];
  char algoname[64];
  uint8_t ainfo[32];  // algorithm info area, read only by administration tools
};

// Container record: heads the entries of add and delete requests.
struct ipfw_obj_ctlv {
  ipfw_obj_tlv head;  // type 0, length 16 + 120 * count
  uint32_t count;
  uint8_t reserved[3];
  uint8_t flags;  // bit 0: atomic
};

// Flow key, inside the 40-byte key area of an entry. IPv4 flows keep the
// source at addr[0..3] and the destination at addr[4..7]; IPv6 flows the
// source at addr[0..15] and the destination at addr[16..31].
struct ipfw_flow_key {
  uint8_t af;  // 0, 2 or 28
  uint8_t proto;
  uint8_t reserved[2];
  uint16_t sport;  // network order
  uint16_t dport;  // network order
  uint8_t addr[32];
};

// Key area of an entry, by table type.
union ipfw_table_key {
  uint8_t raw[40];
  uint8_t addr4[4];  // address table, IPv4, network order
  uint8_t addr6[16];  // address table, IPv6, network order
  char iface[16];  // interface name, NUL-terminated
  uint32_t number;  // number table
  ipfw_flow_key flow;
  uint8_t mac[6];  // first octet first
};

// ---- checks of the records both layouts share ------------------------------

static_assert(sizeof(ipfw_obj_tlv) == 8);
static_assert(offsetof(ipfw_obj_tlv, type) == 0 && offsetof(ipfw_obj_tlv, flags) == 2 &&
              offsetof(ipfw_obj_tlv, length) == 4);

static_assert(sizeof(ip_fw3_opheader) == 8);
static_assert(offsetof(ip_fw3_opheader, opcode) == 0 && offsetof(ip_fw3_opheader, version) == 2 &&
              offsetof(ip_fw3_opheader, reserved) == 4);

static_assert(sizeof(ipfw_xtable_info) == 200);
static_assert(offsetof(ipfw_xtable_info, type) == 0 && offsetof(ipfw_xtable_info, tflags) == 1 &&
              offsetof(ipfw_xtable_info, mflags) == 2 && offsetof(ipfw_xtable_info, flags) == 4 &&
              offsetof(ipfw_xtable_info, reserved) == 6 && offsetof(ipfw_xtable_info, vmask) == 12 &&
              offsetof(ipfw_xtable_info, set) == 16 && offsetof(ipfw_xtable_info, kidx) == 20 &&
              offsetof(ipfw_xtable_info, refcnt) == 24 && offsetof(ipfw_xtable_info, count) == 28 &&
              offsetof(ipfw_xtable_info, size) == 32 && offsetof(ipfw_xtable_info, limit) == 36 &&
              offsetof(ipfw_xtable_info, tablename) == 40 && offsetof(ipfw_xtable_info, algoname) == 104 &&
              offsetof(ipfw_xtable_info, ainfo) == 168);

static_assert(sizeof(ipfw_obj_ctlv) == 16);
static_assert(offsetof(ipfw_obj_ctlv, head) == 0 && offsetof(ipfw_obj_ctlv, count) == 8 &&
              offsetof(ipfw_obj_ctlv, reserved) == 12 && offsetof(ipfw_obj_ctlv, flags) == 15);

static_assert(sizeof(ipfw_flow_key) == 40);
static_assert(offsetof(ipfw_flow_key, af) == 0 && offsetof(ipfw_flow_key, proto) == 1 &&
              offsetof(ipfw_flow_key, reserved) == 2 && offsetof(ipfw_flow_key, sport) == 4 &&
              offsetof(ipfw_flow_key, dport) == 6 && offsetof(ipfw_flow_key, addr) == 8);
static_assert(sizeof(ipfw_table_key) == 40);

// ---- FreeBSD 15 ------------------------------------------------------------

namespace fw15 {

// Table-name record.
struct ipfw_obj_ntlv {
  ipfw_obj_tlv head;  // type 1, length 80
  uint32_t idx;  // name index, 1
  uint8_t set;  // the table's set number
  uint8_t type;  // table type in add and delete requests, else 0
  uint8_t reserved[2];
  char name[64];  // NUL-terminated, at most 63 characters
};

// Object header: every request of this system starts with one.
struct ipfw_obj_header {
  ip_fw3_opheader opheader;
  uint32_t idx;  // object index, 1
  uint8_t reserved[4];
  ipfw_obj_ntlv ntlv;
};

// Value record of a table entry.
struct ipfw_table_value {
  uint32_t tag;
  uint16_t pipe;
  uint16_t divert;
  uint32_t skipto;
  uint32_t netgraph;
  uint32_t nat;
  uint32_t nh4;  // IPv4 address, host order
  uint16_t fib;
  uint8_t dscp;
  uint8_t reserved0;
  uint32_t kidx;  // the kernel's index of the value
  uint8_t nh6[16];  // IPv6 address, network order
  uint32_t limit;
  uint32_t zoneid;  // scope id of nh6
  uint32_t mark;
  uint32_t refcnt;  // the kernel's reference count of the value
};

// Table entry: entry lists in list replies and in add and delete requests.
struct ipfw_obj_tentry {
  ipfw_obj_tlv head;  // length 120 in requests; list replies step by it
  uint8_t subtype;  // key family
  uint8_t masklen;
  uint8_t result;  // per-entry outcome in add and delete replies
  uint8_t reserved;
  uint32_t idx;  // name index: the object header's object index
  ipfw_table_key k;
  ipfw_table_value v;
};

// The op header's version this kernel takes for each table request: 1 for
// every one of them.
constexpr uint16_t request_version(uint16_t) { return 1; }

// The layout as one type, for code that speaks either (the emulator), with
// the places of the fields the two kernels put in different places (checked
// below with the rest of the records).
struct layout {
  static constexpr int abi = 15;
  using obj_ntlv = ipfw_obj_ntlv;
  using obj_header = ipfw_obj_header;
  using obj_tentry = ipfw_obj_tentry;
  using table_value = ipfw_table_value;
  static constexpr uint16_t version(uint16_t opcode) { return request_version(opcode); }
  static constexpr size_t ntlv_set = 12;
  static constexpr size_t header_idx = 8;
  static constexpr size_t header_reserved = 12;
  static constexpr size_t value_reserved0 = 27;
};

}  // namespace fw15

// ---- FreeBSD 14 ------------------------------------------------------------
// The same records with narrower indexes, the set and type bytes two places
// earlier, and the value fields in another order and width.

namespace fw14 {

// Table-name record.
struct ipfw_obj_ntlv {
  ipfw_obj_tlv head;  // type 1, length 80
  uint16_t idx;  // name index, 1
  uint8_t set;  // the table's set number
  uint8_t type;  // table type in add and delete requests, else 0
  uint32_t reserved;
  char name[64];  // NUL-terminated, at most 63 characters
};

// Object header: every request of this system starts with one.
struct ipfw_obj_header {
  ip_fw3_opheader opheader;
  uint32_t reserved;
  uint16_t idx;  // object index, 1
  uint8_t objtype;  // not used
  uint8_t objsubtype;  // not used
  ipfw_obj_ntlv ntlv;
};

// Value record of a table entry.
struct ipfw_table_value {
  uint32_t tag;
  uint32_t pipe;
  uint16_t divert;
  uint16_t skipto;
  uint32_t netgraph;
  uint32_t fib;
  uint32_t nat;
  uint32_t nh4;  // IPv4 address, host order
  uint8_t dscp;
  uint8_t reserved0;
  uint16_t kidx;  // the kernel's index of the value
  uint8_t nh6[16];  // IPv6 address, network order
  uint32_t limit;
  uint32_t zoneid;  // scope id of nh6
  uint32_t mark;
  uint32_t refcnt;  // the kernel's reference count of the value
};

// Table entry: entry lists in list replies and in add and delete requests.
struct ipfw_obj_tentry {
  ipfw_obj_tlv head;  // length 120 in requests; list replies step by it
  uint8_t subtype;  // key family
  uint8_t masklen;
  uint8_t result;  // per-entry outcome in add and delete replies
  uint8_t reserved;
  uint16_t idx;  // name index: the object header's object index
  uint16_t reserved2;
  ipfw_table_key k;
  ipfw_table_value v;
};

// The op header's version this kernel takes for each table request: the
// info and find requests only at 0; list, add and delete at 1 for the
// entry format above (their version 0 is an older entry format).
constexpr uint16_t request_version(uint16_t opcode) {
  return opcode == IP_FW_TABLE_XINFO || opcode == IP_FW_TABLE_XFIND ? 0 : 1;
}

// The layout as one type, for code that speaks either (the emulator).
struct layout {
  static constexpr int abi = 14;
  using obj_ntlv = ipfw_obj_ntlv;
  using obj_header = ipfw_obj_header;
  using obj_tentry = ipfw_obj_tentry;
  using table_value = ipfw_table_value;
  static constexpr uint16_t version(uint16_t opcode) { return request_version(opcode); }
  static constexpr size_t ntlv_set = 10;
  static constexpr size_t header_idx = 12;
  static constexpr size_t header_reserved = 8;
  static constexpr size_t value_reserved0 = 29;
};

// The fields only this layout has.
static_assert(offsetof(ipfw_obj_header, objtype) == 14 && offsetof(ipfw_obj_header, objsubtype) == 15);
static_assert(offsetof(ipfw_obj_tentry, reserved2) == 14);

}  // namespace fw14

// ---- checks of the records whose layout differs, once for both -------------

// A layout's records: their sizes, and every field's offset, those the two
// kernels place differently as the layout says (ntlv_set, header_idx, ...).
// The value record's fields are checked against their description in
// fwtable/value_fields.h; here only what lies between them.
template <typename L>
constexpr bool layout_records_match() {
  using ntlv = typename L::obj_ntlv;
  using header = typename L::obj_header;
  using tentry = typename L::obj_tentry;
  using value = typename L::table_value;
  const bool ntlv_ok = sizeof(ntlv) == 80 && offsetof(ntlv, head) == 0 && offsetof(ntlv, idx) == 8 &&
                       offsetof(ntlv, set) == L::ntlv_set && offsetof(ntlv, set) == 8 + sizeof(ntlv::idx) &&
                       offsetof(ntlv, type) == L::ntlv_set + 1 &&
                       offsetof(ntlv, reserved) == L::ntlv_set + 2 && offsetof(ntlv, name) == 16;
  const bool header_ok = sizeof(header) == 96 && offsetof(header, opheader) == 0 &&
                         offsetof(header, idx) == L::header_idx &&
                         offsetof(header, reserved) == L::header_reserved && offsetof(header, ntlv) == 16;
  const bool value_ok = sizeof(value) == 64 && offsetof(value, reserved0) == L::value_reserved0 &&
                        offsetof(value, kidx) == L::value_reserved0 + 1 &&
                        offsetof(value, kidx) + sizeof(value::kidx) == offsetof(value, nh6) &&
                        offsetof(value, refcnt) == 60;
  const bool tentry_ok =
      sizeof(tentry) == 120 && offsetof(tentry, head) == 0 && offsetof(tentry, subtype) == 8 &&
      offsetof(tentry, masklen) == 9 && offsetof(tentry, result) == 10 && offsetof(tentry, reserved) == 11 &&
      offsetof(tentry, idx) == 12 && offsetof(tentry, k) == 16 && offsetof(tentry, v) == 56;
  return ntlv_ok && header_ok && value_ok && tentry_ok;
}

static_assert(layout_records_match<fw15::layout>(), "FreeBSD 15's records");
static_assert(layout_records_match<fw14::layout>(), "FreeBSD 14's records");

// ---- the layout of this build ----------------------------------------------

#if FW_RECORDS_ABI == 14
namespace fw_built = fw14;
#else
namespace fw_built = fw15;
#endif

// The FreeBSD release whose layout this build speaks: 14 or 15.
constexpr int FW_ABI = FW_RECORDS_ABI;

using ipfw_obj_ntlv = fw_built::ipfw_obj_ntlv;
using ipfw_obj_header = fw_built::ipfw_obj_header;
using ipfw_table_value = fw_built::ipfw_table_value;
using ipfw_obj_tentry = fw_built::ipfw_obj_tentry;

// The op header's version for a request of this opcode, as this build's
// kernel takes it.
constexpr uint16_t fw_request_version(uint16_t opcode) { return fw_built::request_version(opcode); }

// Sizes of the requests built from these records (the same in both layouts).
constexpr size_t FW_INFO_REQUEST_SIZE = sizeof(ipfw_obj_header) + sizeof(ipfw_xtable_info);
constexpr size_t FW_LIST_ENTRIES_OFFSET = FW_INFO_REQUEST_SIZE;
constexpr size_t FW_CHANGE_ENTRIES_OFFSET = sizeof(ipfw_obj_header) + sizeof(ipfw_obj_ctlv);

// The find request: the object header and one entry, no container.
constexpr size_t FW_FIND_REQUEST_SIZE = sizeof(ipfw_obj_header) + sizeof(ipfw_obj_tentry);

static_assert(FW_INFO_REQUEST_SIZE == 296);
static_assert(FW_FIND_REQUEST_SIZE == 216);
static_assert(FW_CHANGE_ENTRIES_OFFSET == 112);
// Key area offsets within the entry, by table type.
static_assert(offsetof(ipfw_obj_tentry, k.flow.af) == 16 && offsetof(ipfw_obj_tentry, k.flow.proto) == 17 &&
              offsetof(ipfw_obj_tentry, k.flow.sport) == 20 &&
              offsetof(ipfw_obj_tentry, k.flow.dport) == 22 && offsetof(ipfw_obj_tentry, k.flow.addr) == 24);
