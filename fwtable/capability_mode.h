// SPDX-License-Identifier: BSD-2-Clause
// The system's capability mode: FreeBSD's Capsicum in a FreeBSD build,
// nothing elsewhere. Once a program has opened what it needs, it limits
// each descriptor it keeps to the rights its use of it calls for
// (cap_rights_limit(2), and cap_ioctls_limit(2) where a right to ioctl is
// kept) and enters capability mode (cap_enter(2)): from then on it can
// reach no file, socket or process by a name, only through the descriptors
// it holds and with their rights. A descriptor made later through one of
// them (a file openat(2) creates in a directory) has no more rights than
// the directory's.
//
// The rights of each use (CAP_ names of rights(4)):
//
//   input              no right at all (standard input: never read)
//   key_input          CAP_READ, CAP_EVENT, CAP_FSTAT (standard input of
//                      a command that reads keys from it: read, waited on
//                      with pselect(2))
//   output             CAP_WRITE, CAP_EVENT, CAP_FSTAT, CAP_IOCTL for
//                      TIOCGETA alone (standard output and error; a line
//                      of standard error waits in poll(2) for room, so
//                      that a stop can cut it short; stdio looks at the
//                      descriptor, and whether it is a terminal, before
//                      its first write)
//   control            CAP_GETSOCKOPT: every request of the control socket
//                      is a getsockopt(2) (the emulator's stream socket,
//                      where a FreeBSD build talks to it: CAP_READ,
//                      CAP_WRITE, CAP_EVENT)
//   log_socket         CAP_SEND, CAP_EVENT (poll(2) for room)
//   log_directory      CAP_CONNECTAT (a new log socket connected by name)
//   metrics_directory  CAP_CREATE, CAP_WRITE, CAP_FCHMOD (the temporary
//                      file made there, written, its mode set), CAP_FSTATAT,
//                      CAP_RENAMEAT_SOURCE, CAP_RENAMEAT_TARGET, CAP_UNLINKAT
//                      (the temporary file removed after a failure; a
//                      rename over an existing file needs it too)
//   pid_file           CAP_FSTAT, CAP_FLOCK (its identity checked, its lock
//                      let go at the stop)
//   pid_directory      CAP_FSTATAT, CAP_UNLINKAT (the file checked and
//                      removed at the stop)
//
// CAP_CONNECTAT, CAP_FSTATAT, CAP_RENAMEAT_SOURCE, CAP_RENAMEAT_TARGET and
// CAP_UNLINKAT each include CAP_LOOKUP, the right to name a file in the
// directory.
//
// Owns: nothing.
// Failure: errno-style, nothing printed. A FreeBSD kernel built without
// capabilities answers ENOSYS; a build for another system (no capability
// mode there) does nothing and answers success.
#pragma once

enum class fd_use {
  input,
  key_input,
  output,
  control,
  log_socket,
  log_directory,
  metrics_directory,
  pid_file,
  pid_directory
};

// Limits fd to the rights of its use: 0, or -1 with errno (EBADF,
// ENOTCAPABLE for rights it no longer has, ENOSYS). Limiting a descriptor
// again to the same rights succeeds.
int capability_limit(int fd, fd_use use);

// Enters capability mode, for good: 0, or -1 with errno (ENOSYS: the
// kernel has no capability mode).
int capability_enter();

// What a descriptor of this use is, for messages: "standard input", "the
// control socket", and so on.
const char* fd_use_name(fd_use use);
