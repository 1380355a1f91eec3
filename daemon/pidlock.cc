// SPDX-License-Identifier: BSD-2-Clause
// The PID file as the single-instance lock: see pidlock.h.
//
// The open never truncates: O_TRUNC would act before the file could be
// checked, and a file that is then refused (a hard link to another file,
// one owned by someone else) must be left as it was. So the steps are: open
// without following a link at the path, lock (in the open itself where
// open(2) takes the flock-kind lock, O_EXLOCK; with flock(LOCK_EX |
// LOCK_NB) elsewhere), make sure the path still names the file locked
// (else start over), check the open file, and only then truncate. A
// process that loses the race for the lock therefore never erases the
// holder's PID, and the lock is tried before the checks on every platform.
// Every step names the file in the directory opened first (dir_fd, name).
#include "daemon/pidlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

// FreeBSD opens and locks in one call; losing O_EXLOCK there (to a feature
// macro, say) would quietly switch to the two-step road.
#if defined(__FreeBSD__) && !defined(O_EXLOCK)
#error "O_EXLOCK is expected on FreeBSD"
#endif
#include <utility>

#include "fwtable/directory_fd.h"
#include "fwtable/malloc_ptr.h"

namespace {

// The holder's file is read up to this many bytes; one that fills them is
// longer than any PID's text (leading zeros and a line feed included).
constexpr size_t pid_read_max = 32;

using pidlock_ptr = malloc_ptr<pidlock>;

// Copies src into dst (dst_size bytes, at least 1) keeping at most
// dst_size - 1 characters, always terminated. Returns the number of
// characters kept.
size_t copy_bounded(char* dst, size_t dst_size, const char* src) {
  size_t n = 0;
  while (n + 1 < dst_size && src[n] != '\0') {
    dst[n] = src[n];
    ++n;
  }
  dst[n] = '\0';
  return n;
}

// Drops the record (closing its directory) and returns "no handle" with
// err in errno (set after the release, so nothing on the way can disturb
// it).
pidlock* fail_open(pidlock_ptr rec, int err) {
  if (rec && rec->dir_fd >= 0) close(rec->dir_fd);
  rec.reset();
  errno = err;
  return nullptr;
}

bool would_block(int err) { return err == EWOULDBLOCK || err == EAGAIN; }

// Opens the file name of the directory dir write-only and exclusively
// locked, without waiting: neither for the lock nor for a FIFO's reader
// (O_NONBLOCK makes that open fail with ENXIO). Creates the file with mode
// if it is missing; never follows a symbolic link there, never truncates.
// Returns the descriptor, or -1 with the reason in errno; *held tells that
// another open file holds the lock.
int open_locked(int dir, const char* name, mode_t mode, bool* held) {
  *held = false;
  const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CREAT | O_CLOEXEC;
#ifdef O_EXLOCK
  int fd = openat(dir, name, flags | O_EXLOCK, mode);
  if (fd < 0) *held = would_block(errno);
  return fd;
#else
  int fd = openat(dir, name, flags, mode);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    close(fd);
    *held = would_block(err);
    errno = err;
    return -1;
  }
  return fd;
#endif
}

// The error number for an open of name that failed with err (the lock not
// held elsewhere). What is at the path decides first, whatever the open
// said of it (ELOOP, or FreeBSD's EMLINK, for a link; EISDIR for a
// directory; ENXIO for a FIFO without a reader or a socket): a symbolic
// link is ELOOP, anything else but a regular file PIDLOCK_ENOTREG. An EPERM
// of the open's own (an immutable file) becomes EACCES, as EPERM names the
// refusal of the file's owner or mode.
int open_failure(int dir, const char* name, int err) {
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) return ELOOP;
    if (!S_ISREG(st.st_mode)) return PIDLOCK_ENOTREG;
  }
  return err == EPERM ? EACCES : err;
}

// 0 when the open, locked file that st describes may be taken over as the
// PID file; otherwise the refusal. The file still has its name here
// (lock_named saw to it).
int check_file(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return PIDLOCK_ENOTREG;
  if (st.st_nlink > 1) return EMLINK;
  if (st.st_uid != geteuid()) return EPERM;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return EPERM;
  return 0;
}

// The holder's PID from the text of its file: a decimal number from 1 to
// PIDLOCK_PID_MAX, digits alone, a line feed after them allowed; 0 for any
// other text (empty, signed, blank, too large, anything after the number).
int32_t parse_holder_pid(const char* text, size_t len) {
  if (len > 0 && text[len - 1] == '\n') --len;
  if (len == 0) return 0;
  int64_t value = 0;
  for (size_t i = 0; i < len; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = value * 10 + (text[i] - '0');
    if (value > PIDLOCK_PID_MAX) return 0;
  }
  return static_cast<int32_t>(value);
}

// The lock is held by another open file: the holder's PID as its file
// states it (parse_holder_pid); 0 when it states none, or when the file
// cannot be opened, read, or is no longer a regular file: the lock being
// held is the answer, the number only names the holder.
int32_t read_holder_pid(int dir, const char* name) {
  int fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[pid_read_max];
  ssize_t got = -1;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) got = read(fd, text, sizeof text);
  close(fd);
  // A file that fills the buffer is longer than any PID's text.
  if (got < 0 || static_cast<size_t>(got) == sizeof text) return 0;
  return parse_holder_pid(text, static_cast<size_t>(got));
}

// Whether st is the file the handle opened.
bool same_file(const pidlock* pl, const struct stat& st) {
  return static_cast<uint64_t>(st.st_dev) == pl->dev && static_cast<uint64_t>(st.st_ino) == pl->ino;
}

// 0 when the handle is present, open, and its descriptor still refers to
// the file it opened; otherwise the error number: PIDLOCK_EIDENTITY, or
// that of a failing fstat.
int check_identity(const pidlock* pl) {
  if (pl == nullptr || pl->fd == -1) return PIDLOCK_EIDENTITY;
  struct stat st;
  if (fstat(pl->fd, &st) != 0) return errno;
  return same_file(pl, st) ? 0 : PIDLOCK_EIDENTITY;
}

// Unlinks the handle's name in its directory, but only while it still
// names the locked file itself (not a link to it): a name removed or
// replaced by someone else (say a second instance that started after our
// file had been deleted) is left alone. Returns 0 or the error number.
int unlink_own_path(const pidlock* pl) {
  struct stat st;
  if (fstatat(pl->dir_fd, pl->name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!same_file(pl, st)) return PIDLOCK_EIDENTITY;
  if (unlinkat(pl->dir_fd, pl->name, 0) != 0) return errno;
  return 0;
}

// How the file just locked stands to its path.
enum class naming { named, lost, failed };

// Whether the open file that st describes still has a link and the path
// (not followed) still names it. A stop of the file's previous holder
// unlinks it, and someone may put another file at the path, between an
// open and its lock: the lock then guards nothing that a later start could
// find. failed: fstatat failed for another reason than a missing name (the
// reason in errno).
naming name_of_locked(int dir, const char* name, const struct stat& st) {
  if (st.st_nlink == 0) return naming::lost;
  struct stat at_path;
  if (fstatat(dir, name, &at_path, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? naming::lost : naming::failed;
  return at_path.st_dev == st.st_dev && at_path.st_ino == st.st_ino ? naming::named : naming::lost;
}

// open_locked, until the file locked is the one the path names: one that
// lost its name between the open and the lock is closed and the path
// opened again, up to PIDLOCK_OPEN_TRIES times in all. Returns the
// descriptor with the file's status in *st, or -1 with errno: EAGAIN when
// every try lost its file; *held (as from open_locked) when another open
// file holds the lock, which ends the tries at once. Any other failure of
// the open is reported as open_failure gives it.
int lock_named(int dir, const char* name, mode_t mode, struct stat* st, bool* held) {
  for (int tries = 0; tries < PIDLOCK_OPEN_TRIES; ++tries) {
    int fd = open_locked(dir, name, mode, held);
    if (fd < 0) {
      if (!*held) errno = open_failure(dir, name, errno);
      return -1;
    }
    naming n = fstat(fd, st) != 0 ? naming::failed : name_of_locked(dir, name, *st);
    if (n == naming::named) return fd;
    int err = errno;
    close(fd);
    if (n == naming::failed) {
      errno = err;
      return -1;
    }
  }
  errno = EAGAIN;
  return -1;
}

}  // namespace

pidlock* pidlock_open(const char* path, mode_t mode, int32_t* other_pid) {
  pidlock_ptr rec(static_cast<pidlock*>(std::malloc(sizeof(pidlock))));
  if (!rec) {
    errno = ENOMEM;
    return nullptr;
  }
  rec->fd = -1;
  rec->dir_fd = -1;
  rec->dev = 0;
  rec->ino = 0;
  if (path == nullptr) return fail_open(std::move(rec), EINVAL);

  // Kept to PIDLOCK_PATH_MAX characters; one that fills them all was cut
  // (or is exactly that long) and is refused before the file system sees it.
  const size_t len = copy_bounded(rec->path, sizeof rec->path, path);
  if (len == PIDLOCK_PATH_MAX) {
    return fail_open(std::move(rec), ENAMETOOLONG);
  }
  if (len == 0) return fail_open(std::move(rec), ENOENT);
  // A path that ends with a slash names its directory itself, which is
  // then refused as no regular file.
  rec->name = path_name(rec->path);
  if (rec->name[0] == '\0') rec->name = ".";
  rec->dir_fd = open_path_directory(rec->path);
  if (rec->dir_fd < 0) return fail_open(std::move(rec), errno);

  // Group and others never get to write the file: such a file would be
  // refused at the next start.
  struct stat st;
  bool held = false;
  int fd = lock_named(rec->dir_fd, rec->name, mode & ~static_cast<mode_t>(S_IWGRP | S_IWOTH), &st, &held);
  if (fd < 0) {
    if (held) {
      // Refused on the lock alone: what the file holds only names the holder.
      int32_t pid = read_holder_pid(rec->dir_fd, rec->name);
      if (other_pid != nullptr) *other_pid = pid;
      return fail_open(std::move(rec), EEXIST);
    }
    return fail_open(std::move(rec), errno);
  }

  // Checked with the lock held and before anything is written: a refused
  // file is closed as it was found.
  int err = check_file(st);
  if (err == 0 && ftruncate(fd, 0) != 0) err = errno;
  if (err != 0) {
    close(fd);
    return fail_open(std::move(rec), err);
  }
  rec->fd = fd;
  rec->dev = static_cast<uint64_t>(st.st_dev);
  rec->ino = static_cast<uint64_t>(st.st_ino);
  return rec.release();
}

int pidlock_write(pidlock* pl) {
  int err = check_identity(pl);
  if (err != 0) {
    errno = err;
    return -1;
  }

  if (ftruncate(pl->fd, 0) != 0) err = errno;
  char text[16];
  int len = std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(getpid()));
  ssize_t put = pwrite(pl->fd, text, static_cast<size_t>(len), 0);
  if (err == 0 && put < 0) err = errno;
  // A short write sets no error number of its own; report it as EIO
  // rather than whatever errno last held.
  if (err == 0 && put != len) err = EIO;
  if (err == 0) return 0;

  // The file stays, locked: it is still the lock against a second
  // instance, whatever it now holds (a second start names no PID).
  errno = err;
  return -1;
}

int pidlock_remove(pidlock* pl, bool release) {
  int err = check_identity(pl);
  if (err != 0) {
    // Nothing of the file is touched, and the descriptor may no longer be
    // ours to close; but a caller that gives the handle up still has it
    // freed, as it has no other way to do so, and its directory closed.
    if (release && pl != nullptr) {
      if (pl->dir_fd >= 0) close(pl->dir_fd);
      std::free(pl);
    }
    errno = err;
    return -1;
  }

  // All three steps are taken; the first failure is the one reported.
  err = unlink_own_path(pl);
  if (flock(pl->fd, LOCK_UN) != 0 && err == 0) err = errno;
  if (close(pl->fd) != 0 && err == 0) err = errno;
  if (pl->dir_fd >= 0) close(pl->dir_fd);

  if (release) {
    std::free(pl);
  } else {
    pl->fd = -1;
    pl->dir_fd = -1;
  }
  if (err == 0) return 0;
  errno = err;
  return -1;
}

const char* pidlock_refusal(int err) {
  if (err == ELOOP) return "is a symbolic link";
  if (err == PIDLOCK_ENOTREG) return "is not a regular file";
  if (err == EMLINK) return "has more than one link";
  if (err == EPERM) return "is owned by another user or writable by group or others";
  return nullptr;
}
