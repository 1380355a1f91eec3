// SPDX-License-Identifier: BSD-2-Clause
// A preload library for the PID-file tests only (never installed): it
// stands between hostreapd and flock(2), to force the orders of events that
// a race would give only now and then. Set in the environment of the one
// process it is preloaded into:
//
//   HOSTREAPD_TEST_LOCK_PAUSE=DIR   the first exclusive lock of the process
//       waits: the library creates DIR/paused, then waits until DIR/go
//       exists (at most a minute), then takes the lock. The PID file is
//       then open and not yet locked, and the test acts meanwhile.
//   HOSTREAPD_TEST_LOCK_UNLINK=PATH  before every exclusive lock, PATH is
//       unlinked: the file just opened has always lost its name by the time
//       it is locked.
//
// Owns: nothing. Failure: none reported; a step that fails is skipped, and
// the real flock's result is returned as it is.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

using flock_fn = int (*)(int, int);

void pause_once(const char* dir) {
  static bool paused = false;
  if (paused) return;
  paused = true;
  const std::string base = dir;
  int fd = open((base + "/paused").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
  const std::string go = base + "/go";
  struct stat st;
  const timespec tick = {0, 1000000};
  for (int waited_ms = 0; waited_ms < 60000 && stat(go.c_str(), &st) != 0; waited_ms++)
    nanosleep(&tick, nullptr);
}

}  // namespace

extern "C" int flock(int fd, int operation) {
  static flock_fn real = reinterpret_cast<flock_fn>(dlsym(RTLD_NEXT, "flock"));
  if ((operation & LOCK_EX) != 0) {
    if (const char* path = getenv("HOSTREAPD_TEST_LOCK_UNLINK")) unlink(path);
    if (const char* dir = getenv("HOSTREAPD_TEST_LOCK_PAUSE")) pause_once(dir);
  }
  return real(fd, operation);
}
