// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/entry_write.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "fwtable/fwctl.h"

int find_table_entry(const ipfw_obj_header* oh, ipfw_obj_tentry* entry) {
  uint8_t buf[FW_FIND_REQUEST_SIZE];
  memcpy(buf, oh, sizeof *oh);
  ipfw_obj_tentry e = *entry;
  e.head.type = 0;
  e.head.flags = 0;
  e.head.length = sizeof e;
  e.result = 0;
  e.idx = oh->idx;
  memcpy(buf + sizeof *oh, &e, sizeof e);
  uint64_t size = sizeof buf;
  if (fwctl_get(IP_FW_TABLE_XFIND, buf, &size) != 0) return errno;
  if (size != sizeof buf) return EBADMSG;
  memcpy(&e, buf + sizeof *oh, sizeof e);
  entry->subtype = e.subtype;
  entry->masklen = e.masklen;
  entry->k = e.k;
  entry->v = e.v;
  return 0;
}

int write_table_entries(const ipfw_obj_header* oh, ipfw_obj_tentry* entries, size_t n) {
  if (n == 0 || n > ENTRY_WRITE_MAX) return EINVAL;
  uint8_t buf[FW_CHANGE_ENTRIES_OFFSET + ENTRY_WRITE_MAX * sizeof(ipfw_obj_tentry)];
  const size_t len = FW_CHANGE_ENTRIES_OFFSET + n * sizeof(ipfw_obj_tentry);
  memset(buf, 0, len);
  memcpy(buf, oh, sizeof *oh);
  ipfw_obj_ctlv ctlv;
  memset(&ctlv, 0, sizeof ctlv);
  ctlv.head.length = static_cast<uint32_t>(sizeof ctlv + n * sizeof(ipfw_obj_tentry));
  ctlv.count = static_cast<uint32_t>(n);
  memcpy(buf + sizeof *oh, &ctlv, sizeof ctlv);
  for (size_t i = 0; i < n; i++) {
    ipfw_obj_tentry e = entries[i];
    e.head.type = 0;
    e.head.flags = IPFW_TF_UPDATE;
    e.head.length = sizeof e;
    e.result = 0;
    e.idx = oh->idx;
    memcpy(buf + FW_CHANGE_ENTRIES_OFFSET + i * sizeof e, &e, sizeof e);
  }
  uint64_t size = len;
  const int error = fwctl_get(IP_FW_TABLE_XADD, buf, &size) == 0 ? 0 : errno;
  // The kernel writes each entry's result in place; the buffer is ours and
  // holds all n entries, whatever length came back.
  for (size_t i = 0; i < n; i++)
    entries[i].result =
        buf[FW_CHANGE_ENTRIES_OFFSET + i * sizeof(ipfw_obj_tentry) + offsetof(ipfw_obj_tentry, result)];
  return error;
}
