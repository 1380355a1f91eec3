// Small socket helpers shared by the emulator transport and the fwemu tool:
// connect to the emulator's Unix socket, and read whole buffers (whole
// buffers are written with write_all, fwtable/write_all.h).
//
// Owns: nothing; descriptors belong to the callers.
// Failure: errno-style (-1 with errno). A peer that closes early is
// ECONNRESET on read.
#pragma once

#include <cstddef>
#include <cstdint>

// A connected stream socket to path, close-on-exec; -1 with errno set.
int fwemu_connect(const char* path);
// Reads len bytes. With a deadline (CLOCK_MONOTONIC milliseconds, see
// fwemu_monotonic_ms), fails with ETIMEDOUT once it has passed; once a
// signal has interrupted the wait, the deadline is at most FWEMU_GRACE_MS
// after the last bytes that came.
int fwemu_read_all(int fd, void* buf, size_t len, int64_t* deadline = nullptr);

// Milliseconds of CLOCK_MONOTONIC.
int64_t fwemu_monotonic_ms();

// What is left of a deadline once a signal (a stop) has interrupted the
// wait for a reply.
constexpr int64_t FWEMU_GRACE_MS = 1000;
