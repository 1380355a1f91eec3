// SPDX-License-Identifier: BSD-2-Clause
// The server's listening socket at a path: claimed so that a live server is
// never pushed aside, a socket file left by a dead one is replaced, and
// anything else at the path is left alone; released by removing the file,
// but only while it is still the one this server bound.
//
// Owns: the listening descriptor and the socket file, from emu_listen until
// emu_unlisten.
// Failure: emu_listen returns an exit status (admin_status.h) with a message
// in *why: 1 when a server is already listening at the path, 64 for a path
// too long for a socket address, 73 when something other than a socket is
// there, 71 when a system call fails. Nothing prints.
#pragma once

#include <sys/types.h>

#include <string>

struct emu_listener {
  int fd = -1;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
};

int emu_listen(const char* path, emu_listener* l, std::string* why);

// Closes the descriptor and removes the socket file if it is still ours.
void emu_unlisten(emu_listener* l);
