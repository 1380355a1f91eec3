// SPDX-License-Identifier: BSD-2-Clause
// The PID file that doubles as the single-instance lock. The file is
// created if missing and exclusively locked (flock kind, never waiting); a
// second process finds the lock held, reads the holder's PID from the file
// and reports it. A file that lost its name between the open and the lock
// (the previous holder's stop unlinked it) is let go and the path opened
// again, so the lock held is always on the file the path names. A file
// nobody holds is taken over only when it is a
// regular file with one link, owned by the effective user and writable by
// no group or other; it is truncated once those checks have passed and the
// lock is held, so a file that is refused is never written. The owner
// writes its PID once it has detached (a failed write leaves the file
// locked where it is) and at shutdown unlinks, unlocks and closes it. Before writing or removing, the
// handle's descriptor is checked to still refer to the file it opened.
//
// The path's directory is opened first, and the file is named in it from
// then on: opened, looked at and, at shutdown, removed through that
// directory descriptor (fwtable/directory_fd.h), which a program in
// capability mode can still do. A directory moved or replaced after the
// start: the file removed is the one in the directory opened.
//
// Owns: the pidlock handle (one heap record per open PID file) and its
// directory descriptor, from pidlock_open until pidlock_remove with
// release true frees it.
// Failure: errno-style: no handle or -1, the reason in errno. EEXIST from
// pidlock_open means exactly: another process holds the lock, whatever its
// file holds; EAGAIN that the path kept naming another file than the one
// just locked, PIDLOCK_OPEN_TRIES times. The refusals of a file at the path are ELOOP,
// PIDLOCK_ENOTREG, EMLINK and EPERM (see pidlock_open; pidlock_refusal
// names them). The identity check fails with PIDLOCK_EIDENTITY.
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

// The error number of a path that names something other than a regular
// file: FreeBSD's EFTYPE ("inappropriate file type"); where it does not
// exist, ENODEV, the number open itself gives for one such file, a device
// file without its device.
#ifdef EFTYPE
constexpr int PIDLOCK_ENOTREG = EFTYPE;
#else
constexpr int PIDLOCK_ENOTREG = ENODEV;
#endif

// Longest path, without the terminating NUL; a path this long or longer is
// refused with ENAMETOOLONG.
constexpr int PIDLOCK_PATH_MAX = 1024;

// How many times pidlock_open opens and locks the path when the file it
// locked has lost its name by then, before it gives up with EAGAIN.
constexpr int PIDLOCK_OPEN_TRIES = 5;

// The largest PID a holder's file is read as; a larger number names no
// process. FreeBSD's PID_MAX, and Linux's upper bound of pid_max.
#if defined(__FreeBSD__)
constexpr int32_t PIDLOCK_PID_MAX = 99999;
#elif defined(__linux__)
constexpr int32_t PIDLOCK_PID_MAX = 4194304;
#else
constexpr int32_t PIDLOCK_PID_MAX = INT32_MAX;
#endif

struct pidlock {
  int32_t fd;  // open, locked, write-only; -1 once closed
  int32_t dir_fd;  // the path's directory, read-only; -1 once closed
  char path[PIDLOCK_PATH_MAX + 1];
  const char* name;  // the file's name in it (in path; "." for a path ending with '/')
  uint64_t dev;  // st_dev right after opening
  uint64_t ino;  // st_ino right after opening
};

// Creates path if it is missing, with mode less the group and other write
// bits (the file-creation mask applies as well); never follows a symbolic
// link at the path, and never waits: neither for the lock nor for a FIFO's
// reader. Locks the file exclusively; when the lock is held elsewhere the
// answer is EEXIST, before the file is checked. Otherwise the file is
// checked, and only a file that passes is truncated. The file locked must
// still have a link and be the one the path names (same device and inode);
// when it is not, it is closed and the path opened again, PIDLOCK_OPEN_TRIES
// times in all. Returns the handle, or none with errno:
//   ENAMETOOLONG  a path of PIDLOCK_PATH_MAX characters or more (nothing
//                 touched); EINVAL for a null path;
//   EEXIST        another open file holds the lock. Its holder's PID is in
//                 *other_pid when the file holds a decimal number from 1 to
//                 PIDLOCK_PID_MAX (digits alone, a line feed after them
//                 allowed); 0 when it holds anything else, or cannot be
//                 read. other_pid may be null;
//   EAGAIN        every try locked a file that had lost its name by then
//                 (the path kept being removed or replaced meanwhile);
//   ELOOP         the path is a symbolic link (dangling or not);
//   PIDLOCK_ENOTREG  the path is not a regular file (a directory, FIFO,
//                 device or socket);
//   EMLINK        the file has more than one link;
//   EPERM         the file is owned by another user, or writable by its
//                 group or others;
//   else the error number of the failing call, except that an open refused
//   with EPERM for a reason of its own (an immutable file, say) reports
//   EACCES, so that EPERM means only the refusal above.
// A refused file is closed unchanged and left where it is. *other_pid is
// written only with EEXIST.
pidlock* pidlock_open(const char* path, mode_t mode, int32_t* other_pid);

// Truncates the file and writes the own PID ("%u") at offset 0. A failed
// truncation or write (a short write is EIO) leaves the file where it is,
// locked, and the handle open: the lock still refuses a second instance,
// and pidlock_remove removes the file at shutdown. 0, or -1 with errno.
int pidlock_write(pidlock* pl);

// Unlinks the file's name in its directory (only while it still names the
// locked file; otherwise it is left alone and the step fails with
// PIDLOCK_EIDENTITY, or with fstatat's error number), releases the lock and
// closes the descriptor: all three attempted, the first failure reported;
// the directory is closed too. A failed identity check does nothing to the
// file or the descriptor. With release the record is freed (and its
// directory closed) in every case, also on failure; without it both
// descriptors become -1 (unless the identity check failed). 0, or -1 with
// errno.
int pidlock_remove(pidlock* pl, bool release);

// What pidlock_open refused, for a warning after the path: "is a symbolic
// link" for ELOOP, and so on for PIDLOCK_ENOTREG, EMLINK and EPERM; null for
// any other error number. A loop of symbolic links on the way also gives
// ELOOP, and is named as a symbolic link too.
const char* pidlock_refusal(int err);
