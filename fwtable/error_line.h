// SPDX-License-Identifier: BSD-2-Clause
// Lines on standard error as warn(3) and warnx(3) write them ("NAME:
// message", then ": error text" for warn, and a line feed; NAME is the
// program's invocation name), made whole before anything is written and
// written so that they give way to a stop: standard error may be a pipe
// that nobody reads (a stuck logger or supervisor), where a write that
// blocks would hold the process for ever, stop or no stop.
//
// A line goes out with write(2) in pieces the descriptor has room for:
// poll(2) says when it has, and a piece is at most PIPE_BUF bytes, which a
// pipe that polls writable takes without blocking. While there is no room
// the writer waits, and asks the platform's stopping question
// (fwtable/platform.h) every ERROR_LINE_LOOK_MS and whenever a signal ends
// the wait; once it says yes, the rest of the line is dropped (a line a
// stop cut is never finished later). A program that asks no such question
// waits until there is room, as a plain write would.
//
// While a line has been written in part, nothing else may go to the same
// place before its end: output_line_open() says so, and the daemon's
// stopping question then writes nothing of its own (it answers a request
// for the line of state at its next look instead). The log sender
// (fwtable/log_sender.h) marks a line half sent on a stream socket the
// same way, with an open_line_mark.
//
// Owns: nothing; the mark of a line written in part is process-wide.
// Failure: error_line_write returns 0 for a line written whole, -1 with
// errno ECANCELED for one a stop cut, or -1 with the error of poll or
// write; the warn-like calls report nothing, as warn(3) does not, and keep
// errno as it was.
#pragma once

#include <cstdarg>
#include <cstddef>

// How often a writer waiting for room asks whether a stop has come.
constexpr int ERROR_LINE_LOOK_MS = 100;

// Writes len bytes of text to fd as above; stopping may be null.
int error_line_write(int fd, const char* text, size_t len, bool (*stopping)());

// Like warn(3) and warnx(3), on standard error, giving way to a stop as the
// platform's stopping question says.
void stderr_warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void stderr_warnx(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Either of them: with_errno appends the text of errno as warn(3) does.
void stderr_vwarn(bool with_errno, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// Whether a line of output has been written in part and waits for room for
// the rest (see above).
bool output_line_open();

// Marks a line as written in part for the life of the mark; marks nest.
class open_line_mark {
 public:
  open_line_mark();
  ~open_line_mark();
  open_line_mark(const open_line_mark&) = delete;
  open_line_mark& operator=(const open_line_mark&) = delete;
};
