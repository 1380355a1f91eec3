// SPDX-License-Identifier: BSD-2-Clause
// The metrics file: see metrics.h.
#include "daemon/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fwtable/bounded_text.h"
#include "fwtable/directory_fd.h"
#include "fwtable/platform.h"
#include "fwtable/write_all.h"

namespace {

// One metric: its HELP and TYPE lines and its one sample.
void append_metric(bounded_text* t, const char* name, const char* type, const char* help, const char* table,
                   const char* value) {
  bounded_append(t, "# HELP %s %s\n# TYPE %s %s\n%s{table=\"%s\"} %s\n", name, help, name, type, name, table,
                 value);
}

// Nanoseconds as seconds with nine decimals, exactly (no floating point):
// -1 is "-0.000000001". The magnitude is taken unsigned, so INT64_MIN fits.
void format_seconds(int64_t ns, char* out, size_t size) {
  uint64_t mag = ns < 0 ? 0 - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns);
  snprintf(out, size, "%s%" PRIu64 ".%09" PRIu64, ns < 0 ? "-" : "", mag / 1000000000u, mag % 1000000000u);
}

// 0 when name names nothing in the directory, a regular file or a symbolic
// link; else METRICS_ENOTREG, or fstatat's error number for anything but a
// missing name.
int replaceable(int dir, const char* name) {
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) ? 0 : METRICS_ENOTREG;
}

// How many names the temporary file tries before it gives up (each taken
// one is EEXIST: a file of another writer, or a stale one).
constexpr int TEMP_TRIES = 100;

// Replaces the X's that end name with random letters and digits.
void randomize(char* name) {
  static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  size_t n = strlen(name);
  size_t xs = 0;
  while (xs < n && name[n - 1 - xs] == 'X') xs++;
  unsigned char random[16];
  if (xs > sizeof random || getentropy(random, xs) != 0) {
    // The system's random source failing, a name from the clock: unlikely
    // to be taken, and a taken one is only tried again.
    uint64_t v = static_cast<uint64_t>(monotonic_ns()) * 0x9e3779b97f4a7c15u;
    for (size_t i = 0; i < sizeof random; i++, v = v * 6364136223846793005u + 1442695040888963407u)
      random[i] = static_cast<unsigned char>(v >> 56);
  }
  for (size_t i = 0; i < xs && i < sizeof random; i++)
    name[n - xs + i] = letters[random[i] % (sizeof letters - 1)];
}

// Creates a temporary file of a fresh name (METRICS_TEMP_NAME, made random)
// in the directory, exclusively and without following a link, write-only.
// Returns the descriptor with the name in tmp, or -1 with errno.
int create_temporary(int dir, char* tmp, size_t size) {
  for (int i = 0; i < TEMP_TRIES; i++) {
    snprintf(tmp, size, "%s", METRICS_TEMP_NAME);
    randomize(tmp);
    int fd = openat(dir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

int metrics_format(const sweep_metrics* m, char* buf, size_t size) {
  if (size == 0) {
    errno = ENOSPC;
    return -1;
  }
  bounded_text t(buf, size);
  char value[32];

  append_metric(&t, "hostreapd_table_present", "gauge",
                "1 when the last cycle found the table, 0 when it was gone; while it is gone the other "
                "gauges keep the values of the last sweep that found it.",
                m->table, m->table_missing ? "0" : "1");
  if (m->interval_seconds != 0) {
    snprintf(value, sizeof value, "%" PRIu32, m->interval_seconds);
    append_metric(&t, "hostreapd_interval_seconds", "gauge",
                  "The pause between cycles, in seconds: a sweep older than a few of these is overdue.",
                  m->table, value);
  }
  if (!m->no_sweep) {
    snprintf(value, sizeof value, "%" PRIu64, m->entries);
    append_metric(&t, "hostreapd_entries", "gauge", "Address entries listed in the last sweep.", m->table,
                  value);
    snprintf(value, sizeof value, "%" PRIu64, m->due);
    append_metric(&t, "hostreapd_due_entries", "gauge",
                  "Address entries of the last sweep that it could remove and whose expiry time had passed.",
                  m->table, value);
    snprintf(value, sizeof value, "%" PRIu64, m->unremovable);
    append_metric(&t, "hostreapd_unremovable_entries", "gauge",
                  "Address entries of the last sweep that it passed over and never removes: no key a "
                  "deletion could name, or a value that is not a time.",
                  m->table, value);
  }
  snprintf(value, sizeof value, "%" PRIu64, m->removed_total);
  append_metric(&t, "hostreapd_removed_total", "counter", "Address entries removed since the daemon started.",
                m->table, value);
  snprintf(value, sizeof value, "%" PRIu64, m->log_lines_dropped);
  append_metric(&t, "hostreapd_log_lines_dropped_total", "counter",
                "Log lines the daemon could not deliver to syslogd since it started: dropped at a stop while "
                "syslogd was behind, or with no syslogd listening.",
                m->table, value);
  bounded_append(&t,
                 "# HELP hostreapd_abandoned_cycles_total Cycles abandoned since the daemon started, by "
                 "reason: the table grew faster than it could be listed, was made anew during the cycle, "
                 "was gone, or the memory for its listing could not be had.\n"
                 "# TYPE hostreapd_abandoned_cycles_total counter\n");
  const struct {
    const char* reason;
    uint64_t count;
  } abandoned[] = {{"grew", m->abandoned_grew},
                   {"changed", m->abandoned_changed},
                   {"gone", m->abandoned_gone},
                   {"memory", m->abandoned_memory}};
  for (const auto& a : abandoned)
    bounded_append(&t, "hostreapd_abandoned_cycles_total{table=\"%s\",reason=\"%s\"} %" PRIu64 "\n", m->table,
                   a.reason, a.count);
  if (!m->no_sweep) {
    snprintf(value, sizeof value, "%" PRId64, m->last_sweep_unix);
    append_metric(&t, "hostreapd_last_sweep_timestamp_seconds", "gauge",
                  "Unix time at which the last sweep ended.", m->table, value);
    format_seconds(m->sweep_duration_ns, value, sizeof value);
    append_metric(&t, "hostreapd_sweep_duration_seconds", "gauge", "Time the last sweep took, in seconds.",
                  m->table, value);
  }
  if (!m->no_sweep && m->has_next_expiry) {
    snprintf(value, sizeof value, "%" PRId64, m->next_expiry_unix);
    append_metric(&t, "hostreapd_next_expiry_timestamp_seconds", "gauge",
                  "Unix time of the earliest expiry still ahead among the listed address entries.", m->table,
                  value);
  }

  if (t.full) {
    buf[0] = '\0';
    errno = ENOSPC;
    return -1;
  }
  return static_cast<int>(t.len);
}

int metrics_file_open(metrics_file* f, const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (path[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  size_t path_len = strnlen(path, METRICS_PATH_MAX);
  if (path_len >= METRICS_PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const char* name = path_name(path);
  if (name[0] == '\0') {
    errno = EISDIR;
    return -1;
  }
  int dir = open_path_directory(path);
  if (dir < 0) return -1;
  f->dir_fd = dir;
  f->name = name;
  f->path = path;
  return 0;
}

void metrics_file_close(metrics_file* f) {
  if (f->dir_fd >= 0) close(f->dir_fd);
  f->dir_fd = -1;
}

int metrics_write(const metrics_file* f, const sweep_metrics* m) {
  if (f == nullptr || f->dir_fd < 0) {
    errno = EBADF;
    return -1;
  }

  char text[METRICS_TEXT_MAX];
  int text_len = metrics_format(m, text, sizeof text);
  if (text_len < 0) return -1;

  // METRICS_TEMP_NAME beside the target, so that the rename stays within
  // one file system: a name the textfile collector skips (it reads only
  // names ending in ".prom"), of a fixed length whatever the target's name
  // (so every name the file system takes can be written), random and
  // created with O_EXCL, so that neither a stale file of an earlier run nor
  // a link someone placed can stand in the way or be written through.
  char tmp[sizeof METRICS_TEMP_NAME];
  int fd = create_temporary(f->dir_fd, tmp, sizeof tmp);
  if (fd < 0) return -1;

  // The first failure is the one reported; the steps after it are only
  // the cleaning up.
  int err = 0;
  if (write_all(fd, text, static_cast<size_t>(text_len)) != 0) err = errno;
  if (err == 0 && fchmod(fd, 0644) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  // The rename replaces whatever the path names: only a file (or a link,
  // itself replaced, its target untouched) is ours to replace, never a
  // device, FIFO, socket or directory that is there, or came there since
  // the start. Looked at last, right before the rename.
  if (err == 0) err = replaceable(f->dir_fd, f->name);
  if (err == 0 && renameat(f->dir_fd, tmp, f->dir_fd, f->name) != 0) err = errno;
  if (err != 0) {
    unlinkat(f->dir_fd, tmp, 0);
    errno = err;
    return -1;
  }
  return 0;
}

int metrics_report(metrics_reporter* r, const metrics_file* f, const sweep_metrics* m, metrics_warn_fn warn) {
  if (metrics_write(f, m) == 0) {
    r->failing = false;
    return 0;
  }
  int err = errno;
  if (!r->failing) {
    r->failing = true;
    char text[METRICS_PATH_MAX + 200];
    const char* reason = err == METRICS_ENOTREG ? "not a regular file" : strerror(err);
    snprintf(text, sizeof text, "cannot write metrics file %s: %s", f != nullptr ? f->path : "", reason);
    warn(text);
  }
  errno = err;
  return -1;
}
