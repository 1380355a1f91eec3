// SPDX-License-Identifier: BSD-2-Clause
// Capability mode: see capability_mode.h. The FreeBSD build makes the real
// calls; every other build differs only in that it has none to make.
#include "fwtable/capability_mode.h"

#if defined(__FreeBSD__)
#include <sys/capsicum.h>
#include <sys/ioctl.h>
#include <termios.h>
#endif

#include <cerrno>

namespace {

#if defined(__FreeBSD__)
// The rights of each use, as the header lists them.
void rights_of(fd_use use, cap_rights_t* rights) {
  switch (use) {
    case fd_use::input:
      cap_rights_init(rights);
      return;
    case fd_use::key_input:
      cap_rights_init(rights, CAP_READ, CAP_EVENT, CAP_FSTAT);
      return;
    case fd_use::output:
      cap_rights_init(rights, CAP_WRITE, CAP_EVENT, CAP_FSTAT, CAP_IOCTL);
      return;
    case fd_use::control:
#if defined(HOSTREAPD_USE_EMULATOR)
      cap_rights_init(rights, CAP_READ, CAP_WRITE, CAP_EVENT);
#else
      cap_rights_init(rights, CAP_GETSOCKOPT);
#endif
      return;
    case fd_use::log_socket:
      cap_rights_init(rights, CAP_SEND, CAP_EVENT);
      return;
    case fd_use::log_directory:
      cap_rights_init(rights, CAP_CONNECTAT);
      return;
    case fd_use::metrics_directory:
      cap_rights_init(rights, CAP_CREATE, CAP_WRITE, CAP_FCHMOD, CAP_FSTATAT, CAP_RENAMEAT_SOURCE,
                      CAP_RENAMEAT_TARGET, CAP_UNLINKAT);
      return;
    case fd_use::pid_file:
      cap_rights_init(rights, CAP_FSTAT, CAP_FLOCK);
      return;
    case fd_use::pid_directory:
      cap_rights_init(rights, CAP_FSTATAT, CAP_UNLINKAT);
      return;
  }
  cap_rights_init(rights);
}
#endif

}  // namespace

int capability_limit(int fd, fd_use use) {
#if defined(__FreeBSD__)
  cap_rights_t rights;
  rights_of(use, &rights);
  if (cap_rights_limit(fd, &rights) != 0) return -1;
  // The one ioctl kept: stdio's question whether the descriptor is a
  // terminal (isatty(3)).
  if (use == fd_use::output) {
    const cap_ioctl_t terminal_query[] = {TIOCGETA};
    if (cap_ioctls_limit(fd, terminal_query, 1) != 0) return -1;
  }
  return 0;
#else
  (void)use;
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  return 0;
#endif
}

int capability_enter() {
#if defined(__FreeBSD__)
  return cap_enter();
#else
  return 0;
#endif
}

const char* fd_use_name(fd_use use) {
  switch (use) {
    case fd_use::input:
      return "standard input";
    case fd_use::key_input:
      return "standard input, read for keys";
    case fd_use::output:
      return "standard output or error";
    case fd_use::control:
      return "the control socket";
    case fd_use::log_socket:
      return "the log socket";
    case fd_use::log_directory:
      return "the log socket's directory";
    case fd_use::metrics_directory:
      return "the metrics file's directory";
    case fd_use::pid_file:
      return "the pid file";
    case fd_use::pid_directory:
      return "the pid file's directory";
  }
  return "a descriptor";
}
