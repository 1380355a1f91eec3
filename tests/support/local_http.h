// SPDX-License-Identifier: BSD-2-Clause
// Talking to the HTTP servers a process test starts on the loopback
// interface (node exporter, Prometheus): finding such a program, learning
// the port it was given (it is started on port 0 and logs the one the
// system picked) and one GET request to it.
//
// Owns: nothing beyond the call (a socket lives only inside http_get).
// Failure: an empty result, with the reason in *why.
#pragma once

#include <string>

#include "tests/support/process.h"

// A program's path, found in PATH; empty when it is not there.
std::string find_program(const std::string& name);

// The port a server started with --web.listen-address=127.0.0.1:0 says it
// listens on (its log line msg="Listening on" address=127.0.0.1:PORT on
// standard error), waited for at most timeout_ms; 0 with the reason in
// *why when it ended or did not say.
int listening_port(const child_process& server, int timeout_ms, std::string* why);

// The body of GET path (with its query, already encoded) from
// 127.0.0.1:port (HTTP/1.0: the server closes the connection after the
// answer); empty with the reason in *why unless the answer is a 200.
std::string http_get(int port, const std::string& path, std::string* why);
