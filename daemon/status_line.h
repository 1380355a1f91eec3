// SPDX-License-Identifier: BSD-2-Clause
// The line of state a running daemon writes when asked (SIGINFO, or SIGUSR1
// where the system has no SIGINFO: daemon/stop_signals.h): what the last
// whole cycle found and when the next known entry falls due, as one line
// for syslog and, in the foreground, standard error. Three parts, "; "
// between them, and a fourth while the table is gone:
//
//   table T: last cycle N entries, D due, U unremovable, ended TIME after MS ms;
//     R removed since start; next due TIME
//
// (one line; broken here to fit) where T is the table as -t gave it, N, D
// and U the address entries the last whole cycle listed, the due ones among
// them and the ones it passes over whatever their time (as the metrics
// count them), MS the cycle's length in milliseconds with three decimals,
// and R the entries removed since the start (whole cycles or not). "next
// due" is the second the earliest expiry still ahead becomes due (one after
// the expiry, as -l gives it): by then it may have passed, and the next
// cycle removes the entry. Every TIME is UTC, YYYY-MM-DDTHH:MM:SSZ (a time
// outside the years 0 to 9999, which no clock gives, is written as
// @SECONDS since the epoch).
//   Before any whole cycle the first part reads "no cycle yet"; with no
// expiry ahead (or no cycle yet) the last reads "nothing due ahead". When
// the latest cycle found the table gone (-w) the line ends with "; table
// gone, waiting for it", the figures staying those of the last whole cycle.
// A cycle abandoned part way (a stop, the table gone or made anew under
// it) is not a whole cycle: its figures are not taken.
//
// Owns: nothing; the caller keeps the daemon_status.
// Failure: none; the line is cut to the buffer (STATUS_LINE_MAX always
// holds it whole).
#pragma once

#include <cstddef>
#include <cstdint>

// What the line tells, but the removals since the start (the sweep tally
// keeps those).
struct daemon_status {
  const char* table = "";  // as -t gave it: a number's digits or a name
  bool has_cycle = false;  // a whole cycle has listed the table
  // The last whole cycle; read only if has_cycle.
  uint64_t entries = 0;
  uint64_t due = 0;
  uint64_t unremovable = 0;
  int64_t ended_unix = 0;  // when it ended, seconds since the epoch
  int64_t duration_ns = 0;  // how long it took (a monotonic clock)
  bool has_next = false;  // an expiry still ahead was listed
  uint32_t next_expiry = 0;  // the earliest of them; read only if has_next
  bool table_missing = false;  // the latest cycle found the table gone
};

// Room for the longest line, the terminating NUL included.
constexpr size_t STATUS_LINE_MAX = 384;

// Formats the line of s and removed (entries removed since the start) into
// buf (size bytes, at least 1), NUL-terminated, cut if it does not fit.
void status_line_format(const daemon_status* s, uint64_t removed, char* buf, size_t size);
