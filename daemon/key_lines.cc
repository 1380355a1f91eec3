// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/key_lines.h"

#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Fills the buffer with what the descriptor has, after the unread bytes
// are moved to its start. Returns read_status::line when bytes came or the
// input ended (r->eof).
read_status fill(line_reader* r, bool (*stop)()) {
  if (r->start > 0) {
    memmove(r->buf, r->buf + r->start, r->end - r->start);
    r->end -= r->start;
    r->start = 0;
  }
  for (;;) {
    if (stop != nullptr && stop()) return read_status::stopped;
    if (r->wait_mask != nullptr) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(r->fd, &readable);
      if (pselect(r->fd + 1, &readable, nullptr, nullptr, nullptr, r->wait_mask) < 0) {
        if (errno != EINTR) return read_status::error;
        continue;
      }
    }
    const ssize_t got = read(r->fd, r->buf + r->end, sizeof r->buf - r->end);
    if (got > 0) {
      r->end += static_cast<size_t>(got);
      return read_status::line;
    }
    if (got == 0) {
      r->eof = true;
      return read_status::line;
    }
    if (errno != EINTR) return read_status::error;
  }
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

read_status read_key_line(line_reader* r, char* text, bool* has_nul, bool (*stop)()) {
  size_t kept = 0;
  bool too_long = false;
  *has_nul = false;
  for (;;) {
    const char* from = r->buf + r->start;
    const size_t avail = r->end - r->start;
    const char* nl = static_cast<const char*>(memchr(from, '\n', avail));
    const size_t take = nl != nullptr ? static_cast<size_t>(nl - from) : avail;
    if (!too_long) {
      if (kept + take > KEY_LINE_MAX) {
        too_long = true;
      } else {
        memcpy(text + kept, from, take);
        kept += take;
      }
    }
    r->start += take;
    if (nl != nullptr || (r->eof && (kept > 0 || too_long))) {
      if (nl != nullptr) r->start++;
      r->number++;
      if (too_long) return read_status::too_long;
      if (kept > 0 && text[kept - 1] == '\r') kept--;
      text[kept] = '\0';
      *has_nul = memchr(text, '\0', kept) != nullptr;
      return read_status::line;
    }
    if (r->eof) return read_status::end;
    const read_status s = fill(r, stop);
    if (s != read_status::line) return s;
  }
}

bool key_line_ready(line_reader* r) {
  if (r->start < r->end || r->eof) return true;
  pollfd p = {r->fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

line_fields split_key_line(char* text) {
  line_fields f;
  char* p = text;
  while (is_blank(*p)) p++;
  if (*p == '\0' || *p == '#') return f;
  char** slots[] = {&f.key, &f.lifetime};
  for (char** slot : slots) {
    if (*p == '\0') return f;
    *slot = p;
    while (*p != '\0' && !is_blank(*p)) p++;
    if (*p != '\0') *p++ = '\0';
    while (is_blank(*p)) p++;
  }
  f.more = *p != '\0';
  return f;
}
