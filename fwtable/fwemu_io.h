// SPDX-License-Identifier: BSD-2-Clause
// Small socket helpers shared by the emulator transport and the fwemu tool:
// connect to the emulator's Unix socket, and read whole buffers (whole
// buffers are written with write_all, fwtable/write_all.h).
//
// Owns: the moment a wait first saw a stop (see fwemu_read_all);
// descriptors belong to the callers.
// Failure: errno-style (-1 with errno). A peer that closes early is
// ECONNRESET on read. A read given up for a stop returns FWCTL_GIVEN_UP.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fwtable/platform.h"

// A connected stream socket to path, close-on-exec; -1 with errno set.
int fwemu_connect(const char* path);
// Reads len bytes. With a deadline (CLOCK_MONOTONIC milliseconds, see
// fwemu_monotonic_ms), fails with ETIMEDOUT once it has passed. Once a stop
// has come the deadline is at most FWEMU_GRACE_MS after the moment a wait
// first saw it, for this read and every one after it (in a program that
// asks the stopping question, while the question says so: one that carries
// a request through a stop asks a question that says no, and only the
// deadline ends that wait): bytes that keep
// arriving do not renew it, and a reply that is whole by then is kept; a
// read that this bound ends returns FWCTL_GIVEN_UP with errno ECANCELED
// (never -1: a failure of -1 is one the peer or the system answered).
// A stop is seen when the platform's stopping question says so (asked at
// least every FWEMU_STOP_LOOK_MS while waiting, and whenever a signal
// interrupts the wait) or, in a program that asks no such question, when a
// signal interrupts the wait. Owns that moment (process-wide, set once).
int fwemu_read_all(int fd, void* buf, size_t len, int64_t* deadline = nullptr);

// Milliseconds of CLOCK_MONOTONIC.
int64_t fwemu_monotonic_ms();

// How long a wait for a reply goes on once a stop has come.
constexpr int64_t FWEMU_GRACE_MS = 1000;
// How often a wait asks whether a stop has come (one that came while the
// process was not waiting interrupts nothing).
constexpr int64_t FWEMU_STOP_LOOK_MS = 100;
