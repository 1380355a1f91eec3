// SPDX-License-Identifier: BSD-2-Clause
// The fwemu server: one table store answering any number of clients over
// the listening socket, one request at a time, in a single-threaded poll
// loop, until SIGINT or SIGTERM.
//
// Clients are never waited for: every socket is non-blocking, a half-sent
// request waits in its client's frame reader, and a reply that cannot be
// written at once waits in its client's output (the client's next request
// is taken up only once the reply is out). A client that disconnects, even in
// the middle of a request, is dropped; one whose frame head cannot be
// trusted gets a reply of -1/EPROTO and is then dropped. A reply that a
// hold fault holds back goes out whole when it is due, and one that a drip
// fault holds back a byte at a time, each when it is due, while the others
// are served.
//
// Owns: the client connections (closed before emu_serve returns) and,
// while it runs, the handlers of SIGINT and SIGTERM (restored on return);
// the store and the listener stay the caller's.
// Failure: returns 0 after a stop signal, or 71 with a message in *why
// when polling itself fails. Nothing prints.
#pragma once

#include <string>

#include "emu/listen_socket.h"
#include "emu/table_store.h"

int emu_serve(emu_store* store, const emu_listener& listener, std::string* why);
