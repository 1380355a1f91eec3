// SPDX-License-Identifier: BSD-2-Clause
// The metrics file: the figures of the last sweep in the Prometheus text
// exposition format, as the node exporter's textfile collector reads it.
// Each write goes to a fresh temporary file beside the target, which is
// then renamed over it, so a reader sees the old file or the new one, never
// a part of one. Only a file is replaced: a device, FIFO, socket or
// directory at the path is left alone, and the write fails.
//
// The target's directory is opened once, when the daemon starts
// (metrics_file_open), and every write names the file in it through that
// descriptor (openat, fstatat, renameat, unlinkat), as a program in
// capability mode must: a directory moved or replaced later, the file is
// written in the directory opened.
//
// Output, one block per metric in this order, every sample labelled with the
// table's name or number (the next-expiry block is left out when nothing is
// ahead):
//
//   # HELP hostreapd_entries Address entries listed in the last sweep.
//   # TYPE hostreapd_entries gauge
//   hostreapd_entries{table="5"} 12
//
// hostreapd_table_present, hostreapd_interval_seconds (the pause between
// cycles; left out of a single cycle's file), hostreapd_entries,
// hostreapd_due_entries,
// hostreapd_unremovable_entries, hostreapd_removed_total and
// hostreapd_log_lines_dropped_total (counters),
// hostreapd_abandoned_cycles_total (a counter with a sample for each reason,
// labelled reason="grew", "changed", "gone" and "memory" after the
// table's label),
// hostreapd_last_sweep_timestamp_seconds,
// hostreapd_sweep_duration_seconds, hostreapd_next_expiry_timestamp_seconds.
// Timestamps are whole seconds; the duration is seconds with nine decimals.
// Before any cycle has found the table, only hostreapd_table_present, the
// pause and the counters are written: there is no sweep to show.
//
// Owns: the directory descriptor of a metrics_file, from metrics_file_open
// to metrics_file_close. The text is formatted into the caller's buffer or
// a fixed buffer on the stack; the temporary file lives only inside
// metrics_write and is gone when it returns, whatever the outcome.
// Failure: errno-style, 0 (or a length) or -1 with the reason in errno;
// nothing is printed. metrics_report turns failures into warnings through
// the function it is given.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Room for the whole text at the widest values of every field, terminating
// NUL included.
constexpr size_t METRICS_TEXT_MAX = 4096;

// Longest target path, without the terminating NUL; a path this long or
// longer is refused with ENAMETOOLONG.
constexpr size_t METRICS_PATH_MAX = 1024;

// The temporary file's name, in the target's directory, whatever the
// target's own name.
constexpr char METRICS_TEMP_NAME[] = ".hostreapd-metrics.XXXXXX";

// The error number of a target that is not a file to replace: FreeBSD's
// EFTYPE ("inappropriate file type"); where it does not exist, ENODEV.
// metrics_report names it "not a regular file".
#ifdef EFTYPE
constexpr int METRICS_ENOTREG = EFTYPE;
#else
constexpr int METRICS_ENOTREG = ENODEV;
#endif

// The figures of the last whole cycle (one that listed the table and dealt
// with every entry of the listing), and the counters since the start. The
// daemon fills it after each cycle; nothing here reads a clock. A cycle
// abandoned (the table gone, made anew, grown faster than it could be
// listed, or without memory for its listing) leaves the figures of the
// last whole one, and counts itself.
struct sweep_metrics {
  // The table as -t named it: a number's digits or a table name (1 to 63
  // letters, digits, '-', '.', '_'), which a label takes as it is.
  const char* table;
  // The pause between cycles (-s), in seconds, which tells a reader how old
  // the last sweep may be; 0 when there is none (a single cycle, -1): the
  // gauge is then left out.
  uint32_t interval_seconds;
  uint64_t entries;  // address entries listed in the cycle
  uint64_t due;  // of those, the ones the sweep could remove whose expiry time had passed
  uint64_t unremovable;  // of those, the ones it passes over: no key a deletion could name, or no time
  uint64_t removed_total;  // entries removed since the daemon started
  uint64_t log_lines_dropped;  // log lines not delivered since the daemon started
  int64_t last_sweep_unix;  // when the cycle ended, seconds since the epoch
  int64_t sweep_duration_ns;  // how long the cycle took (a monotonic clock)
  bool has_next_expiry;  // false: no listed entry expires later
  int64_t next_expiry_unix;  // earliest expiry still ahead; read only if has_next_expiry
  bool table_missing;  // the last cycle found the table gone: hostreapd_table_present is 0
  bool no_sweep;  // no whole cycle yet: only table_present and the counters are written
  // Cycles abandoned since the daemon started, by reason: the table grew
  // faster than it could be listed, was made anew under its name during the
  // cycle, was gone (waited for with -w), or the system refused the memory
  // for its listing.
  uint64_t abandoned_grew;
  uint64_t abandoned_changed;
  uint64_t abandoned_gone;
  uint64_t abandoned_memory;
};

// Formats m into buf (size bytes), NUL-terminated. Returns the length
// without the NUL, or -1 with ENOSPC when the text and its NUL do not fit
// (buf then holds an empty string if size is at least 1).
int metrics_format(const sweep_metrics* m, char* buf, size_t size);

// Where the metrics go: the target's directory, opened once, and the
// target's name in it.
struct metrics_file {
  int dir_fd = -1;
  const char* name = "";  // in path
  const char* path = "";  // as given, for the warnings
};

// Opens the directory of path (fwtable/directory_fd.h) for the writes to
// come; path must outlive f. Returns 0, or -1 with errno: ENOENT for an
// empty path, ENAMETOOLONG for a path of METRICS_PATH_MAX characters or
// more, EISDIR for one that ends with a slash, else the open's (ENOENT for
// a missing directory, ENOTDIR for a file on the way).
int metrics_file_open(metrics_file* f, const char* path);
// Closes the directory.
void metrics_file_close(metrics_file* f);

// Writes the text of m to the file: formats it, creates a temporary file
// METRICS_TEMP_NAME (its X's made random) in the directory (created
// exclusively, so never through a symbolic link or over an existing file),
// writes it all, sets mode 0644 whatever the file-creation mask, closes it
// and renames it over the target, but only while the target's name names
// nothing, a regular file or a symbolic link (the link is replaced, its
// target left alone). No fsync: the file is rewritten every cycle, and the
// rename alone keeps readers from a half-written file. Returns 0, or -1
// with the error number of the first failing step (EBADF for a file not
// opened, METRICS_ENOTREG when the name names a device, FIFO, socket or
// directory, ENOENT when the directory has been removed); on failure the
// temporary file has been removed and the target is as it was.
int metrics_write(const metrics_file* f, const sweep_metrics* m);

// Failure-streak state of the metrics file: start with failing false.
struct metrics_reporter {
  bool failing;
};

// Called with a finished warning line.
using metrics_warn_fn = void (*)(const char* text);

// metrics_write, and when it fails while the previous write had not, one
// call of warn with "cannot write metrics file PATH: REASON" (REASON being
// strerror of the error number; "not a regular file" for METRICS_ENOTREG). Further failures stay silent until
// a write succeeds again. Returns what metrics_write returned, errno kept.
int metrics_report(metrics_reporter* r, const metrics_file* f, const sweep_metrics* m, metrics_warn_fn warn);
