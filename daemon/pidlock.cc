// The PID file as the single-instance lock: see pidlock.h.
//
// Where open(2) can take the flock-kind lock itself (O_EXLOCK), creating,
// locking and truncating is one call. Elsewhere the same contract is built
// from open without O_TRUNC, flock(LOCK_EX | LOCK_NB) and ftruncate once the
// lock is held, so a process that loses the race never erases the holder's
// PID.
#include "daemon/pidlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

// FreeBSD opens and locks in one call; losing O_EXLOCK there (to a feature
// macro, say) would quietly switch to the two-step road.
#if defined(__FreeBSD__) && !defined(O_EXLOCK)
#error "O_EXLOCK is expected on FreeBSD"
#endif
#include <utility>

namespace {

// The holder's PID is read from at most this many bytes of the file.
constexpr size_t pid_read_max = 15;

struct free_deleter {
  void operator()(pidlock* pl) const { std::free(pl); }
};
using pidlock_ptr = std::unique_ptr<pidlock, free_deleter>;

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

// Drops the record and returns "no handle" with err in errno (set after the
// release, so nothing on the way can disturb it).
pidlock* fail_open(pidlock_ptr rec, int err) {
  rec.reset();
  errno = err;
  return nullptr;
}

bool would_block(int err) { return err == EWOULDBLOCK || err == EAGAIN; }

// Opens path write-only, created with mode if missing, exclusively locked
// without waiting and truncated once the lock is held. Returns the
// descriptor, or -1 with the reason in errno (EWOULDBLOCK/EAGAIN: another
// open file holds the lock; the content is untouched).
int open_locked(const char* path, mode_t mode) {
#ifdef O_EXLOCK
  return open(path, O_WRONLY | O_NONBLOCK | O_EXLOCK | O_CREAT | O_TRUNC, mode);
#else
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
#endif
}

// The lock is held by another open file: reads the holder's PID from the
// first bytes of the file into *other_pid. Returns EEXIST when the bytes
// read are wholly a number (an empty file reads as 0), EINVAL when they are
// not, or the error number of the failed open or read.
int read_holder_pid(const char* path, int32_t* other_pid) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char text[pid_read_max + 1];
  ssize_t got = read(fd, text, pid_read_max);
  int read_err = errno;
  close(fd);
  if (got < 0) return read_err;
  text[got] = '\0';
  // Compared against the count read, not the string's length: a NUL inside
  // the bytes is not part of a number.
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (other_pid != nullptr) *other_pid = static_cast<int32_t>(value);
  return end == text + got ? EEXIST : EINVAL;
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

// Unlinks the handle's path, but only while it still names the locked file:
// a path removed or replaced by someone else (say a second instance that
// started after our file had been deleted) is left alone. Returns 0 or the
// error number.
int unlink_own_path(const pidlock* pl) {
  struct stat st;
  if (stat(pl->path, &st) != 0) return errno;
  if (!same_file(pl, st)) return PIDLOCK_EIDENTITY;
  if (unlink(pl->path) != 0) return errno;
  return 0;
}

}  // namespace

pidlock* pidlock_open(const char* path, mode_t mode, int32_t* other_pid) {
  pidlock_ptr rec(static_cast<pidlock*>(std::malloc(sizeof(pidlock))));
  if (!rec) {
    errno = ENOMEM;
    return nullptr;
  }
  rec->fd = -1;
  rec->dev = 0;
  rec->ino = 0;
  if (path == nullptr) return fail_open(std::move(rec), EINVAL);

  // Kept to PIDLOCK_PATH_MAX characters; one that fills them all was cut
  // (or is exactly that long) and is refused before the file system sees it.
  if (copy_bounded(rec->path, sizeof rec->path, path) == PIDLOCK_PATH_MAX) {
    return fail_open(std::move(rec), ENAMETOOLONG);
  }

  int fd = open_locked(rec->path, mode);
  if (fd < 0) {
    int err = errno;
    if (would_block(err)) err = read_holder_pid(rec->path, other_pid);
    return fail_open(std::move(rec), err);
  }

  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    unlink(rec->path);
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

  pidlock_remove(pl, false);
  errno = err;
  return -1;
}

int pidlock_remove(pidlock* pl, bool release) {
  int err = check_identity(pl);
  if (err != 0) {
    // Nothing of the file is touched, and the descriptor may no longer be
    // ours to close; but a caller that gives the handle up still has it
    // freed, as it has no other way to do so.
    if (release) std::free(pl);
    errno = err;
    return -1;
  }

  // All three steps are taken; the first failure is the one reported.
  err = unlink_own_path(pl);
  if (flock(pl->fd, LOCK_UN) != 0 && err == 0) err = errno;
  if (close(pl->fd) != 0 && err == 0) err = errno;

  if (release) {
    std::free(pl);
  } else {
    pl->fd = -1;
  }
  if (err == 0) return 0;
  errno = err;
  return -1;
}
