// SPDX-License-Identifier: BSD-2-Clause
#include "emu/listen_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "emu/admin_status.h"
#include "fwtable/fwemu_io.h"

namespace {

int system_failure(std::string* why, const std::string& what) {
  *why = what + ": " + strerror(errno);
  return EMU_SYSTEM;
}

// Looks at whatever is at the path: nothing, a live server (refused), a
// stale socket (removed), or something else (refused).
int clear_path(const char* path, std::string* why) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    if (errno == ENOENT) return 0;
    return system_failure(why, path);
  }
  if (!S_ISSOCK(st.st_mode)) {
    *why = std::string(path) + ": exists and is not a socket";
    return EX_CANTCREAT;
  }
  int fd = fwemu_connect(path);
  if (fd >= 0) {
    close(fd);
    *why = std::string(path) + ": another fwemu is serving there";
    return EMU_REFUSED;
  }
  if (errno != ECONNREFUSED && errno != ENOENT) return system_failure(why, path);
  if (unlink(path) != 0 && errno != ENOENT) return system_failure(why, std::string("unlink ") + path);
  return 0;
}

}  // namespace

int emu_listen(const char* path, emu_listener* l, std::string* why) {
  sockaddr_un sun;
  memset(&sun, 0, sizeof sun);
  sun.sun_family = AF_UNIX;
  size_t n = strlen(path);
  if (n == 0 || n >= sizeof sun.sun_path) {
    *why = std::string(path) + ": not a usable socket path (1 to " + std::to_string(sizeof sun.sun_path - 1) +
           " bytes)";
    return EMU_USAGE;
  }
  memcpy(sun.sun_path, path, n);
  if (int st = clear_path(path, why)) return st;

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return system_failure(why, "socket");
  if (bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    if (saved == EADDRINUSE) {
      *why = std::string(path) + ": another fwemu is serving there";
      return EMU_REFUSED;
    }
    return system_failure(why, std::string("bind ") + path);
  }
  struct stat st;
  if (listen(fd, SOMAXCONN) != 0 || stat(path, &st) != 0) {
    int saved = errno;
    close(fd);
    unlink(path);
    errno = saved;
    return system_failure(why, std::string("listen ") + path);
  }
  l->fd = fd;
  l->path = path;
  l->dev = st.st_dev;
  l->ino = st.st_ino;
  return 0;
}

void emu_unlisten(emu_listener* l) {
  if (l->fd < 0) return;
  struct stat st;
  if (lstat(l->path.c_str(), &st) == 0 && st.st_dev == l->dev && st.st_ino == l->ino) unlink(l->path.c_str());
  close(l->fd);
  l->fd = -1;
}
