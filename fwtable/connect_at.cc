// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/connect_at.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Fills sun with the socket's name (a path, or a name in a directory):
// false with ENAMETOOLONG when it does not fit.
bool socket_address(const char* name, sockaddr_un* sun) {
  memset(sun, 0, sizeof *sun);
  sun->sun_family = AF_UNIX;
  const size_t len = strlen(name);
  if (len >= sizeof sun->sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(sun->sun_path, name, len);
  return true;
}

// Connects sock to the socket at path.
int connect_path(int sock, const char* path) {
  sockaddr_un sun;
  if (!socket_address(path, &sun)) return -1;
  return connect(sock, reinterpret_cast<sockaddr*>(&sun), sizeof sun);
}

}  // namespace

int connect_at(int sock, int dir_fd, const char* name, const char* fallback_path) {
  if (dir_fd < 0) return connect_path(sock, fallback_path);
#if defined(__FreeBSD__)
  (void)fallback_path;
  sockaddr_un sun;
  if (!socket_address(name, &sun)) return -1;
  return connectat(dir_fd, sock, reinterpret_cast<sockaddr*>(&sun), sizeof sun);
#else
  // The directory as /proc shows this process's descriptor, when it does:
  // the same directory as the descriptor's, and a path that fits.
  char dir[32];
  snprintf(dir, sizeof dir, "/proc/self/fd/%d", dir_fd);
  char path[sizeof(sockaddr_un::sun_path)];
  const int n = snprintf(path, sizeof path, "%s/%s", dir, name);
  struct stat by_proc, held;
  if (n < 0 || static_cast<size_t>(n) >= sizeof path || stat(dir, &by_proc) != 0 ||
      fstat(dir_fd, &held) != 0 || by_proc.st_dev != held.st_dev || by_proc.st_ino != held.st_ino)
    return connect_path(sock, fallback_path);
  return connect_path(sock, path);
#endif
}
