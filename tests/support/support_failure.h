// SPDX-License-Identifier: BSD-2-Clause
// How the shared support code (process.h, emu_server.h) reports a set-up
// failure it cannot go on from: a child that cannot be started, a server
// that does not come up, a socket that cannot be bound. Each kind of
// program defines the function once: tests/support/gtest_failure.cc fails
// the current test (the caller goes on with what it has), and the
// benchmarks' support ends the driver with the message and status 1.
//
// Owns: nothing.
// Failure: none of its own.
#pragma once

#include <string>

void support_failure(const std::string& what);
