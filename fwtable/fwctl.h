// SPDX-License-Identifier: BSD-2-Clause
// The control channel to the kernel firewall: one control socket, opened at
// the first request and kept for the life of the process, and the one
// operation that sends a request and receives the reply in the same buffer.
//
// Owns: the process-wide control socket descriptor (-1 until the first
// request; never closed). Every request goes through the platform's
// fwctl_get (fwtable/platform.h); the real platform's is fwctl_socket_get,
// and a test installs a stand-in for the kernel there.
// Failure: fwctl_get returns -1 with errno as the transport left it (the
// size as it was passed), and prints nothing; the platform's fwctl_get may
// instead throw to abandon the command in progress (a program's own, as the
// daemon's cycle guard does), and fwctl_get lets it pass. A control socket
// that cannot be opened ends the process with status 69 and "socket"
// (fatal_err).
//
// Where the socket leads is chosen at build time (fwctl_transport.h): the
// FreeBSD kernel's IP_FW3 option, or the fwemu emulator on a Unix socket.
#pragma once

#include <cstdint>

#include "fwtable/fw_records.h"

// Writes opcode and the version this build's kernel takes for it (see
// fw_request_version) into the op header at the start of buf, passes
// the low 32 bits of *size to the transport as the option length and, when
// the call succeeds, writes the length the transport reports back into
// *size, zero-extended. A failed call leaves *size as it was, as
// getsockopt(2) leaves the option length: what the kernel says it needs
// after a failure is in the reply's bytes, never in the length. Returns 0,
// or -1 with errno set, or FWCTL_GIVEN_UP (errno ECANCELED) for a request
// given up because the program was asked to stop (fwtable/platform.h).
int fwctl_get(uint16_t opcode, void* buf, uint64_t* size);

// Fills a zero-filled object header for the named table: table-name record
// with TLV type 1, length 80, name index 1 and the set; the name copied with
// at most 63 characters and a NUL; object index 1. Nothing else is touched.
void init_request_header(ipfw_obj_header* oh, const char* name, uint8_t set);

// Opens the control socket unless it is open already: 0, or -1 with errno
// set (nothing printed; the next request tries again). A request opens it
// itself when needed; a program calls this first to find out, before it
// detaches, whether the firewall can be reached at all.
int fwctl_open();

// The descriptor of the control socket, or -1 while none is open.
int fwctl_socket_fd();

// The real platform's request: opens the control socket when needed (ends
// the process with 69 and "socket" when it cannot) and hands the request
// to the transport, with getsockopt's contract. ctx is not used.
int fwctl_socket_get(void* ctx, void* buf, uint32_t* len);

// The release of the running kernel as getosreldate(3) gives it (1403000 is
// FreeBSD 14.3), when the channel leads to FreeBSD's kernel; 0 when it leads
// to the emulator, which speaks whichever layout it was started with.
int fwctl_kernel_release();
