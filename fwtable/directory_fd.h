// SPDX-License-Identifier: BSD-2-Clause
// A path taken apart for work through a directory descriptor: the name its
// last component gives, and its directory opened once. A program that
// opens the directory at its start and names the file in it from then on
// (openat, fstatat, renameat, unlinkat, connectat) reaches the same
// directory for as long as it runs, wherever that directory is moved, and
// needs no lookup of the path itself: the one way a file can still be
// reached in capability mode (fwtable/capability_mode.h).
//
// A directory renamed, or replaced by another at its path, while the
// descriptor is held: the descriptor keeps the one it opened.
//
// Owns: nothing; the descriptor goes to the caller.
// Failure: errno-style (-1 with errno); nothing is printed.
#pragma once

// The name the path gives in its directory: what follows its last slash,
// the whole path when it has none, empty when it ends with a slash.
const char* path_name(const char* path);

// Opens the directory that holds the path's last component: the part
// before its last slash ("/" for a name at the root, "." for a path
// without a slash), read-only, close-on-exec, refused unless it is a
// directory (a symbolic link on the way is followed, as a lookup of the
// path would follow it). Returns the descriptor, or -1 with errno: the
// open's, or ENAMETOOLONG for a directory part longer than PATH_MAX.
int open_path_directory(const char* path);
