// SPDX-License-Identifier: BSD-2-Clause
// Tests of the PID-file lock on real files in a fresh directory per test,
// with real second processes holding, sharing or probing the lock.
#include "daemon/pidlock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/process.h"

namespace {

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string own_pid_text() { return std::to_string(static_cast<unsigned>(getpid())); }

// The descriptor number the next open would get: it moves when a call
// leaves a descriptor open behind it.
int lowest_free_fd() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

// A forked child that runs setup (only async-signal-safe calls), reports its
// one-byte outcome through a pipe and then waits until let go; its
// descriptors, and the locks of their open files, live until then.
struct waiting_child {
  waiting_child() = default;
  waiting_child(const waiting_child&) = delete;
  waiting_child& operator=(const waiting_child&) = delete;
  ~waiting_child() { finish(); }

  template <typename Setup>
  char start(Setup setup) {
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return 0;
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      close(release[1]);
      char outcome = setup();
      (void)!write(ready[1], &outcome, 1);
      char c;
      while (read(release[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_fd = release[1];
    char outcome = 0;
    if (pid < 0 || read(ready[0], &outcome, 1) != 1) outcome = 0;
    close(ready[0]);
    return outcome;
  }

  void finish() {
    if (release_fd >= 0) close(release_fd);
    release_fd = -1;
    if (pid > 0) waitpid(pid, nullptr, 0);
    pid = -1;
  }

  pid_t pid = -1;
  int release_fd = -1;
};

// A second process that opens path on its own and holds its lock.
char hold_lock(waiting_child* holder, const std::string& path) {
  const char* p = path.c_str();
  return holder->start([p] {
    int fd = open(p, O_RDONLY);
    return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
  });
}

// Whether a child process can take, without waiting, the lock of fd's open
// file (fd being an open of the PID file separate from the library's).
bool child_can_lock(int fd) {
  pid_t pid = fork();
  if (pid == 0) _exit(flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class PidlockTest : public testing::Test {
 protected:
  temp_dir dir;
  std::string pid_path = dir.file("hostreapd.pid");
};

TEST_F(PidlockTest, StaleFileIsTakenOverAndRewritten) {
  write_file(pid_path, "99999 left by a dead owner");
  int32_t other = -7;
  pidlock* pl = pidlock_open(pid_path.c_str(), 0600, &other);
  ASSERT_NE(pl, nullptr) << strerror(errno);
  EXPECT_EQ(other, -7);
  EXPECT_EQ(read_file(pid_path), "");  // locked, then truncated

  ASSERT_EQ(pidlock_write(pl), 0) << strerror(errno);
  EXPECT_EQ(read_file(pid_path), own_pid_text());

  // A second write truncates first: longer text in between leaves no tail.
  int fd = open(pid_path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "1234567890123456789", 19, 0), 19);
  close(fd);
  ASSERT_EQ(pidlock_write(pl), 0) << strerror(errno);
  EXPECT_EQ(read_file(pid_path), own_pid_text());

  EXPECT_EQ(pidlock_remove(pl, true), 0) << strerror(errno);
  EXPECT_FALSE(exists(pid_path));
}

struct held_case {
  const char* name;
  std::string content;  // what the holder's file holds
  int32_t other_pid;
  bool foreign = false;  // the file owned by another user and writable by all
};

class PidlockHeldTest : public PidlockTest, public testing::WithParamInterface<held_case> {};

// A held lock is a running instance whatever its file holds, and whatever
// the file is: the lock is tried before the file is checked.
TEST_P(PidlockHeldTest, ReportsHolderAndLeavesItsFileAlone) {
  const held_case& c = GetParam();
  write_file(pid_path, c.content);
  if (c.foreign) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
    ASSERT_EQ(chown(pid_path.c_str(), 65534, 65534), 0) << strerror(errno);
    ASSERT_EQ(chmod(pid_path.c_str(), 0666), 0);
  }
  waiting_child holder;
  ASSERT_EQ(hold_lock(&holder, pid_path), 'y');

  int fd_before = lowest_free_fd();
  int32_t other = -7;
  errno = 0;
  EXPECT_EQ(pidlock_open(pid_path.c_str(), 0600, &other), nullptr);
  EXPECT_EQ(errno, EEXIST) << strerror(errno);
  EXPECT_EQ(other, c.other_pid);
  EXPECT_EQ(read_file(pid_path), c.content);  // the holder's PID is never erased
  EXPECT_EQ(lowest_free_fd(), fd_before);  // both descriptors closed again
}

INSTANTIATE_TEST_SUITE_P(
    Pidlock, PidlockHeldTest,
    testing::Values(held_case{"Pid", "4321", 4321}, held_case{"PidAndLineFeed", "4321\n", 4321},
                    held_case{"LargestPid", std::to_string(PIDLOCK_PID_MAX), PIDLOCK_PID_MAX},
                    held_case{"LeadingZeros", "0000000000004321", 4321},
                    // Anything else: still held, the holder unnamed.
                    held_case{"Empty", "", 0}, held_case{"LineFeedAlone", "\n", 0}, held_case{"Zero", "0", 0},
                    held_case{"Negative", "-5", 0}, held_case{"Plus", "+42", 0}, held_case{"Blank", " 42", 0},
                    held_case{"TwoLineFeeds", "42\n\n", 0},
                    held_case{"AboveTheLargestPid", std::to_string(PIDLOCK_PID_MAX + 1LL), 0},
                    // Would wrap to a negative 32-bit number if cut.
                    held_case{"FifteenDigits", "999999999999999", 0},
                    held_case{"FourBillion", "4294967338", 0}, held_case{"NotANumber", "abc", 0},
                    held_case{"NulInside", std::string("12\0", 3), 0}, held_case{"JunkAfter", "4321x", 0},
                    // The number, then more than any PID's text could hold.
                    held_case{"JunkFarAfter", "4321\n" + std::string(64, ' '), 0},
                    held_case{"ForeignFile", "4321", 4321, true}),
    [](const testing::TestParamInfo<held_case>& info) { return std::string(info.param.name); });

// ---- What is at the path and is not taken over.

struct refusal_case {
  const char* name;
  // Puts it at path. dir holds "target", a file of "secret" that a link
  // may lead to. Returns a descriptor to keep open meanwhile, or -1.
  int (*build)(const std::string& dir, const std::string& path);
  int err;
  bool needs_root = false;  // gives a file away
};

int symlink_to_target(const std::string& dir, const std::string& path) {
  EXPECT_EQ(symlink((dir + "/target").c_str(), path.c_str()), 0) << strerror(errno);
  return -1;
}

int dangling_symlink(const std::string& dir, const std::string& path) {
  EXPECT_EQ(symlink((dir + "/missing").c_str(), path.c_str()), 0) << strerror(errno);
  return -1;
}

int hard_link_to_target(const std::string& dir, const std::string& path) {
  EXPECT_EQ(link((dir + "/target").c_str(), path.c_str()), 0) << strerror(errno);
  return -1;
}

int directory(const std::string&, const std::string& path) {
  EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << strerror(errno);
  return -1;
}

int fifo(const std::string&, const std::string& path) {
  EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << strerror(errno);
  return -1;
}

// With a reader the FIFO opens, and its type is refused after the open.
int fifo_with_reader(const std::string& dir, const std::string& path) {
  fifo(dir, path);
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_GE(fd, 0) << strerror(errno);
  return fd;
}

int file_of(const std::string& path, uid_t owner, mode_t mode) {
  write_file(path, "4321");
  EXPECT_EQ(chown(path.c_str(), owner, static_cast<gid_t>(-1)), 0) << strerror(errno);
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << strerror(errno);
  return -1;
}

class PidlockRefusalTest : public PidlockTest, public testing::WithParamInterface<refusal_case> {};

// No handle, the refusal's error number, and nothing written, created,
// removed or left open or locked.
TEST_P(PidlockRefusalTest, NoHandleAndNothingChanged) {
  const refusal_case& c = GetParam();
  if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  const std::string target = dir.file("target");
  write_file(target, "secret");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  int keep_fd = c.build(dir.path, pid_path);
  struct stat before;
  ASSERT_EQ(lstat(pid_path.c_str(), &before), 0);
  const std::string content = S_ISREG(before.st_mode) ? read_file(pid_path) : "";

  int fd_before = lowest_free_fd();
  int32_t other = -7;
  errno = 0;
  EXPECT_EQ(pidlock_open(pid_path.c_str(), 0600, &other), nullptr);
  EXPECT_EQ(errno, c.err) << strerror(errno);
  EXPECT_NE(pidlock_refusal(errno), nullptr);
  EXPECT_EQ(other, -7);
  EXPECT_EQ(lowest_free_fd(), fd_before);
  if (keep_fd >= 0) close(keep_fd);

  struct stat after;
  ASSERT_EQ(lstat(pid_path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  if (S_ISREG(after.st_mode)) {
    EXPECT_EQ(read_file(pid_path), content);
  }
  EXPECT_EQ(read_file(target), "secret");
  EXPECT_FALSE(exists(dir.file("missing")));  // nothing created through a link
  int probe = open(target.c_str(), O_RDONLY);
  ASSERT_GE(probe, 0);
  EXPECT_TRUE(child_can_lock(probe));
  close(probe);
}

INSTANTIATE_TEST_SUITE_P(
    Pidlock, PidlockRefusalTest,
    testing::Values(
        refusal_case{"SymlinkToFile", symlink_to_target, ELOOP},
        refusal_case{"DanglingSymlink", dangling_symlink, ELOOP},
        refusal_case{"HardLink", hard_link_to_target, EMLINK},
        refusal_case{"Directory", directory, PIDLOCK_ENOTREG}, refusal_case{"Fifo", fifo, PIDLOCK_ENOTREG},
        refusal_case{"FifoWithReader", fifo_with_reader, PIDLOCK_ENOTREG},
        refusal_case{"OtherOwnerWritableByAll",
                     [](const std::string&, const std::string& p) { return file_of(p, 65534, 0666); }, EPERM,
                     true},
        refusal_case{"OtherOwner",
                     [](const std::string&, const std::string& p) { return file_of(p, 65534, 0600); }, EPERM,
                     true},
        refusal_case{"GroupWritable",
                     [](const std::string&, const std::string& p) { return file_of(p, geteuid(), 0620); },
                     EPERM},
        refusal_case{"OthersWritable",
                     [](const std::string&, const std::string& p) { return file_of(p, geteuid(), 0602); },
                     EPERM}),
    [](const testing::TestParamInfo<refusal_case>& info) { return std::string(info.param.name); });

struct length_case {
  size_t length;
  bool opens;
};

class PidlockPathLengthTest : public PidlockTest, public testing::WithParamInterface<length_case> {
 protected:
  // A path of exactly len characters whose directories all exist, so that
  // only its length can stand in the way of creating the file.
  std::string path_of_length(size_t len) {
    std::string p = dir.path;
    while (len - p.size() > 250) {
      p += '/';
      p.append(200, 'd');
      EXPECT_EQ(mkdir(p.c_str(), 0700), 0) << strerror(errno);
    }
    p += '/';
    p.append(len - p.size(), 'f');
    return p;
  }

  size_t files_below_dir() {
    size_t n = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path)) n += e.is_regular_file();
    return n;
  }
};

TEST_P(PidlockPathLengthTest, LongPathRefusedBeforeTheFileSystem) {
  const length_case& c = GetParam();
  std::string path = path_of_length(c.length);
  ASSERT_EQ(path.size(), c.length);
  int32_t other = -7;
  errno = 0;
  pidlock* pl = pidlock_open(path.c_str(), 0600, &other);
  if (c.opens) {
    ASSERT_NE(pl, nullptr) << strerror(errno);
    EXPECT_TRUE(exists(path));
    EXPECT_EQ(pidlock_remove(pl, true), 0) << strerror(errno);
  } else {
    EXPECT_EQ(pl, nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(files_below_dir(), 0u);  // neither the path nor a cut of it
  }
  EXPECT_EQ(other, -7);
}

INSTANTIATE_TEST_SUITE_P(Pidlock, PidlockPathLengthTest,
                         testing::Values(length_case{PIDLOCK_PATH_MAX - 1, true},
                                         length_case{PIDLOCK_PATH_MAX, false},
                                         length_case{PIDLOCK_PATH_MAX + 1, false}, length_case{3000, false}));

struct open_error_case {
  const char* name;
  const char* relative;  // below the test directory; nullptr: a null path
  int err;
};

class PidlockOpenErrorTest : public PidlockTest, public testing::WithParamInterface<open_error_case> {};

TEST_P(PidlockOpenErrorTest, NoHandleAndNothingCreated) {
  const open_error_case& c = GetParam();
  std::string path = c.relative != nullptr ? dir.file(c.relative) : "";
  write_file(dir.file("file"), "");
  int fd_before = lowest_free_fd();
  int32_t other = -7;
  errno = 0;
  EXPECT_EQ(pidlock_open(c.relative != nullptr ? path.c_str() : nullptr, 0600, &other), nullptr);
  EXPECT_EQ(errno, c.err) << strerror(errno);
  EXPECT_EQ(other, -7);
  EXPECT_EQ(lowest_free_fd(), fd_before);
  if (c.relative != nullptr && c.err == ENOENT) {
    EXPECT_FALSE(exists(path));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pidlock, PidlockOpenErrorTest,
    testing::Values(open_error_case{"MissingDirectory", "missing/hostreapd.pid", ENOENT},
                    open_error_case{"NotADirectoryOnTheWay", "file/hostreapd.pid", ENOTDIR},
                    open_error_case{"NullPath", nullptr, EINVAL}),
    [](const testing::TestParamInfo<open_error_case>& info) { return std::string(info.param.name); });

TEST(PidlockOpen, EmptyPathIsNotFound) {
  int32_t other = -7;
  errno = 0;
  EXPECT_EQ(pidlock_open("", 0600, &other), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

struct mode_case {
  mode_t mode;
  mode_t mask;
  mode_t expected;
};

class PidlockModeTest : public PidlockTest, public testing::WithParamInterface<mode_case> {};

TEST_P(PidlockModeTest, CreationModeUnderUmask) {
  const mode_case& c = GetParam();
  mode_t old_mask = umask(c.mask);
  pidlock* pl = pidlock_open(pid_path.c_str(), c.mode, nullptr);
  umask(old_mask);
  ASSERT_NE(pl, nullptr) << strerror(errno);
  struct stat st;
  ASSERT_EQ(stat(pid_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, c.expected);
  EXPECT_EQ(pidlock_remove(pl, true), 0);
}

INSTANTIATE_TEST_SUITE_P(Pidlock, PidlockModeTest,
                         testing::Values(mode_case{0600, 022, 0600}, mode_case{0666, 022, 0644},
                                         mode_case{0640, 077, 0600},
                                         // Never writable by group or others,
                                         // whatever the mask lets through.
                                         mode_case{0666, 0, 0644}, mode_case{0662, 0, 0640}));

// A handle on the PID file, a separate open of the same file to probe its
// lock through, and a forked child that shares the handle's open file (as
// the detached daemon does), so that only an explicit unlock frees the lock
// while that child lives.
class PidlockRemoveTest : public PidlockTest {
 protected:
  void SetUp() override {
    pl = pidlock_open(pid_path.c_str(), 0600, nullptr);
    ASSERT_NE(pl, nullptr) << strerror(errno);
    ASSERT_EQ(pidlock_write(pl), 0) << strerror(errno);
    probe_fd = open(pid_path.c_str(), O_RDONLY);
    ASSERT_GE(probe_fd, 0);
    ASSERT_EQ(sharer.start([] { return 'y'; }), 'y');
    ASSERT_FALSE(child_can_lock(probe_fd)) << "the handle does not hold the lock";
  }

  void TearDown() override {
    sharer.finish();
    if (probe_fd >= 0) close(probe_fd);
    pidlock_remove(pl, true);
  }

  pidlock* pl = nullptr;
  int probe_fd = -1;
  waiting_child sharer;
};

TEST_F(PidlockRemoveTest, UnlinksUnlocksAndCloses) {
  int fd = pl->fd;
  ASSERT_EQ(pidlock_remove(pl, false), 0) << strerror(errno);
  EXPECT_FALSE(exists(pid_path));
  EXPECT_TRUE(child_can_lock(probe_fd));
  EXPECT_EQ(pl->fd, -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

struct remove_case {
  const char* name;
  bool replace;  // true: a new file renamed over the path; false: the path unlinked
  int err;
};

class PidlockRemoveStepsTest : public PidlockRemoveTest, public testing::WithParamInterface<remove_case> {};

// The path no longer names the locked file: it is left alone, the lock is
// still released and the descriptor closed, and the failure is reported.
TEST_P(PidlockRemoveStepsTest, AllStepsTakenFirstFailureReported) {
  const remove_case& c = GetParam();
  if (c.replace) {
    std::string other = dir.file("other.pid");
    write_file(other, "4321");
    ASSERT_EQ(rename(other.c_str(), pid_path.c_str()), 0);
  } else {
    ASSERT_EQ(unlink(pid_path.c_str()), 0);
  }
  int fd = pl->fd;
  errno = 0;
  EXPECT_EQ(pidlock_remove(pl, false), -1);
  EXPECT_EQ(errno, c.err) << strerror(errno);
  EXPECT_TRUE(child_can_lock(probe_fd));
  EXPECT_EQ(pl->fd, -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  if (c.replace) {
    EXPECT_EQ(read_file(pid_path), "4321");
  }
}

INSTANTIATE_TEST_SUITE_P(Pidlock, PidlockRemoveStepsTest,
                         testing::Values(remove_case{"PathGone", false, ENOENT},
                                         remove_case{"PathReplaced", true, PIDLOCK_EIDENTITY}),
                         [](const testing::TestParamInfo<remove_case>& info) {
                           return std::string(info.param.name);
                         });

struct write_failure_case {
  const char* name;
  rlim_t size_limit;  // largest file size the write may reach
  int err;
};

class PidlockWriteFailureTest : public PidlockRemoveTest,
                                public testing::WithParamInterface<write_failure_case> {};

// A write the file-size limit refuses or cuts short leaves the file where
// it is, still locked, and the handle open: a later write puts the PID in,
// and the removal at shutdown takes the file away.
TEST_P(PidlockWriteFailureTest, KeepsFileLockedAndHandleOpen) {
  const write_failure_case& c = GetParam();
  if (getpid() < 10) GTEST_SKIP() << "a one-digit PID cannot be cut short";
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  ASSERT_TRUE(old_limit.rlim_cur == RLIM_INFINITY || old_limit.rlim_cur > c.size_limit);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old_action;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old_action), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = c.size_limit;

  // Nothing but the call itself runs under the limit.
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  errno = 0;
  int rc = pidlock_write(pl);
  int err = errno;
  setrlimit(RLIMIT_FSIZE, &old_limit);
  sigaction(SIGXFSZ, &old_action, nullptr);

  EXPECT_EQ(rc, -1);
  EXPECT_EQ(err, c.err) << strerror(err);
  EXPECT_TRUE(exists(pid_path));
  EXPECT_FALSE(child_can_lock(probe_fd));
  EXPECT_NE(pl->fd, -1);

  ASSERT_EQ(pidlock_write(pl), 0) << strerror(errno);
  EXPECT_EQ(read_file(pid_path), own_pid_text());
  ASSERT_EQ(pidlock_remove(pl, false), 0) << strerror(errno);
  EXPECT_FALSE(exists(pid_path));
  EXPECT_TRUE(child_can_lock(probe_fd));
}

INSTANTIATE_TEST_SUITE_P(Pidlock, PidlockWriteFailureTest,
                         testing::Values(write_failure_case{"Refused", 0, EFBIG},
                                         write_failure_case{"Short", 1, EIO}),
                         [](const testing::TestParamInfo<write_failure_case>& info) {
                           return std::string(info.param.name);
                         });

enum class sabotage { no_handle, closed_handle, descriptor_closed, descriptor_taken_over };

struct identity_case {
  const char* name;
  sabotage how;
  int err;
};

class PidlockIdentityTest : public PidlockTest, public testing::WithParamInterface<identity_case> {};

// A handle whose descriptor is gone or no longer the file it opened: write
// and remove fail and touch neither the PID file nor whatever file the
// descriptor now refers to.
TEST_P(PidlockIdentityTest, WriteAndRemoveTouchNothing) {
  const identity_case& c = GetParam();
  pidlock* pl = pidlock_open(pid_path.c_str(), 0600, nullptr);
  ASSERT_NE(pl, nullptr) << strerror(errno);
  ASSERT_EQ(pidlock_write(pl), 0);
  std::string other_path = dir.file("other");
  write_file(other_path, "");
  pidlock* target = pl;
  switch (c.how) {
    case sabotage::no_handle:
      target = nullptr;
      break;
    case sabotage::closed_handle: {
      ASSERT_EQ(pidlock_remove(pl, false), 0);
      write_file(pid_path, own_pid_text());  // so that a removal would show
      break;
    }
    case sabotage::descriptor_closed:
      ASSERT_EQ(close(pl->fd), 0);
      break;
    case sabotage::descriptor_taken_over: {
      int other_fd = open(other_path.c_str(), O_WRONLY);
      ASSERT_GE(other_fd, 0);
      ASSERT_EQ(dup2(other_fd, pl->fd), pl->fd);
      close(other_fd);
      break;
    }
  }

  errno = 0;
  EXPECT_EQ(pidlock_write(target), -1);
  EXPECT_EQ(errno, c.err) << strerror(errno);
  errno = 0;
  EXPECT_EQ(pidlock_remove(target, false), -1);
  EXPECT_EQ(errno, c.err) << strerror(errno);
  EXPECT_EQ(read_file(pid_path), own_pid_text());
  EXPECT_EQ(read_file(other_path), "");

  // Given up, the handle is freed whatever the check says; a descriptor
  // taken over stays open for whoever took it.
  int fd = pl->fd;
  errno = 0;
  EXPECT_EQ(pidlock_remove(target, true), -1);
  EXPECT_EQ(errno, c.err);
  if (c.how == sabotage::descriptor_taken_over) {
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    close(fd);
  }
  if (c.how == sabotage::no_handle) pidlock_remove(pl, true);
}

INSTANTIATE_TEST_SUITE_P(
    Pidlock, PidlockIdentityTest,
    testing::Values(identity_case{"NoHandle", sabotage::no_handle, PIDLOCK_EIDENTITY},
                    identity_case{"ClosedHandle", sabotage::closed_handle, PIDLOCK_EIDENTITY},
                    identity_case{"DescriptorClosed", sabotage::descriptor_closed, EBADF},
                    identity_case{"DescriptorTakenOver", sabotage::descriptor_taken_over, PIDLOCK_EIDENTITY}),
    [](const testing::TestParamInfo<identity_case>& info) { return std::string(info.param.name); });

}  // namespace
