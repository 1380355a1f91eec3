// SPDX-License-Identifier: BSD-2-Clause
// Connecting a socket to a Unix-domain socket by its name in a directory
// descriptor (fwtable/directory_fd.h): connectat(2) on FreeBSD, the one
// way to connect by name in capability mode; elsewhere connect(2) to the
// directory as /proc/self/fd shows it (the descriptor's directory, wherever
// it has been moved), or, where /proc does not show it or the path would
// not fit a socket address, to the path the caller gives instead.
//
// Owns: nothing; both descriptors are the caller's.
// Failure: as connect(2), -1 with errno; ENAMETOOLONG for a name (or the
// path it falls back to) too long for a socket address.
#pragma once

// Connects sock to the socket name in the directory dir_fd; a dir_fd of
// -1 connects to fallback_path.
int connect_at(int sock, int dir_fd, const char* name, const char* fallback_path);
