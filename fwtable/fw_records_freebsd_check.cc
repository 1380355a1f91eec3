// SPDX-License-Identifier: BSD-2-Clause
// The firewall records of fw_records.h against FreeBSD's own header,
// <netinet/ip_fw.h>: every record's size and alignment, the offset and
// width of every field this system reads or writes, and every constant it
// names (opcodes, the TLV type, table types, flow, value-type, table and
// container flags, per-entry results, key families, IP_FW3). The records
// stay this project's own; the header is only compared against.
//
// Owns: nothing; compiled, never linked into anything (the CMake option
// HOSTREAPD_CHECK_SYSTEM_RECORDS). It is only right where the system
// headers are of the release the build's layout is for: on FreeBSD 15, or
// in the cross build for 15, whose headers are 15's.
// Failure: a record or constant that differs fails the compile, naming it.
#if !defined(__FreeBSD__)
#error "the records are compared with FreeBSD's header, which only a FreeBSD build has"
#endif

// What <netinet/ip_fw.h> uses without including it, declared once here at
// file scope, so that the header itself can be read into a namespace of its
// own below: its typedefs have the names of this project's records.
#include <net/if.h>
#include <netinet/in.h>
#include <sys/param.h>
#include <sys/queue.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "fwtable/fw_records.h"

#if FW_RECORDS_ABI != 15
#error "only FreeBSD 15's layout is compared here: the system headers must be FreeBSD 15's"
#endif

// The project's constants, read before FreeBSD's header defines macros of
// the same names: each is kept as ours_NAME.
// One X(NAME) a line, as clang-format would not keep them.
// clang-format off
#define FW_CHECKED_CONSTANTS(X) \
  X(IP_FW_TABLE_XADD) \
  X(IP_FW_TABLE_XDEL) \
  X(IP_FW_TABLE_XLIST) \
  X(IP_FW_TABLE_XINFO) \
  X(IP_FW_TABLE_XFIND) \
  X(IPFW_TLV_TBL_NAME) \
  X(IPFW_TABLE_ADDR) \
  X(IPFW_TABLE_INTERFACE) \
  X(IPFW_TABLE_NUMBER) \
  X(IPFW_TABLE_FLOW) \
  X(IPFW_TABLE_MAC) \
  X(IPFW_TFFLAG_SRCIP) \
  X(IPFW_TFFLAG_DSTIP) \
  X(IPFW_TFFLAG_SRCPORT) \
  X(IPFW_TFFLAG_DSTPORT) \
  X(IPFW_TFFLAG_PROTO) \
  X(IPFW_VTYPE_SKIPTO) \
  X(IPFW_VTYPE_PIPE) \
  X(IPFW_VTYPE_FIB) \
  X(IPFW_VTYPE_NAT) \
  X(IPFW_VTYPE_DSCP) \
  X(IPFW_VTYPE_TAG) \
  X(IPFW_VTYPE_DIVERT) \
  X(IPFW_VTYPE_NETGRAPH) \
  X(IPFW_VTYPE_LIMIT) \
  X(IPFW_VTYPE_NH4) \
  X(IPFW_VTYPE_NH6) \
  X(IPFW_VTYPE_MARK) \
  X(IPFW_VTYPE_LEGACY) \
  X(IPFW_TGFLAGS_LOCKED) \
  X(IPFW_TMFLAGS_LIMIT) \
  X(IPFW_TMFLAGS_LOCK) \
  X(IPFW_CTF_ATOMIC) \
  X(IPFW_TF_UPDATE) \
  X(IPFW_TR_IGNORED) \
  X(IPFW_TR_ADDED) \
  X(IPFW_TR_UPDATED) \
  X(IPFW_TR_DELETED) \
  X(IPFW_TR_LIMIT) \
  X(IPFW_TR_NOTFOUND) \
  X(IPFW_TR_EXISTS) \
  X(IPFW_TR_ERROR)
// clang-format on

#define FW_KEEP_OURS(name) constexpr auto ours_##name = name;
namespace ours {
FW_CHECKED_CONSTANTS(FW_KEEP_OURS)
}  // namespace ours

namespace freebsd {
#include <netinet/ip_fw.h>
}  // namespace freebsd

// name is FreeBSD's macro here; ours_name the project's value.
#define FW_SAME_CONSTANT(name) \
  static_assert(ours::ours_##name == (name), #name " differs from FreeBSD's <netinet/ip_fw.h>");
FW_CHECKED_CONSTANTS(FW_SAME_CONSTANT)

static_assert(IP_FW3_OPTION == IP_FW3, "IP_FW3_OPTION differs from FreeBSD's IP_FW3");
static_assert(FW_AF_UNSPEC == AF_UNSPEC && FW_AF_INET == AF_INET && FW_AF_INET6 == AF_INET6 &&
                  FW_AF_LINK == AF_LINK,
              "a key family differs from FreeBSD's AF_ number");

// A record: the same size and alignment as FreeBSD's.
#define FW_SAME_RECORD(ours_type, theirs_type)                             \
  static_assert(sizeof(ours_type) == sizeof(freebsd::theirs_type),         \
                #ours_type ": size differs from FreeBSD's " #theirs_type); \
  static_assert(alignof(ours_type) == alignof(freebsd::theirs_type),       \
                #ours_type ": alignment differs from FreeBSD's " #theirs_type)

// A field: the same offset and width as FreeBSD's field of the record.
#define FW_SAME_FIELD(ours_type, ours_field, theirs_type, theirs_field)                                     \
  static_assert(offsetof(ours_type, ours_field) == offsetof(freebsd::theirs_type, theirs_field), #ours_type \
                "." #ours_field ": offset differs from FreeBSD's " #theirs_type "." #theirs_field);         \
  static_assert(sizeof(ours_type::ours_field) == sizeof(freebsd::theirs_type::theirs_field),                \
                #ours_type "." #ours_field ": width differs from FreeBSD's " #theirs_type "." #theirs_field)

// Where FreeBSD names the bytes that fw_records.h keeps as one reserved
// field: that field starts at FreeBSD's first and ends where its last ends.
#define FW_SAME_SPAN(ours_type, ours_field, theirs_type, theirs_first, theirs_last)                    \
  static_assert(                                                                                       \
      offsetof(ours_type, ours_field) == offsetof(freebsd::theirs_type, theirs_first) &&               \
          offsetof(ours_type, ours_field) + sizeof(ours_type::ours_field) ==                           \
              offsetof(freebsd::theirs_type, theirs_last) + sizeof(freebsd::theirs_type::theirs_last), \
      #ours_type "." #ours_field ": not FreeBSD's " #theirs_type "." #theirs_first ".." #theirs_last)

FW_SAME_RECORD(ipfw_obj_tlv, ipfw_obj_tlv);
FW_SAME_FIELD(ipfw_obj_tlv, type, ipfw_obj_tlv, type);
FW_SAME_FIELD(ipfw_obj_tlv, flags, ipfw_obj_tlv, flags);
FW_SAME_FIELD(ipfw_obj_tlv, length, ipfw_obj_tlv, length);

FW_SAME_RECORD(ip_fw3_opheader, ip_fw3_opheader);
FW_SAME_FIELD(ip_fw3_opheader, opcode, ip_fw3_opheader, opcode);
FW_SAME_FIELD(ip_fw3_opheader, version, ip_fw3_opheader, version);
FW_SAME_FIELD(ip_fw3_opheader, reserved, ip_fw3_opheader, reserved);

FW_SAME_RECORD(ipfw_xtable_info, ipfw_xtable_info);
FW_SAME_FIELD(ipfw_xtable_info, type, ipfw_xtable_info, type);
FW_SAME_FIELD(ipfw_xtable_info, tflags, ipfw_xtable_info, tflags);
FW_SAME_FIELD(ipfw_xtable_info, mflags, ipfw_xtable_info, mflags);
FW_SAME_FIELD(ipfw_xtable_info, flags, ipfw_xtable_info, flags);
FW_SAME_FIELD(ipfw_xtable_info, reserved, ipfw_xtable_info, spare);
FW_SAME_FIELD(ipfw_xtable_info, vmask, ipfw_xtable_info, vmask);
FW_SAME_FIELD(ipfw_xtable_info, set, ipfw_xtable_info, set);
FW_SAME_FIELD(ipfw_xtable_info, kidx, ipfw_xtable_info, kidx);
FW_SAME_FIELD(ipfw_xtable_info, refcnt, ipfw_xtable_info, refcnt);
FW_SAME_FIELD(ipfw_xtable_info, count, ipfw_xtable_info, count);
FW_SAME_FIELD(ipfw_xtable_info, size, ipfw_xtable_info, size);
FW_SAME_FIELD(ipfw_xtable_info, limit, ipfw_xtable_info, limit);
FW_SAME_FIELD(ipfw_xtable_info, tablename, ipfw_xtable_info, tablename);
FW_SAME_FIELD(ipfw_xtable_info, algoname, ipfw_xtable_info, algoname);
FW_SAME_FIELD(ipfw_xtable_info, ainfo, ipfw_xtable_info, ta_info);

FW_SAME_RECORD(ipfw_obj_ctlv, ipfw_obj_ctlv);
FW_SAME_FIELD(ipfw_obj_ctlv, head, ipfw_obj_ctlv, head);
FW_SAME_FIELD(ipfw_obj_ctlv, count, ipfw_obj_ctlv, count);
FW_SAME_SPAN(ipfw_obj_ctlv, reserved, ipfw_obj_ctlv, objsize, version);
FW_SAME_FIELD(ipfw_obj_ctlv, flags, ipfw_obj_ctlv, flags);

// Only the size: FreeBSD's addresses (struct in_addr) align its flow to 4,
// ours to 2; either sits in the key area, which the number key aligns to 4
// in both (below).
static_assert(sizeof(ipfw_flow_key) == sizeof(freebsd::tflow_entry),
              "ipfw_flow_key: size differs from FreeBSD's tflow_entry");
FW_SAME_FIELD(ipfw_flow_key, af, tflow_entry, af);
FW_SAME_FIELD(ipfw_flow_key, proto, tflow_entry, proto);
FW_SAME_FIELD(ipfw_flow_key, reserved, tflow_entry, spare);
FW_SAME_FIELD(ipfw_flow_key, sport, tflow_entry, sport);
FW_SAME_FIELD(ipfw_flow_key, dport, tflow_entry, dport);
FW_SAME_FIELD(ipfw_flow_key, addr, tflow_entry, a);
// The flow's addresses within addr: IPv4 source and destination at 0 and 4,
// IPv6 at 0 and 16.
static_assert(offsetof(freebsd::tflow_entry, a.a4.sip) == offsetof(ipfw_flow_key, addr) &&
                  offsetof(freebsd::tflow_entry, a.a4.dip) == offsetof(ipfw_flow_key, addr) + 4 &&
                  offsetof(freebsd::tflow_entry, a.a6.sip6) == offsetof(ipfw_flow_key, addr) &&
                  offsetof(freebsd::tflow_entry, a.a6.dip6) == offsetof(ipfw_flow_key, addr) + 16,
              "a flow key's addresses are not where FreeBSD's tflow_entry has them");

FW_SAME_RECORD(ipfw_obj_ntlv, ipfw_obj_ntlv);
FW_SAME_FIELD(ipfw_obj_ntlv, head, ipfw_obj_ntlv, head);
FW_SAME_FIELD(ipfw_obj_ntlv, idx, ipfw_obj_ntlv, idx);
FW_SAME_FIELD(ipfw_obj_ntlv, set, ipfw_obj_ntlv, set);
FW_SAME_FIELD(ipfw_obj_ntlv, type, ipfw_obj_ntlv, type);
FW_SAME_FIELD(ipfw_obj_ntlv, reserved, ipfw_obj_ntlv, spare);
FW_SAME_FIELD(ipfw_obj_ntlv, name, ipfw_obj_ntlv, name);
static_assert(IPFW_TABLE_NAME_MAX + 1 == sizeof(freebsd::ipfw_obj_ntlv::name),
              "IPFW_TABLE_NAME_MAX and its NUL do not fill FreeBSD's name field");

FW_SAME_RECORD(ipfw_obj_header, ipfw_obj_header);
FW_SAME_FIELD(ipfw_obj_header, opheader, ipfw_obj_header, opheader);
FW_SAME_FIELD(ipfw_obj_header, idx, ipfw_obj_header, idx);
FW_SAME_SPAN(ipfw_obj_header, reserved, ipfw_obj_header, spare, objsubtype);
FW_SAME_FIELD(ipfw_obj_header, ntlv, ipfw_obj_header, ntlv);

FW_SAME_RECORD(ipfw_table_value, ipfw_table_value);
FW_SAME_FIELD(ipfw_table_value, tag, ipfw_table_value, tag);
FW_SAME_FIELD(ipfw_table_value, pipe, ipfw_table_value, pipe);
FW_SAME_FIELD(ipfw_table_value, divert, ipfw_table_value, divert);
FW_SAME_FIELD(ipfw_table_value, skipto, ipfw_table_value, skipto);
FW_SAME_FIELD(ipfw_table_value, netgraph, ipfw_table_value, netgraph);
FW_SAME_FIELD(ipfw_table_value, nat, ipfw_table_value, nat);
FW_SAME_FIELD(ipfw_table_value, nh4, ipfw_table_value, nh4);
FW_SAME_FIELD(ipfw_table_value, fib, ipfw_table_value, fib);
FW_SAME_FIELD(ipfw_table_value, dscp, ipfw_table_value, dscp);
FW_SAME_FIELD(ipfw_table_value, reserved0, ipfw_table_value, spare0);
FW_SAME_FIELD(ipfw_table_value, kidx, ipfw_table_value, kidx);
FW_SAME_FIELD(ipfw_table_value, nh6, ipfw_table_value, nh6);
FW_SAME_FIELD(ipfw_table_value, limit, ipfw_table_value, limit);
FW_SAME_FIELD(ipfw_table_value, zoneid, ipfw_table_value, zoneid);
FW_SAME_FIELD(ipfw_table_value, mark, ipfw_table_value, mark);
FW_SAME_FIELD(ipfw_table_value, refcnt, ipfw_table_value, refcnt);

FW_SAME_RECORD(ipfw_obj_tentry, ipfw_obj_tentry);
FW_SAME_FIELD(ipfw_obj_tentry, head, ipfw_obj_tentry, head);
FW_SAME_FIELD(ipfw_obj_tentry, subtype, ipfw_obj_tentry, subtype);
FW_SAME_FIELD(ipfw_obj_tentry, masklen, ipfw_obj_tentry, masklen);
FW_SAME_FIELD(ipfw_obj_tentry, result, ipfw_obj_tentry, result);
FW_SAME_FIELD(ipfw_obj_tentry, reserved, ipfw_obj_tentry, spare0);
FW_SAME_FIELD(ipfw_obj_tentry, idx, ipfw_obj_tentry, idx);
FW_SAME_FIELD(ipfw_obj_tentry, k, ipfw_obj_tentry, k);
FW_SAME_FIELD(ipfw_obj_tentry, v, ipfw_obj_tentry, v);

// The key area by table type. A MAC key is the first 6 octets of FreeBSD's
// wider MAC field, which the rest of the key area holds zero.
static_assert(alignof(ipfw_table_key) == alignof(decltype(freebsd::ipfw_obj_tentry::k)),
              "ipfw_table_key: alignment differs from FreeBSD's key area");
FW_SAME_FIELD(ipfw_obj_tentry, k.addr4, ipfw_obj_tentry, k.addr);
FW_SAME_FIELD(ipfw_obj_tentry, k.addr6, ipfw_obj_tentry, k.addr6);
FW_SAME_FIELD(ipfw_obj_tentry, k.iface, ipfw_obj_tentry, k.iface);
FW_SAME_FIELD(ipfw_obj_tentry, k.number, ipfw_obj_tentry, k.key);
FW_SAME_FIELD(ipfw_obj_tentry, k.flow, ipfw_obj_tentry, k.flow);
static_assert(offsetof(ipfw_obj_tentry, k.mac) == offsetof(freebsd::ipfw_obj_tentry, k.mac) &&
                  sizeof(ipfw_table_key::mac) <= sizeof(freebsd::ipfw_obj_tentry::k.mac),
              "ipfw_obj_tentry.k.mac is not at the start of FreeBSD's k.mac");
