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

// Creates path with mode (the file-creation mask applies) if it is missing,
// locks it exclusively without waiting and truncates it once the lock is
// held. Returns the handle, or none with errno: ENAMETOOLONG for a path of
// PIDLOCK_PATH_MAX characters or more (nothing touched); EEXIST when another
// open file holds the lock and its PID (the file's first 15 bytes, wholly a
// decimal number, empty reading as 0, cut to 32 bits) is in *other_pid;
// EINVAL when those bytes are not wholly a number (or path is null); else
// the error number of the failing call. *other_pid is written only when the
// holder's file could be read; other_pid may be null.
pidlock* pidlock_open(const char* path, mode_t mode, int32_t* other_pid);

// Truncates the file and writes the own PID ("%u") at offset 0. After the
// identity check passes, a failed truncation or write (a short write is
// EIO) removes the file and closes the handle as pidlock_remove(pl, false)
// does. 0, or -1 with errno.
int pidlock_write(pidlock* pl);

// Unlinks the path (only while it still names the locked file; otherwise
// the path is left alone and the step fails with PIDLOCK_EIDENTITY, or with
// stat's error number), releases the lock and closes the descriptor: all
// three attempted, the first failure reported. A failed identity check does
// nothing to the file or the descriptor. With release the record is freed
// in every case, also on failure; without it the descriptor becomes -1
// (unless the identity check failed). 0, or -1 with errno.
int pidlock_remove(pidlock* pl, bool release);
