// The emulator transport: the control socket is a Unix-domain stream
// connection to fwemu, and each get request travels as one framed message
// (fwemu_wire.h) with getsockopt's contract kept exactly: the reply is
// written over the caller's buffer, never past the length passed in, and
// the length, the result and errno come back as the emulator set them.
#if !defined(__FreeBSD__) || defined(HOSTREAPD_USE_EMULATOR)

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fwtable/fw_records.h"
#include "fwtable/fwctl_transport.h"
#include "fwtable/fwemu_io.h"
#include "fwtable/fwemu_wire.h"

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
// broken channel would; a signal that interrupts the wait (a stop, the only
// one the daemon lets through during a cycle) leaves it one more second.
constexpr int64_t REPLY_LIMIT_MS = 30000;
constexpr int64_t REPLY_GRACE_MS = 1000;

int64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads len bytes of the reply before *deadline; ETIMEDOUT when it passes.
int read_reply(int fd, void* buf, size_t len, int64_t* deadline) {
  auto* p = static_cast<char*>(buf);
  while (len > 0) {
    int64_t left = *deadline - monotonic_ms();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd pfd{fd, POLLIN, 0};
    int rc = poll(&pfd, 1, static_cast<int>(left));
    if (rc < 0) {
      if (errno != EINTR) return -1;
      *deadline = std::min(*deadline, monotonic_ms() + REPLY_GRACE_MS);
      continue;
    }
    if (rc == 0) continue;
    ssize_t n = read(fd, p, len);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    if (n == 0) {
      errno = ECONNRESET;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int fwctl_transport_get(int fd, void* buf, uint32_t* len) {
  auto* bytes = static_cast<unsigned char*>(buf);
  uint32_t sent = request_length(bytes, *len);

  fwemu_request_head req{FWEMU_MAGIC, FWEMU_KIND_GET, *len, sent};
  if (fwemu_write_all(fd, &req, sizeof req) != 0 || fwemu_write_all(fd, bytes, sent) != 0) return -1;

  int64_t deadline = monotonic_ms() + REPLY_LIMIT_MS;
  fwemu_reply_head rep;
  if (read_reply(fd, &rep, sizeof rep, &deadline) != 0) return -1;
  if (rep.magic != FWEMU_MAGIC || rep.data > *len || (rep.result != 0 && rep.result != -1)) {
    errno = EPROTO;
    return -1;
  }
  if (read_reply(fd, bytes, rep.data, &deadline) != 0) return -1;
  *len = rep.optlen;
  if (rep.result != 0) {
    // A failure always carries its error number; one without is garbled.
    errno = rep.error > 0 ? rep.error : EPROTO;
    return -1;
  }
  return 0;
}

#endif
