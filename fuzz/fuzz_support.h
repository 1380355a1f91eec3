// SPDX-License-Identifier: BSD-2-Clause
// Pieces shared by the fuzz targets: the platform whose fatal exit turns a
// process exit into an exception the target catches, a reader that takes fields
// from the front of the fuzzer's input, the check that stops the fuzzer on
// a broken invariant, the redirection of standard output, and the tests for
// an address key no deletion accepts and for one the sweep hands on.
//
// Owns: the platform scope of the throwing exit, installed once for the
// life of the fuzzer; nothing else.
// Failure: fuzz_check reports the failed condition through the sanitizer's
// report channel (so it is seen even when the fuzzer closes standard error)
// and aborts, which makes the fuzzer keep the input as a crash.
#pragma once

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fwtable/fw_records.h"
#include "fwtable/platform.h"
#include "tests/support/fake_platform.h"

// The fatal exit throws fatal_exit in place of exit(status), for every
// input the fuzzer runs. Everything between the throw and the target's
// catch owns its memory through RAII, so the fuzzer's leak check sees
// whatever that road would lose.
inline void install_throwing_exit() { static platform_scope throws(with_throwing_exit()); }

[[noreturn]] inline void fuzz_fail(const char* what, const char* file, int line) {
  char text[512];
  snprintf(text, sizeof text, "fuzz check failed: %s at %s:%d", what, file, line);
  __sanitizer_report_error_summary(text);
  abort();
}

#define FUZZ_CHECK(cond)                               \
  do {                                                 \
    if (!(cond)) fuzz_fail(#cond, __FILE__, __LINE__); \
  } while (0)

// An address entry whose key is an IPv4-compatible IPv6 address
// (::a.b.c.d other than :: and ::1), whose text key parsing refuses.
inline bool v4_compatible(const ipfw_obj_tentry& e) {
  static const uint8_t zero12[12] = {};
  const uint8_t* a = e.k.raw;
  uint32_t low = uint32_t{a[12]} << 24 | uint32_t{a[13]} << 16 | uint32_t{a[14]} << 8 | a[15];
  return e.subtype == FW_AF_INET6 && memcmp(a, zero12, sizeof zero12) == 0 && low > 1;
}

// An address entry the sweep hands on for deletion: an IPv4 key with a mask
// length up to 32 or an IPv6 key with one up to 128, and not
// IPv4-compatible. Any other names no key a deletion could find.
inline bool named_address_key(const ipfw_obj_tentry& e) {
  bool in_width =
      (e.subtype == FW_AF_INET && e.masklen <= 32) || (e.subtype == FW_AF_INET6 && e.masklen <= 128);
  return in_width && !v4_compatible(e);
}

// Standard output to the null device, for targets whose code prints lines.
inline void silence_stdout() {
  fflush(stdout);
  int fd = open("/dev/null", O_WRONLY);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
}

// Fields from the front of the input, little-endian. Past the end every
// field reads as zero, so any input, however short, is a whole script.
struct input_reader {
  const uint8_t* data;
  size_t left;

  void bytes(void* out, size_t n) {
    size_t take = n < left ? n : left;
    if (take > 0) memcpy(out, data, take);
    memset(static_cast<uint8_t*>(out) + take, 0, n - take);
    data += take;
    left -= take;
  }

  uint8_t u8() {
    uint8_t v;
    bytes(&v, 1);
    return v;
  }

  uint32_t u32() {
    uint8_t b[4];
    bytes(b, sizeof b);
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
  }
};
