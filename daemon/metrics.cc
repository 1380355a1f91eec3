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

// 0 when path names nothing, a regular file or a symbolic link; else
// METRICS_ENOTREG, or lstat's error number for anything but a missing path.
int replaceable(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT ? 0 : errno;
  return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) ? 0 : METRICS_ENOTREG;
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

int metrics_write(const char* path, const sweep_metrics* m) {
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

  char text[METRICS_TEXT_MAX];
  int text_len = metrics_format(m, text, sizeof text);
  if (text_len < 0) return -1;

  // METRICS_TEMP_NAME beside the target, so that the rename stays within
  // one file system: a name the textfile collector skips (it reads only
  // names ending in ".prom"), of a fixed length whatever the target's name
  // (so every name the file system takes can be written), random and
  // created with O_EXCL, so that neither a stale file of an earlier run nor
  // a link someone placed can stand in the way or be written through.
  const char* slash = strrchr(path, '/');
  int dir_len = slash != nullptr ? static_cast<int>(slash - path + 1) : 0;
  char tmp[METRICS_PATH_MAX + sizeof METRICS_TEMP_NAME];
  snprintf(tmp, sizeof tmp, "%.*s%s", dir_len, path, METRICS_TEMP_NAME);
  int fd = mkostemp(tmp, O_CLOEXEC);
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
  if (err == 0) err = replaceable(path);
  if (err == 0 && rename(tmp, path) != 0) err = errno;
  if (err != 0) {
    unlink(tmp);
    errno = err;
    return -1;
  }
  return 0;
}

int metrics_report(metrics_reporter* r, const char* path, const sweep_metrics* m, metrics_warn_fn warn) {
  if (metrics_write(path, m) == 0) {
    r->failing = false;
    return 0;
  }
  int err = errno;
  if (!r->failing) {
    r->failing = true;
    char text[METRICS_PATH_MAX + 200];
    const char* reason = err == METRICS_ENOTREG ? "not a regular file" : strerror(err);
    snprintf(text, sizeof text, "cannot write metrics file %s: %s", path != nullptr ? path : "", reason);
    warn(text);
  }
  errno = err;
  return -1;
}
