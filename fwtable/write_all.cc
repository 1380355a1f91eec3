// SPDX-License-Identifier: BSD-2-Clause
// See write_all.h.
#include "fwtable/write_all.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // where it is missing, the socket's owner sets SO_NOSIGPIPE
#endif

int write_all(int fd, const void* buf, size_t len) {
  const auto* p = static_cast<const char*>(buf);
  // send() first, which alone can keep a socket from raising SIGPIPE; a
  // descriptor that is not a socket says so, and is written with write().
  bool socket = true;
  while (len > 0) {
    ssize_t n = socket ? send(fd, p, len, MSG_NOSIGNAL) : write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOTSOCK && socket) {
        socket = false;
        continue;
      }
      return -1;
    }
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}
