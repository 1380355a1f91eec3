// SPDX-License-Identifier: BSD-2-Clause
// The emulator transport: the control socket is a Unix-domain stream
// connection to fwemu, and each get request travels as one framed message
// (fwemu_wire.h) with getsockopt's contract kept exactly: the reply is
// written over the caller's buffer, never past the length passed in, the
// result and errno come back as the emulator set them, and the length too
// when the request succeeded (a failed one leaves the caller's as it was). A
// successful reply looks as a kernel's does, written whole: what of it up
// to the length it states (within the buffer) did not come over the
// channel reads as zero, never as what an earlier reply left there.
#if !defined(__FreeBSD__) || defined(HOSTREAPD_USE_EMULATOR)

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fwtable/fw_records.h"
#include "fwtable/fwctl_transport.h"
#include "fwtable/fwemu_io.h"
#include "fwtable/fwemu_wire.h"
#include "fwtable/write_all.h"

int fwctl_transport_open() { return fwemu_connect(fwemu_socket_path()); }

namespace {

// How much of the buffer the request is. Info and list requests are their
// object header alone: the kernel reads nothing else, and the rest of the
// buffer is room for the answer (a list buffer may be a hundred megabytes,
// which would otherwise be read through, and faulted in, for nothing). Of
// any request, trailing zero bytes are not sent: the emulator zero-fills
// them.
uint32_t request_length(const unsigned char* bytes, uint32_t len) {
  uint32_t n = len;
  if (n >= sizeof(ip_fw3_opheader)) {
    ip_fw3_opheader op;
    memcpy(&op, bytes, sizeof op);
    if (op.opcode == IP_FW_TABLE_XINFO || op.opcode == IP_FW_TABLE_XLIST)
      n = std::min<uint32_t>(n, sizeof(ipfw_obj_header));
  }
  while (n > 0 && bytes[n - 1] == 0) n--;
  return n;
}

// A reply that does not come within this time fails the request, as a
// broken channel would. Once a stop has come, the wait ends at most
// FWEMU_GRACE_MS after the stop was first seen, however the reply trickles
// in (fwemu_read_all); a reply that is whole by then is kept.
constexpr int64_t REPLY_LIMIT_MS = 30000;

}  // namespace

int fwctl_transport_get(int fd, void* buf, uint32_t* len) {
  auto* bytes = static_cast<unsigned char*>(buf);
  uint32_t sent = request_length(bytes, *len);

  fwemu_request_head req{FWEMU_MAGIC, FWEMU_KIND_GET, *len, sent};
  if (write_all(fd, &req, sizeof req) != 0 || write_all(fd, bytes, sent) != 0) return -1;

  int64_t deadline = fwemu_monotonic_ms() + REPLY_LIMIT_MS;
  fwemu_reply_head rep;
  // A wait given up for a stop returns FWCTL_GIVEN_UP as it came; the
  // kernel's own failures, ECANCELED among them, come as -1 below.
  if (int rc = fwemu_read_all(fd, &rep, sizeof rep, &deadline); rc != 0) return rc;
  if (rep.magic != FWEMU_MAGIC || rep.data > *len || (rep.result != 0 && rep.result != -1)) {
    errno = EPROTO;
    return -1;
  }
  if (int rc = fwemu_read_all(fd, bytes, rep.data, &deadline); rc != 0) return rc;
  if (rep.result != 0) {
    // A failure always carries its error number; one without is garbled.
    // Its length is not taken: getsockopt leaves the caller's as passed.
    errno = rep.error > 0 ? rep.error : EPROTO;
    return -1;
  }
  const uint32_t room = *len;
  *len = rep.optlen;
  const uint32_t stated_end = std::min(rep.optlen, room);
  if (stated_end > rep.data) memset(bytes + rep.data, 0, stated_end - rep.data);
  return 0;
}

#endif
