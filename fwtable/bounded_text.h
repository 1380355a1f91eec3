// SPDX-License-Identifier: BSD-2-Clause
// Text put together piece by piece in a caller's fixed buffer, never past
// its end: the one bounded-append helper of the project.
//
// A piece that does not fit whole, with the terminating NUL, is not kept:
// the text is cut back to where it was and marked full, and every later
// piece is left out, so the text always ends on a whole piece.
//
// Owns: nothing; the buffer is the caller's.
// Failure: bounded_append returns false for a piece that is left out (and
// for every one after it); the text so far stays as it was.
#pragma once

#include <cstddef>

struct bounded_text {
  // Starts an empty text in buf[0..size); a size of 0 holds nothing.
  bounded_text(char* buf, size_t size) : buf(buf), size(size), full(size == 0) {
    if (size > 0) buf[0] = '\0';
  }

  char* buf;
  size_t size;
  size_t len = 0;  // of the text, without its NUL
  bool full;  // a piece has been left out
};

bool bounded_append(bounded_text* t, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
