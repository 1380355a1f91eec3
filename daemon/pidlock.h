// The PID file that doubles as the single-instance lock. The file is
// created and exclusively locked (flock kind, never waiting) in one step;
// a second process finds the lock held, reads the holder's PID from the
// file and reports it. The owner writes its PID once it has detached and at
// shutdown unlinks, unlocks and closes the file. Before writing or removing,
// the handle's descriptor is checked to still refer to the file it opened.
//
// Owns: the pidlock handle (one heap record per open PID file), from
// pidlock_open until pidlock_remove with release true frees it.
// Failure: errno-style: no handle or -1, the reason in errno. EEXIST from
// pidlock_open means exactly: another process holds the lock and its PID
// is in *other_pid. The identity check fails with PIDLOCK_EIDENTITY.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>

// The error number of a failed identity check: FreeBSD's EDOOFUS; where it
// does not exist, ESTALE ("stale file handle": the descriptor no longer
// refers to the file the handle opened).
#ifdef EDOOFUS
constexpr int PIDLOCK_EIDENTITY = EDOOFUS;
#else
constexpr int PIDLOCK_EIDENTITY = ESTALE;
#endif

// Longest path, without the terminating NUL; a path this long or longer is
// refused with ENAMETOOLONG.
constexpr int PIDLOCK_PATH_MAX = 1024;

struct pidlock {
  int32_t fd;  // open, locked, write-only; -1 once closed
  char path[PIDLOCK_PATH_MAX + 1];
  uint64_t dev;  // st_dev right after opening
  uint64_t ino;  // st_ino right after opening
};

pidlock* pidlock_open(const char* path, mode_t mode, int32_t* other_pid);
int pidlock_write(pidlock* pl);
int pidlock_remove(pidlock* pl, bool release);
