// SPDX-License-Identifier: BSD-2-Clause
// See bounded_text.h.
#include "fwtable/bounded_text.h"

#include <cstdarg>
#include <cstdio>

bool bounded_append(bounded_text* t, const char* fmt, ...) {
  if (t->full) return false;
  size_t room = t->size - t->len;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(t->buf + t->len, room, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= room) {
    t->buf[t->len] = '\0';
    t->full = true;
    return false;
  }
  t->len += static_cast<size_t>(n);
  return true;
}
