// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/fwctl.h"

#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fwtable/fatal.h"
#include "fwtable/fwctl_transport.h"
#include "fwtable/platform.h"

namespace {

int control_fd = -1;

// Opens the control socket on first use; a descriptor once had is kept.
int control_socket() {
  if (fwctl_open() != 0) fatal_err(EX_UNAVAILABLE, "socket");
  return control_fd;
}

}  // namespace

int fwctl_open() {
  if (control_fd >= 0) return 0;
  int fd = fwctl_transport_open();
  if (fd < 0) return -1;
  control_fd = fd;
  return 0;
}

int fwctl_get(uint16_t opcode, void* buf, uint64_t* size) {
  ip_fw3_opheader op;
  memcpy(&op, buf, sizeof op);
  op.opcode = opcode;
  op.version = fw_request_version(opcode);
  memcpy(buf, &op, sizeof op);

  uint32_t optlen = static_cast<uint32_t>(*size);
  const platform& p = current_platform();
  int rc = p.fwctl_get(p.fwctl_ctx, buf, &optlen);
  if (rc == 0) *size = optlen;
  return rc;
}

void init_request_header(ipfw_obj_header* oh, const char* name, uint8_t set) {
  ipfw_obj_ntlv* ntlv = &oh->ntlv;
  ntlv->head.type = IPFW_TLV_TBL_NAME;
  ntlv->head.length = sizeof(ipfw_obj_ntlv);
  ntlv->idx = 1;
  ntlv->set = set;
  size_t n = strnlen(name, IPFW_TABLE_NAME_MAX);
  memcpy(ntlv->name, name, n);
  ntlv->name[n] = '\0';
  oh->idx = 1;
}

int fwctl_socket_fd() { return control_fd; }

int fwctl_socket_get(void*, void* buf, uint32_t* len) {
  return fwctl_transport_get(control_socket(), buf, len);
}

int fwctl_kernel_release() {
#if defined(__FreeBSD__) && !defined(HOSTREAPD_USE_EMULATOR)
  return getosreldate();
#else
  return 0;
#endif
}
