// SPDX-License-Identifier: BSD-2-Clause
// Writing a whole buffer to a descriptor: the one write-all helper of the
// project, for sockets and files alike.
//
// Owns: nothing; the descriptor is the caller's.
// Failure: 0, or -1 with errno set. Short writes and interrupted calls are
// gone on with; a write that makes no progress is EIO. A socket is written
// without raising SIGPIPE: a peer that has gone away is EPIPE.
#pragma once

#include <cstddef>

int write_all(int fd, const void* buf, size_t len);
