// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/directory_fd.h"

#include <fcntl.h>
#include <limits.h>

#include <cerrno>
#include <cstring>

const char* path_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

int open_path_directory(const char* path) {
  const char* name = path_name(path);
  const size_t dir_len = name - path;
  char dir[PATH_MAX];
  if (dir_len == 0) {
    strcpy(dir, ".");
  } else if (dir_len == 1) {
    strcpy(dir, "/");
  } else {
    // Without the slash before the name.
    if (dir_len - 1 >= sizeof dir) {
      errno = ENAMETOOLONG;
      return -1;
    }
    memcpy(dir, path, dir_len - 1);
    dir[dir_len - 1] = '\0';
  }
  return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}
