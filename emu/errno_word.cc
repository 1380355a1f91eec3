// SPDX-License-Identifier: BSD-2-Clause
#include "emu/errno_word.h"

#include <cerrno>
#include <cstring>
#include <iterator>

#include "emu/number_word.h"

namespace {

struct errno_row {
  const char* name;
  int number;
};

#define ROW(e) \
  { #e, e }
constexpr errno_row errno_rows[] = {
    ROW(EPERM),
    ROW(ENOENT),
    ROW(ESRCH),
    ROW(EINTR),
    ROW(EIO),
    ROW(ENXIO),
    ROW(E2BIG),
    ROW(EBADF),
    ROW(EAGAIN),
    ROW(ENOMEM),
    ROW(EACCES),
    ROW(EFAULT),
    ROW(EBUSY),
    ROW(EEXIST),
    ROW(ENODEV),
    ROW(EINVAL),
    ROW(ENFILE),
    ROW(EMFILE),
    ROW(EFBIG),
    ROW(ENOSPC),
    ROW(EPIPE),
    ROW(ERANGE),
    ROW(ENOSYS),
    ROW(ENOTSOCK),
    ROW(EMSGSIZE),
    ROW(EPROTO),
    ROW(ENOPROTOOPT),
    ROW(EOPNOTSUPP),
    ROW(ENOBUFS),
    ROW(ECONNRESET),
    ROW(ETIMEDOUT),
    ROW(ECONNREFUSED),
    ROW(EBADMSG),
    ROW(EOVERFLOW),
    ROW(ECANCELED),
    // Second names of numbers above; the first name is the one printed.
    ROW(ENOTSUP),
    ROW(EWOULDBLOCK),
};
#undef ROW

}  // namespace

bool emu_errno_from_word(const std::string& word, int* err) {
  for (const auto& row : errno_rows) {
    if (word == row.name) {
      *err = row.number;
      return true;
    }
  }
  uint32_t n;
  if (!emu_parse_u32(word, 4095, &n) || n == 0) return false;
  *err = static_cast<int>(n);
  return true;
}

std::string emu_errno_word(int err) {
  for (const auto& row : errno_rows)
    if (row.number == err) return row.name;
  return std::to_string(err);
}
