// SPDX-License-Identifier: BSD-2-Clause
// The framing between the emulator transport (fwctl_transport_emu.cc) and
// the fwemu server: how one getsockopt-style request, or one administrative
// command of the fwemu tool, travels over a Unix-domain stream socket.
//
// A request is a fwemu_request_head followed by `sent` bytes. For a get
// request those are the first `sent` bytes of the option buffer, whose full
// length is `optlen`; the bytes from `sent` to `optlen` are zero and are not
// sent (trailing zeros are trimmed, so a large, mostly empty list buffer
// costs nothing to send). For an administrative command they are the words
// of the command, each ended by a NUL.
//
// A reply is a fwemu_reply_head followed by `data` bytes. For a get request
// `result` is 0 or -1, `error` the errno when -1, `optlen` the length
// reported back, and the data the first `data` bytes of the option buffer
// after the call (data <= the request's optlen). For an administrative
// command `result` is the command's exit status and the data its text.
//
// Owns: nothing. Failure: none (layouts only).
#pragma once

#include <cstdint>

constexpr uint32_t FWEMU_MAGIC = 0x31455746;  // "FWE1"
constexpr uint32_t FWEMU_KIND_GET = 1;
constexpr uint32_t FWEMU_KIND_ADMIN = 2;

// Where the emulator listens when FWEMU_SOCKET is not set. /var/run exists
// on FreeBSD and on Linux (where it leads to /run), is writable by root only,
// and is where a system daemon's sockets are looked for.
constexpr const char* FWEMU_DEFAULT_SOCKET = "/var/run/fwemu.sock";
constexpr const char* FWEMU_SOCKET_ENV = "FWEMU_SOCKET";

struct fwemu_request_head {
  uint32_t magic;
  uint32_t kind;
  uint32_t optlen;
  uint32_t sent;
};

struct fwemu_reply_head {
  uint32_t magic;
  int32_t result;
  int32_t error;
  uint32_t optlen;
  uint32_t data;
};

static_assert(sizeof(fwemu_request_head) == 16);
static_assert(sizeof(fwemu_reply_head) == 20);

// The socket path in use: FWEMU_SOCKET when set and not empty, else the
// default.
const char* fwemu_socket_path();
