// SPDX-License-Identifier: BSD-2-Clause
// The lines of a writer's key list, read from a descriptor (standard
// input) a block at a time into a buffer of fixed size, whatever the
// input's length: a line longer than KEY_LINE_MAX bytes is read past, not
// kept, and said to be too long. Lines end at a line feed (a carriage
// return before it is dropped); the last one may lack it.
//
// Each line holds a key, or a key and a lifetime, apart by blanks or tabs;
// blank lines and lines whose first other character is '#' hold nothing.
//
// Owns: its buffer, in the reader.
// Failure: errno-style; a read that fails (other than for a signal) is
// read_status::error with errno set.
#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>

// The longest line kept, without its line feed.
constexpr size_t KEY_LINE_MAX = 255;

struct line_reader {
  int fd = 0;
  // When set, the signal mask a wait for input takes (pselect(2)): signals
  // the caller keeps blocked can end the wait, and only it.
  const sigset_t* wait_mask = nullptr;
  char buf[16384];
  size_t start = 0;  // the unread bytes are buf[start..end)
  size_t end = 0;
  bool eof = false;
  uint64_t number = 0;  // the number of the line last read, 1 up
};

enum class read_status {
  line,  // a line, in the caller's text
  too_long,  // a line longer than KEY_LINE_MAX, read past
  end,  // the input has ended
  stopped,  // stop answered true while the read waited
  error,  // the read failed; errno says why
};

// Reads the next line into text (KEY_LINE_MAX + 1 bytes), NUL-terminated.
// stop (may be null) is asked before each read of the descriptor and when
// a signal ends a wait for input; true ends the call with stopped. A line
// holding a NUL byte is handed over with *has_nul set.
read_status read_key_line(line_reader* r, char* text, bool* has_nul, bool (*stop)());

// Whether a line, or the end, can be had without waiting: bytes are
// buffered, the input has ended, or the descriptor has something to read.
bool key_line_ready(line_reader* r);

// The fields of a line, cut in place: up to two, and whether there were
// more (a comment or blank line has none).
struct line_fields {
  char* key = nullptr;
  char* lifetime = nullptr;
  bool more = false;
};
line_fields split_key_line(char* text);
