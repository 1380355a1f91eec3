// Small socket helpers shared by the emulator transport and the fwemu tool:
// connect to the emulator's Unix socket, and move whole buffers.
//
// Owns: nothing; descriptors belong to the callers.
// Failure: errno-style (-1 with errno). A peer that closes early is EPIPE
// on write (no SIGPIPE is raised) and ECONNRESET on read.
#pragma once

#include <cstddef>

// A connected stream socket to path, close-on-exec; -1 with errno set.
int fwemu_connect(const char* path);
int fwemu_write_all(int fd, const void* buf, size_t len);
int fwemu_read_all(int fd, void* buf, size_t len);
