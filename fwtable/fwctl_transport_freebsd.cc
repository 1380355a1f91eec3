// SPDX-License-Identifier: BSD-2-Clause
// The FreeBSD kernel transport: a raw IPv4 socket and the IP_FW3 socket
// option read with getsockopt. Built only where the kernel has it.
#if defined(__FreeBSD__) && !defined(HOSTREAPD_USE_EMULATOR)

#include <netinet/in.h>
#include <sys/socket.h>

#include "fwtable/fw_records.h"
#include "fwtable/fwctl_transport.h"

int fwctl_transport_open() { return socket(AF_INET, SOCK_RAW, IPPROTO_RAW); }

int fwctl_transport_get(int fd, void* buf, uint32_t* len) {
  socklen_t optlen = *len;
  int rc = getsockopt(fd, IPPROTO_IP, IP_FW3_OPTION, buf, &optlen);
  // The kernel copies the length back only when the request succeeds.
  if (rc == 0) *len = optlen;
  return rc;
}

#endif
